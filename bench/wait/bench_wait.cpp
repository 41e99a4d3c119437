// Runs the import over three files with a stand-in gfxpak that sleeps 2 s per
// command, and reports the tool's CPU share over the run and the largest
// delay between a command's end and the runner's return.
// On Windows the window side is modelled as the real one behaves: a 1 ms
// timer (the system makes it 10 ms at least) whose ticks wake the wait and
// are dispatched by ProcessEvents. TESSOLO_BENCH_NO_TIMER=1 leaves the timer
// out, to tell the runner's own cost from the cost of serving the ticks.
#include "import_run.h"
#include "indicators.h"
#include "paths.h"
#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto seconds = [](FILETIME t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
  };
  return seconds(kernel) + seconds(user);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

FormState* g_form = nullptr;

#ifdef _WIN32
void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) { Timer1_Timer(*g_form); }
#endif

class BenchWindow final : public WindowOps {
 public:
  std::vector<std::string> files;
  std::vector<long long> returns_us;  // when each command's runner returned
  int passes = 0;

  std::error_code SetFileListFolder(std::string_view) override { return {}; }
  std::error_code SetFileListPattern(std::string_view) override { return {}; }
  std::int32_t FileListCount() override { return static_cast<std::int32_t>(files.size()); }
  std::string FileListEntry(std::int32_t i) override { return files.at(static_cast<std::size_t>(i)); }
  void ShowLabel(StatusLabel, bool) override {}
  void ShowPanel(Panel, bool) override {}
  void EnableMenu(MenuCommand, bool) override {}
  void SetCaption(std::string_view) override {}
  void SetLineEnd(float) override { ++passes; }
  // The import run sets the bar right after each command's runner returns.
  void SetProgressWidth(float) override {
    returns_us.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
  }
  void ProcessEvents() override {
#ifdef _WIN32
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
#endif
  }
  void ShowOutcome(std::string_view) override {}
  void ShowMessage(std::string_view, std::string_view text, MessageKind) override {
    std::fprintf(stderr, "message: %.*s\n", static_cast<int>(text.size()), text.data());
  }
  void EndProgram(int code) override { std::fprintf(stderr, "program ended (%d)\n", code); }
};

}  // namespace

int main() {
  const std::filesystem::path own =
      std::filesystem::temp_directory_path() /
      ("tessolo-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(own / "data");
  BenchWindow window;
  for (const char* name : {"bern_1.o", "bern_2.o", "bern_3.o"}) {
    std::ofstream(own / "data" / name) << "x";
    window.files.push_back(name);
  }
  const std::string stamps = (own / "stamps").string();
  SetEnv("FAKE_GFXPAK_SLEEP_MS", "2000");
  SetEnv("FAKE_GFXPAK_STAMP", stamps);

  FormState form;
  g_form = &form;
#ifdef _WIN32
  const UINT_PTR timer = std::getenv("TESSOLO_BENCH_NO_TIMER") ? 0 : SetTimer(nullptr, 0, 1, OnTimer);
#endif
  SystemProcesses processes;
#ifdef _WIN32
  const std::string packer = JoinPath(OwnFolder(), "fake_gfxpak.exe");
#else
  const std::string packer = JoinPath(OwnFolder(), "fake_gfxpak");
#endif

  const double cpu_start = CpuSeconds();
  const auto wall_start = Clock::now();
  inizia_Click(form, window, ImportContext{own.string(), processes, packer});
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const double cpu = CpuSeconds() - cpu_start;
#ifdef _WIN32
  KillTimer(nullptr, timer);
#endif

  std::vector<long long> ends;
  std::ifstream in(stamps);
  for (long long t; in >> t;) ends.push_back(t);
  std::error_code ignored;
  std::filesystem::remove_all(own, ignored);
  if (ends.size() != 6 || window.returns_us.size() != 6) {
    std::fprintf(stderr, "expected 6 commands, saw %zu ends and %zu returns\n", ends.size(), window.returns_us.size());
    return 1;
  }
  double max_latency_ms = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    const double ms = static_cast<double>(window.returns_us[i] - ends[i]) / 1000.0;
    std::printf("command %zu: returned %.3f ms after its end\n", i + 1, ms);
    max_latency_ms = std::max(max_latency_ms, ms);
  }
  std::printf("wall %.3f s, cpu %.4f s, wait passes %d, linepos %.0f\n", wall, cpu, window.passes,
              static_cast<double>(form.linepos));
  std::printf("cpu_percent=%.3f max_latency_ms=%.3f\n", cpu / wall * 100.0, max_latency_ms);
  return 0;
}
