#include "paths.h"

std::string DriveOf(std::string_view path) {
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
    // \\server\share: up to the separator after the share's name.
    std::size_t at = 2;
    for (int parts = 0; at < path.size(); ++at) {
      if (separator(path[at]) && ++parts == 2) break;
    }
    return std::string(path.substr(0, at));
  }
  return {};
}
