// Windows keeps a per-user copy of a file that a program without a manifest
// (the game, or an old installer) wrote under a protected folder such as
// Program Files when its user may not write there:
// %LOCALAPPDATA%\VirtualStore\ and the path without its drive. From then on
// every such program reads that copy instead of the file, so it is the
// archive the game sees. The tool and gfxpak run with a manifest and would
// see only the real file; they look for the copy themselves.
#pragma once

#include <string>
#include <string_view>

// Where that copy of full_path would be, for the user whose local
// application data folder is local_app_data; empty when full_path lies
// elsewhere than on system_drive ("C:"), where Windows keeps no such copy.
std::string VirtualStorePathOf(std::string_view full_path, std::string_view local_app_data,
                               std::string_view system_drive);

// The copy of path that the game reads: its per-user copy where one exists,
// else path as given. Off Windows, always path.
std::string CopyTheGameReads(const std::string& path);
