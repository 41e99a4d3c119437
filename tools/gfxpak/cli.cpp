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
#include "byte_order.h"
#include "error.h"
#include "file.h"
#include "product.h"
#include "refpack/refpack.h"
#include "restore_checks.h"
#include "restore_journal.h"
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
    } else if (settled.outcome == Outcome::kCompleted) {
      line += "after readers could see part of it; the rest of it is now written";
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
  if (!e && size > kMaxArchive) e = Errc::kFileTooLarge;
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

// What the restore point that gave the original back could check of it.
std::string CheckedWith(const WholeRestore& done, Force force) {
  if (done.pieces && done.pieces_from_upgrade) {
    return ", checked against the hashes gfxpak took when it first used its restore point of an earlier gfxpak "
           "(a change made before then could not be seen)";
  }
  if (done.pieces) return ", every byte checked against the original's";
  return force == Force::kYes ? "; its restore point, made by an earlier gfxpak, could check only its header and table"
                              : "; its restore point, made by an earlier gfxpak, could check only its header, its "
                                "table and its last 4 KiB";
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
  WholeRestore done;
  Settlement settled;
  const Status status = RestoreArchive(fs, archive_path, force, done, &settled);
  notes.Add(archive_path, settled);
  if (!status.ok()) return status;
  if (done.already) {
    out << archive_path << ": is the original already (another program put it back); its restore point is deleted\n";
  } else {
    out << archive_path << ": restored to its original " << done.original_size << " bytes" << CheckedWith(done, force)
        << '\n';
  }
  return {};
}

// An archive's bytes as readers will have them once the next writer takes
// back an update that a power loss left with a table record half written:
// that record reads as its old value, which still points at the entry's old
// bytes. Every other byte is the file's.
class TakenBack : public Storage {
 public:
  TakenBack(Storage& file, std::vector<RecordChange> torn) : file_(file), torn_(std::move(torn)) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (auto e = file_.Read(offset, data)) return e;
    for (const RecordChange& c : torn_) {
      std::uint8_t record[8];  // the offset and size fields
      PutBe32(record, c.old_offset);
      PutBe32(record + 4, c.old_size);
      for (std::uint64_t i = 0; i < sizeof record; ++i) {
        if (c.pos + i >= offset && c.pos + i < offset + data.size()) {
          data[static_cast<std::size_t>(c.pos + i - offset)] = record[i];
        }
      }
    }
    return {};
  }
  std::error_code Write(std::uint64_t, std::span<const std::uint8_t>) override { return ReadOnly(); }
  std::error_code Flush() override { return {}; }
  std::error_code Size(std::uint64_t& size) override { return file_.Size(size); }
  std::error_code Truncate(std::uint64_t) override { return ReadOnly(); }

 private:
  static std::error_code ReadOnly() { return std::make_error_code(std::errc::read_only_file_system); }
  Storage& file_;
  std::vector<RecordChange> torn_;
};

// What the reading commands (-l, -x, -check) work with: the archive, its
// restore point when one loads, and the archive as readers will have it.
struct Reading {
  std::unique_ptr<Storage> file;
  std::unique_ptr<Storage> journal;
  std::optional<RestorePoint> point;
  Status point_status;  // why the restore point did not load
  std::unique_ptr<TakenBack> taken_back;
  std::vector<std::uint32_t> torn;  // where the torn records sit
  Storage& view() { return taken_back ? *taken_back : *file; }
  bool is_torn(const Entry& e) const { return std::count(torn.begin(), torn.end(), e.record_pos) > 0; }
};

Status OpenForReading(FileSystem& fs, const std::string& path, Reading& r) {
  if (auto e = fs.Open(path, OpenMode::kRead, r.file)) return InFile(Fail(e, "cannot open"), path);
  const std::string restore_path = RestorePathFor(path);
  if (!fs.Exists(restore_path)) return {};
  RestorePoint point;
  if (auto e = fs.Open(restore_path, OpenMode::kRead, r.journal)) {
    r.point_status = InFile(Fail(e, "cannot open"), restore_path);
    return {};
  }
  r.point_status = LoadRestorePoint(*r.journal, point);
  if (!r.point_status.ok()) return {};
  std::vector<RecordChange> torn;
  if (TornRecords(*r.file, point, torn).ok() && !torn.empty()) {
    for (const RecordChange& c : torn) r.torn.push_back(c.pos);
    r.taken_back = std::make_unique<TakenBack>(*r.file, std::move(torn));
  }
  r.point = std::move(point);
  return {};
}

// An entry whose record a power loss tore reads as neither version of it:
// it is named, and what to do.
Status RefuseTorn(const Reading& r, const Entry& e, const std::string& path) {
  if (!r.is_torn(e)) return {};
  return InFile(Fail(Errc::kTornEntry, "entry \"" + e.name + "\""), path);
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
  } else if (reached == TargetState::kPartly) {
    line += "after readers could see part of it: the next gfxpak command on the archive writes the rest";
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

// What a restore point of an earlier layout cannot tell.
constexpr std::string_view kEarlierPoint =
    "made by an earlier gfxpak: it can check the original's header, table and last 4 KiB, not each entry (the next "
    "import takes the hashes it needs)";

// The restore point's line of the listing: what it holds and whether the
// archive is as it expects; with a usable one and a readable table a, the
// origin of each entry.
Status ListRestorePoint(const std::string& path, Reading& r, const Archive& a, std::vector<Origin>& origins,
                        std::ostream& out) {
  if (!r.journal && r.point_status.ok()) {
    out << "restore point: none\n";
    return {};
  }
  const std::string restore_path = RestorePathFor(path);
  std::uint64_t journal_size = 0;
  if (r.journal) r.journal->Size(journal_size);
  out << "restore point: " << restore_path << ", " << journal_size << " bytes";
  Status s = r.point_status;
  if (s.ok()) s = CheckBelongs(*r.journal, *r.file, *r.point);
  if (s.ok() && r.point->state == RestoreState::kIdle && r.point->layout > 1) s = CheckFingerprint(*r.file, *r.point);
  if (!s.ok()) {
    out << ", unusable: " << Describe(s.error()) << '\n';
    return {};
  }
  const RestorePoint& point = *r.point;
  out << ", " << point.ranges.size() << " saved ranges, original size " << point.original_size;
  if (point.pieces.empty()) out << ", " << kEarlierPoint;
  if (point.state == RestoreState::kUpdating) out << "; " << PendingUpdate(*r.file, point);
  if (point.state == RestoreState::kRestoring) {
    out << "; " << ErrorText(Errc::kRestoreUnfinished) << "; " << PartWayBack(path);
  }
  out << '\n';
  // Between an update cut short and the next writer, or half way back to the
  // original, entries are neither one thing nor the other.
  if (point.state == RestoreState::kIdle && !a.entries.empty()) {
    if (!CompareWithOriginal(*r.journal, *r.file, point, a, origins).ok()) origins.clear();
  }
  return {};
}

Status List(FileSystem& fs, const std::string& path, std::ostream& out) {
  Reading r;
  if (Status s = OpenForReading(fs, path, r); !s.ok()) return s;
  Archive a;
  if (Status s = ReadArchive(r.view(), a); !s.ok()) {
    // An update cut short can be why: its restore point says so.
    if (r.journal) {
      out << path << ": unreadable\n";
      std::vector<Origin> origins;
      if (Status listed = ListRestorePoint(path, r, a, origins, out); !listed.ok()) return listed;
    }
    return InFile(s, path);
  }
  out << path << ": " << std::string(a.magic.begin(), a.magic.end()) << ", " << a.entries.size() << " entries, "
      << a.file_size << " bytes (header says " << a.archive_size << "), third field " << a.header_field << " ("
      << ConventionName(a);
  if (a.convention == HeaderField::kTableEnd) out << " + " << a.field_extra;
  out << "), dead space " << DeadBytes(a) << " bytes\n";
  std::vector<Origin> origins;
  if (Status s = ListRestorePoint(path, r, a, origins, out); !s.ok()) return s;
  out << "    offset       size  packed  " << (origins.empty() ? "" : "since     ") << "name\n";
  std::vector<std::uint8_t> head;
  std::array<std::size_t, 3> counts{};
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const Entry& e = a.entries[i];
    head.resize(std::min<std::size_t>(e.size, refpack::kMaxHeaderSize));
    if (auto err = r.view().Read(e.offset, head)) return InFile(Fail(err, "cannot read"), path);
    const bool packed = refpack::DeclaredSize(head).has_value();
    out << std::setw(10) << e.offset << ' ' << std::setw(10) << e.size << "  " << (packed ? "yes   " : "no    ") << "  ";
    if (!origins.empty()) {
      ++counts[static_cast<std::size_t>(origins[i])];
      out << std::left << std::setw(10) << OriginName(origins[i]) << std::right;
    }
    out << Printable(e.name);
    if (r.is_torn(e)) out << "  (record half written by a power loss, listed as it was: the next change repairs it)";
    out << '\n';
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

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// Every entry read, and decoded where it is compressed.
Status ReadEveryEntry(Storage& storage, const Archive& a, Problems& problems, std::size_t& packed) {
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> plain;
  for (const Entry& e : a.entries) {
    if (Status s = ReadEntry(storage, e, data); !s.ok()) return s;
    if (!refpack::DeclaredSize(data)) continue;
    ++packed;
    std::string why;
    if (!refpack::Decompress(data, plain, &why)) {
      problems.Add("entry " + Quoted(e.name) + ": " + ErrorText(Errc::kNotRefPack) + " (" + why + ")");
    }
  }
  return {};
}

// The records that follow the last one the header counts, where a reader
// that trusts the count never looks: a count that was lowered leaves them
// there, whole, before the first data.
std::vector<std::string> UncountedRecords(Storage& storage, const Archive& a) {
  constexpr std::size_t kLongestName = 260;
  std::vector<std::string> names;
  std::uint64_t pos = a.table_end;
  std::vector<std::uint8_t> record(8 + kLongestName);
  while (pos + 9 <= a.first_data) {
    record.resize(static_cast<std::size_t>(std::min<std::uint64_t>(8 + kLongestName, a.first_data - pos)));
    if (storage.Read(pos, record)) break;
    const std::uint32_t offset = GetBe32(record.data());
    const std::uint32_t size = GetBe32(record.data() + 4);
    const auto nul = std::find(record.begin() + 8, record.end(), std::uint8_t{0});
    const bool printable = std::all_of(record.begin() + 8, nul, [](std::uint8_t c) { return c >= 0x20 && c != 0x7F; });
    if (nul == record.end() || nul == record.begin() + 8 || !printable || size == 0 || offset < a.first_data ||
        std::uint64_t{offset} + size > a.file_size) {
      break;
    }
    names.emplace_back(record.begin() + 8, nul);
    pos += static_cast<std::uint64_t>(nul - record.begin()) + 1;
  }
  return names;
}

// The table as a reader meets it: names it can ask for, records in the
// order and the number the header gives, entries whose bytes do not run
// into one another. Entries that -restore NAME takes off the end of the
// table leave their records behind it: where the archive is as gfxpak
// left it, those are not looked for.
void CheckTable(Storage& storage, const Archive& a, bool as_left, Problems& problems) {
  std::vector<std::string> seen;
  for (const Entry& e : a.entries) {
    if (e.name.empty() || std::any_of(e.name.begin(), e.name.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        })) {
      problems.Add("entry " + Quoted(e.name) + ": its name is empty or holds a control character");
    }
    const std::string normal = NormalizeName(e.name);
    if (std::count(seen.begin(), seen.end(), normal) == 1) {
      problems.Add("entry " + Quoted(e.name) + ": another entry before it has that name, which is the one readers get");
    }
    seen.push_back(normal);
  }
  const std::vector<std::string> uncounted = as_left ? std::vector<std::string>() : UncountedRecords(storage, a);
  if (!uncounted.empty()) {
    problems.Add("the header counts " + std::to_string(a.entries.size()) + " entries, but " +
                 std::to_string(uncounted.size()) + " more records follow the table (the first " +
                 Quoted(uncounted.front()) + "): readers do not see them");
  }
  // Entries may share bytes, as a packer that stores a file once for two
  // names makes them; one that begins inside another and runs past its
  // end was written over by a program that did not know of the other.
  std::vector<const Entry*> by_offset;
  for (const Entry& e : a.entries) {
    if (e.size > 0) by_offset.push_back(&e);
  }
  std::sort(by_offset.begin(), by_offset.end(), [](const Entry* x, const Entry* y) {
    return x->offset != y->offset ? x->offset < y->offset : x->size > y->size;
  });
  const Entry* reach = nullptr;  // of the entries so far, the one that ends last
  for (const Entry* e : by_offset) {
    const auto end = [](const Entry* x) { return std::uint64_t{x->offset} + x->size; };
    if (reach != nullptr && e->offset < end(reach) && end(e) > end(reach)) {
      problems.Add("entry " + Quoted(e->name) + " overlaps entry " + Quoted(reach->name) + " in part");
    }
    if (reach == nullptr || end(e) > end(reach)) reach = e;
  }
  if (a.archive_size > a.file_size) {
    problems.Add("the header says " + std::to_string(a.archive_size) + " bytes, the file has " +
                 std::to_string(a.file_size));
  }
}

// Each entry against what the restore point knows it should hold, and the
// original against what -restore would give back.
Status CheckAgainstOriginal(const std::string& path, Reading& r, const Archive* a, const OriginalCheck& check,
                            Problems& problems, std::size_t& unknown) {
  const RestorePoint& point = *r.point;
  const std::string advice = ": -restore cannot give the original back; the game's own " + BareName(path) +
                             " (from its CD or a backup) can";
  std::vector<std::size_t> named;
  if (a != nullptr && point.state != RestoreState::kRestoring) {
    std::vector<EntryStanding> standings;
    if (Status s = CheckEntries(r.view(), point, *a, check, standings); !s.ok()) return s;
    for (const EntryStanding& st : standings) {
      const std::string entry = st.index < a->entries.size() ? Quoted(a->entries[st.index].name) : std::string();
      switch (st.standing) {
        case Standing::kSound: break;
        case Standing::kUnknown: ++unknown; break;
        case Standing::kNotOriginal:
          problems.Add("entry " + entry + ": its bytes are not the original's, and gfxpak never changed it" + advice);
          named.push_back(st.index);
          break;
        case Standing::kNotAsWritten:
          problems.Add("entry " + entry + ": its bytes are neither the original's nor those gfxpak wrote there");
          break;
        case Standing::kRenamed:
          problems.Add(entry.empty() ? "entry " + Quoted(st.expected_name) + " of the original is not in the table"
                                     : "entry " + entry + " was named " + Quoted(st.expected_name));
          break;
      }
    }
  }
  for (const Difference& d : Differences(check)) {
    if (d.entries.empty()) {
      problems.Add("bytes " + std::to_string(d.begin) + " to " + std::to_string(d.end) +
                   " of the original, between its entries, are not the original's" + advice);
    }
    // An entry gfxpak never changed is named once, above; a replaced one
    // here, by the bytes -restore would put back.
    for (const std::size_t e : d.entries) {
      if (std::count(named.begin(), named.end(), e) > 0) continue;
      named.push_back(e);
      problems.Add("the original bytes of entry " + Quoted(check.entries[e].name) + " are not the original's" + advice);
    }
  }
  return {};
}

// The restore point, if there is one, against the archive.
void CheckRestorePointOf(const std::string& path, Reading& r, const Archive* a, Problems& problems,
                         std::string& verdict) {
  if (!r.journal && r.point_status.ok()) {
    verdict = "no restore point (without one, an entry that is not compressed cannot be checked)";
    return;
  }
  const std::string restore_name = BareName(RestorePathFor(path));
  if (!r.point_status.ok()) {
    problems.Add(restore_name + ": " + Describe(r.point_status.error()));
    return;
  }
  Status s = CheckBelongs(*r.journal, *r.file, *r.point);
  if (s.ok() && r.point->state == RestoreState::kIdle && r.point->layout > 1) s = CheckFingerprint(*r.file, *r.point);
  // Which entries changed is what the player can act on: it is told even
  // where the archive is no longer as gfxpak left it, and instead of
  // "another archive" where the original's last bytes are all that differs.
  std::uint64_t size = 0;
  if (r.file->Size(size) || size < r.point->original_size) {
    problems.Add(restore_name + ": " + Describe(s.error()));
    return;
  }
  OriginalCheck check;
  if (Status checked = CheckOriginal(*r.journal, *r.file, *r.point, check); !checked.ok()) {
    problems.Add(Describe(InFile(checked, path).error()));
    return;
  }
  if (!s.ok() && (s.code() != Errc::kForeignRestorePoint || !check.any() || check.mostly())) {
    problems.Add(restore_name + ": " + Describe(s.error()));
  }
  if (r.point->state == RestoreState::kUpdating && r.torn.empty()) {
    problems.Add(restore_name + ": " + PendingUpdate(*r.file, *r.point));
  } else if (r.point->state == RestoreState::kRestoring) {
    problems.Add(restore_name + ": " + ErrorText(Errc::kRestoreUnfinished) + "; " + PartWayBack(path));
  }
  std::size_t unknown = 0;
  if (Status checked = CheckAgainstOriginal(path, r, a, check, problems, unknown); !checked.ok()) {
    problems.Add(Describe(InFile(checked, path).error()));
  }
  if (r.point->pieces.empty()) {
    verdict = "its restore point matches it; ";
    verdict += kEarlierPoint;
  } else {
    verdict = "its restore point matches it, and every entry holds the original's bytes or those gfxpak wrote";
    if (unknown > 0) verdict += " (" + std::to_string(unknown) + " written before then could not be checked)";
  }
}

Status Check(FileSystem& fs, const std::string& path, std::ostream& out) {
  Reading r;
  if (Status s = OpenForReading(fs, path, r); !s.ok()) return s;
  Problems problems;
  Archive a;
  std::size_t packed = 0;
  const Status readable = ReadArchive(r.view(), a);
  if (!readable.ok()) {
    problems.Add(Describe(InFile(readable, path).error()));
  } else if (Status read = ReadEveryEntry(r.view(), a, problems, packed); !read.ok()) {
    return InFile(read, path);
  } else {
    const bool as_left = r.point && (r.point->state != RestoreState::kIdle ||
                                     (r.point->layout > 1 && CheckFingerprint(*r.file, *r.point).ok()));
    CheckTable(r.view(), a, as_left, problems);
  }
  for (const Entry& e : a.entries) {
    if (Status torn = RefuseTorn(r, e, path); !torn.ok()) problems.Add(Describe(torn.error()));
  }
  std::string verdict;
  CheckRestorePointOf(path, r, readable.ok() ? &a : nullptr, problems, verdict);
  for (const std::string& line : problems.lines) out << line << '\n';
  if (!problems.lines.empty()) {
    return InFile(Fail(Errc::kProblemsFound, {}, std::to_string(problems.lines.size())), path);
  }
  out << path << ": " << a.entries.size() << " entries read, " << packed << " compressed ones decoded; " << verdict
      << '\n';
  return {};
}

// Whether -x decompresses the entry it writes out (-d).
enum class Decode { kNo, kYes };

Status Extract(FileSystem& fs, const std::string& path, const std::string& name, const std::string& out_path,
               Decode decode, Notes& notes) {
  if (Status s = CheckNotKept(fs, out_path, FileUse::kOutput); !s.ok()) return s;
  if (IsOwnFile(fs, path, out_path)) return InFile(Fail(Errc::kIsTheArchive), out_path);
  Reading r;
  if (Status s = OpenForReading(fs, path, r); !s.ok()) return s;
  if (r.point && r.point->state == RestoreState::kRestoring) {
    notes.lines.push_back(path + ": " + ErrorText(Errc::kRestoreUnfinished) + "; " + PartWayBack(path));
  }
  Archive a;
  if (Status s = ReadArchive(r.view(), a); !s.ok()) return InFile(s, path);
  const std::optional<std::size_t> index = FindEntry(a, name);
  if (!index) return InFile(Fail(Errc::kNoEntry, {}, "\"" + name + "\""), path);
  if (Status s = RefuseTorn(r, a.entries[*index], path); !s.ok()) return s;
  std::vector<std::uint8_t> data;
  if (Status s = ReadEntry(r.view(), a.entries[*index], data); !s.ok()) return InFile(s, path);
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
     [](const Call& c) {
       return Extract(c.fs, c.operands[0], c.operands[1], c.operands[2], FlagAs<Decode>(c), c.notes);
     }},
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

// Each ARCHIVE among the operands (the first, or for ARCHIVE... all up to
// "--"): never a name that gfxpak gives an archive's own files, and
// replaced by the copy of it that the game reads where that is another
// file (a per-user copy that Windows made), which the command then works
// on, saying so first.
Status TakeArchiveOperands(const Command& c, Args& operands, FileSystem& fs, std::ostream& out) {
  if (!c.operands.starts_with("ARCHIVE")) return {};
  const auto archives = c.operands.starts_with("ARCHIVE...") ? std::find(operands.begin(), operands.end(), "--")
                                                              : operands.begin() + (operands.empty() ? 0 : 1);
  for (auto it = operands.begin(); it != archives; ++it) {
    if (Status s = CheckNotKept(fs, *it, FileUse::kArchive); !s.ok()) return s;
    const std::string copy = fs.GameCopyOf(*it);
    if (copy == *it) continue;
    out << *it << ": the game reads its copy " << copy << "; that copy is the one used\n";
    *it = copy;
  }
  return {};
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
      Args used = operands;
      if (Status s = TakeArchiveOperands(c, used, fs, out); !s.ok()) return s;
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
