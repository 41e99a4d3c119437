#include "files.h"

#include <windows.h>

#include "owned_handle.h"
#include "utf.h"

std::error_code DeleteFileAt(const std::string& path) {
  if (!DeleteFileW(Widen(path).c_str())) return LastSystemError();
  return {};
}

bool HeldByAnother(std::error_code error, const std::string& path) {
  if (error.category() != std::system_category()) return false;
  switch (error.value()) {
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_DELETE_PENDING: return true;
    case ERROR_ACCESS_DENIED: break;
    default: return false;
  }
  // Renaming over or deleting a file that another program holds open
  // without leave to delete it is refused as access denied, like a
  // read-only file or a missing right: asking for that leave alone, with
  // every kind of sharing allowed, tells them apart.
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
    return false;
  }
  HANDLE probe = CreateFileW(wide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}
