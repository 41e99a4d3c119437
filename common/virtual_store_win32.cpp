#include "virtual_store.h"

#include <windows.h>

#include "utf.h"

namespace {

std::wstring Variable(const wchar_t* name) {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);
  }
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::wstring full(n, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (written == 0 || written >= n) return {};
  full.resize(written);
  return full;
}

}  // namespace

std::string CopyTheGameReads(const std::string& path) {
  const std::wstring full = FullPath(Widen(path));
  std::wstring drive = Variable(L"SystemDrive");
  if (drive.empty()) drive = L"C:";
  const std::string copy = VirtualStorePathOf(Narrow(full), Narrow(Variable(L"LOCALAPPDATA")), Narrow(drive));
  if (copy.empty()) return path;
  const DWORD attributes = GetFileAttributesW(Widen(copy).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return path;
  return copy;
}
