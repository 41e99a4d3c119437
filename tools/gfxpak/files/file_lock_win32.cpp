// Win32: gfxpak's writers wait for each other on a lock file that only one
// process can have open.
#include "file_lock.h"

#include <windows.h>

#include "file.h"
#include "utf.h"

namespace gfxpak {

// Shared with nobody, so a second open fails with a sharing violation while
// the first is held; deleted by the system when the handle closes, which also
// happens when the holder is killed.
std::error_code FileLock::TryAcquire(const std::string& path) {
  // Deleting on close needs the right to delete.
  const std::wstring wide = Widen(path);
  // gfxpak writes nothing into its lock file: one that holds data is a file
  // of someone else's, which deleting on close would delete.
  WIN32_FILE_ATTRIBUTE_DATA found{};
  if (GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &found) &&
      (found.nFileSizeLow != 0 || found.nFileSizeHigh != 0)) {
    return Errc::kForeignLockFile;
  }
  const auto open = [&] {
    return CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  };
  HANDLE h = open();
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      // No lock file, and none may be made: the folder is not ours to write in.
      SetLastError(ERROR_ACCESS_DENIED);
    } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      // Left read-only (a data folder copied from a CD): nobody can hold it,
      // as holding it takes the right to write. It is taken over.
      if (SetFileAttributesW(wide.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) h = open();
    } else {
      // A lock file whose last handle is closing is refused with access
      // denied for a moment: that is a lock being let go. Should it last
      // past the wait, it is a missing right after all.
      denied_ = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
      return Errc::kInUse;
    }
  }
  if (h == INVALID_HANDLE_VALUE) return InUseAsOwn(LastSystemError(), path);
  path_ = path;
  handle_ = OwnedHandle(h);
  return {};
}

// The system deletes the lock file as the handle closes.
void FileLock::Release() { handle_.Reset(); }

}  // namespace gfxpak
