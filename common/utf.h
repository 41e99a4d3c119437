#pragma once

// UTF-8 inside the program, UTF-16 at the Win32 boundary: every wide API call
// converts here, once, so file and folder names outside the ANSI code page
// survive the round trip.
#ifdef _WIN32

#include <string>
#include <string_view>

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// What a Win32 call writes into a buffer it is given, grown until it fits:
// call(buffer, size) returns the length written, or the size it needs (or
// size itself, where the call cuts instead), or 0 on failure, which gives "".
template <class Call>
std::wstring GrownToFit(Call call) {
  std::wstring text(260, L'\0');
  for (;;) {
    const auto n = static_cast<std::size_t>(call(text.data(), static_cast<unsigned long>(text.size())));
    if (n == 0) return {};
    if (n < text.size()) {
      text.resize(n);
      return text;
    }
    text.resize(n > text.size() ? n : text.size() * 2);
  }
}

#endif
