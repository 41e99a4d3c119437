// The window as a user meets it outside an import run: what it shows at
// start, the menu, the panels and labels, the tooltip, closing, and the
// start without a data folder.
#include "design.h"
#include "window_test_support.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "utf.h"

#include <fstream>

#include <string>
#include <vector>

namespace {

RECT ChildRect(HWND child) {
  RECT rc{};
  GetWindowRect(child, &rc);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rc), 2);
  return rc;
}

void ExpectRect(HWND child, int x, int y, int w, int h) {
  const RECT rc = ChildRect(child);
  EXPECT_EQ(rc.left, x);
  EXPECT_EQ(rc.top, y);
  EXPECT_EQ(rc.right - rc.left, w);
  EXPECT_EQ(rc.bottom - rc.top, h);
}

// Twips to pixels as every part of the window converts them: rounded to the
// nearest pixel, halves away from zero, and clamped where GDI would overflow.
static_assert(design::Pixels(6581) == 439);  // the bar of seven files
static_assert(design::Pixels(6577) == 438);
static_assert(design::Pixels(7.5f) == 1 && design::Pixels(-7.5f) == -1);
static_assert(design::Pixels(1.0e9f) == 30000 && design::Pixels(-1.0e9f) == -30000);

TEST(Form1, StartsAsDesigned) {
  WindowTest t;
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  const HWND hwnd = w.Handle();

  EXPECT_EQ(WindowTitle(hwnd), L"Tessolo FIFA2004");
  RECT client{};
  GetClientRect(hwnd, &client);
  EXPECT_EQ(client.right, 640);
  EXPECT_EQ(client.bottom, 426);
  EXPECT_NE(reinterpret_cast<HICON>(GetClassLongPtrW(hwnd, GCLP_HICON)), nullptr);

  const HMENU menu = GetMenu(hwnd);
  ASSERT_EQ(GetMenuItemCount(menu), 4);
  const wchar_t* const captions[] = {L"start", L"info", L"about", L"exit"};
  for (int i = 0; i < 4; ++i) {
    wchar_t text[32] = {};
    GetMenuStringW(menu, static_cast<UINT>(i), text, 32, MF_BYPOSITION);
    EXPECT_STREQ(text, captions[i]);
    EXPECT_EQ(GetSubMenu(menu, i), nullptr) << "a command of its own, no drop-down";
    EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED), 0u);
  }

  EXPECT_FALSE(w.LabelVisible(StatusLabel::Ok));
  EXPECT_FALSE(w.LabelVisible(StatusLabel::DirectoryEmpty));
  EXPECT_FALSE(w.PanelVisible(Panel::Info));
  EXPECT_FALSE(w.PanelVisible(Panel::About));
  EXPECT_NE(GetWindowLongPtrW(w.BarHandle(), GWL_STYLE) & WS_VISIBLE, 0);
  ExpectRect(w.BarHandle(), 160, 168, 1, 105);
  ExpectRect(w.PanelHandle(Panel::Info), 0, 96, 289, 121);
  ExpectRect(w.PanelHandle(Panel::About), 360, 72, 273, 105);
  EXPECT_EQ(w.LineEnd(), design::kLineRestX2);

  // The panels lie above the bar where they overlap it.
  EXPECT_EQ(GetTopWindow(hwnd), w.PanelHandle(Panel::About));
  EXPECT_EQ(GetWindow(w.PanelHandle(Panel::About), GW_HWNDNEXT), w.PanelHandle(Panel::Info));
  EXPECT_EQ(GetWindow(w.PanelHandle(Panel::Info), GW_HWNDNEXT), w.BarHandle());

  EXPECT_TRUE(std::filesystem::equivalent(CurrentFolder(), t.DataFolder()));
  EXPECT_TRUE(t.messages.empty());
  EXPECT_TRUE(t.end_codes.empty());
}

// What the user does, one step at a time, and what is visible afterwards.
enum class Step { Info, About, ClickInfo, ClickAbout, EmptyShown, OkShown };

struct PanelCase {
  const char* what;
  std::vector<Step> steps;
  bool info, about, ok, empty;
};

class PanelsAndLabels : public testing::TestWithParam<PanelCase> {};

TEST_P(PanelsAndLabels, Show) {
  const PanelCase& c = GetParam();
  WindowTest t;
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  for (Step step : c.steps) {
    switch (step) {
      case Step::Info: t.Choose(MenuCommand::Info); break;
      case Step::About: t.Choose(MenuCommand::About); break;
      case Step::ClickInfo: WindowTest::Click(w.PanelHandle(Panel::Info)); break;
      case Step::ClickAbout: WindowTest::Click(w.PanelHandle(Panel::About)); break;
      // As the end of a run leaves them.
      case Step::EmptyShown: w.ShowLabel(StatusLabel::DirectoryEmpty, true); break;
      case Step::OkShown: w.ShowLabel(StatusLabel::Ok, true); break;
    }
  }
  EXPECT_EQ(w.PanelVisible(Panel::Info), c.info);
  EXPECT_EQ(w.PanelVisible(Panel::About), c.about);
  EXPECT_EQ(w.LabelVisible(StatusLabel::Ok), c.ok);
  EXPECT_EQ(w.LabelVisible(StatusLabel::DirectoryEmpty), c.empty);
}

INSTANTIATE_TEST_SUITE_P(
    Form1, PanelsAndLabels,
    testing::Values(
        PanelCase{"info then about: both shown", {Step::Info, Step::About}, true, true, false, false},
        PanelCase{"a click hides only that panel", {Step::Info, Step::About, Step::ClickInfo}, false, true, false, false},
        PanelCase{"the other one too", {Step::Info, Step::About, Step::ClickAbout}, true, false, false, false},
        PanelCase{"info twice stays shown", {Step::Info, Step::Info}, true, false, false, false},
        PanelCase{"info again after a click", {Step::Info, Step::Info, Step::ClickInfo, Step::Info}, true, false, false,
                  false},
        PanelCase{"info hides DIRECTORY EMPTY", {Step::EmptyShown, Step::Info}, true, false, false, false},
        PanelCase{"about hides DIRECTORY EMPTY", {Step::EmptyShown, Step::About}, false, true, false, false},
        PanelCase{"info keeps OK !", {Step::OkShown, Step::Info}, true, false, true, false},
        PanelCase{"about keeps OK !", {Step::OkShown, Step::About}, false, true, true, false},
        PanelCase{"closing a panel leaves OK !", {Step::OkShown, Step::About, Step::ClickAbout}, false, false, true,
                  false}),
    [](const testing::TestParamInfo<PanelCase>& param) { return "case" + std::to_string(param.index); });

// The info panel covers the upper part of "OK !" and the label shows below
// it: the panel is a window above the surface the label is painted on.
TEST(Form1, InfoPanelCoversTheTopOfOk) {
  WindowTest t;
  ASSERT_TRUE(t.Create(SW_SHOWNOACTIVATE));
  Form1& w = t.Window();
  w.ShowLabel(StatusLabel::Ok, true);
  t.Choose(MenuCommand::Info);
  RedrawWindow(w.Handle(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  const HDC dc = GetDC(w.Handle());
  const COLORREF covered = GetPixel(dc, 130, 210);    // label box, under the panel (rows up to 216)
  const COLORREF uncovered = GetPixel(dc, 130, 228);  // label box, right of "OK !", below the panel
  ReleaseDC(w.Handle(), dc);

  const HDC panel_dc = GetDC(w.PanelHandle(Panel::Info));
  const COLORREF panel_pixel = GetPixel(panel_dc, 130, 210 - 96);
  ReleaseDC(w.PanelHandle(Panel::Info), panel_dc);
  EXPECT_EQ(covered, panel_pixel);
  EXPECT_NE(covered, GetSysColor(COLOR_BTNFACE));
  EXPECT_EQ(uncovered, GetSysColor(COLOR_BTNFACE));
}

TEST(Form1, OnlyTheInfoPanelHasATooltip) {
  WindowTest t;
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  const HWND tip = w.TooltipHandle();
  ASSERT_NE(tip, nullptr);
  EXPECT_EQ(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0), 1);

  wchar_t text[80] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = w.Handle();
  tool.uId = reinterpret_cast<UINT_PTR>(w.PanelHandle(Panel::Info));
  tool.lpszText = text;
  SendMessageW(tip, TTM_GETTEXTW, 80, reinterpret_cast<LPARAM>(&tool));
  EXPECT_STREQ(text, L"click to cancel");

  TTTOOLINFOW about{};
  about.cbSize = sizeof about;
  about.hwnd = w.Handle();
  about.uId = reinterpret_cast<UINT_PTR>(w.PanelHandle(Panel::About));
  EXPECT_FALSE(SendMessageW(tip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&about)));
}

TEST(Form1, DisabledCommandsCannotBeChosen) {
  WindowTest t;
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  for (MenuCommand c : {MenuCommand::Inizia, MenuCommand::Info, MenuCommand::About, MenuCommand::Esci}) {
    w.EnableMenu(c, false);
    EXPECT_FALSE(w.MenuEnabled(c));
    EXPECT_NE(GetMenuState(GetMenu(w.Handle()), design::MenuId(c), MF_BYCOMMAND) & MF_GRAYED, 0u);
    t.Choose(c);
  }
  EXPECT_FALSE(w.PanelVisible(Panel::Info));
  EXPECT_FALSE(w.PanelVisible(Panel::About));
  EXPECT_TRUE(t.end_codes.empty());
  EXPECT_FALSE(w.LabelVisible(StatusLabel::DirectoryEmpty)) << "start ran while disabled";
}

TEST(Form1, ExitEndsAtOnceWithoutAsking) {
  WindowTest t;
  ASSERT_TRUE(t.Create());
  t.Choose(MenuCommand::Esci);
  EXPECT_EQ(t.end_codes, std::vector<int>{0});
  EXPECT_TRUE(t.messages.empty());
}

// The close box and Alt+F4 follow "exit": nothing while it is disabled,
// otherwise the window goes and the message loop is told to end.
TEST(Form1, ClosingFollowsExit) {
  WindowTest t;
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  const HWND hwnd = w.Handle();
  w.EnableMenu(MenuCommand::Esci, false);
  EXPECT_NE(GetMenuState(GetSystemMenu(hwnd, FALSE), SC_CLOSE, MF_BYCOMMAND) & MF_GRAYED, 0u);
  t.Close();
  SendMessageW(hwnd, WM_CLOSE, 0, 0);
  EXPECT_TRUE(IsWindow(hwnd));
  MSG quit;
  EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));

  w.EnableMenu(MenuCommand::Esci, true);
  t.Close();
  EXPECT_FALSE(IsWindow(hwnd));
  ASSERT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(quit.wParam, 0u);
}

struct MissingDataCase {
  const char* what;
  bool data_is_a_file;
};

class WithoutDataFolder : public testing::TestWithParam<MissingDataCase> {};

TEST_P(WithoutDataFolder, StopsBeforeTheWindowShows) {
  WindowTest t({.data_folder = false});
  if (GetParam().data_is_a_file) std::ofstream(t.DataFolder()) << "not a folder";
  const std::wstring before = CurrentFolder();
  EXPECT_FALSE(t.Create());
  EXPECT_EQ(t.Window().Handle(), nullptr);
  ASSERT_EQ(t.messages.size(), 1u);
  EXPECT_EQ(t.messages[0].rfind("error: ", 0), 0u) << t.messages[0];
  EXPECT_NE(t.messages[0].find(Narrow(t.DataFolder().wstring())), std::string::npos) << t.messages[0];
  ASSERT_EQ(t.end_codes.size(), 1u);
  EXPECT_NE(t.end_codes[0], 0);
  EXPECT_EQ(CurrentFolder(), before);
}

INSTANTIATE_TEST_SUITE_P(Form1, WithoutDataFolder,
                         testing::Values(MissingDataCase{"no data folder", false},
                                         MissingDataCase{"data is a file", true}));

// The moving end goes wherever it is told, also far past the right edge,
// and the window still paints.
TEST(Form1, LineEndFarToTheRight) {
  WindowTest t;
  ASSERT_TRUE(t.Create());
  Form1& w = t.Window();
  for (float x2 : {240.0f, 120.0f, 15000.0f, 1.0e9f, 120.0f}) {
    w.SetLineEnd(x2);
    EXPECT_EQ(w.LineEnd(), x2);
    EXPECT_TRUE(UpdateWindow(w.Handle()));
  }
}

}  // namespace

namespace {

// With the process's GDI quota used up, the window cannot get its pens,
// fonts and bitmaps: it says so and starts no further, and leaves nothing
// behind that would fail the next start.
TEST(Form1, AWindowThatCannotBeMadeSaysWhy) {
  std::vector<HPEN> hoard;
  for (;;) {
    const HPEN pen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0));
    if (pen == nullptr || hoard.size() > 200000) break;
    hoard.push_back(pen);
  }
  const std::size_t hoarded = hoard.size();
  bool created = true;
  std::vector<std::string> messages;
  {
    WindowTest t;
    created = t.Create();
    messages = t.messages;
  }
  for (const HPEN pen : hoard) DeleteObject(pen);
  ASSERT_LE(hoarded, 200000u) << "no GDI quota to exhaust here";
  EXPECT_FALSE(created);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("error: The program's window could not be made: ", 0), 0u) << messages[0];
  // The quota is back, and so is the window.
  WindowTest again;
  EXPECT_TRUE(again.Create());
  EXPECT_TRUE(again.messages.empty());
}

}  // namespace
