// Kills `gfxpak -p` with SIGKILL at random moments and checks after every
// kill that the archive is valid, keeps its order, and that every entry holds
// its old content or, for the one being imported, the new one. Prints its
// seed; set GFXPAK_KILL_SEED to replay a run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "archive_ops.h"
#include "big_archive.h"
#include "file.h"
#include "restore_point.h"
#include "sha256.h"
#include "test_support.h"
#include "../test_seed.h"

namespace gfxpak {
namespace {

namespace fs = std::filesystem;

struct Snapshot {
  std::vector<std::string> names;
  std::vector<Bytes> data;
};

Snapshot Load(const std::string& path) {
  Snapshot s;
  File file;
  EXPECT_FALSE(file.Open(path, OpenMode::kRead));
  FileStorage storage(std::move(file));
  Archive a;
  const Status status = ReadArchive(storage, a);
  EXPECT_TRUE(status.ok()) << Why(status);
  for (const Entry& e : a.entries) {
    s.names.push_back(e.name);
    Bytes d;
    EXPECT_TRUE(ReadEntry(storage, e, d).ok());
    s.data.push_back(std::move(d));
  }
  return s;
}

// Runs gfxpak with the arguments and kills it after delay (or lets it finish
// when the delay is negative); returns whether it ran to its end.
bool RunKilled(const std::vector<std::string>& args, std::chrono::microseconds delay) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(TESSOLO_GFXPAK)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(TESSOLO_GFXPAK, argv.data());
    _exit(127);
  }
  if (delay.count() >= 0) {
    usleep(static_cast<useconds_t>(delay.count()));
    kill(pid, SIGKILL);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool RunPut(const std::string& archive, const std::string& file, std::chrono::microseconds delay) {
  return RunKilled({"-p", "-norestore", archive, file}, delay);
}

unsigned Seed() { return TestSeed("kill test"); }

std::string FileHash(const std::string& path) {
  FileBytes bytes;
  EXPECT_FALSE(ReadWholeFile(path, bytes));
  return ToHex(Sha256Of(bytes));
}

TEST(KillTest, KilledImportsLeaveAValidConsistentArchive) {
  std::mt19937 rng(Seed());
  auto random_bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  };

  const fs::path dir = fs::temp_directory_path() / ("gfxpak-kill-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string archive = (dir / "zdata.big").string();
  // A dense archive: its data starts right after the table, so every add has
  // to move data out of the table's way.
  {
    MemoryStorage storage(ArchiveOf("stadium_00.o", random_bytes(40000)));
    for (int i = 1; i < 12; ++i) {
      const std::string name = "data\\stadium_" + std::to_string(i) + (i % 2 ? ".h" : ".o");
      ASSERT_TRUE(PutEntry(storage, name, random_bytes(1000 + rng() % 60000), PutOptions{}).ok());
    }
    MemoryStorage dense;
    ASSERT_TRUE(CompactArchive(storage, dense).ok());
    ASSERT_TRUE(WriteFileAtomically(archive, dense.bytes()).ok());
  }

  // The length of an uninterrupted import, to spread the kills over it.
  const std::string probe = (dir / "probe_x.o").string();
  ASSERT_TRUE(WriteFileAtomically(probe, random_bytes(2 << 20)).ok());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunPut(archive, probe, std::chrono::microseconds(-1)));
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  int finished = 0;
  int interrupted = 0;
  for (int round = 0; round < 60; ++round) {
    const Snapshot before = Load(archive);
    const bool add = rng() % 3 == 0;
    // Names stored with a path are matched by their last component.
    const std::string bare = add ? "new_" + std::to_string(round) + ".o" : BareName(before.names[rng() % before.names.size()]);
    const std::string file = (dir / bare).string();
    const Bytes data = random_bytes(rng() % 2 ? rng() % 3000 : (rng() % (3u << 20)));
    ASSERT_TRUE(WriteFileAtomically(file, data).ok());
    const auto delay = std::chrono::microseconds(rng() % static_cast<unsigned>(span.count() * 3 / 2 + 1));
    const bool done = RunPut(archive, file, delay);
    done ? ++finished : ++interrupted;

    const Snapshot after = Load(archive);
    ASSERT_GE(after.names.size(), before.names.size()) << "round " << round;
    ASSERT_LE(after.names.size(), before.names.size() + 1) << "round " << round;
    if (done) {
      EXPECT_EQ(after.names.size(), before.names.size() + (add ? 1 : 0)) << "round " << round;
    }
    for (std::size_t i = 0; i < after.names.size(); ++i) {
      if (i == before.names.size()) {
        EXPECT_TRUE(add) << "round " << round;
        EXPECT_EQ(after.names[i], bare);
        EXPECT_EQ(after.data[i], data) << "round " << round << ": a new entry with other content";
        continue;
      }
      EXPECT_EQ(after.names[i], before.names[i]) << "round " << round;
      const bool is_target = !add && NormalizeName(BareName(before.names[i])) == NormalizeName(bare);
      const bool ok = after.data[i] == before.data[i] || (is_target && after.data[i] == data);
      EXPECT_TRUE(ok) << "round " << round << ": entry " << before.names[i] << " holds neither old nor new content";
      if (done && is_target) {
        EXPECT_EQ(after.data[i], data) << "round " << round;
      }
    }
    fs::remove(file);
    if (HasFailure()) break;
  }
  std::printf("%d imports killed, %d finished before the kill\n", interrupted, finished);
  fs::remove_all(dir);
}

// Kills imports (which keep a restore point) and restores at random moments;
// the next writer keeps what readers saw after each kill, and after each
// round -restore must bring back the exact original archive.
TEST(KillTest, RestoreBringsTheOriginalBackAfterKills) {
  std::mt19937 rng(Seed());
  auto random_bytes = [&](std::size_t n) {
    std::vector<std::uint8_t> b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  };
  const fs::path dir = fs::temp_directory_path() / ("gfxpak-restore-kill-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string archive = (dir / "zdata.big").string();
  const std::string restore = RestorePathFor(archive);
  {
    MemoryStorage storage(ArchiveOf("stadium_0.o", random_bytes(30000)));
    for (int i = 1; i < 10; ++i) ASSERT_TRUE(PutEntry(storage, "data\\stadium_" + std::to_string(i) + ".o", random_bytes(1000 + rng() % 40000), {}).ok());
    MemoryStorage dense;
    ASSERT_TRUE(CompactArchive(storage, dense).ok());
    ASSERT_TRUE(WriteFileAtomically(archive, dense.bytes()).ok());
  }
  const std::string original = FileHash(archive);

  const std::string probe = (dir / "probe.o").string();
  ASSERT_TRUE(WriteFileAtomically(probe, random_bytes(1 << 20)).ok());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunKilled({"-p", archive, probe}, std::chrono::microseconds(-1)));
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  ASSERT_TRUE(RunKilled({"-restore", archive}, std::chrono::microseconds(-1)));
  ASSERT_EQ(FileHash(archive), original);

  int killed_puts = 0;
  int killed_restores = 0;
  for (int round = 0; round < 25; ++round) {
    const int imports = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < imports; ++i) {
      const std::string name = rng() % 2 ? "stadium_" + std::to_string(rng() % 10) + ".o" : "new_" + std::to_string(round) + "_" + std::to_string(i) + ".o";
      const std::string file = (dir / name).string();
      ASSERT_TRUE(WriteFileAtomically(file, random_bytes(rng() % (1 << 20))).ok());
      const bool last = i == imports - 1;
      const auto delay = last ? std::chrono::microseconds(rng() % static_cast<unsigned>(span.count() + 1)) : std::chrono::microseconds(-1);
      if (!RunKilled({"-p", archive, file}, delay)) {
        ++killed_puts;
        // The next writer keeps what readers saw after the kill.
        const Snapshot seen = Load(archive);
        SystemFileSystem disk;
        const Status settled = RecoverArchive(disk, archive);
        ASSERT_TRUE(settled.ok()) << Why(settled);
        const Snapshot kept = Load(archive);
        EXPECT_TRUE(kept.names == seen.names && kept.data == seen.data) << "round " << round << ": the next writer changed what readers saw";
      }
      fs::remove(file);
    }
    if (fs::exists(restore) && rng() % 2) {
      const auto delay = std::chrono::microseconds(rng() % static_cast<unsigned>(span.count() / 2 + 1));
      if (!RunKilled({"-restore", archive}, delay)) ++killed_restores;
    }
    if (fs::exists(restore)) {
      ASSERT_TRUE(RunKilled({"-restore", archive}, std::chrono::microseconds(-1))) << "round " << round;
    }
    ASSERT_EQ(FileHash(archive), original) << "round " << round;
  }
  std::printf("%d imports and %d restores killed\n", killed_puts, killed_restores);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace gfxpak
