#include "cli.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <span>
#include <string_view>

#include "archive_ops.h"
#include "big_archive.h"
#include "error.h"
#include "file.h"
#include "product.h"
#include "refpack/refpack.h"
#include "restore_point.h"
#include "storage.h"

namespace gfxpak {

namespace {

constexpr std::string_view kVersion = "gfxpak " TESSOLO_VERSION;

constexpr std::string_view kUsage =
    "usage:\n"
    "  gfxpak -compress -real IN OUT   RefPack-compress IN into OUT (IN may be OUT);\n"
    "                                  a file that is already RefPack is kept as it is\n"
    "  gfxpak -p [-norestore] ARCHIVE FILE  put FILE into ARCHIVE (replace the entry of\n"
    "                                  the same name, else add it; a missing ARCHIVE is\n"
    "                                  created; -norestore: make no restore point)\n"
    "  (-compress and -p refuse an IN or FILE that is empty or decodes to nothing)\n"
    "  gfxpak -l ARCHIVE               list the entries, each marked original, replaced\n"
    "                                  or added when there is a restore point\n"
    "  gfxpak -check ARCHIVE           read every entry, decode every compressed one,\n"
    "                                  check the table and the restore point\n"
    "  gfxpak -x [-d] ARCHIVE NAME OUT extract an entry (-d: decompress it)\n"
    "  gfxpak -d IN OUT                decompress a RefPack file\n"
    "  gfxpak -restore [-force] ARCHIVE  put the archive back as it was before gfxpak\n"
    "                                  first changed it (from ARCHIVE.restore; -force:\n"
    "                                  even if the archive is not as gfxpak left it)\n"
    "  gfxpak -restore ARCHIVE NAME...   put back only the named entries (a replaced one\n"
    "                                  gets its original bytes, an added one leaves)\n"
    "  gfxpak -compact [-force] ARCHIVE  rewrite the archive without dead space\n"
    "                                  (-force: even if that drops its restore point)\n"
    "  gfxpak -h | --version\n"
    "exit status: 0 done, 1 refused for another reason (the message says why),\n"
    "  2 bad usage, 3 archive or file in use (by the game, say), 4 access denied\n"
    "  or read-only, 5 no space left on the drive, 6 damaged archive,\n"
    "  7 empty stadium file\n"
    "GFXPAK_THREADS=N: compress on at most N threads (the output is the same)\n";

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

Status Put(FileSystem& fs, const std::string& archive_path, const std::string& file_path, bool make_restore_point,
           Notes& notes) {
  FileBytes data;
  if (Status s = ReadInput(fs, file_path, data); !s.ok()) return s;
  // An empty lock file is refused for what it is.
  if (Status s = CheckNotKept(fs, file_path, FileUse::kImport); !s.ok()) return s;
  if (Status s = RefuseEmpty(file_path, data); !s.ok()) return s;
  const std::string name = BareName(file_path);
  if (name.empty()) return InFile(Fail(Errc::kBadName, {}, "no file name"), file_path);
  Settlement settled;
  Status s = PutIntoArchive(fs, archive_path, name, data, make_restore_point, file_path, &settled);
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

Status Restore(FileSystem& fs, const std::string& archive_path, bool force, std::ostream& out, Notes& notes) {
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

Status Extract(FileSystem& fs, const std::string& path, const std::string& name, const std::string& out_path,
               bool decompress) {
  if (IsOwnFile(fs, path, out_path)) return InFile(Fail(Errc::kIsTheArchive), out_path);
  std::unique_ptr<Storage> storage;
  Archive a;
  if (Status s = OpenArchive(fs, path, storage, a); !s.ok()) return s;
  const std::optional<std::size_t> index = FindEntry(a, name);
  if (!index) return InFile(Fail(Errc::kNoEntry, {}, "\"" + name + "\""), path);
  std::vector<std::uint8_t> data;
  if (Status s = ReadEntry(*storage, a.entries[*index], data); !s.ok()) return InFile(s, path);
  if (!decompress) return WriteOutput(fs, out_path, data);
  std::vector<std::uint8_t> plain;
  std::string why;
  if (!refpack::Decompress(data, plain, &why)) return NotRefPack(path, why, a.entries[*index].name);
  return WriteOutput(fs, out_path, plain);
}

Status Compact(FileSystem& fs, const std::string& path, bool force, std::ostream& out, Notes& notes) {
  bool dropped = false;
  Settlement settled;
  const Status status = CompactArchiveFile(fs, path, force, dropped, &settled);
  notes.Add(path, settled);
  if (!status.ok()) return status;
  if (dropped) out << path << ": compacted; its restore point is deleted\n";
  return {};
}

Status NeedArgs(const Args& args, std::size_t count, std::string_view what) {
  if (args.size() != count) return Usage(std::string(args[0]) + " needs " + std::string(what));
  return {};
}

// The arguments after a command that takes one optional flag.
std::size_t AfterFlag(const Args& args, std::string_view flag) { return args.size() > 1 && args[1] == flag ? 2 : 1; }

Status Run(const Args& args, FileSystem& fs, std::ostream& out, Notes& notes) {
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "/?") {
    if (Status s = NeedArgs(args, 1, "no arguments"); !s.ok()) return s;
    out << kUsage;
    return {};
  }
  if (command == "--version") {
    if (Status s = NeedArgs(args, 1, "no arguments"); !s.ok()) return s;
    out << kVersion << '\n';
    return {};
  }
  if (command == "-compress") {
    // "-real" is what callers pass; the compression is the same without it.
    const std::size_t first = AfterFlag(args, "-real");
    if (args.size() != first + 2) return Usage("-compress needs -real IN OUT");
    return Compress(fs, args[first], args[first + 1]);
  }
  if (command == "-p") {
    const std::size_t first = AfterFlag(args, "-norestore");
    if (args.size() != first + 2) return Usage("-p needs [-norestore] ARCHIVE FILE");
    return Put(fs, args[first], args[first + 1], first == 1, notes);
  }
  if (command == "-restore") {
    const std::size_t first = AfterFlag(args, "-force");
    if (args.size() == first + 1) return Restore(fs, args[first], first == 2, out, notes);
    if (first == 1 && args.size() > 2) return RestoreNamed(fs, args[1], Args(args.begin() + 2, args.end()), out, notes);
    return Usage("-restore needs [-force] ARCHIVE, or ARCHIVE NAME...");
  }
  if (command == "-check") {
    if (Status s = NeedArgs(args, 2, "ARCHIVE"); !s.ok()) return s;
    return Check(fs, args[1], out);
  }
  if (command == "-l") {
    if (Status s = NeedArgs(args, 2, "ARCHIVE"); !s.ok()) return s;
    return List(fs, args[1], out);
  }
  if (command == "-x") {
    const std::size_t first = AfterFlag(args, "-d");
    if (args.size() != first + 3) return Usage("-x needs [-d] ARCHIVE NAME OUT");
    return Extract(fs, args[first], args[first + 1], args[first + 2], first == 2);
  }
  if (command == "-d") {
    if (Status s = NeedArgs(args, 3, "IN OUT"); !s.ok()) return s;
    return Decompress(fs, args[1], args[2]);
  }
  if (command == "-compact") {
    const std::size_t first = AfterFlag(args, "-force");
    if (args.size() != first + 1) return Usage("-compact needs [-force] ARCHIVE");
    return Compact(fs, args[first], first == 2, out, notes);
  }
  return Usage("unknown command " + command);
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, FileSystem& fs) {
  Status status;
  Notes notes;
  try {
    status = Run(args, fs, out, notes);
  } catch (const std::bad_alloc&) {
    status = Fail(Errc::kOutOfMemory);
  }
  out.flush();
  for (const std::string& line : notes.lines) err << "gfxpak: " << line << '\n';
  if (status.ok()) return kExitOk;
  err << "gfxpak: " << Describe(status.error()) << '\n';
  return static_cast<int>(ExitCodeOf(status.error()));
}

int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  SystemFileSystem fs;
  return RunCommandLine(args, out, err, fs);
}

}  // namespace gfxpak
