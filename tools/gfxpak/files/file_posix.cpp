// POSIX files: pread/pwrite; writers take an exclusive advisory lock on the
// file they open, so that another program holding one is noticed.
#include "file.h"
#include "file_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gfxpak {

namespace {

// pread and pwrite may move less than asked, or be interrupted by a signal
// before moving anything: go on until all of data is done. Only a read
// moves nothing at all, at the end of the file.
template <class Byte, class Move>
std::error_code TransferAll(std::span<Byte> data, std::uint64_t offset, Move move) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = move(data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastSystemError();
    }
    if (n == 0) return Errc::kShortRead;
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

std::error_code File::Open(const std::string& path, OpenMode mode) {
  Close();
  int flags = O_RDONLY;
  if (mode == OpenMode::kUpdate) flags = O_RDWR;
  if (mode == OpenMode::kCreateNew) flags = O_RDWR | O_CREAT | O_EXCL;
  OwnedHandle fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
  if (!fd.valid()) return LastSystemError();
  if (mode != OpenMode::kRead) {
    if (auto error = LockExclusively(fd)) return error;
  }
  handle_ = std::move(fd);
  return {};
}

std::error_code File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) const {
  return TransferAll(data, offset, [fd = handle_.get()](std::uint8_t* at, std::size_t n, off_t where) {
    return ::pread(fd, at, n, where);
  });
}

std::error_code File::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  return TransferAll(data, offset, [fd = handle_.get()](const std::uint8_t* at, std::size_t n, off_t where) {
    return ::pwrite(fd, at, n, where);
  });
}

std::error_code File::Flush() {
  if (::fdatasync(handle_.get()) != 0) return LastSystemError();
  return {};
}

std::error_code File::Size(std::uint64_t& size) const {
  struct stat st {};
  if (::fstat(handle_.get(), &st) != 0) return LastSystemError();
  size = static_cast<std::uint64_t>(st.st_size);
  return {};
}

std::error_code File::Truncate(std::uint64_t size) {
  if (::ftruncate(handle_.get(), static_cast<off_t>(size)) != 0) return LastSystemError();
  return {};
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::error_code RenameOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastSystemError();
  SyncFolderOf(to);
  return {};
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace gfxpak
