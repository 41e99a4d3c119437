#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

// What the import run asks of the disk besides the packer's work: deleting
// an imported file, and after a run with failures the facts its message is
// built from. The system's disk below; the tests stand in for it.

// What refuses the packer's write of a file, as far as the disk tells.
enum class WriteRefusal {
  kUnknown,            // nothing found that refuses it now
  kReadOnlyFile,       // the file has the read-only attribute
  kFolderNotWritable,  // no file may be made or replaced in its folder
  kFileNotWritable,    // the file may not be changed by this user
};

class Disk {
 public:
  virtual ~Disk() = default;
  virtual std::error_code Delete(const std::string& path) = 0;
  // Whether error, from Delete, means that another program has the file
  // open for now (files.h).
  virtual bool Held(std::error_code error, const std::string& path) = 0;
  virtual bool IsFile(const std::string& path) = 0;
  virtual std::optional<std::uintmax_t> FileSize(const std::string& path) = 0;
  virtual std::optional<std::uintmax_t> FreeSpace(const std::string& folder) = 0;
  // Why a write of path (a file that exists, or one the packer would make)
  // is refused. Asks by trying: a file made and removed in its folder at
  // once, the file opened for writing and closed unchanged.
  virtual WriteRefusal WhyRefused(const std::string& path) = 0;
  // Whether "Run as administrator" may let the tool write in folder: it
  // lies under a Program Files folder or belongs to another user.
  virtual bool AdministratorMayHelp(const std::string& folder) = 0;
  // The copy of an archive that the game reads (virtual_store.h).
  virtual std::string CopyTheGameReads(const std::string& path) = 0;
};

class SystemDisk final : public Disk {
 public:
  std::error_code Delete(const std::string& path) override;
  bool Held(std::error_code error, const std::string& path) override;
  bool IsFile(const std::string& path) override;
  std::optional<std::uintmax_t> FileSize(const std::string& path) override;
  std::optional<std::uintmax_t> FreeSpace(const std::string& folder) override;
  WriteRefusal WhyRefused(const std::string& path) override;           // disk_win32.cpp, disk_posix.cpp
  bool AdministratorMayHelp(const std::string& folder) override;        // disk_win32.cpp, disk_posix.cpp
  std::string CopyTheGameReads(const std::string& path) override;
};

// The one the program uses.
Disk& TheSystemDisk();
