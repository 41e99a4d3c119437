// What each command does, for the table of command forms in cli.cpp that
// parses the command line and runs one of them: the commands that write a
// file or change an archive (cli_commands.cpp), -l (cli_list.cpp) and
// -check (cli_check.cpp). Each reports its failure as a Status, which
// cli.cpp prints; what it did goes to out.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "archive_ops.h"
#include "error.h"
#include "restore_journal.h"
#include "storage.h"

namespace gfxpak {

// What a command did besides its own work, told on stderr whether or not it
// succeeded: an update that a kill or a power loss had cut short, settled.
struct Notes {
  std::vector<std::string> lines;
  void Add(const std::string& archive, const Settlement& settled);
};

Status Compress(FileSystem& fs, const std::string& in, const std::string& out);
Status Decompress(FileSystem& fs, const std::string& in, const std::string& out);
Status Put(FileSystem& fs, const std::string& archive_path, const std::string& file_path, MakeRestorePoint make,
           Notes& notes);
// Whether -x decompresses the entry it writes out (-d).
enum class Decode { kNo, kYes };
Status Extract(FileSystem& fs, const std::string& path, const std::string& name, const std::string& out_path,
               Decode decode, Notes& notes);
Status Restore(FileSystem& fs, const std::string& archive_path, Force force, std::ostream& out, Notes& notes);
Status RestoreNamed(FileSystem& fs, const std::string& archive_path, const std::vector<std::string>& names,
                    std::ostream& out, Notes& notes);
Status Compact(FileSystem& fs, const std::string& path, Force force, std::ostream& out, Notes& notes);
Status List(FileSystem& fs, const std::string& path, std::ostream& out);
Status Check(FileSystem& fs, const std::string& path, std::ostream& out);

// What -l and -check say of an update that a kill or a power loss cut short.
std::string PendingUpdate(Storage& archive, const RestorePoint& point);

// What a restore point of an earlier layout cannot tell.
inline constexpr std::string_view kEarlierPoint =
    "made by an earlier gfxpak: it can check the original's header, table and last 4 KiB, not each entry (the next "
    "import takes the hashes it needs)";

}  // namespace gfxpak
