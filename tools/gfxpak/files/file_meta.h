// What gfxpak asks of a file beyond its bytes before it replaces it with a
// copy: whether the drive has room for the copy, the permissions the copy
// must keep, and the file a symbolic link names, which the copy replaces
// instead of the link. Paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace gfxpak {

// The bytes free to this user on the drive of path's folder.
std::error_code FreeSpaceBeside(const std::string& path, std::uint64_t& bytes);

// The system's own code for a full disk, for a write refused before it is
// made: the player is told in the system's words, and the exit code is the
// one for no space.
std::error_code DiskFull();

// Gives to the permissions of from: its mode on POSIX, its read-only,
// hidden and system attributes on Windows.
std::error_code CopyPermissions(const std::string& from, const std::string& to);

// The file that path names once every symbolic link in its last part is
// followed; path itself when it is no link (or does not exist).
std::error_code FollowLinks(const std::string& path, std::string& target);

}  // namespace gfxpak
