#include "restore_point.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "crc64.h"
#include "intervals.h"
#include "sha256.h"

namespace gfxpak {

namespace {

// The magic of each layout: the same but for its last character, the
// layout's number.
constexpr std::array<std::uint8_t, 8> kMagic = {'G', 'P', 'K', 'R', 'S', 'T', 'R', '0' + kCurrentLayout};

// The layout, field by field, as FORMATS.md lists it under "Restore points".
// The fixed part:
constexpr Field kMagicField{0, 8};
constexpr Field kOriginalSize{8, 8};
constexpr Field kCommitted{16, 8};
constexpr Field kHeaderLength{24, 4};
constexpr Field kTailLengthField{28, 4};
constexpr Field kHeaderHash{32, 32};
constexpr Field kTailHash{64, 32};
// The fields that change together are written together, in one write that
// stays inside the first sector: the state block, its fields counted from
// its start.
constexpr Field kStateBlock{96, 64};
constexpr Field kState{0, 4};
constexpr Field kFingerprintEntry{4, 4};
constexpr Field kFingerprintSize{8, 8};
constexpr Field kFingerprintHash{16, 32};
constexpr Field kUndoBase{48, 8};
constexpr Field kUndoLength{56, 8};
constexpr std::size_t kUndoLengthPos = kStateBlock.pos + kUndoLength.pos;
// The pieces of the original: how many, whether they were hashed when an
// earlier layout was brought up to date, the SHA-256 of their hashes,
// which follow the fixed part.
constexpr Field kPieceCount{kStateBlock.end(), 4};
constexpr Field kPieceFlags{kPieceCount.end(), 4};
constexpr Field kPiecesHash{kPieceFlags.end(), 32};
constexpr std::uint32_t kPiecesFromUpgrade = 1;
constexpr std::size_t kFixedSize = kPiecesHash.end();
// Where the fixed part of each layout ends: the first ends it with 8 unused
// bytes, the second with the state block.
constexpr std::size_t FixedSizeOf(int layout) { return layout == 1 ? 104 : layout == 2 ? kStateBlock.end() : kFixedSize; }
// Each saved range and undo record: its place in the archive, its length and
// a checksum of both with the data, which follows.
constexpr Field kRangeOffset{0, 8};
constexpr Field kRangeLength{8, 4};
constexpr Field kRangeChecksum{12, 4};
constexpr std::size_t kRangeHeader = kRangeChecksum.end();
// The offset field of the undo record that holds an update's target, and
// of a claim among the saved ranges: no archive offset is this large.
constexpr std::uint64_t kTargetMark = ~std::uint64_t{0};
constexpr std::uint64_t kClaimMark = kTargetMark - 1;
// A claim's fields; the entry's name follows.
constexpr Field kClaimOffset{0, 4};
constexpr Field kClaimSize{4, 4};
constexpr Field kClaimHash{8, 8};
// The target's fields before its variable parts (the changed records, the
// tail, the names).
constexpr Field kTargetEntry{0, 4};
constexpr Field kTargetOldCount{4, 4};
constexpr Field kTargetFlags{8, 4};
constexpr Field kTargetHeader{12, kHeaderSize};
constexpr Field kTargetTailPos{kTargetHeader.end(), 4};
constexpr Field kTargetTailLength{kTargetTailPos.end(), 4};
constexpr Field kTargetRecordCount{kTargetTailLength.end(), 4};
constexpr std::size_t kTargetFixed = kTargetRecordCount.end();
constexpr std::uint32_t kRecordsMove = 1;
constexpr std::uint32_t kTailLast = 2;
// Per changed record: where it sits, its old offset and size, its new ones.
constexpr std::size_t kRecordChangeField = 4;
constexpr std::size_t kRecordChange = 5 * kRecordChangeField;
static_assert(kUndoLengthPos == 152 && FixedSizeOf(2) == 160 && kFixedSize == 200 && kTargetFixed == 40);
// The last bytes below the original size identify the archive: they are
// data, which an import never overwrites.
constexpr std::uint64_t kTailLength = 4096;
constexpr std::uint64_t kSaveAhead = 4096;
constexpr std::uint64_t kFingerprintSample = 64 * 1024;
constexpr std::size_t kReadChunk = 1u << 20;

void Put(std::uint8_t* block, Field f, std::uint64_t v) { PutLe(block + f.pos, v, f.width); }
std::uint64_t Get(const std::uint8_t* block, Field f) { return GetLe(block + f.pos, f.width); }
std::uint32_t Get32(const std::uint8_t* block, Field f) { return static_cast<std::uint32_t>(Get(block, f)); }
// The hashes and the header: arrays exactly as wide as their fields.
void PutBytes(std::uint8_t* block, Field f, std::span<const std::uint8_t> bytes) {
  std::memcpy(block + f.pos, bytes.data(), std::min(f.width, bytes.size()));
}
void GetBytes(const std::uint8_t* block, Field f, std::span<std::uint8_t> bytes) {
  std::memcpy(bytes.data(), block + f.pos, std::min(f.width, bytes.size()));
}

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

// An update's target as the first undo record: the fixed fields, the
// changed records, the tail, then the names.
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

PieceHash HashOf(std::span<const std::uint8_t> bytes) { return Crc64(0, bytes); }

// The fixed part of a restore point in the current layout, idle unless p
// says otherwise, and its pieces' hashes, with its committed length still
// to be filled in.
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

Status Io(const char* what, std::error_code e) { return Fail(e, what); }
Status Damaged(std::string detail = {}) { return Fail(Errc::kDamagedRestorePoint, {}, std::move(detail)); }

// Reads the records in [from, to) of the journal, each checked against its
// checksum and required to lie below limit; claims go to claims, where
// they may stand.
Status ReadRanges(Storage& journal, std::uint64_t from, std::uint64_t to, std::uint64_t limit,
                  std::vector<SavedRange>& ranges, std::vector<Claim>* claims = nullptr) {
  std::vector<std::uint8_t> data;
  for (std::uint64_t pos = from; pos < to;) {
    std::uint8_t rh[kRangeHeader];
    if (to - pos < kRangeHeader) return Damaged();
    if (auto e = journal.Read(pos, rh)) return Io("cannot read the restore point", e);
    SavedRange r{Get(rh, kRangeOffset), Get32(rh, kRangeLength), pos + kRangeHeader};
    const bool claim = r.offset == kClaimMark && claims != nullptr;
    if (to - r.data_pos < r.length || (!claim && (r.offset > limit || r.length > limit - r.offset))) return Damaged();
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    if (Checksum(data, r.offset) != Get(rh, kRangeChecksum)) return Damaged("bad checksum");
    if (claim) {
      if (data.size() < kClaimHash.end()) return Damaged("bad claim");
      Claim c{Get32(data.data(), kClaimOffset), Get32(data.data(), kClaimSize), Get(data.data(), kClaimHash), {}};
      c.name.assign(data.begin() + kClaimHash.end(), data.end());
      claims->push_back(std::move(c));
    } else {
      ranges.push_back(r);
    }
    pos = r.data_pos + r.length;
  }
  return {};
}

// The running update's target, when the undo records at from begin with it
// (an update that an earlier gfxpak began has none); from moves past it.
Status ReadTarget(Storage& journal, std::uint64_t& from, std::uint64_t to, RestorePoint& point) {
  std::uint8_t rh[kRangeHeader];
  if (to - from < kRangeHeader) return {};
  if (auto e = journal.Read(from, rh)) return Io("cannot read the restore point", e);
  if (Get(rh, kRangeOffset) != kTargetMark) return {};
  const std::uint64_t length = Get(rh, kRangeLength);
  if (to - from - kRangeHeader < length) return Damaged("truncated");
  std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
  if (auto e = journal.Read(from + kRangeHeader, data)) return Io("cannot read the restore point", e);
  UpdateTarget target;
  if (Checksum(data, kTargetMark) != Get(rh, kRangeChecksum) || !DecodeTarget(data, target)) {
    return Damaged("bad update target");
  }
  point.target = std::move(target);
  from += kRangeHeader + length;
  return {};
}

bool Disjoint(std::vector<SavedRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const SavedRange& a, const SavedRange& b) { return a.offset < b.offset; });
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i - 1].offset + ranges[i - 1].length > ranges[i].offset) return false;
  }
  return true;
}

Interval Bounds(const SavedRange& r) { return {r.offset, r.offset + r.length}; }

// Whether no saved range reaches into [begin, end): there the archive's own
// bytes are what the original is made of.
bool Unsaved(const RestorePoint& point, std::uint64_t begin, std::uint64_t end) {
  const std::vector<Interval> missing = Uncovered(point.ranges, begin, end, Bounds);
  return missing.size() == 1 && missing.front().begin == begin && missing.front().end == end;
}

Status HashOfArchive(Storage& archive, std::uint64_t begin, std::uint64_t length, std::array<std::uint8_t, 32>& hash) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (auto e = archive.Read(begin, bytes)) return Io("cannot read the archive", e);
  hash = Sha256Of(bytes);
  return {};
}

Status ReadOriginalInto(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin,
                        std::span<std::uint8_t> out) {
  const std::uint64_t end = begin + out.size();
  if (auto e = archive.Read(begin, out)) return Io("cannot read the archive", e);
  for (const SavedRange& r : point.ranges) {
    const std::uint64_t lo = std::max(begin, r.offset);
    const std::uint64_t hi = std::min(end, r.offset + r.length);
    if (lo >= hi) continue;
    std::span<std::uint8_t> dst(out.data() + (lo - begin), static_cast<std::size_t>(hi - lo));
    if (auto e = journal.Read(r.data_pos + (lo - r.offset), dst)) return Io("cannot read the restore point", e);
  }
  return {};
}

ReadFn FromArchive(Storage& archive, std::uint64_t shift = 0) {
  return [&archive, shift](std::uint64_t at, std::span<std::uint8_t> out) {
    if (auto e = archive.Read(at - shift, out)) return Io("cannot read the archive", e);
    return Status();
  };
}

ReadFn FromOriginal(Storage& journal, Storage& archive, const RestorePoint& point) {
  return [&journal, &archive, &point](std::uint64_t at, std::span<std::uint8_t> out) {
    return ReadOriginalInto(journal, archive, point, at, out);
  };
}

// The hashes of the pieces [first, last) of bounds, from what read gives.
Status HashPieces(const ReadFn& read, const std::vector<std::uint64_t>& bounds, std::size_t first, std::size_t last,
                  std::vector<PieceHash>& out) {
  out.clear();
  std::vector<std::uint8_t> chunk;
  for (std::size_t i = first; i < last; ++i) {
    PieceHash crc = 0;
    for (std::uint64_t at = bounds[i]; at < bounds[i + 1]; at += chunk.size()) {
      chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, bounds[i + 1] - at)));
      if (Status s = read(at, chunk); !s.ok()) return s;
      crc = Crc64(crc, chunk);
    }
    out.push_back(crc);
  }
  return {};
}

// Whether claims cover every entry gfxpak wrote: only when the restore
// point has had them since it was made, or since it was brought up to date
// with its pieces hashed.
bool ClaimsComplete(const RestorePoint& point) { return point.layout == kCurrentLayout && !point.pieces.empty(); }

// The latest claim for an entry at offset with size bytes.
const Claim* ClaimFor(const RestorePoint& point, std::uint32_t offset, std::uint32_t size) {
  for (auto it = point.claims.rbegin(); it != point.claims.rend(); ++it) {
    if (it->offset == offset && it->size == size) return &*it;
  }
  return nullptr;
}

}  // namespace

Status ReadOriginal(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin, std::uint64_t end,
                    std::vector<std::uint8_t>& out) {
  out.assign(static_cast<std::size_t>(end - begin), 0);
  return ReadOriginalInto(journal, archive, point, begin, out);
}

bool StartsAsRestorePoint(std::span<const std::uint8_t> bytes) {
  // Every layout shares all but the last byte of its magic.
  return bytes.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end() - 1, bytes.begin());
}

std::vector<std::uint64_t> PieceBounds(const std::vector<Entry>& original, std::uint64_t header_length,
                                       std::uint64_t original_size) {
  std::vector<std::uint64_t> bounds = {0, std::min(header_length, original_size), original_size};
  for (const Entry& e : original) {
    if (e.size == 0) continue;
    bounds.push_back(std::min<std::uint64_t>(e.offset, original_size));
    bounds.push_back(std::min<std::uint64_t>(std::uint64_t{e.offset} + e.size, original_size));
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  return bounds;
}

Status ComparePieces(const RestorePoint& point, const std::vector<std::uint64_t>& bounds, std::uint64_t begin,
                     std::uint64_t end, const ReadFn& read, std::vector<bool>& differs) {
  const auto first = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), begin) - bounds.begin());
  const auto last = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), end) - bounds.begin());
  differs.resize(bounds.size() - 1, false);
  std::vector<PieceHash> hashes;
  if (Status s = HashPieces(read, bounds, first, last, hashes); !s.ok()) return s;
  for (std::size_t i = first; i < last; ++i) differs[i] = hashes[i - first] != point.pieces[i];
  return {};
}

bool OriginalCheck::any() const { return std::find(differs.begin(), differs.end(), true) != differs.end(); }

bool OriginalCheck::mostly() const {
  std::uint64_t differing = 0;
  for (std::size_t i = 1; i < differs.size(); ++i) differing += differs[i] ? bounds[i + 1] - bounds[i] : 0;
  return bounds.size() > 2 && differing > (bounds.back() - bounds[1]) / 2;
}

Status CheckOriginal(Storage& journal, Storage& archive, const RestorePoint& point, OriginalCheck& check) {
  check = OriginalCheck{};
  if (Status s = OriginalEntries(journal, point, check.entries); !s.ok()) return s;
  check.bounds = PieceBounds(check.entries, point.header_length, point.original_size);
  if (point.pieces.empty()) return {};
  return ComparePieces(point, check.bounds, 0, point.original_size, FromOriginal(journal, archive, point), check.differs);
}

std::vector<Difference> Differences(const OriginalCheck& check) {
  std::vector<Difference> out;
  for (std::size_t i = 0; i < check.differs.size(); ++i) {
    if (!check.differs[i]) continue;
    if (out.empty() || out.back().end != check.bounds[i] || !check.differs[i - 1]) {
      out.push_back({check.bounds[i], check.bounds[i + 1], {}});
    } else {
      out.back().end = check.bounds[i + 1];
    }
  }
  for (Difference& d : out) {
    for (std::size_t e = 0; e < check.entries.size(); ++e) {
      const Entry& entry = check.entries[e];
      if (entry.size > 0 && entry.offset < d.end && std::uint64_t{entry.offset} + entry.size > d.begin) {
        d.entries.push_back(e);
      }
    }
  }
  return out;
}

Status IsTheOriginal(Storage& journal, Storage& archive, const RestorePoint& point, bool& original) {
  original = false;
  std::uint64_t size = 0;
  if (auto e = archive.Size(size)) return Io("cannot read the archive", e);
  if (point.pieces.empty() || size != point.original_size) return {};
  std::vector<Entry> entries;
  if (Status s = OriginalEntries(journal, point, entries); !s.ok()) return s;
  const std::vector<std::uint64_t> bounds = PieceBounds(entries, point.header_length, point.original_size);
  std::vector<bool> differs;
  if (Status s = ComparePieces(point, bounds, 0, size, FromArchive(archive), differs); !s.ok()) return s;
  original = std::find(differs.begin(), differs.end(), true) == differs.end();
  return {};
}

Status TakeFingerprint(Storage& archive, std::uint32_t entry, Fingerprint& fingerprint) {
  Archive a;
  if (Status s = ReadArchive(archive, a); !s.ok()) return s;
  std::vector<std::uint8_t> head(a.table_end + a.trailer.size());
  if (auto e = archive.Read(0, head)) return Io("cannot read the archive", e);
  Sha256 sha;
  sha.Update(head);
  if (entry < a.entries.size()) {
    // The ends of the entry, not all of it: hashing whole stadium files
    // twice per import doubled its time, and a file that another program
    // put in its place differs at its start or its end.
    const Entry& e = a.entries[entry];
    const std::uint64_t sample = std::min<std::uint64_t>(e.size, kFingerprintSample);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(sample));
    for (const std::uint64_t at : {std::uint64_t{e.offset}, std::uint64_t{e.offset} + e.size - sample}) {
      if (auto err = archive.Read(at, data)) return Io("cannot read the archive", err);
      sha.Update(data);
    }
  }
  fingerprint = Fingerprint{a.file_size, entry, sha.Finish()};
  return {};
}

Status NewRestorePoint(Storage& archive, std::vector<std::uint8_t>& bytes) {
  Archive a;
  if (Status s = ReadArchive(archive, a); !s.ok()) return s;
  RestorePoint p;
  p.original_size = a.file_size;
  p.header_length = static_cast<std::uint32_t>(a.table_end + a.trailer.size());
  p.tail_length = static_cast<std::uint32_t>(std::min(p.original_size, kTailLength));
  std::vector<std::uint8_t> header(p.header_length);
  if (auto e = archive.Read(0, header)) return Io("cannot read the archive", e);
  p.header_hash = Sha256Of(header);
  if (Status s = HashOfArchive(archive, p.original_size - p.tail_length, p.tail_length, p.tail_hash); !s.ok()) return s;
  if (Status s = TakeFingerprint(archive, kNoIndex, p.fingerprint); !s.ok()) return s;
  // The one read of the whole archive that lets every later command prove
  // the original instead of assuming it.
  const std::vector<std::uint64_t> bounds = PieceBounds(a.entries, p.header_length, p.original_size);
  if (Status s = HashPieces(FromArchive(archive), bounds, 0, bounds.size() - 1, p.pieces); !s.ok()) return s;
  bytes = EncodeFixed(p);
  const std::vector<std::uint8_t> first = EncodeRange(0, header);
  bytes.insert(bytes.end(), first.begin(), first.end());
  Put(bytes.data(), kCommitted, bytes.size());
  return {};
}

Status UpgradeRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point, WithPieces with_pieces,
                           std::vector<std::uint8_t>& bytes) {
  RestorePoint p = point;
  if (point.layout == 1) {
    if (Status s = TakeFingerprint(archive, kNoIndex, p.fingerprint); !s.ok()) return s;
  }
  if (with_pieces == WithPieces::kYes) {
    OriginalCheck original;
    if (Status s = OriginalEntries(journal, point, original.entries); !s.ok()) return s;
    const std::vector<std::uint64_t> bounds = PieceBounds(original.entries, p.header_length, p.original_size);
    if (Status s = HashPieces(FromOriginal(journal, archive, point), bounds, 0, bounds.size() - 1, p.pieces); !s.ok()) {
      return s;
    }
    p.pieces_from_upgrade = true;
    // What gfxpak wrote before has no claim yet: it is claimed as it is now.
    Archive a;
    std::vector<Origin> origins;
    if (Status s = ReadArchive(archive, a); !s.ok()) return s;
    if (Status s = CompareWithOriginal(journal, archive, point, a, origins); !s.ok()) return s;
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
      const Entry& e = a.entries[i];
      if (origins[i] == Origin::kOriginal || ClaimFor(p, e.offset, e.size) != nullptr) continue;
      if (Status s = ReadEntry(archive, e, data); !s.ok()) return s;
      p.claims.push_back({e.offset, e.size, HashOf(data), e.name});
    }
  }
  bytes = EncodeFixed(p);
  std::vector<std::uint8_t> data;
  for (const SavedRange& r : point.ranges) {
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    const std::vector<std::uint8_t> range = EncodeRange(r.offset, data);
    bytes.insert(bytes.end(), range.begin(), range.end());
  }
  for (const Claim& c : p.claims) {
    const std::vector<std::uint8_t> claim = EncodeClaim(c);
    bytes.insert(bytes.end(), claim.begin(), claim.end());
  }
  Put(bytes.data(), kCommitted, bytes.size());
  return {};
}

Status LoadRestorePoint(Storage& journal, RestorePoint& point) {
  point = RestorePoint{};
  std::uint64_t journal_size = 0;
  if (auto e = journal.Size(journal_size)) return Io("cannot read the restore point", e);
  std::uint8_t head[kFixedSize] = {};
  if (journal_size < kMagic.size()) return Damaged("truncated");
  if (auto e = journal.Read(0, std::span(head, kMagic.size()))) return Io("cannot read the restore point", e);
  if (!StartsAsRestorePoint(std::span(head, kMagic.size())) || head[7] < '1' || head[7] > '0' + kCurrentLayout) {
    return Damaged("not a gfxpak restore point");
  }
  point.layout = head[7] - '0';
  const std::size_t fixed = FixedSizeOf(point.layout);
  if (journal_size < fixed) return Damaged("truncated");
  if (auto e = journal.Read(0, std::span(head, fixed))) return Io("cannot read the restore point", e);
  point.original_size = Get(head, kOriginalSize);
  point.committed = Get(head, kCommitted);
  point.header_length = Get32(head, kHeaderLength);
  point.tail_length = Get32(head, kTailLengthField);
  GetBytes(head, kHeaderHash, point.header_hash);
  GetBytes(head, kTailHash, point.tail_hash);
  if (point.layout > 1) {
    const std::uint8_t* state = head + kStateBlock.pos;
    const std::uint64_t value = Get(state, kState);
    if (value > static_cast<std::uint32_t>(RestoreState::kRestoring)) return Damaged("unknown state");
    point.state = static_cast<RestoreState>(value);
    point.fingerprint.entry = Get32(state, kFingerprintEntry);
    point.fingerprint.size = Get(state, kFingerprintSize);
    GetBytes(state, kFingerprintHash, point.fingerprint.hash);
    point.undo_base = Get(state, kUndoBase);
    point.undo_length = point.state == RestoreState::kUpdating ? Get(state, kUndoLength) : 0;
  }
  point.data_start = fixed;
  if (point.layout == kCurrentLayout) {
    const std::uint64_t count = Get(head, kPieceCount);
    point.pieces_from_upgrade = (Get(head, kPieceFlags) & kPiecesFromUpgrade) != 0;
    if (count > (journal_size - fixed) / sizeof(PieceHash)) return Damaged("truncated");
    std::vector<std::uint8_t> hashes(static_cast<std::size_t>(count * sizeof(PieceHash)));
    if (auto e = journal.Read(fixed, hashes)) return Io("cannot read the restore point", e);
    std::array<std::uint8_t, 32> hash{};
    GetBytes(head, kPiecesHash, hash);
    if (Sha256Of(hashes) != hash) return Damaged("the hashes of the original do not match their own");
    point.pieces.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < point.pieces.size(); ++i) {
      point.pieces[i] = GetLe(&hashes[i * sizeof(PieceHash)], sizeof(PieceHash));
    }
    point.data_start += hashes.size();
  }
  // Bytes past the counted lengths are an append that was cut short; the
  // write it was made for never happened.
  if (point.committed > journal_size || point.undo_length > journal_size - point.committed) return Damaged("truncated");
  if (point.committed < point.data_start || point.tail_length > point.original_size ||
      point.header_length > point.original_size) {
    return Damaged();
  }
  std::vector<Claim>* claims = point.layout == kCurrentLayout ? &point.claims : nullptr;
  if (Status s = ReadRanges(journal, point.data_start, point.committed, point.original_size, point.ranges, claims);
      !s.ok()) {
    return s;
  }
  if (point.ranges.empty()) return Damaged("no header");
  const SavedRange& first = point.ranges.front();
  std::vector<std::uint8_t> header(first.length);
  if (auto e = journal.Read(first.data_pos, header)) return Io("cannot read the restore point", e);
  if (first.offset != 0 || first.length != point.header_length || Sha256Of(header) != point.header_hash) {
    return Damaged("header does not match its hash");
  }
  if (!Disjoint(point.ranges)) return Damaged("overlapping ranges");
  if (!point.pieces.empty()) {
    std::vector<Entry> entries;
    if (Status s = ParseHeadBytes(header, entries); !s.ok()) return Damaged("its saved table does not read");
    if (PieceBounds(entries, point.header_length, point.original_size).size() != point.pieces.size() + 1) {
      return Damaged("its hashes do not fit its saved table");
    }
  }
  std::uint64_t undo_from = point.committed;
  const std::uint64_t undo_to = point.committed + point.undo_length;
  if (Status s = ReadTarget(journal, undo_from, undo_to, point); !s.ok()) return s;
  if (Status s = ReadRanges(journal, undo_from, undo_to, point.undo_base, point.undo); !s.ok()) return s;
  if (!Disjoint(point.undo)) return Damaged("overlapping undo ranges");
  return {};
}

Status CheckBelongs(Storage& journal, Storage& archive, const RestorePoint& point) {
  std::uint64_t archive_size = 0;
  if (auto e = archive.Size(archive_size)) return Io("cannot read the archive", e);
  if (archive_size < point.original_size) {
    return Fail(Errc::kForeignRestorePoint, {}, "the archive is smaller than the original");
  }
  std::vector<std::uint8_t> tail;
  if (Status s = ReadOriginal(journal, archive, point, point.original_size - point.tail_length, point.original_size, tail);
      !s.ok()) {
    return s;
  }
  if (Sha256Of(tail) != point.tail_hash) return Fail(Errc::kForeignRestorePoint, {}, "its data differs");
  return {};
}

Status OriginalEntries(Storage& journal, const RestorePoint& point, std::vector<Entry>& entries) {
  const SavedRange& head = point.ranges.front();
  std::vector<std::uint8_t> bytes(head.length);
  if (auto e = journal.Read(head.data_pos, bytes)) return Io("cannot read the restore point", e);
  if (Status s = ParseHeadBytes(bytes, entries); !s.ok()) return Damaged("its saved table does not read");
  return {};
}

Status CompareWithOriginal(Storage& journal, Storage& archive, const RestorePoint& point, const Archive& a,
                           std::vector<Origin>& origins) {
  std::vector<Entry> original;
  if (Status s = OriginalEntries(journal, point, original); !s.ok()) return s;
  if (a.entries.size() < original.size()) {
    return Fail(Errc::kOutdatedRestorePoint, {}, "the archive has fewer entries than the original");
  }
  origins.assign(a.entries.size(), Origin::kAdded);
  std::vector<std::uint8_t> was;
  std::vector<std::uint8_t> now;
  for (std::size_t i = 0; i < original.size(); ++i) {
    const Entry& o = original[i];
    const Entry& e = a.entries[i];
    if (e.offset == o.offset && e.size == o.size) {
      origins[i] = Origin::kOriginal;
    } else if (e.size != o.size) {
      origins[i] = Origin::kReplaced;
    } else {
      // Moved out of the growing table's way, or replaced by bytes of the
      // same length: the bytes tell.
      if (Status s = ReadOriginal(journal, archive, point, o.offset, std::uint64_t{o.offset} + o.size, was); !s.ok()) {
        return s;
      }
      now.resize(e.size);
      if (auto err = archive.Read(e.offset, now)) return Io("cannot read the archive", err);
      origins[i] = was == now ? Origin::kOriginal : Origin::kReplaced;
    }
  }
  return {};
}

Status CheckEntries(Storage& archive, const RestorePoint& point, const Archive& a,
                    const OriginalCheck& check, std::vector<EntryStanding>& out) {
  out.clear();
  const std::vector<Entry>& original = check.entries;
  const bool proof = !check.differs.empty();
  // Whether the size bytes at offset are the original's bytes of entry o.
  const auto holds_original = [&](const Entry& o, std::uint32_t offset, bool& same) {
    const std::uint64_t end = std::uint64_t{o.offset} + o.size;
    std::vector<bool> differs;
    // Where no saved range reaches, CheckOriginal read these same bytes.
    if (offset == o.offset && Unsaved(point, o.offset, end)) {
      differs = check.differs;
    } else if (Status s = ComparePieces(point, check.bounds, o.offset, end, FromArchive(archive, std::uint64_t{o.offset} - offset),
                                        differs);
               !s.ok()) {
      return s;
    }
    const auto first = std::lower_bound(check.bounds.begin(), check.bounds.end(), o.offset) - check.bounds.begin();
    const auto last = std::lower_bound(check.bounds.begin(), check.bounds.end(), end) - check.bounds.begin();
    same = std::find(differs.begin() + first, differs.begin() + last, true) == differs.begin() + last;
    return Status();
  };
  std::vector<std::uint8_t> data;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    const Entry& e = a.entries[i];
    const Entry* o = i < original.size() ? &original[i] : nullptr;
    if (o != nullptr && e.name != o->name) {
      out.push_back({i, Standing::kRenamed, o->name});
      continue;
    }
    if (e.size == 0) continue;
    if (o != nullptr && e.size == o->size && proof) {
      bool same = false;
      if (Status s = holds_original(*o, e.offset, same); !s.ok()) return s;
      if (same) continue;
    }
    if (const Claim* claim = ClaimFor(point, e.offset, e.size)) {
      if (Status s = ReadEntry(archive, e, data); !s.ok()) return s;
      if (claim->name != e.name) {
        out.push_back({i, Standing::kRenamed, claim->name});
      } else if (HashOf(data) != claim->hash) {
        out.push_back({i, Standing::kNotAsWritten, {}});
      }
      continue;
    }
    const bool original_record = o != nullptr && e.offset == o->offset && e.size == o->size;
    if (original_record && !proof) continue;
    if (original_record) {
      out.push_back({i, Standing::kNotOriginal, {}});
    } else {
      out.push_back({i, ClaimsComplete(point) ? Standing::kNotAsWritten : Standing::kUnknown, {}});
    }
  }
  for (std::size_t i = a.entries.size(); i < original.size(); ++i) out.push_back({i, Standing::kRenamed, original[i].name});
  return {};
}

Status CheckFingerprint(Storage& archive, const RestorePoint& point) {
  Fingerprint now;
  const Status s = TakeFingerprint(archive, point.fingerprint.entry, now);
  if (!s.ok() && s.error().code.category() == GfxpakCategory()) {
    return Fail(Errc::kOutdatedRestorePoint, {}, "it no longer reads as an archive");
  }
  if (!s.ok()) return s;
  if (now.size != point.fingerprint.size) {
    return Fail(Errc::kOutdatedRestorePoint, {},
                std::to_string(now.size) + " bytes instead of " + std::to_string(point.fingerprint.size));
  }
  if (now != point.fingerprint) return Fail(Errc::kOutdatedRestorePoint, {}, "its table or data differ");
  return {};
}

Status CompareWithUpdate(Storage& archive, const RestorePoint& point, std::optional<TargetState>& state) {
  state.reset();
  if (point.state != RestoreState::kUpdating || !point.target) return {};
  TargetState reached = TargetState::kNotVisible;
  if (Status s = CompareWithTarget(archive, *point.target, reached); !s.ok()) return s;
  state = reached;
  return {};
}

Status TornRecords(Storage& archive, const RestorePoint& point, std::vector<RecordChange>& torn) {
  torn.clear();
  if (point.state != RestoreState::kUpdating || !point.target) return {};
  return TornRecords(archive, *point.target, torn);
}

Status RestoreJournal::WriteState(RestoreState state, const Fingerprint& fingerprint, std::uint64_t undo_base,
                                  std::uint64_t undo_length) {
  const auto bytes = EncodeState(state, fingerprint, undo_base, undo_length);
  if (auto e = journal_.Write(kStateBlock.pos, bytes)) return Io("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return Io("cannot flush the restore point", e);
  point_.state = state;
  point_.fingerprint = fingerprint;
  point_.undo_base = undo_base;
  point_.undo_length = undo_length;
  point_.target.reset();
  point_.undo.clear();
  return {};
}

// The records first, then the length that makes them count.
Status RestoreJournal::Append(std::span<const std::uint8_t> bytes, std::uint64_t at, std::uint64_t length_pos,
                              std::uint64_t length) {
  if (auto e = journal_.Write(at, bytes)) return Io("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return Io("cannot flush the restore point", e);
  std::uint8_t field[8];
  PutLe(field, length, sizeof field);
  if (auto e = journal_.Write(length_pos, field)) return Io("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return Io("cannot flush the restore point", e);
  return {};
}

// The original bytes below end that are not saved yet, as ranges to append.
Status RestoreJournal::SaveOriginals(std::uint64_t end, std::vector<std::uint8_t>& append,
                                     std::vector<SavedRange>& added) {
  end = std::min(end, point_.original_size);
  // Saving a byte twice would record a changed byte as the original.
  auto missing = Uncovered(point_.ranges, 0, end, Bounds);
  if (missing.empty()) return {};
  // Saving a little ahead covers the next few table growths too, so that
  // most imports append nothing. Any byte below the original size that is
  // not saved yet still holds its original value, so the extra is right.
  const std::uint64_t ahead = std::min(std::max(end, missing.front().begin + kSaveAhead), point_.original_size);
  missing = Uncovered(point_.ranges, 0, ahead, Bounds);
  std::vector<std::uint8_t> original;
  for (const Interval& gap : missing) {
    original.resize(static_cast<std::size_t>(gap.end - gap.begin));
    if (auto e = archive_.Read(gap.begin, original)) return Io("cannot read the archive", e);
    const std::vector<std::uint8_t> range = EncodeRange(gap.begin, original);
    added.push_back({gap.begin, static_cast<std::uint32_t>(original.size()), point_.committed + append.size() + kRangeHeader});
    append.insert(append.end(), range.begin(), range.end());
  }
  return {};
}

Status RestoreJournal::Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target,
                             const WrittenData& written) {
  // The originals and the claims go before the mark: undo records follow
  // them, so nothing may be added to them while an update runs.
  std::vector<std::uint8_t> append;
  std::vector<SavedRange> added;
  if (Status s = SaveOriginals(reach, append, added); !s.ok()) return s;
  std::vector<Claim> claims;
  if (point_.layout == kCurrentLayout) {
    if (!written.bytes.empty()) {
      claims.push_back({static_cast<std::uint32_t>(written.offset), static_cast<std::uint32_t>(written.bytes.size()),
                        HashOf(written.bytes), target.name});
    }
    // An entry that gfxpak wrote keeps its claim where the table moves it.
    for (const RecordChange& c : target.records_move ? target.records : std::vector<RecordChange>()) {
      if (const Claim* was = ClaimFor(point_, c.old_offset, c.old_size)) {
        claims.push_back({c.new_offset, c.new_size, was->hash, was->name});
      }
    }
    for (const Claim& c : claims) {
      const std::vector<std::uint8_t> claim = EncodeClaim(c);
      append.insert(append.end(), claim.begin(), claim.end());
    }
  }
  if (!append.empty()) {
    const std::uint64_t committed = point_.committed + append.size();
    if (Status s = Append(append, point_.committed, kCommitted.pos, committed); !s.ok()) return s;
    point_.committed = committed;
    point_.ranges.insert(point_.ranges.end(), added.begin(), added.end());
    point_.claims.insert(point_.claims.end(), claims.begin(), claims.end());
  }
  // The target is counted by the same write that marks the update running.
  const std::vector<std::uint8_t> record = EncodeRange(kTargetMark, EncodeTarget(target));
  if (auto e = journal_.Write(point_.committed, record)) return Io("cannot write the restore point", e);
  if (auto e = journal_.Flush()) return Io("cannot flush the restore point", e);
  if (Status s = WriteState(RestoreState::kUpdating, point_.fingerprint, size, record.size()); !s.ok()) return s;
  point_.target = target;
  return {};
}

Status RestoreJournal::Keep(std::uint64_t offset, std::span<const std::uint8_t> old) {
  const std::uint64_t end = offset + old.size();
  if (!Uncovered(point_.ranges, offset, std::min(end, point_.original_size), Bounds).empty()) {
    // Begin saved everything the update said it would write below the
    // original size; anything else would leave the way back incomplete.
    return Fail(std::make_error_code(std::errc::state_not_recoverable), "cannot save the original bytes",
                "an update wrote outside the table it announced");
  }
  const std::vector<std::uint8_t> record = EncodeRange(offset, old);
  const std::uint64_t at = point_.committed + point_.undo_length;
  if (Status s = Append(record, at, kUndoLengthPos, point_.undo_length + record.size()); !s.ok()) return s;
  point_.undo.push_back({offset, static_cast<std::uint32_t>(old.size()), at + kRangeHeader});
  point_.undo_length += record.size();
  return {};
}

Status RestoreJournal::Commit(const Fingerprint& fingerprint) {
  if (Status s = WriteState(RestoreState::kIdle, fingerprint, 0); !s.ok()) return s;
  // The undo records no longer count; giving back their space can fail
  // without harm.
  journal_.Truncate(point_.committed);
  return {};
}

Status RestoreJournal::Abort() { return Commit(point_.fingerprint); }

Status RestoreJournal::Rollback() {
  if (point_.state != RestoreState::kUpdating) return {};
  std::vector<std::uint8_t> data;
  for (const SavedRange& r : point_.undo) {
    data.resize(r.length);
    if (auto e = journal_.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    if (auto e = archive_.Write(r.offset, data)) return Io("cannot write the archive", e);
  }
  if (auto e = archive_.Truncate(point_.undo_base)) return Io("cannot truncate the archive", e);
  if (auto e = archive_.Flush()) return Io("cannot flush the archive", e);
  return Abort();
}

Status RestoreJournal::Settle(Settlement& settlement) {
  settlement = Settlement{};
  if (point_.state != RestoreState::kUpdating) return {};
  if (point_.target) settlement.entry = point_.target->name;
  std::optional<TargetState> reached;
  if (Status s = CompareWithUpdate(archive_, point_, reached); !s.ok()) return s;
  if (reached != TargetState::kVisible && reached != TargetState::kPartly) {
    settlement.outcome = Settlement::Outcome::kTakenBack;
    settlement.torn = reached == TargetState::kTorn;
    return Rollback();
  }
  // Part of a restore of several entries is seen: taking it back would
  // undo what readers met, and all its data is on the disk, so the rest
  // of it is written.
  const UpdateTarget target = *point_.target;
  if (Status s = FinishTarget(archive_, target); !s.ok()) return s;
  Fingerprint fingerprint;
  if (Status s = TakeFingerprint(archive_, target.entry, fingerprint); !s.ok()) return s;
  settlement.outcome =
      reached == TargetState::kPartly ? Settlement::Outcome::kCompleted : Settlement::Outcome::kFinished;
  return Commit(fingerprint);
}

// That the pieces the restore wrote from its saved ranges read back as the
// original's: the others were checked before it began and are not written.
Status RestoreJournal::CheckWritten() {
  std::vector<Entry> entries;
  if (Status s = OriginalEntries(journal_, point_, entries); !s.ok()) return s;
  const std::vector<std::uint64_t> bounds = PieceBounds(entries, point_.header_length, point_.original_size);
  std::vector<bool> differs;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
    if (Unsaved(point_, bounds[i], bounds[i + 1])) continue;
    if (Status s = ComparePieces(point_, bounds, bounds[i], bounds[i + 1], FromArchive(archive_), differs); !s.ok()) {
      return s;
    }
    if (differs[i]) return Fail(Errc::kNotOriginal, {}, "bytes it wrote do not read back");
  }
  return {};
}

Status RestoreJournal::Restore(TailCheck tail, RestoreProgress& progress) {
  progress = RestoreProgress::kNotStarted;
  const bool marked_now = point_.state != RestoreState::kRestoring;
  if (marked_now) {
    if (Status s = WriteState(RestoreState::kRestoring, point_.fingerprint, 0); !s.ok()) return s;
  } else {
    progress = RestoreProgress::kPartWay;
  }
  // In an order that shows readers, after every step, each entry with its
  // original or its present content: first the original entry count, which
  // drops the entries that imports added; then the original bytes under the
  // grown table, which no counted entry points to any more; then the
  // original header and table; and only then is what imports appended cut off.
  const auto put_back = [&](const SavedRange& r, std::uint64_t from, std::uint64_t length) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    if (auto e = journal_.Read(r.data_pos + from, data)) return Io("cannot read the restore point", e);
    progress = RestoreProgress::kPartWay;
    if (auto e = archive_.Write(r.offset + from, data)) return Io("cannot write the archive", e);
    return Status();
  };
  const auto flush = [&] {
    if (auto e = archive_.Flush()) return Io("cannot flush the archive", e);
    return Status();
  };
  const auto write_back = [&] {
    const SavedRange& head = point_.ranges.front();
    if (Status s = put_back(head, kCountField, 4); !s.ok()) return s;
    if (Status s = flush(); !s.ok()) return s;
    for (const SavedRange& r : std::span(point_.ranges).subspan(1)) {
      if (Status s = put_back(r, 0, r.length); !s.ok()) return s;
    }
    if (Status s = flush(); !s.ok()) return s;
    if (Status s = put_back(head, 0, head.length); !s.ok()) return s;
    if (Status s = flush(); !s.ok()) return s;
    if (auto e = archive_.Truncate(point_.original_size)) return Io("cannot truncate the archive", e);
    return flush();
  };
  if (Status s = write_back(); !s.ok()) {
    // Nothing of the archive written yet: it is as it was, and so is its
    // restore point when the mark can go again.
    if (progress == RestoreProgress::kNotStarted && marked_now) (void)WriteState(RestoreState::kIdle, point_.fingerprint, 0);
    return s;
  }

  std::uint64_t size = 0;
  if (auto e = archive_.Size(size)) return Io("cannot read the archive", e);
  std::array<std::uint8_t, 32> hash{};
  if (Status s = HashOfArchive(archive_, 0, point_.header_length, hash); !s.ok()) return s;
  if (size != point_.original_size || hash != point_.header_hash) return Fail(Errc::kNotOriginal, {}, "its header differs");
  if (!point_.pieces.empty()) return CheckWritten();
  if (tail == TailCheck::kSkip) return {};
  if (Status s = HashOfArchive(archive_, size - point_.tail_length, point_.tail_length, hash); !s.ok()) return s;
  if (hash != point_.tail_hash) return Fail(Errc::kNotOriginal, {}, "its last bytes differ");
  return {};
}

}  // namespace gfxpak
