// The names of the temporary files gfxpak writes beside a file and renames
// over it.
#pragma once

#include <cstdint>
#include <string>

namespace gfxpak {

// The temporary name of a file that a writer makes beside path and renames
// over it. With the archive's lock only one writer at a time can use it, so
// it needs no process number, and the next writer can clear what a killed
// one left. Its ending is gfxpak's own, so that no clean-up ever takes a
// file of the user's for a leftover.
std::string TempPathFor(const std::string& path);
// The same, for a writer without the lock: unique to this process.
std::string TemporaryPathBeside(const std::string& target);
// Whether path names one of those temporary files.
bool IsTemporaryPath(const std::string& path);
// This process's id, as the system numbers processes.
std::uint32_t CurrentProcessId();

}  // namespace gfxpak
