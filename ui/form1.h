#pragma once

#include "file_list.h"
#include "form_state.h"
#include "activity_line.h"
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
  std::function<void(std::string_view, MessageKind)> show_message;  // empty: MessageBoxW
};

// The tool's one window: menu, background artwork, two panels, the status
// labels, the progress bar and the activity line; it holds the form-level
// state and lends itself to the import run as its window.
class Form1 final : public WindowOps {
 public:
  explicit Form1(Form1Setup setup = {});
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;
  ~Form1() override;

  // Creates the window hidden, runs Form_Load and then shows it with the
  // given show command. False when the window could not be built or when
  // Form_Load ended the program (only possible with a replaced EndProgram).
  bool Create(int show_command);

  HWND Handle() const { return hwnd_; }
  FormState& State() { return form_; }

  // Read-back of what the window shows, for tests.
  bool LabelVisible(StatusLabel label) const;
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
  void ShowPanel(Panel panel, bool visible) override;
  void EnableMenu(MenuCommand command, bool enabled) override;
  void SetCaption(std::string_view caption) override;
  void SetLineEnd(float x2_twips) override;
  void SetProgressWidth(float width_twips) override;
  void ProcessEvents() override;
  void ShowMessage(std::string_view text, MessageKind kind) override;
  void EndProgram(int exit_code) override;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);
  bool OnCreate();
  void OnPaint();
  void OnCommand(unsigned id, unsigned code);
  void OnClose();

  bool Form_Load();
  void inizia_Click();
  void info_Click();
  void about_Click();
  void Picture2_Click();
  void Picture3_Click();
  void esci_Click();

  void InvalidateLabel(StatusLabel label);
  void PaintSurface(HDC dc, const RECT& area);

  Form1Setup setup_;
  std::unique_ptr<ProcessService> own_processes_;
  FormState form_;
  FileList file_list_;
  ActivityLine line_;

  HWND hwnd_ = nullptr;
  HMENU menu_ = nullptr;
  HWND tooltip_ = nullptr;
  HBITMAP background_ = nullptr;
  HFONT label_font_ = nullptr;
  std::unique_ptr<PictureBox> bar_;    // Picture1
  std::unique_ptr<PictureBox> info_;   // Picture2
  std::unique_ptr<PictureBox> about_;  // Picture3
  bool ok_visible_ = false;            // Label1
  bool empty_visible_ = false;         // Label2
  bool exit_enabled_ = true;
  bool running_ = false;
  // A WM_QUIT met while a run pumps events: kept until the run is over.
  bool quit_pending_ = false;
  int quit_code_ = 0;
  bool ended_ = false;
};
