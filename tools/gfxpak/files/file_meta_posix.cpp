#include "file_meta.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "path_names.h"

namespace gfxpak {

namespace {

std::error_code Errno() { return {errno, std::generic_category()}; }

std::string FolderOf(const std::string& path) {
  const std::string folder = DirectoryOf(path);
  return folder.empty() ? "." : folder;
}

}  // namespace

std::error_code FreeSpaceBeside(const std::string& path, std::uint64_t& bytes) {
  struct statvfs st {};
  if (::statvfs(FolderOf(path).c_str(), &st) != 0) return Errno();
  bytes = std::uint64_t{st.f_bavail} * st.f_frsize;
  return {};
}

std::error_code DiskFull() { return {ENOSPC, std::generic_category()}; }

std::error_code CopyPermissions(const std::string& from, const std::string& to) {
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return Errno();
  if (::chmod(to.c_str(), st.st_mode & 07777) != 0) return Errno();
  return {};
}

std::error_code FollowLinks(const std::string& path, std::string& target) {
  // As many links as the system itself follows before it gives up.
  constexpr int kMaxLinks = 40;
  target = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {};
    std::vector<char> buffer(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256) + 1);
    const ssize_t n = ::readlink(target.c_str(), buffer.data(), buffer.size());
    if (n < 0) return Errno();
    const std::string to(buffer.data(), static_cast<std::size_t>(n));
    // A relative target is relative to the link's folder.
    target = to.starts_with('/') ? to : DirectoryOf(target) + to;
  }
  return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

}  // namespace gfxpak
