// POSIX: gfxpak serialises its own writers with an advisory lock on a file
// beside the archive.
#include "file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gfxpak {

std::error_code LockExclusively(const OwnedHandle& fd) {
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return {};
  if (errno == EWOULDBLOCK) return Errc::kInUse;
  return LastSystemError();
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
    const std::error_code denied = LastSystemError();
    fd = OwnedHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return denied;
  }
  if (!fd.valid()) return LastSystemError();
  struct stat held {};
  // gfxpak writes nothing into its lock file: one that holds data is a file
  // of someone else's, which releasing the lock would delete.
  if (::fstat(fd.get(), &held) != 0) return LastSystemError();
  if (held.st_size > 0) return Errc::kForeignLockFile;
  if (auto error = LockExclusively(fd)) return error;
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0 || held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
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

}  // namespace gfxpak
