// Restore points: ARCHIVE.restore holds the archive's original size and every
// original byte range below it that gfxpak has overwritten since, so that the
// archive can be put back exactly as it was; a fingerprint of the archive as
// gfxpak last left it, so that it is never applied to anything else; and,
// while an update runs, what that update overwrites, so that an update cut
// short is undone by the next gfxpak. The layout is in FORMATS.md.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "big_archive.h"
#include "error.h"
#include "storage.h"

namespace gfxpak {

inline std::string RestorePathFor(const std::string& archive) { return archive + ".restore"; }

inline constexpr std::uint32_t kNoEntry = 0xFFFFFFFFu;

// Whether bytes begin as a restore point of either layout does.
bool StartsAsRestorePoint(std::span<const std::uint8_t> bytes);

// The archive as gfxpak left it: its size, and a hash of its header, table
// and trailer followed by the first and the last 64 KiB of the entry that
// gfxpak wrote last.
struct Fingerprint {
  std::uint64_t size = 0;
  std::uint32_t entry = kNoEntry;
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

struct RestorePoint {
  bool earlier_layout = false;  // the first layout (GPKRSTR1): no fingerprint, no state
  std::uint64_t original_size = 0;
  std::uint64_t committed = 0;  // end of the saved original ranges
  std::uint32_t header_length = 0;
  std::uint32_t tail_length = 0;
  std::array<std::uint8_t, 32> header_hash{};
  std::array<std::uint8_t, 32> tail_hash{};
  std::vector<SavedRange> ranges;  // disjoint; the first is the header
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
    kTakenBack,  // it had not become visible, or a record was torn: undone
  };
  Outcome outcome = Outcome::kNone;
  bool torn = false;  // taken back with a table record half written
  std::string entry;  // the entry it wrote, when known
};

// How far the archive of a restore point marked "updating" has come: none
// without a target to compare with.
Status CompareWithUpdate(Storage& archive, const RestorePoint& point, std::optional<TargetState>& state);

// The archive's fingerprint now, with entry as the one written last.
Status TakeFingerprint(Storage& archive, std::uint32_t entry, Fingerprint& fingerprint);

// The bytes of a new restore point for the archive as it is now: its size,
// its header, table and trailer, and its fingerprint.
Status NewRestorePoint(Storage& archive, std::vector<std::uint8_t>& bytes);

// A restore point of the earlier layout in the current one, with the same
// saved ranges and the archive's present state as the one gfxpak left.
Status UpgradeRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point,
                           std::vector<std::uint8_t>& bytes);

// Reads a restore point of either layout and checks its own consistency:
// magic, lengths, checksums, the header against its hash.
Status LoadRestorePoint(Storage& journal, RestorePoint& point);

// That the restore point's original can be this archive: the archive is at
// least the original size, and its last bytes below that size, with the
// saved ranges laid over them, hash to what was recorded.
Status CheckBelongs(Storage& journal, Storage& archive, const RestorePoint& point);

// That the archive is as gfxpak last left it.
Status CheckFingerprint(Storage& archive, const RestorePoint& point);

// The bytes [begin, end) of the original archive: the archive's present
// bytes with the saved ranges laid over them. Below the original size that
// is the original, as gfxpak never writes there but where it saved first.
Status ReadOriginal(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin,
                    std::uint64_t end, std::vector<std::uint8_t>& out);

// The entries of the original archive, from its saved header and table.
Status OriginalEntries(Storage& journal, const RestorePoint& point, std::vector<Entry>& entries);

// Where an entry of the archive stands against the original.
enum class Origin {
  kOriginal,  // as it was, wherever its bytes lie now
  kReplaced,  // an entry of the original with other content
  kAdded,     // not in the original
};

// The origin of each entry of the archive now, whose table is a.
Status CompareWithOriginal(Storage& journal, Storage& archive, const RestorePoint& point, const Archive& a,
                           std::vector<Origin>& origins);

// Whether a restore checks the original's last bytes as well as its header.
// A forced restore skips them: they may be what another program changed.
enum class TailCheck { kCheck, kSkip };

// The writes to an open restore point. As the journal of an update it saves
// the original bytes the update will overwrite (before the update marks
// itself running) and then an undo record before each overwrite.
class RestoreJournal : public UpdateJournal {
 public:
  RestoreJournal(Storage& journal, Storage& archive, RestorePoint& point)
      : journal_(journal), archive_(archive), point_(point) {}

  Status Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target) override;
  Status Keep(std::uint64_t offset, std::span<const std::uint8_t> old) override;

  // The update is complete: the archive now has this fingerprint.
  Status Commit(const Fingerprint& fingerprint);
  // The update was undone: the archive is as it was before it.
  Status Abort();
  // Undoes the running update from its undo records; run again after an
  // interruption, it finishes the job.
  Status Rollback();
  // Settles an update that a kill or a power loss cut short: finishes one
  // that readers see already (its table reads as its target), takes back
  // any other. Either way the archive then matches the fingerprint.
  Status Settle(Settlement& settlement);
  // Marks the restore point "restoring", puts every saved range back, cuts
  // the archive to its original size and checks it against the original's
  // hashes (the last bytes too unless told to skip them). Run again after an
  // interruption, it finishes the job.
  Status Restore(TailCheck tail);

 private:
  Status WriteState(RestoreState state, const Fingerprint& fingerprint, std::uint64_t undo_base,
                    std::uint64_t undo_length = 0);
  Status SaveOriginals(std::uint64_t begin, std::uint64_t end);
  Status Append(std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint64_t length_pos, std::uint64_t length);

  Storage& journal_;
  Storage& archive_;
  RestorePoint& point_;
};

}  // namespace gfxpak
