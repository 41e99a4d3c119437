// Taking a path apart. Both separators count, as they do on Windows; the
// archives' own names use '\' too.
#pragma once

#include <string>
#include <string_view>

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// folder + separator + name; the one place that decides the separator.
std::string JoinPath(std::string_view folder, std::string_view name);

// The folder part of a path with its separator ("" for a bare name).
std::string DirectoryOf(const std::string& path);
// The same without the separator: the folder's own path.
std::string FolderOf(const std::string& path);
// The name after the last separator.
std::string BareName(const std::string& path);
