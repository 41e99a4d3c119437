#include "paths.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>

std::string OwnFolder() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return exe.parent_path().string();
}

std::error_code ChangeCurrentFolder(const std::string& folder) {
  if (chdir(folder.c_str()) != 0) return {errno, std::generic_category()};
  return {};
}

