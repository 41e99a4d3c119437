#include "process_service.h"
#include "owned_handle.h"
#include "utf.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

// Exit codes in the NTSTATUS error range are what an unhandled exception
// leaves behind (0xC0000005 access violation, 0xC0000409 stack overrun...).
constexpr DWORD kFirstExceptionCode = 0xC0000000u;

// A file of its own for a child's standard error, in the temporary folder
// (the game's folder may not be ours to write), inheritable so the child can
// write to it, and deleted by the system once the last handle closes, the
// child's and ours, however either program ends.
OwnedHandle ErrorCaptureFile() {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return {};
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = std::wstring(folder, length) + L"tessolo-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(counter++) + L".err";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) return OwnedHandle(file);
    if (GetLastError() != ERROR_FILE_EXISTS) return {};
  }
  return {};
}

// This process's environment with the variables given set, as the block of
// "NAME=value" strings that CreateProcessW takes in place of ours: each
// ended by a zero, the whole by one more. Windows compares names without
// regard to case.
std::vector<wchar_t> EnvironmentWith(const ChildEnvironment& set) {
  std::vector<std::wstring> variables;
  if (wchar_t* ours = GetEnvironmentStringsW()) {
    for (const wchar_t* at = ours; *at != L'\0'; at += variables.back().size() + 1) variables.emplace_back(at);
    FreeEnvironmentStringsW(ours);
  }
  for (const std::string& variable : set) {
    std::wstring wide = Widen(variable);
    const std::wstring name = wide.substr(0, wide.find(L'=') + 1);
    std::erase_if(variables, [&name](const std::wstring& v) {
      return v.size() >= name.size() && CompareStringOrdinal(v.data(), static_cast<int>(name.size()), name.data(),
                                                             static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
    });
    variables.push_back(std::move(wide));
  }
  std::vector<wchar_t> block;
  for (const std::wstring& v : variables) {
    block.insert(block.end(), v.begin(), v.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

class Win32Child final : public ChildProcess {
 public:
  Win32Child(OwnedHandle process, OwnedHandle errors) : process_(std::move(process)), errors_(std::move(errors)) {}

  // The end is decided by the handle being signalled, never by the exit
  // code: a program may well exit with 259, the value of STILL_ACTIVE.
  // After a wait that woke for input the handle is not asked again: if the
  // process ended meanwhile, the next wait returns at once on the handle and
  // the pass after it sees the end. That saves a round trip to the kernel on
  // every timer tick, which is most of what waiting costs under Wine.
  std::optional<ProcessExit> Poll() override {
    if (exit_) return exit_;
    if (woke_for_input_) return std::nullopt;
    if (WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    exit_ = ProcessExit{code >= kFirstExceptionCode, code};
    return exit_;
  }

  // MWMO_INPUTAVAILABLE wakes us for input already queued but not yet seen
  // by a wait, so a message posted before this call cannot stall the loop.
  void WaitForEndOrInput() override {
    if (exit_) return;
    HANDLE handle = process_.get();
    const DWORD woke = MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    woke_for_input_ = woke == WAIT_OBJECT_0 + 1;
  }

  // The child shared our handle, and with it the file position it wrote
  // at, so the read names its offset.
  std::string ErrorOutput(std::size_t limit) override {
    std::string text(limit, '\0');
    std::size_t got = 0;
    while (errors_.valid() && got < limit) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(got);
      DWORD n = 0;
      if (!ReadFile(errors_.get(), text.data() + got, static_cast<DWORD>(limit - got), &n, &at) || n == 0) break;
      got += n;
    }
    text.resize(got);
    return text;
  }

 private:
  OwnedHandle process_;
  OwnedHandle errors_;
  std::optional<ProcessExit> exit_;
  bool woke_for_input_ = false;
};

}  // namespace

std::string DescribeExit(const ProcessExit& exit) {
  if (exit.crashed) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(exit.code));
    return std::string("crashed (exception ") + code + ")";
  }
  return "ended with exit code " + std::to_string(exit.code);
}

std::error_code SystemProcesses::Start(std::string_view command_line, std::int16_t show_style,
                                       std::string_view working_folder, const ChildEnvironment& environment,
                                       std::unique_ptr<ChildProcess>& process) {
  process.reset();
  // CreateProcessW may write into the command line, so it gets a copy.
  std::wstring line = Widen(command_line);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = static_cast<WORD>(show_style);
  // The child's errors go to a file of its own; without one, where ours go.
  // The tool makes no other inheritable handle, so handing them all down
  // hands down this one only.
  OwnedHandle errors = ErrorCaptureFile();
  if (errors.valid()) {
    startup.dwFlags |= STARTF_USESTDHANDLES;
    startup.hStdError = errors.get();
  }
  PROCESS_INFORMATION info{};
  const std::wstring folder = Widen(working_folder);
  std::vector<wchar_t> variables;
  if (!environment.empty()) variables = EnvironmentWith(environment);
  // No application name: the system then looks for the program in the
  // tool's own folder first, then in our current folder and on PATH.
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, errors.valid() ? TRUE : FALSE,
                      CREATE_UNICODE_ENVIRONMENT, variables.empty() ? nullptr : variables.data(),
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    return LastSystemError();
  }
  CloseHandle(info.hThread);
  process = std::make_unique<Win32Child>(OwnedHandle(info.hProcess), std::move(errors));
  return {};
}
