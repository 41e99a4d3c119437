#include "paths.h"
#include "owned_handle.h"
#include "utf.h"

#include <windows.h>

std::string OwnFolder() {
  // The path may be longer than MAX_PATH; grow until it fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  return Narrow(std::wstring_view(path).substr(0, slash));
}

std::error_code ChangeCurrentFolder(const std::string& folder) {
  if (!SetCurrentDirectoryW(Widen(folder).c_str())) return LastSystemError();
  return {};
}
