#pragma once

#include "files.h"
#include "path_names.h"
#include "system_error_text.h"

#include <string>
#include <string_view>
#include <system_error>

// The folder that holds the running executable, UTF-8, without a trailing
// separator. Empty only if the system cannot tell.
std::string OwnFolder();

// The data folder: the own folder followed by "data".
inline std::string DataFolderOf(std::string_view own_folder) { return JoinPath(own_folder, "data"); }

std::error_code ChangeCurrentFolder(const std::string& folder);

// The drive a path lies on, as a player names it: "C:", or a share's
// "\\server\share"; empty where paths name no drive (POSIX).
std::string DriveOf(std::string_view path);

