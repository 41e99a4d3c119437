// Changing an archive in place: each update is planned whole before a byte
// is written (where its data goes, the header, table and trailer it leaves),
// written in an order that keeps every moment readable, and undone from its
// log when it fails.
#include "big_archive.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "byte_order.h"
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

// The names of the entries at indices, for messages.
std::string NamesOf(const Archive& a, const std::vector<std::size_t>& indices) {
  std::string names;
  for (const std::size_t i : indices) {
    if (!names.empty()) names += ", ";
    names += a.entries[i].name;
  }
  return names;
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

  // A restore by name: the copies, each record, then the header (which
  // counts fewer entries, when some leave) and the trailer after it.
  Status PutBack(const std::vector<EntriesBack::Copy>& copies) {
    for (const EntriesBack::Copy& c : copies) {
      if (Status s = WriteData(c.at, c.bytes.size(), FromSpan(c.bytes)); !s.ok()) return s;
    }
    for (const RecordChange& c : plan_.target.records) {
      if (Status s = Repoint(c); !s.ok()) return s;
    }
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
Status RunUpdate(Storage& storage, const Archive& archive, const Plan& plan, const WrittenData& written,
                 const PutOptions& options, PutResult& r, Body&& body) {
  if (options.journal != nullptr) {
    if (Status s = options.journal->Begin(archive.file_size, plan.reach, plan.target, written); !s.ok()) return s;
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
  return RunUpdate(storage, archive, plan, WrittenData{plan.data_at, data}, options, r,
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

Status PlanEntriesBack(const Archive& a, const std::vector<EntryBack>& back, const std::vector<std::size_t>& removed,
                       std::uint64_t floor, EntriesBack& plan) {
  plan = EntriesBack{};
  UpdateTarget& t = plan.target;
  t.entry = kNoIndex;
  t.old_count = static_cast<std::uint32_t>(a.entries.size());
  std::vector<std::size_t> named;
  for (const EntryBack& b : back) named.push_back(b.index);
  named.insert(named.end(), removed.begin(), removed.end());
  t.name = NamesOf(a, named);
  plan.reach = a.table_end + a.trailer.size();
  // The copies go where no entry's present data lies, and none over
  // another: every entry keeps its bytes until its record is written.
  Archive space = a;
  Archive r = a;
  for (const EntryBack& b : back) {
    std::uint64_t offset = b.offset;
    if (!b.copy.empty()) {
      offset = Place(space, b.copy.size(), 0, floor);
      if (offset + b.copy.size() > kMaxArchive) return Fail(Errc::kArchiveFull);
      plan.copies.push_back({offset, b.copy});
      space.entries.push_back(Entry{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(b.copy.size()), {}, 0});
      GrowTo(space, offset + b.copy.size());
    }
    t.records.push_back(Repointed(a.entries[b.index], offset, b.size));
    r.entries[b.index].offset = static_cast<std::uint32_t>(offset);
    r.entries[b.index].size = b.size;
    GrowTo(r, offset + b.size);
  }
  if (!removed.empty()) {
    const std::size_t keep = a.entries.size() - removed.size();
    plan.in_place = removed.front() == keep;
    t.tail_pos = a.entries[removed.front()].record_pos;
    std::vector<bool> out(a.entries.size(), false);
    for (const std::size_t i : removed) out[i] = true;
    std::vector<Entry> kept;
    for (std::size_t i = 0; i < r.entries.size(); ++i) {
      if (out[i]) continue;
      kept.push_back(r.entries[i]);
      if (i < removed.front()) continue;
      const std::vector<std::uint8_t> record = EncodeRecord(r.entries[i].offset, r.entries[i].size, r.entries[i].name);
      t.tail.insert(t.tail.end(), record.begin(), record.end());
    }
    r.entries = std::move(kept);
    r.table_end = static_cast<std::uint32_t>(t.tail_pos + t.tail.size());
    t.tail.insert(t.tail.end(), a.trailer.begin(), a.trailer.end());
    // In place only the trailer moves, after the header that drops the
    // entries: readers no longer look there.
    t.tail_last = plan.in_place;
  }
  r.first_data = LowestData(r.entries, r.file_size);
  EncodeHeader(t.header.data(), r.magic, r.archive_size, static_cast<std::uint32_t>(r.entries.size()),
               HeaderFieldFor(r, r.table_end, r.first_data));
  plan.size = r.file_size;
  return {};
}

Status PutEntriesBack(Storage& storage, const EntriesBack& entries, const PutOptions& options, PutResult* result) {
  PutResult local;
  PutResult& r = ResultIn(result, local);
  Archive archive;
  if (Status s = ReadArchive(storage, archive); !s.ok()) return s;
  if (!entries.in_place) return Fail(std::make_error_code(std::errc::invalid_argument), "cannot restore in place");
  Plan plan;
  plan.reach = entries.reach;
  plan.target = entries.target;
  return RunUpdate(storage, archive, plan, WrittenData{}, options, r,
                   [&](Updater& u) { return u.PutBack(entries.copies); });
}

Status WriteEntriesBack(Storage& source, Storage& target, const EntriesBack& plan) {
  std::uint64_t size = 0;
  if (auto e = source.Size(size)) return IoFail("cannot read", e);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t done = 0; done < size; done += chunk.size()) {
    chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, size - done)));
    if (auto e = source.Read(done, chunk)) return IoFail("cannot read", e);
    if (auto e = target.Write(done, chunk)) return IoFail("cannot write", e);
  }
  for (const EntriesBack::Copy& c : plan.copies) {
    if (auto e = target.Write(c.at, c.bytes)) return IoFail("cannot write", e);
  }
  for (const RecordChange& c : plan.target.records) {
    std::uint8_t record[kRecordFixed];
    PutBe32(record + kRecordOffset, c.new_offset);
    PutBe32(record + kRecordSize, c.new_size);
    if (auto e = target.Write(c.pos, record)) return IoFail("cannot write", e);
  }
  if (auto e = target.Write(plan.target.tail_pos, plan.target.tail)) return IoFail("cannot write", e);
  if (auto e = target.Write(kSizeField, std::span(plan.target.header).subspan(kSizeField))) return IoFail("cannot write", e);
  if (auto e = target.Flush()) return IoFail("cannot flush", e);
  return {};
}

namespace {

struct RecordNow {
  bool is_new = false;
  bool is_old = false;
};

Status ReadRecordAt(Storage& storage, const RecordChange& c, RecordNow& now) {
  std::uint8_t record[kRecordFixed];
  if (auto e = storage.Read(c.pos, record)) return IoFail("cannot read", e);
  const std::uint32_t offset = GetBe32(record + kRecordOffset);
  const std::uint32_t size = GetBe32(record + kRecordSize);
  now.is_new = offset == c.new_offset && size == c.new_size;
  now.is_old = offset == c.old_offset && size == c.old_size;
  return {};
}

// Whether the target's tail is in place.
Status TailThere(Storage& storage, const UpdateTarget& target, bool& there) {
  there = true;
  if (target.tail.empty()) return {};
  // A tail that a power loss cut off the end of the file is not there.
  std::vector<std::uint8_t> tail(target.tail.size());
  const std::error_code e = storage.Read(target.tail_pos, tail);
  if (e && e != Errc::kShortRead) return IoFail("cannot read", e);
  there = !e && tail == target.tail;
  return {};
}

}  // namespace

Status CompareWithTarget(Storage& storage, const UpdateTarget& target, TargetState& state) {
  std::uint8_t header[kHeaderSize];
  if (auto e = storage.Read(0, header)) return IoFail("cannot read", e);
  const std::uint32_t count = GetBe32(header + kCountField);
  const bool count_new = count == GetBe32(&target.header[kCountField]);
  const bool count_old = count == target.old_count;
  bool all_new = count_new;
  bool as_before = count_old;
  bool torn = !count_new && !count_old;
  for (const RecordChange& c : target.records) {
    RecordNow now;
    if (Status s = ReadRecordAt(storage, c, now); !s.ok()) return s;
    all_new = all_new && now.is_new;
    // A moved entry reads the same at either place; a replaced one is new
    // at its new place.
    as_before = as_before && (now.is_old || (now.is_new && target.records_move));
    torn = torn || (!now.is_new && !now.is_old);
  }
  if (all_new && !target.tail_last) {
    bool there = false;
    if (Status s = TailThere(storage, target, there); !s.ok()) return s;
    all_new = there;
  }
  // Moves are written one at a time, each after its own data: a part of
  // them has no other entry's data behind it yet.
  if (all_new) {
    state = TargetState::kVisible;
  } else if (as_before) {
    state = TargetState::kNotVisible;
  } else if (torn || target.records_move) {
    state = TargetState::kTorn;
  } else {
    state = TargetState::kPartly;
  }
  return {};
}

Status TornRecords(Storage& storage, const UpdateTarget& target, std::vector<RecordChange>& torn) {
  torn.clear();
  for (const RecordChange& c : target.records) {
    RecordNow now;
    if (Status s = ReadRecordAt(storage, c, now); !s.ok()) return s;
    if (!now.is_new && !now.is_old) torn.push_back(c);
  }
  return {};
}

Status FinishTarget(Storage& storage, const UpdateTarget& target) {
  bool wrote = false;
  for (const RecordChange& c : target.records) {
    RecordNow now;
    if (Status s = ReadRecordAt(storage, c, now); !s.ok()) return s;
    if (now.is_new) continue;
    std::uint8_t record[kRecordFixed];
    PutBe32(record + kRecordOffset, c.new_offset);
    PutBe32(record + kRecordSize, c.new_size);
    if (auto e = storage.Write(c.pos, record)) return IoFail("cannot write", e);
    wrote = true;
  }
  // The header counts the records only once they are on the disk.
  if (wrote) {
    if (auto e = storage.Flush()) return IoFail("cannot flush", e);
  }
  std::uint8_t header[kHeaderSize];
  if (auto e = storage.Read(0, header)) return IoFail("cannot read", e);
  if (!std::equal(header + kSizeField, header + kHeaderSize, target.header.begin() + kSizeField)) {
    if (auto e = storage.Write(kSizeField, std::span(target.header).subspan(kSizeField))) return IoFail("cannot write", e);
    if (auto e = storage.Flush()) return IoFail("cannot flush", e);
  }
  bool there = false;
  if (Status s = TailThere(storage, target, there); !s.ok()) return s;
  if (!there) {
    if (auto e = storage.Write(target.tail_pos, target.tail)) return IoFail("cannot write", e);
  }
  if (auto e = storage.Flush()) return IoFail("cannot flush", e);
  return {};
}

}  // namespace gfxpak
