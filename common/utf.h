#pragma once

// UTF-8 inside the program, UTF-16 at the Win32 boundary: every wide API call
// converts here, once, so file and folder names outside the ANSI code page
// survive the round trip.
#ifdef _WIN32

#include <string>
#include <string_view>

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

#endif
