// Stands in for an antivirus scanner, a search indexer or a sync client: it
// watches a folder and opens every file that is made, renamed into it or
// written there, without sharing it with anyone, for a moment, as those
// programs do on a player's Windows: once for each batch of changes the
// system reports, however often the file was written in it. It runs until
// a release file exists.
// Usage: scan_folder FOLDER HOLD_MS RELEASE_FILE
//   prints "watching" once it watches, and at the end "held N files"
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Opens the file shared with nobody and keeps it open for hold_ms; a file
// that is gone again, or open already by a writer, is passed by, as a
// scanner passes it by.
bool Hold(const std::wstring& path, DWORD hold_ms) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  Sleep(hold_ms);
  CloseHandle(file);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: scan_folder FOLDER HOLD_MS RELEASE_FILE\n", stderr);
    return 2;
  }
  const std::wstring folder = argv[1];
  const DWORD hold_ms = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  HANDLE watch = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (watch == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "scan_folder: cannot watch the folder (error %lu)\n", GetLastError());
    return 1;
  }
  OVERLAPPED pending{};
  pending.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  alignas(DWORD) char buffer[64 * 1024];
  const DWORD what = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
  std::puts("watching");
  std::fflush(stdout);
  unsigned held = 0;
  // A bound, so a test that dies before it releases the folder cannot leave
  // this process behind for long.
  for (int round = 0; round < 12000 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++round) {
    ResetEvent(pending.hEvent);
    if (!ReadDirectoryChangesW(watch, buffer, sizeof buffer, FALSE, what, nullptr, &pending, nullptr)) break;
    if (WaitForSingleObject(pending.hEvent, 100) != WAIT_OBJECT_0) {
      CancelIo(watch);
      DWORD ignored = 0;
      GetOverlappedResult(watch, &pending, &ignored, TRUE);
      continue;
    }
    DWORD got = 0;
    if (!GetOverlappedResult(watch, &pending, &got, FALSE) || got == 0) continue;
    std::vector<std::wstring> seen;
    for (const char* at = buffer;;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
      const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (info->Action != FILE_ACTION_REMOVED && info->Action != FILE_ACTION_RENAMED_OLD_NAME &&
          std::find(seen.begin(), seen.end(), name) == seen.end()) {
        seen.push_back(name);
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
    for (const std::wstring& name : seen) {
      if (Hold(folder + L"\\" + name, hold_ms)) ++held;
    }
  }
  std::printf("held %u files\n", held);
  CloseHandle(pending.hEvent);
  CloseHandle(watch);
  return 0;
}
