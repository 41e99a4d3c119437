#include "files.h"

#include <windows.h>

#include "owned_handle.h"
#include "utf.h"

std::error_code DeleteFileAt(const std::string& path) {
  if (!DeleteFileW(Widen(path).c_str())) return LastSystemError();
  return {};
}
