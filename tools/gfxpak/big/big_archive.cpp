// The BIG archive format: reading the header and table, new archives,
// compaction. The updates that change an archive in place are in
// big_update.cpp.
#include "big_archive.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "byte_order.h"

namespace gfxpak {

std::uint32_t LowestData(const std::vector<Entry>& entries, std::uint64_t fallback) {
  std::uint64_t lowest = fallback;
  for (const Entry& e : entries) {
    if (e.size > 0) lowest = std::min<std::uint64_t>(lowest, e.offset);
  }
  return static_cast<std::uint32_t>(std::min(lowest, kMaxArchive));
}

std::uint32_t HeaderFieldFor(const Archive& a, std::uint32_t table_end, std::uint32_t first_data) {
  switch (a.convention) {
    case HeaderField::kTableEnd: return table_end + a.field_extra;
    case HeaderField::kFirstData: return first_data;
    case HeaderField::kFixed: break;
  }
  return a.header_field;
}

namespace {

// The 16-byte header; count is the number of entries it announces.
Status ReadHeader(Storage& storage, Archive& a, std::uint32_t& count) {
  if (auto e = storage.Size(a.file_size)) return IoFail("cannot read", e);
  if (a.file_size < kHeaderSize) return Fail(Errc::kNotArchive, {}, "too short");
  if (a.file_size > kMaxArchive) return Fail(Errc::kNotArchive, {}, "larger than 4 GiB");
  std::uint8_t header[kHeaderSize];
  if (auto e = storage.Read(0, header)) return IoFail("cannot read", e);
  if (!StartsAsArchive(header)) return Fail(Errc::kNotArchive, {}, "bad magic");
  std::memcpy(a.magic.data(), header, a.magic.size());
  a.archive_size = GetLe32(header + kSizeField);
  count = GetBe32(header + kCountField);
  a.header_field = GetBe32(header + kThirdField);
  if (count > (a.file_size - kHeaderSize) / (kRecordFixed + 1)) return Fail(Errc::kDamagedArchive, {}, "entry count too large");
  if (count > kMaxEntries) return Fail(Errc::kTooManyEntries, {}, std::to_string(count) + " entries");
  return {};
}

// Parses count records from the start of table; false when the table ends
// before the last record does.
bool ParseTable(const std::vector<std::uint8_t>& table, std::uint32_t count, Archive& a) {
  std::size_t pos = kHeaderSize;
  a.entries.clear();
  a.entries.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (table.size() - pos < kRecordFixed + 1) return false;
    Entry e;
    e.record_pos = static_cast<std::uint32_t>(pos);
    e.offset = GetBe32(&table[pos + kRecordOffset]);
    e.size = GetBe32(&table[pos + kRecordSize]);
    const auto name_begin = table.begin() + static_cast<std::ptrdiff_t>(pos + kRecordFixed);
    const auto nul = std::find(name_begin, table.end(), std::uint8_t{0});
    if (nul == table.end()) return false;
    e.name.assign(name_begin, nul);
    pos = static_cast<std::size_t>(nul - table.begin()) + 1;
    a.entries.push_back(std::move(e));
  }
  a.table_end = static_cast<std::uint32_t>(pos);
  return true;
}

// The table's length is known only once its names are read: read a
// generous guess (names of the game's archives are 30 to 50 bytes) and widen
// it while names run past its end.
constexpr std::uint64_t kTableGuessPerEntry = 64;
constexpr std::uint64_t kTableGuessSlack = 4096;
Status ReadTable(Storage& storage, std::uint32_t count, Archive& a) {
  std::uint64_t want = std::min<std::uint64_t>(a.file_size, kHeaderSize + std::uint64_t{count} * kTableGuessPerEntry + kTableGuessSlack);
  std::vector<std::uint8_t> table;
  for (;;) {
    table.resize(static_cast<std::size_t>(want));
    if (auto e = storage.Read(0, table)) return IoFail("cannot read", e);
    if (ParseTable(table, count, a)) return {};
    if (want == a.file_size) return Fail(Errc::kDamagedArchive, {}, "table runs past the end of the file");
    want = std::min<std::uint64_t>(a.file_size, want * 2);
  }
}

Status CheckEntries(const Archive& a) {
  for (const Entry& e : a.entries) {
    const std::uint64_t end = std::uint64_t{e.offset} + e.size;
    if (end > a.file_size) return Fail(Errc::kDamagedArchive, {}, "entry \"" + e.name + "\" runs past the end of the file");
    if (e.size > 0 && e.offset < a.table_end) return Fail(Errc::kDamagedArchive, {}, "entry \"" + e.name + "\" overlaps the table");
  }
  return {};
}

// A marker right before the data fits two conventions; first-data wins, as
// that is how new archives are written. Equal to the table end is read as
// table end, which stays right when the table grows into moved-out data.
void TellConvention(Archive& a) {
  const bool has_data = std::any_of(a.entries.begin(), a.entries.end(), [](const Entry& e) { return e.size > 0; });
  const bool near_table_end = a.header_field >= a.table_end && a.header_field - a.table_end <= kMaxFieldExtra;
  if (has_data && a.header_field == a.first_data && a.header_field != a.table_end) {
    a.convention = HeaderField::kFirstData;
  } else if (near_table_end) {
    a.convention = HeaderField::kTableEnd;
    a.field_extra = a.header_field - a.table_end;
  } else if (a.header_field == a.first_data) {
    a.convention = HeaderField::kFirstData;
  } else {
    a.convention = HeaderField::kFixed;
  }
}

}  // namespace

bool StartsAsArchive(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 4 && (std::memcmp(bytes.data(), "BIGF", 4) == 0 || std::memcmp(bytes.data(), "BIG4", 4) == 0);
}

Status ReadArchive(Storage& storage, Archive& a) {
  a = Archive{};
  std::uint32_t count = 0;
  if (Status s = ReadHeader(storage, a, count); !s.ok()) return s;
  if (Status s = ReadTable(storage, count, a); !s.ok()) return s;
  if (Status s = CheckEntries(a); !s.ok()) return s;
  a.first_data = LowestData(a.entries, a.file_size);
  TellConvention(a);

  const std::uint32_t gap = a.first_data - a.table_end;
  const std::uint32_t keep = std::min(gap, std::max(kMinTrailer, a.convention == HeaderField::kTableEnd ? a.field_extra : 0u));
  a.trailer.resize(keep);
  if (keep > 0) {
    if (auto e = storage.Read(a.table_end, a.trailer)) return IoFail("cannot read", e);
  }
  return {};
}

std::string NormalizeName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<std::size_t> FindEntry(const Archive& archive, std::string_view name) {
  const std::string wanted = NormalizeName(name);
  for (std::size_t i = 0; i < archive.entries.size(); ++i) {
    if (NormalizeName(archive.entries[i].name) == wanted) return i;
  }
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < archive.entries.size(); ++i) {
    const std::string stored = NormalizeName(archive.entries[i].name);
    const std::size_t slash = stored.rfind('/');
    if (slash != std::string::npos && stored.compare(slash + 1, std::string::npos, wanted) == 0) {
      if (found) return std::nullopt;
      found = i;
    }
  }
  return found;
}

Status ParseHeadBytes(std::span<const std::uint8_t> head, std::vector<Entry>& entries) {
  if (head.size() < kHeaderSize) return Fail(Errc::kDamagedArchive, {}, "header too short");
  Archive a;
  const std::vector<std::uint8_t> table(head.begin(), head.end());
  if (!ParseTable(table, GetBe32(head.data() + kCountField), a)) return Fail(Errc::kDamagedArchive, {}, "table cut short");
  entries = std::move(a.entries);
  return {};
}

Status ReadEntry(Storage& storage, const Entry& entry, std::vector<std::uint8_t>& data) {
  data.resize(entry.size);
  if (auto e = storage.Read(entry.offset, data)) return IoFail("cannot read", e);
  return {};
}

Status NewArchive(std::string_view name, std::span<const std::uint8_t> data, std::vector<std::uint8_t>& bytes) {
  if (Status s = CheckNewEntry(name, data.size()); !s.ok()) return s;
  const std::uint64_t table_end = kHeaderSize + kRecordFixed + name.size() + 1;
  const std::uint64_t first_data = table_end + kNewMarker.size();
  if (first_data + data.size() > kMaxArchive) return Fail(Errc::kArchiveFull);
  bytes.assign(kHeaderSize, 0);
  const std::vector<std::uint8_t> record =
      EncodeRecord(static_cast<std::uint32_t>(first_data), static_cast<std::uint32_t>(data.size()), name);
  bytes.insert(bytes.end(), record.begin(), record.end());
  bytes.insert(bytes.end(), kNewMarker.begin(), kNewMarker.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  EncodeHeader(bytes.data(), {'B', 'I', 'G', 'F'}, static_cast<std::uint32_t>(bytes.size()), 1,
               static_cast<std::uint32_t>(first_data));
  return {};
}

Status CompactArchive(Storage& source, Storage& target) {
  Archive a;
  if (Status s = ReadArchive(source, a); !s.ok()) return s;
  std::vector<std::uint8_t> head(kHeaderSize);
  std::uint64_t cursor = std::uint64_t{a.table_end} + a.trailer.size();
  std::vector<Entry> placed = a.entries;
  for (Entry& e : placed) {
    e.offset = static_cast<std::uint32_t>(cursor);
    cursor += e.size;
  }
  if (cursor > kMaxArchive) return Fail(Errc::kArchiveFull);
  for (const Entry& e : placed) {
    const std::vector<std::uint8_t> record = EncodeRecord(e.offset, e.size, e.name);
    head.insert(head.end(), record.begin(), record.end());
  }
  head.insert(head.end(), a.trailer.begin(), a.trailer.end());
  const std::uint32_t first_data = LowestData(placed, cursor);
  EncodeHeader(head.data(), a.magic, static_cast<std::uint32_t>(cursor), static_cast<std::uint32_t>(placed.size()),
               HeaderFieldFor(a, a.table_end, first_data));
  if (auto e = target.Write(0, head)) return IoFail("cannot write", e);
  std::vector<std::uint8_t> chunk;
  for (std::size_t i = 0; i < placed.size(); ++i) {
    for (std::uint64_t done = 0; done < placed[i].size;) {
      chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, placed[i].size - done)));
      if (auto e = source.Read(a.entries[i].offset + done, chunk)) return IoFail("cannot read", e);
      if (auto e = target.Write(placed[i].offset + done, chunk)) return IoFail("cannot write", e);
      done += chunk.size();
    }
  }
  if (auto e = target.Flush()) return IoFail("cannot flush", e);
  return {};
}

std::uint64_t DeadBytes(const Archive& a) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
  used.emplace_back(0, std::uint64_t{a.table_end} + a.trailer.size());
  for (const Entry& e : a.entries) {
    if (e.size > 0) used.emplace_back(e.offset, std::uint64_t{e.offset} + e.size);
  }
  std::sort(used.begin(), used.end());
  std::uint64_t cursor = 0;
  std::uint64_t dead = 0;
  for (const auto& [begin, end] : used) {
    if (begin > cursor) dead += begin - cursor;
    cursor = std::max(cursor, end);
  }
  if (a.file_size > cursor) dead += a.file_size - cursor;
  return dead;
}

}  // namespace gfxpak
