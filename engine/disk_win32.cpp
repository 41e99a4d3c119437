#include "disk.h"

#include <windows.h>
#include <aclapi.h>

#include <cwchar>

#include "path_names.h"
#include "utf.h"

namespace {

// Whether a new file may be made in folder ("" for the current one): one is
// made, and removed by the system as it closes.
bool FolderTakesNewFiles(const std::string& folder_utf8) {
  const std::wstring folder = Widen(folder_utf8.empty() ? "." : folder_utf8);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::wstring probe = folder + L"\\tessolo-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(counter++) + L".probe";
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS) return error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
  }
  return true;
}

// Whether path lies in root or below it, whatever the letters' case.
bool IsUnder(const std::wstring& path, const std::wstring& root) {
  if (root.empty() || path.size() < root.size()) return false;
  if (CompareStringOrdinal(path.data(), static_cast<int>(root.size()), root.data(), static_cast<int>(root.size()),
                           TRUE) != CSTR_EQUAL) {
    return false;
  }
  return path.size() == root.size() || path[root.size()] == L'\\' || path[root.size()] == L'/' ||
         root.back() == L'\\';
}

bool IsCurrentUser(PSID owner) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  bool same = true;
  if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    same = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) != 0;
  }
  CloseHandle(token);
  return same;
}

}  // namespace

WriteRefusal SystemDisk::WhyRefused(const std::string& path) {
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return WriteRefusal::kReadOnlyFile;
  // The packer makes its lock, its restore point and its temporary files
  // beside the file it writes.
  if (!FolderTakesNewFiles(FolderOf(path))) return WriteRefusal::kFolderNotWritable;
  if (exists) {
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
    } else if (GetLastError() == ERROR_ACCESS_DENIED) {
      return WriteRefusal::kFileNotWritable;
    }
  }
  return WriteRefusal::kUnknown;
}

bool SystemDisk::AdministratorMayHelp(const std::string& folder) {
  const std::wstring wide = Widen(folder);
  for (const wchar_t* root : {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramW6432"}) {
    const wchar_t* value = _wgetenv(root);
    if (value != nullptr && IsUnder(wide, value)) return true;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                            nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool others = owner != nullptr && !IsCurrentUser(owner);
  LocalFree(descriptor);
  return others;
}
