#include "big_archive.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace gfxpak {

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::uint32_t kRecordFixed = 8;  // offset and size fields; the name follows
constexpr std::uint64_t kMaxArchive = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxFieldExtra = 16;
// At least this many bytes after the table travel with it: room for the
// 8-byte "L231" marker that new archives carry.
constexpr std::uint32_t kMinTrailer = 8;
constexpr std::size_t kCopyChunk = 1u << 20;
constexpr std::array<std::uint8_t, 8> kNewMarker = {'L', '2', '3', '1', 0, 0, 0, 0};

std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint32_t GetLe32(const std::uint8_t* p) {
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}
void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

Status IoFail(const char* what, std::error_code error) {
  return Status::Fail(std::string(what) + ": " + ErrorText(error));
}

std::uint32_t LowestData(const std::vector<Entry>& entries, std::uint64_t fallback) {
  std::uint64_t lowest = fallback;
  for (const Entry& e : entries) {
    if (e.size > 0) lowest = std::min<std::uint64_t>(lowest, e.offset);
  }
  return static_cast<std::uint32_t>(std::min(lowest, kMaxArchive));
}

// The third field for a table that ends at table_end, by the archive's convention.
std::uint32_t HeaderFieldFor(const Archive& a, std::uint32_t table_end, std::uint32_t first_data) {
  switch (a.convention) {
    case HeaderField::kTableEnd: return table_end + a.field_extra;
    case HeaderField::kFirstData: return first_data;
    case HeaderField::kFixed: break;
  }
  return a.header_field;
}

std::vector<std::uint8_t> EncodeRecord(std::uint32_t offset, std::uint32_t size, std::string_view name) {
  std::vector<std::uint8_t> out(kRecordFixed + name.size() + 1);
  PutBe32(out.data(), offset);
  PutBe32(out.data() + 4, size);
  std::memcpy(out.data() + kRecordFixed, name.data(), name.size());
  out.back() = 0;
  return out;
}

void EncodeHeader(std::uint8_t* out, const std::array<std::uint8_t, 4>& magic, std::uint32_t archive_size,
                  std::uint32_t count, std::uint32_t field) {
  std::memcpy(out, magic.data(), 4);
  PutLe32(out + 4, archive_size);
  PutBe32(out + 8, count);
  PutBe32(out + 12, field);
}

// A WriteData source that serves bytes from memory.
auto FromSpan(std::span<const std::uint8_t> data) {
  return [data](std::uint64_t at, std::span<std::uint8_t> out) {
    std::memcpy(out.data(), data.data() + at, out.size());
    return Status::Ok();
  };
}

// One in-place update of an archive. Every step that changes what a reader
// sees is a single small write of a table field, made after the data it
// points to is on the disk.
class Updater {
 public:
  Updater(Storage& storage, Archive& archive, const PutOptions& options)
      : storage_(storage), a_(archive), options_(options) {}

  // Finds room for size bytes of new data: the first dead space at or above
  // the floor that holds it, else the end of the file. Nothing below
  // reserved_end (the table's future extent) is used.
  std::uint64_t Place(std::uint64_t size, std::uint64_t reserved_end) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
    used.emplace_back(0, std::max<std::uint64_t>({reserved_end, a_.first_data, a_.table_end + a_.trailer.size()}));
    for (const Entry& e : a_.entries) {
      if (e.size > 0) used.emplace_back(e.offset, std::uint64_t{e.offset} + e.size);
    }
    std::sort(used.begin(), used.end());
    std::uint64_t cursor = 0;
    for (const auto& [begin, end] : used) {
      const std::uint64_t start = std::max(cursor, options_.reuse_floor);
      if (begin > start && begin - start >= size && size > 0) return start;
      cursor = std::max(cursor, end);
    }
    return std::max(a_.file_size, reserved_end);
  }

  // Writes data (taken from the source callback chunk by chunk) at offset,
  // flushes, reads it back and compares. The data is dead space until an
  // entry points to it.
  template <typename Source>
  Status WriteData(std::uint64_t offset, std::uint64_t size, Source&& source) {
    if (offset + size > kMaxArchive) return Status::Fail("archive would grow past 4 GiB");
    std::vector<std::uint8_t> chunk;
    std::vector<std::uint8_t> back;
    for (int pass = 0; pass < 2; ++pass) {
      for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, size - done));
        chunk.resize(n);
        if (Status s = source(done, std::span<std::uint8_t>(chunk)); !s.ok()) return s;
        if (pass == 0) {
          if (auto e = storage_.Write(offset + done, chunk)) return IoFail("cannot write", e);
        } else {
          back.resize(n);
          if (auto e = storage_.Read(offset + done, back)) return IoFail("cannot read back", e);
          if (back != chunk) return Status::Fail("data read back differs from what was written");
        }
        done += n;
      }
      if (pass == 0) {
        if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
      }
    }
    a_.file_size = std::max(a_.file_size, offset + size);
    return Status::Ok();
  }

  // Points an entry at data that is already on the disk. The archive size
  // field grows first when the data lies past it, so that at no moment an
  // entry reaches beyond the size the header gives.
  Status Repoint(std::size_t index, std::uint32_t offset, std::uint32_t size) {
    const std::uint64_t end = std::uint64_t{offset} + size;
    if (end > a_.archive_size) {
      a_.archive_size = static_cast<std::uint32_t>(end);
      std::uint8_t field[4];
      PutLe32(field, a_.archive_size);
      if (auto e = storage_.Write(4, field)) return IoFail("cannot write", e);
    }
    std::uint8_t record[8];
    PutBe32(record, offset);
    PutBe32(record + 4, size);
    committed_ = true;
    if (auto e = storage_.Write(a_.entries[index].record_pos, record)) return IoFail("cannot write", e);
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    a_.entries[index].offset = offset;
    a_.entries[index].size = size;
    return Status::Ok();
  }

  // Copies an entry's data out of the way of the growing table.
  Status MoveOut(std::size_t index, std::uint64_t reserved_end) {
    const Entry e = a_.entries[index];
    const std::uint64_t to = Place(e.size, reserved_end);
    Status s = WriteData(to, e.size, [&](std::uint64_t at, std::span<std::uint8_t> out) {
      if (auto err = storage_.Read(e.offset + at, out)) return IoFail("cannot read", err);
      return Status::Ok();
    });
    if (!s.ok()) return s;
    return Repoint(index, static_cast<std::uint32_t>(to), e.size);
  }

  Status Replace(std::size_t index, std::span<const std::uint8_t> data) {
    const std::uint64_t to = Place(data.size(), 0);
    Status s = WriteData(to, data.size(), FromSpan(data));
    if (!s.ok()) return s;
    s = Repoint(index, static_cast<std::uint32_t>(to), static_cast<std::uint32_t>(data.size()));
    if (!s.ok()) return s;
    // Replacing the first entry's data moves the first data offset; an
    // archive that records it in its header must follow.
    a_.first_data = LowestData(a_.entries, a_.file_size);
    const std::uint32_t field = HeaderFieldFor(a_, a_.table_end, a_.first_data);
    if (field == a_.header_field) return Status::Ok();
    a_.header_field = field;
    std::uint8_t bytes[4];
    PutBe32(bytes, field);
    if (auto e = storage_.Write(12, bytes)) return IoFail("cannot write", e);
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return Status::Ok();
  }

  // Whether a write has gone below the old end other than the header's
  // archive size; until then a failed update can be undone by truncating.
  bool committed() const { return committed_; }

  Status Add(std::string_view name, std::span<const std::uint8_t> data) {
    const std::vector<std::uint8_t> probe = EncodeRecord(0, 0, name);
    const std::uint64_t new_table_end = std::uint64_t{a_.table_end} + probe.size();
    const std::uint64_t reserved = new_table_end + a_.trailer.size();
    if (reserved > kMaxArchive) return Status::Fail("archive would grow past 4 GiB");
    for (std::size_t i = 0; i < a_.entries.size(); ++i) {
      if (a_.entries[i].size > 0 && a_.entries[i].offset < reserved) {
        if (Status s = MoveOut(i, reserved); !s.ok()) return s;
      }
    }
    const std::uint64_t to = data.empty() ? std::max<std::uint64_t>(reserved, a_.file_size) : Place(data.size(), reserved);
    if (Status s = WriteData(to, data.size(), FromSpan(data)); !s.ok()) return s;

    // The new record and the trailer land in space that no entry uses; the
    // header still counts the old entries until the last write.
    std::vector<std::uint8_t> tail = EncodeRecord(static_cast<std::uint32_t>(to), static_cast<std::uint32_t>(data.size()), name);
    tail.insert(tail.end(), a_.trailer.begin(), a_.trailer.end());
    committed_ = true;
    if (auto e = storage_.Write(a_.table_end, tail)) return IoFail("cannot write", e);
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);

    Entry added{static_cast<std::uint32_t>(to), static_cast<std::uint32_t>(data.size()), std::string(name), a_.table_end};
    a_.entries.push_back(added);
    a_.table_end = static_cast<std::uint32_t>(new_table_end);
    a_.first_data = LowestData(a_.entries, a_.file_size);
    a_.file_size = std::max(a_.file_size, reserved);
    a_.archive_size = static_cast<std::uint32_t>(std::max<std::uint64_t>({a_.archive_size, reserved, to + data.size()}));
    a_.header_field = HeaderFieldFor(a_, a_.table_end, a_.first_data);
    std::uint8_t header[kHeaderSize];
    EncodeHeader(header, a_.magic, a_.archive_size, static_cast<std::uint32_t>(a_.entries.size()), a_.header_field);
    if (auto e = storage_.Write(4, std::span<const std::uint8_t>(header + 4, 12))) return IoFail("cannot write", e);
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return Status::Ok();
  }

 private:
  Storage& storage_;
  Archive& a_;
  const PutOptions& options_;
  bool committed_ = false;
};

}  // namespace

std::error_code MemoryStorage::Read(std::uint64_t offset, std::span<std::uint8_t> data) {
  if (offset > bytes_.size() || data.size() > bytes_.size() - offset) return FileErrc::kShortRead;
  std::memcpy(data.data(), bytes_.data() + offset, data.size());
  return {};
}

std::error_code MemoryStorage::Write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (offset + data.size() > bytes_.size()) bytes_.resize(static_cast<std::size_t>(offset + data.size()));
  std::memcpy(bytes_.data() + offset, data.data(), data.size());
  return {};
}

Status ReadArchive(Storage& storage, Archive& a) {
  a = Archive{};
  if (auto e = storage.Size(a.file_size)) return IoFail("cannot read", e);
  if (a.file_size < kHeaderSize) return Status::Fail("not a BIGF archive (too short)");
  if (a.file_size > kMaxArchive) return Status::Fail("not a BIGF archive (larger than 4 GiB)");
  std::uint8_t header[kHeaderSize];
  if (auto e = storage.Read(0, header)) return IoFail("cannot read", e);
  if (std::memcmp(header, "BIGF", 4) != 0 && std::memcmp(header, "BIG4", 4) != 0) {
    return Status::Fail("not a BIGF archive (bad magic)");
  }
  std::memcpy(a.magic.data(), header, 4);
  a.archive_size = GetLe32(header + 4);
  const std::uint32_t count = GetBe32(header + 8);
  a.header_field = GetBe32(header + 12);
  if (count > (a.file_size - kHeaderSize) / (kRecordFixed + 1)) return Status::Fail("damaged archive (entry count too large)");

  // The table's length is known only once its names are read: read a
  // generous guess and widen it while names run past its end.
  std::uint64_t want = std::min<std::uint64_t>(a.file_size, kHeaderSize + std::uint64_t{count} * 64 + 4096);
  std::vector<std::uint8_t> table;
  for (;;) {
    table.resize(static_cast<std::size_t>(want));
    if (auto e = storage.Read(0, table)) return IoFail("cannot read", e);
    std::size_t pos = kHeaderSize;
    bool short_table = false;
    a.entries.clear();
    a.entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (table.size() - pos < kRecordFixed + 1) {
        short_table = true;
        break;
      }
      Entry e;
      e.record_pos = static_cast<std::uint32_t>(pos);
      e.offset = GetBe32(&table[pos]);
      e.size = GetBe32(&table[pos + 4]);
      const auto name_begin = table.begin() + static_cast<std::ptrdiff_t>(pos + kRecordFixed);
      const auto nul = std::find(name_begin, table.end(), std::uint8_t{0});
      if (nul == table.end()) {
        short_table = true;
        break;
      }
      e.name.assign(name_begin, nul);
      pos = static_cast<std::size_t>(nul - table.begin()) + 1;
      a.entries.push_back(std::move(e));
    }
    if (!short_table) {
      a.table_end = static_cast<std::uint32_t>(pos);
      break;
    }
    if (want == a.file_size) return Status::Fail("damaged archive (table runs past the end of the file)");
    want = std::min<std::uint64_t>(a.file_size, want * 2);
  }

  for (const Entry& e : a.entries) {
    const std::uint64_t end = std::uint64_t{e.offset} + e.size;
    if (end > a.file_size) return Status::Fail("damaged archive (entry \"" + e.name + "\" runs past the end of the file)");
    if (e.size > 0 && e.offset < a.table_end) return Status::Fail("damaged archive (entry \"" + e.name + "\" overlaps the table)");
  }
  a.first_data = LowestData(a.entries, a.file_size);

  // A marker right before the data fits two conventions; first-data wins, as
  // that is how new archives are written. Equal to the table end is read as
  // table end, which stays right when the table grows into moved-out data.
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

  const std::uint32_t gap = a.first_data - a.table_end;
  const std::uint32_t keep = std::min(gap, std::max(kMinTrailer, a.convention == HeaderField::kTableEnd ? a.field_extra : 0u));
  a.trailer.resize(keep);
  if (keep > 0) {
    if (auto e = storage.Read(a.table_end, a.trailer)) return IoFail("cannot read", e);
  }
  return Status::Ok();
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

Status PutEntry(Storage& storage, std::string_view name, std::span<const std::uint8_t> data,
                const PutOptions& options, PutResult* result) {
  if (name.empty()) return Status::Fail("empty entry name");
  if (name.find('\0') != std::string_view::npos) return Status::Fail("entry name holds a NUL byte");
  if (data.size() > kMaxArchive) return Status::Fail("file larger than 4 GiB");
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return s;
  Updater updater(storage, archive, options);
  const std::optional<std::size_t> index = FindEntry(archive, name);
  if (result != nullptr) {
    result->replaced = index.has_value();
    result->index = index.value_or(archive.entries.size());
  }
  const std::uint64_t old_size = archive.file_size;
  const std::uint32_t old_archive_size = archive.archive_size;
  Status status = index ? updater.Replace(*index, data) : updater.Add(name, data);
  if (result != nullptr) result->changed = status.ok() || updater.committed();
  if (!status.ok() && !updater.committed()) {
    // Nothing points to the new bytes yet: take them away again, so that a
    // failed import leaves the archive as it was.
    std::uint8_t field[4];
    PutLe32(field, old_archive_size);
    if (!storage.Write(4, field) && !storage.Truncate(old_size)) storage.Flush();
  }
  return status;
}

Status ReadEntry(Storage& storage, const Entry& entry, std::vector<std::uint8_t>& data) {
  data.resize(entry.size);
  if (auto e = storage.Read(entry.offset, data)) return IoFail("cannot read", e);
  return Status::Ok();
}

std::vector<std::uint8_t> NewArchive(std::string_view name, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> out(kHeaderSize);
  const std::uint32_t table_end = static_cast<std::uint32_t>(kHeaderSize + kRecordFixed + name.size() + 1);
  const std::uint32_t first_data = table_end + static_cast<std::uint32_t>(kNewMarker.size());
  const std::vector<std::uint8_t> record = EncodeRecord(first_data, static_cast<std::uint32_t>(data.size()), name);
  out.insert(out.end(), record.begin(), record.end());
  out.insert(out.end(), kNewMarker.begin(), kNewMarker.end());
  out.insert(out.end(), data.begin(), data.end());
  EncodeHeader(out.data(), {'B', 'I', 'G', 'F'}, static_cast<std::uint32_t>(out.size()), 1, first_data);
  return out;
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
  if (cursor > kMaxArchive) return Status::Fail("archive would grow past 4 GiB");
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
  return Status::Ok();
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
