// The portable half of file.h.
#include "file.h"

namespace gfxpak {

std::error_code InUseAsOwn(std::error_code error, const std::string& path) {
  if (HeldByAnother(error, path)) return Errc::kInUse;
  return error;
}

std::error_code ReadWholeFile(const std::string& path, FileBytes& data) {
  File file;
  if (auto error = file.Open(path, OpenMode::kRead)) return error;
  std::uint64_t size = 0;
  if (auto error = file.Size(size)) return error;
  if (size > 0xFFFFFFFFu) return Errc::kFileTooLarge;
  return file.ReadAt(0, data.Allocate(static_cast<std::size_t>(size)));
}

}  // namespace gfxpak
