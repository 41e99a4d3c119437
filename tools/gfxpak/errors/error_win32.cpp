#include "error.h"

#include <windows.h>

namespace gfxpak {

PackerExit SystemErrorExit(std::error_code code) {
  if (code.category() != std::system_category()) return PackerExit::kRefused;
  switch (code.value()) {
    // The game maps the archive into memory, or holds it open.
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return PackerExit::kInUse;
    // A folder under Program Files without administrator rights, a file
    // copied from a CD with its read-only attribute, a write-protected disk.
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_FILE_READ_ONLY:
    case ERROR_NETWORK_ACCESS_DENIED: return PackerExit::kAccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return PackerExit::kNoSpace;
    default: return PackerExit::kRefused;
  }
}

}  // namespace gfxpak
