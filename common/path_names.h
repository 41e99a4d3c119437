// Taking a path apart. Both separators count, as they do on Windows; the
// archives' own names use '\' too.
#pragma once

#include <string>

// The folder part of a path with its separator ("" for a bare name).
std::string DirectoryOf(const std::string& path);
// The name after the last separator.
std::string BareName(const std::string& path);
