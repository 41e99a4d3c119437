// POSIX files: pread/pwrite, and an exclusive advisory lock for writers so
// that two packers never update one archive at the same time.
#include "file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gfxpak {

namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

std::error_code File::Open(const std::string& path, OpenMode mode) {
  Close();
  int flags = O_RDONLY;
  if (mode == OpenMode::kUpdate) flags = O_RDWR;
  if (mode == OpenMode::kCreateNew) flags = O_RDWR | O_CREAT | O_EXCL;
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return LastError();
  if (mode != OpenMode::kRead && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int lock_errno = errno;
    ::close(fd);
    if (lock_errno == EWOULDBLOCK) return FileErrc::kInUse;
    return {lock_errno, std::generic_category()};
  }
  fd_ = fd;
  return {};
}

bool File::is_open() const { return fd_ >= 0; }

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::error_code File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) const {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pread(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return FileErrc::kShortRead;
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code File::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

std::error_code File::Flush() {
  if (::fdatasync(fd_) != 0) return LastError();
  return {};
}

std::error_code File::Size(std::uint64_t& size) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return LastError();
  size = static_cast<std::uint64_t>(st.st_size);
  return {};
}

std::error_code File::Truncate(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return LastError();
  return {};
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::error_code RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return LastError();
  return {};
}

std::error_code RenameOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
  // The rename itself must reach the disk before we report success.
  const std::string dir = DirectoryOf(to);
  const int dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return {};
}

std::string TemporaryPathBeside(const std::string& target) {
  return DirectoryOf(target) + "." + BareName(target) + "." + std::to_string(::getpid()) + ".tmp";
}

}  // namespace gfxpak
