// Windows entry: the arguments arrive as UTF-16 (wmain), so names outside the
// ANSI code page survive; the rest of the program works in UTF-8.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "packer_protocol.h"
#include "utf.h"

namespace {

// Whether the console closes with gfxpak, taking its message along: true
// when Explorer started it (a file dropped on gfxpak.exe, a double-click),
// as then no other program shares the console and its window shows. The
// tool starts gfxpak with a console nobody sees, where a wait would never
// end.
bool ConsoleClosesWithUs() {
  DWORD processes[2];
  const HWND window = GetConsoleWindow();
  return GetConsoleProcessList(processes, 2) == 1 && window != nullptr && IsWindowVisible(window);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  // Given back at the end: cmd reads the rest of the script that ran gfxpak
  // in the console's code page, and an older cmd reads none in UTF-8.
  const UINT code_page = GetConsoleOutputCP();
  SetConsoleOutputCP(CP_UTF8);
  const int code = gfxpak::RunCommandLine(args, std::cin, std::cout, std::cerr);
  if (code == static_cast<int>(PackerExit::kUsage) && ConsoleClosesWithUs()) {
    std::cerr << "Press Enter to close this window." << std::flush;
    std::string line;
    std::getline(std::cin, line);
  }
  if (code_page != 0) SetConsoleOutputCP(code_page);
  return code;
}
