// Random-access files and the few whole-file operations the packer needs;
// the writers' lock is in file_lock.h, the temporary names in temp_names.h.
// Paths are UTF-8 everywhere; the Windows build converts them to UTF-16 once,
// at the API call, so non-ASCII names work there too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "error.h"
#include "files.h"
#include "owned_handle.h"
#include "path_names.h"

namespace gfxpak {

enum class OpenMode {
  kRead,        // shared with other readers
  kUpdate,      // read and write an existing file; no other writer or sharer-for-write
  kCreateNew,   // a new file that must not exist yet; read and write
};

// One open file.
class File {
 public:
  std::error_code Open(const std::string& path, OpenMode mode);
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

bool FileExists(const std::string& path);
// The system's error from opening, renaming or removing path, as
// Errc::kInUse, the condition gfxpak reports and waits out, where it means
// that another program has the file open (HeldByAnother in files.h); path
// may be empty for a failure on an open file.
std::error_code InUseAsOwn(std::error_code error, const std::string& path);
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

}  // namespace gfxpak
