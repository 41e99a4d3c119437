// Random-access files and the few whole-file operations the packer needs.
// Paths are UTF-8 everywhere; the Windows build converts them to UTF-16 once,
// at the API call, so non-ASCII names work there too.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "files.h"
#include "error.h"

namespace gfxpak {

enum class OpenMode {
  kRead,        // shared with other readers
  kUpdate,      // read and write an existing file; no other writer or sharer-for-write
  kCreateNew,   // a new file that must not exist yet; read and write
};

// A handle of the system's (a file descriptor, a Windows HANDLE) with
// exactly one owner, closed when the owner goes.
class OwnedHandle {
 public:
#ifdef _WIN32
  using Native = void*;
  static constexpr Native kNone = nullptr;
#else
  using Native = int;
  static constexpr Native kNone = -1;
#endif
  OwnedHandle() = default;
  explicit OwnedHandle(Native native) : native_(native) {}
  OwnedHandle(OwnedHandle&& other) noexcept : native_(std::exchange(other.native_, kNone)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      native_ = std::exchange(other.native_, kNone);
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Reset(); }

  Native get() const { return native_; }
  bool valid() const { return native_ != kNone; }
  // Closes the handle (file_posix.cpp, file_win32.cpp).
  void Reset();

 private:
  Native native_ = kNone;
};

// One open file.
class File {
 public:
  std::error_code Open(const std::string& path, OpenMode mode);
  bool is_open() const { return handle_.valid(); }
  void Close() { handle_.Reset(); }

  // Reads exactly data.size() bytes at offset; Errc::kShortRead at end of file.
  std::error_code ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) const;
  std::error_code WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data);
  // Forces written data to the disk, so that later writes cannot overtake it.
  std::error_code Flush();
  std::error_code Size(std::uint64_t& size) const;
  std::error_code Truncate(std::uint64_t size);

 private:
  OwnedHandle handle_;
};

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
  bool is_held() const { return handle_.valid(); }
  void Release();

 private:
  // One attempt; Errc::kInUse while another process holds the lock.
  std::error_code TryAcquire(const std::string& path);

  std::string path_;
  OwnedHandle handle_;
  // A refusal that looked like a lock being let go; reported instead of
  // "in use" when it outlasts the wait.
  std::error_code denied_;
};

bool FileExists(const std::string& path);
// The system's error, with its "held by another program" codes as
// Errc::kInUse, the condition gfxpak reports for them.
std::error_code InUseAsOwn(std::error_code error);
// Renames from over to, replacing it in one step: a reader sees the old file
// or the new one, never a mix.
std::error_code RenameOver(const std::string& from, const std::string& to);
// Whether both paths name one existing file (also through other spellings
// or links).
bool SameFile(const std::string& a, const std::string& b);
// The bytes of a file read whole, in memory that is not cleared first, since
// every byte of it is read into.
class FileBytes {
 public:
  std::span<std::uint8_t> Allocate(std::size_t size) {
    data_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    size_ = size;
    return {data_.get(), size_};
  }
  std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }
  operator std::span<const std::uint8_t>() const { return bytes(); }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
};

std::error_code ReadWholeFile(const std::string& path, FileBytes& data);

// The folder part of a path ("" for a bare name) and the bare name; both
// separators count, as they do on Windows.
std::string DirectoryOf(const std::string& path);
std::string BareName(const std::string& path);

// The temporary name of a file that a writer makes beside path and renames
// over it. With the archive's lock only one writer at a time can use it, so
// it needs no process number, and the next writer can clear what a killed
// one left. Its ending is gfxpak's own, so that no clean-up ever takes a
// file of the user's for a leftover.
std::string TempPathFor(const std::string& path);
// The same, for a writer without the lock: unique to this process.
std::string TemporaryPathBeside(const std::string& target);
// Whether path names one of those temporary files.
bool IsTemporaryPath(const std::string& path);
// This process's id, as the system numbers processes.
std::uint32_t CurrentProcessId();

}  // namespace gfxpak
