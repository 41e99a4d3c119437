#include "virtual_store.h"

namespace {

bool SameDrive(std::string_view a, std::string_view b) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  return a.size() == 2 && b.size() == 2 && a[1] == ':' && b[1] == ':' && upper(a[0]) == upper(b[0]);
}

}  // namespace

std::string VirtualStorePathOf(std::string_view full_path, std::string_view local_app_data,
                               std::string_view system_drive) {
  if (local_app_data.empty() || full_path.size() < 4 || !SameDrive(full_path.substr(0, 2), system_drive)) return {};
  const std::string_view rest = full_path.substr(2);
  if (rest.front() != '\\' && rest.front() != '/') return {};
  // A Windows path whatever system builds it, as the tests do natively.
  std::string copy(local_app_data);
  if (copy.back() != '\\') copy += '\\';
  copy += "VirtualStore";
  copy += rest;
  return copy;
}
