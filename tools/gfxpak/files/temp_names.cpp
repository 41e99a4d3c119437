#include "temp_names.h"

#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "path_names.h"

namespace gfxpak {

namespace {

constexpr std::string_view kTemporaryEnding = ".gfxpak-tmp";

}  // namespace

std::string TempPathFor(const std::string& path) {
  return DirectoryOf(path) + "." + BareName(path) + std::string(kTemporaryEnding);
}

bool IsTemporaryPath(const std::string& path) { return path.ends_with(kTemporaryEnding); }

std::string TemporaryPathBeside(const std::string& target) {
  return TempPathFor(target + "." + std::to_string(CurrentProcessId()));
}

#ifdef _WIN32
std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }
#else
std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }
#endif

}  // namespace gfxpak
