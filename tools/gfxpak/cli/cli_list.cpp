// gfxpak -l: the archive's header and table, its restore point and, with
// one, where each entry stands against the original.
#include <algorithm>
#include <array>
#include <iomanip>
#include <optional>

#include "archive_reading.h"
#include "big_archive.h"
#include "cli_commands.h"
#include "refpack/refpack.h"
#include "restore_checks.h"

namespace gfxpak {

namespace {

std::string_view ConventionName(const Archive& a) {
  switch (a.convention) {
    case HeaderField::kTableEnd: return "table end";
    case HeaderField::kFirstData: return "first data";
    case HeaderField::kFixed: break;
  }
  return "fixed";
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
Status ListRestorePoint(const std::string& path, Reading& r, const Archive& a, std::vector<Origin>& origins,
                        std::ostream& out) {
  if (r.no_restore_point()) {
    out << "restore point: none\n";
    return {};
  }
  const std::string restore_path = RestorePathFor(path);
  std::uint64_t journal_size = 0;
  if (r.journal) r.journal->Size(journal_size);
  out << "restore point: " << restore_path << ", " << journal_size << " bytes";
  if (Status s = UsableRestorePoint(r); !s.ok()) {
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

}  // namespace

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

}  // namespace gfxpak
