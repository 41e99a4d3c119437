#pragma once

#include "window_ops.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A window that records every operation the engine asks of it, one line per
// call ("caption COMPRESS a_b.o", "menu start off", ...), so a test can read
// back the whole sequence of a run.
class FakeWindow : public WindowOps {
 public:
  std::vector<std::string> log;
  std::vector<std::string> files;  // what the file list holds
  int end_calls = 0;
  int exit_code = -1;
  std::error_code list_error;  // what listing the folder reports
  std::vector<std::string> captions;  // of the message boxes, in order

  std::error_code SetFileListFolder(std::string_view folder) override {
    Add("folder " + std::string(folder));
    return list_error;
  }
  std::error_code SetFileListPattern(std::string_view pattern) override {
    Add("pattern " + std::string(pattern));
    return list_error;
  }
  std::int32_t FileListCount() override { return static_cast<std::int32_t>(files.size()); }
  std::string FileListEntry(std::int32_t index) override {
    return files.at(static_cast<std::size_t>(index));
  }
  void ShowLabel(StatusLabel label, bool visible) override {
    Add(std::string("label ") + (label == StatusLabel::Ok ? "ok" : "empty") + (visible ? " on" : " off"));
  }
  void ShowOutcome(std::string_view text) override { Add("outcome " + std::string(text)); }
  void ShowPanel(Panel panel, bool visible) override {
    Add(std::string("panel ") + (panel == Panel::Info ? "info" : "about") + (visible ? " on" : " off"));
  }
  void EnableMenu(MenuCommand command, bool enabled) override {
    static const char* const kNames[] = {"start", "info", "about", "exit"};
    Add(std::string("menu ") + kNames[static_cast<int>(command)] + (enabled ? " on" : " off"));
  }
  void SetCaption(std::string_view caption) override { Add("caption " + std::string(caption)); }
  void SetLineEnd(float x2) override { Add("line " + Number(x2)); }
  void SetProgressWidth(float width) override { Add("bar " + Number(width)); }
  void ProcessEvents() override {
    ++events;
    if (on_events) on_events();
  }
  void ShowMessage(std::string_view caption, std::string_view text, MessageKind kind) override {
    captions.emplace_back(caption);
    Add(std::string(kind == MessageKind::Plain ? "message " : "error ") + std::string(text));
  }
  void EndProgram(int code) override {
    ++end_calls;
    exit_code = code;
    Add("end " + std::to_string(code));
  }

  int events = 0;
  std::function<void()> on_events;  // what "pending events" do, e.g. timer ticks

 private:
  void Add(std::string line) { log.push_back(std::move(line)); }
  static std::string Number(float v) {
    std::string s = std::to_string(v);
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
  }
};
