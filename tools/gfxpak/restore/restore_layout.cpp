#include "restore_layout.h"

#include "sha256.h"

namespace gfxpak::restore_layout {

std::uint32_t Checksum(std::span<const std::uint8_t> data, std::uint64_t offset) {
  std::uint32_t h = 2166136261u ^ static_cast<std::uint32_t>(offset) ^ static_cast<std::uint32_t>(offset >> 32);
  for (std::uint8_t b : data) h = (h ^ b) * 16777619u;
  return h;
}

std::vector<std::uint8_t> EncodeRange(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out(kRangeHeader + data.size());
  Put(out.data(), kRangeOffset, offset);
  Put(out.data(), kRangeLength, data.size());
  Put(out.data(), kRangeChecksum, Checksum(data, offset));
  std::memcpy(out.data() + kRangeHeader, data.data(), data.size());
  return out;
}

std::vector<std::uint8_t> EncodeTarget(const UpdateTarget& t) {
  std::vector<std::uint8_t> out(kTargetFixed + t.records.size() * kRecordChange);
  Put(out.data(), kTargetEntry, t.entry);
  Put(out.data(), kTargetOldCount, t.old_count);
  Put(out.data(), kTargetFlags, (t.records_move ? kRecordsMove : 0) | (t.tail_last ? kTailLast : 0));
  PutBytes(out.data(), kTargetHeader, t.header);
  Put(out.data(), kTargetTailPos, t.tail_pos);
  Put(out.data(), kTargetTailLength, t.tail.size());
  Put(out.data(), kTargetRecordCount, t.records.size());
  std::uint8_t* p = out.data() + kTargetFixed;
  for (const RecordChange& c : t.records) {
    for (const std::uint32_t v : {c.pos, c.old_offset, c.old_size, c.new_offset, c.new_size}) {
      PutLe(p, v, kRecordChangeField);
      p += kRecordChangeField;
    }
  }
  out.insert(out.end(), t.tail.begin(), t.tail.end());
  out.insert(out.end(), t.name.begin(), t.name.end());
  return out;
}

bool DecodeTarget(std::span<const std::uint8_t> in, UpdateTarget& t) {
  if (in.size() < kTargetFixed) return false;
  const std::uint8_t* fixed = in.data();
  t.entry = Get32(fixed, kTargetEntry);
  t.old_count = Get32(fixed, kTargetOldCount);
  const std::uint64_t flags = Get(fixed, kTargetFlags);
  t.records_move = (flags & kRecordsMove) != 0;
  t.tail_last = (flags & kTailLast) != 0;
  GetBytes(fixed, kTargetHeader, t.header);
  t.tail_pos = Get32(fixed, kTargetTailPos);
  const std::uint64_t tail_length = Get(fixed, kTargetTailLength);
  const std::uint64_t count = Get(fixed, kTargetRecordCount);
  if (count > (in.size() - kTargetFixed) / kRecordChange ||
      tail_length > in.size() - kTargetFixed - count * kRecordChange) {
    return false;
  }
  const std::uint8_t* p = in.data() + kTargetFixed;
  t.records.resize(static_cast<std::size_t>(count));
  for (RecordChange& c : t.records) {
    for (std::uint32_t* v : {&c.pos, &c.old_offset, &c.old_size, &c.new_offset, &c.new_size}) {
      *v = static_cast<std::uint32_t>(GetLe(p, kRecordChangeField));
      p += kRecordChangeField;
    }
  }
  t.tail.assign(p, p + tail_length);
  t.name.assign(p + tail_length, in.data() + in.size());
  return true;
}

std::array<std::uint8_t, kStateBlock.width> EncodeState(RestoreState state, const Fingerprint& f,
                                                        std::uint64_t undo_base, std::uint64_t undo_length) {
  std::array<std::uint8_t, kStateBlock.width> out{};
  Put(out.data(), kState, static_cast<std::uint32_t>(state));
  Put(out.data(), kFingerprintEntry, f.entry);
  Put(out.data(), kFingerprintSize, f.size);
  PutBytes(out.data(), kFingerprintHash, f.hash);
  Put(out.data(), kUndoBase, undo_base);
  Put(out.data(), kUndoLength, undo_length);
  return out;
}

std::vector<std::uint8_t> EncodeFixed(const RestorePoint& p) {
  std::vector<std::uint8_t> out(kFixedSize, 0);
  PutBytes(out.data(), kMagicField, kMagic);
  Put(out.data(), kOriginalSize, p.original_size);
  Put(out.data(), kHeaderLength, p.header_length);
  Put(out.data(), kTailLengthField, p.tail_length);
  PutBytes(out.data(), kHeaderHash, p.header_hash);
  PutBytes(out.data(), kTailHash, p.tail_hash);
  PutBytes(out.data(), kStateBlock, EncodeState(p.state, p.fingerprint, 0, 0));
  Put(out.data(), kPieceCount, p.pieces.size());
  Put(out.data(), kPieceFlags, p.pieces_from_upgrade ? kPiecesFromUpgrade : 0);
  for (const PieceHash h : p.pieces) {
    out.resize(out.size() + sizeof h);
    PutLe(out.data() + out.size() - sizeof h, h, sizeof h);
  }
  PutBytes(out.data(), kPiecesHash, Sha256Of(std::span(out).subspan(kFixedSize)));
  return out;
}

std::vector<std::uint8_t> EncodeClaim(const Claim& c) {
  std::vector<std::uint8_t> bytes(kClaimHash.end());
  Put(bytes.data(), kClaimOffset, c.offset);
  Put(bytes.data(), kClaimSize, c.size);
  Put(bytes.data(), kClaimHash, c.hash);
  bytes.insert(bytes.end(), c.name.begin(), c.name.end());
  return EncodeRange(kClaimMark, bytes);
}

}  // namespace gfxpak::restore_layout
