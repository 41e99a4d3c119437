// Windows entry: the arguments arrive as UTF-16 (wmain), so names outside the
// ANSI code page survive; the rest of the program works in UTF-8.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "utf.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Narrow(argv[i]));
  SetConsoleOutputCP(CP_UTF8);
  return gfxpak::RunCommandLine(args, std::cin, std::cout, std::cerr);
}
