// Win32 files. Writers share the file with readers only, so an archive that
// the running game holds open cannot be changed under it: the open fails with
// a sharing violation, reported as "archive is in use".
#include "file.h"

#include <windows.h>

#include "utf.h"

namespace gfxpak {

namespace {

// The last error of a call on an open file, with the refusals that mean
// "held by another program" (a byte range another program locked) as
// gfxpak's own.
std::error_code LastFileError() { return InUseAsOwn(LastSystemError(), {}); }

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
  if (h == INVALID_HANDLE_VALUE) return InUseAsOwn(LastSystemError(), path);
  handle_ = OwnedHandle(h);
  return {};
}

std::error_code File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) const {
  std::size_t done = 0;
  while (done < data.size()) {
    OVERLAPPED ov = OverlappedAt(offset + done);
    const std::size_t want = std::min(data.size() - done, kMaxChunk);
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_.get()), data.data() + done, static_cast<DWORD>(want), &got, &ov)) {
      if (GetLastError() == ERROR_HANDLE_EOF) return Errc::kShortRead;
      return LastFileError();
    }
    if (got == 0) return Errc::kShortRead;
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
    if (!WriteFile(AsHandle(handle_.get()), data.data() + done, static_cast<DWORD>(want), &put, &ov)) return LastFileError();
    done += put;
  }
  return {};
}

std::error_code File::Flush() {
  if (!FlushFileBuffers(AsHandle(handle_.get()))) return LastFileError();
  return {};
}

std::error_code File::Size(std::uint64_t& size) const {
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(AsHandle(handle_.get()), &li)) return LastFileError();
  size = static_cast<std::uint64_t>(li.QuadPart);
  return {};
}

std::error_code File::Truncate(std::uint64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(AsHandle(handle_.get()), FileEndOfFileInfo, &info, sizeof info)) return LastFileError();
  return {};
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A rename is refused while either file is held open without leave to
// delete it: a scanner looking at the new file, or a reader of the old one.
std::error_code RenameOver(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::error_code error = LastSystemError();
    if (HeldByAnother(error, from) || HeldByAnother(error, to)) return Errc::kInUse;
    return error;
  }
  return {};
}

bool SameFile(const std::string& a, const std::string& b) {
  auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileW(Widen(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION ia{};
  BY_HANDLE_FILE_INFORMATION ib{};
  return identify(a, ia) && identify(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace gfxpak
