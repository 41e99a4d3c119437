#include "virtual_store.h"

#include <windows.h>

#include "utf.h"

namespace {

std::wstring Variable(const wchar_t* name) {
  return GrownToFit([name](wchar_t* buffer, DWORD size) { return GetEnvironmentVariableW(name, buffer, size); });
}

std::wstring FullPath(const std::wstring& path) {
  return GrownToFit(
      [&path](wchar_t* buffer, DWORD size) { return GetFullPathNameW(path.c_str(), size, buffer, nullptr); });
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
