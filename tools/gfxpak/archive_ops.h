// The commands that change an archive. Each holds the archive's lock from
// before its first read to after its last rename, removal and folder sync,
// whether or not the archive exists yet, so that a second gfxpak waits for
// the first instead of building on what it has not finished.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error.h"
#include "storage.h"

namespace gfxpak {

std::string LockPathFor(const std::string& archive);

// Whether path is the archive or its restore point: putting either into the
// archive, or an entry over either, would build the archive from itself.
bool IsOwnFile(FileSystem& fs, const std::string& archive, const std::string& path);

// Puts data into the archive as entry name (see PutEntry), creating the
// archive when it is missing. Keeps the restore point up to date when there
// is one, and makes one first when there is none and make_restore_point.
// source is the file the data was read from, refused when it is the archive
// or its restore point ("" when there is none).
Status PutIntoArchive(FileSystem& fs, const std::string& archive, std::string_view name,
                      std::span<const std::uint8_t> data, bool make_restore_point, const std::string& source = {});

// Puts the archive back as it was before gfxpak first changed it and deletes
// the restore point. Refuses a restore point that does not match the archive
// unless force.
Status RestoreArchive(FileSystem& fs, const std::string& archive, bool force, std::uint64_t& original_size);

// Rewrites the archive without dead space. An archive with a restore point is
// refused, unless force, which deletes the restore point.
Status CompactArchiveFile(FileSystem& fs, const std::string& archive, bool force, bool& dropped_restore_point);

// What every writer does first: takes the lock, clears what a killed writer
// left, and undoes an update that was cut short.
Status RecoverArchive(FileSystem& fs, const std::string& archive);

}  // namespace gfxpak
