// Stands where gfxpak.exe stands and runs the real packer, gfxpak-real.exe
// beside it, with the very same arguments, so the benchmark can tell the
// time spent inside the packer from the time spent in the tool. Each run
// appends one line to the file named by TESSOLO_TIMING_LOG:
//   <created> <start> <end> <leave> <exit code>   (Unix time in seconds)
// created: when this process was made, inside the tool's CreateProcessW;
// start to end: the real packer's whole process, its start-up under Wine
// included, as the tool would see it. created to start is the stopwatch's
// own start-up, which the released tool does not have; leave: when it is done
// and returns (its own exit under Wine follows and is not measured).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

double UnixSeconds(const FILETIME& t) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  // File times count from 1601; the benchmark compares them with Unix time.
  constexpr double kUnixEpoch = 11644473600.0;
  return static_cast<double>(ticks) / 1e7 - kUnixEpoch;
}

double Now() {
  FILETIME t;
  GetSystemTimePreciseAsFileTime(&t);
  return UnixSeconds(t);
}

double Created() {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0.0;
  return UnixSeconds(created);
}

// The arguments as the tool wrote them: the command line after the program
// name, untouched, so the real packer splits it exactly as it would have.
const wchar_t* ArgumentsOf(const wchar_t* line) {
  bool quoted = false;
  for (; *line != L'\0'; ++line) {
    if (*line == L'"') quoted = !quoted;
    if (!quoted && (*line == L' ' || *line == L'\t')) break;
  }
  return line;
}

}  // namespace

int wmain() {
  wchar_t own[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return 3;
  std::wstring real(own, length);
  real.resize(real.find_last_of(L"\\/") + 1);
  real += L"gfxpak-real.exe";
  // CreateProcessW may write into the command line, so it gets a copy.
  std::wstring line = L"\"" + real + L"\"" + ArgumentsOf(GetCommandLineW());

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const double created = Created();
  const double start = Now();
  if (!CreateProcessW(real.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "timed_gfxpak: cannot start gfxpak-real.exe (error %lu)\n", GetLastError());
    return 3;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  const double end = Now();
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);

  wchar_t log[MAX_PATH];
  const DWORD log_length = GetEnvironmentVariableW(L"TESSOLO_TIMING_LOG", log, MAX_PATH);
  if (log_length > 0 && log_length < MAX_PATH) {
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char text[128];
      int size = std::snprintf(text, sizeof text, "%.4f %.4f %.4f ", created, start, end);
      // The time to leave is taken last, the writing of the line included.
      size += std::snprintf(text + size, sizeof text - static_cast<std::size_t>(size), "%.4f %lu\n", Now(), code);
      DWORD written = 0;
      WriteFile(file, text, static_cast<DWORD>(size), &written, nullptr);
      CloseHandle(file);
    }
  }
  return static_cast<int>(code);
}
