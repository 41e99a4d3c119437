#include "file_list.h"

#include <filesystem>

std::error_code ListRegularFiles(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  if (error) return error;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) break;
    std::error_code type_error;
    if (it->is_regular_file(type_error)) names.push_back(it->path().filename().string());
  }
  if (error) names.clear();
  return error;
}
