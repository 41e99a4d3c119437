#include "paths.h"
#include "owned_handle.h"
#include "utf.h"

#include <windows.h>

std::string OwnFolder() {
  // The path may be longer than MAX_PATH.
  const std::wstring path =
      GrownToFit([](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return {};
  return Narrow(std::wstring_view(path).substr(0, slash));
}

std::error_code ChangeCurrentFolder(const std::string& folder) {
  if (!SetCurrentDirectoryW(Widen(folder).c_str())) return LastSystemError();
  return {};
}
