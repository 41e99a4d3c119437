// UTF-8 <-> UTF-16 at the Win32 boundary (Windows build only).
#pragma once

#include <string>

namespace gfxpak {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace gfxpak
