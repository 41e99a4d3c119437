// gfxpak -check: the archive read as a reader would, every compressed
// entry decoded, and with a restore point each entry against what it
// should hold.
#include <algorithm>
#include <string>
#include <vector>

#include "archive_reading.h"
#include "big_archive.h"
#include "byte_order.h"
#include "cli_commands.h"
#include "path_names.h"
#include "refpack/refpack.h"
#include "restore_checks.h"

namespace gfxpak {

namespace {

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
  std::vector<std::uint8_t> record(kRecordFixed + kLongestName);
  while (pos + kRecordFixed + 1 <= a.first_data) {
    record.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kRecordFixed + kLongestName, a.first_data - pos)));
    if (storage.Read(pos, record)) break;
    const std::uint32_t offset = GetBe32(record.data() + kRecordOffset);
    const std::uint32_t size = GetBe32(record.data() + kRecordSize);
    const auto name = record.begin() + kRecordFixed;
    const auto nul = std::find(name, record.end(), std::uint8_t{0});
    const bool printable = std::all_of(name, nul, [](std::uint8_t c) { return c >= 0x20 && c != 0x7F; });
    if (nul == record.end() || nul == name || !printable || size == 0 || offset < a.first_data ||
        std::uint64_t{offset} + size > a.file_size) {
      break;
    }
    names.emplace_back(name, nul);
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
  if (r.no_restore_point()) {
    verdict = "no restore point (without one, an entry that is not compressed cannot be checked)";
    return;
  }
  const std::string restore_name = BareName(RestorePathFor(path));
  if (!r.point_status.ok()) {
    problems.Add(restore_name + ": " + Describe(r.point_status.error()));
    return;
  }
  const Status s = UsableRestorePoint(r);
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

}  // namespace

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

}  // namespace gfxpak
