#include "restore_point.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "intervals.h"
#include "sha256.h"

namespace gfxpak {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'G', 'P', 'K', 'R', 'S', 'T', 'R', '2'};
constexpr std::array<std::uint8_t, 8> kEarlierMagic = {'G', 'P', 'K', 'R', 'S', 'T', 'R', '1'};

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
constexpr std::size_t kFixedSize = kStateBlock.end();
// The earlier layout ends its fixed part with 8 unused bytes.
constexpr std::size_t kEarlierFixedSize = 104;
// Each saved range and undo record: its place in the archive, its length and
// a checksum of both with the data, which follows.
constexpr Field kRangeOffset{0, 8};
constexpr Field kRangeLength{8, 4};
constexpr Field kRangeChecksum{12, 4};
constexpr std::size_t kRangeHeader = kRangeChecksum.end();
// The offset field of the undo record that holds an update's target: no
// archive offset is this large.
constexpr std::uint64_t kTargetMark = ~std::uint64_t{0};
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
static_assert(kUndoLengthPos == 152 && kFixedSize == 160 && kTargetFixed == 40);
// The last bytes below the original size identify the archive: they are
// data, which an import never overwrites.
constexpr std::uint64_t kTailLength = 4096;
constexpr std::uint64_t kSaveAhead = 4096;
constexpr std::uint64_t kFingerprintSample = 64 * 1024;

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

// The fixed part of a restore point in the current layout, idle, with its
// committed length still to be filled in.
std::vector<std::uint8_t> EncodeFixed(const RestorePoint& p) {
  std::vector<std::uint8_t> out(kFixedSize, 0);
  PutBytes(out.data(), kMagicField, kMagic);
  Put(out.data(), kOriginalSize, p.original_size);
  Put(out.data(), kHeaderLength, p.header_length);
  Put(out.data(), kTailLengthField, p.tail_length);
  PutBytes(out.data(), kHeaderHash, p.header_hash);
  PutBytes(out.data(), kTailHash, p.tail_hash);
  PutBytes(out.data(), kStateBlock, EncodeState(RestoreState::kIdle, p.fingerprint, 0, 0));
  return out;
}

Status Io(const char* what, std::error_code e) { return Fail(e, what); }
Status Damaged(std::string detail = {}) { return Fail(Errc::kDamagedRestorePoint, {}, std::move(detail)); }

// Reads the records in [from, to) of the journal, each checked against its
// checksum and required to lie below limit.
Status ReadRanges(Storage& journal, std::uint64_t from, std::uint64_t to, std::uint64_t limit,
                  std::vector<SavedRange>& ranges) {
  std::vector<std::uint8_t> data;
  for (std::uint64_t pos = from; pos < to;) {
    std::uint8_t rh[kRangeHeader];
    if (to - pos < kRangeHeader) return Damaged();
    if (auto e = journal.Read(pos, rh)) return Io("cannot read the restore point", e);
    SavedRange r{Get(rh, kRangeOffset), Get32(rh, kRangeLength), pos + kRangeHeader};
    if (to - r.data_pos < r.length || r.offset > limit || r.length > limit - r.offset) return Damaged();
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    if (Checksum(data, r.offset) != Get(rh, kRangeChecksum)) return Damaged("bad checksum");
    ranges.push_back(r);
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

Status HashOfArchive(Storage& archive, std::uint64_t begin, std::uint64_t length, std::array<std::uint8_t, 32>& hash) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (auto e = archive.Read(begin, bytes)) return Io("cannot read the archive", e);
  hash = Sha256Of(bytes);
  return {};
}

}  // namespace

Status ReadOriginal(Storage& journal, Storage& archive, const RestorePoint& point, std::uint64_t begin, std::uint64_t end,
                    std::vector<std::uint8_t>& out) {
  out.assign(static_cast<std::size_t>(end - begin), 0);
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

bool StartsAsRestorePoint(std::span<const std::uint8_t> bytes) {
  // Both layouts share all but the last byte of their magic.
  return bytes.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end() - 1, bytes.begin());
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
  if (Status s = TakeFingerprint(archive, kNoEntry, p.fingerprint); !s.ok()) return s;
  bytes = EncodeFixed(p);
  const std::vector<std::uint8_t> first = EncodeRange(0, header);
  bytes.insert(bytes.end(), first.begin(), first.end());
  Put(bytes.data(), kCommitted, bytes.size());
  return {};
}

Status UpgradeRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point,
                           std::vector<std::uint8_t>& bytes) {
  RestorePoint p = point;
  if (Status s = TakeFingerprint(archive, kNoEntry, p.fingerprint); !s.ok()) return s;
  bytes = EncodeFixed(p);
  std::vector<std::uint8_t> data;
  for (const SavedRange& r : point.ranges) {
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    const std::vector<std::uint8_t> range = EncodeRange(r.offset, data);
    bytes.insert(bytes.end(), range.begin(), range.end());
  }
  Put(bytes.data(), kCommitted, bytes.size());
  return {};
}

Status LoadRestorePoint(Storage& journal, RestorePoint& point) {
  point = RestorePoint{};
  std::uint64_t journal_size = 0;
  if (auto e = journal.Size(journal_size)) return Io("cannot read the restore point", e);
  std::uint8_t head[kFixedSize] = {};
  if (journal_size < kEarlierFixedSize) return Damaged("truncated");
  if (auto e = journal.Read(0, std::span(head, kEarlierFixedSize))) return Io("cannot read the restore point", e);
  point.earlier_layout = std::memcmp(head, kEarlierMagic.data(), kEarlierMagic.size()) == 0;
  if (!point.earlier_layout && std::memcmp(head, kMagic.data(), kMagic.size()) != 0) {
    return Damaged("not a gfxpak restore point");
  }
  const std::size_t fixed = point.earlier_layout ? kEarlierFixedSize : kFixedSize;
  if (journal_size < fixed) return Damaged("truncated");
  if (auto e = journal.Read(0, std::span(head, fixed))) return Io("cannot read the restore point", e);
  point.original_size = Get(head, kOriginalSize);
  point.committed = Get(head, kCommitted);
  point.header_length = Get32(head, kHeaderLength);
  point.tail_length = Get32(head, kTailLengthField);
  GetBytes(head, kHeaderHash, point.header_hash);
  GetBytes(head, kTailHash, point.tail_hash);
  if (!point.earlier_layout) {
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
  // Bytes past the counted lengths are an append that was cut short; the
  // write it was made for never happened.
  if (point.committed > journal_size || point.undo_length > journal_size - point.committed) return Damaged("truncated");
  if (point.committed < fixed || point.tail_length > point.original_size || point.header_length > point.original_size) {
    return Damaged();
  }
  if (Status s = ReadRanges(journal, fixed, point.committed, point.original_size, point.ranges); !s.ok()) return s;
  if (point.ranges.empty()) return Damaged("no header");
  const SavedRange& first = point.ranges.front();
  std::vector<std::uint8_t> header(first.length);
  if (auto e = journal.Read(first.data_pos, header)) return Io("cannot read the restore point", e);
  if (first.offset != 0 || first.length != point.header_length || Sha256Of(header) != point.header_hash) {
    return Damaged("header does not match its hash");
  }
  if (!Disjoint(point.ranges)) return Damaged("overlapping ranges");
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

Status RestoreJournal::SaveOriginals(std::uint64_t begin, std::uint64_t end) {
  end = std::min(end, point_.original_size);
  // Saving a byte twice would record a changed byte as the original.
  auto missing = Uncovered(point_.ranges, begin, end, Bounds);
  if (missing.empty()) return {};
  // Saving a little ahead covers the next few table growths too, so that
  // most imports append nothing. Any byte below the original size that is
  // not saved yet still holds its original value, so the extra is right.
  const std::uint64_t ahead = std::min(std::max(end, missing.front().begin + kSaveAhead), point_.original_size);
  missing = Uncovered(point_.ranges, begin, ahead, Bounds);
  std::vector<std::uint8_t> append;
  std::vector<SavedRange> added;
  std::vector<std::uint8_t> original;
  for (const Interval& gap : missing) {
    original.resize(static_cast<std::size_t>(gap.end - gap.begin));
    if (auto e = archive_.Read(gap.begin, original)) return Io("cannot read the archive", e);
    const std::vector<std::uint8_t> range = EncodeRange(gap.begin, original);
    added.push_back({gap.begin, static_cast<std::uint32_t>(original.size()), point_.committed + append.size() + kRangeHeader});
    append.insert(append.end(), range.begin(), range.end());
  }
  const std::uint64_t committed = point_.committed + append.size();
  if (Status s = Append(append, point_.committed, kCommitted.pos, committed); !s.ok()) return s;
  point_.committed = committed;
  point_.ranges.insert(point_.ranges.end(), added.begin(), added.end());
  return {};
}

Status RestoreJournal::Begin(std::uint64_t size, std::uint64_t reach, const UpdateTarget& target) {
  // The originals go before the mark: undo records follow them, so nothing
  // may be added to the originals while an update runs.
  if (Status s = SaveOriginals(0, reach); !s.ok()) return s;
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
  if (reached != TargetState::kVisible) {
    settlement.outcome = Settlement::Outcome::kTakenBack;
    settlement.torn = reached == TargetState::kTorn;
    return Rollback();
  }
  const UpdateTarget target = *point_.target;
  if (Status s = FinishTarget(archive_, target); !s.ok()) return s;
  Fingerprint fingerprint;
  if (Status s = TakeFingerprint(archive_, target.entry, fingerprint); !s.ok()) return s;
  settlement.outcome = Settlement::Outcome::kFinished;
  return Commit(fingerprint);
}

Status RestoreJournal::Restore(TailCheck tail) {
  if (point_.state != RestoreState::kRestoring) {
    if (Status s = WriteState(RestoreState::kRestoring, point_.fingerprint, 0); !s.ok()) return s;
  }
  // In an order that shows readers, after every step, each entry with its
  // original or its present content: first the original entry count, which
  // drops the entries that imports added; then the original bytes under the
  // grown table, which no counted entry points to any more; then the
  // original header and table; and only then is what imports appended cut off.
  const auto put_back = [&](const SavedRange& r, std::uint64_t from, std::uint64_t length) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    if (auto e = journal_.Read(r.data_pos + from, data)) return Io("cannot read the restore point", e);
    if (auto e = archive_.Write(r.offset + from, data)) return Io("cannot write the archive", e);
    return Status();
  };
  const auto flush = [&] {
    if (auto e = archive_.Flush()) return Io("cannot flush the archive", e);
    return Status();
  };
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
  if (auto e = archive_.Flush()) return Io("cannot flush the archive", e);

  std::uint64_t size = 0;
  if (auto e = archive_.Size(size)) return Io("cannot read the archive", e);
  std::array<std::uint8_t, 32> hash{};
  if (Status s = HashOfArchive(archive_, 0, point_.header_length, hash); !s.ok()) return s;
  if (size != point_.original_size || hash != point_.header_hash) return Fail(Errc::kNotOriginal, {}, "its header differs");
  if (tail == TailCheck::kSkip) return {};
  if (Status s = HashOfArchive(archive_, size - point_.tail_length, point_.tail_length, hash); !s.ok()) return s;
  if (hash != point_.tail_hash) return Fail(Errc::kNotOriginal, {}, "its last bytes differ");
  return {};
}

}  // namespace gfxpak
