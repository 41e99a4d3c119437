// Making, bringing up to date and loading restore points: the record
// itself, as its layout (restore_layout.h) gives its bytes.
#include "restore_point.h"

#include <algorithm>

#include "restore_checks.h"
#include "restore_layout.h"
#include "sha256.h"

namespace gfxpak {

using namespace restore_layout;

namespace {

// The last bytes below the original size identify the archive: they are
// data, which an import never overwrites.
constexpr std::uint64_t kTailLength = 4096;

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
    if (auto e = journal.Read(pos, rh)) return IoFail("cannot read the restore point", e);
    SavedRange r{Get(rh, kRangeOffset), Get32(rh, kRangeLength), pos + kRangeHeader};
    const bool claim = r.offset == kClaimMark && claims != nullptr;
    if (to - r.data_pos < r.length || (!claim && (r.offset > limit || r.length > limit - r.offset))) return Damaged();
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return IoFail("cannot read the restore point", e);
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
  if (auto e = journal.Read(from, rh)) return IoFail("cannot read the restore point", e);
  if (Get(rh, kRangeOffset) != kTargetMark) return {};
  const std::uint64_t length = Get(rh, kRangeLength);
  if (to - from - kRangeHeader < length) return Damaged("truncated");
  std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
  if (auto e = journal.Read(from + kRangeHeader, data)) return IoFail("cannot read the restore point", e);
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

}  // namespace

std::vector<Interval> UnsavedParts(const RestorePoint& point, std::uint64_t begin, std::uint64_t end) {
  return Uncovered(point.ranges, begin, end, Bounds);
}

bool Unsaved(const RestorePoint& point, std::uint64_t begin, std::uint64_t end) {
  const std::vector<Interval> missing = UnsavedParts(point, begin, end);
  return missing.size() == 1 && missing.front().begin == begin && missing.front().end == end;
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

Status NewRestorePoint(Storage& archive, std::vector<std::uint8_t>& bytes) {
  Archive a;
  if (Status s = ReadArchive(archive, a); !s.ok()) return s;
  RestorePoint p;
  p.original_size = a.file_size;
  p.header_length = static_cast<std::uint32_t>(a.table_end + a.trailer.size());
  p.tail_length = static_cast<std::uint32_t>(std::min(p.original_size, kTailLength));
  std::vector<std::uint8_t> header(p.header_length);
  if (auto e = archive.Read(0, header)) return IoFail("cannot read the archive", e);
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
    if (auto e = journal.Read(r.data_pos, data)) return IoFail("cannot read the restore point", e);
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
  if (auto e = journal.Size(journal_size)) return IoFail("cannot read the restore point", e);
  std::uint8_t head[kFixedSize] = {};
  if (journal_size < kMagic.size()) return Damaged("truncated");
  if (auto e = journal.Read(0, std::span(head, kMagic.size()))) return IoFail("cannot read the restore point", e);
  if (!StartsAsRestorePoint(std::span(head, kMagic.size())) || head[7] < '1' || head[7] > '0' + kCurrentLayout) {
    return Damaged("not a gfxpak restore point");
  }
  point.layout = head[7] - '0';
  const std::size_t fixed = FixedSizeOf(point.layout);
  if (journal_size < fixed) return Damaged("truncated");
  if (auto e = journal.Read(0, std::span(head, fixed))) return IoFail("cannot read the restore point", e);
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
    if (auto e = journal.Read(fixed, hashes)) return IoFail("cannot read the restore point", e);
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
  if (auto e = journal.Read(first.data_pos, header)) return IoFail("cannot read the restore point", e);
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

Status OriginalEntries(Storage& journal, const RestorePoint& point, std::vector<Entry>& entries) {
  const SavedRange& head = point.ranges.front();
  std::vector<std::uint8_t> bytes(head.length);
  if (auto e = journal.Read(head.data_pos, bytes)) return IoFail("cannot read the restore point", e);
  if (Status s = ParseHeadBytes(bytes, entries); !s.ok()) return Damaged("its saved table does not read");
  return {};
}

}  // namespace gfxpak
