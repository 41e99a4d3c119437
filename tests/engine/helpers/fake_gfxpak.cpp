// Stands in for gfxpak in the engine's tests and benchmark. It appends the
// arguments it received to a log, one per line, so a test sees exactly how a
// command line was split, and behaves as its environment says:
//   FAKE_GFXPAK_LOG       file to append to; each run ends with a line "."
//   FAKE_GFXPAK_SLEEP_MS  sleep this long before anything else
//   FAKE_GFXPAK_ACTION    "exit:N" to exit with N, "crash" to die of a fault
//   FAKE_GFXPAK_WHEN      arguments separated by '|'; the action applies only
//                         to a run that received all of them
//   FAKE_GFXPAK_REMOVE    with the action, delete this file first
//   FAKE_GFXPAK_STDERR    with the action, write this line to stderr first
//   FAKE_GFXPAK_STDERR_REPEAT  write it this many times (default once), to
//                         write more than a pipe holds
//   FAKE_GFXPAK_STAMP     append the steady clock (microseconds) just before exiting
//   FAKE_GFXPAK_FOLDERS   append the folder it runs in (UTF-8), one line per run
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "utf.h"
#else
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool ReceivedAll(const std::vector<std::string>& args, const std::string& when) {
  std::size_t start = 0;
  while (start <= when.size() && !when.empty()) {
    const std::size_t bar = when.find('|', start);
    const std::string want = when.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    bool found = false;
    for (const std::string& arg : args) found = found || arg == want;
    if (!found) return false;
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return true;
}

#ifdef _WIN32
LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* info) {
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}
#endif

[[noreturn]] void Crash() {
#ifdef _WIN32
  // The last-chance filter ends the process with the exception code, as the
  // system does for a crash, but without the crash dialog or the debugger
  // that Wine would start and that would leave the test waiting.
  SetUnhandledExceptionFilter(EndWithExceptionCode);
  RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
  rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  signal(SIGSEGV, SIG_DFL);
  raise(SIGSEGV);
#endif
  std::abort();
}

void Stamp() {
  const std::string path = Env("FAKE_GFXPAK_STAMP");
  if (path.empty()) return;
  // The steady clock is one clock for all processes of the machine on both
  // systems (CLOCK_MONOTONIC, QueryPerformanceCounter), so the parent can
  // compare this stamp with its own.
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  std::ofstream(path, std::ios::app) << now.count() << "\n";
}

std::string CurrentFolder() {
#ifdef _WIN32
  std::wstring folder(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
    if (n < folder.size()) {
      folder.resize(n);
      return Narrow(folder);
    }
    folder.resize(n);
  }
#else
  char folder[PATH_MAX];
  return getcwd(folder, sizeof folder) ? folder : "";
#endif
}

int Run(const std::vector<std::string>& args) {
  if (const std::string ms = Env("FAKE_GFXPAK_SLEEP_MS"); !ms.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(ms.c_str())));
  }
  if (const std::string folders = Env("FAKE_GFXPAK_FOLDERS"); !folders.empty()) {
    std::ofstream(folders, std::ios::app | std::ios::binary) << CurrentFolder() << "\n";
  }
  if (const std::string log = Env("FAKE_GFXPAK_LOG"); !log.empty()) {
    std::ofstream out(log, std::ios::app | std::ios::binary);
    for (const std::string& arg : args) out << arg << "\n";
    out << ".\n";
  }
  const std::string action = Env("FAKE_GFXPAK_ACTION");
  if (action.empty() || !ReceivedAll(args, Env("FAKE_GFXPAK_WHEN"))) {
    Stamp();
    return 0;
  }
  if (const std::string victim = Env("FAKE_GFXPAK_REMOVE"); !victim.empty()) std::remove(victim.c_str());
  if (const std::string line = Env("FAKE_GFXPAK_STDERR"); !line.empty()) {
    const std::string repeat = Env("FAKE_GFXPAK_STDERR_REPEAT");
    const long times = repeat.empty() ? 1 : std::atol(repeat.c_str());
    for (long i = 0; i < times; ++i) std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  Stamp();
  if (action == "crash") Crash();
  if (action.rfind("exit:", 0) == 0) return static_cast<int>(std::strtoul(action.c_str() + 5, nullptr, 10));
  return 0;
}

}  // namespace

#ifdef _WIN32
// Wide arguments, so names outside the ANSI code page arrive intact.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
