// The command-line front: parses the arguments (UTF-8) and runs one command.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace gfxpak {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadFile = 1;
inline constexpr int kExitUsage = 2;

class FileSystem;

// args excludes the program name. Messages go to out; errors are one line on
// err naming the file concerned. Archives and restore points are reached
// through fs.
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, FileSystem& fs);
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace gfxpak
