#include "import_run.h"

#include "fake_window.h"
#include "file_list.h"
#include "indicators.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// The fake window with a real file list behind File1, as the real window has.
class FolderWindow : public FakeWindow {
 public:
  FileList list;
  std::error_code SetFileListFolder(std::string_view folder) override {
    FakeWindow::SetFileListFolder(folder);
    return list.SetFolder(std::string(folder));
  }
  std::error_code SetFileListPattern(std::string_view pattern) override {
    FakeWindow::SetFileListPattern(pattern);
    return list.SetPattern(std::string(pattern));
  }
  std::int32_t FileListCount() override { return list.Count(); }
  std::string FileListEntry(std::int32_t index) override { return list.Entry(index); }
};

class ImportRun : public ::testing::Test {
 public:
  ImportRun() { std::filesystem::create_directory(U8Path(Data())); }

  std::string Data() const { return own.Sub("data"); }
  Disk* disk = &TheSystemDisk();
  void Add(std::initializer_list<const char*> names) {
    for (const char* name : names) std::ofstream(U8Path(JoinPath(Data(), name))) << "x";
  }
  bool Kept(const std::string& name) const { return std::filesystem::exists(U8Path(JoinPath(Data(), name))); }
  void Run() { inizia_Click(form, window, ImportContext{own.Str(), processes, "gfxpak", *disk}); }

  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& line : window.log) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
  }
  std::vector<std::string> Commands() const {
    std::vector<std::string> out;
    for (const auto& s : processes.started) out.push_back(s.command_line);
    return out;
  }
  const std::string* LastError() const {
    for (auto it = window.log.rbegin(); it != window.log.rend(); ++it) {
      if (it->rfind("error ", 0) == 0) return &*it;
    }
    return nullptr;
  }
  // The last error message with its lines joined, as words to look for
  // wherever the message wraps them.
  std::string Told() const {
    std::string text = LastError() ? *LastError() : "";
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
  }

  TempDir own;
  FormState form;
  FolderWindow window;
  ScriptedProcesses processes;
};

TEST_F(ImportRun, OneFileFromStartToEnd) {
  Add({"bern_xyz.o"});
  // Two passes per command with a timer tick in between, so the line shows
  // the speed of each command: 0 during the first compress, 5 during import.
  processes.polls_until_end = 2;
  window.on_events = [&] { Timer1_Timer(form); };
  Run();
  const std::vector<std::string> expected = {
      "folder " + Data(),
      "pattern *_*.*",
      "label empty off", "label ok off", "panel info off", "panel about off",
      "menu start off", "menu info off", "menu about off",
      "menu exit off",
      "line 120", "caption COMPRESS bern_xyz.o", "line 240", "line 240",
      "bar 6585",
      "line 120", "caption import bern_xyz.o in zdata_05.big", "line 240", "line 245",
      "bar 6585",
      "caption Tessolo FIFA2004", "line 120", "label ok on",
      "menu exit on", "menu info on", "menu about on",
  };
  EXPECT_EQ(window.log, expected);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"gfxpak -compress -real bern_xyz.o  bern_xyz.o",
                                                  "gfxpak -p zdata_05.big bern_xyz.o"}));
  for (const auto& s : processes.started) {
    EXPECT_EQ(s.style, 0);
    // The bare names of both commands are names in the data folder.
    EXPECT_EQ(s.folder, Data());
  }
  EXPECT_FALSE(Kept("bern_xyz.o"));
  EXPECT_EQ(form.linestep, 3);
}

TEST_F(ImportRun, SecondFileCompressMovesThreeTwipsPerTick) {
  Add({"bern_x.o", "bern_x.h"});
  processes.polls_until_end = 3;
  window.on_events = [&] { Timer1_Timer(form); };
  Run();
  EXPECT_EQ(Lines("line"), (std::vector<std::string>{"line 120", "line 240", "line 240", "line 240",  // compress 1
                                                     "line 120", "line 240", "line 245", "line 250",  // import 1
                                                     "line 120", "line 240", "line 243", "line 246",  // compress 2
                                                     "line 120", "line 240", "line 245", "line 250",  // import 2
                                                     "line 120"}));
  EXPECT_EQ(Commands()[1], "gfxpak -p zdata_06.big bern_x.h");  // "h" sorts before "o"
}

TEST_F(ImportRun, ProgressBarWidths) {
  const std::pair<std::vector<const char*>, std::vector<std::string>> cases[] = {
      {{"bern_1.o"}, {"bar 6585", "bar 6585"}},
      {{"bern_1.o", "bern_2.o", "bern_3.o"}, {"bar 2205", "bar 2205", "bar 4395", "bar 4395", "bar 6585", "bar 6585"}},
      {{"bern_1.o", "bern_2.o", "bern_3.o", "bern_4.o", "bern_5.o", "bern_6.o", "bern_7.o"},
       {"bar 953", "bar 953", "bar 1891", "bar 1891", "bar 2829", "bar 2829", "bar 3767", "bar 3767", "bar 4705",
        "bar 4705", "bar 5643", "bar 5643", "bar 6581", "bar 6581"}},
  };
  for (const auto& [names, bars] : cases) {
    window.log.clear();
    for (const char* name : names) Add({name});
    Run();
    EXPECT_EQ(Lines("bar"), bars) << names.size() << " files";
  }
}

TEST_F(ImportRun, NothingToImport) {
  Add({"a_b.txt", "a_b.O", "ab.o", "ab.h"});
  Run();
  const std::vector<std::string> expected = {
      "folder " + Data(), "pattern *_*.*",
      "label empty off", "label ok off", "panel info off", "panel about off",
      "menu start off", "menu info off", "menu about off",
      "menu exit off",
      "label empty on", "menu start on",
      "menu exit on", "menu info on", "menu about on",
  };
  EXPECT_EQ(window.log, expected);
  EXPECT_TRUE(processes.started.empty());
  EXPECT_TRUE(Kept("ab.o"));

  // The next run sees what was added since.
  Add({"bern_new.h"});
  Run();
  EXPECT_EQ(processes.started.size(), 2u);
  EXPECT_FALSE(Kept("bern_new.h"));
}

// A file whose command fails stays; the run goes on with the next, and ends
// without "OK !": the title and a label say how many went in, the bar shows
// that share, and one message, captioned like the title, says why and what
// to do.
TEST_F(ImportRun, FailedCommandsKeepTheirFiles) {
  struct Case {
    const char* what;
    const char* fails;  // the command line that fails
    ProcessExit exit;
    std::string errors;  // what it writes to its standard error
    std::size_t commands;
    std::string reported;
  };
  const std::string compress = "gfxpak -compress -real bern_2.o  bern_2.o";
  const std::string import = "gfxpak -p zdata_05.big bern_2.o";
  const Case cases[] = {
      {"the stadium file is held", compress.c_str(), {false, 3}, "", 5,
       "In use by another program: bern_2.o Close the game, or a program that may be scanning or syncing"},
      {"the archive is held", import.c_str(), {false, 3}, "gfxpak: zdata_05.big: archive is in use\r\n", 6,
       "In use by another program: bern_2.o Close the game, or a program that may be scanning or syncing"},
      {"an empty file", compress.c_str(), {false, 7}, "gfxpak: bern_2.o: is empty\n", 5,
       "Empty, no stadium in it: bern_2.o Download it again."},
      {"a damaged archive", import.c_str(), {false, 6}, "gfxpak: zdata_05.big: not a BIGF archive (bad magic)\n", 6,
       "Damaged archive zdata_05.big: bern_2.o gfxpak says: zdata_05.big: not a BIGF archive (bad magic) "},
      {"refused, in the packer's words", import.c_str(), {false, 1},
       "gfxpak: zdata_05.big.restore: restore point is damaged\n", 6,
       "gfxpak failed on bern_2.o: zdata_05.big.restore: restore point is damaged"},
      {"crashed without a word", import.c_str(), {true, 11}, "", 6,
       "gfxpak failed on bern_2.o: gfxpak " + DescribeExit({true, 11})},
  };
  for (const Case& c : cases) {
    window.log.clear();
    window.captions.clear();
    processes.started.clear();
    Add({"bern_1.o", "bern_2.o", "bern_3.o"});
    processes.exit_for = [&c](const std::string& line) { return line == c.fails ? c.exit : ProcessExit{}; };
    processes.errors_for = [&c](const std::string& line) { return line == c.fails ? c.errors : std::string(); };
    Run();
    EXPECT_EQ(processes.started.size(), c.commands) << c.what;
    EXPECT_FALSE(Kept("bern_1.o")) << c.what;
    EXPECT_TRUE(Kept("bern_2.o")) << c.what;
    EXPECT_FALSE(Kept("bern_3.o")) << c.what;
    EXPECT_TRUE(Lines("label ok on").empty()) << c.what;
    ASSERT_NE(LastError(), nullptr) << c.what;
    EXPECT_NE(Told().find(c.reported), std::string::npos) << *LastError();
    EXPECT_NE(Told().find("2 of 3 files were imported; 1 was not"), std::string::npos) << *LastError();
    const std::vector<std::string> end(window.log.end() - 8, window.log.end());
    const std::vector<std::string> expected = {
        "caption Tessolo FIFA2004: 2 of 3 files imported", "line 120", "bar 4395", "outcome 2 OF 3 IMPORTED",
        *LastError(), "menu exit on", "menu info on", "menu about on"};
    EXPECT_EQ(end, expected) << c.what;
    EXPECT_EQ(window.captions, std::vector<std::string>{"Tessolo FIFA2004: 2 of 3 files imported"}) << c.what;
    EXPECT_EQ(window.end_calls, 0);
    std::filesystem::remove(U8Path(JoinPath(Data(), "bern_2.o")));
  }
}

// Failures of several causes make one message, a group per cause; what the
// message says of the disk (a read-only archive, the room a file needs) is
// read from the data folder.
TEST_F(ImportRun, OneMessageGroupedByCause) {
  Add({"bern_1.o", "bern_2.o", "velo_3.o", "velo_4.o"});
  std::ofstream(U8Path(JoinPath(Data(), "velo_4.o"))) << std::string(3000, 'v');
  std::ofstream(U8Path(JoinPath(Data(), "zdata_05.big"))) << "archive";
  std::filesystem::permissions(U8Path(JoinPath(Data(), "zdata_05.big")), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  processes.exit_for = [](const std::string& line) {
    if (line.rfind("gfxpak -p zdata_05.big", 0) == 0) return ProcessExit{false, 4};
    if (line == "gfxpak -p zdata_06.big velo_4.o") return ProcessExit{false, 5};
    return ProcessExit{};
  };
  Run();
  std::filesystem::permissions(U8Path(JoinPath(Data(), "zdata_05.big")), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  ASSERT_EQ(Lines("error").size(), 1u);
  const std::string text = Told();
  EXPECT_NE(text.find("1 of 4 files was imported; 3 were not"), std::string::npos) << text;
  EXPECT_NE(text.find("Access denied: bern_1.o, bern_2.o The game's archive zdata_05.big is read-only (copied from a CD?)"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Program Files"), std::string::npos) << "the archive is read-only, nothing else: " << text;
  const std::string drive = DriveOf(Data()).empty() ? "the drive" : "drive " + DriveOf(Data());
  EXPECT_NE(text.find("Not enough space on " + drive + " for velo_4.o"), std::string::npos) << text;
  EXPECT_NE(text.find("It needs about 6 KB; the drive has "), std::string::npos) << text;
  EXPECT_LT(text.find("Access denied"), text.find("Not enough space")) << text;
  EXPECT_TRUE(Kept("bern_1.o") && Kept("bern_2.o") && Kept("velo_4.o"));
  EXPECT_FALSE(Kept("velo_3.o"));
  EXPECT_EQ(Lines("bar").back(), "bar 1657");  // one of four: 15 + 6570 / 4
}

// The game holds zdata_05.big for the whole run: each further file for it
// is tried without the packer's wait, until one goes in; files for the
// other archive are waited for as ever.
TEST_F(ImportRun, AnArchiveFoundHeldIsNotWaitedForAgain) {
  Add({"bern_1.o", "bern_2.o", "velo_3.o", "bern_4.o", "bern_5.o"});
  processes.exit_for = [](const std::string& line) {
    const bool held = line == "gfxpak -p zdata_05.big bern_1.o" || line == "gfxpak -p zdata_05.big bern_2.o";
    return held ? ProcessExit{false, 3} : ProcessExit{};
  };
  Run();
  std::vector<std::string> imports;
  for (const auto& started : processes.started) {
    if (started.command_line.rfind("gfxpak -p", 0) != 0) continue;
    std::string line = started.command_line;
    for (const std::string& variable : started.environment) line += " with " + variable;
    imports.push_back(line);
  }
  const std::vector<std::string> expected = {
      "gfxpak -p zdata_05.big bern_1.o",
      "gfxpak -p zdata_05.big bern_2.o with GFXPAK_HOLD_WAIT=0",
      "gfxpak -p zdata_05.big bern_4.o with GFXPAK_HOLD_WAIT=0",
      "gfxpak -p zdata_05.big bern_5.o",
      "gfxpak -p zdata_06.big velo_3.o",
  };
  EXPECT_EQ(imports, expected);
  for (const auto& started : processes.started) {
    if (started.command_line.rfind("gfxpak -compress", 0) == 0) {
      EXPECT_TRUE(started.environment.empty());
    }
  }
}

// The system's disk, with a scanner that keeps every file it is asked to
// delete open for the first few tries.
class ScannedDisk final : public Disk {
 public:
  int refusals = 0;
  int deletes = 0;
  std::error_code Delete(const std::string& path) override {
    ++deletes;
    if (refusals > 0) {
      --refusals;
      return Holding();
    }
    return TheSystemDisk().Delete(path);
  }
  bool Held(std::error_code error, const std::string&) override { return error == Holding(); }
  bool IsFile(const std::string& path) override { return TheSystemDisk().IsFile(path); }
  std::optional<std::uintmax_t> FileSize(const std::string& path) override { return TheSystemDisk().FileSize(path); }
  std::optional<std::uintmax_t> FreeSpace(const std::string& folder) override {
    return TheSystemDisk().FreeSpace(folder);
  }
  WriteRefusal WhyRefused(const std::string& path) override { return TheSystemDisk().WhyRefused(path); }
  bool AdministratorMayHelp(const std::string& folder) override { return TheSystemDisk().AdministratorMayHelp(folder); }
  std::string CopyTheGameReads(const std::string& path) override { return TheSystemDisk().CopyTheGameReads(path); }

 private:
  static std::error_code Holding() { return std::make_error_code(std::errc::device_or_resource_busy); }
};

// The imported file is deleted once the scanner lets it go, the window
// answering meanwhile; a hold that lasts past the wait is the error it was.
TEST_F(ImportRun, AnImportedFileHeldForAMomentIsDeletedAfterAll) {
  ScannedDisk scanned;
  disk = &scanned;
  Add({"bern_1.o"});
  scanned.refusals = 4;
  const int events_before = window.events;
  Run();
  EXPECT_EQ(scanned.deletes, 5);
  EXPECT_FALSE(Kept("bern_1.o"));
  EXPECT_EQ(Lines("label ok on").size(), 1u);
  EXPECT_GE(window.events - events_before, 4 + 2) << "the window did not answer while the file was held";

  window.log.clear();
  Add({"bern_2.o"});
  scanned.refusals = 1000;
  Run();
  ASSERT_NE(LastError(), nullptr);
  EXPECT_NE(LastError()->find("bern_2.o was imported but could not be deleted"), std::string::npos) << *LastError();
  EXPECT_GT(scanned.refusals, 1000 - 20) << "tried for ever";
}

// Nothing went in: the bar goes back to its first pixel.
TEST_F(ImportRun, NothingImported) {
  Add({"bern_1.o", "velo_2.o"});
  processes.exit_for = [](const std::string& line) {
    return line.rfind("gfxpak -p", 0) == 0 ? ProcessExit{false, 3} : ProcessExit{};
  };
  Run();
  EXPECT_EQ(Lines("caption").back(), "caption Tessolo FIFA2004: 0 of 2 files imported");
  EXPECT_EQ(Lines("bar").back(), "bar 15");
  EXPECT_EQ(Lines("outcome"), std::vector<std::string>{"outcome 0 OF 2 IMPORTED"});
  EXPECT_NE(Told().find("None of the 2 files was imported"), std::string::npos) << Told();
}

TEST_F(ImportRun, RejectedFileStopsTheRunWhereItIs) {
  Add({"bern_1.o", "mars_2.o", "velo_3.o"});
  Run();
  EXPECT_EQ(Commands(), (std::vector<std::string>{"gfxpak -compress -real bern_1.o  bern_1.o",
                                                  "gfxpak -p zdata_05.big bern_1.o"}));
  EXPECT_FALSE(Kept("bern_1.o"));
  EXPECT_TRUE(Kept("mars_2.o"));
  EXPECT_TRUE(Kept("velo_3.o"));
  EXPECT_EQ(window.end_calls, 1);
  EXPECT_EQ(window.log.back(), "end 1");
  EXPECT_EQ(window.log[window.log.size() - 2], "message error this is not a file-stadium for fifa2004");
  // The title still names the file before it; the message names this one.
  EXPECT_EQ(window.captions, std::vector<std::string>{"Tessolo FIFA2004: mars_2.o"});
}

TEST_F(ImportRun, ErrorsThatEndTheProgram) {
  struct Case {
    const char* what;
    std::function<void(ImportRun&)> arrange;
    std::vector<std::string> message_parts;
    bool first_kept;
  };
  const Case cases[] = {
      {"packer cannot start",
       [](ImportRun& t) {
         t.processes.start_error = [](const std::string&) {
           return std::make_error_code(std::errc::no_such_file_or_directory);
         };
       },
       {"gfxpak could not be started for the file bern_1.o",
        SystemErrorText(std::make_error_code(std::errc::no_such_file_or_directory)),
        "gfxpak.exe belongs in the tool's folder"},
       true},
      // Present but not started, as Wine now and then fails a start: the
      // advice is to try again, not to look for the file.
      {"packer there but not started",
       [](ImportRun& t) {
         std::ofstream(U8Path(t.own.Sub("gfxpak.exe"))) << "MZ";
         t.processes.start_error = [](const std::string&) {
           return std::make_error_code(std::errc::resource_unavailable_try_again);
         };
       },
       {"gfxpak could not be started for the file bern_1.o",
        SystemErrorText(std::make_error_code(std::errc::resource_unavailable_try_again)),
        "gfxpak.exe is there; start Tessolo again. The files not imported yet are still in the data folder."},
       true},
      {"imported file cannot be deleted",
       [](ImportRun& t) {
         // The packer takes the file away, so deleting it must fail.
         t.processes.exit_for = [&t](const std::string& line) {
           if (line.rfind("gfxpak -p", 0) == 0) std::filesystem::remove(U8Path(JoinPath(t.Data(), "bern_1.o")));
           return ProcessExit{};
         };
       },
       {"The file " + JoinPath(own.Sub("data"), "bern_1.o") + " was imported but could not be deleted",
        SystemErrorText(DeleteFileAt(own.Sub("never there")))},
       false},
      {"data folder gone",
       [](ImportRun& t) { std::filesystem::remove_all(U8Path(t.Data())); },
       {"The data folder " + own.Sub("data") + " cannot be read"},
       false},
  };
  for (const Case& c : cases) {
    window.log.clear();
    window.end_calls = 0;
    processes = ScriptedProcesses();
    std::filesystem::create_directories(U8Path(Data()));
    Add({"bern_1.o", "bern_2.o"});
    c.arrange(*this);
    Run();
    ASSERT_NE(LastError(), nullptr) << c.what;
    for (const std::string& part : c.message_parts) EXPECT_NE(LastError()->find(part), std::string::npos) << *LastError();
    EXPECT_EQ(window.end_calls, 1) << c.what;
    EXPECT_EQ(window.log.back(), "end " + std::to_string(kFailureExitCode)) << c.what;
    EXPECT_EQ(Kept("bern_1.o"), c.first_kept) << c.what;
    EXPECT_EQ(std::count_if(processes.started.begin(), processes.started.end(),
                            [](const auto& s) { return s.command_line.find("bern_2") != std::string::npos; }),
              0)
        << c.what;
  }
}

TEST_F(ImportRun, AwkwardNamesAreQuotedPlainNamesAreNot) {
  Add({"bern a_1.o", "bern_\xc3\xa4.o"});
  Run();
  EXPECT_EQ(Commands(), (std::vector<std::string>{
                            "gfxpak -compress -real \"bern a_1.o\"  \"bern a_1.o\"",
                            "gfxpak -p zdata_05.big \"bern a_1.o\"",
                            "gfxpak -compress -real bern_\xc3\xa4.o  bern_\xc3\xa4.o",
                            "gfxpak -p zdata_05.big bern_\xc3\xa4.o",
                        }));
}

#ifndef _WIN32
// Characters a Windows file name cannot hold, but a POSIX one can.
TEST_F(ImportRun, QuotesTabsAndBackslashesInNames) {
  Add({"bern_2\".h", "bern_3\t\\.h"});
  Run();
  EXPECT_EQ(Commands(), (std::vector<std::string>{
                            "gfxpak -compress -real \"bern_2\\\".h\"  \"bern_2\\\".h\"",
                            "gfxpak -p zdata_06.big \"bern_2\\\".h\"",
                            "gfxpak -compress -real \"bern_3\t\\.h\"  \"bern_3\t\\.h\"",
                            "gfxpak -p zdata_06.big \"bern_3\t\\.h\"",
                        }));
}
#endif

// More listed entries than a 16-bit counter holds.
TEST(ImportRunCounters, ListsBeyond32767Entries) {
  TempDir own;
  std::filesystem::create_directory(U8Path(own.Sub("data")));
  FakeWindow window;
  window.files.assign(40000, "skip_me.txt");
  window.files[39998] = "bern_1.o";
  window.files[39999] = "bern_2.h";
  for (const char* name : {"bern_1.o", "bern_2.h"}) std::ofstream(U8Path(JoinPath(own.Sub("data"), name))) << "x";
  FormState form;
  ScriptedProcesses processes;
  inizia_Click(form, window, ImportContext{own.Str(), processes});
  EXPECT_EQ(form.filecount, 2);
  EXPECT_EQ(form.filelist.size(), 40001u);
  EXPECT_EQ(form.filelist[2], "bern_2.h");
  EXPECT_EQ(processes.started.size(), 4u);
}

}  // namespace
