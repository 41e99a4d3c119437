#include "file_meta.h"

#include <windows.h>

#include "owned_handle.h"
#include "path_names.h"
#include "utf.h"

namespace gfxpak {

namespace {

std::error_code LastError() { return {static_cast<int>(GetLastError()), std::system_category()}; }

// A final path as the rest of the program writes paths: "\\?\C:\x" as
// "C:\x", "\\?\UNC\server\x" as "\\server\x".
std::wstring Plain(std::wstring path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (path.starts_with(L"\\\\?\\")) return path.substr(4);
  return path;
}

}  // namespace

std::error_code FreeSpaceBeside(const std::string& path, std::uint64_t& bytes) {
  const std::string folder = DirectoryOf(path);
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.empty() ? nullptr : Widen(folder).c_str(), &available, nullptr, nullptr)) {
    return LastError();
  }
  bytes = available.QuadPart;
  return {};
}

std::error_code DiskFull() { return {ERROR_DISK_FULL, std::system_category()}; }

// Hidden and system only: a read-only archive cannot have been written,
// and a read-only copy could not be renamed over it on every system.
std::error_code CopyPermissions(const std::string& from, const std::string& to) {
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  const DWORD was = GetFileAttributesW(Widen(from).c_str());
  const std::wstring copy = Widen(to);
  const DWORD is = GetFileAttributesW(copy.c_str());
  if (was == INVALID_FILE_ATTRIBUTES || is == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((was & kKept) == (is & kKept)) return {};
  if (!SetFileAttributesW(copy.c_str(), (is & ~kKept) | (was & kKept))) return LastError();
  return {};
}

// A link is told by where the file it opens lies: Windows marks its own
// links as reparse points, but Wine shows a Unix link as a plain file, and
// only the final path of an open handle tells where it leads.
std::error_code FollowLinks(const std::string& path, std::string& target) {
  target = path;
  const std::wstring wide = Widen(path);
  // Every sharing allowed, and open for no longer than the question takes:
  // another program may be about to rename over the file.
  HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};  // nothing there yet to follow
  std::wstring name;
  {
    const OwnedHandle file(h);
    name = GrownToFit([&file](wchar_t* buffer, DWORD size) {
      return GetFinalPathNameByHandleW(static_cast<HANDLE>(file.get()), buffer, size,
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    if (name.empty()) return LastError();
  }
  const std::wstring final = Plain(name);
  const std::wstring full =
      GrownToFit([&wide](wchar_t* buffer, DWORD size) { return GetFullPathNameW(wide.c_str(), size, buffer, nullptr); });
  if (full.empty()) return LastError();
  // The same file under the same name, whatever the letter case: no link.
  if (CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), full.data(), static_cast<int>(full.size()),
                           TRUE) == CSTR_EQUAL) {
    return {};
  }
  target = Narrow(final);
  return {};
}

}  // namespace gfxpak
