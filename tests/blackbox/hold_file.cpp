// Stands in for the running game: it keeps an archive open for reading,
// letting other programs read it but not write it, as long as a release file
// does not exist. Only a Windows program can hold a file this way under Wine;
// the sharing rules live in the Wine server, not in the Linux file system.
// Usage: hold_file FILE RELEASE_FILE   (prints "holding" once the file is open)
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: hold_file FILE RELEASE_FILE\n", stderr);
    return 2;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "hold_file: cannot open the file (error %lu)\n", GetLastError());
    return 1;
  }
  std::puts("holding");
  std::fflush(stdout);
  // A bound, so a test that dies before it releases the file cannot leave
  // this process behind for long.
  for (int i = 0; i < 1200 && GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  CloseHandle(file);
  return 0;
}
