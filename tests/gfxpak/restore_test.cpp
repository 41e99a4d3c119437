// Restore points: after any mix of imports the archive comes back with the
// same SHA-256; interrupted restores finish when run again; restore points
// that are damaged or belong to another archive are refused.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "big_archive.h"
#include "restore_point.h"
#include "sha256.h"

namespace gfxpak {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Built by appending: gcc 12 warns falsely on chained string additions.
std::string Name(const char* prefix, int number, const char* suffix) {
  std::string name(prefix);
  name += std::to_string(number);
  name += suffix;
  return name;
}

TEST(Sha256Test, KnownDigests) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& [text, hex] : cases) {
    EXPECT_EQ(ToHex(Sha256Of(Bytes(text.begin(), text.end()))), hex) << text.size() << " bytes";
  }
  // Fed in uneven pieces, the digest is the same.
  const Bytes long_text(1000, 'a');
  Sha256 sha;
  for (std::size_t at = 0, step = 1; at < long_text.size(); at += step, step = step * 3 % 97 + 1) {
    sha.Update(std::span(long_text).subspan(at, std::min(step, long_text.size() - at)));
  }
  EXPECT_EQ(ToHex(sha.Finish()), cases[3].second);
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
Bytes DenseArchive(Rng& rng, int entries) {
  MemoryStorage storage(NewArchive("data\\stadium_0.o", rng.bytes(5000)));
  for (int i = 1; i < entries; ++i) {
    EXPECT_TRUE(PutEntry(storage, Name("data\\stadium_", i, ".o"), rng.bytes(200 + rng(8000)), {}).ok());
  }
  MemoryStorage dense;
  EXPECT_TRUE(CompactArchive(storage, dense).ok());
  return dense.bytes();
}

// One import as the command line makes it: load the restore point, then
// write through it with the floor at the original size.
void Import(MemoryStorage& archive, MemoryStorage& journal, const std::string& name, const Bytes& data) {
  RestorePoint point;
  const Status loaded = LoadRestorePoint(journal, archive, point);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  RestoringStorage restoring(archive, journal, point);
  PutOptions options;
  options.reuse_floor = point.original_size;
  const Status put = PutEntry(restoring, name, data, options);
  ASSERT_TRUE(put.ok()) << put.error;
}

MemoryStorage StartRestorePoint(MemoryStorage& archive) {
  Bytes bytes;
  EXPECT_TRUE(NewRestorePoint(archive, bytes).ok());
  return MemoryStorage(bytes);
}

void RestoreAndCompare(MemoryStorage& archive, MemoryStorage& journal, const Bytes& original) {
  RestorePoint point;
  const Status loaded = LoadRestorePoint(journal, archive, point);
  ASSERT_TRUE(loaded.ok()) << loaded.error;
  ASSERT_TRUE(ApplyRestorePoint(journal, archive, point).ok());
  EXPECT_EQ(ToHex(Sha256Of(archive.bytes())), ToHex(Sha256Of(original)));
}

using Mix = std::function<void(MemoryStorage&, MemoryStorage&, Rng&)>;

TEST(RestoreTest, RestoreGivesTheOriginalBackAfterEachMix) {
  const unsigned seed = std::random_device{}();
  std::printf("restore mix seed %u\n", seed);
  const std::vector<std::pair<const char*, Mix>> mixes = {
      {"one replace", [](auto& a, auto& j, Rng& r) { Import(a, j, "stadium_3.o", r.bytes(3000)); }},
      {"many replaces of one entry",
       [](auto& a, auto& j, Rng& r) {
         for (int i = 0; i < 30; ++i) Import(a, j, "STADIUM_0.O", r.bytes(r(12000)));
       }},
      {"adds that grow the table into the data",
       [](auto& a, auto& j, Rng& r) {
         for (int i = 0; i < 25; ++i) Import(a, j, Name("a_fairly_long_new_stadium_name_", i, ".o"), r.bytes(r(900)));
       }},
      {"50 random operations",
       [](auto& a, auto& j, Rng& r) {
         for (int i = 0; i < 50; ++i) {
           const bool add = r(3) == 0;
           const std::string name = add ? Name("new_", i, ".h") : Name("stadium_", static_cast<int>(r(8)), ".o");
           Import(a, j, name, r.bytes(r(2) ? r(400) : r(20000)));
         }
       }},
  };
  for (const auto& [label, mix] : mixes) {
    SCOPED_TRACE(label);
    Rng rng{std::mt19937(seed)};
    const Bytes original = DenseArchive(rng, 8);
    MemoryStorage archive(original);
    MemoryStorage journal = StartRestorePoint(archive);
    mix(archive, journal, rng);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_NE(archive.bytes(), original);
    // Replacements write only above the original size and into the table:
    // the restore point holds nothing but the original header.
    RestorePoint point;
    ASSERT_TRUE(LoadRestorePoint(journal, archive, point).ok());
    if (std::string_view(label).find("replace") != std::string_view::npos) {
      EXPECT_EQ(point.ranges.size(), 1u);
    }
    RestoreAndCompare(archive, journal, original);
  }
}

// Stops applying archive writes after a number of them, as a crash would.
class CrashingStorage : public MemoryStorage {
 public:
  CrashingStorage(Bytes bytes, int writes) : MemoryStorage(std::move(bytes)), left_(writes) {}
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    if (left_-- <= 0) return std::make_error_code(std::errc::io_error);
    return MemoryStorage::Write(offset, data);
  }
  std::error_code Truncate(std::uint64_t size) override {
    if (left_-- <= 0) return std::make_error_code(std::errc::io_error);
    return MemoryStorage::Truncate(size);
  }

 private:
  int left_;
};

TEST(RestoreTest, AnInterruptedRestoreFinishesWhenRunAgain) {
  Rng rng{std::mt19937(7)};
  const Bytes original = DenseArchive(rng, 6);
  MemoryStorage archive(original);
  MemoryStorage journal = StartRestorePoint(archive);
  for (int i = 0; i < 12; ++i) Import(archive, journal, Name("grow_", i, ".o"), rng.bytes(700));
  RestorePoint point;
  ASSERT_TRUE(LoadRestorePoint(journal, archive, point).ok());
  ASSERT_GE(point.ranges.size(), 2u);
  for (int writes = 0; writes <= static_cast<int>(point.ranges.size()) + 1; ++writes) {
    CrashingStorage crashed(archive.bytes(), writes);
    ApplyRestorePoint(journal, crashed, point);
    MemoryStorage again(crashed.bytes());
    RestoreAndCompare(again, journal, original);
  }
}

TEST(RestoreTest, BadRestorePointsAreRefused) {
  Rng rng{std::mt19937(11)};
  const Bytes original = DenseArchive(rng, 5);
  MemoryStorage archive(original);
  MemoryStorage journal = StartRestorePoint(archive);
  for (int i = 0; i < 4; ++i) Import(archive, journal, Name("grow_", i, ".o"), rng.bytes(300));
  const Bytes good = journal.bytes();

  Rng other_rng{std::mt19937(12)};
  MemoryStorage other(DenseArchive(other_rng, 5));
  const Bytes foreign = StartRestorePoint(other).bytes();

  auto flipped = [&](std::size_t at) {
    Bytes b = good;
    b[at] ^= 0x40;
    return b;
  };
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"garbage", rng.bytes(good.size())},
      {"truncated", Bytes(good.begin(), good.end() - 1)},
      {"truncated inside the fixed part", Bytes(good.begin(), good.begin() + 50)},
      {"a changed header byte", flipped(120)},
      {"a changed saved byte", flipped(good.size() - 3)},
      {"a changed original size", flipped(9)},
      {"another archive's restore point", foreign},
  };
  for (const auto& [label, bytes] : cases) {
    MemoryStorage bad(bytes);
    RestorePoint point;
    const Status s = LoadRestorePoint(bad, archive, point);
    EXPECT_FALSE(s.ok()) << label;
    EXPECT_FALSE(s.error.empty()) << label;
  }
  // An append cut short by a kill is not damage: the committed part counts.
  Bytes torn = good;
  torn.resize(torn.size() + 20, 0xEE);
  MemoryStorage torn_journal(torn);
  RestoreAndCompare(archive, torn_journal, original);
}

}  // namespace
}  // namespace gfxpak
