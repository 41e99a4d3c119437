#include "files.h"

#include <windows.h>

#include "utf.h"

std::error_code DeleteFileAt(const std::string& path) {
  if (!DeleteFileW(Widen(path).c_str())) return {static_cast<int>(GetLastError()), std::system_category()};
  return {};
}
