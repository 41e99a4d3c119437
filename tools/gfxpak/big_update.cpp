// Changing an archive in place: each update is planned whole before a byte
// is written (where its data goes, the header, table and trailer it leaves),
// written in an order that keeps every moment readable, and undone from its
// log when it fails.
#include "big_archive.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "big_layout.h"
#include "intervals.h"

namespace gfxpak {

namespace {

// A WriteData source that serves bytes from memory.
auto FromSpan(std::span<const std::uint8_t> data) {
  return [data](std::uint64_t at, std::span<std::uint8_t> out) {
    std::memcpy(out.data(), data.data() + at, out.size());
    return Status();
  };
}

// Finds room for size bytes of new data: the first dead space at or above
// the floor that holds it, else the end of the file. Nothing below
// reserved_end (the table's future extent) is used.
std::uint64_t Place(const Archive& a, std::uint64_t size, std::uint64_t reserved_end, std::uint64_t floor) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
  used.emplace_back(0, std::max<std::uint64_t>({reserved_end, a.first_data, a.table_end + a.trailer.size()}));
  for (const Entry& e : a.entries) {
    if (e.size > 0) used.emplace_back(e.offset, std::uint64_t{e.offset} + e.size);
  }
  std::sort(used.begin(), used.end());
  std::uint64_t cursor = 0;
  for (const auto& [begin, end] : used) {
    const std::uint64_t start = std::max(cursor, floor);
    if (begin > start && begin - start >= size && size > 0) return start;
    cursor = std::max(cursor, end);
  }
  return std::max(a.file_size, reserved_end);
}

// Where an update's bytes go and what it leaves behind, worked out before
// anything is written, so that an update that would break a limit is
// refused with the archive untouched, and a writer that finds it cut short
// knows whether it became visible.
struct Plan {
  std::uint64_t data_at = 0;
  std::uint64_t reach = 0;  // below the floor, writes stay under this
  UpdateTarget target;
};

RecordChange Repointed(const Entry& e, std::uint64_t offset, std::uint64_t size) {
  return {e.record_pos, e.offset, e.size, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size)};
}

// The header of r, the archive as the plan leaves it.
void PlanHeader(const Archive& r, Plan& plan) {
  EncodeHeader(plan.target.header.data(), r.magic, r.archive_size, static_cast<std::uint32_t>(r.entries.size()),
               HeaderFieldFor(r, r.table_end, r.first_data));
}

void GrowTo(Archive& r, std::uint64_t end) {
  r.file_size = std::max(r.file_size, end);
  r.archive_size = static_cast<std::uint32_t>(std::max<std::uint64_t>(r.archive_size, end));
}

Status PlanReplace(const Archive& a, std::size_t index, std::uint64_t size, std::uint64_t floor, Plan& plan) {
  plan.reach = a.table_end;
  plan.data_at = Place(a, size, 0, floor);
  if (plan.data_at + size > kMaxArchive) return Fail(Errc::kArchiveFull);
  Archive r = a;
  plan.target.records.push_back(Repointed(r.entries[index], plan.data_at, size));
  r.entries[index].offset = static_cast<std::uint32_t>(plan.data_at);
  r.entries[index].size = static_cast<std::uint32_t>(size);
  GrowTo(r, plan.data_at + size);
  r.first_data = LowestData(r.entries, r.file_size);
  PlanHeader(r, plan);
  return {};
}

Status PlanAdd(const Archive& a, std::string_view name, std::uint64_t size, std::uint64_t floor, Plan& plan) {
  const std::uint64_t reserved = std::uint64_t{a.table_end} + kRecordFixed + name.size() + 1 + a.trailer.size();
  if (reserved > kMaxArchive) return Fail(Errc::kArchiveFull);
  // Each move changes where the next one finds room, as it will on disk.
  Archive r = a;
  for (Entry& e : r.entries) {
    if (e.size == 0 || e.offset >= reserved) continue;
    const std::uint64_t to = Place(r, e.size, reserved, floor);
    if (to + e.size > kMaxArchive) return Fail(Errc::kArchiveFull, {}, "moving entries out of the table's way");
    plan.target.records.push_back(Repointed(e, to, e.size));
    e.offset = static_cast<std::uint32_t>(to);
    GrowTo(r, to + e.size);
  }
  plan.target.records_move = true;
  plan.reach = reserved;
  plan.data_at = size == 0 ? std::max(reserved, r.file_size) : Place(r, size, reserved, floor);
  if (plan.data_at + size > kMaxArchive) return Fail(Errc::kArchiveFull);

  // The new record and the trailer land in space that no entry uses; the
  // header still counts the old entries until it is written last.
  plan.target.tail_pos = a.table_end;
  plan.target.tail = EncodeRecord(static_cast<std::uint32_t>(plan.data_at), static_cast<std::uint32_t>(size), name);
  plan.target.tail.insert(plan.target.tail.end(), a.trailer.begin(), a.trailer.end());
  r.file_size = std::max(r.file_size, plan.data_at + size);
  r.entries.push_back(Entry{static_cast<std::uint32_t>(plan.data_at), static_cast<std::uint32_t>(size),
                            std::string(name), a.table_end});
  r.table_end = static_cast<std::uint32_t>(reserved - a.trailer.size());
  r.first_data = LowestData(r.entries, r.file_size);
  GrowTo(r, std::max(reserved, plan.data_at + size));
  PlanHeader(r, plan);
  return {};
}

Status PlanUpdate(const Archive& a, std::optional<std::size_t> index, std::string_view name, std::uint64_t size,
                  std::uint64_t floor, Plan& plan) {
  plan = Plan{};
  plan.target.entry = static_cast<std::uint32_t>(index.value_or(a.entries.size()));
  plan.target.name = index ? a.entries[*index].name : std::string(name);
  plan.target.old_count = static_cast<std::uint32_t>(a.entries.size());
  return index ? PlanReplace(a, *index, size, floor, plan) : PlanAdd(a, name, size, floor, plan);
}

// The target of pointing entry index at data already in the file.
void PlanRepoint(const Archive& a, std::size_t index, std::uint32_t offset, std::uint32_t size, Plan& plan) {
  plan = Plan{};
  plan.reach = a.table_end;
  plan.data_at = offset;
  Archive r = a;
  plan.target.entry = static_cast<std::uint32_t>(index);
  plan.target.name = a.entries[index].name;
  plan.target.old_count = static_cast<std::uint32_t>(a.entries.size());
  plan.target.records.push_back(Repointed(r.entries[index], offset, size));
  r.entries[index].offset = offset;
  r.entries[index].size = size;
  GrowTo(r, std::uint64_t{offset} + size);
  r.first_data = LowestData(r.entries, r.file_size);
  PlanHeader(r, plan);
}

// Names of the entries from first on, for messages.
std::string NamesFrom(const Archive& a, std::size_t first) {
  std::string names;
  for (std::size_t i = first; i < a.entries.size(); ++i) {
    if (!names.empty()) names += ", ";
    names += a.entries[i].name;
  }
  return names;
}

// The target of cutting the table after keep entries.
void PlanDrop(const Archive& a, std::size_t keep, Plan& plan) {
  plan = Plan{};
  plan.reach = a.table_end + a.trailer.size();
  Archive r = a;
  plan.target.entry = kNoIndex;
  plan.target.name = NamesFrom(a, keep);
  plan.target.old_count = static_cast<std::uint32_t>(a.entries.size());
  r.table_end = a.entries[keep].record_pos;
  r.entries.resize(keep);
  r.first_data = LowestData(r.entries, r.file_size);
  plan.target.tail_pos = r.table_end;
  plan.target.tail = a.trailer;
  plan.target.tail_last = true;
  PlanHeader(r, plan);
}

// Keeps what an update overwrites below the size it found, before the write,
// so that a failed update can put it back.
class UndoLog {
 public:
  UndoLog(Storage& storage, std::uint64_t size, UpdateJournal* journal)
      : storage_(storage), size_(size), journal_(journal) {}

  Status Write(std::uint64_t offset, std::span<const std::uint8_t> data) {
    const auto bounds = [](const Kept& k) { return Interval{k.offset, k.offset + k.bytes.size()}; };
    for (const Interval& gap : Uncovered(kept_, offset, std::min<std::uint64_t>(offset + data.size(), size_), bounds)) {
      Kept k{gap.begin, std::vector<std::uint8_t>(static_cast<std::size_t>(gap.end - gap.begin))};
      if (auto e = storage_.Read(k.offset, k.bytes)) return IoFail("cannot read", e);
      if (journal_ != nullptr) {
        if (Status s = journal_->Keep(k.offset, k.bytes); !s.ok()) return s;
      }
      kept_.push_back(std::move(k));
    }
    if (auto e = storage_.Write(offset, data)) return IoFail("cannot write", e);
    return {};
  }

  // Puts every kept byte back and cuts off what the update appended.
  Status Undo() {
    for (const Kept& k : kept_) {
      if (auto e = storage_.Write(k.offset, k.bytes)) return IoFail("cannot write", e);
    }
    if (auto e = storage_.Truncate(size_)) return IoFail("cannot truncate", e);
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return {};
  }

 private:
  struct Kept {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
  };
  Storage& storage_;
  std::uint64_t size_;
  UpdateJournal* journal_;
  std::vector<Kept> kept_;
};

// One in-place update of an archive, by its plan. Every step that changes
// what a reader sees is a single small write of a table field, made after the
// data it points to is on the disk; the step that shows the update itself
// comes last but for header fields that readers do not look at.
class Updater {
 public:
  Updater(Storage& storage, UndoLog& log, const Archive& archive, const Plan& plan)
      : storage_(storage), log_(log), archive_size_(archive.archive_size), header_field_(archive.header_field),
        plan_(plan) {}

  // Writes data (taken from the source callback chunk by chunk) at offset,
  // flushes, reads it back and compares. The data is dead space until an
  // entry points to it.
  template <typename Source>
  Status WriteData(std::uint64_t offset, std::uint64_t size, Source&& source) {
    std::vector<std::uint8_t> chunk;
    std::vector<std::uint8_t> back;
    for (int pass = 0; pass < 2; ++pass) {
      for (std::uint64_t done = 0; done < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, size - done));
        chunk.resize(n);
        if (Status s = source(done, std::span<std::uint8_t>(chunk)); !s.ok()) return s;
        if (pass == 0) {
          if (Status s = log_.Write(offset + done, chunk); !s.ok()) return s;
        } else {
          back.resize(n);
          if (auto e = storage_.Read(offset + done, back)) return IoFail("cannot read back", e);
          if (back != chunk) return Fail(Errc::kReadBackDiffers);
        }
        done += n;
      }
      if (pass == 0) {
        if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
      }
    }
    return {};
  }

  // Points a record at data that is already on the disk. The archive size
  // field grows first when the data lies past it, so that at no moment an
  // entry reaches beyond the size the header gives.
  Status Repoint(const RecordChange& c) {
    const std::uint64_t end = std::uint64_t{c.new_offset} + c.new_size;
    if (end > archive_size_) {
      archive_size_ = static_cast<std::uint32_t>(end);
      std::uint8_t field[4];
      PutLe32(field, archive_size_);
      if (Status s = log_.Write(kSizeField, field); !s.ok()) return s;
    }
    std::uint8_t record[kRecordFixed];
    PutBe32(record + kRecordOffset, c.new_offset);
    PutBe32(record + kRecordSize, c.new_size);
    if (Status s = log_.Write(c.pos, record); !s.ok()) return s;
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return {};
  }

  // Copies an entry's data out of the way of the growing table.
  Status MoveOut(const RecordChange& c) {
    Status s = WriteData(c.new_offset, c.old_size, [&](std::uint64_t at, std::span<std::uint8_t> out) {
      if (auto err = storage_.Read(c.old_offset + at, out)) return IoFail("cannot read", err);
      return Status();
    });
    if (!s.ok()) return s;
    return Repoint(c);
  }

  Status Replace(std::span<const std::uint8_t> data) {
    if (Status s = WriteData(plan_.data_at, data.size(), FromSpan(data)); !s.ok()) return s;
    return RepointOnly();
  }

  // The entry's record, which shows the update, then the third field.
  Status RepointOnly() {
    if (Status s = Repoint(plan_.target.records.front()); !s.ok()) return s;
    // Moving the first entry's data moves the first data offset; an archive
    // that records it in its header must follow.
    if (GetBe32(&plan_.target.header[kThirdField]) == header_field_) return {};
    if (Status s = log_.Write(kThirdField, std::span(plan_.target.header).subspan(kThirdField)); !s.ok()) return s;
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return {};
  }

  // The header that counts fewer entries, then the trailer after them.
  Status Drop() {
    if (Status s = log_.Write(kSizeField, std::span(plan_.target.header).subspan(kSizeField)); !s.ok()) return s;
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    if (plan_.target.tail.empty()) return {};
    if (Status s = log_.Write(plan_.target.tail_pos, plan_.target.tail); !s.ok()) return s;
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return {};
  }

  Status Add(std::span<const std::uint8_t> data) {
    for (const RecordChange& c : plan_.target.records) {
      if (Status s = MoveOut(c); !s.ok()) return s;
    }
    if (Status s = WriteData(plan_.data_at, data.size(), FromSpan(data)); !s.ok()) return s;
    if (Status s = log_.Write(plan_.target.tail_pos, plan_.target.tail); !s.ok()) return s;
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    // Size, count and third field in one write, inside the first sector.
    if (Status s = log_.Write(kSizeField, std::span(plan_.target.header).subspan(kSizeField)); !s.ok()) return s;
    if (auto e = storage_.Flush()) return IoFail("cannot flush", e);
    return {};
  }

 private:
  Storage& storage_;
  UndoLog& log_;
  std::uint32_t archive_size_;
  std::uint32_t header_field_;
  const Plan& plan_;
};

}  // namespace

namespace {

// Runs one planned update: the journal first, then the update's writes, and
// on failure the undo of what it wrote.
template <typename Body>
Status RunUpdate(Storage& storage, const Archive& archive, const Plan& plan, const PutOptions& options, PutResult& r,
                 Body&& body) {
  if (options.journal != nullptr) {
    if (Status s = options.journal->Begin(archive.file_size, plan.reach, plan.target); !s.ok()) return s;
  }
  r.started = true;
  UndoLog log(storage, archive.file_size, options.journal);
  Updater updater(storage, log, archive, plan);
  Status status = body(updater);
  if (status.ok()) return status;
  r.undone = NoteUndo(status, log.Undo());
  return status;
}

PutResult& ResultIn(PutResult* result, PutResult& local) {
  PutResult& r = result != nullptr ? *result : local;
  r = PutResult{};
  return r;
}

Status PutAt(Storage& storage, Archive& archive, std::optional<std::size_t> index, std::string_view name,
             std::span<const std::uint8_t> data, const PutOptions& options, PutResult& r) {
  r.replaced = index.has_value();
  r.index = index.value_or(archive.entries.size());
  Plan plan;
  if (Status s = PlanUpdate(archive, index, name, data.size(), options.reuse_floor, plan); !s.ok()) return s;
  return RunUpdate(storage, archive, plan, options, r,
                   [&](Updater& u) { return index ? u.Replace(data) : u.Add(data); });
}

}  // namespace

Status PutEntry(Storage& storage, std::string_view name, std::span<const std::uint8_t> data,
                const PutOptions& options, PutResult* result) {
  PutResult local;
  PutResult& r = ResultIn(result, local);
  if (Status s = CheckNewEntry(name, data.size()); !s.ok()) return s;
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return s;
  return PutAt(storage, archive, FindEntry(archive, name), name, data, options, r);
}

Status ReplaceEntry(Storage& storage, std::size_t index, std::span<const std::uint8_t> data, const PutOptions& options,
                    PutResult* result) {
  PutResult local;
  PutResult& r = ResultIn(result, local);
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return s;
  if (index >= archive.entries.size()) return Fail(Errc::kNoEntry);
  if (data.size() > kMaxArchive) return Fail(Errc::kFileTooLarge);
  return PutAt(storage, archive, index, archive.entries[index].name, data, options, r);
}

Status RepointEntry(Storage& storage, std::size_t index, std::uint32_t offset, std::uint32_t size,
                    const PutOptions& options, PutResult* result) {
  PutResult local;
  PutResult& r = ResultIn(result, local);
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return s;
  if (index >= archive.entries.size()) return Fail(Errc::kNoEntry);
  // Only data that lies whole in the file, after the table, can be shown.
  if (std::uint64_t{offset} + size > archive.file_size || (size > 0 && offset < archive.table_end + archive.trailer.size())) {
    return Fail(Errc::kDamagedArchive, {}, "no room for entry \"" + archive.entries[index].name + "\" there");
  }
  r.replaced = true;
  r.index = index;
  Plan plan;
  PlanRepoint(archive, index, offset, size, plan);
  return RunUpdate(storage, archive, plan, options, r, [](Updater& u) { return u.RepointOnly(); });
}

Status DropLastEntries(Storage& storage, std::size_t keep, const PutOptions& options, PutResult* result) {
  PutResult local;
  PutResult& r = ResultIn(result, local);
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return s;
  if (keep >= archive.entries.size()) return {};
  r.index = keep;
  Plan plan;
  PlanDrop(archive, keep, plan);
  return RunUpdate(storage, archive, plan, options, r, [](Updater& u) { return u.Drop(); });
}

UpdateTarget PlanRemoval(const Archive& a, const std::vector<std::size_t>& removed) {
  UpdateTarget t;
  t.entry = kNoIndex;
  t.old_count = static_cast<std::uint32_t>(a.entries.size());
  Archive r = a;
  r.entries.clear();
  std::vector<bool> out(a.entries.size(), false);
  for (const std::size_t i : removed) {
    out[i] = true;
    if (!t.name.empty()) t.name += ", ";
    t.name += a.entries[i].name;
  }
  t.tail_pos = removed.empty() ? a.table_end : a.entries[removed.front()].record_pos;
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    if (out[i]) continue;
    r.entries.push_back(a.entries[i]);
    if (i < removed.front()) continue;
    const std::vector<std::uint8_t> record = EncodeRecord(a.entries[i].offset, a.entries[i].size, a.entries[i].name);
    t.tail.insert(t.tail.end(), record.begin(), record.end());
  }
  r.table_end = static_cast<std::uint32_t>(t.tail_pos + t.tail.size());
  t.tail.insert(t.tail.end(), a.trailer.begin(), a.trailer.end());
  r.first_data = LowestData(r.entries, r.file_size);
  EncodeHeader(t.header.data(), r.magic, r.archive_size, static_cast<std::uint32_t>(r.entries.size()),
               HeaderFieldFor(r, r.table_end, r.first_data));
  return t;
}

Status WriteRemoval(Storage& source, Storage& target, const UpdateTarget& removal) {
  std::uint64_t size = 0;
  if (auto e = source.Size(size)) return IoFail("cannot read", e);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t done = 0; done < size; done += chunk.size()) {
    chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, size - done)));
    if (auto e = source.Read(done, chunk)) return IoFail("cannot read", e);
    if (auto e = target.Write(done, chunk)) return IoFail("cannot write", e);
  }
  if (auto e = target.Write(removal.tail_pos, removal.tail)) return IoFail("cannot write", e);
  if (auto e = target.Write(kSizeField, std::span(removal.header).subspan(kSizeField))) return IoFail("cannot write", e);
  if (auto e = target.Flush()) return IoFail("cannot flush", e);
  return {};
}

Status CompareWithTarget(Storage& storage, const UpdateTarget& target, TargetState& state) {
  std::uint8_t header[kHeaderSize];
  if (auto e = storage.Read(0, header)) return IoFail("cannot read", e);
  const std::uint32_t count = GetBe32(header + kCountField);
  bool all_new = count == GetBe32(&target.header[kCountField]);
  bool as_before = count == target.old_count;
  for (const RecordChange& c : target.records) {
    std::uint8_t record[kRecordFixed];
    if (auto e = storage.Read(c.pos, record)) return IoFail("cannot read", e);
    const std::uint32_t offset = GetBe32(record + kRecordOffset);
    const std::uint32_t size = GetBe32(record + kRecordSize);
    const bool is_new = offset == c.new_offset && size == c.new_size;
    const bool is_old = offset == c.old_offset && size == c.old_size;
    all_new = all_new && is_new;
    // A moved entry reads the same at either place; a replaced one is new
    // at its new place.
    as_before = as_before && (is_old || (is_new && target.records_move));
  }
  if (all_new && !target.tail.empty() && !target.tail_last) {
    // A tail that a power loss cut off the end of the file is not there.
    std::vector<std::uint8_t> tail(target.tail.size());
    const std::error_code e = storage.Read(target.tail_pos, tail);
    if (e && e != Errc::kShortRead) return IoFail("cannot read", e);
    all_new = !e && tail == target.tail;
  }
  state = all_new ? TargetState::kVisible : as_before ? TargetState::kNotVisible : TargetState::kTorn;
  return {};
}

Status FinishTarget(Storage& storage, const UpdateTarget& target) {
  std::uint8_t header[kHeaderSize];
  if (auto e = storage.Read(0, header)) return IoFail("cannot read", e);
  if (!std::equal(header + kSizeField, header + kHeaderSize, target.header.begin() + kSizeField)) {
    if (auto e = storage.Write(kSizeField, std::span(target.header).subspan(kSizeField))) return IoFail("cannot write", e);
  }
  if (target.tail_last && !target.tail.empty()) {
    if (auto e = storage.Write(target.tail_pos, target.tail)) return IoFail("cannot write", e);
  }
  if (auto e = storage.Flush()) return IoFail("cannot flush", e);
  return {};
}

}  // namespace gfxpak
