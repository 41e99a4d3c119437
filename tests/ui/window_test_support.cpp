#include "window_test_support.h"

#include "design.h"
#include "utf.h"

#include <algorithm>
#include <atomic>
#include <fstream>

namespace {

std::filesystem::path NewTempFolder() {
  static std::atomic<int> counter{0};
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto folder = base / ("tessolo-ui-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(folder)) return folder;
  }
}

}  // namespace

std::filesystem::path TestProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path();
}

WindowTest::WindowTest(WindowTestOptions options)
    : own_(NewTempFolder()), log_(own_ / "gfxpak.log"), previous_current_(std::filesystem::current_path()) {
  if (options.data_folder) std::filesystem::create_directory(DataFolder());
  Form1Setup setup;
  if (options.packer) {
    std::filesystem::copy_file(TestProgramFolder() / "gfxpak.exe", own_ / "gfxpak.exe");
    setup.packer = Narrow((own_ / "gfxpak.exe").wstring());
    SetEnvironmentVariableW(L"FAKE_GFXPAK_LOG", log_.wstring().c_str());
    SetEnvironmentVariableW(L"FAKE_GFXPAK_SLEEP_MS", std::to_wstring(options.packer_ms).c_str());
  }
  setup.own_folder = Narrow(own_.wstring());
  setup.processes = options.processes;
  setup.end_program = [this](int code) { end_codes.push_back(code); };
  setup.show_message = [this](std::string_view caption, std::string_view text, MessageKind kind) {
    captions.emplace_back(caption);
    messages.push_back((kind == MessageKind::Plain ? "plain: " : "error: ") + std::string(text));
  };
  form_ = std::make_unique<Form1>(std::move(setup));
}

WindowTest::~WindowTest() {
  form_.reset();
  Pump();
  SetEnvironmentVariableW(L"FAKE_GFXPAK_LOG", nullptr);
  SetEnvironmentVariableW(L"FAKE_GFXPAK_SLEEP_MS", nullptr);
  // Form_Load made the data folder current; a current folder cannot be removed.
  std::filesystem::current_path(previous_current_);
  std::error_code ignored;
  std::filesystem::remove_all(own_, ignored);
}

void WindowTest::AddFile(const std::string& name) const { std::ofstream(DataFolder() / Widen(name)) << name; }

std::vector<std::string> WindowTest::DataFiles() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(DataFolder())) {
    names.push_back(Narrow(entry.path().filename().wstring()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> WindowTest::PackerCommands() const {
  std::vector<std::string> commands;
  std::ifstream in(log_);
  std::string line, command;
  while (std::getline(in, line)) {
    if (line == ".") {
      commands.push_back(command);
      command.clear();
    } else {
      command += (command.empty() ? "" : " ") + line;
    }
  }
  return commands;
}

void WindowTest::Choose(MenuCommand command) const {
  SendMessageW(form_->Handle(), WM_COMMAND, MAKEWPARAM(design::MenuId(command), 0), 0);
}

void WindowTest::Click(HWND control) {
  SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
}

void WindowTest::Close() const { SendMessageW(form_->Handle(), WM_SYSCOMMAND, SC_CLOSE, 0); }

void WindowTest::Pump() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

std::wstring WindowTitle(HWND hwnd) {
  wchar_t text[256] = {};
  GetWindowTextW(hwnd, text, 256);
  return text;
}

std::wstring CurrentFolder() { return std::filesystem::current_path().wstring(); }
