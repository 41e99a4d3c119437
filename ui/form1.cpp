#include "form1.h"

#include "design.h"
#include "activity_line.h"
#include "import_run.h"
#include "indicators.h"
#include "paths.h"
#include "res/resource.h"
#include "utf.h"

#include <commctrl.h>

#include <algorithm>

namespace {

constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr UINT_PTR kTimerId = 1;
// Sent to a window for its system menu from outside it (the taskbar); not in
// the headers.
constexpr UINT kPopupSystemMenu = 0x0313;

// Child control ids, in the design's tab order.
constexpr int kBarId = 1;    // Picture1
constexpr int kInfoId = 4;   // Picture2
constexpr int kAboutId = 5;  // Picture3

RECT PixelRect(const design::TwipRect& r) {
  const int left = design::Pixels(r.left);
  const int top = design::Pixels(r.top);
  return RECT{left, top, left + design::Pixels(r.width), top + design::Pixels(r.height)};
}

RECT LabelRect(StatusLabel label) {
  return PixelRect(label == StatusLabel::Ok ? design::kOkLabel : design::kEmptyLabel);
}

// A font of the design, its size in points at the 96 dpi the whole layout
// is drawn for.
UniqueFont DesignFont(std::wstring_view face, int points, int weight) {
  return UniqueFont(CreateFontW(-MulDiv(points, 96, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                                std::wstring(face).c_str()));
}

}  // namespace

Form1::Form1(Form1Setup setup) : setup_(std::move(setup)) {
  if (setup_.own_folder.empty()) setup_.own_folder = OwnFolder();
  if (setup_.processes == nullptr) {
    own_processes_ = std::make_unique<SystemProcesses>();
    setup_.processes = own_processes_.get();
  }
}

Form1::~Form1() {
  if (Handle() != nullptr) KillTimer(Handle(), kTimerId);
  // The picture boxes, then the window itself, go with the members and the
  // base that own them.
}

bool Form1::Create(int show_command) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  menu_ = CreateMenu();
  for (const auto& entry : design::kMenu) {
    AppendMenuW(menu_, MF_STRING, design::MenuId(entry.command), std::wstring(entry.caption).c_str());
  }

  RECT frame{0, 0, design::Pixels(design::kClientWidth), design::Pixels(design::kClientHeight)};
  AdjustWindowRectEx(&frame, kStyle, TRUE, 0);
  const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_TESSOLO));
  const auto small_icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_TESSOLO), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  SetLastError(0);
  if (!CreateFor(0, Widen(kMainCaption).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                 frame.bottom - frame.top, nullptr, menu_, icon, small_icon)) {
    if (create_failure_ == nullptr) {
      create_failure_ = "the window";
      create_error_ = LastGdiError();
    }
    DestroyMenu(menu_);
    menu_ = nullptr;
    ShowMessage(kMainCaption,
                std::string("The program's window could not be made: ") + create_failure_ + " failed.\n\n" +
                    SystemErrorText(create_error_),
                MessageKind::Error);
    return false;
  }
  // A menu bar that wraps (large system fonts) takes height from the client
  // area; the content is laid out for exactly the design size.
  RECT client{};
  GetClientRect(Handle(), &client);
  const int dx = design::Pixels(design::kClientWidth) - client.right;
  const int dy = design::Pixels(design::kClientHeight) - client.bottom;
  if (dx != 0 || dy != 0) {
    SetWindowPos(Handle(), nullptr, 0, 0, frame.right - frame.left + dx, frame.bottom - frame.top + dy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  if (!Form_Load()) {
    Destroy();
    return false;
  }
  ShowWindow(Handle(), show_command);
  UpdateWindow(Handle());
  return true;
}

LRESULT Form1::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      create_error_ = OnCreate(create_failure_);
      return create_error_ ? -1 : 0;
    case WM_ERASEBKGND:
      return 1;  // the artwork covers the whole client area
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_TIMER:
      if (wparam == kTimerId) Timer1_Timer(form_);
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wparam), HIWORD(wparam));
      return 0;
    case WM_SYSCOMMAND:
    case WM_CONTEXTMENU:
    case kPopupSystemMenu:
      if (OpensModalLoop(message, wparam)) return 0;
      return DefWindowProcW(Handle(), message, wparam, lparam);
    case WM_CLOSE:
      OnClose();
      return 0;
    default:
      return DefWindowProcW(Handle(), message, wparam, lparam);
  }
}

std::error_code Form1::OnCreate(const char*& what) {
  SetLastError(0);
  what = "loading the artwork";
  if (background_ = LoadBitmapResource(IDB_BACKGROUND); !background_) return LastGdiError();
  what = "the labels' font";
  if (label_font_ = DesignFont(design::kLabelFont, design::kLabelPoints, design::kLabelWeight); !label_font_) {
    return LastGdiError();
  }
  what = "the about panel's font";
  if (about_font_ = DesignFont(design::kAboutFont, design::kAboutPoints, design::kAboutWeight); !about_font_) {
    return LastGdiError();
  }
  what = "the activity line's pen";
  if (std::error_code error = line_.Create()) return error;
  what = "the progress bar";
  if (std::error_code error = bar_.Create(Handle(), kBarId, PixelRect(design::kProgressBar), IDB_PROGRESS,
                                          design::kBarBackColour)) {
    return error;
  }
  what = "the info panel";
  if (std::error_code error = info_.Create(Handle(), kInfoId, PixelRect(design::kInfoPanel), IDB_INFO,
                                           GetSysColor(COLOR_WINDOW))) {
    return error;
  }
  what = "the about panel";
  if (std::error_code error = about_.Create(Handle(), kAboutId, PixelRect(design::kAboutPanel), IDB_ABOUT,
                                            GetSysColor(COLOR_WINDOW))) {
    return error;
  }
  about_.SetOverlay(std::wstring(design::kAboutVersionText), POINT{design::kAboutVersionX, design::kAboutVersionY},
                    about_font_.get(), design::kAboutVersionColour);
  // Stacking: the about panel on top, then the info panel, then the bar.
  for (const PictureBox* box : {&bar_, &info_, &about_}) {
    SetWindowPos(box->Handle(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  // The bar is never hidden; the panels stay hidden until Form_Load is done.
  bar_.Show(true);

  what = "the info panel's tooltip";
  if (std::error_code error = AddInfoTooltip()) return error;

  // Windows raises the 1 ms interval to its own minimum; the line's speed
  // follows whatever rate that gives.
  what = "the timer";
  if (SetTimer(Handle(), kTimerId, design::kTimerMilliseconds, nullptr) == 0) return LastGdiError();
  what = nullptr;
  return {};
}

std::error_code Form1::AddInfoTooltip() {
  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, Handle(), nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  if (tooltip_ == nullptr) return LastGdiError();
  std::wstring tip(design::kInfoTip);
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = Handle();
  tool.uId = reinterpret_cast<UINT_PTR>(info_.Handle());
  tool.lpszText = tip.data();
  if (!SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool))) return LastGdiError();
  return {};
}

bool Form1::Form_Load() {
  const std::string data = DataFolderOf(setup_.own_folder);
  if (const std::error_code error = ChangeCurrentFolder(data)) {
    ShowMessage(kMainCaption, "The data folder was not found:\n" + data + "\n\n" + SystemErrorText(error) +
                    "\n\nPut the program into the game's folder, the one that holds the data folder.",
                MessageKind::Error);
    EndProgram(kFailureExitCode);
    return false;
  }
  ShowLabel(StatusLabel::Ok, false);
  ShowLabel(StatusLabel::DirectoryEmpty, false);
  ShowPanel(Panel::Info, false);
  ShowPanel(Panel::About, false);
  return true;
}

void Form1::OnCommand(unsigned id, unsigned code) {
  if (id == kInfoId && code == STN_CLICKED) return Picture2_Click();
  if (id == kAboutId && code == STN_CLICKED) return Picture3_Click();
  for (const auto& entry : design::kMenu) {
    if (id != design::MenuId(entry.command)) continue;
    // A disabled command cannot be chosen, whatever sent it.
    if (!MenuEnabled(entry.command)) return;
    switch (entry.command) {
      case MenuCommand::Inizia:
        return inizia_Click();
      case MenuCommand::Info:
        return info_Click();
      case MenuCommand::About:
        return about_Click();
      case MenuCommand::Esci:
        return esci_Click();
    }
  }
}

// While a run is in progress the window must not enter a loop of its own
// that runs until the player leaves it: the run waits for the packer inside
// our event processing, and would wait for that loop as well. Such are the
// menu bar, chosen by mouse or keyboard (F10, Alt: all its commands are
// disabled during a run anyway) and the system menu (Alt+Space, a click on
// the title bar's icon, a right click on the title bar, Shift and a right
// click on the taskbar button). Moving the window by its title bar stays:
// that loop ends as the mouse button is let go.
bool Form1::OpensModalLoop(UINT message, WPARAM wparam) const {
  if (!running_) return false;
  if (message != WM_SYSCOMMAND) return true;
  // The low four bits of the command are the system's own.
  const WPARAM command = wparam & 0xFFF0;
  return command == SC_KEYMENU || command == SC_MOUSEMENU;
}

void Form1::OnClose() {
  // While files are being handled the window stays, as "exit" does: ending
  // then would leave a file compressed but not imported.
  if (!exit_enabled_) return;
  Destroy();
  PostQuitMessage(0);
}

void Form1::inizia_Click() {
  running_ = true;
  const ImportContext context{setup_.own_folder, *setup_.processes, setup_.packer};
  ::inizia_Click(form_, *this, context);
  running_ = false;
  if (quit_pending_) {
    quit_pending_ = false;
    PostQuitMessage(quit_code_);
  }
}

void Form1::info_Click() {
  ShowLabel(StatusLabel::DirectoryEmpty, false);
  ShowPanel(Panel::Info, true);
}

void Form1::about_Click() {
  ShowLabel(StatusLabel::DirectoryEmpty, false);
  ShowPanel(Panel::About, true);
}

void Form1::Picture2_Click() { ShowPanel(Panel::Info, false); }

void Form1::Picture3_Click() { ShowPanel(Panel::About, false); }

void Form1::esci_Click() { EndProgram(0); }

bool Form1::LabelVisible(StatusLabel label) const {
  return label == StatusLabel::Ok ? ok_visible_ : empty_visible_;
}

bool Form1::PanelVisible(Panel panel) const { return (panel == Panel::Info ? info_ : about_).Visible(); }

HWND Form1::PanelHandle(Panel panel) const { return (panel == Panel::Info ? info_ : about_).Handle(); }

HWND Form1::BarHandle() const { return bar_.Handle(); }

bool Form1::MenuEnabled(MenuCommand command) const {
  const UINT state = GetMenuState(menu_, design::MenuId(command), MF_BYCOMMAND);
  return state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED)) == 0;
}

std::error_code Form1::SetFileListFolder(std::string_view folder) { return file_list_.SetFolder(std::string(folder)); }

std::error_code Form1::SetFileListPattern(std::string_view pattern) {
  return file_list_.SetPattern(std::string(pattern));
}

std::int32_t Form1::FileListCount() { return file_list_.Count(); }

std::string Form1::FileListEntry(std::int32_t index) { return file_list_.Entry(index); }

void Form1::ShowLabel(StatusLabel label, bool visible) {
  bool& shown = label == StatusLabel::Ok ? ok_visible_ : empty_visible_;
  if (shown == visible) return;
  shown = visible;
  InvalidateLabel(label);
}

void Form1::ShowOutcome(std::string_view text) {
  const std::wstring wide = Widen(text);
  if (wide == outcome_text_) return;
  outcome_text_ = wide;
  InvalidateOutcome();
}

void Form1::InvalidateOutcome() {
  const RECT box = PixelRect(design::kOutcomeLabel);
  InvalidateRect(Handle(), &box, FALSE);
}

void Form1::InvalidateLabel(StatusLabel label) {
  const RECT box = LabelRect(label);
  InvalidateRect(Handle(), &box, FALSE);
}

void Form1::ShowPanel(Panel panel, bool visible) { (panel == Panel::Info ? info_ : about_).Show(visible); }

void Form1::EnableMenu(MenuCommand command, bool enabled) {
  const auto flags = static_cast<UINT>(MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
  EnableMenuItem(menu_, design::MenuId(command), flags);
  if (command == MenuCommand::Esci) {
    // The close box and Alt+F4 follow "exit".
    exit_enabled_ = enabled;
    EnableMenuItem(GetSystemMenu(Handle(), FALSE), SC_CLOSE, flags);
  }
  DrawMenuBar(Handle());
}

void Form1::SetCaption(std::string_view caption) { SetWindowTextW(Handle(), Widen(caption).c_str()); }

void Form1::SetLineEnd(float x2_twips) {
  const RECT damage = line_.MoveEnd(x2_twips);
  if (!IsRectEmpty(&damage)) InvalidateRect(Handle(), &damage, FALSE);
}

void Form1::SetProgressWidth(float width_twips) { bar_.SetWidth(design::Pixels(width_twips)); }

void Form1::ProcessEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Posting it again now would hand it straight back to this loop and
      // the wait would spin; the run posts it once it is over. Everything
      // else keeps being dispatched, so the queue empties and the wait can
      // block.
      quit_pending_ = true;
      quit_code_ = static_cast<int>(message.wParam);
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (quit_pending_ && !running_) {
    quit_pending_ = false;
    PostQuitMessage(quit_code_);
  }
}

void Form1::ShowMessage(std::string_view caption, std::string_view text, MessageKind kind) {
  if (setup_.show_message) return setup_.show_message(caption, text, kind);
  const UINT flags = kind == MessageKind::Error ? MB_OK | MB_ICONERROR : MB_OK;
  MessageBoxW(Handle(), Widen(text).c_str(), Widen(caption).c_str(), flags);
}

void Form1::EndProgram(int exit_code) {
  if (setup_.end_program) return setup_.end_program(exit_code);
  ExitProcess(static_cast<UINT>(exit_code));
}

void Form1::OnPaint() {
  PAINTSTRUCT ps;
  const HDC dc = BeginPaint(Handle(), &ps);
  const RECT area = ps.rcPaint;
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  if (width > 0 && height > 0) {
    // Everything goes to an off-screen bitmap first: the artwork, the line
    // and the labels overlap, and drawing them one after the other on screen
    // would flicker with every move of the line. Without memory for the
    // buffer it is drawn straight onto the screen, flicker and all.
    const UniqueMemoryDc buffer{CreateCompatibleDC(dc)};
    const UniqueBitmap pixels{buffer ? CreateCompatibleBitmap(dc, width, height) : nullptr};
    if (pixels) {
      const Selection target(buffer.get(), pixels.get());
      SetViewportOrgEx(buffer.get(), -area.left, -area.top, nullptr);
      PaintSurface(buffer.get(), area);
      BitBlt(dc, area.left, area.top, width, height, buffer.get(), area.left, area.top, SRCCOPY);
    } else {
      PaintSurface(dc, area);
    }
  }
  EndPaint(Handle(), &ps);
}

void Form1::PaintSurface(HDC dc, const RECT& area) {
  if (const UniqueMemoryDc art{CreateCompatibleDC(dc)}) {
    const Selection picture(art.get(), background_.get());
    BitBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top, art.get(), area.left, area.top,
           SRCCOPY);
  }

  // Bottom to top: the line, "OK !", "DIRECTORY EMPTY", the outcome.
  line_.Paint(dc);
  const Selection font(dc, label_font_.get());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, design::kLabelTextColour);
  struct LabelPaint {
    bool visible;
    StatusLabel label;
    int back;
    std::wstring_view text;
  };
  // "OK !" keeps a label's default face colour, "DIRECTORY EMPTY" the
  // window colour it was given.
  const LabelPaint labels[] = {{ok_visible_, StatusLabel::Ok, COLOR_BTNFACE, design::kOkText},
                               {empty_visible_, StatusLabel::DirectoryEmpty, COLOR_WINDOW, design::kEmptyText}};
  for (const LabelPaint& l : labels) {
    if (!l.visible) continue;
    RECT box = LabelRect(l.label);
    FillRect(dc, &box, GetSysColorBrush(l.back));
    DrawTextW(dc, l.text.data(), static_cast<int>(l.text.size()), &box, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
  }
  if (!outcome_text_.empty()) {
    // The face colour of "OK !", as far as the text goes.
    const RECT room = PixelRect(design::kOutcomeLabel);
    RECT box = room;
    constexpr UINT kFormat = DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX;
    DrawTextW(dc, outcome_text_.c_str(), static_cast<int>(outcome_text_.size()), &box, kFormat | DT_CALCRECT);
    box.right = std::min(box.right + 4, room.right);
    box.bottom = room.bottom;
    FillRect(dc, &box, GetSysColorBrush(COLOR_BTNFACE));
    DrawTextW(dc, outcome_text_.c_str(), static_cast<int>(outcome_text_.size()), &box, kFormat);
  }
}
