// The command-line front: parses the arguments (UTF-8) and runs one command.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace gfxpak {

// A failure exits with the code of its cause (PackerExit, packer_protocol.h).
inline constexpr int kExitOk = 0;

class FileSystem;

// args excludes the program name. Messages go to out; errors are one line on
// err naming the file concerned. Archives and restore points are reached
// through fs. A command that asks the player (-takeout) reads the answer
// from in; without one, every question is answered no.
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   FileSystem& fs);
int RunCommandLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, FileSystem& fs);
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace gfxpak
