#include "owned_handle.h"

#include <windows.h>

void OwnedHandle::Reset() {
  if (native_ != kNone) CloseHandle(static_cast<HANDLE>(native_));
  native_ = kNone;
}

std::error_code LastSystemError() { return {static_cast<int>(GetLastError()), std::system_category()}; }
