// The restore point's bytes: every field of its layout, and the encoders
// and decoders of its records, for the files that make, load and write
// restore points (restore_point.cpp, restore_journal.cpp). Not for other
// callers: they go through restore_point.h.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "byte_order.h"
#include "restore_point.h"

namespace gfxpak::restore_layout {

// The magic of each layout: the same but for its last character, the
// layout's number.
inline constexpr std::array<std::uint8_t, 8> kMagic = {'G', 'P', 'K', 'R', 'S', 'T', 'R', '0' + kCurrentLayout};

// The layout, field by field, as FORMATS.md lists it under "Restore points".
// The fixed part:
inline constexpr Field kMagicField{0, 8};
inline constexpr Field kOriginalSize{8, 8};
inline constexpr Field kCommitted{16, 8};
inline constexpr Field kHeaderLength{24, 4};
inline constexpr Field kTailLengthField{28, 4};
inline constexpr Field kHeaderHash{32, 32};
inline constexpr Field kTailHash{64, 32};
// The fields that change together are written together, in one write that
// stays inside the first sector: the state block, its fields counted from
// its start.
inline constexpr Field kStateBlock{96, 64};
inline constexpr Field kState{0, 4};
inline constexpr Field kFingerprintEntry{4, 4};
inline constexpr Field kFingerprintSize{8, 8};
inline constexpr Field kFingerprintHash{16, 32};
inline constexpr Field kUndoBase{48, 8};
inline constexpr Field kUndoLength{56, 8};
inline constexpr std::size_t kUndoLengthPos = kStateBlock.pos + kUndoLength.pos;
// The pieces of the original: how many, whether they were hashed when an
// earlier layout was brought up to date, the SHA-256 of their hashes,
// which follow the fixed part.
inline constexpr Field kPieceCount{kStateBlock.end(), 4};
inline constexpr Field kPieceFlags{kPieceCount.end(), 4};
inline constexpr Field kPiecesHash{kPieceFlags.end(), 32};
inline constexpr std::uint32_t kPiecesFromUpgrade = 1;
inline constexpr std::size_t kFixedSize = kPiecesHash.end();
// Where the fixed part of each layout ends: the first ends it with 8 unused
// bytes, the second with the state block.
constexpr std::size_t FixedSizeOf(int layout) { return layout == 1 ? 104 : layout == 2 ? kStateBlock.end() : kFixedSize; }
// Each saved range and undo record: its place in the archive, its length and
// a checksum of both with the data, which follows.
inline constexpr Field kRangeOffset{0, 8};
inline constexpr Field kRangeLength{8, 4};
inline constexpr Field kRangeChecksum{12, 4};
inline constexpr std::size_t kRangeHeader = kRangeChecksum.end();
// The offset field of the undo record that holds an update's target, and
// of a claim among the saved ranges: no archive offset is this large.
inline constexpr std::uint64_t kTargetMark = ~std::uint64_t{0};
inline constexpr std::uint64_t kClaimMark = kTargetMark - 1;
// A claim's fields; the entry's name follows.
inline constexpr Field kClaimOffset{0, 4};
inline constexpr Field kClaimSize{4, 4};
inline constexpr Field kClaimHash{8, 8};
// The target's fields before its variable parts (the changed records, the
// tail, the names).
inline constexpr Field kTargetEntry{0, 4};
inline constexpr Field kTargetOldCount{4, 4};
inline constexpr Field kTargetFlags{8, 4};
inline constexpr Field kTargetHeader{12, kHeaderSize};
inline constexpr Field kTargetTailPos{kTargetHeader.end(), 4};
inline constexpr Field kTargetTailLength{kTargetTailPos.end(), 4};
inline constexpr Field kTargetRecordCount{kTargetTailLength.end(), 4};
inline constexpr std::size_t kTargetFixed = kTargetRecordCount.end();
inline constexpr std::uint32_t kRecordsMove = 1;
inline constexpr std::uint32_t kTailLast = 2;
// Per changed record: where it sits, its old offset and size, its new ones.
inline constexpr std::size_t kRecordChangeField = 4;
inline constexpr std::size_t kRecordChange = 5 * kRecordChangeField;
static_assert(kUndoLengthPos == 152 && FixedSizeOf(2) == 160 && kFixedSize == 200 && kTargetFixed == 40);

inline void Put(std::uint8_t* block, Field f, std::uint64_t v) { PutLe(block + f.pos, v, f.width); }
inline std::uint64_t Get(const std::uint8_t* block, Field f) { return GetLe(block + f.pos, f.width); }
inline std::uint32_t Get32(const std::uint8_t* block, Field f) { return static_cast<std::uint32_t>(Get(block, f)); }
// The hashes and the header: arrays exactly as wide as their fields.
inline void PutBytes(std::uint8_t* block, Field f, std::span<const std::uint8_t> bytes) {
  std::memcpy(block + f.pos, bytes.data(), std::min(f.width, bytes.size()));
}
inline void GetBytes(const std::uint8_t* block, Field f, std::span<std::uint8_t> bytes) {
  std::memcpy(bytes.data(), block + f.pos, std::min(f.width, bytes.size()));
}

// The checksum of a saved range, an undo record or a claim: FNV-1a of its
// bytes, seeded with its offset.
std::uint32_t Checksum(std::span<const std::uint8_t> data, std::uint64_t offset);
// A record: its offset, length and checksum, then its bytes.
std::vector<std::uint8_t> EncodeRange(std::uint64_t offset, std::span<const std::uint8_t> data);
// An update's target as the first undo record: the fixed fields, the
// changed records, the tail, then the names.
std::vector<std::uint8_t> EncodeTarget(const UpdateTarget& t);
bool DecodeTarget(std::span<const std::uint8_t> in, UpdateTarget& t);
std::array<std::uint8_t, kStateBlock.width> EncodeState(RestoreState state, const Fingerprint& f,
                                                        std::uint64_t undo_base, std::uint64_t undo_length);
// The fixed part of a restore point in the current layout, idle unless p
// says otherwise, and its pieces' hashes, with its committed length still
// to be filled in.
std::vector<std::uint8_t> EncodeFixed(const RestorePoint& p);
std::vector<std::uint8_t> EncodeClaim(const Claim& c);

}  // namespace gfxpak::restore_layout
