#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// Windows wildcard matching: '*' is any run of characters, '?' exactly one,
// letters compare without regard to ASCII case, and a pattern ending in ".*"
// also matches where the name simply ends ("*_*.*" matches "a_b" and "a.b_c").
bool WildcardMatch(std::string_view pattern, std::string_view name);

// The regular files of one folder whose names match a wildcard pattern, in
// name order (ASCII case ignored, byte order as tie-break), so the import
// handles files in the same order on every platform. Every SetFolder and
// SetPattern reads the folder again, also when the value did not change.
// Names are UTF-8.
class FileList {
 public:
  // An empty folder means the current folder. On error the list is empty.
  std::error_code SetFolder(std::string folder);
  std::error_code SetPattern(std::string pattern);

  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }
  const std::string& Entry(std::int32_t index) const { return entries_.at(static_cast<std::size_t>(index)); }
  const std::string& Folder() const { return folder_; }
  const std::string& Pattern() const { return pattern_; }

 private:
  std::error_code Reload();

  std::string folder_;
  std::string pattern_ = "*.*";
  std::vector<std::string> entries_;
};

// Bare names of the regular files in a folder, in no particular order; one
// implementation per platform.
std::error_code ListRegularFiles(const std::string& folder, std::vector<std::string>& names);

// The order of the list: ASCII case ignored, then byte order.
bool FileNameLess(std::string_view a, std::string_view b);
