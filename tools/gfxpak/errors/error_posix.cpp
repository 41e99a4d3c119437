#include "error.h"

#include <cerrno>

namespace gfxpak {

PackerExit SystemErrorExit(std::error_code code) {
  if (code.category() != std::generic_category() && code.category() != std::system_category()) {
    return PackerExit::kRefused;
  }
  switch (code.value()) {
    case EBUSY:
    case ETXTBSY: return PackerExit::kInUse;
    // A folder the user may not write, a read-only file or file system.
    case EACCES:
    case EPERM:
    case EROFS: return PackerExit::kAccessDenied;
    case ENOSPC:
    case EDQUOT: return PackerExit::kNoSpace;
    default: return PackerExit::kRefused;
  }
}

}  // namespace gfxpak
