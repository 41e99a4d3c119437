// POSIX files: pread/pwrite; writers take an exclusive advisory lock on the
// file they open, so that another program holding one is noticed, and gfxpak
// serialises its own writers with a lock file beside the archive.
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

// The advisory lock of one writer; another process holding it is in use.
std::error_code LockExclusively(const OwnedHandle& fd) {
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return {};
  if (errno == EWOULDBLOCK) return Errc::kInUse;
  return LastError();
}

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
      return LastError();
    }
    if (n == 0) return Errc::kShortRead;
    done += static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

void OwnedHandle::Reset() {
  if (native_ != kNone) ::close(native_);
  native_ = kNone;
}

std::error_code File::Open(const std::string& path, OpenMode mode) {
  Close();
  int flags = O_RDONLY;
  if (mode == OpenMode::kUpdate) flags = O_RDWR;
  if (mode == OpenMode::kCreateNew) flags = O_RDWR | O_CREAT | O_EXCL;
  OwnedHandle fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
  if (!fd.valid()) return LastError();
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
  if (::fdatasync(handle_.get()) != 0) return LastError();
  return {};
}

std::error_code File::Size(std::uint64_t& size) const {
  struct stat st {};
  if (::fstat(handle_.get(), &st) != 0) return LastError();
  size = static_cast<std::uint64_t>(st.st_size);
  return {};
}

std::error_code File::Truncate(std::uint64_t size) {
  if (::ftruncate(handle_.get(), static_cast<off_t>(size)) != 0) return LastError();
  return {};
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Nothing on POSIX keeps another program from changing a file.
std::error_code InUseAsOwn(std::error_code error) { return error; }

std::error_code RenameOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
  SyncFolderOf(to);
  return {};
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The lock file is removed on release, so a waiter may get the lock of a file
// that is no longer there, or no longer the one the name points to; only a
// lock on the file the name points to counts.
std::error_code FileLock::TryAcquire(const std::string& path) {
  OwnedHandle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid() && errno == EACCES) {
    // A lock file left read-only (a data folder copied from a CD) is taken
    // over as it is: flock needs no right to write. Otherwise the folder is
    // not ours to write in, which is what the error says.
    const std::error_code denied = LastError();
    fd = OwnedHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return denied;
  }
  if (!fd.valid()) return LastError();
  if (auto error = LockExclusively(fd)) return error;
  struct stat held {};
  struct stat named {};
  if (::fstat(fd.get(), &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev ||
      held.st_ino != named.st_ino) {
    return Errc::kInUse;
  }
  path_ = path;
  handle_ = std::move(fd);
  return {};
}

void FileLock::Release() {
  if (!handle_.valid()) return;
  // Removed while still locked: whoever opens the name next makes a new file.
  ::unlink(path_.c_str());
  handle_.Reset();
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace gfxpak
