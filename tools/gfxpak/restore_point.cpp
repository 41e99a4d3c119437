#include "restore_point.h"

#include <algorithm>
#include <cstring>

#include "sha256.h"

namespace gfxpak {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'G', 'P', 'K', 'R', 'S', 'T', 'R', '1'};
constexpr std::size_t kCommittedPos = 16;
constexpr std::size_t kHeaderSize = 104;
constexpr std::size_t kRangeHeader = 16;
// The last bytes below the original size identify the archive: they are
// data, which an import never overwrites.
constexpr std::uint64_t kTailLength = 4096;
constexpr std::uint64_t kSaveAhead = 4096;

void PutLe(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t GetLe(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t Checksum(std::span<const std::uint8_t> data, std::uint64_t offset) {
  std::uint32_t h = 2166136261u ^ static_cast<std::uint32_t>(offset) ^ static_cast<std::uint32_t>(offset >> 32);
  for (std::uint8_t b : data) h = (h ^ b) * 16777619u;
  return h;
}

std::vector<std::uint8_t> EncodeRange(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out(kRangeHeader + data.size());
  PutLe(out.data(), offset, 8);
  PutLe(out.data() + 8, data.size(), 4);
  PutLe(out.data() + 12, Checksum(data, offset), 4);
  std::memcpy(out.data() + kRangeHeader, data.data(), data.size());
  return out;
}

Status Io(const char* what, std::error_code e) { return Status::Fail(std::string(what) + ": " + ErrorText(e)); }

// The bytes [begin, end) of the original archive: the archive's current
// bytes with the saved ranges laid over them.
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
  return Status::Ok();
}

}  // namespace

Status NewRestorePoint(Storage& archive, std::vector<std::uint8_t>& bytes) {
  Archive a;
  if (Status s = ReadArchive(archive, a); !s.ok()) return s;
  const std::uint64_t size = a.file_size;
  const std::uint32_t header_length = static_cast<std::uint32_t>(a.table_end + a.trailer.size());
  std::vector<std::uint8_t> header(header_length);
  if (auto e = archive.Read(0, header)) return Io("cannot read the archive", e);
  const std::uint64_t tail_length = std::min(size, kTailLength);
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(tail_length));
  if (auto e = archive.Read(size - tail_length, tail)) return Io("cannot read the archive", e);

  bytes.assign(kHeaderSize, 0);
  std::memcpy(bytes.data(), kMagic.data(), kMagic.size());
  PutLe(bytes.data() + 8, size, 8);
  PutLe(bytes.data() + 24, header_length, 4);
  PutLe(bytes.data() + 28, tail_length, 4);
  const auto header_hash = Sha256Of(header);
  const auto tail_hash = Sha256Of(tail);
  std::memcpy(bytes.data() + 32, header_hash.data(), 32);
  std::memcpy(bytes.data() + 64, tail_hash.data(), 32);
  const std::vector<std::uint8_t> first = EncodeRange(0, header);
  bytes.insert(bytes.end(), first.begin(), first.end());
  PutLe(bytes.data() + kCommittedPos, bytes.size(), 8);
  return Status::Ok();
}

Status LoadRestorePoint(Storage& journal, Storage& archive, RestorePoint& point) {
  point = RestorePoint{};
  std::uint64_t journal_size = 0;
  if (auto e = journal.Size(journal_size)) return Io("cannot read the restore point", e);
  std::uint8_t head[kHeaderSize];
  if (journal_size < kHeaderSize) return Status::Fail("restore point is truncated");
  if (auto e = journal.Read(0, head)) return Io("cannot read the restore point", e);
  if (std::memcmp(head, kMagic.data(), kMagic.size()) != 0) return Status::Fail("not a gfxpak restore point");
  point.original_size = GetLe(head + 8, 8);
  point.committed = GetLe(head + kCommittedPos, 8);
  point.header_length = static_cast<std::uint32_t>(GetLe(head + 24, 4));
  point.tail_length = static_cast<std::uint32_t>(GetLe(head + 28, 4));
  std::memcpy(point.header_hash.data(), head + 32, 32);
  std::memcpy(point.tail_hash.data(), head + 64, 32);
  if (point.committed > journal_size) return Status::Fail("restore point is truncated");
  if (point.committed < kHeaderSize || point.tail_length > point.original_size ||
      point.header_length > point.original_size) {
    return Status::Fail("restore point is damaged");
  }

  // Bytes past the committed length are an append that was cut short; the
  // write it was made for never happened.
  std::uint64_t pos = kHeaderSize;
  std::vector<std::uint8_t> data;
  while (pos < point.committed) {
    std::uint8_t rh[kRangeHeader];
    if (point.committed - pos < kRangeHeader) return Status::Fail("restore point is damaged");
    if (auto e = journal.Read(pos, rh)) return Io("cannot read the restore point", e);
    SavedRange r{GetLe(rh, 8), static_cast<std::uint32_t>(GetLe(rh + 8, 4)), pos + kRangeHeader};
    if (point.committed - r.data_pos < r.length || r.offset > point.original_size ||
        r.length > point.original_size - r.offset) {
      return Status::Fail("restore point is damaged");
    }
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    if (Checksum(data, r.offset) != GetLe(rh + 12, 4)) return Status::Fail("restore point is damaged (bad checksum)");
    if (point.ranges.empty() && (r.offset != 0 || r.length != point.header_length || Sha256Of(data) != point.header_hash)) {
      return Status::Fail("restore point is damaged (header does not match its hash)");
    }
    point.ranges.push_back(r);
    pos = r.data_pos + r.length;
  }
  if (point.ranges.empty()) return Status::Fail("restore point is damaged (no header)");
  std::vector<SavedRange> sorted = point.ranges;
  std::sort(sorted.begin(), sorted.end(), [](const SavedRange& a, const SavedRange& b) { return a.offset < b.offset; });
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i - 1].offset + sorted[i - 1].length > sorted[i].offset) return Status::Fail("restore point is damaged (overlapping ranges)");
  }

  std::uint64_t archive_size = 0;
  if (auto e = archive.Size(archive_size)) return Io("cannot read the archive", e);
  if (archive_size < point.original_size) return Status::Fail("restore point belongs to another archive (the archive is smaller than the original)");
  std::vector<std::uint8_t> tail;
  if (Status s = ReadOriginal(journal, archive, point, point.original_size - point.tail_length, point.original_size, tail); !s.ok()) return s;
  if (Sha256Of(tail) != point.tail_hash) return Status::Fail("restore point belongs to another archive (its data differs)");
  return Status::Ok();
}

Status ApplyRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point) {
  std::vector<std::uint8_t> data;
  for (const SavedRange& r : point.ranges) {
    data.resize(r.length);
    if (auto e = journal.Read(r.data_pos, data)) return Io("cannot read the restore point", e);
    if (auto e = archive.Write(r.offset, data)) return Io("cannot write the archive", e);
  }
  if (auto e = archive.Flush()) return Io("cannot flush the archive", e);
  if (auto e = archive.Truncate(point.original_size)) return Io("cannot truncate the archive", e);
  if (auto e = archive.Flush()) return Io("cannot flush the archive", e);
  return Status::Ok();
}

namespace {

// The parts of [begin, end) that no saved range covers yet.
std::vector<std::pair<std::uint64_t, std::uint64_t>> Unsaved(const RestorePoint& point, std::uint64_t begin,
                                                             std::uint64_t end) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> missing{{begin, end}};
  for (const SavedRange& r : point.ranges) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> next;
    for (const auto& [lo, hi] : missing) {
      const std::uint64_t r_end = r.offset + r.length;
      if (r_end <= lo || r.offset >= hi) {
        next.emplace_back(lo, hi);
        continue;
      }
      if (lo < r.offset) next.emplace_back(lo, r.offset);
      if (r_end < hi) next.emplace_back(r_end, hi);
    }
    missing = std::move(next);
  }
  return missing;
}

}  // namespace

std::error_code RestoringStorage::SaveOriginal(std::uint64_t begin, std::uint64_t end) {
  end = std::min(end, point_.original_size);
  if (begin >= end) return {};
  // Saving a byte twice would record a changed byte as the original.
  auto missing = Unsaved(point_, begin, end);
  if (missing.empty()) return {};
  // Saving a little ahead covers the next few table growths too, so that
  // most imports append nothing. Any byte below the original size that is
  // not saved yet still holds its original value, so the extra is right.
  const std::uint64_t ahead = std::min(std::max(end, missing.front().first + kSaveAhead), point_.original_size);
  missing = Unsaved(point_, begin, ahead);
  if (missing.empty()) return {};
  std::vector<std::uint8_t> append;
  std::vector<SavedRange> added;
  std::vector<std::uint8_t> original;
  for (const auto& [lo, hi] : missing) {
    original.resize(static_cast<std::size_t>(hi - lo));
    if (auto e = archive_.Read(lo, original)) return e;
    const std::vector<std::uint8_t> range = EncodeRange(lo, original);
    added.push_back({lo, static_cast<std::uint32_t>(hi - lo), point_.committed + append.size() + kRangeHeader});
    append.insert(append.end(), range.begin(), range.end());
  }
  // The ranges first, then the length that makes them count.
  if (auto e = journal_.Write(point_.committed, append)) return e;
  if (auto e = journal_.Flush()) return e;
  std::uint8_t committed[8];
  PutLe(committed, point_.committed + append.size(), 8);
  if (auto e = journal_.Write(kCommittedPos, committed)) return e;
  if (auto e = journal_.Flush()) return e;
  point_.committed += append.size();
  point_.ranges.insert(point_.ranges.end(), added.begin(), added.end());
  return {};
}

std::error_code RestoringStorage::Write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (auto e = SaveOriginal(offset, offset + data.size())) return e;
  return archive_.Write(offset, data);
}

std::error_code RestoringStorage::Truncate(std::uint64_t size) {
  // Cutting below the original size would lose bytes nothing has saved.
  return archive_.Truncate(std::max(size, point_.original_size));
}

}  // namespace gfxpak
