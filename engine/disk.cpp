#include "disk.h"

#include "files.h"
#include "virtual_store.h"

#include <filesystem>

namespace {

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::error_code SystemDisk::Delete(const std::string& path) { return DeleteFileAt(path); }

bool SystemDisk::Held(std::error_code error, const std::string& path) { return HeldByAnother(error, path); }

bool SystemDisk::IsFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(FsPath(path), error);
}

std::optional<std::uintmax_t> SystemDisk::FileSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(FsPath(path), error);
  if (error) return std::nullopt;
  return size;
}

std::optional<std::uintmax_t> SystemDisk::FreeSpace(const std::string& folder) {
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(FsPath(folder), error);
  if (error) return std::nullopt;
  return space.available;
}

std::string SystemDisk::CopyTheGameReads(const std::string& path) { return ::CopyTheGameReads(path); }

Disk& TheSystemDisk() {
  static SystemDisk disk;
  return disk;
}
