#include "file_meta.h"

#include <windows.h>

#include <vector>

#include "owned_handle.h"
#include "path_names.h"
#include "utf.h"

namespace gfxpak {

namespace {

std::error_code LastError() { return {static_cast<int>(GetLastError()), std::system_category()}; }

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

std::error_code FollowLinks(const std::string& path, std::string& target) {
  target = path;
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return {};
  HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  const OwnedHandle file(h);
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(static_cast<HANDLE>(file.get()), name.data(),
                                              static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return LastError();
    if (n < name.size()) {
      std::wstring final(name.data(), n);
      // "\\?\C:\..." and "\\?\UNC\server\..." as the rest of the program
      // writes them.
      if (final.starts_with(L"\\\\?\\UNC\\")) {
        final = L"\\\\" + final.substr(8);
      } else if (final.starts_with(L"\\\\?\\")) {
        final = final.substr(4);
      }
      target = Narrow(final);
      return {};
    }
    name.resize(n);
  }
}

}  // namespace gfxpak
