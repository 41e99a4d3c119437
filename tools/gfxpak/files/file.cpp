// The portable half of file.h.
#include "file.h"

namespace gfxpak {

std::error_code InUseAsOwn(std::error_code error, const std::string& path) {
  if (HeldByAnother(error, path)) return Errc::kInUse;
  return error;
}

}  // namespace gfxpak
