// The archive library against hand-built archives of every header
// convention, and a crash after every single write of an update.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "archive_ops.h"
#include "big_archive.h"
#include "file.h"
#include "file_lock.h"
#include "restore_point.h"
#include "temp_names.h"
#include "test_support.h"
#include "virtual_store.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace gfxpak {
namespace {

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Pattern(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

void Be32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

struct Item {
  std::string name;
  Bytes data;
};

enum class Field { kTableEnd, kTableEndPlusMarker, kFirstData };

// Written out by hand, independently of the library's own writer.
struct Layout {
  const char* label;
  const char* magic;
  Field field;
  Bytes marker;      // bytes right after the table
  std::size_t pad;   // zero bytes after the marker, before the first data
};

Bytes Build(const Layout& layout, const std::vector<Item>& items) {
  Bytes out(16);
  std::memcpy(out.data(), layout.magic, 4);
  std::size_t table_end = 16;
  for (const Item& it : items) table_end += 8 + it.name.size() + 1;
  std::size_t cursor = table_end + layout.marker.size() + layout.pad;
  for (const Item& it : items) {
    const std::size_t at = out.size();
    out.resize(at + 8);
    Be32(out, at, static_cast<std::uint32_t>(cursor));
    Be32(out, at + 4, static_cast<std::uint32_t>(it.data.size()));
    out.insert(out.end(), it.name.begin(), it.name.end());
    out.push_back(0);
    cursor += it.data.size();
  }
  out.insert(out.end(), layout.marker.begin(), layout.marker.end());
  out.resize(out.size() + layout.pad);
  for (const Item& it : items) out.insert(out.end(), it.data.begin(), it.data.end());
  const std::size_t first = table_end + layout.marker.size() + layout.pad;
  const std::size_t field = layout.field == Field::kTableEnd ? table_end
                            : layout.field == Field::kFirstData ? first
                                                                : table_end + layout.marker.size();
  for (int i = 0; i < 4; ++i) out[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(out.size() >> (8 * i));
  Be32(out, 8, static_cast<std::uint32_t>(items.size()));
  Be32(out, 12, static_cast<std::uint32_t>(field));
  return out;
}

const Bytes kL231 = {'L', '2', '3', '1'};
const Bytes kL231Long = {'L', '2', '3', '1', 0, 0, 0, 0};

// A marker right before the data fits both "table end + marker" and "first
// data"; such an archive is read as first data.
const Layout kLayouts[] = {
    {"table end, data right after", "BIGF", Field::kTableEnd, {}, 0},
    {"table end + 4, L231, padding", "BIGF", Field::kTableEndPlusMarker, kL231, 12},
    {"table end + 8, L231, padding, BIG4", "BIG4", Field::kTableEndPlusMarker, kL231Long, 40},
    {"L231 right before the data", "BIGF", Field::kFirstData, kL231, 0},
    {"first data, L231 and padding", "BIGF", Field::kFirstData, kL231Long, 200},
    {"first data, L231, no room", "BIGF", Field::kFirstData, kL231Long, 0},
};

std::vector<Item> BaseItems() {
  return {{"data\\stadium\\Bern_a.o", Pattern(3000, 1)},
          {"data/stadium/rome_b.h", Pattern(500, 2)},
          {"empty.o", {}},
          {"loose.h", Pattern(1200, 3)}};
}

// Checks the archive in storage against the expected items in their order,
// and that the header's third field and the marker follow the layout.
void ExpectArchive(MemoryStorage& storage, const Layout& layout, const std::vector<Item>& items) {
  Archive a;
  const Status status = ReadArchive(storage, a);
  ASSERT_TRUE(status.ok()) << Why(status);
  ASSERT_EQ(a.entries.size(), items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(a.entries[i].name, items[i].name);
    Bytes data;
    ASSERT_TRUE(ReadEntry(storage, a.entries[i], data).ok());
    EXPECT_EQ(data, items[i].data) << "entry " << items[i].name;
  }
  const Bytes& bytes = storage.bytes();
  ASSERT_GE(bytes.size(), a.table_end + layout.marker.size());
  EXPECT_TRUE(std::equal(layout.marker.begin(), layout.marker.end(), bytes.begin() + static_cast<std::ptrdiff_t>(a.table_end))) << "marker moved";
  switch (layout.field) {
    case Field::kTableEnd: EXPECT_EQ(a.header_field, a.table_end); break;
    case Field::kTableEndPlusMarker: EXPECT_EQ(a.header_field, a.table_end + layout.marker.size()); break;
    case Field::kFirstData: EXPECT_EQ(a.header_field, a.first_data); break;
  }
  EXPECT_EQ(std::memcmp(bytes.data(), layout.magic, 4), 0);
  EXPECT_EQ(a.archive_size, bytes.size());
}

struct Step {
  std::string put_name;   // as -p would pass it: a bare name
  Bytes data;
  int replaces;           // index of the entry it must replace, -1 to add
};

TEST(ArchiveTest, UpdatesKeepOrderOtherEntriesAndConvention) {
  const std::vector<std::pair<const char*, std::vector<Step>>> scenarios = {
      {"replace same size", {{"BERN_A.O", Pattern(3000, 10), 0}}},
      {"replace larger", {{"rome_b.h", Pattern(9000, 11), 1}}},
      {"replace smaller", {{"Bern_a.o", Pattern(10, 12), 0}}},
      {"replace empty with data", {{"empty.o", Pattern(64, 13), 2}}},
      {"replace with nothing", {{"loose.h", {}, 3}}},
      {"add", {{"new_c.o", Pattern(777, 14), -1}}},
      {"add several, then replace one of them",
       {{"new_c.o", Pattern(100, 15), -1}, {"new_d.h", Pattern(5000, 16), -1}, {"NEW_C.O", Pattern(40, 17), 4}}},
      {"shrink then grow again into the freed space",
       {{"bern_a.o", Pattern(100, 18), 0}, {"loose.h", Pattern(2000, 19), 3}, {"rome_b.h", Pattern(2500, 20), 1}}},
  };
  for (const Layout& layout : kLayouts) {
    for (const auto& [label, steps] : scenarios) {
      SCOPED_TRACE(std::string(layout.label) + " / " + label);
      std::vector<Item> expected = BaseItems();
      MemoryStorage storage(Build(layout, expected));
      for (const Step& step : steps) {
        PutResult result;
        const Status status = PutEntry(storage, step.put_name, step.data, PutOptions{}, &result);
        ASSERT_TRUE(status.ok()) << Why(status);
        if (step.replaces >= 0) {
          EXPECT_TRUE(result.replaced);
          EXPECT_EQ(result.index, static_cast<std::size_t>(step.replaces));
          expected[static_cast<std::size_t>(step.replaces)].data = step.data;
        } else {
          EXPECT_FALSE(result.replaced);
          expected.push_back({step.put_name, step.data});
        }
        ExpectArchive(storage, layout, expected);
      }
    }
  }
}

TEST(ArchiveTest, NameMatching) {
  Archive a;
  for (const char* name : {"data\\Bern_a.o", "x/rome_b.h", "y/rome_b.h", "rome_b.h", "Deep/Dir\\milan_c.o", "milan_c.o.bak"}) {
    a.entries.push_back({0, 0, name, 0});
  }
  const std::vector<std::pair<const char*, std::optional<std::size_t>>> cases = {
      // Exact whole-name matches, any case, either separator.
      {"data\\Bern_a.o", 0}, {"DATA/bern_A.O", 0}, {"deep/dir/MILAN_C.O", 4},
      // Exact beats an ambiguous last-component match.
      {"rome_b.h", 3}, {"X\\ROME_B.H", 1},
      // A unique last component.
      {"bern_a.o", 0}, {"Milan_c.o", 4},
      // No match: prefixes, suffixes and partial components do not count.
      {"ern_a.o", std::nullopt}, {"bern_a", std::nullopt}, {"milan_c.o.ba", std::nullopt}, {"dir/milan_c.o", std::nullopt},
  };
  for (const auto& [query, want] : cases) {
    EXPECT_EQ(FindEntry(a, query), want) << query;
  }
  a.entries.erase(a.entries.begin() + 3);  // without the exact "rome_b.h" the match is ambiguous
  EXPECT_EQ(FindEntry(a, "rome_b.h"), std::nullopt);
}

TEST(ArchiveTest, ReplacementsReuseDeadSpaceOnlyAboveTheFloor) {
  const Layout& layout = kLayouts[0];
  MemoryStorage storage(Build(layout, BaseItems()));
  Archive before;
  ASSERT_TRUE(ReadArchive(storage, before).ok());
  // Entry 1 moves to the end, leaving its old place dead; a smaller entry 3
  // then fits there. (The space before the first data is kept for the table.)
  ASSERT_TRUE(PutEntry(storage, "rome_b.h", Pattern(3500, 30), PutOptions{}).ok());
  ASSERT_TRUE(PutEntry(storage, "loose.h", Pattern(400, 31), PutOptions{}).ok());
  Archive after;
  ASSERT_TRUE(ReadArchive(storage, after).ok());
  EXPECT_EQ(after.entries[3].offset, before.entries[1].offset);
  EXPECT_EQ(after.file_size, before.file_size + 3500);

  PutOptions floored;
  floored.reuse_floor = after.file_size;
  ASSERT_TRUE(PutEntry(storage, "loose.h", Pattern(100, 32), floored).ok());
  Archive last;
  ASSERT_TRUE(ReadArchive(storage, last).ok());
  EXPECT_EQ(last.entries[3].offset, after.file_size);
}

TEST(ArchiveTest, CompactDropsDeadSpaceAndKeepsEverythingElse) {
  const Layout& layout = kLayouts[3];
  std::vector<Item> items = BaseItems();
  MemoryStorage storage(Build(layout, items));
  ASSERT_TRUE(PutEntry(storage, "bern_a.o", Pattern(5000, 40), PutOptions{}).ok());
  ASSERT_TRUE(PutEntry(storage, "added.o", Pattern(300, 41), PutOptions{}).ok());
  items[0].data = Pattern(5000, 40);
  items.push_back({"added.o", Pattern(300, 41)});
  MemoryStorage compacted;
  ASSERT_TRUE(CompactArchive(storage, compacted).ok());
  Archive a;
  ASSERT_TRUE(ReadArchive(compacted, a).ok());
  EXPECT_EQ(DeadBytes(a), 0u);
  ExpectArchive(compacted, {layout.label, layout.magic, layout.field, layout.marker, 0}, items);
}

TEST(ArchiveTest, NewArchiveUsesFirstDataAndMarker) {
  MemoryStorage storage(ArchiveOf("bern_a.o", Text("stadium")));
  const Layout layout{"new", "BIGF", Field::kFirstData, kL231Long, 0};
  ExpectArchive(storage, layout, {{"bern_a.o", Text("stadium")}});
  ASSERT_TRUE(PutEntry(storage, "rome_b.h", Text("second"), PutOptions{}).ok());
  ExpectArchive(storage, layout, {{"bern_a.o", Text("stadium")}, {"rome_b.h", Text("second")}});
}

TEST(ArchiveTest, CrashAfterAnyWriteLeavesOldOrNewContent) {
  const std::vector<std::pair<std::string, Bytes>> updates = {
      {"bern_a.o", Pattern(4000, 50)}, {"rome_b.h", Pattern(100, 51)}, {"grown_into_data.o", Pattern(900, 52)}};
  for (const Layout& layout : kLayouts) {
    for (const auto& [name, data] : updates) {
      SCOPED_TRACE(std::string(layout.label) + " / " + name);
      const std::vector<Item> old_items = BaseItems();
      const Bytes original = Build(layout, old_items);
      bool completed = false;
      for (int writes = 0; !completed && writes < 64; ++writes) {
        // Nothing after the given number of changes reaches the file, as
        // when the process is killed there.
        FaultPlan plan(Fault::kKill, writes);
        FaultyStorage storage(plan, std::make_unique<MemoryStorage>(original), "zdata.big");
        completed = PutEntry(storage, name, data, PutOptions{}).ok();
        Archive a;
        const Status status = ReadArchive(storage, a);
        ASSERT_TRUE(status.ok()) << "after " << writes << " writes: " << Why(status);
        ASSERT_GE(a.entries.size(), old_items.size());
        ASSERT_LE(a.entries.size(), old_items.size() + 1);
        for (std::size_t i = 0; i < a.entries.size(); ++i) {
          Bytes got;
          ASSERT_TRUE(ReadEntry(storage, a.entries[i], got).ok());
          const bool is_target = NormalizeName(a.entries[i].name).ends_with(name);
          const bool old_ok = i < old_items.size() && got == old_items[i].data;
          EXPECT_TRUE(old_ok || (is_target && got == data)) << "entry " << i << " after " << writes << " writes";
        }
      }
      EXPECT_TRUE(completed);
    }
  }
}

TEST(ArchiveTest, AFailedUpdateIsUndoneByteForByte) {
  const std::vector<std::pair<std::string, Bytes>> updates = {
      {"bern_a.o", Pattern(4000, 53)}, {"loose.h", Pattern(10, 54)}, {"grown_into_data_too.o", Pattern(900, 55)}};
  for (const Layout& layout : kLayouts) {
    for (const auto& [name, data] : updates) {
      SCOPED_TRACE(std::string(layout.label) + " / " + name);
      const Bytes original = Build(layout, BaseItems());
      // One write fails, the given one, and no other: the update must fail
      // and put every byte back.
      for (int failing = 0;; ++failing) {
        FaultPlan plan(Fault::kOneWrite, failing);
        auto file = std::make_unique<MemoryStorage>(original);
        const MemoryStorage& bytes = *file;
        FaultyStorage storage(plan, std::move(file), "zdata.big");
        PutResult result;
        const Status status = PutEntry(storage, name, data, PutOptions{}, &result);
        if (!plan.struck()) {
          EXPECT_TRUE(status.ok()) << Why(status);
          break;
        }
        EXPECT_EQ(status.code(), std::errc::io_error) << "write " << failing;
        EXPECT_TRUE(result.undone) << "write " << failing;
        EXPECT_EQ(bytes.bytes(), original) << "write " << failing;
      }
    }
  }
}

// A file of up to 4 GiB whose bytes are zeros but for a short head and what
// is written; its changes are counted.
class HugeStorage : public Storage {
 public:
  HugeStorage(Bytes head, std::uint64_t size) : head_(std::move(head)), size_(size) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (offset + data.size() > size_) return Errc::kShortRead;
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    Lay(0, head_, offset, data);
    for (const auto& [at, bytes] : written_) Lay(at, bytes, offset, data);
    return {};
  }
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    written_.emplace_back(offset, Bytes(data.begin(), data.end()));
    size_ = std::max<std::uint64_t>(size_, offset + data.size());
    ++changes;
    return {};
  }
  std::error_code Flush() override { return {}; }
  std::error_code Size(std::uint64_t& size) override {
    size = size_;
    return {};
  }
  std::error_code Truncate(std::uint64_t size) override {
    size_ = size;
    ++changes;
    return {};
  }
  int changes = 0;

 private:
  static void Lay(std::uint64_t at, const Bytes& bytes, std::uint64_t offset, std::span<std::uint8_t> data) {
    const std::uint64_t lo = std::max(at, offset);
    const std::uint64_t hi = std::min(at + bytes.size(), offset + data.size());
    if (lo < hi) std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(lo - at), hi - lo, data.begin() + static_cast<std::ptrdiff_t>(lo - offset));
  }
  Bytes head_;
  std::uint64_t size_;
  std::vector<std::pair<std::uint64_t, Bytes>> written_;
};

TEST(ArchiveTest, UpdatesPastALimitAreRefusedBeforeTheFirstWrite) {
  // A full archive near 4 GiB: 1 MiB right after the table, then one entry
  // up to the end. An add must first move that 1 MiB out of the table's way.
  constexpr std::uint64_t kSize = 0xFFFFFFFFu - 300000;
  Bytes head(16);
  std::memcpy(head.data(), "BIGF", 4);
  std::size_t table_end = 16 + (8 + 8) + (8 + 7);
  const std::vector<std::pair<std::string, std::uint64_t>> entries = {
      {"first.o", 1 << 20}, {"last.o", kSize - table_end - (1 << 20)}};
  const std::uint64_t offsets[] = {table_end, table_end + (1 << 20)};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = head.size();
    head.resize(at + 8);
    Be32(head, at, static_cast<std::uint32_t>(offsets[i]));
    Be32(head, at + 4, static_cast<std::uint32_t>(entries[i].second));
    head.insert(head.end(), entries[i].first.begin(), entries[i].first.end());
    head.push_back(0);
  }
  Be32(head, 8, 2);
  Be32(head, 12, static_cast<std::uint32_t>(table_end));
  for (int i = 0; i < 4; ++i) head[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(kSize >> (8 * i));

  const std::vector<std::tuple<const char*, std::string, Bytes, Errc>> cases = {
      {"a small add whose table growth moves too much", "new.o", Pattern(100, 70), Errc::kArchiveFull},
      {"a replacement larger than the room left", "last.o", Pattern(400000, 71), Errc::kArchiveFull},
      {"an empty name", "", Pattern(10, 72), Errc::kBadName},
      {"a name with a NUL byte", std::string("a\0b.o", 5), Pattern(10, 73), Errc::kBadName},
  };
  for (const auto& [label, name, data, refusal] : cases) {
    HugeStorage storage(head, kSize);
    Archive a;
    ASSERT_TRUE(ReadArchive(storage, a).ok()) << label;
    PutResult result;
    const Status status = PutEntry(storage, name, data, PutOptions{}, &result);
    EXPECT_EQ(status.code(), refusal) << label << ": " << Why(status);
    EXPECT_EQ(storage.changes, 0) << label;
    EXPECT_FALSE(result.started) << label;
  }
  // A smaller replacement still fits.
  HugeStorage roomy(head, kSize);
  const Status fits = PutEntry(roomy, "last.o", Pattern(200000, 74), PutOptions{});
  EXPECT_TRUE(fits.ok()) << Why(fits);
}

// A count that fits the file's size but whose table would need tens of
// gigabytes of memory.
TEST(ArchiveTest, AnEntryCountTooLargeToHoldIsRefused) {
  Bytes head(16);
  std::memcpy(head.data(), "BIGF", 4);
  Be32(head, 8, 0x1C000000);
  HugeStorage storage(head, 0xFFFFFFFFu);
  Archive a;
  EXPECT_EQ(ReadArchive(storage, a).code(), Errc::kTooManyEntries);
}

// A disk that returns other bytes than were written: the import must fail and
// leave the archive exactly as it was.
class BadReadBackStorage : public MemoryStorage {
 public:
  BadReadBackStorage(Bytes bytes) : MemoryStorage(std::move(bytes)), old_size_(this->bytes().size()) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (auto e = MemoryStorage::Read(offset, data)) return e;
    if (offset >= old_size_ && !data.empty()) data[data.size() / 2] ^= 1;
    return {};
  }

 private:
  std::size_t old_size_;
};

TEST(ArchiveTest, DataThatDoesNotReadBackIsNotImported) {
  for (const char* name : {"bern_a.o", "added.o"}) {
    const Bytes original = Build(kLayouts[1], BaseItems());
    BadReadBackStorage storage(original);
    PutResult result;
    const Status s = PutEntry(storage, name, Pattern(5000, 60), PutOptions{}, &result);
    EXPECT_FALSE(s.ok()) << name;
    EXPECT_TRUE(result.undone) << name;
    EXPECT_EQ(storage.bytes(), original) << name;
  }
}

TEST(ArchiveTest, DamagedArchivesAreRefused) {
  const Bytes good = Build(kLayouts[0], BaseItems());
  auto with = [&](std::size_t at, std::uint32_t value) {
    Bytes b = good;
    Be32(b, at, value);
    return b;
  };
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"header only, bad magic", Text("BIGX0000000000000")},
      {"truncated table", Bytes(good.begin(), good.begin() + 30)},
      {"truncated data", Bytes(good.begin(), good.end() - 1)},
      {"count too large", with(8, 0x01000000)},
      {"entry beyond the end", with(16, 0xFFFFFF00)},
      {"entry overlapping the table", with(16, 8)},
  };
  for (const auto& [label, bytes] : cases) {
    MemoryStorage storage(bytes);
    Archive a;
    EXPECT_FALSE(ReadArchive(storage, a).ok()) << label;
    EXPECT_FALSE(PutEntry(storage, "x.o", Text("x"), PutOptions{}).ok()) << label;
    EXPECT_EQ(storage.bytes(), bytes) << label;
  }
}

TEST(ArchiveTest, GoldenArchiveReadsBack) {
  FileBytes file;
  ASSERT_FALSE(ReadWholeFile(TESSOLO_GOLDEN_ARCHIVE, file));
  MemoryStorage storage(Bytes(file.bytes().begin(), file.bytes().end()));
  const Layout layout{"golden", "BIGF", Field::kTableEndPlusMarker, kL231Long, 8};
  ExpectArchive(storage, layout,
                {{"data\\stadium\\bern_golden.o", Text("golden stadium, entry one\n")},
                 {"data/stadium/rome_golden.h", Text("second entry\n")},
                 {"empty.o", {}}});
  Archive a;
  ASSERT_TRUE(ReadArchive(storage, a).ok());
  EXPECT_EQ(a.convention, HeaderField::kTableEnd);
  EXPECT_EQ(a.field_extra, 8u);
}

// The running game holds the archive open; a second writer must be told
// plainly instead of sharing the file.
TEST(ArchiveTest, AnArchiveOpenForUpdateIsInUse) {
  const std::string path = TemporaryPathBeside("in_use_test.big");
  ASSERT_TRUE(WriteFileAtomically(path, ArchiveOf("a.o", Text("a"))).ok());
  {
    File holder;
    ASSERT_FALSE(holder.Open(path, OpenMode::kUpdate));
    File second;
    const std::error_code error = second.Open(path, OpenMode::kUpdate);
    EXPECT_EQ(error, Errc::kInUse);
    EXPECT_EQ(ErrorText(error), "archive is in use");
    File reader;
    EXPECT_FALSE(reader.Open(path, OpenMode::kRead)) << "reading stays possible";
  }
#ifdef _WIN32
  {
    // As the game opens its archives: read access, shared with readers.
    HANDLE game = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(game, INVALID_HANDLE_VALUE);
    File writer;
    EXPECT_EQ(writer.Open(path, OpenMode::kUpdate), Errc::kInUse);
    CloseHandle(game);
  }
  {
    // As a scanner looks at a new file: shared with nobody. Renaming over
    // it and deleting it are refused as in use, which gfxpak waits out; a
    // read-only file is refused for good.
    const std::string other = TemporaryPathBeside("in_use_other.big");
    ASSERT_TRUE(WriteFileAtomically(other, ArchiveOf("b.o", Text("b"))).ok());
    HANDLE scanner = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RenameOver(other, path), Errc::kInUse);
    EXPECT_TRUE(HeldByAnother(DeleteFileAt(path), path));
    CloseHandle(scanner);
    SetFileAttributesA(other.c_str(), FILE_ATTRIBUTE_READONLY);
    const std::error_code read_only = DeleteFileAt(other);
    EXPECT_TRUE(read_only);
    EXPECT_FALSE(HeldByAnother(read_only, other));
    SetFileAttributesA(other.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(DeleteFileAt(other));
  }
#endif
  File again;
  EXPECT_FALSE(again.Open(path, OpenMode::kUpdate)) << "free again once closed";
  again.Close();
  EXPECT_FALSE(DeleteFileAt(path));
}

// Where Windows keeps the per-user copy that the game reads of a file under
// Program Files: below the user's VirtualStore, the path without its drive;
// on no other drive than the system's.
TEST(ArchiveTest, ThePerUserCopyThatTheGameReads) {
  const std::string local = "C:\\Users\\Ann\\AppData\\Local";
  const struct {
    std::string path, local, drive, copy;
  } cases[] = {
      {"C:\\Program Files (x86)\\FIFA 2004\\data\\zdata_05.big", local, "C:",
       local + "\\VirtualStore\\Program Files (x86)\\FIFA 2004\\data\\zdata_05.big"},
      {"c:\\Games\\data\\zdata_06.big", local + "\\", "C:", local + "\\VirtualStore\\Games\\data\\zdata_06.big"},
      {"D:\\Program Files\\FIFA\\data\\zdata_05.big", local, "C:", ""},
      {"\\\\server\\games\\data\\zdata_05.big", local, "C:", ""},
      {"C:zdata_05.big", local, "C:", ""},
      {"C:\\Program Files\\x.big", "", "C:", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(VirtualStorePathOf(c.path, c.local, c.drive), c.copy) << c.path;
}

// One writer at a time: a second one waits while the first holds the
// archive's lock, takes it once it is free, and gives up with "in use" if it
// is not free in time. The lock file goes with the lock.
TEST(ArchiveTest, WritersTakeTurnsOnTheLock) {
  const std::string archive = TemporaryPathBeside("lock_test.big");
  const std::string lock_path = LockPathFor(archive);
  ASSERT_TRUE(WriteFileAtomically(archive, ArchiveOf("a.o", Text("a"))).ok());
  const Bytes before = [&] {
    Bytes b;
    EXPECT_FALSE(ReadFileInto(archive, b));
    return b;
  }();
  {
    FileLock first;
    ASSERT_FALSE(first.Acquire(lock_path, std::chrono::milliseconds(0)));
    FileLock second;
    EXPECT_EQ(second.Acquire(lock_path, std::chrono::milliseconds(100)), Errc::kInUse);
    SystemFileSystem impatient(std::chrono::milliseconds(100));
    const Status put = PutIntoArchive(impatient, archive, "b.o", Text("b"), MakeRestorePoint::kYes);
    EXPECT_EQ(put.code(), Errc::kInUse) << Why(put);
    EXPECT_EQ(Describe(put.error()), archive + ": archive is in use");
    Bytes after;
    EXPECT_FALSE(ReadFileInto(archive, after));
    EXPECT_EQ(after, before);
    EXPECT_FALSE(FileExists(RestorePathFor(archive)));

    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      first.Release();
    });
    EXPECT_FALSE(second.Acquire(lock_path, std::chrono::seconds(20))) << "the lock was not taken once free";
    releaser.join();
  }
  EXPECT_FALSE(FileExists(lock_path));
  EXPECT_FALSE(DeleteFileAt(archive));
}

}  // namespace
}  // namespace gfxpak
