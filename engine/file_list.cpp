#include "file_list.h"

#include <algorithm>
#include <cstddef>

namespace {

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u; }

// Length of the UTF-8 sequence that starts at name[i], so '?' takes one
// character and not one byte of it.
std::size_t CharLength(std::string_view name, std::size_t i) {
  std::size_t n = 1;
  while (i + n < name.size() && IsContinuationByte(name[i + n])) ++n;
  return n;
}

// '*' and '?' only, ASCII case folded; the classic greedy match with one
// backtrack point, linear enough for file names.
bool GlobMatch(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0;
  std::size_t star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += CharLength(name, n);
    } else if (p < pattern.size() && FoldCase(pattern[p]) == FoldCase(name[n])) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      star_n += CharLength(name, star_n);
      n = star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  if (GlobMatch(pattern, name)) return true;
  // Windows lets a final ".*" also match the end of the name, which is why
  // "*.*" lists every file and "*_*.*" every name with an underscore.
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*") {
    return GlobMatch(pattern.substr(0, pattern.size() - 2), name);
  }
  return false;
}

bool FileNameLess(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char x = FoldCase(a[i]), y = FoldCase(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::error_code FileList::SetFolder(std::string folder) {
  folder_ = std::move(folder);
  return Reload();
}

std::error_code FileList::SetPattern(std::string pattern) {
  pattern_ = std::move(pattern);
  return Reload();
}

std::error_code FileList::Reload() {
  entries_.clear();
  std::vector<std::string> names;
  if (std::error_code error = ListRegularFiles(folder_.empty() ? std::string(".") : folder_, names)) {
    return error;
  }
  for (std::string& name : names) {
    if (WildcardMatch(pattern_, name)) entries_.push_back(std::move(name));
  }
  std::sort(entries_.begin(), entries_.end(),
            [](const std::string& a, const std::string& b) { return FileNameLess(a, b); });
  return {};
}
