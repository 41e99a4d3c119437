// Win32 files. Writers share the file with readers only, so an archive that
// the running game holds open cannot be changed under it: the open fails with
// a sharing violation, reported as "archive is in use".
#include "file.h"

#include <windows.h>

#include "utf.h"

namespace gfxpak {

namespace {

std::error_code LastError() {
  const DWORD code = GetLastError();
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return FileErrc::kInUse;
  return {static_cast<int>(code), std::system_category()};
}

HANDLE AsHandle(void* h) { return static_cast<HANDLE>(h); }

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t kMaxChunk = 1u << 30;

// Positioned I/O on a synchronous handle: the offset travels in the OVERLAPPED.
OVERLAPPED OverlappedAt(std::uint64_t at) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(at);
  ov.OffsetHigh = static_cast<DWORD>(at >> 32);
  return ov;
}

}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

std::error_code File::Open(const std::string& path, OpenMode mode) {
  Close();
  DWORD access = GENERIC_READ;
  // Readers let a writer in (listing while an import runs is harmless);
  // writers let only readers in.
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if (mode != OpenMode::kRead) {
    access |= GENERIC_WRITE;
    share = FILE_SHARE_READ;
  }
  if (mode == OpenMode::kCreateNew) disposition = CREATE_NEW;
  HANDLE h = CreateFileW(Widen(path).c_str(), access, share, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  handle_ = h;
  return {};
}

bool File::is_open() const { return handle_ != nullptr; }

void File::Close() {
  if (handle_ != nullptr) CloseHandle(AsHandle(handle_));
  handle_ = nullptr;
}

std::error_code File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) const {
  std::size_t done = 0;
  while (done < data.size()) {
    OVERLAPPED ov = OverlappedAt(offset + done);
    const std::size_t want = std::min(data.size() - done, kMaxChunk);
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), data.data() + done, static_cast<DWORD>(want), &got, &ov)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return FileErrc::kShortRead;
      return LastError();
    }
    if (got == 0) return FileErrc::kShortRead;
    done += got;
  }
  return {};
}

std::error_code File::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    OVERLAPPED ov = OverlappedAt(offset + done);
    const std::size_t want = std::min(data.size() - done, kMaxChunk);
    DWORD put = 0;
    if (!WriteFile(AsHandle(handle_), data.data() + done, static_cast<DWORD>(want), &put, &ov)) return LastError();
    done += put;
  }
  return {};
}

std::error_code File::Flush() {
  if (!FlushFileBuffers(AsHandle(handle_))) return LastError();
  return {};
}

std::error_code File::Size(std::uint64_t& size) const {
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(AsHandle(handle_), &li)) return LastError();
  size = static_cast<std::uint64_t>(li.QuadPart);
  return {};
}

std::error_code File::Truncate(std::uint64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(AsHandle(handle_), FileEndOfFileInfo, &info, sizeof info)) return LastError();
  return {};
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::error_code RemoveFile(const std::string& path) {
  if (!DeleteFileW(Widen(path).c_str())) return LastError();
  return {};
}

std::error_code RenameOver(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = GetLastError();
    // Replacing a file that the game holds open is refused as access denied.
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) return FileErrc::kInUse;
    return {static_cast<int>(code), std::system_category()};
  }
  return {};
}

std::string TemporaryPathBeside(const std::string& target) {
  return DirectoryOf(target) + "." + BareName(target) + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
}

}  // namespace gfxpak
