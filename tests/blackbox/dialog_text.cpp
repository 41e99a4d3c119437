// Reads a message box from outside, as a player reads it: its title, its
// place on the screen, and each control with its text, in UTF-8. Only a
// Windows program can ask Wine's windows for their text; the X display knows
// only the title.
// Usage: dialog_text TITLE   (the box whose title is exactly TITLE)
// Prints:
//   title TITLE
//   screen WIDTH HEIGHT
//   box LEFT TOP RIGHT BOTTOM
//   CLASS STYLE TEXT        one line per control, the style in hex; a text's
//                           line ends are written as \n; an icon's place
//                           says "(icon)" or "(no icon)"
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring TextOf(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string OneLine(const std::wstring& text) {
  std::string out;
  for (const char c : Utf8(text)) {
    if (c == '\r') continue;
    if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

BOOL CALLBACK PrintControl(HWND child, LPARAM) {
  wchar_t kind[64] = {};
  GetClassNameW(child, kind, 64);
  const auto style = static_cast<unsigned long>(GetWindowLongW(child, GWL_STYLE));
  std::string text = OneLine(TextOf(child));
  // A message box keeps its icon's place even without an icon: what tells is
  // whether the place holds one.
  if ((style & SS_TYPEMASK) == SS_ICON) text = SendMessageW(child, STM_GETICON, 0, 0) != 0 ? "(icon)" : "(no icon)";
  std::printf("%s %08lx %s\n", Utf8(kind).c_str(), style, text.c_str());
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: dialog_text TITLE\n", stderr);
    return 2;
  }
  const HWND box = FindWindowW(nullptr, argv[1]);
  if (box == nullptr || !IsWindowVisible(box)) {
    std::fprintf(stderr, "dialog_text: no window titled \"%s\"\n", Utf8(argv[1]).c_str());
    return 1;
  }
  RECT rect{};
  GetWindowRect(box, &rect);
  std::printf("title %s\n", Utf8(TextOf(box)).c_str());
  std::printf("screen %d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  std::printf("box %ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
  EnumChildWindows(box, PrintControl, 0);
  return 0;
}
