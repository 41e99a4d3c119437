// Restore points: ARCHIVE.restore holds the archive's original size and every
// original byte range below it that gfxpak has overwritten since, so that the
// archive can be put back exactly as it was; a hash of every piece of the
// original, so that what is put back is known to be the original and not
// taken to be; a hash of every entry gfxpak wrote; a fingerprint of the
// archive as gfxpak last left it, so that it is never applied to anything
// else; and, while an update runs, what that update overwrites, so that an
// update cut short is undone by the next gfxpak. The layout is in FORMATS.md.
// This is the record; restore_checks.h holds what it can prove about the
// archive, restore_journal.h the writes through it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "big_archive.h"
#include "error.h"
#include "intervals.h"
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

// The entries of the original archive, from its saved header and table.
Status OriginalEntries(Storage& journal, const RestorePoint& point, std::vector<Entry>& entries);

// Where the original is cut into pieces: at the end of its header and
// table and at each entry's start and end, so that each entry, and each run
// of bytes between entries, is a whole number of pieces. Piece i is
// [bounds[i], bounds[i + 1]).
std::vector<std::uint64_t> PieceBounds(const std::vector<Entry>& original, std::uint64_t header_length,
                                       std::uint64_t original_size);

// The parts of [begin, end) that no saved range covers: there the archive's
// own bytes are what the original is made of.
std::vector<Interval> UnsavedParts(const RestorePoint& point, std::uint64_t begin, std::uint64_t end);
// Whether no saved range reaches into [begin, end).
bool Unsaved(const RestorePoint& point, std::uint64_t begin, std::uint64_t end);

}  // namespace gfxpak
