#include "file_list.h"
#include "utf.h"

#include <windows.h>

#include <memory>

namespace {

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

}  // namespace

// The names are matched by our own WildcardMatch rather than by the search
// pattern of FindFirstFileW, which would also match the short 8.3 names.
std::error_code ListRegularFiles(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  std::wstring query = Widen(folder);
  if (!query.empty() && query.back() != L'\\' && query.back() != L'/') query += L'\\';
  query += L'*';
  WIN32_FIND_DATAW data;
  HANDLE raw = FindFirstFileExW(query.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (raw == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return {};  // an empty drive root
    return {static_cast<int>(code), std::system_category()};
  }
  UniqueFind find(raw);
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0) {
      names.push_back(Narrow(data.cFileName));
    }
  } while (FindNextFileW(find.get(), &data));
  const DWORD code = GetLastError();
  if (code != ERROR_NO_MORE_FILES) {
    names.clear();
    return {static_cast<int>(code), std::system_category()};
  }
  return {};
}
