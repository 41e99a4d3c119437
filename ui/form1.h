#pragma once

#include "activity_line.h"
#include "base_window.h"
#include "file_list.h"
#include "form_state.h"
#include "gdi.h"
#include "picture_box.h"
#include "process_service.h"
#include "window_ops.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

// What a window is built against. The program uses the defaults; tests give
// their own folder, packer and replacements for the two calls that would
// otherwise stop them (the process exit and the modal message box).
struct Form1Setup {
  std::string own_folder;                // empty: the executable's folder
  std::string packer = "gfxpak";         // as the command lines name it
  ProcessService* processes = nullptr;   // null: the system's processes
  std::function<void(int)> end_program;  // empty: ExitProcess
  // The message box: caption, text, kind. Empty: MessageBoxW.
  std::function<void(std::string_view, std::string_view, MessageKind)> show_message;
};

// The tool's one window: menu, background artwork, two panels, the status
// labels, the progress bar and the activity line; it holds the form-level
// state and lends itself to the import run as its window.
class Form1 final : public WindowOps, public BaseWindow<Form1> {
 public:
  static constexpr const wchar_t* kClassName = L"TessoloForm1";

  explicit Form1(Form1Setup setup = {});
  ~Form1() override;

  // Creates the window hidden, runs Form_Load and then shows it with the
  // given show command. False when the window could not be built (the
  // message box says what failed) or when Form_Load ended the program (only
  // possible with a replaced EndProgram).
  bool Create(int show_command);

  FormState& State() { return form_; }

  // Read-back of what the window shows, for tests.
  bool LabelVisible(StatusLabel label) const;
  const std::wstring& OutcomeText() const { return outcome_text_; }
  bool PanelVisible(Panel panel) const;
  HWND PanelHandle(Panel panel) const;
  HWND BarHandle() const;
  HWND TooltipHandle() const { return tooltip_; }
  float LineEnd() const { return line_.End(); }
  bool MenuEnabled(MenuCommand command) const;
  // True while the import run is inside its handler.
  bool Running() const { return running_; }

  // WindowOps
  std::error_code SetFileListFolder(std::string_view folder) override;
  std::error_code SetFileListPattern(std::string_view pattern) override;
  std::int32_t FileListCount() override;
  std::string FileListEntry(std::int32_t index) override;
  void ShowLabel(StatusLabel label, bool visible) override;
  void ShowOutcome(std::string_view text) override;
  void ShowPanel(Panel panel, bool visible) override;
  void EnableMenu(MenuCommand command, bool enabled) override;
  void SetCaption(std::string_view caption) override;
  void SetLineEnd(float x2_twips) override;
  void SetProgressWidth(float width_twips) override;
  void ProcessEvents() override;
  void ShowMessage(std::string_view caption, std::string_view text, MessageKind kind) override;
  void EndProgram(int exit_code) override;

 private:
  friend class BaseWindow<Form1>;
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  // Builds what the window shows; on failure says what could not be made.
  std::error_code OnCreate(const char*& what);
  std::error_code AddInfoTooltip();
  void OnPaint();
  void OnCommand(unsigned id, unsigned code);
  bool OpensModalLoop(UINT message, WPARAM wparam) const;
  void OnClose();

  bool Form_Load();
  void inizia_Click();
  void info_Click();
  void about_Click();
  void Picture2_Click();
  void Picture3_Click();
  void esci_Click();

  void InvalidateLabel(StatusLabel label);
  void InvalidateOutcome();
  void PaintSurface(HDC dc, const RECT& area);

  Form1Setup setup_;
  std::unique_ptr<ProcessService> own_processes_;
  FormState form_;
  FileList file_list_;
  ActivityLine line_;

  HMENU menu_ = nullptr;  // the window's own once attached
  HWND tooltip_ = nullptr;  // a child: goes with the window
  UniqueBitmap background_;
  UniqueFont label_font_;
  UniqueFont about_font_;  // the about panel's version line
  // Declared after what they draw with, so they go first.
  PictureBox bar_;    // Picture1
  PictureBox info_;   // Picture2
  PictureBox about_;  // Picture3
  const char* create_failure_ = nullptr;
  std::error_code create_error_;
  bool ok_visible_ = false;            // Label1
  bool empty_visible_ = false;         // Label2
  std::wstring outcome_text_;          // Label3; empty: hidden
  bool exit_enabled_ = true;
  bool running_ = false;
  // A WM_QUIT met while a run pumps events: kept until the run is over.
  bool quit_pending_ = false;
  int quit_code_ = 0;
  bool ended_ = false;
};
