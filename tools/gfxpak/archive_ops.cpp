#include "archive_ops.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "big_archive.h"
#include "restore_point.h"
#include "temp_names.h"

namespace gfxpak {

namespace {

Status CannotOpen(std::error_code e, const std::string& path) {
  // "archive is in use" says it all.
  return InFile(Fail(e, e == Errc::kInUse ? "" : "cannot open"), path);
}

// One writer's hold on an archive, for the whole of its command.
Status Hold(FileSystem& fs, const std::string& archive, FileLock& lock) {
  if (auto e = fs.Lock(LockPathFor(archive), lock)) return InFile(Fail(e, e == Errc::kInUse ? "" : "cannot lock"), archive);
  for (const std::string& leftover : {TempPathFor(archive), TempPathFor(RestorePathFor(archive))}) {
    if (!fs.Exists(leftover)) continue;
    if (auto e = fs.Remove(leftover)) return InFile(Fail(e, "cannot remove what a killed gfxpak left"), leftover);
  }
  return {};
}

struct OpenPoint {
  std::unique_ptr<Storage> journal;
  RestorePoint point;
};

// The archive's restore point, open and in the current layout, with an
// update that a kill cut short settled. One of the earlier layout can only be
// checked against the last bytes of its original: that check is made before
// the fingerprint of today's archive is written into it, unless forced.
Status OpenRestorePoint(FileSystem& fs, const std::string& archive_path, Storage& archive, Force force,
                        OpenPoint& open, Settlement* settled) {
  const std::string path = RestorePathFor(archive_path);
  if (auto e = fs.Open(path, OpenMode::kUpdate, open.journal)) return CannotOpen(e, path);
  if (Status s = LoadRestorePoint(*open.journal, open.point); !s.ok()) return InFile(s, path);
  if (open.point.earlier_layout) {
    if (force == Force::kNo) {
      if (Status s = CheckBelongs(*open.journal, archive, open.point); !s.ok()) return InFile(s, path);
    }
    std::vector<std::uint8_t> bytes;
    if (Status s = UpgradeRestorePoint(*open.journal, archive, open.point, bytes); !s.ok()) return InFile(s, path);
    open.journal.reset();
    if (Status s = WriteFileVia(fs, TempPathFor(path), path, bytes); !s.ok()) return s;
    if (auto e = fs.Open(path, OpenMode::kUpdate, open.journal)) return CannotOpen(e, path);
    if (Status s = LoadRestorePoint(*open.journal, open.point); !s.ok()) return InFile(s, path);
  }
  Settlement settlement;
  const Status s = RestoreJournal(*open.journal, archive, open.point).Settle(settlement);
  if (settled != nullptr) *settled = settlement;
  return InFile(s, archive_path);
}

// The archive as the restore point expects to find it. A restore that was
// cut short has changed the archive already: only the original's own bytes
// can be checked then.
Status CheckRestorePoint(OpenPoint& open, Storage& archive, const std::string& archive_path) {
  const std::string path = RestorePathFor(archive_path);
  if (Status s = CheckBelongs(*open.journal, archive, open.point); !s.ok()) return InFile(s, path);
  if (open.point.state == RestoreState::kRestoring) return {};
  return InFile(CheckFingerprint(archive, open.point), path);
}

// The restore point an import writes through: the one there is, checked, or
// else a new one when make says so. An existing one is used even with
// -norestore: writing past it would make it restore a mix.
Status RestorePointForImport(FileSystem& fs, const std::string& archive_path, Storage& archive, MakeRestorePoint make,
                             OpenPoint& open, bool& created, Settlement* settled) {
  const std::string restore_path = RestorePathFor(archive_path);
  created = false;
  if (fs.Exists(restore_path)) {
    if (Status s = OpenRestorePoint(fs, archive_path, archive, Force::kNo, open, settled); !s.ok()) return s;
    if (open.point.state == RestoreState::kRestoring) return InFile(Fail(Errc::kRestoreUnfinished), archive_path);
    return CheckRestorePoint(open, archive, archive_path);
  }
  if (make == MakeRestorePoint::kNo) return {};
  std::vector<std::uint8_t> bytes;
  if (Status s = NewRestorePoint(archive, bytes); !s.ok()) return InFile(s, archive_path);
  if (Status s = WriteFileVia(fs, TempPathFor(restore_path), restore_path, bytes); !s.ok()) return s;
  created = true;
  if (auto e = fs.Open(restore_path, OpenMode::kUpdate, open.journal)) return CannotOpen(e, restore_path);
  return InFile(LoadRestorePoint(*open.journal, open.point), restore_path);
}

// How an update through the restore point left the archive.
enum class ArchiveAfter {
  kUpdated,
  kAsBefore,  // it failed before writing, or its writes were undone
  kHalfWay,   // it failed and so did its undo: the restore point keeps the way back
};

// Runs one update through the restore point and records it as done with
// the archive's new fingerprint. A failed update is undone; where even its
// undo failed, the restore point keeps the way back and the error says so.
template <typename Update>
Status ThroughJournal(OpenPoint& open, Storage& archive, Update&& update, ArchiveAfter& after) {
  RestoreJournal journal(*open.journal, archive, open.point);
  const PutOptions options{open.point.original_size, &journal};
  PutResult result;
  Status status = update(options, result);
  if (status.ok()) {
    Fingerprint fingerprint;
    const std::uint32_t entry = open.point.target ? open.point.target->entry : kNoIndex;
    status = TakeFingerprint(archive, entry, fingerprint);
    if (status.ok()) status = journal.Commit(fingerprint);
    // Without its new fingerprint the restore point would refuse the
    // archive from now on: the update is taken back instead.
    if (!status.ok()) result.undone = NoteUndo(status, journal.Rollback());
  }
  after = status.ok()                          ? ArchiveAfter::kUpdated
          : !result.started || result.undone ? ArchiveAfter::kAsBefore
                                             : ArchiveAfter::kHalfWay;
  if (status.ok()) return {};
  // A restore point still marked "updating" after the archive is back is
  // harmless: the next writer takes back again what is back already.
  if (result.started && result.undone) (void)journal.Abort();
  if (after == ArchiveAfter::kHalfWay) status.error().restore_point_kept = true;
  return status;
}

// What a restore begins with: the lock, the archive and its restore point,
// which must be there.
Status HoldForRestore(FileSystem& fs, const std::string& archive_path, Force force, FileLock& lock,
                      std::unique_ptr<Storage>& archive, OpenPoint& open, Settlement* settled) {
  if (Status s = Hold(fs, archive_path, lock); !s.ok()) return s;
  const std::string restore_path = RestorePathFor(archive_path);
  if (!fs.Exists(restore_path)) return InFile(Fail(Errc::kNoRestorePoint, {}, "no " + BareName(restore_path)), archive_path);
  if (auto e = fs.Open(archive_path, OpenMode::kUpdate, archive)) return CannotOpen(e, archive_path);
  return OpenRestorePoint(fs, archive_path, *archive, force, open, settled);
}

// Writes the whole original back and deletes the restore point, which goes
// only once the archive is whole again and closed (Windows removes no open
// file): an interrupted restore finds its restore point and runs again.
Status PutOriginalBack(FileSystem& fs, const std::string& archive_path, std::unique_ptr<Storage>& archive,
                       OpenPoint& open, Force force) {
  const TailCheck tail = force == Force::kYes ? TailCheck::kSkip : TailCheck::kCheck;
  if (Status s = RestoreJournal(*open.journal, *archive, open.point).Restore(tail); !s.ok()) {
    return InFile(s, archive_path);
  }
  open.journal.reset();
  archive.reset();
  const std::string restore_path = RestorePathFor(archive_path);
  if (auto e = fs.Remove(restore_path)) return InFile(Fail(e, "cannot remove"), restore_path);
  return {};
}

// The entries -restore NAME... takes back, checked before anything is written.
struct Undo {
  std::vector<std::size_t> replaced;  // ascending
  std::vector<std::size_t> added;     // ascending
};

Status ResolveNames(const Archive& a, const std::vector<Origin>& origins, const std::vector<std::string>& names,
                    Undo& undo) {
  for (const std::string& name : names) {
    const std::optional<std::size_t> index = FindEntry(a, name);
    if (!index) return Fail(Errc::kNoEntry, {}, "\"" + name + "\"");
    if (origins[*index] == Origin::kOriginal) return Fail(Errc::kUnchangedEntry, {}, "\"" + a.entries[*index].name + "\"");
    (origins[*index] == Origin::kAdded ? undo.added : undo.replaced).push_back(*index);
  }
  for (std::vector<std::size_t>* list : {&undo.replaced, &undo.added}) {
    std::sort(list->begin(), list->end());
    list->erase(std::unique(list->begin(), list->end()), list->end());
  }
  return {};
}

// Gives a replaced entry its original bytes: where they still lie whole in
// the archive, by pointing the entry back at them; where the growing table
// took their place, as a copy that the restore point supplies.
Status PutEntryBack(OpenPoint& open, Storage& archive, const Archive& a, const Entry& original, std::size_t index) {
  std::vector<std::uint8_t> was;
  const std::uint64_t end = std::uint64_t{original.offset} + original.size;
  if (Status s = ReadOriginal(*open.journal, archive, open.point, original.offset, end, was); !s.ok()) return s;
  std::vector<std::uint8_t> now(was.size());
  const bool in_place = original.offset >= a.table_end + a.trailer.size() && !archive.Read(original.offset, now) &&
                        now == was;
  ArchiveAfter after = ArchiveAfter::kUpdated;
  return ThroughJournal(
      open, archive,
      [&](const PutOptions& options, PutResult& result) {
        return in_place ? RepointEntry(archive, index, original.offset, original.size, options, &result)
                        : ReplaceEntry(archive, index, was, options, &result);
      },
      after);
}

// Takes entries that are not at the end of the table out of it, on a copy
// that replaces the archive (see PlanRemoval). The restore point records the
// removal first, so that a kill between the rename and the record is
// settled by what readers see.
Status RemoveByCopy(FileSystem& fs, const std::string& archive_path, std::unique_ptr<Storage>& archive,
                    OpenPoint& open, const std::vector<std::size_t>& removed) {
  Archive a;
  if (Status s = ReadArchive(*archive, a); !s.ok()) return s;
  const UpdateTarget target = PlanRemoval(a, removed);
  const std::uint64_t reach = a.table_end + a.trailer.size();
  if (Status s = RestoreJournal(*open.journal, *archive, open.point).Begin(a.file_size, reach, target); !s.ok()) {
    return s;
  }
  const std::string temp = TempPathFor(archive_path);
  std::unique_ptr<Storage> copy;
  Status status;
  if (auto e = fs.Open(temp, OpenMode::kCreateNew, copy)) status = InFile(Fail(e, "cannot create"), temp);
  if (status.ok()) status = WriteRemoval(*archive, *copy, target);
  // Windows renames over no open file.
  copy.reset();
  archive.reset();
  if (status.ok()) {
    if (auto e = fs.Rename(temp, archive_path)) status = Fail(e, "cannot rename " + BareName(temp) + " over it");
  }
  if (auto e = fs.Open(archive_path, OpenMode::kUpdate, archive)) return CannotOpen(e, archive_path);
  RestoreJournal journal(*open.journal, *archive, open.point);
  if (!status.ok()) {
    // The archive is untouched: a restore point left "updating" is settled
    // by the next writer, which finds nothing to take back.
    fs.Remove(temp);
    (void)journal.Abort();
    return status;
  }
  Fingerprint fingerprint;
  status = TakeFingerprint(*archive, kNoIndex, fingerprint);
  if (status.ok()) status = journal.Commit(fingerprint);
  // The archive is the new one already: the next writer records it as done.
  if (!status.ok()) status.error().restore_point_kept = true;
  return status;
}

// Whether the archive holds the original's entries, and only those.
Status IsOriginalAgain(OpenPoint& open, Storage& archive, bool& original) {
  Archive a;
  std::vector<Origin> origins;
  if (Status s = ReadArchive(archive, a); !s.ok()) return s;
  if (Status s = CompareWithOriginal(*open.journal, archive, open.point, a, origins); !s.ok()) return s;
  original = std::all_of(origins.begin(), origins.end(), [](Origin o) { return o == Origin::kOriginal; });
  return {};
}

}  // namespace

std::string LockPathFor(const std::string& archive) { return archive + ".lock"; }

bool IsOwnFile(FileSystem& fs, const std::string& archive, const std::string& path) {
  return fs.Same(path, archive) || fs.Same(path, RestorePathFor(archive));
}

Status CheckNotKept(FileSystem& fs, const std::string& path, FileUse use) {
  const auto kept = [&](std::string what) { return InFile(Fail(Errc::kKeptFile, {}, std::move(what)), path); };
  // By name first: a lock file is empty, and exists only while a writer
  // runs or after one was killed. Letter case counts for nothing, as on
  // Windows.
  const std::string name = NormalizeName(path);
  if (IsTemporaryPath(name)) return kept("a temporary file of gfxpak's");
  for (const auto& [ending, what] : {std::pair{LockPathFor(""), "the lock file of "},
                                     std::pair{RestorePathFor(""), "the restore point of "}}) {
    if (!name.ends_with(ending)) continue;
    const std::string archive = path.substr(0, path.size() - ending.size());
    if (!BareName(archive).empty() && fs.Exists(archive)) return kept(what + BareName(archive));
  }
  std::unique_ptr<Storage> file;
  if (fs.Open(path, OpenMode::kRead, file)) return {};
  std::uint64_t size = 0;
  std::array<std::uint8_t, 8> head{};
  if (file->Size(size) || size < head.size() || file->Read(0, head)) return {};
  if (StartsAsRestorePoint(head)) return kept("a restore point");
  if (use == FileUse::kOutput && StartsAsArchive(head)) return InFile(Fail(Errc::kIsAnArchive), path);
  return {};
}

Status PutIntoArchive(FileSystem& fs, const std::string& archive_path, std::string_view name,
                      std::span<const std::uint8_t> data, MakeRestorePoint make, const std::string& source,
                      Settlement* settled) {
  // Before the lock, which clears what a killed writer left: a refused
  // file changes nothing.
  if (!source.empty()) {
    if (Status s = CheckNotKept(fs, source, FileUse::kImport); !s.ok()) return s;
  }
  FileLock lock;
  if (Status s = Hold(fs, archive_path, lock); !s.ok()) return s;
  const std::string restore_path = RestorePathFor(archive_path);
  // Asked under the lock: on Windows even a look at the archive's identity
  // holds it open for a moment, long enough to fail another writer's rename.
  if (!source.empty() && IsOwnFile(fs, archive_path, source)) return InFile(Fail(Errc::kIsTheArchive), source);
  if (!fs.Exists(archive_path)) {
    if (fs.Exists(restore_path)) return InFile(Fail(Errc::kOrphanRestorePoint), archive_path);
    std::vector<std::uint8_t> bytes;
    if (Status s = NewArchive(name, data, bytes); !s.ok()) return InFile(s, archive_path);
    return WriteFileVia(fs, TempPathFor(archive_path), archive_path, bytes);
  }
  std::unique_ptr<Storage> archive;
  if (auto e = fs.Open(archive_path, OpenMode::kUpdate, archive)) return CannotOpen(e, archive_path);
  OpenPoint open;
  bool created = false;
  if (Status s = RestorePointForImport(fs, archive_path, *archive, make, open, created, settled);
      !s.ok()) {
    return s;
  }

  const auto put = [&](const PutOptions& options, PutResult& result) {
    return PutEntry(*archive, name, data, options, &result);
  };
  if (!open.journal) {
    PutResult result;
    return InFile(put(PutOptions{}, result), archive_path);
  }
  ArchiveAfter after = ArchiveAfter::kUpdated;
  const Status status = ThroughJournal(open, *archive, put, after);
  if (after == ArchiveAfter::kAsBefore && created) {
    // It recorded an archive that is still the original; if it cannot go
    // now, it restores that same original.
    open.journal.reset();
    fs.Remove(restore_path);
  }
  return InFile(status, archive_path);
}

Status RestoreArchive(FileSystem& fs, const std::string& archive_path, Force force, std::uint64_t& original_size,
                      Settlement* settled) {
  FileLock lock;
  std::unique_ptr<Storage> archive;
  OpenPoint open;
  if (Status s = HoldForRestore(fs, archive_path, force, lock, archive, open, settled); !s.ok()) return s;
  if (force == Force::kNo) {
    if (Status s = CheckRestorePoint(open, *archive, archive_path); !s.ok()) return s;
  }
  original_size = open.point.original_size;
  return PutOriginalBack(fs, archive_path, archive, open, force);
}

Status RestoreEntries(FileSystem& fs, const std::string& archive_path, const std::vector<std::string>& names,
                      EntriesRestored& done, Settlement* settled) {
  done = EntriesRestored{};
  FileLock lock;
  std::unique_ptr<Storage> archive;
  OpenPoint open;
  if (Status s = HoldForRestore(fs, archive_path, Force::kNo, lock, archive, open, settled); !s.ok()) return s;
  if (open.point.state == RestoreState::kRestoring) return InFile(Fail(Errc::kRestoreUnfinished), archive_path);
  if (Status s = CheckRestorePoint(open, *archive, archive_path); !s.ok()) return s;

  Archive a;
  std::vector<Origin> origins;
  std::vector<Entry> original;
  Undo undo;
  Status s = ReadArchive(*archive, a);
  if (s.ok()) s = CompareWithOriginal(*open.journal, *archive, open.point, a, origins);
  if (s.ok()) s = OriginalEntries(*open.journal, open.point, original);
  if (s.ok()) s = ResolveNames(a, origins, names, undo);
  if (!s.ok()) return InFile(s, archive_path);

  // Replaced entries first: they keep their places, which removing added
  // entries (all behind the original ones) does not change.
  for (const std::size_t i : undo.replaced) {
    if (Status put = PutEntryBack(open, *archive, a, original[i], i); !put.ok()) return InFile(put, archive_path);
    done.replaced.push_back(a.entries[i].name);
  }
  // Added entries at the end of the table go with one write of the header;
  // the others on a copy.
  std::size_t keep = a.entries.size();
  while (!undo.added.empty() && undo.added.back() == keep - 1) {
    --keep;
    undo.added.pop_back();
  }
  if (keep < a.entries.size()) {
    ArchiveAfter after = ArchiveAfter::kUpdated;
    const auto drop = [&](const PutOptions& options, PutResult& result) {
      return DropLastEntries(*archive, keep, options, &result);
    };
    if (Status cut = ThroughJournal(open, *archive, drop, after); !cut.ok()) return InFile(cut, archive_path);
    for (std::size_t i = keep; i < a.entries.size(); ++i) done.removed.push_back(a.entries[i].name);
  }
  if (!undo.added.empty()) {
    if (Status removed = RemoveByCopy(fs, archive_path, archive, open, undo.added); !removed.ok()) {
      return InFile(removed, archive_path);
    }
    for (const std::size_t i : undo.added) done.removed.push_back(a.entries[i].name);
  }

  if (Status check = IsOriginalAgain(open, *archive, done.original); !check.ok()) return InFile(check, archive_path);
  if (!done.original) return {};
  done.original_size = open.point.original_size;
  return PutOriginalBack(fs, archive_path, archive, open, Force::kNo);
}

Status CompactArchiveFile(FileSystem& fs, const std::string& archive_path, Force force, bool& dropped_restore_point,
                          Settlement* settled) {
  dropped_restore_point = false;
  FileLock lock;
  if (Status s = Hold(fs, archive_path, lock); !s.ok()) return s;
  const std::string restore_path = RestorePathFor(archive_path);
  const bool has_restore_point = fs.Exists(restore_path);
  if (has_restore_point && force == Force::kNo) return InFile(Fail(Errc::kKeepsRestorePoint), archive_path);
  std::unique_ptr<Storage> archive;
  if (auto e = fs.Open(archive_path, OpenMode::kUpdate, archive)) return CannotOpen(e, archive_path);
  if (has_restore_point) {
    // A damaged restore point goes, as -force asks; one that marks a restore
    // cut short stays, as the archive is half way back to its original.
    OpenPoint open;
    const Status s = OpenRestorePoint(fs, archive_path, *archive, Force::kYes, open, settled);
    if (!s.ok() && s.code() != Errc::kDamagedRestorePoint) return s;
    if (s.ok() && open.point.state == RestoreState::kRestoring) return InFile(Fail(Errc::kRestoreUnfinished), archive_path);
  }
  const std::string temp = TempPathFor(archive_path);
  std::unique_ptr<Storage> target;
  if (auto e = fs.Open(temp, OpenMode::kCreateNew, target)) return InFile(Fail(e, "cannot create"), temp);
  Status status = CompactArchive(*archive, *target);
  // Windows renames over no open file.
  target.reset();
  archive.reset();
  if (status.ok() && has_restore_point) {
    if (auto e = fs.Remove(restore_path)) status = InFile(Fail(e, "cannot remove"), restore_path);
    dropped_restore_point = status.ok();
  }
  if (status.ok()) {
    if (auto e = fs.Rename(temp, archive_path)) {
      status = Fail(e, "cannot rename " + BareName(temp) + " over it",
                    dropped_restore_point ? "its restore point is deleted already, as -force asked" : "");
    }
  }
  if (status.ok()) return {};
  fs.Remove(temp);
  return InFile(status, archive_path);
}

Status RecoverArchive(FileSystem& fs, const std::string& archive_path, Settlement* settled) {
  FileLock lock;
  if (Status s = Hold(fs, archive_path, lock); !s.ok()) return s;
  if (!fs.Exists(archive_path) || !fs.Exists(RestorePathFor(archive_path))) return {};
  std::unique_ptr<Storage> archive;
  if (auto e = fs.Open(archive_path, OpenMode::kUpdate, archive)) return CannotOpen(e, archive_path);
  OpenPoint open;
  return OpenRestorePoint(fs, archive_path, *archive, Force::kNo, open, settled);
}

}  // namespace gfxpak
