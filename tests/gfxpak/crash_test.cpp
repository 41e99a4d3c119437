// Power loss at every call of every writing command: the disk keeps what
// was flushed, and loses, keeps or tears at 512 and at 4096 bytes what was
// not. Every disk that can come back is checked as the player meets it:
// the archive reads strictly and shows each entry old or new (the stadium
// file is whole in its folder for -compress); the next gfxpak keeps what
// readers saw; -restore then gives the original byte for byte. The one
// state no write order can avoid, a table record of 8 bytes across a sector
// boundary torn between its halves, is counted, must be one that -l reports,
// and the next writer takes it back.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "archive_ops.h"
#include "byte_order.h"
#include "cli.h"
#include "command_steps.h"
#include "crash_file_system.h"
#include "restore_point.h"
#include "sha256.h"
#include "test_support.h"

namespace gfxpak {
namespace {

using namespace steps;

const std::string kRestore = RestorePathFor(kArchive);
const std::string kStadium = "bern_x.o";
// A record whose offset field ends at 4096 and whose size field begins there:
// a replacement changes bytes on both sides of the boundary.
constexpr std::uint32_t kRecordAcross = 4092;

std::string Padded(std::size_t length, int number) {
  std::string name = "data\\stadium\\s";
  name += std::to_string(number);
  name.resize(length - 2, '_');
  name += ".o";
  return name;
}

// A dense archive of 42 entries whose last record lies across the first
// 4096-byte boundary.
Bytes Original() {
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back(Padded(91, i));
  names.push_back(Padded(67, 40));
  names.push_back("data\\stadium\\across.o");
  MemoryStorage storage(ArchiveOf(names[0], Random(700, 1)));
  for (std::size_t i = 1; i < names.size(); ++i) {
    EXPECT_TRUE(PutEntry(storage, names[i], Random(150 + 37 * i, static_cast<unsigned>(i) + 1), {}).ok());
  }
  MemoryStorage dense;
  EXPECT_TRUE(CompactArchive(storage, dense).ok());
  Archive a;
  EXPECT_TRUE(ReadArchive(dense, a).ok());
  EXPECT_EQ(a.entries.back().record_pos, kRecordAcross);
  return dense.bytes();
}

enum class Kind { kPut, kCompress, kRestoreOriginal, kRestoreEntries, kCompact };

Status CompressInPlace(FileSystem& fs) {
  std::ostringstream out;
  std::ostringstream err;
  if (RunCommandLine({"-compress", "-real", kStadium, kStadium}, out, err, fs) == 0) return {};
  return Fail(std::make_error_code(std::errc::io_error), err.str());
}

struct Scenario {
  const char* label;
  Kind kind;
  std::vector<Step> before;
  Step act;
};

std::vector<Scenario> Scenarios() {
  const std::string long_name = "data\\stadium\\a_new_stadium_with_a_long_name.o";
  return {
      {"-p replace, first import", Kind::kPut, {}, Put("s3__.o", 10, 900)},
      {"-p add with table growth, first import", Kind::kPut, {}, Put(long_name, 11, 800)},
      {"-p replace of the record across 4096", Kind::kPut, {Put("s5__.o", 12, 300)}, Put("across.o", 13, 1200)},
      {"-p add with table growth, restore point there", Kind::kPut, {Put("across.o", 14, 500)}, Put(long_name, 15, 600)},
      {"-p -norestore replace of the record across 4096", Kind::kPut, {}, Put("across.o", 16, 700, MakeRestorePoint::kNo)},
      {"-compress IN IN", Kind::kCompress, {}, CompressInPlace},
      {"-restore", Kind::kRestoreOriginal, {Put(long_name, 17, 400), Put("across.o", 18, 900), Put("s7__.o", 19, 300)},
       RestoreOriginal},
      {"-restore NAME of a replaced entry", Kind::kRestoreEntries, {Put("s3__.o", 22, 700), Put("across.o", 23, 400)},
       RestoreNamed({"across.o"})},
      {"-restore NAME of a replaced entry whose bytes the table took", Kind::kRestoreEntries,
       {Put(long_name, 24, 300), Put("s0__.o", 25, 500)}, RestoreNamed({"s0__.o"})},
      {"-restore NAME of the last added entry", Kind::kRestoreEntries, {Put("s1__.o", 26, 300), Put("new_a.o", 27, 200)},
       RestoreNamed({"new_a.o"})},
      {"-restore NAME of an added entry before another", Kind::kRestoreEntries,
       {Put("new_a.o", 28, 200), Put("new_b.h", 29, 300)}, RestoreNamed({"new_a.o"})},
      {"-restore NAME of the only change", Kind::kRestoreEntries, {Put("s6__.o", 30, 800)}, RestoreNamed({"s6__.o"})},
      {"-compact -force", Kind::kCompact, {Put("s2__.o", 20, 900), Put(long_name, 21, 400)}, Compact(Force::kYes)},
  };
}

using Contents = std::vector<std::pair<std::string, Bytes>>;

// What a reader sees: the names and contents of the entries, in order;
// nothing when the archive does not read.
bool Read(const Bytes& bytes, Contents& out) {
  MemoryStorage storage(bytes);
  Archive a;
  out.clear();
  if (!ReadArchive(storage, a).ok()) return false;
  for (const Entry& e : a.entries) {
    Bytes data;
    if (!ReadEntry(storage, e, data).ok()) return false;
    out.emplace_back(e.name, std::move(data));
  }
  return true;
}

Contents ContentsOf(const Bytes& bytes) {
  Contents c;
  EXPECT_TRUE(Read(bytes, c));
  return c;
}

// Where the records that differ between two archives begin.
std::vector<std::uint32_t> ChangedRecords(const Bytes& from, const Bytes& to) {
  MemoryStorage a_storage(from);
  MemoryStorage b_storage(to);
  Archive a;
  Archive b;
  EXPECT_TRUE(ReadArchive(a_storage, a).ok());
  EXPECT_TRUE(ReadArchive(b_storage, b).ok());
  std::vector<std::uint32_t> changed;
  for (std::size_t i = 0; i < a.entries.size() && i < b.entries.size(); ++i) {
    if (a.entries[i].offset != b.entries[i].offset || a.entries[i].size != b.entries[i].size) {
      changed.push_back(a.entries[i].record_pos);
    }
  }
  return changed;
}

bool Across(std::uint32_t pos, std::size_t sector) { return pos / sector != (pos + 7) / sector; }

std::uint32_t Be32(const Bytes& b, std::uint64_t at) { return GetBe32(b.data() + at); }

// The two archives a command goes between (for -restore, the original is
// the second), worked out once for all the states of a scenario.
struct Sides {
  Sides(Bytes old_bytes, Bytes new_bytes)
      : old_archive(std::move(old_bytes)), new_archive(std::move(new_bytes)), old_contents(ContentsOf(old_archive)),
        new_contents(ContentsOf(new_archive)), changed(ChangedRecords(old_archive, new_archive)) {
    // By digest: gcc 12 warns falsely on comparing byte vectors in a set.
    for (const Contents* side : {&old_contents, &new_contents}) {
      for (const auto& [name, data] : *side) allowed[name].insert(ToHex(Sha256Of(data)));
    }
  }
  Bytes old_archive;
  Bytes new_archive;
  Contents old_contents;
  Contents new_contents;
  std::vector<std::uint32_t> changed;
  std::map<std::string, std::set<std::string>> allowed;
};

// How an archive after a power loss compares with the two it lies between:
// where the records of the entries that are neither's begin, whether the
// entry set is one of the two, and whether it reads strictly.
struct Verdict {
  bool strict = false;
  bool entries_as_either = true;
  std::vector<std::uint32_t> neither;
};

// Reads the table leniently (a torn record may point anywhere) and checks
// each entry against the contents the two archives give its name.
Verdict Judge(const Bytes& bytes, const Sides& sides) {
  Verdict v;
  Contents strict;
  v.strict = Read(bytes, strict);
  const Contents& before = sides.old_contents;
  const Contents& after = sides.new_contents;
  const std::uint32_t count = Be32(bytes, 8);
  if (count != before.size() && count != after.size()) v.entries_as_either = false;
  std::uint64_t pos = kHeaderSize;
  for (std::uint32_t i = 0; i < count && v.entries_as_either; ++i) {
    const std::uint32_t record = static_cast<std::uint32_t>(pos);
    const std::uint32_t offset = Be32(bytes, pos);
    const std::uint32_t size = Be32(bytes, pos + 4);
    const auto nul = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(pos + 8), bytes.end(), std::uint8_t{0});
    const std::string name(bytes.begin() + static_cast<std::ptrdiff_t>(pos + 8), nul);
    pos = static_cast<std::uint64_t>(nul - bytes.begin()) + 1;
    const Contents& expected = count == before.size() ? before : after;
    if (i >= expected.size() || expected[i].first != name) v.entries_as_either = false;
    const bool inside = std::uint64_t{offset} + size <= bytes.size();
    const auto from = bytes.data() + offset;
    const Bytes data = inside ? Bytes(from, from + size) : Bytes();
    const auto digests = sides.allowed.find(name);
    if (!inside || digests == sides.allowed.end() || !digests->second.count(ToHex(Sha256Of(data)))) {
      v.neither.push_back(record);
    }
  }
  return v;
}

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string ListOutput(FileSystem& fs) {
  std::ostringstream out;
  std::ostringstream err;
  RunCommandLine({"-l", kArchive}, out, err, fs);
  return out.str();
}

int Run(FileSystem& fs, const std::vector<std::string>& args, std::string& out) {
  std::ostringstream o;
  std::ostringstream e;
  const int code = RunCommandLine(args, o, e, fs);
  out = o.str() + e.str();
  return code;
}

// With a torn record, -l and -check name the one torn entry and say that
// the next change repairs it; -x refuses that one and gives every other
// entry as it was.
void ReadersNameTheTornEntry(MemoryFileSystem& fs, const Sides& sides) {
  std::string out;
  EXPECT_EQ(Run(fs, {"-l", kArchive}, out), 0) << out;
  EXPECT_EQ(CountOf(out, "(record half written by a power loss, listed as it was: the next change repairs it)"), 1u)
      << out;
  EXPECT_EQ(Run(fs, {"-check", kArchive}, out), 1) << out;
  EXPECT_EQ(CountOf(out, "its table record is half written (a power loss cut an update short): the next gfxpak "
                         "command that changes the archive repairs it"),
            1u)
      << out;
  int refused = 0;
  for (const auto& [name, data] : sides.old_contents) {
    MemoryFileSystem copy = fs.Copy();
    if (Run(copy, {"-x", kArchive, name, "out.o"}, out) != 0) {
      ++refused;
      EXPECT_NE(out.find("its table record is half written"), std::string::npos) << out;
    } else {
      EXPECT_EQ(copy.Get("out.o"), data) << name;
    }
  }
  EXPECT_EQ(refused, 1);
}

struct Tally {
  int states = 0;
  int torn = 0;
};

// One disk after a power loss in scenario sc.
void CheckState(const Scenario& sc, const CrashFileSystem::Disk& disk, const MemoryFileSystem& before,
                const MemoryFileSystem& after, const Sides& sides, const Bytes& original, std::size_t sector,
                Tally& tally) {
  MemoryFileSystem fs;
  for (const auto& [name, bytes] : disk) fs.Put(name, bytes);
  ++tally.states;
  ASSERT_TRUE(fs.Exists(kArchive));
  if (sc.kind == Kind::kCompress) {
    const Bytes stadium = fs.Get(kStadium);
    EXPECT_TRUE(stadium == before.Get(kStadium) || stadium == after.Get(kStadium)) << "the stadium file is neither";
    EXPECT_EQ(fs.Get(kArchive), before.Get(kArchive));
    return;
  }
  const Verdict verdict = Judge(fs.Get(kArchive), sides);
  ASSERT_TRUE(verdict.entries_as_either) << "the entries are neither the old nor the new ones";
  const bool sound = verdict.strict && verdict.neither.empty();
  const bool journal = fs.Exists(kRestore);
  Contents seen;
  if (sound) seen = ContentsOf(fs.Get(kArchive));
  if (!sound) {
    // Torn records, and only records that the command changes and that lie
    // across a sector boundary.
    ++tally.torn;
    for (const std::uint32_t pos : verdict.neither) {
      EXPECT_TRUE(Across(pos, sector) && std::count(sides.changed.begin(), sides.changed.end(), pos) == 1)
          << "the entry whose record is at " << pos << " is neither old nor new";
    }
    EXPECT_FALSE(verdict.neither.empty()) << "the archive does not read, and no record is torn";
    if (journal && LoadPoint(fs, kRestore).state == RestoreState::kUpdating) {
      const std::string listing = ListOutput(fs);
      EXPECT_NE(listing.find("with a table record half written"), std::string::npos) << listing;
      ReadersNameTheTornEntry(fs, sides);
    }
    if (!journal) return;  // -norestore keeps no way back: FORMATS.md says so
  }

  Settlement settled;
  const Status recovered = RecoverArchive(fs, kArchive, &settled);
  ASSERT_TRUE(recovered.ok()) << Why(recovered);
  for (const std::string& name : fs.Names()) {
    EXPECT_TRUE(name == kArchive || name == kRestore || name == kStadium) << name << " left behind";
  }
  const bool still_restoring = fs.Exists(kRestore) && LoadPoint(fs, kRestore).state == RestoreState::kRestoring;
  if (sound) {
    EXPECT_TRUE(ContentsOf(fs.Get(kArchive)) == seen) << "the next writer changed what readers saw";
  } else if (!still_restoring) {
    EXPECT_TRUE(settled.torn) << "a torn record was not reported";
    EXPECT_TRUE(ContentsOf(fs.Get(kArchive)) == sides.old_contents);
  }
  if (sc.kind == Kind::kPut && journal && !still_restoring) {
    const Bytes now = fs.Get(kArchive);
    EXPECT_TRUE(now == sides.old_archive || now == sides.new_archive) << "neither the old nor the new archive";
  }
  if (fs.Exists(kRestore)) {
    const Status restored = RestoreOriginal(fs);
    ASSERT_TRUE(restored.ok()) << Why(restored);
  }
  if (sc.kind == Kind::kRestoreOriginal || sc.kind == Kind::kRestoreEntries || (sc.kind == Kind::kPut && journal)) {
    EXPECT_TRUE(fs.Get(kArchive) == original) << "-restore did not give the original back";
  }
}

TEST(CrashTest, EveryPowerLossOfEveryCommandLeavesOldOrNew) {
  const Bytes original = Original();
  const Bytes stadium = Random(20000, 99);
  for (const Scenario& sc : Scenarios()) {
    MemoryFileSystem before;
    before.Put(kArchive, original);
    before.Put(kStadium, stadium);
    for (const Step& step : sc.before) ASSERT_TRUE(step(before).ok()) << sc.label;
    MemoryFileSystem after = before.Copy();
    const Status clean = sc.act(after);
    ASSERT_TRUE(clean.ok()) << sc.label << ": " << Why(clean);

    const Sides sides(before.Get(kArchive), sc.kind == Kind::kRestoreOriginal ? original : after.Get(kArchive));
    CrashFileSystem::Disk disk;
    for (const std::string& name : before.Names()) disk[name] = before.Get(name);
    Tally tally;
    int calls = 0;
    // The last stop lets the command run to its end: the power goes right
    // after it, with whatever it left unflushed.
    for (int stop = 0; calls == 0; ++stop) {
      CrashFileSystem crash(disk, stop);
      (void)sc.act(crash);
      if (!crash.stopped()) calls = crash.calls();
      for (const std::size_t sector : {std::size_t{512}, std::size_t{4096}}) {
        unsigned seed = static_cast<unsigned>(stop * 7919 + static_cast<int>(sector));
        for (const auto& state : crash.States(sector, seed)) {
          SCOPED_TRACE(std::string(sc.label) + ", power lost at call " + std::to_string(stop) + ", sectors of " +
                       std::to_string(sector));
          CheckState(sc, state, before, after, sides, original, sector, tally);
          if (HasFatalFailure()) return;
        }
      }
    }
    std::printf("%s: %d calls, %d crash states checked, %d with a torn record\n", sc.label, calls, tally.states,
                tally.torn);
    EXPECT_GT(tally.states, calls);
  }
}

}  // namespace
}  // namespace gfxpak
