// Restore points: after any mix of imports the archive comes back with the
// same SHA-256; restore points that are damaged, belong to another archive or
// find the archive changed by another program are refused, and -force
// restores only what it can prove; damage to any byte of the original or of
// what gfxpak wrote is reported by -check and never restored as the
// original; restore points of the earlier layouts still restore.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include "archive_ops.h"
#include "big_archive.h"
#include "byte_order.h"
#include "cli.h"
#include "refpack/refpack.h"
#include "restore_checks.h"
#include "restore_point.h"
#include "sha256.h"
#include "test_support.h"
#include "../test_seed.h"

namespace gfxpak {
namespace {

const std::string kArchive = "zdata.big";
const std::string kRestore = RestorePathFor(kArchive);

// Built by appending: gcc 12 warns falsely on chained string additions.
std::string Name(const char* prefix, int number, const char* suffix) {
  std::string name(prefix);
  name += std::to_string(number);
  name += suffix;
  return name;
}

struct Rng {
  std::mt19937 engine;
  std::uint32_t operator()(std::uint32_t n) { return static_cast<std::uint32_t>(engine() % n); }
  Bytes bytes(std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(engine());
    return b;
  }
};

// A dense archive: data right after the table, so that adds move data.
Bytes DenseArchive(const std::vector<std::pair<std::string, Bytes>>& entries) {
  MemoryStorage storage(ArchiveOf(entries[0].first, entries[0].second));
  for (std::size_t i = 1; i < entries.size(); ++i) {
    EXPECT_TRUE(PutEntry(storage, entries[i].first, entries[i].second, {}).ok());
  }
  MemoryStorage dense;
  EXPECT_TRUE(CompactArchive(storage, dense).ok());
  return dense.bytes();
}

Bytes DenseArchive(Rng& rng, int count) {
  std::vector<std::pair<std::string, Bytes>> entries;
  entries.emplace_back("data\\stadium_0.o", rng.bytes(5000));
  for (int i = 1; i < count; ++i) entries.emplace_back(Name("data\\stadium_", i, ".o"), rng.bytes(200 + rng(8000)));
  return DenseArchive(entries);
}

void Import(MemoryFileSystem& fs, const std::string& name, const Bytes& data) {
  const Status s = PutIntoArchive(fs, kArchive, name, data, MakeRestorePoint::kYes);
  ASSERT_TRUE(s.ok()) << Why(s);
}

Status Restore(MemoryFileSystem& fs, Force force = Force::kNo) {
  WholeRestore done;
  return RestoreArchive(fs, kArchive, force, done);
}

void RestoreAndCompare(MemoryFileSystem& fs, const Bytes& original) {
  const Status s = Restore(fs);
  ASSERT_TRUE(s.ok()) << Why(s);
  EXPECT_EQ(ToHex(Sha256Of(fs.Get(kArchive))), ToHex(Sha256Of(original)));
  EXPECT_FALSE(fs.Exists(kRestore));
}

using Mix = std::function<void(MemoryFileSystem&, Rng&)>;

TEST(RestoreTest, RestoreGivesTheOriginalBackAfterEachMix) {
  const unsigned seed = TestSeed("restore mix");
  const std::vector<std::pair<const char*, Mix>> mixes = {
      {"one replace", [](auto& fs, Rng& r) { Import(fs, "stadium_3.o", r.bytes(3000)); }},
      {"many replaces of one entry",
       [](auto& fs, Rng& r) {
         for (int i = 0; i < 30; ++i) Import(fs, "STADIUM_0.O", r.bytes(r(12000)));
       }},
      {"adds that grow the table into the data",
       [](auto& fs, Rng& r) {
         for (int i = 0; i < 25; ++i) Import(fs, Name("a_fairly_long_new_stadium_name_", i, ".o"), r.bytes(r(900)));
       }},
      {"50 random operations",
       [](auto& fs, Rng& r) {
         for (int i = 0; i < 50; ++i) {
           const bool add = r(3) == 0;
           const std::string name = add ? Name("new_", i, ".h") : Name("stadium_", static_cast<int>(r(8)), ".o");
           Import(fs, name, r.bytes(r(2) ? r(400) : r(20000)));
         }
       }},
  };
  for (const auto& [label, mix] : mixes) {
    SCOPED_TRACE(label);
    Rng rng{std::mt19937(seed)};
    const Bytes original = DenseArchive(rng, 8);
    MemoryFileSystem fs;
    fs.Put(kArchive, original);
    mix(fs, rng);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_NE(fs.Get(kArchive), original);
    // Replacements write only above the original size and into the table:
    // the restore point holds nothing but the original header.
    const RestorePoint point = LoadPoint(fs, kRestore);
    if (std::string_view(label).find("replace") != std::string_view::npos) {
      EXPECT_EQ(point.ranges.size(), 1u);
    }
    EXPECT_EQ(point.state, RestoreState::kIdle);
    EXPECT_EQ(point.fingerprint.size, fs.Get(kArchive).size());
    RestoreAndCompare(fs, original);
  }
}

// What readers see of an archive: each entry's name, content and place.
struct Listed {
  std::string name;
  Bytes data;
  std::uint32_t offset;
};

std::vector<Listed> Listing(const Bytes& bytes) {
  MemoryStorage storage(bytes);
  Archive a;
  EXPECT_TRUE(ReadArchive(storage, a).ok());
  std::vector<Listed> out;
  for (const Entry& e : a.entries) {
    Bytes data;
    EXPECT_TRUE(ReadEntry(storage, e, data).ok());
    out.push_back({e.name, std::move(data), e.offset});
  }
  return out;
}

// Imports of every kind (replacements, a replacement twice, adds that grow
// the table over the first entry's bytes), then each changed entry taken
// back on its own, in random order: it gets its original bytes or leaves
// the table, every other entry keeps its content and its place, the whole
// restore still gives the original at every step, and after the last one
// the archive is the original byte for byte without a restore point.
TEST(RestoreTest, EntriesComeBackOneByOne) {
  const unsigned seed = TestSeed("single restore");
  Rng rng{std::mt19937(seed)};
  const Bytes original = DenseArchive(rng, 8);
  const std::vector<Listed> was = Listing(original);
  MemoryFileSystem fs;
  fs.Put(kArchive, original);
  Import(fs, "stadium_3.o", rng.bytes(2000));
  Import(fs, Name("an_added_stadium_with_a_long_name_", 1, ".o"), rng.bytes(900));
  Import(fs, "stadium_0.o", rng.bytes(6000));
  Import(fs, "stadium_5.o", rng.bytes(100));
  Import(fs, "stadium_5.o", rng.bytes(7000));
  Import(fs, Name("added_", 2, ".h"), rng.bytes(300));
  Import(fs, Name("added_", 3, ".o"), rng.bytes(800));
  std::vector<std::string> changed = {"stadium_3.o", "stadium_0.o", "stadium_5.o",
                                      Name("an_added_stadium_with_a_long_name_", 1, ".o"), Name("added_", 2, ".h"),
                                      Name("added_", 3, ".o")};
  std::shuffle(changed.begin(), changed.end(), rng.engine);
  for (std::size_t step = 0; step < changed.size(); ++step) {
    const std::string& name = changed[step];
    SCOPED_TRACE(name);
    const std::vector<Listed> before = Listing(fs.Get(kArchive));
    EntriesRestored done;
    const Status s = RestoreEntries(fs, kArchive, {name}, done);
    ASSERT_TRUE(s.ok()) << Why(s);
    EXPECT_EQ(done.replaced.size() + done.removed.size(), 1u);
    const std::vector<Listed> after = Listing(fs.Get(kArchive));
    const auto find = [](const std::vector<Listed>& l, const std::string& n) {
      return std::find_if(l.begin(), l.end(), [&](const Listed& e) { return NormalizeName(e.name).ends_with(n); });
    };
    const auto original_entry = find(was, name);
    if (original_entry == was.end()) {
      EXPECT_EQ(find(after, name), after.end()) << "an added entry is still there";
    } else {
      EXPECT_EQ(find(after, name)->data, original_entry->data) << "not the original bytes";
    }
    // The last one makes the archive the original, moved entries included.
    for (const Listed& e : done.original ? std::vector<Listed>() : before) {
      if (NormalizeName(e.name).ends_with(name)) continue;
      const auto now = find(after, NormalizeName(e.name));
      ASSERT_NE(now, after.end()) << e.name << " went too";
      EXPECT_EQ(now->data, e.data) << e.name << " changed";
      EXPECT_EQ(now->offset, e.offset) << e.name << " moved";
    }
    // Taking the same name back again: there is nothing left to take.
    EntriesRestored again;
    EXPECT_NE(RestoreEntries(fs, kArchive, {name}, again).code(), std::error_code());
    if (step + 1 < changed.size()) {
      MemoryFileSystem copy = fs.Copy();
      RestoreAndCompare(copy, original);
    } else {
      EXPECT_TRUE(done.original);
      EXPECT_EQ(ToHex(Sha256Of(fs.Get(kArchive))), ToHex(Sha256Of(original)));
      EXPECT_FALSE(fs.Exists(kRestore));
    }
  }
}

TEST(RestoreTest, DamagedRestorePointsAreRefusedAndChangeNothing) {
  Rng rng{std::mt19937(11)};
  MemoryFileSystem fs;
  fs.Put(kArchive, DenseArchive(rng, 5));
  for (int i = 0; i < 4; ++i) Import(fs, Name("grow_", i, ".o"), rng.bytes(300));
  const Bytes good = fs.Get(kRestore);
  const Bytes changed = fs.Get(kArchive);

  auto flipped = [&](std::size_t at) {
    Bytes b = good;
    b[at] ^= 0x40;
    return b;
  };
  const Errc damaged = Errc::kDamagedRestorePoint;
  const std::vector<std::tuple<const char*, Bytes, Errc>> cases = {
      {"empty", {}, damaged},
      {"garbage", rng.bytes(good.size()), damaged},
      {"truncated", Bytes(good.begin(), good.end() - 1), damaged},
      {"truncated inside the fixed part", Bytes(good.begin(), good.begin() + 50), damaged},
      {"a changed header byte", flipped(static_cast<std::size_t>(LoadPoint(fs, kRestore).ranges.front().data_pos) + 2),
       damaged},
      {"a changed saved byte", flipped(good.size() - 3), damaged},
      {"an unknown state", flipped(97), damaged},
      {"a changed hash of the original", flipped(205), damaged},
      // The hashes of the original's pieces no longer fit its table.
      {"a changed original size", flipped(9), damaged},
  };
  for (const auto& [label, bytes, refusal] : cases) {
    SCOPED_TRACE(label);
    fs.Put(kRestore, bytes);
    const Status restored = Restore(fs);
    EXPECT_EQ(restored.code(), refusal) << Why(restored);
    const Status put = PutIntoArchive(fs, kArchive, "new.o", Bytes(10, 1), MakeRestorePoint::kYes);
    EXPECT_EQ(put.code(), refusal) << Why(put);
    EXPECT_EQ(fs.Get(kArchive), changed);
    EXPECT_EQ(fs.Get(kRestore), bytes);
  }
}

// A restore point is applied only to the archive state it recorded, so
// that another archive's restore point, or an archive that another program
// changed after gfxpak, is never damaged by it; -force restores anyway.
TEST(RestoreTest, ForeignAndOutdatedRestorePointsAreRefusedUnlessForced) {
  Rng rng{std::mt19937(21)};
  const Bytes first = rng.bytes(3000);
  const Bytes second = rng.bytes(5000);
  const Bytes last = rng.bytes(6000);
  // Same entries, the first two in the other order: same size, same tail.
  const Bytes original = DenseArchive({{"a.o", first}, {"b.o", second}, {"c.o", last}});
  const Bytes reordered = DenseArchive({{"b.o", second}, {"a.o", first}, {"c.o", last}});
  ASSERT_EQ(original.size(), reordered.size());
  const Bytes unrelated = DenseArchive(rng, 3);

  MemoryFileSystem imported;
  imported.Put(kArchive, original);
  Import(imported, "a.o", rng.bytes(2000));
  const Bytes point = imported.Get(kRestore);
  const Bytes after_import = imported.Get(kArchive);

  auto with_byte = [](Bytes b, std::size_t at) {
    b[at] ^= 1;
    return b;
  };
  auto grown = [](Bytes b) {
    b.resize(b.size() + 100, 0x77);
    return b;
  };
  struct Case {
    const char* label;
    Bytes archive;
    Errc refusal;
    bool force_gives_original;
  };
  const std::vector<Case> cases = {
      {"another archive with the same entries in another order", reordered, Errc::kOutdatedRestorePoint, false},
      {"another archive", unrelated, Errc::kForeignRestorePoint, false},
      {"a table byte changed by another program", with_byte(after_import, 20), Errc::kOutdatedRestorePoint, true},
      {"the imported entry changed by another program", with_byte(after_import, after_import.size() - 1),
       Errc::kOutdatedRestorePoint, true},
      {"grown by another program", grown(after_import), Errc::kOutdatedRestorePoint, true},
      {"cut below the original size", Bytes(after_import.begin(), after_import.begin() + 100),
       Errc::kForeignRestorePoint, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryFileSystem fs;
    fs.Put(kArchive, c.archive);
    fs.Put(kRestore, point);
    const Status restored = Restore(fs);
    EXPECT_EQ(restored.code(), c.refusal) << Why(restored);
    const Status put = PutIntoArchive(fs, kArchive, "a.o", Bytes(10, 2), MakeRestorePoint::kYes);
    EXPECT_EQ(put.code(), c.refusal) << Why(put);
    EXPECT_EQ(fs.Get(kArchive), c.archive) << "a refused restore point changed the archive";
    EXPECT_EQ(fs.Get(kRestore), point);
    if (c.archive.size() < original.size()) continue;
    // -force goes ahead only where every byte it gives back hashes as the
    // original's: never over another archive.
    const Status forced = Restore(fs, Force::kYes);
    if (c.force_gives_original) {
      EXPECT_TRUE(forced.ok()) << Why(forced);
      EXPECT_FALSE(fs.Exists(kRestore));
      EXPECT_EQ(fs.Get(kArchive), original);
    } else {
      EXPECT_EQ(forced.code(), Errc::kOriginalLost) << Why(forced);
      EXPECT_EQ(fs.Get(kArchive), c.archive);
      EXPECT_EQ(fs.Get(kRestore), point);
    }
  }
}

// Damage to one place at a time, after a replacement and two additions (one
// that moved the first entry out of the growing table's way): -check
// reports each, naming the entry it is in, and neither -restore nor
// -restore -force calls anything but the original the original. Without a
// restore point only what the table and the compressed entries show can be
// seen (bench_check measures that share).
TEST(RestoreTest, EveryDamageIsReportedAndNeverRestoredAsTheOriginal) {
  Rng rng{std::mt19937(41)};
  std::vector<std::pair<std::string, Bytes>> entries;
  for (int i = 0; i < 6; ++i) {
    Bytes data = rng.bytes(5000 + 600 * static_cast<std::size_t>(i));
    if (i % 2 == 1) {
      // Text compresses: these are the entries that decode.
      std::string text;
      while (text.size() < 8000) text += "vertex " + std::to_string(rng(1000)) + "\n";
      data = refpack::Compress(Bytes(text.begin(), text.end()));
    }
    entries.emplace_back(Name("data\\stadium\\s", i, ".o"), std::move(data));
  }
  Bytes original = DenseArchive(entries);
  MemoryStorage original_storage(original);
  Archive was;
  ASSERT_TRUE(ReadArchive(original_storage, was).ok());
  // 16 bytes after s4 that no entry holds, as other packers leave them.
  const Entry& s4 = was.entries[4];
  PutBe32(&original[s4.record_pos + 4], s4.size - 16);
  const std::uint64_t gap = std::uint64_t{s4.offset} + s4.size - 16;

  MemoryFileSystem imported;
  imported.Put(kArchive, original);
  Import(imported, "s2.o", rng.bytes(2500));
  Import(imported, "a_new_stadium_with_a_long_enough_name.o", rng.bytes(900));
  Import(imported, "added_two.h", rng.bytes(700));
  const Bytes changed = imported.Get(kArchive);
  const Bytes point = imported.Get(kRestore);
  MemoryStorage now(changed);
  Archive a;
  ASSERT_TRUE(ReadArchive(now, a).ok());
  ASSERT_NE(a.entries[0].offset, was.entries[0].offset) << "the growing table moved no entry";
  // Beyond what the restore point saved: the bytes -restore would keep.
  const RestorePoint saved = LoadPoint(imported, kRestore);
  ASSERT_TRUE(std::all_of(saved.ranges.begin(), saved.ranges.end(),
                          [&](const SavedRange& r) { return r.offset + r.length <= was.entries[2].offset; }));

  const auto flip = [&](std::uint64_t at) {
    Bytes b = changed;
    b[static_cast<std::size_t>(at)] ^= 0x10;
    return b;
  };
  const auto in = [&](std::size_t index) { return a.entries[index].offset + a.entries[index].size / 2; };
  const auto name_byte = [&](std::size_t index) { return a.entries[index].record_pos + 8 + 3; };
  const auto count = [&](std::uint32_t n) {
    Bytes b = changed;
    PutBe32(&b[8], n);
    return b;
  };
  const auto swapped = [&](std::size_t x, std::size_t y) {
    Bytes b = changed;
    for (std::size_t i = 0; i < 8; ++i) std::swap(b[a.entries[x].record_pos + i], b[a.entries[y].record_pos + i]);
    return b;
  };
  struct Damage {
    const char* label;
    Bytes archive;
    std::string named;  // what -check's lines must mention
  };
  const std::vector<Damage> damages = {
      {"a bit in an original stored entry", flip(in(4)), "s4.o"},
      {"a bit in an original compressed entry", flip(in(5)), "s5.o"},
      {"a bit in the original entry the table moved", flip(in(0)), "s0.o"},
      {"a bit in the replaced entry's original bytes", flip(was.entries[2].offset + 10), "s2.o"},
      {"a bit in the entry gfxpak wrote over it", flip(in(2)), "s2.o"},
      {"a bit in an added entry", flip(in(6)), "a_new_stadium"},
      {"a bit between the original's entries", flip(gap + 5), "between its entries"},
      {"a byte of an original entry's name", flip(name_byte(1)), "s1.o"},
      {"a byte of an added entry's name", flip(name_byte(7)), "added_two.h"},
      {"the count lowered by one", count(7), "added_two.h"},
      {"the count lowered below the original's", count(4), "s4.o"},
      {"two original records swapped", swapped(1, 4), "s1.o"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.label);
    MemoryFileSystem fs;
    fs.Put(kArchive, d.archive);
    fs.Put(kRestore, point);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCommandLine({"-check", kArchive}, out, err, fs), 1) << out.str();
    EXPECT_NE(out.str().find(d.named), std::string::npos) << out.str();
    // Nor is the replaced entry put back with anything but its original bytes.
    MemoryFileSystem by_name = fs.Copy();
    EntriesRestored back;
    if (RestoreEntries(by_name, kArchive, {"s2.o"}, back).ok()) {
      MemoryStorage after(by_name.Get(kArchive));
      Archive restored;
      Bytes data;
      ASSERT_TRUE(ReadArchive(after, restored).ok());
      ASSERT_TRUE(ReadEntry(after, restored.entries[2], data).ok());
      EXPECT_EQ(data, entries[2].second) << "s2.o is back with other bytes than its original's";
    } else {
      EXPECT_EQ(by_name.Get(kArchive), d.archive);
    }
    for (const Force force : {Force::kNo, Force::kYes}) {
      const Status restored = Restore(fs, force);
      if (restored.ok()) {
        EXPECT_EQ(fs.Get(kArchive), original) << "called the original, and it is not";
        break;
      }
      EXPECT_EQ(fs.Get(kArchive), d.archive) << Why(restored);
      EXPECT_EQ(fs.Get(kRestore), point);
    }
  }
}

// The earlier layouts, written out by hand: magic, original size,
// committed length, header and tail lengths, their SHA-256; then 8 unused
// bytes (layout 1) or the state block (layout 2: idle, the fingerprint of
// the archive as gfxpak left it, no update); then the saved header as a
// range (offset, length, FNV-1a seeded with the offset, bytes).
Bytes EarlierRestorePoint(int layout, const Bytes& original, std::size_t header_length, const Fingerprint& left) {
  auto le = [](Bytes& out, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const std::size_t tail = std::min<std::size_t>(original.size(), 4096);
  const Bytes header(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(header_length));
  const Bytes tail_bytes(original.end() - static_cast<std::ptrdiff_t>(tail), original.end());
  const std::size_t fixed = layout == 1 ? 104 : 160;
  Bytes out = {'G', 'P', 'K', 'R', 'S', 'T', 'R', static_cast<std::uint8_t>('0' + layout)};
  le(out, original.size(), 8);
  le(out, fixed + 16 + header_length, 8);
  le(out, header_length, 4);
  le(out, tail, 4);
  const auto header_hash = Sha256Of(header);
  const auto tail_hash = Sha256Of(tail_bytes);
  out.insert(out.end(), header_hash.begin(), header_hash.end());
  out.insert(out.end(), tail_hash.begin(), tail_hash.end());
  if (layout == 1) {
    le(out, 0, 8);
  } else {
    le(out, 0, 4);
    le(out, left.entry, 4);
    le(out, left.size, 8);
    out.insert(out.end(), left.hash.begin(), left.hash.end());
    le(out, 0, 16);
  }
  std::uint32_t fnv = 2166136261u;
  for (std::uint8_t b : header) fnv = (fnv ^ b) * 16777619u;
  le(out, 0, 8);
  le(out, header_length, 4);
  le(out, fnv, 4);
  out.insert(out.end(), header.begin(), header.end());
  return out;
}

// Restore points already on players' disks, of both earlier layouts, still
// take the archive back (checking what they can: the header, the table and
// the last bytes), and the first import through one brings it up to date,
// with the hashes of the original as the archive then gives it.
TEST(RestoreTest, RestorePointsOfTheEarlierLayoutsStillRestore) {
  Rng rng{std::mt19937(31)};
  const Bytes original = DenseArchive(rng, 6);
  MemoryStorage probe(original);
  Archive a;
  ASSERT_TRUE(ReadArchive(probe, a).ok());

  // As earlier builds of gfxpak left an archive after a replacement: new data above the
  // original size, the table repointed, nothing saved but the header.
  MemoryStorage changed(original);
  PutOptions above;
  above.reuse_floor = original.size();
  ASSERT_TRUE(PutEntry(changed, "stadium_2.o", rng.bytes(4000), above).ok());
  Fingerprint left;
  ASSERT_TRUE(TakeFingerprint(changed, kNoIndex, left).ok());

  for (const int layout : {1, 2}) {
    const Bytes earlier = EarlierRestorePoint(layout, original, a.table_end + a.trailer.size(), left);
    for (bool import_first : {false, true}) {
      SCOPED_TRACE(std::string(import_first ? "imported into first" : "restored directly") + ", layout " +
                   std::to_string(layout));
      MemoryFileSystem fs;
      fs.Put(kArchive, changed.bytes());
      fs.Put(kRestore, earlier);
      EXPECT_EQ(LoadPoint(fs, kRestore).layout, layout);
      if (import_first) {
        Import(fs, "new_entry.o", rng.bytes(700));
        const RestorePoint upgraded = LoadPoint(fs, kRestore);
        EXPECT_EQ(upgraded.layout, kCurrentLayout);
        EXPECT_FALSE(upgraded.pieces.empty());
        EXPECT_TRUE(upgraded.pieces_from_upgrade);
        // The replaced entry, which an earlier gfxpak wrote, is claimed as
        // the import found it: damage to it from now on is seen.
        MemoryFileSystem damaged = fs.Copy();
        Bytes bytes = damaged.Get(kArchive);
        MemoryStorage now(bytes);
        Archive imported;
        ASSERT_TRUE(ReadArchive(now, imported).ok());
        bytes[imported.entries[*FindEntry(imported, "stadium_2.o")].offset + 10] ^= 1;
        damaged.Put(kArchive, bytes);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(RunCommandLine({"-check", kArchive}, out, err, damaged), 1) << out.str();
        EXPECT_NE(out.str().find("entry \"data\\stadium_2.o\": its bytes are neither"), std::string::npos) << out.str();
      }
      WholeRestore done;
      const Status s = RestoreArchive(fs, kArchive, Force::kNo, done);
      ASSERT_TRUE(s.ok()) << Why(s);
      EXPECT_EQ(fs.Get(kArchive), original);
      EXPECT_FALSE(fs.Exists(kRestore));
      EXPECT_EQ(done.pieces, import_first);
    }
    // One that belongs to another archive is still refused by its own check.
    MemoryFileSystem other;
    other.Put(kArchive, DenseArchive(rng, 6));
    other.Put(kRestore, earlier);
    EXPECT_EQ(Restore(other).code(), Errc::kForeignRestorePoint);
    EXPECT_EQ(other.Get(kRestore), earlier);
  }
}

}  // namespace
}  // namespace gfxpak
