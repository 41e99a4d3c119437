// Shared by the gfxpak tests: whole files read and written on the disk,
// files in memory that keep Windows' rules, and a file system that fails
// every write from a chosen one on, as a kill or a full disk would.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "big_archive.h"
#include "error.h"
#include "restore_point.h"
#include "storage.h"
#include "temp_names.h"

namespace gfxpak {

using Bytes = std::vector<std::uint8_t>;

inline std::string Why(const Status& s) { return s.ok() ? std::string("ok") : Describe(s.error()); }

// A file read whole from the disk.
inline std::error_code ReadWholeFile(const std::string& path, FileBytes& data) {
  File file;
  if (auto error = file.Open(path, OpenMode::kRead)) return error;
  std::uint64_t size = 0;
  if (auto error = file.Size(size)) return error;
  if (size > kMaxArchive) return Errc::kFileTooLarge;
  return file.ReadAt(0, data.Allocate(static_cast<std::size_t>(size)));
}

// A file written to the disk in one step, through a temporary name of this
// process.
inline Status WriteFileAtomically(const std::string& target, std::span<const std::uint8_t> data) {
  SystemFileSystem fs;
  return WriteFileVia(fs, TemporaryPathBeside(target), target, data);
}

// A file's bytes, or the error that kept them.
inline std::error_code ReadFileInto(const std::string& path, Bytes& bytes) {
  FileBytes file;
  if (auto e = ReadWholeFile(path, file)) return e;
  bytes.assign(file.bytes().begin(), file.bytes().end());
  return {};
}

inline Bytes ArchiveOf(std::string_view name, const Bytes& data) {
  Bytes bytes;
  EXPECT_TRUE(NewArchive(name, data, bytes).ok());
  return bytes;
}

// Files in memory. As on Windows, a file that is open can be neither removed
// nor renamed over, so an operation that forgets to close first fails here.
class MemoryFileSystem : public FileSystem {
 public:
  std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) override {
    auto it = files_.find(path);
    if (mode == OpenMode::kCreateNew) {
      if (it != files_.end()) return std::make_error_code(std::errc::file_exists);
      it = files_.emplace(path, std::make_shared<MemoryStorage>()).first;
    } else if (it == files_.end()) {
      return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    file = std::make_unique<Handle>(it->second);
    return {};
  }
  bool Exists(const std::string& path) override { return files_.count(path) != 0; }
  std::error_code Remove(const std::string& path) override {
    auto it = files_.find(path);
    if (it == files_.end()) return std::make_error_code(std::errc::no_such_file_or_directory);
    if (it->second.use_count() > 1) return Errc::kInUse;
    files_.erase(it);
    return {};
  }
  std::error_code Rename(const std::string& from, const std::string& to) override {
    auto it = files_.find(from);
    if (it == files_.end()) return std::make_error_code(std::errc::no_such_file_or_directory);
    auto target = files_.find(to);
    if (it->second.use_count() > 1 || (target != files_.end() && target->second.use_count() > 1)) return Errc::kInUse;
    auto moved = it->second;
    files_.erase(it);
    files_[to] = moved;
    return {};
  }
  // One writer at a time, as the tests run.
  std::error_code Lock(const std::string&, FileLock&) override { return {}; }
  bool Same(const std::string& a, const std::string& b) override { return a == b && Exists(a); }
  // A drive as full as a test says; one that does not tell, when none does.
  std::error_code FreeSpace(const std::string& path, std::uint64_t& bytes) override {
    if (!free_space) return FileSystem::FreeSpace(path, bytes);
    bytes = *free_space;
    return {};
  }
  std::optional<std::uint64_t> free_space;

  void Put(const std::string& path, Bytes bytes) { files_[path] = std::make_shared<MemoryStorage>(std::move(bytes)); }
  Bytes Get(const std::string& path) const {
    auto it = files_.find(path);
    return it == files_.end() ? Bytes() : it->second->bytes();
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& [name, file] : files_) names.push_back(name);
    return names;
  }
  // A copy whose files change apart from these.
  MemoryFileSystem Copy() const {
    MemoryFileSystem copy;
    for (const auto& [name, file] : files_) copy.Put(name, file->bytes());
    return copy;
  }

 private:
  class Handle : public Storage {
   public:
    explicit Handle(std::shared_ptr<MemoryStorage> file) : file_(std::move(file)) {}
    std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override { return file_->Read(offset, data); }
    std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override { return file_->Write(offset, data); }
    std::error_code Flush() override { return file_->Flush(); }
    std::error_code Size(std::uint64_t& size) override { return file_->Size(size); }
    std::error_code Truncate(std::uint64_t size) override { return file_->Truncate(size); }

   private:
    std::shared_ptr<MemoryStorage> file_;
  };

  std::map<std::string, std::shared_ptr<MemoryStorage>> files_;
};

inline RestorePoint LoadPoint(FileSystem& fs, const std::string& path) {
  std::unique_ptr<Storage> journal;
  EXPECT_FALSE(fs.Open(path, OpenMode::kRead, journal));
  RestorePoint point;
  if (!journal) return point;
  const Status s = LoadRestorePoint(*journal, point);
  EXPECT_TRUE(s.ok()) << Why(s);
  return point;
}

enum class Fault {
  kKill,     // from the N-th change on, nothing reaches the files: a process killed there
  kNoSpace,  // from the N-th write on, every write fails with ENOSPC; truncating, renaming and removing still work
  kOneWrite, // the N-th write alone fails, as a passing I/O error
};

inline const char* FaultName(Fault f) {
  switch (f) {
    case Fault::kKill: return "kill";
    case Fault::kNoSpace: return "no space";
    case Fault::kOneWrite: return "one failed write";
  }
  return "?";
}

// When an injected fault strikes: counts the changes an operation makes
// (writes and truncations, creating, renaming and removing files) and
// decides for each whether it fails.
class FaultPlan {
 public:
  FaultPlan(Fault fault, int at) : fault_(fault), at_(at) {}

  // Whether the fault happened: when not, the operation ran to its end.
  bool struck() const { return struck_; }
  // The file of the first change that failed.
  const std::string& struck_file() const { return struck_file_; }
  // Whether this change (a write, or another change) of file fails.
  bool Strikes(bool is_write, const std::string& file) {
    const bool before = struck_;
    bool fails = false;
    switch (fault_) {
      case Fault::kKill:
        if (changes_++ >= at_) struck_ = true;
        fails = struck_;
        break;
      case Fault::kNoSpace:
        if (!is_write) return false;
        if (writes_++ >= at_) struck_ = true;
        fails = struck_;
        break;
      case Fault::kOneWrite:
        if (!is_write || writes_++ != at_) return false;
        struck_ = true;
        fails = true;
        break;
    }
    if (!before && struck_) struck_file_ = file;
    return fails;
  }
  // A flush after a kill does not reach the disk either.
  bool FlushFails() const { return fault_ == Fault::kKill && struck_; }
  std::error_code Failure() const {
    return std::make_error_code(fault_ == Fault::kNoSpace ? std::errc::no_space_on_device : std::errc::io_error);
  }

 private:
  Fault fault_;
  int at_;
  int changes_ = 0;
  int writes_ = 0;
  bool struck_ = false;
  std::string struck_file_;
};

// One file whose changes fail as the plan says; reads pass through.
class FaultyStorage : public Storage {
 public:
  FaultyStorage(FaultPlan& plan, std::unique_ptr<Storage> inner, std::string path)
      : plan_(plan), inner_(std::move(inner)), path_(std::move(path)) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override { return inner_->Read(offset, data); }
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    if (plan_.Strikes(true, path_)) return plan_.Failure();
    return inner_->Write(offset, data);
  }
  std::error_code Flush() override {
    if (plan_.FlushFails()) return plan_.Failure();
    return inner_->Flush();
  }
  std::error_code Size(std::uint64_t& size) override { return inner_->Size(size); }
  std::error_code Truncate(std::uint64_t size) override {
    if (plan_.Strikes(false, path_)) return plan_.Failure();
    return inner_->Truncate(size);
  }

 private:
  FaultPlan& plan_;
  std::unique_ptr<Storage> inner_;
  std::string path_;
};

// A file system whose every file, and whose creating, renaming and removing,
// fail as one plan says.
class FaultyFileSystem : public FileSystem {
 public:
  FaultyFileSystem(FileSystem& inner, Fault fault, int at) : inner_(inner), plan_(fault, at) {}

  bool struck() const { return plan_.struck(); }
  const std::string& struck_file() const { return plan_.struck_file(); }

  std::error_code Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) override {
    if (mode == OpenMode::kCreateNew && plan_.Strikes(false, path)) return plan_.Failure();
    std::unique_ptr<Storage> opened;
    if (auto e = inner_.Open(path, mode, opened)) return e;
    file = std::make_unique<FaultyStorage>(plan_, std::move(opened), path);
    return {};
  }
  bool Exists(const std::string& path) override { return inner_.Exists(path); }
  std::error_code Remove(const std::string& path) override {
    if (plan_.Strikes(false, path)) return plan_.Failure();
    return inner_.Remove(path);
  }
  std::error_code Rename(const std::string& from, const std::string& to) override {
    if (plan_.Strikes(false, to)) return plan_.Failure();
    return inner_.Rename(from, to);
  }
  std::error_code Lock(const std::string& path, FileLock& lock) override { return inner_.Lock(path, lock); }
  bool Same(const std::string& a, const std::string& b) override { return inner_.Same(a, b); }

 private:
  FileSystem& inner_;
  FaultPlan plan_;
};

}  // namespace gfxpak
