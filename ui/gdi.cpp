#include "gdi.h"

UniqueBitmap LoadBitmapResource(int id) {
  return UniqueBitmap(static_cast<HBITMAP>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
}

std::error_code LastGdiError() {
  const DWORD error = GetLastError();
  return {static_cast<int>(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY), std::system_category()};
}
