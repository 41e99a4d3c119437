// Every change that -p (add, replace, table growth, a new archive), -restore
// and -compact make is failed in turn: gfxpak killed there, the disk full
// from there on, or that one write failing. After each, the archive is as it
// was or the complete new state (a kill's leftovers undone by the next
// writer), a failure says when its undo failed too, an interrupted -restore
// blocks imports until it is run again, and -restore gives the original.
// The same faults in -compress, -d and -x leave the player's file whole: as
// it was, or as the command makes it.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include "archive_ops.h"
#include "cli.h"
#include "command_steps.h"
#include "file_meta.h"
#include "restore_checks.h"
#include "restore_point.h"
#include "temp_names.h"
#include "sha256.h"
#include "test_support.h"

namespace gfxpak {
namespace {

using namespace steps;

const std::string kRestore = RestorePathFor(kArchive);

// Built by appending: gcc 12 warns falsely on chained string additions.
std::string Joined(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& part : parts) out += part;
  return out;
}

// Dense: the data starts right after the table, so an add must move data.
Bytes Original() {
  MemoryStorage storage(ArchiveOf("data\\stadium_0.o", Random(3000, 1)));
  for (unsigned i = 1; i < 6; ++i) {
    EXPECT_TRUE(PutEntry(storage, Joined({"data\\stadium_", std::to_string(i), ".o"}), Random(500 + 700 * i, i + 1), {}).ok());
  }
  MemoryStorage dense;
  EXPECT_TRUE(CompactArchive(storage, dense).ok());
  return dense.bytes();
}

// What the command does: put an entry, restore the original, restore some
// entries, compact.
enum class Kind { kPut, kRestoreOriginal, kRestoreEntries, kCompact };

struct Scenario {
  const char* label;
  Kind kind;
  std::vector<Step> before;  // run without faults first
  Step act;
  bool archive_exists = true;
};

std::vector<Scenario> Scenarios() {
  const std::string long_name = "a_new_stadium_with_a_long_name.o";
  return {
      {"-p replace, first import", Kind::kPut, {}, Put("stadium_3.o", 10, 2500)},
      {"-p add with table growth, first import", Kind::kPut, {}, Put(long_name, 11, 1800)},
      {"-p replace, restore point there", Kind::kPut, {Put(long_name, 12, 900)}, Put("stadium_2.o", 13, 4000)},
      {"-p replace into dead space, restore point there",
       Kind::kPut,
       {Put("stadium_4.o", 14, 5000), Put("stadium_4.o", 15, 6000)},
       Put("stadium_5.o", 16, 4000)},
      // Replacing the first entry frees the space after the table.
      {"-p add into room, restore point there", Kind::kPut, {Put("stadium_0.o", 17, 4000)}, Put("new.o", 18, 700)},
      {"-p add with table growth, restore point there",
       Kind::kPut,
       {Put("stadium_1.o", 19, 300)},
       Put(long_name, 20, 2000)},
      {"-p -norestore replace", Kind::kPut, {}, Put("stadium_1.o", 21, 3000, MakeRestorePoint::kNo)},
      {"-p -norestore add with table growth", Kind::kPut, {}, Put(long_name, 22, 1000, MakeRestorePoint::kNo)},
      {"-p into a missing archive", Kind::kPut, {}, Put("first.o", 23, 1500), false},
      {"-restore", Kind::kRestoreOriginal, {Put(long_name, 24, 900), Put("stadium_3.o", 25, 700), Put("x.h", 26, 300)}, RestoreOriginal},
      {"-restore NAME of a replaced entry", Kind::kRestoreEntries, {Put("stadium_3.o", 30, 900), Put("stadium_2.o", 31, 700)},
       RestoreNamed({"stadium_3.o"})},
      // The table grew over the first entry's original bytes.
      {"-restore NAME of a replaced entry whose bytes the table took",
       Kind::kRestoreEntries,
       {Put(long_name, 32, 500), Put("stadium_0.o", 33, 800)},
       RestoreNamed({"stadium_0.o"})},
      {"-restore NAME of the last added entry", Kind::kRestoreEntries, {Put("stadium_1.o", 34, 600), Put("new_a.o", 35, 400)},
       RestoreNamed({"new_a.o"})},
      {"-restore NAME of an added entry before another",
       Kind::kRestoreEntries,
       {Put("stadium_1.o", 36, 600), Put("new_a.o", 37, 400), Put("new_b.h", 38, 300)},
       RestoreNamed({"new_a.o"})},
      // Several names are one update: in place, or on one copy.
      {"-restore NAME of every change", Kind::kRestoreEntries, {Put("new_a.o", 39, 400), Put("stadium_4.o", 40, 900)},
       RestoreNamed({"new_a.o", "stadium_4.o"})},
      {"-restore NAME of replaced entries and of an added entry before another",
       Kind::kRestoreEntries,
       {Put("stadium_0.o", 41, 600), Put("new_a.o", 42, 400), Put("new_b.h", 43, 300), Put("stadium_2.o", 44, 700)},
       RestoreNamed({"stadium_2.o", "new_a.o", "stadium_0.o"})},
      {"-compact -force", Kind::kCompact, {Put("stadium_2.o", 27, 900), Put(long_name, 28, 400)}, Compact(Force::kYes)},
      {"-compact", Kind::kCompact, {Put("stadium_2.o", 29, 900, MakeRestorePoint::kNo)}, Compact(Force::kNo)},
  };
}

std::string Hash(const Bytes& b) { return ToHex(Sha256Of(b)); }

// What a reader sees: the names and contents of the entries, in order.
std::vector<std::pair<std::string, Bytes>> Contents(const Bytes& bytes) {
  MemoryStorage storage(bytes);
  Archive a;
  std::vector<std::pair<std::string, Bytes>> out;
  if (!ReadArchive(storage, a).ok()) return out;
  for (const Entry& e : a.entries) {
    Bytes data;
    EXPECT_TRUE(ReadEntry(storage, e, data).ok());
    out.emplace_back(e.name, std::move(data));
  }
  return out;
}

// Whether every entry of now holds what it holds in before or in after
// (one that is in neither, or in only one of them, may be missing).
bool EachOldOrNew(const std::vector<std::pair<std::string, Bytes>>& now,
                  const std::vector<std::pair<std::string, Bytes>>& before,
                  const std::vector<std::pair<std::string, Bytes>>& after) {
  const auto holds = [](const auto& side, const std::pair<std::string, Bytes>& entry) {
    return std::find(side.begin(), side.end(), entry) != side.end();
  };
  return std::all_of(now.begin(), now.end(), [&](const auto& e) { return holds(before, e) || holds(after, e); });
}

// The state after one faulty run, and after the next gfxpak has run.
void Check(MemoryFileSystem& fs, const Scenario& sc, const Status& status, Fault fault, MemoryFileSystem& before,
           MemoryFileSystem& after, const Bytes& original) {
  const Bytes old_archive = before.Get(kArchive);
  const Bytes new_archive = after.Get(kArchive);
  if (fs.Exists(kArchive)) {
    MemoryStorage reread(fs.Get(kArchive));
    Archive a;
    const Status valid = ReadArchive(reread, a);
    EXPECT_TRUE(valid.ok()) << "the archive does not read back: " << Why(valid);
  }
  const bool journal = before.Exists(kRestore) || after.Exists(kRestore) || fs.Exists(kRestore);
  if (!status.ok() && (status.error().undo_code || status.error().restore_point_kept)) {
    EXPECT_EQ(status.error().restore_point_kept, journal) << Why(status);
    if (journal) {
      EXPECT_TRUE(fs.Exists(kRestore)) << "a failed undo lost the restore point";
    }
  } else if (!status.ok() && fault != Fault::kKill && !status.error().part_way) {
    // Only a whole restore (one that a restore by name ends with among
    // them) cannot be undone once it writes, and says so.
    // Undone at once, byte for byte, and no restore point made for nothing.
    EXPECT_EQ(fs.Get(kArchive), old_archive) << Why(status);
    EXPECT_EQ(fs.Exists(kRestore), before.Exists(kRestore)) << Why(status);
  } else if (status.ok() && fault != Fault::kKill) {
    EXPECT_EQ(fs.Get(kArchive), new_archive) << "a success with another result";
  }

  // What readers see now is what the next writer keeps: an update that
  // became visible is finished, any other taken back.
  const auto seen = Contents(fs.Get(kArchive));
  const bool visible = seen != Contents(old_archive);
  const bool all_visible = seen == Contents(new_archive);
  const bool updating = fs.Exists(kRestore) && LoadPoint(fs, kRestore).state == RestoreState::kUpdating;
  if (updating) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCommandLine({"-l", kArchive}, out, err, fs), 0) << err.str();
    EXPECT_NE(out.str().find(!visible      ? "was cut short before readers could see it: the next gfxpak command on "
                                             "the archive takes it back"
                             : all_visible ? "was cut short after readers could see it: the next gfxpak command on the "
                                             "archive records it as done"
                                           : "was cut short after readers could see part of it: the next gfxpak "
                                             "command on the archive writes the rest"),
              std::string::npos)
        << out.str();
  }
  Settlement settled;
  const Status recovered = RecoverArchive(fs, kArchive, &settled);
  ASSERT_TRUE(recovered.ok()) << Why(recovered);
  // Part of a restore of several entries that readers saw is finished, the
  // way the player asked; nothing they saw is taken back.
  const bool completed = settled.outcome == Settlement::Outcome::kCompleted;
  EXPECT_TRUE(Contents(fs.Get(kArchive)) == (completed ? Contents(new_archive) : seen))
      << "the next writer changed what readers saw";
  if (updating) {
    EXPECT_EQ(completed, visible && !all_visible);
  }
  if (settled.outcome != Settlement::Outcome::kNone) {
    EXPECT_EQ(settled.outcome == Settlement::Outcome::kFinished || completed, visible);
  }
  for (const std::string& name : fs.Names()) {
    EXPECT_TRUE(name == kArchive || name == kRestore) << name << " left behind";
  }
  if (fs.Exists(kRestore) && LoadPoint(fs, kRestore).state == RestoreState::kRestoring) {
    // An interrupted restore is finished, never built on.
    EXPECT_TRUE(sc.kind == Kind::kRestoreOriginal || sc.kind == Kind::kRestoreEntries);
    const Bytes held = fs.Get(kArchive);
    const Status put = PutIntoArchive(fs, kArchive, "more.o", Bytes(50, 3), MakeRestorePoint::kYes);
    EXPECT_EQ(put.code(), Errc::kRestoreUnfinished);
    EXPECT_EQ(Why(put), "zdata.big: an earlier -restore did not finish; part way back: run gfxpak -restore zdata.big again");
    EXPECT_EQ(Compact(Force::kYes)(fs).code(), Errc::kRestoreUnfinished);
    EXPECT_EQ(fs.Get(kArchive), held);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCommandLine({"-l", kArchive}, out, err, fs), 0) << err.str();
    EXPECT_NE(out.str().find("; an earlier -restore did not finish; part way back: run gfxpak -restore zdata.big again"), std::string::npos)
        << out.str();
  } else if (!journal) {
    // Without a restore point a kill, or an undo that failed, can leave
    // moved entries and unused bytes behind; a reader still sees one state.
    const auto now = Contents(fs.Get(kArchive));
    EXPECT_TRUE(now == Contents(old_archive) || now == Contents(new_archive)) << "neither the old nor the new entries";
  } else if (sc.kind == Kind::kRestoreEntries) {
    // The names are one update, and when it leaves nothing but original
    // entries the whole restore follows as a second: between the two, the
    // entries are the new ones and the bytes between them are not yet.
    EXPECT_TRUE(EachOldOrNew(Contents(fs.Get(kArchive)), Contents(old_archive), Contents(new_archive)))
        << "an entry is neither old nor new";
  } else {
    const Bytes now = fs.Get(kArchive);
    EXPECT_TRUE(now == old_archive || now == new_archive) << "neither the old nor the new archive";
    if (fs.Exists(kRestore)) {
      MemoryStorage archive(now);
      const Status matches = CheckFingerprint(archive, LoadPoint(fs, kRestore));
      EXPECT_TRUE(matches.ok()) << Why(matches);
    }
  }
  if (fs.Exists(kRestore)) {
    const Status restored = RestoreOriginal(fs);
    ASSERT_TRUE(restored.ok()) << Why(restored);
    EXPECT_EQ(Hash(fs.Get(kArchive)), Hash(original));
  }
}

TEST(FaultTest, EveryWriteOfEveryCommandFailsSafely) {
  const Bytes original = Original();
  for (const Scenario& sc : Scenarios()) {
    MemoryFileSystem before;
    if (sc.archive_exists) before.Put(kArchive, original);
    for (const Step& step : sc.before) ASSERT_TRUE(step(before).ok()) << sc.label;
    MemoryFileSystem after = before.Copy();
    const Status clean = sc.act(after);
    ASSERT_TRUE(clean.ok()) << sc.label << ": " << Why(clean);
    ASSERT_NE(after.Get(kArchive), before.Get(kArchive)) << sc.label;

    std::string counts;
    for (Fault fault : {Fault::kKill, Fault::kNoSpace, Fault::kOneWrite}) {
      int runs = 0;
      for (int at = 0;; ++at) {
        SCOPED_TRACE(Joined({sc.label, ", ", FaultName(fault), " at change ", std::to_string(at)}));
        MemoryFileSystem fs = before.Copy();
        FaultyFileSystem faulty(fs, fault, at);
        const Status status = sc.act(faulty);
        if (!faulty.struck()) {
          // Past the last change: the command ran to its end.
          EXPECT_TRUE(status.ok()) << Why(status);
          EXPECT_EQ(fs.Get(kArchive), after.Get(kArchive));
          break;
        }
        ++runs;
        // A copy that fails is named, not the archive it was to replace.
        if (!status.ok() && sc.archive_exists && faulty.struck_file() == TempPathFor(kArchive) &&
            fault != Fault::kKill) {
          EXPECT_EQ(status.error().path, TempPathFor(kArchive)) << Why(status);
        }
        Check(fs, sc, status, fault, before, after, original);
        if (HasFatalFailure() || at > 200) break;
      }
      EXPECT_GT(runs, 0) << sc.label << ", " << FaultName(fault);
      counts += ' ';
      counts += std::to_string(runs);
    }
    std::printf("%s: faults at%s places (kill, no space, one write)\n", sc.label, counts.c_str());
  }
}

}  // namespace
}  // namespace gfxpak

namespace gfxpak {
namespace {

struct FileCommand {
  const char* label;
  std::vector<std::string> args;
  std::string output;
};

TEST(FaultTest, FileCommandsKeepThePlayersFileWhole) {
  MemoryFileSystem before;
  before.Put(kArchive, Original());
  before.Put("bern_x.o", Random(30000, 40));
  before.Put("packed.o", Bytes());
  before.Put("old_out.o", Bytes(500, 7));
  {
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunCommandLine({"-compress", "-real", "bern_x.o", "packed.o"}, out, err, before), 0) << err.str();
  }
  const std::vector<FileCommand> commands = {
      {"-compress IN IN", {"-compress", "-real", "bern_x.o", "bern_x.o"}, "bern_x.o"},
      {"-compress IN OUT over a file", {"-compress", "-real", "bern_x.o", "old_out.o"}, "old_out.o"},
      {"-d IN OUT over a file", {"-d", "packed.o", "old_out.o"}, "old_out.o"},
      {"-x ARCHIVE NAME OUT", {"-x", kArchive, "stadium_2.o", "old_out.o"}, "old_out.o"},
  };
  for (const FileCommand& command : commands) {
    MemoryFileSystem after = before.Copy();
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunCommandLine(command.args, out, err, after), 0) << command.label << ": " << err.str();
    ASSERT_NE(after.Get(command.output), before.Get(command.output)) << command.label;
    for (Fault fault : {Fault::kKill, Fault::kNoSpace}) {
      int runs = 0;
      for (int at = 0;; ++at) {
        SCOPED_TRACE(Joined({command.label, ", ", FaultName(fault), " at change ", std::to_string(at)}));
        MemoryFileSystem fs = before.Copy();
        FaultyFileSystem faulty(fs, fault, at);
        const int code = RunCommandLine(command.args, out, err, faulty);
        if (!faulty.struck()) break;
        ++runs;
        EXPECT_NE(code, 0);
        for (const std::string& name : before.Names()) {
          if (name == command.output) {
            EXPECT_TRUE(fs.Get(name) == before.Get(name) || fs.Get(name) == after.Get(name)) << name << " is neither";
          } else {
            EXPECT_EQ(fs.Get(name), before.Get(name)) << name << " changed";
          }
        }
        for (const std::string& name : fs.Names()) {
          // A killed command cannot clear its temporary file; nothing else may.
          if (!before.Exists(name)) {
            EXPECT_TRUE(fault == Fault::kKill && IsTemporaryPath(name)) << name << " left";
          }
        }
        if (HasFatalFailure() || at > 50) break;
      }
      EXPECT_GT(runs, 0) << command.label << ", " << FaultName(fault);
    }
  }
}

// A copy that would replace the archive is begun only where the drive
// holds it: with less room, the command says how much it needs, exits as
// for a full disk, and writes nothing.
TEST(FaultTest, ACopyTheDriveCannotHoldIsNotBegun) {
  MemoryFileSystem before;
  before.Put(kArchive, Original());
  ASSERT_TRUE(Put("new_a.o", 60, 400)(before).ok());
  ASSERT_TRUE(Put("new_b.o", 61, 300)(before).ok());
  const std::vector<std::vector<std::string>> commands = {{"-restore", kArchive, "new_a.o"},
                                                          {"-compact", "-force", kArchive}};
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args[1]);
    MemoryFileSystem fs = before.Copy();
    fs.free_space = fs.Get(kArchive).size() / 2;
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunCommandLine(args, out, err, fs), 5) << err.str();
    EXPECT_NE(err.str().find("zdata.big: cannot copy it: " + ErrorText(DiskFull())), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(" free; it is as it was"), std::string::npos) << err.str();
    EXPECT_EQ(fs.Names(), before.Names());
    for (const std::string& name : before.Names()) EXPECT_EQ(fs.Get(name), before.Get(name)) << name;
    fs.free_space = fs.Get(kArchive).size() * 2;
    EXPECT_EQ(RunCommandLine(args, out, err, fs), 0) << err.str();
  }
}

// The next command tells the player what it did with an import that a kill
// cut short, naming the entry, on stderr beside its own result.
TEST(FaultTest, TheNextCommandSaysWhatItSettled) {
  MemoryFileSystem before;
  before.Put(kArchive, Original());
  before.Put("new_stadium.o", Random(900, 50));
  before.Put("other.o", Random(300, 51));
  std::set<std::string> said;
  for (int at = 0;; ++at) {
    SCOPED_TRACE(Joined({"killed at change ", std::to_string(at)}));
    MemoryFileSystem fs = before.Copy();
    std::ostringstream out;
    std::ostringstream err;
    {
      FaultyFileSystem faulty(fs, Fault::kKill, at);
      RunCommandLine({"-p", kArchive, "new_stadium.o"}, out, err, faulty);
      if (!faulty.struck()) break;
    }
    if (!fs.Exists(kRestore) || LoadPoint(fs, kRestore).state != RestoreState::kUpdating) continue;
    const bool visible = Contents(fs.Get(kArchive)) != Contents(before.Get(kArchive));
    std::ostringstream next_out;
    std::ostringstream next_err;
    EXPECT_EQ(RunCommandLine({"-p", kArchive, "other.o"}, next_out, next_err, fs), 0) << next_err.str();
    const std::string expected =
        visible ? "gfxpak: zdata.big: an update of \"new_stadium.o\" had been cut short after readers could see it; "
                  "it is now recorded as done\n"
                : "gfxpak: zdata.big: an update of \"new_stadium.o\" had been cut short before readers could see it; "
                  "it is taken back\n";
    EXPECT_EQ(next_err.str(), expected);
    said.insert(next_err.str());
  }
  EXPECT_EQ(said.size(), 2u) << "both outcomes are met";
}

}  // namespace
}  // namespace gfxpak

namespace gfxpak {
namespace {

// A program that holds a file for a moment (a scanner, an indexer, a sync
// client): the chosen calls on the chosen files are refused as in use, the
// first times or always.
class HeldFileSystem : public FileSystem {
 public:
  enum class Call { kOpen, kRename, kRemove };
  HeldFileSystem(FileSystem& inner, Call call, std::function<bool(const std::string&)> held, int refusals)
      : inner_(inner), call_(call), held_(std::move(held)), refusals_(refusals) {}

  std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) override {
    if (Refuses(Call::kOpen, path)) return Errc::kInUse;
    return inner_.Open(path, mode, file);
  }
  bool Exists(const std::string& path) override { return inner_.Exists(path); }
  std::error_code Remove(const std::string& path) override {
    if (Refuses(Call::kRemove, path)) return Errc::kInUse;
    return inner_.Remove(path);
  }
  std::error_code Rename(const std::string& from, const std::string& to) override {
    if (Refuses(Call::kRename, from) || Refuses(Call::kRename, to)) return Errc::kInUse;
    return inner_.Rename(from, to);
  }
  std::error_code Lock(const std::string& path, FileLock& lock) override { return inner_.Lock(path, lock); }
  bool Same(const std::string& a, const std::string& b) override { return inner_.Same(a, b); }

 private:
  bool Refuses(Call call, const std::string& path) {
    if (call != call_ || !held_(path) || refusals_ == 0) return false;
    if (refusals_ > 0) --refusals_;
    return true;
  }

  FileSystem& inner_;
  Call call_;
  std::function<bool(const std::string&)> held_;
  int refusals_;  // below 0: always
};

// A hold that ends soon is waited out, on every kind of call; one that lasts
// is reported as in use (exit 3) once the wait is spent, and a wait of 0
// tries once. Either way the archive is the unhindered result or as it was.
TEST(FaultTest, AFileHeldForAMomentIsWaitedOut) {
  using Call = HeldFileSystem::Call;
  const auto is = [](std::string name) { return [name](const std::string& path) { return path == name; }; };
  const struct {
    const char* label;
    std::vector<std::string> args;
    Call call;
    std::function<bool(const std::string&)> held;
    int refusals;
    std::chrono::milliseconds wait;
    int code;
    std::chrono::milliseconds paused;
  } cases[] = {
      {"-p, the archive opened", {"-p", kArchive, "bern_x.o"}, Call::kOpen, is(kArchive), 3, kHoldWait, 0,
       std::chrono::milliseconds(10 + 20 + 40)},
      {"-p, the stadium file opened", {"-p", kArchive, "bern_x.o"}, Call::kOpen, is("bern_x.o"), 1, kHoldWait, 0,
       std::chrono::milliseconds(10)},
      {"-compress, its temporary file renamed over the stadium file", {"-compress", "-real", "bern_x.o", "bern_x.o"},
       Call::kRename, is("bern_x.o"), 5, kHoldWait, 0, std::chrono::milliseconds(10 + 20 + 40 + 80 + 160)},
      {"-restore, its restore point removed", {"-restore", kArchive}, Call::kRemove, is(kRestore), 2, kHoldWait, 0,
       std::chrono::milliseconds(10 + 20)},
      {"-p, the archive held by the game", {"-p", kArchive, "bern_x.o"}, Call::kOpen, is(kArchive), -1, kHoldWait, 3,
       kHoldWait},
      {"-p, the game's archive with no wait", {"-p", kArchive, "bern_x.o"}, Call::kOpen, is(kArchive), -1,
       std::chrono::milliseconds(0), 3, std::chrono::milliseconds(0)},
  };
  MemoryFileSystem before;
  before.Put(kArchive, Original());
  before.Put("bern_x.o", Random(20000, 60));
  std::ostringstream ignored;
  ASSERT_EQ(RunCommandLine({"-p", kArchive, "bern_x.o"}, ignored, ignored, before), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    MemoryFileSystem unhindered = before.Copy();
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunCommandLine(c.args, out, err, unhindered), 0) << err.str();

    MemoryFileSystem fs = before.Copy();
    HeldFileSystem held(fs, c.call, c.held, c.refusals);
    std::chrono::milliseconds paused{0};
    PatientFileSystem patient(held, c.wait, [&paused](std::chrono::milliseconds p) { paused += p; });
    std::ostringstream held_err;
    EXPECT_EQ(RunCommandLine(c.args, out, held_err, patient), c.code) << held_err.str();
    EXPECT_EQ(paused.count(), c.paused.count());
    const MemoryFileSystem& expected = c.code == 0 ? unhindered : before;
    EXPECT_EQ(fs.Names(), expected.Names());
    for (const std::string& name : expected.Names()) EXPECT_EQ(fs.Get(name), expected.Get(name)) << name;
    if (c.code != 0) {
      EXPECT_EQ(held_err.str(), "gfxpak: zdata.big: archive is in use\n");
    }
  }
}

}  // namespace
}  // namespace gfxpak
