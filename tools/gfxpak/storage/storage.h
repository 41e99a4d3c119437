// Where an archive's bytes live. The archive code reads and writes through
// Storage only, so a layer can watch every write (the undo data and the
// restore point keep bytes before they are overwritten), and the operations
// reach files through FileSystem only, so that tests can fail any write,
// rename or removal of theirs, or work in memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "error.h"
#include "file.h"
#include "file_lock.h"
#include "file_meta.h"
#include "hold_wait.h"
#include "virtual_store.h"

namespace gfxpak {

class Storage {
 public:
  virtual ~Storage() = default;
  virtual std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) = 0;
  virtual std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  virtual std::error_code Flush() = 0;
  virtual std::error_code Size(std::uint64_t& size) = 0;
  virtual std::error_code Truncate(std::uint64_t size) = 0;
};

class FileStorage : public Storage {
 public:
  explicit FileStorage(File file) : file_(std::move(file)) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override { return file_.ReadAt(offset, data); }
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override { return file_.WriteAt(offset, data); }
  std::error_code Flush() override { return file_.Flush(); }
  std::error_code Size(std::uint64_t& size) override { return file_.Size(size); }
  std::error_code Truncate(std::uint64_t size) override { return file_.Truncate(size); }

 private:
  File file_;
};

class MemoryStorage : public Storage {
 public:
  MemoryStorage() = default;
  explicit MemoryStorage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override;
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override;
  std::error_code Flush() override { return {}; }
  std::error_code Size(std::uint64_t& size) override {
    size = bytes_.size();
    return {};
  }
  std::error_code Truncate(std::uint64_t size) override {
    bytes_.resize(static_cast<std::size_t>(size));
    return {};
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The storage closes with its last owner (Windows renames and removes only
  // closed files).
  virtual std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual std::error_code Remove(const std::string& path) = 0;
  virtual std::error_code Rename(const std::string& from, const std::string& to) = 0;
  virtual std::error_code Lock(const std::string& path, FileLock& lock) = 0;
  virtual bool Same(const std::string& a, const std::string& b) = 0;
  // The copy of an archive that the game reads (virtual_store.h): the one
  // every command works on. The path itself, unless a file system knows of
  // such copies.
  virtual std::string GameCopyOf(const std::string& archive) { return archive; }
  // See file_meta.h. Where a file system does not tell its free space, a
  // copy is written without the check; one without permissions or links
  // keeps none.
  virtual std::error_code FreeSpace(const std::string&, std::uint64_t&) {
    return std::make_error_code(std::errc::function_not_supported);
  }
  virtual std::error_code KeepMode(const std::string&, const std::string&) { return {}; }
  virtual std::error_code ResolveLinks(const std::string& path, std::string& target) {
    target = path;
    return {};
  }
};

// The disk, through file.h.
class SystemFileSystem : public FileSystem {
 public:
  // How long a writer waits for another to finish with the archive.
  static constexpr std::chrono::milliseconds kLockWait{10000};

  explicit SystemFileSystem(std::chrono::milliseconds lock_wait = kLockWait) : lock_wait_(lock_wait) {}
  std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) override;
  bool Exists(const std::string& path) override { return FileExists(path); }
  std::error_code Remove(const std::string& path) override { return InUseAsOwn(DeleteFileAt(path), path); }
  std::error_code Rename(const std::string& from, const std::string& to) override { return RenameOver(from, to); }
  std::error_code Lock(const std::string& path, FileLock& lock) override { return lock.Acquire(path, lock_wait_); }
  bool Same(const std::string& a, const std::string& b) override { return SameFile(a, b); }
  std::string GameCopyOf(const std::string& archive) override { return CopyTheGameReads(archive); }
  std::error_code FreeSpace(const std::string& path, std::uint64_t& bytes) override { return FreeSpaceBeside(path, bytes); }
  std::error_code KeepMode(const std::string& from, const std::string& to) override { return CopyPermissions(from, to); }
  std::error_code ResolveLinks(const std::string& path, std::string& target) override { return FollowLinks(path, target); }

 private:
  std::chrono::milliseconds lock_wait_;
};

// Waits out a file that another program holds for a moment (hold_wait.h):
// an open, a rename or a removal that the file system below refuses as
// Errc::kInUse is tried again for up to wait. The writers' lock has a wait
// of its own, for another gfxpak.
class PatientFileSystem : public FileSystem {
 public:
  using Pause = std::function<void(std::chrono::milliseconds)>;
  PatientFileSystem(FileSystem& inner, std::chrono::milliseconds wait, Pause pause = SleepFor)
      : inner_(inner), wait_(wait), pause_(std::move(pause)) {}
  std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) override {
    return Patiently([&] { return inner_.Open(path, mode, file); });
  }
  bool Exists(const std::string& path) override { return inner_.Exists(path); }
  std::error_code Remove(const std::string& path) override {
    return Patiently([&] { return inner_.Remove(path); });
  }
  std::error_code Rename(const std::string& from, const std::string& to) override {
    return Patiently([&] { return inner_.Rename(from, to); });
  }
  std::error_code Lock(const std::string& path, FileLock& lock) override { return inner_.Lock(path, lock); }
  bool Same(const std::string& a, const std::string& b) override { return inner_.Same(a, b); }
  std::string GameCopyOf(const std::string& archive) override { return inner_.GameCopyOf(archive); }
  std::error_code FreeSpace(const std::string& path, std::uint64_t& bytes) override {
    return inner_.FreeSpace(path, bytes);
  }
  std::error_code KeepMode(const std::string& from, const std::string& to) override {
    return Patiently([&] { return inner_.KeepMode(from, to); });
  }
  std::error_code ResolveLinks(const std::string& path, std::string& target) override {
    return Patiently([&] { return inner_.ResolveLinks(path, target); });
  }

 private:
  static void SleepFor(std::chrono::milliseconds pause);
  template <typename Attempt>
  std::error_code Patiently(Attempt attempt) {
    return RetryWhileHeld(attempt, [](std::error_code e) { return e == Errc::kInUse; }, wait_, pause_);
  }

  FileSystem& inner_;
  std::chrono::milliseconds wait_;
  Pause pause_;
};

// The failure of an Open of path, as every command reports it: "archive is
// in use" says it all, any other cause is said to concern the open.
Status CannotOpen(std::error_code error, const std::string& path);

// Writes data to the new file temp, flushes it and renames it over target.
// On any error target is untouched and temp is removed.
Status WriteFileVia(FileSystem& fs, const std::string& temp, const std::string& target,
                    std::span<const std::uint8_t> data);

}  // namespace gfxpak
