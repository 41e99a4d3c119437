// Two real gfxpak processes at once on one archive, 50 rounds of each pair:
// two -p into a missing archive, two -p into an existing one, -p against
// -restore, -p against -compact -force. No round may end with an exit 0
// whose entry is missing, a damaged archive, or the way back lost; the
// second writer waits for the first, or gives up with exit 1.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "archive_ops.h"
#include "big_archive.h"
#include "command_line.h"
#include "process_service.h"
#include "restore_point.h"
#include "sha256.h"
#include "test_support.h"
#include "../test_seed.h"

namespace gfxpak {
namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 50;

// Built by appending: gcc 12 warns falsely on chained string additions.
std::string Name(const char* prefix, int number, const char* suffix = ".o") {
  std::string name(prefix);
  name += std::to_string(number);
  name += suffix;
  return name;
}

Bytes Random(std::size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

std::string Program() {
  std::string path = TESSOLO_GFXPAK;
#ifdef _WIN32
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
#endif
  return path;
}

// Runs both command lines at once; their exit codes, -1 for a crash.
std::pair<int, int> RunTogether(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  auto line = [](const std::vector<std::string>& args) {
    std::string text = QuoteArgument(Program());
    for (const std::string& arg : args) {
      text += ' ';
      text += QuoteArgument(arg);
    }
    return text;
  };
  SystemProcesses processes;
  std::unique_ptr<ChildProcess> first;
  std::unique_ptr<ChildProcess> second;
  EXPECT_FALSE(processes.Start(line(a), 0, "", {}, first));
  EXPECT_FALSE(processes.Start(line(b), 0, "", {}, second));
  if (!first || !second) return {-1, -1};
  std::optional<ProcessExit> end_a;
  std::optional<ProcessExit> end_b;
  while (!end_a || !end_b) {
    if (!end_a) end_a = first->Poll();
    if (!end_b) end_b = second->Poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto code = [](const ProcessExit& e) { return e.crashed ? -1 : static_cast<int>(e.code); };
  return {code(*end_a), code(*end_b)};
}

struct Listing {
  bool valid = false;
  std::vector<std::pair<std::string, Bytes>> entries;
  const Bytes* Find(const std::string& name) const {
    for (const auto& [n, data] : entries) {
      if (n == name) return &data;
    }
    return nullptr;
  }
};

Listing Read(const std::string& path) {
  Listing listing;
  Bytes bytes;
  if (!fs::exists(path) || ReadFileInto(path, bytes)) return listing;
  MemoryStorage storage(bytes);
  Archive a;
  if (!ReadArchive(storage, a).ok()) return listing;
  listing.valid = true;
  for (const Entry& e : a.entries) {
    Bytes data;
    EXPECT_TRUE(ReadEntry(storage, e, data).ok());
    listing.entries.emplace_back(e.name, std::move(data));
  }
  return listing;
}

std::string HashOf(const std::string& path) {
  Bytes bytes;
  EXPECT_FALSE(ReadFileInto(path, bytes));
  return ToHex(Sha256Of(bytes));
}

class WritersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / Name("gfxpak-writers-", static_cast<int>(std::random_device{}() % 1000000), "");
    fs::create_directories(dir_);
    archive_ = (dir_ / "zdata.big").string();
    rng_.seed(TestSeed("writers test"));
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A file to import; large enough that its import holds the lock a while.
  std::pair<std::string, Bytes> Input(const std::string& name) {
    Bytes data = Random(256 * 1024 + rng_() % (256 * 1024), rng_);
    const std::string path = (dir_ / name).string();
    EXPECT_TRUE(WriteFileAtomically(path, data).ok());
    return {path, std::move(data)};
  }

  void WriteArchive(int entries) {
    MemoryStorage storage(ArchiveOf("stadium_0.o", Random(20000, rng_)));
    for (int i = 1; i < entries; ++i) {
      ASSERT_TRUE(PutEntry(storage, Name("stadium_", i), Random(5000 + rng_() % 20000, rng_), {}).ok());
    }
    ASSERT_TRUE(WriteFileAtomically(archive_, storage.bytes()).ok());
  }

  // Nothing but the archive, its restore point and the inputs may be left.
  void ExpectNoLeftovers(int round) {
    for (const auto& item : fs::directory_iterator(dir_)) {
      const std::string name = item.path().filename().string();
      const bool ours = name == "zdata.big" || name == "zdata.big.restore" || name.ends_with(".o");
      EXPECT_TRUE(ours) << "round " << round << ": " << name << " left behind";
    }
  }

  // An exit 0 of -p means its entry is there with its content.
  void ExpectImported(const Listing& listing, int code, const std::string& name, const Bytes& data, int round) {
    EXPECT_TRUE(code == 0 || code == 1) << "round " << round << ": exit " << code;
    if (code != 0) return;
    const Bytes* found = listing.Find(name);
    EXPECT_TRUE(found != nullptr && *found == data) << "round " << round << ": " << name << " lost after exit 0";
  }

  fs::path dir_;
  std::string archive_;
  std::mt19937 rng_;
};

TEST_F(WritersTest, TwoImportsIntoAMissingArchive) {
  int both = 0;
  for (int round = 0; round < kRounds; ++round) {
    fs::remove(archive_);
    fs::remove(RestorePathFor(archive_));
    const auto [path_a, data_a] = Input(Name("a_", round));
    const auto [path_b, data_b] = Input(Name("b_", round));
    const auto [code_a, code_b] = RunTogether({"-p", archive_, path_a}, {"-p", archive_, path_b});
    const Listing listing = Read(archive_);
    ASSERT_TRUE(listing.valid) << "round " << round;
    ExpectImported(listing, code_a, BareName(path_a), data_a, round);
    ExpectImported(listing, code_b, BareName(path_b), data_b, round);
    if (code_a == 0 && code_b == 0) ++both;
    ExpectNoLeftovers(round);
    fs::remove(path_a);
    fs::remove(path_b);
    if (HasFailure()) break;
  }
  std::printf("both imports done in %d of %d rounds\n", both, kRounds);
}

TEST_F(WritersTest, TwoImportsIntoAnExistingArchive) {
  WriteArchive(6);
  const std::string original = HashOf(archive_);
  for (int round = 0; round < kRounds; ++round) {
    // One adds, the other replaces (or adds, every other round).
    const auto [path_a, data_a] = Input(Name("new_", round));
    const auto [path_b, data_b] = Input(round % 2 ? Name("stadium_", round % 6) : Name("other_", round));
    const auto [code_a, code_b] = RunTogether({"-p", archive_, path_a}, {"-p", archive_, path_b});
    const Listing listing = Read(archive_);
    ASSERT_TRUE(listing.valid) << "round " << round;
    ExpectImported(listing, code_a, BareName(path_a), data_a, round);
    ExpectImported(listing, code_b, BareName(path_b), data_b, round);
    ExpectNoLeftovers(round);
    fs::remove(path_a);
    fs::remove(path_b);
    if (HasFailure()) break;
  }
  // Every import went through the one restore point.
  WholeRestore done;
  SystemFileSystem disk;
  ASSERT_TRUE(RestoreArchive(disk, archive_, Force::kNo, done).ok());
  EXPECT_EQ(HashOf(archive_), original);
}

// Either order is fine; what may never happen is an archive that is not the
// original with no restore point that leads back to it.
TEST_F(WritersTest, ImportAgainstRestore) {
  WriteArchive(6);
  const std::string original = HashOf(archive_);
  SystemFileSystem disk;
  for (int round = 0; round < kRounds; ++round) {
    const auto [earlier, earlier_data] = Input(Name("earlier_", round));
    ASSERT_TRUE(PutIntoArchive(disk, archive_, BareName(earlier), earlier_data, MakeRestorePoint::kYes).ok());
    const auto [path, data] = Input(Name("new_", round));
    const auto [code_p, code_r] = round % 2 ? RunTogether({"-p", archive_, path}, {"-restore", archive_})
                                            : RunTogether({"-restore", archive_}, {"-p", archive_, path});
    const Listing listing = Read(archive_);
    ASSERT_TRUE(listing.valid) << "round " << round;
    EXPECT_TRUE(code_p == 0 || code_p == 1) << "round " << round << ": -p exit " << code_p;
    EXPECT_TRUE(code_r == 0 || code_r == 1) << "round " << round << ": -restore exit " << code_r;
    const bool has_entry = listing.Find(BareName(path)) != nullptr;
    if (has_entry) {
      EXPECT_EQ(code_p, 0) << "round " << round;
    }
    if (code_p == 0 && code_r != 0) {
      EXPECT_TRUE(has_entry) << "round " << round << ": -p exit 0, entry lost";
    }
    if (HashOf(archive_) != original) {
      ASSERT_TRUE(fs::exists(RestorePathFor(archive_))) << "round " << round << ": the way back is lost";
    }
    if (fs::exists(RestorePathFor(archive_))) {
      WholeRestore done;
      ASSERT_TRUE(RestoreArchive(disk, archive_, Force::kNo, done).ok()) << "round " << round;
    }
    ASSERT_EQ(HashOf(archive_), original) << "round " << round;
    ExpectNoLeftovers(round);
    fs::remove(earlier);
    fs::remove(path);
    if (HasFailure()) break;
  }
}

TEST_F(WritersTest, ImportAgainstCompact) {
  WriteArchive(6);
  SystemFileSystem disk;
  for (int round = 0; round < kRounds; ++round) {
    // Dead space for the compaction to remove.
    const auto [earlier, earlier_data] = Input(Name("stadium_", round % 6));
    ASSERT_TRUE(PutIntoArchive(disk, archive_, BareName(earlier), earlier_data, MakeRestorePoint::kNo).ok());
    const auto [path, data] = Input(Name("new_", round));
    const auto [code_p, code_c] = round % 2 ? RunTogether({"-p", archive_, path}, {"-compact", "-force", archive_})
                                            : RunTogether({"-compact", "-force", archive_}, {"-p", archive_, path});
    const Listing listing = Read(archive_);
    ASSERT_TRUE(listing.valid) << "round " << round;
    EXPECT_TRUE(code_c == 0 || code_c == 1) << "round " << round << ": -compact exit " << code_c;
    ExpectImported(listing, code_p, BareName(path), data, round);
    const Bytes* kept = listing.Find(BareName(earlier));
    EXPECT_TRUE(kept != nullptr && *kept == earlier_data) << "round " << round;
    ExpectNoLeftovers(round);
    // The next round starts without a restore point.
    fs::remove(RestorePathFor(archive_));
    fs::remove(earlier);
    fs::remove(path);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace gfxpak
