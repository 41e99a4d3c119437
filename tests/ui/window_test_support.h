#pragma once

#include "form1.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

struct WindowTestOptions {
  bool data_folder = true;
  // The stand-in packer in the tool folder, logging every command it gets
  // and taking this long for each.
  bool packer = false;
  int packer_ms = 0;
  // Null: the system's processes.
  ProcessService* processes = nullptr;
};

// A tool folder of its own for one test, and a window built on it whose exit
// and message box are recorded instead of happening.
class WindowTest {
 public:
  explicit WindowTest(WindowTestOptions options = {});
  ~WindowTest();

  Form1& Window() { return *form_; }
  // Hidden unless a test reads pixels: under Wine without a window manager
  // every shown window costs seconds when it goes.
  bool Create(int show_command = SW_HIDE) { return form_->Create(show_command); }
  const std::filesystem::path& OwnFolder() const { return own_; }
  std::filesystem::path DataFolder() const { return own_ / "data"; }
  void AddFile(const std::string& name) const;
  std::vector<std::string> DataFiles() const;
  // The packer's commands in order, each as its arguments joined by blanks.
  std::vector<std::string> PackerCommands() const;

  // What a user does: choose a menu command, click a panel, close the window.
  void Choose(MenuCommand command) const;
  static void Click(HWND control);
  void Close() const;
  static void Pump();

  std::vector<int> end_codes;
  std::vector<std::string> messages;  // "plain: ..." or "error: ..."
  std::vector<std::string> captions;  // of the same messages

 private:
  std::filesystem::path own_;
  std::filesystem::path log_;
  std::filesystem::path previous_current_;
  std::unique_ptr<Form1> form_;
};

std::wstring WindowTitle(HWND hwnd);
std::wstring CurrentFolder();
