#include "archive_ops.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "big_archive.h"
#include "file_meta.h"
#include "restore_checks.h"
#include "restore_journal.h"
#include "temp_names.h"

namespace gfxpak {

namespace {

// One writer's hold on an archive, for the whole of its command.
Status Hold(FileSystem& fs, const std::string& archive, FileLock& lock) {
  if (auto e = fs.Lock(LockPathFor(archive), lock)) {
    if (e == Errc::kForeignLockFile) return InFile(Fail(e), LockPathFor(archive));
    return InFile(Fail(e, e == Errc::kInUse ? "" : "cannot lock"), archive);
  }
  // A copy of an archive that is a link lies beside the file it names.
  std::string file;
  if (auto e = fs.ResolveLinks(archive, file)) return InFile(Fail(e, "cannot follow the link"), archive);
  for (const std::string& leftover : {TempPathFor(archive), TempPathFor(RestorePathFor(archive)), TempPathFor(file)}) {
    if (!fs.Exists(leftover)) continue;
    if (auto e = fs.Remove(leftover)) return InFile(Fail(e, "cannot remove what a killed gfxpak left"), leftover);
  }
  return {};
}

struct OpenPoint {
  std::unique_ptr<Storage> journal;
  RestorePoint point;
};

// Writes bytes as the archive's restore point and opens it again.
Status RewriteRestorePoint(FileSystem& fs, const std::string& archive_path, const std::vector<std::uint8_t>& bytes,
                           OpenPoint& open) {
  const std::string path = RestorePathFor(archive_path);
  open.journal.reset();
  if (Status s = WriteFileVia(fs, TempPathFor(path), path, bytes); !s.ok()) return s;
  if (auto e = fs.Open(path, OpenMode::kUpdate, open.journal)) return CannotOpen(e, path);
  return InFile(LoadRestorePoint(*open.journal, open.point), path);
}

// The archive's restore point, open, with an update that a kill cut short
// settled. One of the first layout has no state to settle: it is brought
// into the current one first, with the archive as it is as the state gfxpak
// left, after the one check it allows (its original's last bytes), unless
// forced.
Status OpenRestorePoint(FileSystem& fs, const std::string& archive_path, Storage& archive, Force force,
                        OpenPoint& open, Settlement* settled) {
  const std::string path = RestorePathFor(archive_path);
  if (auto e = fs.Open(path, OpenMode::kUpdate, open.journal)) return CannotOpen(e, path);
  if (Status s = LoadRestorePoint(*open.journal, open.point); !s.ok()) return InFile(s, path);
  if (open.point.layout == 1) {
    if (force == Force::kNo) {
      if (Status s = CheckBelongs(*open.journal, archive, open.point); !s.ok()) return InFile(s, path);
    }
    std::vector<std::uint8_t> bytes;
    if (Status s = UpgradeRestorePoint(*open.journal, archive, open.point, WithPieces::kNo, bytes); !s.ok()) {
      return InFile(s, path);
    }
    if (Status s = RewriteRestorePoint(fs, archive_path, bytes, open); !s.ok()) return s;
  }
  Settlement settlement;
  const Status s = RestoreJournal(*open.journal, archive, open.point).Settle(settlement);
  if (settled != nullptr) *settled = settlement;
  return InFile(s, archive_path);
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
    if (Status s = CheckRestorePoint(*open.journal, archive, open.point); !s.ok()) return InFile(s, restore_path);
    if (!open.point.pieces.empty()) return {};
    // One that an earlier gfxpak made holds no hashes of the original: they
    // are taken now, once, from the original as the archive and the saved
    // ranges give it, so that from here on it proves what it gives back.
    std::vector<std::uint8_t> bytes;
    if (Status s = UpgradeRestorePoint(*open.journal, archive, open.point, WithPieces::kYes, bytes); !s.ok()) {
      return InFile(s, restore_path);
    }
    return RewriteRestorePoint(fs, archive_path, bytes, open);
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

// "entries "a.o", "b.o" and 3 others, and 2 ranges between entries (bytes
// 100 to 180, ...)": a few named, the rest counted, to fit one line.
std::string DescribeDifferences(const OriginalCheck& check) {
  constexpr std::size_t kNamed = 3;
  std::vector<std::size_t> entries;
  std::vector<const Difference*> between;
  const std::vector<Difference> differences = Differences(check);
  for (const Difference& d : differences) {
    entries.insert(entries.end(), d.entries.begin(), d.entries.end());
    if (d.entries.empty()) between.push_back(&d);
  }
  std::sort(entries.begin(), entries.end());
  entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
  std::string text;
  if (!entries.empty()) {
    text += entries.size() == 1 ? "entry " : "entries ";
    for (std::size_t i = 0; i < std::min(entries.size(), kNamed); ++i) {
      if (i > 0) text += ", ";
      text += '"';
      text += check.entries[entries[i]].name;
      text += '"';
    }
    if (entries.size() > kNamed) text += " and " + std::to_string(entries.size() - kNamed) + " others";
  }
  if (!between.empty()) {
    if (!text.empty()) text += ", and ";
    text += between.size() == 1 ? "bytes " : std::to_string(between.size()) + " ranges between entries (bytes ";
    text += std::to_string(between.front()->begin) + " to " + std::to_string(between.front()->end);
    text += between.size() == 1 ? " between entries" : ", ...)";
  }
  return text + (entries.size() + between.size() == 1 ? " is" : " are") + " not the original's";
}

// The original's pieces that the archive and its restore point no longer
// give as they were, as the error that refuses a restore for them, before
// anything is written: the player is told which entries differ and that
// only the game's own archive can mend them.
// With kSomeOnly, a check that failed already (the fingerprint, the last
// bytes) stands where most of the original differs: that is another
// archive, or one changed throughout, rather than damage to some entries.
enum class Reach { kAny, kSomeOnly };
Status CheckOriginalBeforeRestore(OpenPoint& open, Storage& archive, const std::string& archive_path,
                                  Reach reach = Reach::kAny) {
  OriginalCheck check;
  if (Status s = CheckOriginal(*open.journal, archive, open.point, check); !s.ok()) return InFile(s, archive_path);
  if (!check.any() || (reach == Reach::kSomeOnly && check.mostly())) return {};
  return InFile(Fail(Errc::kOriginalLost, {}, DescribeDifferences(check)), archive_path);
}

// Writes the whole original back and deletes the restore point, which goes
// only once the archive is whole again and closed (Windows removes no open
// file): an interrupted restore finds its restore point and runs again.
Status PutOriginalBack(FileSystem& fs, const std::string& archive_path, std::unique_ptr<Storage>& archive,
                       OpenPoint& open, Force force) {
  const TailCheck tail = force == Force::kYes ? TailCheck::kSkip : TailCheck::kCheck;
  RestoreProgress progress = RestoreProgress::kNotStarted;
  if (Status s = RestoreJournal(*open.journal, *archive, open.point).Restore(tail, progress); !s.ok()) {
    s = InFile(s, archive_path);
    s.error().part_way = progress == RestoreProgress::kPartWay;
    return s;
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

// The free space a copy of bytes beside the archive needs, checked before
// it is written: a drive with less fails a long write part way, and says
// so only about the copy.
Status CheckRoomForCopy(FileSystem& fs, const std::string& archive_path, std::uint64_t bytes) {
  std::uint64_t free = 0;
  if (fs.FreeSpace(archive_path, free) || free >= bytes) return {};
  return InFile(Fail(DiskFull(), "cannot copy it",
                     "the copy needs " + std::to_string(bytes) + " bytes beside it, the drive has " +
                         std::to_string(free) + " free; it is as it was"),
                archive_path);
}

// Writes a copy of the archive beside it with write, gives it the
// archive's permissions, runs last (what must happen between the flushed
// copy and the rename) and renames the copy over the archive, which is
// closed first (Windows renames over no open file). A failure names the
// copy, and leaves the archive as it was. An archive that is a symbolic
// link is replaced where the link leads, so that the link stays a link;
// the link is followed here, under the lock, because on Windows (and
// under Wine, which shows a Unix link as a plain file) telling where it
// leads means opening the file, which would make another writer's rename
// over it fail.
template <typename Write, typename Last>
Status ReplaceByCopy(FileSystem& fs, const std::string& archive_path, std::unique_ptr<Storage>& archive,
                     Write&& write, Last&& last) {
  std::string file;
  if (auto e = fs.ResolveLinks(archive_path, file)) return InFile(Fail(e, "cannot follow the link"), archive_path);
  const std::string temp = TempPathFor(file);
  std::unique_ptr<Storage> copy;
  Status status;
  if (auto e = fs.Open(temp, OpenMode::kCreateNew, copy)) status = InFile(Fail(e, "cannot create"), temp);
  if (status.ok()) {
    status = write(*archive, *copy);
    if (!status.ok() && status.error().path.empty()) {
      status.error().path = temp;
      status.error().detail = "the copy of " + BareName(archive_path) + "; it is as it was";
    }
  }
  copy.reset();
  archive.reset();
  if (status.ok()) {
    if (auto e = fs.KeepMode(file, temp)) status = InFile(Fail(e, "cannot give the archive's permissions"), temp);
  }
  if (status.ok()) status = last();
  if (status.ok()) {
    if (auto e = fs.Rename(temp, file)) status = InFile(Fail(e, "cannot rename " + BareName(temp) + " over it"), file);
  }
  if (!status.ok()) fs.Remove(temp);
  return status;
}

// A restore by name that takes entries out of the middle of the table, on a
// copy (see EntriesBack). The restore point records it first, so that a
// kill between the rename and the record is settled by what readers see.
Status PutBackByCopy(FileSystem& fs, const std::string& archive_path, std::unique_ptr<Storage>& archive,
                     OpenPoint& open, const EntriesBack& plan) {
  if (Status s = CheckRoomForCopy(fs, archive_path, plan.size); !s.ok()) return s;
  std::uint64_t size = 0;
  if (auto e = archive->Size(size)) return InFile(Fail(e, "cannot read"), archive_path);
  if (Status s = RestoreJournal(*open.journal, *archive, open.point).Begin(size, plan.reach, plan.target, {}); !s.ok()) {
    return InFile(s, archive_path);
  }
  Status status = ReplaceByCopy(
      fs, archive_path, archive, [&](Storage& source, Storage& copy) { return WriteEntriesBack(source, copy, plan); },
      [] { return Status(); });
  if (auto e = fs.Open(archive_path, OpenMode::kUpdate, archive)) return CannotOpen(e, archive_path);
  RestoreJournal journal(*open.journal, *archive, open.point);
  if (!status.ok()) {
    // The archive is untouched: a restore point left "updating" is settled
    // by the next writer, which finds nothing to take back.
    (void)journal.Abort();
    return status;
  }
  Fingerprint fingerprint;
  status = TakeFingerprint(*archive, kNoIndex, fingerprint);
  if (status.ok()) status = journal.Commit(fingerprint);
  // The archive is the new one already: the next writer records it as done.
  if (!status.ok()) status.error().restore_point_kept = true;
  return InFile(status, archive_path);
}

// How each replaced entry gets its original bytes back: where they still lie
// whole in the archive, by pointing it back at them; where the growing
// table took their place, as a copy that the restore point supplies. Either
// way they are checked against the original's hashes first: bytes that
// another program or the disk changed are never put back as the original.
Status PlanBack(OpenPoint& open, Storage& archive, const Archive& a, const std::vector<Entry>& original,
                const std::vector<std::size_t>& replaced, std::vector<std::vector<std::uint8_t>>& copies,
                std::vector<EntryBack>& back) {
  OriginalCheck check;
  check.entries = original;
  check.bounds = PieceBounds(original, open.point.header_length, open.point.original_size);
  std::vector<std::size_t> lost;
  for (std::size_t k = 0; k < replaced.size(); ++k) {
    const Entry& o = original[replaced[k]];
    const std::uint64_t end = std::uint64_t{o.offset} + o.size;
    std::vector<std::uint8_t>& was = copies[k];
    if (Status s = ReadOriginal(*open.journal, archive, open.point, o.offset, end, was); !s.ok()) return s;
    if (!open.point.pieces.empty()) {
      const ReadFn from_was = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        std::copy_n(was.begin() + static_cast<std::ptrdiff_t>(at - o.offset), out.size(), out.begin());
        return Status();
      };
      if (Status s = ComparePieces(open.point, check.bounds, o.offset, end, from_was, check.differs); !s.ok()) return s;
      if (check.any()) {
        lost.push_back(replaced[k]);
        check.differs.assign(check.differs.size(), false);
        continue;
      }
    }
    std::vector<std::uint8_t> now(was.size());
    const bool in_place = o.offset >= a.table_end + a.trailer.size() && !archive.Read(o.offset, now) && now == was;
    back.push_back({replaced[k], o.offset, o.size, in_place ? std::span<const std::uint8_t>() : was});
  }
  if (lost.empty()) return {};
  std::string names = lost.size() == 1 ? "entry " : "entries ";
  for (const std::size_t i : lost) names += (i == lost.front() ? "\"" : ", \"") + a.entries[i].name + "\"";
  return Fail(Errc::kOriginalLost, {}, names + (lost.size() == 1 ? " is" : " are") + " not the original's");
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
  const bool temporary = IsTemporaryPath(name);
  const std::pair<std::string, const char*> endings[] = {{LockPathFor(""), "the lock file of "},
                                                          {RestorePathFor(""), "the restore point of "}};
  // An archive or an output of such a name would be taken, or deleted, as
  // the lock file or restore point of the archive whose name it ends in,
  // once that archive exists, if it does not yet.
  if (use != FileUse::kImport) {
    const bool named_as_kept = std::any_of(std::begin(endings), std::end(endings), [&](const auto& ending) {
      return name.ends_with(ending.first) && !BareName(name.substr(0, name.size() - ending.first.size())).empty();
    });
    if (temporary || named_as_kept) return InFile(Fail(Errc::kKeptName), path);
    if (use == FileUse::kArchive) return {};
  }
  if (temporary) return kept("a temporary file of gfxpak's");
  for (const auto& [ending, what] : endings) {
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

Status RestoreArchive(FileSystem& fs, const std::string& archive_path, Force force, WholeRestore& done,
                      Settlement* settled) {
  done = WholeRestore{};
  FileLock lock;
  std::unique_ptr<Storage> archive;
  OpenPoint open;
  if (Status s = HoldForRestore(fs, archive_path, force, lock, archive, open, settled); !s.ok()) return s;
  done.original_size = open.point.original_size;
  done.layout = open.point.layout;
  done.pieces = !open.point.pieces.empty();
  done.pieces_from_upgrade = open.point.pieces_from_upgrade;
  if (force == Force::kNo) {
    const Status s = InFile(CheckRestorePoint(*open.journal, *archive, open.point), RestorePathFor(archive_path));
    if (s.code() == Errc::kOutdatedRestorePoint) {
      // Another program may have put the original back (the game's own
      // archive from its CD): then the restore point has done its work.
      bool original = false;
      if (Status is = IsTheOriginal(*open.journal, *archive, open.point, original); !is.ok()) {
        return InFile(is, archive_path);
      }
      if (original) {
        open.journal.reset();
        archive.reset();
        if (auto e = fs.Remove(RestorePathFor(archive_path))) return InFile(Fail(e, "cannot remove"), RestorePathFor(archive_path));
        done.already = true;
        return {};
      }
    }
    // Some original bytes that differ say more than that the archive is not
    // this restore point's, or changed: which entries, and that only the
    // game's own archive mends them.
    std::uint64_t size = 0;
    if (!s.ok() && !open.point.pieces.empty() && !archive->Size(size) && size >= open.point.original_size) {
      if (Status lost = CheckOriginalBeforeRestore(open, *archive, archive_path, Reach::kSomeOnly); !lost.ok()) {
        return lost;
      }
    }
    if (!s.ok()) return s;
  }
  if (Status s = CheckOriginalBeforeRestore(open, *archive, archive_path); !s.ok()) return s;
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
  if (Status s = CheckRestorePoint(*open.journal, *archive, open.point); !s.ok()) {
    return InFile(s, RestorePathFor(archive_path));
  }

  Archive a;
  std::vector<Origin> origins;
  std::vector<Entry> original;
  Undo undo;
  Status s = ReadArchive(*archive, a);
  if (s.ok()) s = CompareWithOriginal(*open.journal, *archive, open.point, a, origins);
  if (s.ok()) s = OriginalEntries(*open.journal, open.point, original);
  if (s.ok()) s = ResolveNames(a, origins, names, undo);
  std::vector<std::vector<std::uint8_t>> copies(undo.replaced.size());
  std::vector<EntryBack> back;
  if (s.ok()) s = PlanBack(open, *archive, a, original, undo.replaced, copies, back);
  EntriesBack plan;
  if (s.ok()) s = PlanEntriesBack(a, back, undo.added, open.point.original_size, plan);
  if (!s.ok()) return InFile(s, archive_path);

  if (plan.in_place) {
    ArchiveAfter after = ArchiveAfter::kUpdated;
    const auto put_back = [&](const PutOptions& options, PutResult& result) {
      return PutEntriesBack(*archive, plan, options, &result);
    };
    if (Status put = ThroughJournal(open, *archive, put_back, after); !put.ok()) return InFile(put, archive_path);
  } else if (Status put = PutBackByCopy(fs, archive_path, archive, open, plan); !put.ok()) {
    return put;
  }
  for (const std::size_t i : undo.replaced) done.replaced.push_back(a.entries[i].name);
  for (const std::size_t i : undo.added) done.removed.push_back(a.entries[i].name);

  if (Status check = IsOriginalAgain(open, *archive, done.original); !check.ok()) return InFile(check, archive_path);
  if (!done.original) return {};
  done.original = false;
  done.original_size = open.point.original_size;
  if (Status check = CheckOriginalBeforeRestore(open, *archive, archive_path); !check.ok()) return check;
  // The names are back; what is left is the whole restore, which the
  // player finishes as any other that stopped.
  if (Status put = PutOriginalBack(fs, archive_path, archive, open, Force::kNo); !put.ok()) {
    put.error().part_way = true;
    return put;
  }
  done.original = true;
  return {};
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
  Archive a;
  if (Status s = ReadArchive(*archive, a); !s.ok()) return InFile(s, archive_path);
  if (Status s = CheckRoomForCopy(fs, archive_path, a.file_size - DeadBytes(a)); !s.ok()) return s;
  // The restore point goes once the copy is whole, before it becomes the
  // archive, which the restore point would no longer fit.
  const auto drop_restore_point = [&] {
    if (!has_restore_point) return Status();
    if (auto e = fs.Remove(restore_path)) return InFile(Fail(e, "cannot remove"), restore_path);
    dropped_restore_point = true;
    return Status();
  };
  Status status = ReplaceByCopy(
      fs, archive_path, archive, [](Storage& source, Storage& copy) { return CompactArchive(source, copy); },
      drop_restore_point);
  if (!status.ok() && dropped_restore_point) {
    status.error().detail += status.error().detail.empty() ? "" : "; ";
    status.error().detail += "its restore point is deleted already, as -force asked";
  }
  return status;
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
