#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void SyncFolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

std::error_code DeleteFileAt(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return {errno, std::generic_category()};
  SyncFolderOf(path);
  return {};
}

bool HeldByAnother(std::error_code, const std::string&) { return false; }
