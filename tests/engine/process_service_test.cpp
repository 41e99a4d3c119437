// The real process service, with the stand-in packer as the child.
#include "command_line.h"
#include "import_run.h"
#include "process_runner.h"

#include "fake_window.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

class RealProcess : public ::testing::Test {
 protected:
  RealProcess() { Behave(); }
  ~RealProcess() override {
    for (const char* name : {"FAKE_GFXPAK_LOG", "FAKE_GFXPAK_SLEEP_MS", "FAKE_GFXPAK_ACTION", "FAKE_GFXPAK_WHEN",
                             "FAKE_GFXPAK_FOLDERS", "FAKE_GFXPAK_STAMP", "FAKE_GFXPAK_STDERR",
                             "FAKE_GFXPAK_STDERR_REPEAT"}) {
      SetEnv(name, "");
    }
  }
  void Behave(const std::string& action = "", const std::string& when = "", int sleep_ms = 0) {
    SetEnv("FAKE_GFXPAK_LOG", log);
    SetEnv("FAKE_GFXPAK_ACTION", action);
    SetEnv("FAKE_GFXPAK_WHEN", when);
    SetEnv("FAKE_GFXPAK_SLEEP_MS", sleep_ms ? std::to_string(sleep_ms) : "");
  }
  ShellResult Shell(const std::string& arguments, const std::string& folder = "") {
    return ShellStop(QuoteArgument(StandIn()) + " " + arguments, std::int16_t{0}, form, window, processes, folder);
  }
  // The folders the stand-in ran in, one per run.
  std::vector<std::string> Folders() const { return ReadLines(folders); }

  TempDir dir;
  std::string log = dir.Sub("argv.log");
  std::string folders = dir.Sub("folders.log");
  FormState form;
  FakeWindow window;
  SystemProcesses processes;
};

TEST_F(RealProcess, ArgumentsArriveAsTheyWereQuoted) {
  const std::vector<std::string> arguments = {
      "bern_xyz.o", "a b.o", "a\tb", "a\"b", "\"", "", "a\\", "a\\\\", "a\\ b\\", "a\\\"b", "c:\\x y\\",
      "\xc3\xa4_\xc3\xb6.o", "\xe6\x97\xa5\xe6\x9c\xac_x.h", "x\\\\\"y z"};
  std::string line;
  for (const std::string& a : arguments) {
    if (!line.empty()) line += ' ';
    line += QuoteArgument(a);
  }
  const ShellResult result = Shell(line);
  ASSERT_FALSE(result.error) << SystemErrorText(result.error);
  std::vector<std::string> expected = arguments;
  expected.push_back(".");
  EXPECT_EQ(ReadLines(log), expected);
  // The two spaces of the compress command separate, they are not an argument.
  Shell("-compress -real a_b.o  a_b.o");
  expected.insert(expected.end(), {"-compress", "-real", "a_b.o", "a_b.o", "."});
  EXPECT_EQ(ReadLines(log), expected);
}

TEST_F(RealProcess, ExitStatusAndTheEndOfTheWait) {
  struct Case {
    const char* action;
    bool crashed;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"", false, 0},
      {"exit:3", false, 3},
#ifdef _WIN32
      {"exit:259", false, 259},  // STILL_ACTIVE's value, yet the process has ended
      {"crash", true, 0xC0000005u},
#else
      {"exit:259", false, 259 & 0xFF},
      {"crash", true, 11},
#endif
  };
  const std::string stamps = dir.Sub("stamps.log");
  SetEnv("FAKE_GFXPAK_STAMP", stamps);
  for (const Case& c : cases) {
    std::filesystem::remove(U8Path(log));
    std::filesystem::remove(U8Path(stamps));
    Behave(c.action, "", 300);
    window.events = 0;
    const ShellResult result = Shell("-p zdata_05.big a_b.o");
    const auto returned = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    ASSERT_FALSE(result.error) << c.action;
    EXPECT_EQ(result.exit.crashed, c.crashed) << c.action;
    EXPECT_EQ(result.exit.code, c.code) << c.action;
    // Returned only after the child had done its work and was about to end
    // (the stand-in stamps the machine's steady clock as its last act)...
    EXPECT_EQ(ReadLines(log).size(), 4u) << c.action;
    const std::vector<std::string> stamp = ReadLines(stamps);
    ASSERT_EQ(stamp.size(), 1u) << c.action;
    EXPECT_GE(returned.count(), std::stoll(stamp[0])) << c.action;
    // ...and blocked rather than spun while it slept.
    EXPECT_LE(window.events, 4) << c.action;
    EXPECT_GE(window.events, 1) << c.action;
  }
}

// A failed command's words are kept, also when it writes far more than a
// pipe holds (through a pipe that nobody reads the wait would never end);
// those of a command that succeeded are not read at all.
TEST_F(RealProcess, TheErrorOutputOfAFailedCommand) {
  const std::string line = "gfxpak: zdata_05.big: archive is in use";
  struct Case {
    const char* action;
    int repeat;
    std::string kept;
  };
  std::string flood;
  while (flood.size() < kErrorOutputLimit) flood += line + "\n";
  const Case cases[] = {
      {"exit:3", 1, line + "\n"},
      {"exit:1", 50000, flood},  // 2 MB
      {"exit:0", 1, ""},
  };
  SetEnv("FAKE_GFXPAK_STDERR", line);
  for (const Case& c : cases) {
    SetEnv("FAKE_GFXPAK_STDERR_REPEAT", std::to_string(c.repeat));
    Behave(c.action);
    const ShellResult result = Shell("-p zdata_05.big a_b.o");
    ASSERT_FALSE(result.error) << c.action;
    std::string kept = result.errors;
    // The Windows runtime writes its line ends as CR LF.
    kept.erase(std::remove(kept.begin(), kept.end(), '\r'), kept.end());
    if (c.repeat > 1) {
      // Cut at the limit, wherever that falls.
      EXPECT_EQ(result.errors.size(), kErrorOutputLimit);
      EXPECT_EQ(kept, c.kept.substr(0, kept.size())) << c.action;
    } else {
      EXPECT_EQ(kept, c.kept) << c.action;
    }
  }
}

TEST_F(RealProcess, ProgramThatDoesNotExist) {
  const ShellResult result =
      ShellStop(QuoteArgument(dir.Sub("no_such_packer")) + " -p x y", std::int16_t{0}, form, window, processes, "");
  EXPECT_TRUE(result.error);
  EXPECT_TRUE(window.log.empty());
}

TEST_F(RealProcess, ImportRunWithTheStandIn) {
  const std::string data = dir.Sub("data");
  std::filesystem::create_directory(U8Path(data));
  for (const char* name : {"bern_1.o", "bern a.h", "bern_\xc3\xa4.o", "note_1.txt"}) {
    std::ofstream(U8Path(JoinPath(data, name))) << "x";
  }
  Behave("exit:1", "-p|bern a.h");
  SetEnv("FAKE_GFXPAK_STDERR", "gfxpak: zdata_06.big: refused for this test");
  SetEnv("FAKE_GFXPAK_FOLDERS", folders);
  window.files = {"bern a.h", "bern_1.o", "bern_\xc3\xa4.o", "note_1.txt"};
  inizia_Click(form, window, ImportContext{dir.Str(), processes, StandIn()});
  // Every command ran in the data folder, though this process's current
  // folder is elsewhere: the bare names it was given are found there.
  const std::vector<std::string> ran_in = Folders();
  ASSERT_EQ(ran_in.size(), 6u);
  for (const std::string& folder : ran_in) {
    EXPECT_TRUE(std::filesystem::equivalent(U8Path(folder), U8Path(data))) << folder;
  }
  EXPECT_EQ(ReadLines(log), (std::vector<std::string>{
                                "-compress", "-real", "bern a.h", "bern a.h", ".",
                                "-p", "zdata_06.big", "bern a.h", ".",
                                "-compress", "-real", "bern_1.o", "bern_1.o", ".",
                                "-p", "zdata_05.big", "bern_1.o", ".",
                                "-compress", "-real", "bern_\xc3\xa4.o", "bern_\xc3\xa4.o", ".",
                                "-p", "zdata_05.big", "bern_\xc3\xa4.o", ".",
                            }));
  EXPECT_TRUE(std::filesystem::exists(U8Path(JoinPath(data, "bern a.h"))));
  EXPECT_FALSE(std::filesystem::exists(U8Path(JoinPath(data, "bern_1.o"))));
  EXPECT_FALSE(std::filesystem::exists(U8Path(JoinPath(data, "bern_\xc3\xa4.o"))));
  // The packer's own line reaches the one message.
  ASSERT_EQ(std::count_if(window.log.begin(), window.log.end(),
                          [](const std::string& line) { return line.rfind("error ", 0) == 0; }),
            1);
  const std::string report = *std::find_if(window.log.begin(), window.log.end(),
                                            [](const std::string& line) { return line.rfind("error ", 0) == 0; });
  EXPECT_NE(report.find("\ngfxpak failed on bern a.h:\nzdata_06.big: refused for this test"), std::string::npos)
      << report;
}

#ifdef _WIN32
// The tool starts gfxpak by its bare name; Windows finds it beside the
// program even when the current folder is elsewhere.
TEST_F(RealProcess, BareNameIsFoundBesideTheProgram) {
  const std::string before = PathU8(std::filesystem::current_path());
  ASSERT_FALSE(ChangeCurrentFolder(dir.Str()));
  const ShellResult result = ShellStop("fake_gfxpak -p x y", std::int16_t{0}, form, window, processes, "");
  ChangeCurrentFolder(before);
  ASSERT_FALSE(result.error) << SystemErrorText(result.error);
  EXPECT_EQ(ReadLines(log), (std::vector<std::string>{"-p", "x", "y", "."}));
}

// Input for the window ends a blocked pass at once, so the window keeps
// being served while the packer runs; without input the runner sleeps.
TEST_F(RealProcess, WindowInputWakesTheWait) {
  Behave("", "", 500);
  int seen = 0;
  window.on_events = [&] {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) seen += msg.message == WM_APP;
    if (window.events == 1) PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
  };
  const ShellResult result = Shell("-p x y");
  ASSERT_FALSE(result.error);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(window.events, 3);
}
#endif

}  // namespace
