// The lock that lets one gfxpak at a time change an archive.
#pragma once

#include <chrono>
#include <string>
#include <system_error>

#include "error.h"
#include "owned_handle.h"

namespace gfxpak {

// Keeps every other gfxpak that wants to change an archive waiting for as
// long as it is held. It locks a file of its own beside the archive, which
// can exist before the archive does and survives renames over the archive;
// the lock file goes when the lock does (or with the process that held it).
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Tries for up to wait, then gives up with Errc::kInUse.
  std::error_code Acquire(const std::string& path, std::chrono::milliseconds wait);
  void Release();

 private:
  // One attempt; Errc::kInUse while another process holds the lock
  // (file_lock_posix.cpp, file_lock_win32.cpp).
  std::error_code TryAcquire(const std::string& path);

  std::string path_;
  OwnedHandle handle_;
  // A refusal that looked like a lock being let go; reported instead of
  // "in use" when it outlasts the wait.
  std::error_code denied_;
};

#ifndef _WIN32
// The advisory lock of one writer on an open file; Errc::kInUse while
// another process holds it. Writers' File::Open takes it too.
std::error_code LockExclusively(const OwnedHandle& fd);
#endif

}  // namespace gfxpak
