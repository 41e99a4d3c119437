// Win32 files. Writers share the file with readers only, so an archive that
// the running game holds open cannot be changed under it: the open fails with
// a sharing violation, reported as "archive is in use". gfxpak's own writers
// wait for each other on a lock file that only one process can have open.
#include "file.h"

#include <windows.h>

#include "utf.h"

namespace gfxpak {

namespace {

std::error_code LastError() { return InUseAsOwn({static_cast<int>(GetLastError()), std::system_category()}); }

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

void OwnedHandle::Reset() {
  if (native_ != kNone) CloseHandle(static_cast<HANDLE>(native_));
  native_ = kNone;
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
      return LastError();
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
    if (!WriteFile(AsHandle(handle_.get()), data.data() + done, static_cast<DWORD>(want), &put, &ov)) return LastError();
    done += put;
  }
  return {};
}

std::error_code File::Flush() {
  if (!FlushFileBuffers(AsHandle(handle_.get()))) return LastError();
  return {};
}

std::error_code File::Size(std::uint64_t& size) const {
  LARGE_INTEGER li{};
  if (!GetFileSizeEx(AsHandle(handle_.get()), &li)) return LastError();
  size = static_cast<std::uint64_t>(li.QuadPart);
  return {};
}

std::error_code File::Truncate(std::uint64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(AsHandle(handle_.get()), FileEndOfFileInfo, &info, sizeof info)) return LastError();
  return {};
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::error_code InUseAsOwn(std::error_code error) {
  if (error.category() == std::system_category() &&
      (error.value() == ERROR_SHARING_VIOLATION || error.value() == ERROR_LOCK_VIOLATION)) {
    return Errc::kInUse;
  }
  return error;
}

namespace {

// Why a rename over target was refused: a file that another program holds
// open, a read-only file and a folder that is not ours to write in all come
// back as access denied.
std::error_code RenameRefusal(const std::wstring& target, DWORD code) {
  if (code == ERROR_SHARING_VIOLATION) return Errc::kInUse;
  if (code == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
      // Held open without leave to delete it: in use.
      HANDLE h = CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) return Errc::kInUse;
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  return {static_cast<int>(code), std::system_category()};
}

}  // namespace

std::error_code RenameOver(const std::string& from, const std::string& to) {
  const std::wstring target = Widen(to);
  if (!MoveFileExW(Widen(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return RenameRefusal(target, GetLastError());
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

// Shared with nobody, so a second open fails with a sharing violation while
// the first is held; deleted by the system when the handle closes, which also
// happens when the holder is killed.
std::error_code FileLock::TryAcquire(const std::string& path) {
  // Deleting on close needs the right to delete.
  const std::wstring wide = Widen(path);
  const auto open = [&] {
    return CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  };
  HANDLE h = open();
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      // No lock file, and none may be made: the folder is not ours to write in.
      SetLastError(ERROR_ACCESS_DENIED);
    } else if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      // Left read-only (a data folder copied from a CD): nobody can hold it,
      // as holding it takes the right to write. It is taken over.
      if (SetFileAttributesW(wide.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) h = open();
    } else {
      // A lock file whose last handle is closing is refused with access
      // denied for a moment: that is a lock being let go. Should it last
      // past the wait, it is a missing right after all.
      denied_ = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
      return Errc::kInUse;
    }
  }
  if (h == INVALID_HANDLE_VALUE) return LastError();
  path_ = path;
  handle_ = OwnedHandle(h);
  return {};
}

// The system deletes the lock file as the handle closes.
void FileLock::Release() { handle_.Reset(); }

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

}  // namespace gfxpak
