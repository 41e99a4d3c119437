// Restore points: ARCHIVE.restore holds the archive's original size and every
// original byte range below it that gfxpak has overwritten since, so that the
// archive can be put back exactly as it was; a hash of every piece of the
// original, so that what is put back is known to be the original and not
// taken to be; a hash of every entry gfxpak wrote; a fingerprint of the
// archive as gfxpak last left it, so that it is never applied to anything
// else; and, while an update runs, what that update overwrites, so that an
// update cut short is undone by the next gfxpak. The layout is in FORMATS.md.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "big_archive.h"
#include "error.h"
#include "storage.h"

namespace gfxpak {

inline std::string RestorePathFor(const std::string& archive) { return archive + ".restore"; }

// Whether bytes begin as a restore point of any layout does.
bool StartsAsRestorePoint(std::span<const std::uint8_t> bytes);

// The archive as gfxpak left it: its size, and a hash of its header, table
// and trailer followed by the first and the last 64 KiB of the entry that
// gfxpak wrote last.
struct Fingerprint {
  std::uint64_t size = 0;
  std::uint32_t entry = kNoIndex;
  std::array<std::uint8_t, 32> hash{};
  bool operator==(const Fingerprint&) const = default;
};

enum class RestoreState : std::uint32_t {
  kIdle = 0,
  kUpdating = 1,   // an update is writing; its undo records count
  kRestoring = 2,  // -restore has begun writing the original back
};

struct SavedRange {
  std::uint64_t offset = 0;   // in the archive
  std::uint32_t length = 0;
  std::uint64_t data_pos = 0;  // where its bytes sit in the restore point
};

// A CRC-64 (crc64.h): it tells damaged bytes from the original's at an
// eighth of SHA-256's time, which a first import pays on all of the archive.
using PieceHash = std::uint64_t;

// An entry that gfxpak wrote: where it put it, and the hash of what it put
// there. Entries the growing table moves keep their claim at the new place.
struct Claim {
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  PieceHash hash = 0;
  std::string name;
};

// The layouts: the first builds of gfxpak wrote 1 (no state, no
// fingerprint), later ones 2 (no hashes of the original's pieces, no
// claims); 3 is today's.
inline constexpr int kCurrentLayout = 3;

struct RestorePoint {
  int layout = kCurrentLayout;
  std::uint64_t data_start = 0;  // where the saved ranges begin
  std::uint64_t original_size = 0;
  std::uint64_t committed = 0;  // end of the saved original ranges and claims
  std::uint32_t header_length = 0;
  std::uint32_t tail_length = 0;
  std::array<std::uint8_t, 32> header_hash{};
  std::array<std::uint8_t, 32> tail_hash{};
  // One hash per piece of the original (see PieceBounds); none for a restore
  // point of an earlier layout that no import has brought up to date.
  std::vector<PieceHash> pieces;
  // The hashes were taken when a restore point of an earlier layout was
  // brought up to date, from the original as the archive then gave it:
  // a change made before then cannot be seen.
  bool pieces_from_upgrade = false;
  std::vector<SavedRange> ranges;  // disjoint; the first is the header
  std::vector<Claim> claims;       // oldest first
  RestoreState state = RestoreState::kIdle;
  Fingerprint fingerprint;
  std::uint64_t undo_base = 0;    // the archive's size when the running update began
  std::uint64_t undo_length = 0;  // bytes of undo records after the saved ranges
  // What the running update leaves behind when it completes; none for an
  // update that an earlier gfxpak began.
  std::optional<UpdateTarget> target;
  std::vector<SavedRange> undo;
};

// What a writer did about an update that it found cut short.
struct Settlement {
  enum class Outcome {
    kNone,       // there was none
    kFinished,   // its table was written: it is recorded as done
    kCompleted,  // readers saw part of it (a restore of several entries): the rest is written
    kTakenBack,  // it had not become visible, or a record was torn: undone
  };
  Outcome outcome = Outcome::kNone;
  bool torn = false;  // taken back with a table record half written
  std::string entry;  // the entry it wrote, when known
};

// How far the archive of a restore point marked "updating" has come: none
// without a target to compare with.
Status CompareWithUpdate(Storage& archive, const RestorePoint& point, std::optional<TargetState>& state);

// The records that a power loss tore in the archive of a restore point
// marked "updating": neither their old nor their new values.
Status TornRecords(Storage& archive, const RestorePoint& point, std::vector<RecordChange>& torn);

// The archive's fingerprint now, with entry as the one written last.
Status TakeFingerprint(Storage& archive, std::uint32_t entry, Fingerprint& fingerprint);

// The bytes of a new restore point for the archive as it is now: its size,
// its header, table and trailer, the hash of each of its pieces (which
// reads all of it) and its fingerprint.
Status NewRestorePoint(Storage& archive, std::vector<std::uint8_t>& bytes);

// A restore point of an earlier layout in the current one, with the same
// saved ranges. One of the first layout gets the archive's present state as
// the one gfxpak left, and no hashes (with_pieces: no). with_pieces yes
// takes the hashes of the original's pieces, as the archive and the saved
// ranges give it now, and claims for the entries that are not original.
enum class WithPieces { kNo, kYes };
Status UpgradeRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point, WithPieces with_pieces,
                           std::vector<std::uint8_t>& bytes);

// Reads a restore point of any layout and checks its own consistency:
// magic, lengths, checksums, the header and the pieces against their hashes.
Status LoadRestorePoint(Storage& journal, RestorePoint& point);

// That the restore point's original can be this archive: the archive is at
// least the original size, and its last bytes below that size, with the
// saved ranges laid over them, hash to what was recorded.
Status CheckBelongs(Storage& journal, Storage& archive, const RestorePoint& point);

// That the archive is as gfxpak last left it.
Status CheckFingerprint(Storage& archive, const RestorePoint& point);

// The bytes [begin, end) of the original archive: the archive's present
// bytes with the saved ranges laid over them. Below the original size that
// is the original, as gfxpak never writes there but where it saved first,
// unless another program or the disk changed it: the pieces' hashes tell.
Status ReadOriginal(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin,
                    std::uint64_t end, std::vector<std::uint8_t>& out);

// The entries of the original archive, from its saved header and table.
Status OriginalEntries(Storage& journal, const RestorePoint& point, std::vector<Entry>& entries);

// Where the original is cut into pieces: at the end of its header and
// table and at each entry's start and end, so that each entry, and each run
// of bytes between entries, is a whole number of pieces. Piece i is
// [bounds[i], bounds[i + 1]).
std::vector<std::uint64_t> PieceBounds(const std::vector<Entry>& original, std::uint64_t header_length,
                                       std::uint64_t original_size);

// The pieces of the original that the archive and its restore point no
// longer give as they were: what -restore would write. differs has one
// flag per piece; with no hashes to compare with, it stays empty.
struct OriginalCheck {
  std::vector<Entry> entries;  // of the original
  std::vector<std::uint64_t> bounds;
  std::vector<bool> differs;
  bool any() const;
  // More than half of the bytes after the table differ: not this archive's
  // original, rather than this archive damaged.
  bool mostly() const;
};
Status CheckOriginal(Storage& journal, Storage& archive, const RestorePoint& point, OriginalCheck& check);

// A run of differing pieces, with the original entries it lies in (none:
// bytes between entries).
struct Difference {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::vector<std::size_t> entries;
};
std::vector<Difference> Differences(const OriginalCheck& check);

// Gives the bytes of the original from an offset on (the original's
// offset: a reader may take them from elsewhere).
using ReadFn = std::function<Status(std::uint64_t offset, std::span<std::uint8_t> out)>;

// Which of the pieces that [begin, end) holds (begin and end lie on piece
// bounds) read hashes other than the original's did; differs has a flag per
// piece of bounds.
Status ComparePieces(const RestorePoint& point, const std::vector<std::uint64_t>& bounds, std::uint64_t begin,
                     std::uint64_t end, const ReadFn& read, std::vector<bool>& differs);

// Whether the archive itself, without the saved ranges, is the original
// byte for byte (another program put it back): its size and every piece.
Status IsTheOriginal(Storage& journal, Storage& archive, const RestorePoint& point, bool& original);

// Where an entry of the archive stands against the original.
enum class Origin {
  kOriginal,  // as it was, wherever its bytes lie now
  kReplaced,  // an entry of the original with other content
  kAdded,     // not in the original
};

// The origin of each entry of the archive now, whose table is a.
Status CompareWithOriginal(Storage& journal, Storage& archive, const RestorePoint& point, const Archive& a,
                           std::vector<Origin>& origins);

// What a reader of the archive gets, entry by entry, against what the
// restore point knows it should get.
enum class Standing {
  kSound,         // the original's bytes, or what gfxpak wrote there
  kUnknown,       // nothing to compare with (written by an earlier gfxpak, or by another program)
  kNotOriginal,   // an entry that gfxpak never changed, with other bytes than the original's
  kNotAsWritten,  // an entry gfxpak wrote, with other bytes than it wrote
  kRenamed,       // its name is not the one the original or gfxpak gave it
};
struct EntryStanding {
  std::size_t index = 0;
  Standing standing = Standing::kSound;
  std::string expected_name;  // kRenamed: the name it had
};
// Every entry of a that does not stand as it should, and the entries of the
// original past the end of a's table (kRenamed, by their names, with an
// index past a's entries). check is CheckOriginal's result.
Status CheckEntries(Storage& archive, const RestorePoint& point, const Archive& a, const OriginalCheck& check,
                    std::vector<EntryStanding>& out);

// Whether a restore checks the original's last bytes as well as its header.
// A forced restore skips them: they may be what another program changed.
enum class TailCheck { kCheck, kSkip };

// How far a restore got when it failed.
enum class RestoreProgress {
  kNotStarted,  // the archive is as it was
  kPartWay,     // some of the original is back: running -restore again finishes it
};

// The writes to an open restore point. As the journal of an update it saves
// the original bytes the update will overwrite (before the update marks
// itself running), records what the update writes, and then an undo record
// before each overwrite.
class RestoreJournal : public UpdateJournal {
 public:
  RestoreJournal(Storage& journal, Storage& archive, RestorePoint& point)
      : journal_(journal), archive_(archive), point_(point) {}

  Status Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target,
               const WrittenData& written) override;
  Status Keep(std::uint64_t offset, std::span<const std::uint8_t> old) override;

  // The update is complete: the archive now has this fingerprint.
  Status Commit(const Fingerprint& fingerprint);
  // The update was undone: the archive is as it was before it.
  Status Abort();
  // Undoes the running update from its undo records; run again after an
  // interruption, it finishes the job.
  Status Rollback();
  // Settles an update that a kill or a power loss cut short: finishes one
  // that readers see already (its table reads as its target, or part of
  // it does), takes back any other. Either way the archive then matches the
  // fingerprint.
  Status Settle(Settlement& settlement);
  // Marks the restore point "restoring", puts every saved range back, cuts
  // the archive to its original size and checks it against the original's
  // hashes (the last bytes too unless told to skip them). Run again after an
  // interruption, it finishes the job. progress says whether a failure
  // came before or after the first byte of the archive was written.
  Status Restore(TailCheck tail, RestoreProgress& progress);

 private:
  Status WriteState(RestoreState state, const Fingerprint& fingerprint, std::uint64_t undo_base,
                    std::uint64_t undo_length = 0);
  Status SaveOriginals(std::uint64_t end, std::vector<std::uint8_t>& append, std::vector<SavedRange>& added);
  Status Append(std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint64_t length_pos, std::uint64_t length);
  Status CheckWritten();

  Storage& journal_;
  Storage& archive_;
  RestorePoint& point_;
};

}  // namespace gfxpak
