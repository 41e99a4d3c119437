// Whole import runs through the real window, with the stand-in packer, as a
// user sees them: what the window shows while the packer works and after.
#include "design.h"
#include "select_archive.h"
#include "utf.h"
#include "window_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Snapshot {
  std::wstring caption;
  float line_end;
  int bar_width;
  bool menus[4];
};

// Samples the window on a thread timer; its ticks are dispatched by the
// window's own event processing while the runner waits for the packer.
class Sampler {
 public:
  explicit Sampler(Form1& window, std::function<void(Sampler&)> during = {})
      : window_(window), during_(std::move(during)) {
    current_ = this;
    timer_ = SetTimer(nullptr, 0, 5, &Sampler::Tick);
  }
  ~Sampler() {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  std::vector<Snapshot> seen;

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (current_ == nullptr || !current_->window_.Running()) return;
    Form1& w = current_->window_;
    RECT bar{};
    GetClientRect(w.BarHandle(), &bar);
    Snapshot s{WindowTitle(w.Handle()), w.LineEnd(), bar.right,
               {w.MenuEnabled(MenuCommand::Inizia), w.MenuEnabled(MenuCommand::Info),
                w.MenuEnabled(MenuCommand::About), w.MenuEnabled(MenuCommand::Esci)}};
    current_->seen.push_back(s);
    if (current_->during_) current_->during_(*current_);
  }

  static inline Sampler* current_ = nullptr;
  Form1& window_;
  std::function<void(Sampler&)> during_;
  UINT_PTR timer_ = 0;
};

struct RunCase {
  const char* what;
  std::vector<std::string> files;  // in the order the run handles them
  std::vector<int> bar_widths;     // every width the bar shows during the run, in order
};

class ImportRun : public testing::TestWithParam<RunCase> {};

// Captions of the run, in order, and which commands it gave the packer.
TEST_P(ImportRun, ShowsItsProgress) {
  const RunCase& c = GetParam();
  WindowTest t({.packer = true, .packer_ms = 150});
  for (const std::string& f : c.files) t.AddFile(f);
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  Sampler sampler(w);
  t.Choose(MenuCommand::Inizia);

  std::vector<std::string> expected;
  for (const std::string& f : c.files) {
    const std::string archive = f.back() == 'o' ? "zdata_05.big" : "zdata_06.big";
    expected.push_back("-compress -real " + f + " " + f);
    expected.push_back("-p " + archive + " " + f);
  }
  EXPECT_EQ(t.PackerCommands(), expected);
  EXPECT_TRUE(t.DataFiles().empty());
  EXPECT_TRUE(t.messages.empty());

  ASSERT_FALSE(sampler.seen.empty());
  std::vector<int> widths;
  for (const Snapshot& s : sampler.seen) {
    if (widths.empty() || widths.back() != s.bar_width) widths.push_back(s.bar_width);
    for (bool enabled : s.menus) EXPECT_FALSE(enabled) << "a command was enabled while the packer ran";
  }
  EXPECT_EQ(widths, c.bar_widths);

  // The moving end: still during the first compress (the step is still 0),
  // 5 twips a tick during every import and 3 during every later compress.
  for (std::size_t i = 0; i < c.files.size(); ++i) {
    const std::string& f = c.files[i];
    const std::string archive = f.back() == 'o' ? "zdata_05.big" : "zdata_06.big";
    const std::wstring compress = Widen("COMPRESS " + f);
    const std::wstring import = Widen("import " + f + " in " + archive);
    float compress_max = 0, import_max = 0;
    int compress_seen = 0, import_seen = 0;
    for (const Snapshot& s : sampler.seen) {
      const float advance = s.line_end - 240.0f;
      if (s.caption == compress) {
        ++compress_seen;
        compress_max = std::max(compress_max, advance);
        if (i == 0) {
          EXPECT_EQ(advance, 0.0f);
        }
        EXPECT_EQ(static_cast<int>(advance) % 3, 0) << advance;
      } else if (s.caption == import) {
        ++import_seen;
        import_max = std::max(import_max, advance);
        EXPECT_EQ(static_cast<int>(advance) % 5, 0) << advance;
      }
    }
    EXPECT_GT(compress_seen, 0) << f;
    EXPECT_GT(import_seen, 0) << f;
    EXPECT_GT(import_max, 0.0f) << "the line did not move during the import of " << f;
    if (i > 0) {
      EXPECT_GT(compress_max, 0.0f) << "the line did not move during the compress of " << f;
    }
  }

  // After the run.
  EXPECT_EQ(WindowTitle(w.Handle()), L"Tessolo FIFA2004");
  EXPECT_EQ(w.LineEnd(), 120.0f);
  EXPECT_TRUE(w.LabelVisible(StatusLabel::Ok));
  EXPECT_FALSE(w.LabelVisible(StatusLabel::DirectoryEmpty));
  EXPECT_FALSE(w.MenuEnabled(MenuCommand::Inizia)) << "a second run needs a restart";
  EXPECT_TRUE(w.MenuEnabled(MenuCommand::Info));
  EXPECT_TRUE(w.MenuEnabled(MenuCommand::About));
  EXPECT_TRUE(w.MenuEnabled(MenuCommand::Esci));
  EXPECT_EQ(w.State().linestep, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Form1, ImportRun,
    testing::Values(RunCase{"one file", {"bern_x.o"}, {1, 439}},
                    RunCase{"an o-file and its h-file", {"bern_x.h", "bern_x.o"}, {1, 220, 439}},
                    RunCase{"three files", {"bern_a.o", "bern_b.o", "bern_c.o"}, {1, 147, 293, 439}},
                    RunCase{"a blank and letters beyond ASCII", {"bern_a b.o", "bern_citt\u00e0.o"}, {1, 220, 439}}),
    [](const testing::TestParamInfo<RunCase>& param) { return "case" + std::to_string(param.index); });

TEST(ImportRun, SevenFilesEndOneShortOfTheFullBar) {
  WindowTest t({.packer = true});
  for (char c = 'a'; c < 'h'; ++c) t.AddFile(std::string("bern_") + c + ".o");
  ASSERT_TRUE(t.Create());
  t.Choose(MenuCommand::Inizia);
  RECT bar{};
  GetClientRect(t.Window().BarHandle(), &bar);
  EXPECT_EQ(bar.right, 439);  // 6581 twips, rounded to whole pixels
  EXPECT_EQ(t.PackerCommands().size(), 14u);
}

struct EmptyCase {
  const char* what;
  std::vector<std::string> files;
};

class EmptyRun : public testing::TestWithParam<EmptyCase> {};

// Nothing to import: DIRECTORY EMPTY, everything enabled again, nothing else
// changed; files added afterwards are seen by the next run.
TEST_P(EmptyRun, SaysSoAndAllowsAnother) {
  WindowTest t({.packer = true});
  for (const std::string& f : GetParam().files) t.AddFile(f);
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  w.ShowPanel(Panel::Info, true);
  t.Choose(MenuCommand::Inizia);

  EXPECT_TRUE(w.LabelVisible(StatusLabel::DirectoryEmpty));
  EXPECT_FALSE(w.LabelVisible(StatusLabel::Ok));
  EXPECT_FALSE(w.PanelVisible(Panel::Info)) << "every run hides the panels";
  for (MenuCommand m : {MenuCommand::Inizia, MenuCommand::Info, MenuCommand::About, MenuCommand::Esci}) {
    EXPECT_TRUE(w.MenuEnabled(m));
  }
  EXPECT_EQ(WindowTitle(w.Handle()), L"Tessolo FIFA2004");
  EXPECT_EQ(w.LineEnd(), design::kLineRestX2);
  RECT bar{};
  GetClientRect(w.BarHandle(), &bar);
  EXPECT_EQ(bar.right, 1);
  EXPECT_TRUE(t.PackerCommands().empty());
  EXPECT_EQ(t.DataFiles().size(), GetParam().files.size());

  t.AddFile("bern_new.o");
  t.Choose(MenuCommand::Inizia);
  EXPECT_TRUE(w.LabelVisible(StatusLabel::Ok));
  EXPECT_FALSE(w.LabelVisible(StatusLabel::DirectoryEmpty));
  EXPECT_EQ(t.PackerCommands().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Form1, EmptyRun,
                         testing::Values(EmptyCase{"empty folder", {}},
                                         EmptyCase{"nothing that ends in o or h", {"a_b.txt", "a_b.O", "ab.o"}}),
                         [](const testing::TestParamInfo<EmptyCase>& param) { return "case" + std::to_string(param.index); });

// While files are handled the close box and Alt+F4 do nothing; a WM_QUIT
// that arrives meanwhile waits for the end of the run instead of being lost.
TEST(ImportRun, ClosingAndQuittingWaitForTheEnd) {
  WindowTest t({.packer = true, .packer_ms = 200});
  t.AddFile("bern_a.o");
  t.AddFile("bern_b.o");
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  int closes = 0;
  Sampler sampler(w, [&](Sampler& s) {
    if (s.seen.size() == 3) PostQuitMessage(7);
    if (s.seen.size() % 4 == 0 && closes < 4) {
      ++closes;
      if (closes % 2 == 0) {
        SendMessageW(w.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
      } else {
        SendMessageW(w.Handle(), WM_CLOSE, 0, 0);
      }
    }
  });
  const HWND hwnd = w.Handle();
  t.Choose(MenuCommand::Inizia);
  EXPECT_EQ(closes, 4);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(t.PackerCommands().size(), 4u) << "the quit cut the run short";
  EXPECT_TRUE(w.LabelVisible(StatusLabel::Ok));
  MSG quit;
  ASSERT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(quit.wParam, 7u);
  EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "posted twice";
}

// How long the window keeps F10 (or Alt), as the system passes it on: the
// menu bar's loop would last until the player leaves it, so a thread timer
// ends any menu that opens after a second, instead of the test hanging.
void CALLBACK EndAnyMenu(HWND, UINT, UINT_PTR, DWORD) { EndMenu(); }

double F10HeldSeconds(HWND hwnd) {
  const UINT_PTR rescue = SetTimer(nullptr, 0, 1000, EndAnyMenu);
  const auto start = std::chrono::steady_clock::now();
  SendMessageW(hwnd, WM_SYSCOMMAND, SC_KEYMENU, 0);
  const double held = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  KillTimer(nullptr, rescue);
  return held;
}

// During a run F10 opens no menu loop, so the next packer command starts as
// soon as the one before ends. After the run it does, which also shows that
// the measure sees a loop. (A click on the menu bar or the title bar's icon
// opens its loop only with the mouse button really down: the black-box test
// clicks the menu bar.)
TEST(ImportRun, TheMenuCannotHoldTheRun) {
  WindowTest t({.packer = true, .packer_ms = 100});
  t.AddFile("bern_a.o");
  t.AddFile("bern_b.o");
  // Shown: a hidden window's menu does not open.
  ASSERT_TRUE(t.Create(SW_SHOWNOACTIVATE));
  Form1& w = t.Window();
  std::vector<double> during;
  Sampler sampler(w, [&](Sampler& s) {
    if (s.seen.size() % 5 == 0 && during.size() < 3) during.push_back(F10HeldSeconds(w.Handle()));
  });
  t.Choose(MenuCommand::Inizia);
  ASSERT_EQ(during.size(), 3u) << "the run ended before F10 was pressed three times";
  for (const double held : during) EXPECT_LT(held, 0.3) << "F10 held the run";
  EXPECT_EQ(t.PackerCommands().size(), 4u);
  EXPECT_GT(F10HeldSeconds(w.Handle()), 0.8) << "F10 opens no menu after the run";
}

// Files that fail: no "OK !", the title and the label say how many went in,
// the bar shows that share, one message with the title as its caption.
TEST(ImportRun, APartlyFailedRunSaysSo) {
  WindowTest t({.packer = true});
  t.AddFile("bern_a.o");
  t.AddFile("bern_b.o");
  t.AddFile("bern_c.o");
  SetEnvironmentVariableW(L"FAKE_GFXPAK_ACTION", L"exit:3");
  SetEnvironmentVariableW(L"FAKE_GFXPAK_WHEN", L"-p|bern_b.o");
  SetEnvironmentVariableW(L"FAKE_GFXPAK_STDERR", L"gfxpak: zdata_05.big: archive is in use");
  ASSERT_TRUE(t.Create());
  t.Choose(MenuCommand::Inizia);
  for (const wchar_t* name : {L"FAKE_GFXPAK_ACTION", L"FAKE_GFXPAK_WHEN", L"FAKE_GFXPAK_STDERR"}) {
    SetEnvironmentVariableW(name, nullptr);
  }
  Form1& w = t.Window();
  EXPECT_EQ(t.DataFiles(), std::vector<std::string>{"bern_b.o"});
  EXPECT_FALSE(w.LabelVisible(StatusLabel::Ok));
  EXPECT_EQ(w.OutcomeText(), L"2 OF 3 IMPORTED");
  EXPECT_EQ(WindowTitle(w.Handle()), L"Tessolo FIFA2004: 2 of 3 files imported");
  RECT bar{};
  GetClientRect(w.BarHandle(), &bar);
  EXPECT_EQ(bar.right, 293);  // 15 + 2 x 2190 twips
  ASSERT_EQ(t.messages.size(), 1u);
  EXPECT_EQ(t.captions[0], "Tessolo FIFA2004: 2 of 3 files imported");
  EXPECT_NE(t.messages[0].find("In use by another program: bern_b.o"), std::string::npos) << t.messages[0];
  EXPECT_FALSE(w.MenuEnabled(MenuCommand::Inizia));
  EXPECT_TRUE(w.MenuEnabled(MenuCommand::Esci));
}

// An o-file no rule accepts: the plain message, then the program ends; the
// files before it are imported, it and those after stay.
TEST(ImportRun, RejectedFileEndsTheProgram) {
  WindowTest t({.packer = true});
  t.AddFile("bern_a.o");
  t.AddFile("zzzz_b.o");
  ASSERT_TRUE(t.Create());
  t.Choose(MenuCommand::Inizia);
  ASSERT_EQ(t.messages.size(), 1u);
  EXPECT_EQ(t.messages[0], "plain: " + std::string(kRejectMessage));
  EXPECT_EQ(t.captions[0], "Tessolo FIFA2004: zzzz_b.o");
  ASSERT_FALSE(t.end_codes.empty());
  EXPECT_EQ(t.end_codes[0], kRejectExitCode);
  EXPECT_EQ(t.DataFiles(), std::vector<std::string>{"zzzz_b.o"});
}

// The system's processes, with every wait of the runner looked at as it
// ends: a wait must end for a reason, input for the window or the end of
// the packer. One that ends with neither is a wait that spins.
class WakeWatch final : public ProcessService {
 public:
  int waits = 0;
  int without_cause = 0;

  std::error_code Start(std::string_view command_line, std::int16_t style, std::string_view folder,
                        const ChildEnvironment& environment, std::unique_ptr<ChildProcess>& process) override {
    std::unique_ptr<ChildProcess> inner;
    if (std::error_code error = real_.Start(command_line, style, folder, environment, inner)) return error;
    process = std::make_unique<Watched>(std::move(inner), *this);
    return {};
  }

 private:
  class Watched final : public ChildProcess {
   public:
    Watched(std::unique_ptr<ChildProcess> inner, WakeWatch& watch) : inner_(std::move(inner)), watch_(watch) {}
    std::optional<ProcessExit> Poll() override { return inner_->Poll(); }
    void WaitForEndOrInput() override {
      inner_->WaitForEndOrInput();
      ++watch_.waits;
      const bool input = HIWORD(GetQueueStatus(QS_ALLINPUT)) != 0;
      if (!input && !inner_->Poll()) ++watch_.without_cause;
    }
    std::string ErrorOutput(std::size_t limit) override { return inner_->ErrorOutput(limit); }

   private:
    std::unique_ptr<ChildProcess> inner_;
    WakeWatch& watch_;
  };
  SystemProcesses real_;
};

// While the packer runs the window sleeps in its wait and wakes only for the
// timer's ticks and the packer's end (what that costs is bench_wait's
// business): with a packer that takes a while, the wakes had a cause.
TEST(ImportRun, TheWaitWakesOnlyForInputOrTheEnd) {
  WakeWatch watch;
  WindowTest t({.packer = true, .packer_ms = 500, .processes = &watch});
  t.AddFile("bern_a.o");
  ASSERT_TRUE(t.Create());
  t.Choose(MenuCommand::Inizia);
  EXPECT_EQ(t.PackerCommands().size(), 2u);
  EXPECT_GE(watch.waits, 2) << "the runner returned without waiting for the packer";
  // Wine wakes a wait now and then for messages of its own that never reach
  // the queue (two in a hundred here); a wait that spins would have almost
  // every one of its thousands of wakes without a cause.
  EXPECT_LE(watch.without_cause * 10, watch.waits) << watch.without_cause << " of " << watch.waits << " waits";
  EXPECT_TRUE(t.Window().LabelVisible(StatusLabel::Ok));
}

}  // namespace
