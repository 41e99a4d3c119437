// What a restore point can prove about its archive: whether its original
// can be this archive and the archive is as gfxpak left it, the original's
// bytes read back through it and compared with their hashes, and where
// each entry stands against the original and against what gfxpak wrote.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "big_archive.h"
#include "error.h"
#include "restore_point.h"
#include "storage.h"

namespace gfxpak {

// The archive's fingerprint now, with entry as the one written last.
Status TakeFingerprint(Storage& archive, std::uint32_t entry, Fingerprint& fingerprint);

// That the restore point's original can be this archive: the archive is at
// least the original size, and its last bytes below that size, with the
// saved ranges laid over them, hash to what was recorded.
Status CheckBelongs(Storage& journal, Storage& archive, const RestorePoint& point);

// That the archive is as gfxpak last left it.
Status CheckFingerprint(Storage& archive, const RestorePoint& point);

// The archive as the restore point expects to find it: CheckBelongs, and
// CheckFingerprint where the restore point knows how gfxpak left the
// archive. It does not while an update or a restore that was cut short is
// unsettled (they changed the archive since), nor in the first layout.
Status CheckRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point);

// The bytes [begin, end) of the original archive: the archive's present
// bytes with the saved ranges laid over them. Below the original size that
// is the original, as gfxpak never writes there but where it saved first,
// unless another program or the disk changed it: the pieces' hashes tell.
Status ReadOriginal(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin,
                    std::uint64_t end, std::vector<std::uint8_t>& out);

// How far the archive of a restore point marked "updating" has come: none
// without a target to compare with.
Status CompareWithUpdate(Storage& archive, const RestorePoint& point, std::optional<TargetState>& state);

// The records that a power loss tore in the archive of a restore point
// marked "updating": neither their old nor their new values.
Status TornRecords(Storage& archive, const RestorePoint& point, std::vector<RecordChange>& torn);

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

// The CRC-64 (crc64.h) of a piece or of an entry gfxpak wrote.
PieceHash HashOf(std::span<const std::uint8_t> bytes);

// The SHA-256 of length bytes of the archive from begin.
Status HashOfArchive(Storage& archive, std::uint64_t begin, std::uint64_t length, std::array<std::uint8_t, 32>& hash);

// Readers for ComparePieces and HashPieces: the archive's own bytes
// (shifted: the original's offset at minus shift), or the original as the
// archive and the saved ranges give it.
ReadFn FromArchive(Storage& archive, std::uint64_t shift = 0);
ReadFn FromOriginal(Storage& journal, Storage& archive, const RestorePoint& point);

// The hashes of the pieces [first, last) of bounds, from what read gives.
Status HashPieces(const ReadFn& read, const std::vector<std::uint64_t>& bounds, std::size_t first, std::size_t last,
                  std::vector<PieceHash>& out);

// The latest claim for an entry at offset with size bytes.
const Claim* ClaimFor(const RestorePoint& point, std::uint32_t offset, std::uint32_t size);

}  // namespace gfxpak
