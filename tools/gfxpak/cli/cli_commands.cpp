// The commands that write a file or change an archive, between the command
// line and the layers below: they read their inputs, call the codec or the
// archive operations and say what was done.
#include "cli_commands.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

#include "archive_reading.h"
#include "big_archive.h"
#include "file.h"
#include "refpack/refpack.h"
#include "temp_names.h"

namespace gfxpak {

namespace {

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

}  // namespace

void Notes::Add(const std::string& archive, const Settlement& settled) {
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

Status RestoreNamed(FileSystem& fs, const std::string& archive_path, const std::vector<std::string>& names,
                    std::ostream& out, Notes& notes) {
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

Status Compact(FileSystem& fs, const std::string& path, Force force, std::ostream& out, Notes& notes) {
  bool dropped = false;
  Settlement settled;
  const Status status = CompactArchiveFile(fs, path, force, dropped, &settled);
  notes.Add(path, settled);
  if (!status.ok()) return status;
  if (dropped) out << path << ": compacted; its restore point is deleted\n";
  return {};
}

}  // namespace gfxpak
