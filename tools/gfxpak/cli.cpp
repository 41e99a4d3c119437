#include "cli.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <span>
#include <sstream>
#include <string_view>

#include "archive_ops.h"
#include "big_archive.h"
#include "error.h"
#include "file.h"
#include "product.h"
#include "refpack/refpack.h"
#include "restore_point.h"
#include "temp_names.h"
#include "storage.h"
#include "take_out.h"

namespace gfxpak {

namespace {

constexpr std::string_view kVersion = "gfxpak " TESSOLO_VERSION;

using Args = std::vector<std::string>;

Status Usage(std::string what) { return Fail(Errc::kUsage, {}, std::move(what)); }

// What a command did besides its own work, told on stderr whether or not it
// succeeded: an update that a kill or a power loss had cut short, settled.
struct Notes {
  std::vector<std::string> lines;

  void Add(const std::string& archive, const Settlement& settled) {
    using Outcome = Settlement::Outcome;
    if (settled.outcome == Outcome::kNone) return;
    std::string line = archive;
    line += ": an update";
    if (!settled.entry.empty()) {
      line += " of \"";
      line += Printable(settled.entry);
      line += '"';
    }
    line += " had been cut short ";
    if (settled.outcome == Outcome::kFinished) {
      line += "after readers could see it; it is now recorded as done";
    } else if (settled.torn) {
      line += "with a table record half written; it is taken back";
    } else {
      line += "before readers could see it; it is taken back";
    }
    lines.push_back(std::move(line));
  }
};

Status ReadInput(FileSystem& fs, const std::string& path, FileBytes& data) {
  std::unique_ptr<Storage> file;
  std::uint64_t size = 0;
  std::error_code e = fs.Open(path, OpenMode::kRead, file);
  if (!e) e = file->Size(size);
  if (!e && size > 0xFFFFFFFFu) e = Errc::kFileTooLarge;
  if (!e) e = file->Read(0, data.Allocate(static_cast<std::size_t>(size)));
  if (e) return InFile(Fail(e, "cannot read"), path);
  return {};
}

// Replaces the file at path in one step (a reader sees the old file or the
// new one), unless it is one that gfxpak keeps for an archive.
Status WriteOutput(FileSystem& fs, const std::string& path, std::span<const std::uint8_t> data) {
  if (Status s = CheckNotKept(fs, path, FileUse::kOutput); !s.ok()) return s;
  return WriteFileVia(fs, TemporaryPathBeside(path), path, data);
}

// The RefPack codec reports with a flag and a reason; here that becomes a
// Status like every other failure.
Status NotRefPack(const std::string& path, std::string why, const std::string& entry = {}) {
  return InFile(Fail(Errc::kNotRefPack, entry.empty() ? "" : "entry \"" + entry + "\"", std::move(why)), path);
}

// GFXPAK_THREADS=N compresses on at most N threads (1 to compare with a
// single core); unset, or not a number from 1 on, on all of them.
unsigned ThreadsFromEnvironment() {
  const char* value = std::getenv("GFXPAK_THREADS");
  if (value == nullptr || *value < '1' || *value > '9') return 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(value, &end, 10);
  return *end == '\0' && n <= 4096 ? static_cast<unsigned>(n) : 0;
}

// GFXPAK_HOLD_WAIT=MS waits at most MS milliseconds for a file that another
// program holds (0: not at all); unset, or not a number up to a minute,
// kHoldWait. A caller that found the game holding an archive sets it low, so
// that each further file for that archive does not wait in vain.
std::chrono::milliseconds HoldWaitFromEnvironment() {
  const char* value = std::getenv("GFXPAK_HOLD_WAIT");
  if (value == nullptr || *value < '0' || *value > '9') return kHoldWait;
  char* end = nullptr;
  const unsigned long ms = std::strtoul(value, &end, 10);
  return *end == '\0' && ms <= 60000 ? std::chrono::milliseconds(ms) : kHoldWait;
}

// A stadium file is never empty: an empty one is a download that went wrong,
// and put into an archive it would give the game an empty entry in place of
// its own. Compressed, it is a header that decodes to nothing, so that is
// refused as well, for a file that an earlier gfxpak did compress.
Status RefuseEmpty(const std::string& path, std::span<const std::uint8_t> data) {
  if (data.empty() || (refpack::DeclaredSize(data) == 0 && refpack::IsRefPack(data))) {
    return InFile(Fail(Errc::kEmptyFile), path);
  }
  return {};
}

Status Compress(FileSystem& fs, const std::string& in, const std::string& out) {
  FileBytes data;
  if (Status s = ReadInput(fs, in, data); !s.ok()) return s;
  if (Status s = RefuseEmpty(in, data); !s.ok()) return s;
  // An import that is run again must not compress the file a second time.
  if (refpack::IsRefPack(data)) {
    if (in == out) return {};
    return WriteOutput(fs, out, data);
  }
  std::vector<std::uint8_t> packed;
  try {
    packed = refpack::Compress(data, {.threads = ThreadsFromEnvironment()});
  } catch (const std::length_error&) {
    return InFile(Fail(Errc::kFileTooLarge, "cannot compress"), in);
  }
  return WriteOutput(fs, out, packed);
}

Status Decompress(FileSystem& fs, const std::string& in, const std::string& out) {
  FileBytes data;
  if (Status s = ReadInput(fs, in, data); !s.ok()) return s;
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return NotRefPack(in, why);
  return WriteOutput(fs, out, plain);
}

Status Put(FileSystem& fs, const std::string& archive_path, const std::string& file_path, MakeRestorePoint make,
           Notes& notes) {
  FileBytes data;
  if (Status s = ReadInput(fs, file_path, data); !s.ok()) return s;
  // An empty lock file is refused for what it is.
  if (Status s = CheckNotKept(fs, file_path, FileUse::kImport); !s.ok()) return s;
  if (Status s = RefuseEmpty(file_path, data); !s.ok()) return s;
  const std::string name = BareName(file_path);
  if (name.empty()) return InFile(Fail(Errc::kBadName, {}, "no file name"), file_path);
  Settlement settled;
  Status s = PutIntoArchive(fs, archive_path, name, data, make, file_path, &settled);
  notes.Add(archive_path, settled);
  return s;
}

Status RestoreNamed(FileSystem& fs, const std::string& archive_path, const Args& names, std::ostream& out,
                    Notes& notes) {
  EntriesRestored done;
  Settlement settled;
  const Status status = RestoreEntries(fs, archive_path, names, done, &settled);
  notes.Add(archive_path, settled);
  for (const std::string& name : done.replaced) {
    out << archive_path << ": \"" << Printable(name) << "\" has its original bytes again\n";
  }
  for (const std::string& name : done.removed) {
    out << archive_path << ": \"" << Printable(name) << "\" is out of the table\n";
  }
  if (!status.ok()) return status;
  if (done.original) {
    out << archive_path << ": nothing differs from the original any more: restored to its original "
        << done.original_size << " bytes, and its restore point is deleted\n";
  }
  return {};
}

Status Restore(FileSystem& fs, const std::string& archive_path, Force force, std::ostream& out, Notes& notes) {
  std::uint64_t size = 0;
  Settlement settled;
  const Status status = RestoreArchive(fs, archive_path, force, size, &settled);
  notes.Add(archive_path, settled);
  if (!status.ok()) return status;
  out << archive_path << ": restored to its original " << size << " bytes\n";
  return {};
}

Status OpenArchive(FileSystem& fs, const std::string& path, std::unique_ptr<Storage>& storage, Archive& archive) {
  if (auto e = fs.Open(path, OpenMode::kRead, storage)) return InFile(Fail(e, "cannot open"), path);
  return InFile(ReadArchive(*storage, archive), path);
}

std::string_view ConventionName(const Archive& a) {
  switch (a.convention) {
    case HeaderField::kTableEnd: return "table end";
    case HeaderField::kFirstData: return "first data";
    case HeaderField::kFixed: break;
  }
  return "fixed";
}

// What the listing says of an update that a kill or a power loss cut short.
std::string PendingUpdate(Storage& archive, const RestorePoint& point) {
  std::optional<TargetState> reached;
  if (!CompareWithUpdate(archive, point, reached).ok()) reached.reset();
  // Built by appending: gcc 12 warns falsely on chained string additions.
  std::string entry;
  if (point.target) {
    entry += '"';
    entry += Printable(point.target->name);
    entry += '"';
  }
  std::string line = entry.empty() ? "an update" : "an update of ";
  line += entry;
  line += " was cut short ";
  if (reached == TargetState::kVisible) {
    line += "after readers could see it: the next gfxpak command on the archive records it as done";
  } else if (reached == TargetState::kTorn) {
    line += "with a table record half written, so ";
    line += entry;
    line += " reads wrongly until the next gfxpak command on the archive takes the update back";
  } else {
    line += "before readers could see it: the next gfxpak command on the archive takes it back";
  }
  return line;
}

std::string_view OriginName(Origin origin) {
  switch (origin) {
    case Origin::kReplaced: return "replaced";
    case Origin::kAdded: return "added";
    case Origin::kOriginal: break;
  }
  return "original";
}

// The restore point's line of the listing: what it holds and whether the
// archive is as it expects; with a usable one and a readable table a, the
// origin of each entry.
Status ListRestorePoint(FileSystem& fs, const std::string& path, Storage& archive, const Archive& a,
                        std::vector<Origin>& origins, std::ostream& out) {
  const std::string restore_path = RestorePathFor(path);
  if (!fs.Exists(restore_path)) {
    out << "restore point: none\n";
    return {};
  }
  std::unique_ptr<Storage> journal;
  if (auto e = fs.Open(restore_path, OpenMode::kRead, journal)) return InFile(Fail(e, "cannot open"), restore_path);
  std::uint64_t journal_size = 0;
  journal->Size(journal_size);
  out << "restore point: " << restore_path << ", " << journal_size << " bytes";
  RestorePoint point;
  Status s = LoadRestorePoint(*journal, point);
  if (s.ok()) s = CheckBelongs(*journal, archive, point);
  if (s.ok() && point.state == RestoreState::kIdle && !point.earlier_layout) s = CheckFingerprint(archive, point);
  if (!s.ok()) {
    out << ", unusable: " << Describe(s.error()) << '\n';
    return {};
  }
  out << ", " << point.ranges.size() << " saved ranges, original size " << point.original_size;
  if (point.earlier_layout) out << ", made by an earlier gfxpak";
  if (point.state == RestoreState::kUpdating) out << "; " << PendingUpdate(archive, point);
  if (point.state == RestoreState::kRestoring) out << "; " << ErrorText(Errc::kRestoreUnfinished);
  out << '\n';
  // Between an update cut short and the next writer, or half way back to the
  // original, entries are neither one thing nor the other.
  if (point.state == RestoreState::kIdle && !a.entries.empty()) {
    if (!CompareWithOriginal(*journal, archive, point, a, origins).ok()) origins.clear();
  }
  return {};
}

Status List(FileSystem& fs, const std::string& path, std::ostream& out) {
  std::unique_ptr<Storage> storage;
  if (auto e = fs.Open(path, OpenMode::kRead, storage)) return InFile(Fail(e, "cannot open"), path);
  Archive a;
  if (Status s = ReadArchive(*storage, a); !s.ok()) {
    // An update cut short can be why: its restore point says so.
    if (fs.Exists(RestorePathFor(path))) {
      out << path << ": unreadable\n";
      std::vector<Origin> origins;
      if (Status listed = ListRestorePoint(fs, path, *storage, a, origins, out); !listed.ok()) return listed;
    }
    return InFile(s, path);
  }
  out << path << ": " << std::string(a.magic.begin(), a.magic.end()) << ", " << a.entries.size() << " entries, "
      << a.file_size << " bytes (header says " << a.archive_size << "), third field " << a.header_field << " ("
      << ConventionName(a);
  if (a.convention == HeaderField::kTableEnd) out << " + " << a.field_extra;
  out << "), dead space " << DeadBytes(a) << " bytes\n";
  std::vector<Origin> origins;
  if (Status s = ListRestorePoint(fs, path, *storage, a, origins, out); !s.ok()) return s;
  out << "    offset       size  packed  " << (origins.empty() ? "" : "since     ") << "name\n";
  std::vector<std::uint8_t> head;
  std::array<std::size_t, 3> counts{};
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const Entry& e = a.entries[i];
    head.resize(std::min<std::size_t>(e.size, 8));
    if (auto err = storage->Read(e.offset, head)) return InFile(Fail(err, "cannot read"), path);
    const bool packed = refpack::DeclaredSize(head).has_value();
    out << std::setw(10) << e.offset << ' ' << std::setw(10) << e.size << "  " << (packed ? "yes   " : "no    ") << "  ";
    if (!origins.empty()) {
      ++counts[static_cast<std::size_t>(origins[i])];
      out << std::left << std::setw(10) << OriginName(origins[i]) << std::right;
    }
    out << Printable(e.name) << '\n';
  }
  if (!origins.empty()) {
    out << a.entries.size() << " entries: " << counts[0] << " original, " << counts[1] << " replaced, " << counts[2]
        << " added\n";
  }
  return {};
}

// What -check finds wrong with an archive, one line each.
struct Problems {
  std::vector<std::string> lines;
  void Add(std::string line) { lines.push_back(Printable(line)); }
};

// Every entry read, and decoded where it is compressed.
Status CheckEntries(Storage& storage, const Archive& a, Problems& problems, std::size_t& packed) {
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> plain;
  for (const Entry& e : a.entries) {
    if (Status s = ReadEntry(storage, e, data); !s.ok()) return s;
    if (!refpack::DeclaredSize(data)) continue;
    ++packed;
    std::string why;
    if (!refpack::Decompress(data, plain, &why)) {
      problems.Add("entry \"" + e.name + "\": " + ErrorText(Errc::kNotRefPack) + " (" + why + ")");
    }
  }
  // Tools never let two entries share bytes: an entry that overlaps
  // another was written over by a program that did not know of it.
  std::vector<const Entry*> by_offset;
  for (const Entry& e : a.entries) {
    if (e.size > 0) by_offset.push_back(&e);
  }
  std::sort(by_offset.begin(), by_offset.end(), [](const Entry* x, const Entry* y) { return x->offset < y->offset; });
  for (std::size_t i = 1; i < by_offset.size(); ++i) {
    const Entry& before = *by_offset[i - 1];
    if (std::uint64_t{before.offset} + before.size > by_offset[i]->offset) {
      problems.Add("entry \"" + by_offset[i]->name + "\" overlaps entry \"" + before.name + "\"");
    }
  }
  if (a.archive_size > a.file_size) {
    problems.Add("the header says " + std::to_string(a.archive_size) + " bytes, the file has " +
                 std::to_string(a.file_size));
  }
  return {};
}

// The restore point, if there is one, against the archive.
void CheckRestorePointOf(FileSystem& fs, const std::string& path, Storage& archive, Problems& problems) {
  const std::string restore_path = RestorePathFor(path);
  if (!fs.Exists(restore_path)) return;
  std::unique_ptr<Storage> journal;
  RestorePoint point;
  Status s = InFile(Fail(Errc::kDamagedRestorePoint), restore_path);
  if (!fs.Open(restore_path, OpenMode::kRead, journal)) s = LoadRestorePoint(*journal, point);
  if (s.ok()) s = CheckBelongs(*journal, archive, point);
  if (s.ok() && point.state == RestoreState::kIdle && !point.earlier_layout) s = CheckFingerprint(archive, point);
  if (!s.ok()) {
    problems.Add(BareName(restore_path) + ": " + Describe(s.error()));
  } else if (point.state == RestoreState::kUpdating) {
    problems.Add(BareName(restore_path) + ": " + PendingUpdate(archive, point));
  } else if (point.state == RestoreState::kRestoring) {
    problems.Add(BareName(restore_path) + ": " + ErrorText(Errc::kRestoreUnfinished));
  }
}

Status Check(FileSystem& fs, const std::string& path, std::ostream& out) {
  std::unique_ptr<Storage> storage;
  if (auto e = fs.Open(path, OpenMode::kRead, storage)) return InFile(Fail(e, "cannot open"), path);
  Problems problems;
  Archive a;
  std::size_t packed = 0;
  if (Status s = ReadArchive(*storage, a); !s.ok()) {
    problems.Add(Describe(InFile(s, path).error()));
  } else if (Status read = CheckEntries(*storage, a, problems, packed); !read.ok()) {
    return InFile(read, path);
  }
  CheckRestorePointOf(fs, path, *storage, problems);
  for (const std::string& line : problems.lines) out << line << '\n';
  if (!problems.lines.empty()) {
    return InFile(Fail(Errc::kProblemsFound, {}, std::to_string(problems.lines.size())), path);
  }
  out << path << ": " << a.entries.size() << " entries read, " << packed << " compressed ones decoded; "
      << (fs.Exists(RestorePathFor(path)) ? "its restore point matches it" : "no restore point") << '\n';
  return {};
}

// Whether -x decompresses the entry it writes out (-d).
enum class Decode { kNo, kYes };

Status Extract(FileSystem& fs, const std::string& path, const std::string& name, const std::string& out_path,
               Decode decode) {
  if (IsOwnFile(fs, path, out_path)) return InFile(Fail(Errc::kIsTheArchive), out_path);
  std::unique_ptr<Storage> storage;
  Archive a;
  if (Status s = OpenArchive(fs, path, storage, a); !s.ok()) return s;
  const std::optional<std::size_t> index = FindEntry(a, name);
  if (!index) return InFile(Fail(Errc::kNoEntry, {}, "\"" + name + "\""), path);
  std::vector<std::uint8_t> data;
  if (Status s = ReadEntry(*storage, a.entries[*index], data); !s.ok()) return InFile(s, path);
  if (decode == Decode::kNo) return WriteOutput(fs, out_path, data);
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return NotRefPack(path, why, a.entries[*index].name);
  return WriteOutput(fs, out_path, plain);
}

Status Compact(FileSystem& fs, const std::string& path, Force force, std::ostream& out, Notes& notes) {
  bool dropped = false;
  Settlement settled;
  const Status status = CompactArchiveFile(fs, path, force, dropped, &settled);
  notes.Add(path, settled);
  if (!status.ok()) return status;
  if (dropped) out << path << ": compacted; its restore point is deleted\n";
  return {};
}

// What a command's handler is given: its operands, whether its flag was
// there, and where it reports.
struct Call {
  const Args& operands;
  bool flag;
  FileSystem& fs;
  std::istream& in;
  std::ostream& out;
  Notes& notes;
};

template <typename Enum>
Enum FlagAs(const Call& call) {
  return call.flag ? Enum::kYes : Enum::kNo;
}

// How the usage shows a form's flag: as optional, or as given, when every
// caller passes it and it changes nothing.
enum class FlagShown { kOptional, kAsPassed };

// One command line form. The table below is the parser and the usage text
// both: operands are named words, and a last one ending in "..." takes one
// or more.
struct Command {
  std::string_view name;
  std::string_view flag;      // its one optional flag, or ""
  FlagShown shown;
  std::string_view operands;  // as the usage shows them
  std::string_view help;      // lines, each after a '\n'
  Status (*run)(const Call&);
};

Status ShowUsage(const Call& call);
Status TakeOutCommand(const Call& call);

constexpr Command kCommands[] = {
    {kCompressCommand, kCompressFlag, FlagShown::kAsPassed, "IN OUT",
     "RefPack-compress IN into OUT (IN may be\nOUT); an IN that is RefPack already is kept\n"
     "as it is, one that is empty or decodes to\nnothing is refused (-real is what callers\npass; it changes nothing)",
     [](const Call& c) { return Compress(c.fs, c.operands[0], c.operands[1]); }},
    {kImportCommand, "-norestore", FlagShown::kOptional, "ARCHIVE FILE",
     "put FILE into ARCHIVE, replacing the entry\nof the same name or adding one; a missing\n"
     "ARCHIVE is created (-norestore: make no\nrestore point); a FILE that is empty or\ndecodes to nothing is refused",
     [](const Call& c) {
       // The flag says not to make one.
       const MakeRestorePoint make = c.flag ? MakeRestorePoint::kNo : MakeRestorePoint::kYes;
       return Put(c.fs, c.operands[0], c.operands[1], make, c.notes);
     }},
    {"-l", "", FlagShown::kOptional, "ARCHIVE", "list the entries, each marked original,\nreplaced or added when there is a restore\npoint",
     [](const Call& c) { return List(c.fs, c.operands[0], c.out); }},
    {"-check", "", FlagShown::kOptional, "ARCHIVE",
     "read every entry, decode every compressed\none, check the table and the restore point",
     [](const Call& c) { return Check(c.fs, c.operands[0], c.out); }},
    {"-x", "-d", FlagShown::kOptional, "ARCHIVE NAME OUT", "extract an entry (-d: decompress it)",
     [](const Call& c) { return Extract(c.fs, c.operands[0], c.operands[1], c.operands[2], FlagAs<Decode>(c)); }},
    {"-d", "", FlagShown::kOptional, "IN OUT", "decompress a RefPack file",
     [](const Call& c) { return Decompress(c.fs, c.operands[0], c.operands[1]); }},
    {"-restore", "-force", FlagShown::kOptional, "ARCHIVE",
     "put the archive back as it was before\ngfxpak first changed it (from\n"
     "ARCHIVE.restore; -force: even if the archive\nis not as gfxpak left it)",
     [](const Call& c) { return Restore(c.fs, c.operands[0], FlagAs<Force>(c), c.out, c.notes); }},
    {"-restore", "", FlagShown::kOptional, "ARCHIVE NAME...",
     "put back only the named entries (a replaced\none gets its original bytes, an added one\nleaves)",
     [](const Call& c) {
       return RestoreNamed(c.fs, c.operands[0], Args(c.operands.begin() + 1, c.operands.end()), c.out, c.notes);
     }},
    {"-compact", "-force", FlagShown::kOptional, "ARCHIVE",
     "rewrite the archive without dead space\n(-force: even if that drops its restore\npoint)",
     [](const Call& c) { return Compact(c.fs, c.operands[0], FlagAs<Force>(c), c.out, c.notes); }},
    {"-takeout", "-all", FlagShown::kOptional, "ARCHIVE... [-- FILE...]",
     "for a player at a console: says what will\nhappen and asks first; takes out of the\n"
     "ARCHIVEs the entries that imports replaced\nor added, named by the FILEs or picked\n"
     "from a numbered list (-all: every ARCHIVE\nback to its original)",
     TakeOutCommand},
    {"-h", "", FlagShown::kOptional, "", "this text (also --help and /?)", ShowUsage},
    {"--version", "", FlagShown::kOptional, "", "the version",
     [](const Call& c) {
       c.out << kVersion << '\n';
       return Status();
     }},
};

constexpr std::string_view kEnvironment =
    "GFXPAK_THREADS=N: compress on at most N threads (the output is the same)\n"
    "GFXPAK_HOLD_WAIT=MS: wait at most MS ms for a file another program holds\n"
    "  for a moment (an antivirus, a sync client); 1500 when not set\n";

// What a form takes after its name: "[-force] ARCHIVE", say.
std::string Arguments(const Command& c) {
  std::string words;
  if (c.shown == FlagShown::kAsPassed) {
    words += c.flag;
  } else if (!c.flag.empty()) {
    words += '[';
    words += c.flag;
    words += ']';
  }
  if (!c.flag.empty() && !c.operands.empty()) words += ' ';
  words += c.operands;
  return words;
}

Status ShowUsage(const Call& call) {
  constexpr std::size_t kHelpColumn = 36;
  call.out << "usage:\n";
  for (const Command& c : kCommands) {
    std::string line = "  gfxpak ";
    line += c.name;
    line += ' ';
    line += Arguments(c);
    std::string_view help = c.help;
    // A form too long for the column has its help on the lines below.
    if (line.size() >= kHelpColumn) {
      call.out << line << '\n';
      line.clear();
    }
    for (bool first = true; first || !help.empty(); first = false) {
      const std::size_t end = std::min(help.find('\n'), help.size());
      line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
      line += help.substr(0, end);
      call.out << line << '\n';
      help.remove_prefix(std::min(end + 1, help.size()));
      line.clear();
    }
  }
  call.out << "exit status:\n";
  for (const auto& [code, meaning] : kPackerExits) call.out << "  " << static_cast<int>(code) << "  " << meaning << '\n';
  call.out << kEnvironment;
  return {};
}

// Whether count operands fit a form: as many as its named words, or any
// number from there when the last ends in "..." or the form ends in words
// in brackets, which its handler sorts out.
bool Fits(const Command& c, std::size_t count) {
  const std::string_view required = c.operands.substr(0, c.operands.find(" ["));
  const auto words =
      required.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(required.begin(), required.end(), ' '));
  return required.ends_with("...") || required.size() < c.operands.size() ? count >= words : count == words;
}

// The operands with each ARCHIVE (the first, or for ARCHIVE... all up to
// "--") replaced by the copy of it that the game reads, where that is
// another file (a per-user copy that Windows made), which the command then
// works on, saying so first.
Args TheGamesCopy(const Command& c, Args operands, FileSystem& fs, std::ostream& out) {
  if (!c.operands.starts_with("ARCHIVE")) return operands;
  const auto archives = c.operands.starts_with("ARCHIVE...") ? std::find(operands.begin(), operands.end(), "--")
                                                              : operands.begin() + (operands.empty() ? 0 : 1);
  for (auto it = operands.begin(); it != archives; ++it) {
    const std::string copy = fs.GameCopyOf(*it);
    if (copy == *it) continue;
    out << *it << ": the game reads its copy " << copy << "; that copy is the one used\n";
    *it = copy;
  }
  return operands;
}

bool IsHelp(std::string_view word) { return word == "--help" || word == "/?"; }

// A word that is no command. Without a leading '-' it is most likely a file
// dropped on gfxpak.exe by a player who wants a stadium out.
std::string NotACommand(const std::string& word) {
  if (word.starts_with('-')) return "unknown command " + Printable(word);
  return Printable(word) +
         " is not a command: to take a stadium out of the game's archives, drop its file on "
         "take-out-stadiums.cmd in the game's data folder";
}

// -takeout [-all] ARCHIVE... [-- FILE...]
Status TakeOutCommand(const Call& c) {
  const auto split = std::find(c.operands.begin(), c.operands.end(), "--");
  TakeOutRequest request{Args(c.operands.begin(), split), {}, c.flag};
  if (split != c.operands.end()) request.files.assign(split + 1, c.operands.end());
  if (request.archives.empty()) return Usage("-takeout needs an ARCHIVE before --");
  if (request.everything && split != c.operands.end()) return Usage("-takeout -all takes no FILE");
  return TakeOut(c.fs, request, c.in, c.out,
                 [&](const std::string& archive, const Settlement& settled) { c.notes.Add(archive, settled); });
}

Status Run(const Args& args, FileSystem& fs, std::istream& in, std::ostream& out, Notes& notes) {
  if (args.empty()) return Usage("no command given");
  const std::string_view command = IsHelp(args[0]) ? "-h" : std::string_view(args[0]);
  // A flag of one form is never an operand of another.
  const auto is_flag = [&](const Command& c) { return !c.flag.empty() && args.size() > 1 && args[1] == c.flag; };
  const bool flag_given = std::any_of(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command& c) { return c.name == command && is_flag(c); });
  std::vector<std::string> forms;
  for (const Command& c : kCommands) {
    if (c.name != command) continue;
    const bool flag = is_flag(c);
    const Args operands(args.begin() + (flag ? 2 : 1), args.end());
    if (flag == flag_given && Fits(c, operands.size())) {
      const Args used = TheGamesCopy(c, operands, fs, out);
      return c.run(Call{used, flag, fs, in, out, notes});
    }
    forms.push_back(c.operands.empty() && c.flag.empty() ? "no arguments" : Arguments(c));
  }
  if (forms.empty()) return Usage(NotACommand(args[0]));
  std::string what(command);
  what += " needs ";
  for (std::size_t i = 0; i < forms.size(); ++i) {
    if (i > 0) what += ", or ";
    what += forms[i];
  }
  return Usage(std::move(what));
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   FileSystem& fs) {
  Status status;
  Notes notes;
  try {
    status = Run(args, fs, in, out, notes);
  } catch (const std::bad_alloc&) {
    status = Fail(Errc::kOutOfMemory);
  }
  out.flush();
  for (const std::string& line : notes.lines) err << kPackerPrefix << line << '\n';
  if (status.ok()) return kExitOk;
  err << kPackerPrefix << Describe(status.error()) << '\n';
  return static_cast<int>(ExitCodeOf(status.error()));
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, FileSystem& fs) {
  std::istringstream no_answer;
  return RunCommandLine(args, no_answer, out, err, fs);
}

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  SystemFileSystem disk;
  PatientFileSystem fs(disk, HoldWaitFromEnvironment());
  return RunCommandLine(args, in, out, err, fs);
}

}  // namespace gfxpak
