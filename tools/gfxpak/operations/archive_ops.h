// The commands that change an archive. Each holds the archive's lock from
// before its first read to after its last rename, removal and folder sync,
// whether or not the archive exists yet, so that a second gfxpak waits for
// the first instead of building on what it has not finished.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "restore_journal.h"
#include "storage.h"

namespace gfxpak {

std::string LockPathFor(const std::string& archive);

// Whether path is the archive or its restore point: putting either into the
// archive, or an entry over either, would build the archive from itself.
bool IsOwnFile(FileSystem& fs, const std::string& archive, const std::string& path);

// Whether a command goes ahead where it would otherwise refuse (-force): a
// restore point that does not match the archive, or one that compacting
// would make useless.
enum class Force { kNo, kYes };

// Whether an import makes a restore point when the archive has none
// (-norestore: no).
enum class MakeRestorePoint { kYes, kNo };

// What a command does with a file it is given.
enum class FileUse {
  kImport,   // -p reads it into an archive
  kOutput,   // -compress, -d and -x write it
  kArchive,  // every command's ARCHIVE
};

// Refuses a file that belongs to gfxpak's work on an archive: a restore
// point, an archive's lock file or a temporary file of gfxpak's, and, as an
// output, any BIG archive. Importing one would lose it at the next clean-up
// or build an archive from its own journal; writing over one would change an
// archive without its lock and beyond what its restore point brings back.
// An ARCHIVE or OUT is refused by its name alone (bad usage): one named
// X.lock or X.restore becomes, or is deleted as, X's once X exists.
Status CheckNotKept(FileSystem& fs, const std::string& path, FileUse use);

// Every writer first takes the lock, clears what a killed writer left and
// settles an update that was cut short (see RestoreJournal::Settle); settled,
// where given, tells what it did about that.

// Puts data into the archive as entry name (see PutEntry), creating the
// archive when it is missing. Keeps the restore point up to date when there
// is one, and makes one first when there is none and make says so.
// source is the file the data was read from, refused when it is one of the
// archive's own files ("" when there is none).
Status PutIntoArchive(FileSystem& fs, const std::string& archive, std::string_view name,
                      std::span<const std::uint8_t> data, MakeRestorePoint make, const std::string& source = {},
                      Settlement* settled = nullptr);

// What -restore ARCHIVE did, and what its restore point could check.
struct WholeRestore {
  std::uint64_t original_size = 0;
  bool already = false;  // the archive was the original already: only the restore point went
  int layout = kCurrentLayout;
  bool pieces = false;               // every byte was checked against the original's hashes
  bool pieces_from_upgrade = false;  // hashes taken after the first change (an earlier gfxpak's restore point)
};

// Puts the archive back as it was before gfxpak first changed it and deletes
// the restore point. Refuses a restore point that does not match the archive
// unless forced; an archive that is the original already loses only its
// restore point. With the original's hashes, every byte is checked first
// and nothing is written unless all of them give the original; then the
// bytes written are checked again.
Status RestoreArchive(FileSystem& fs, const std::string& archive, Force force, WholeRestore& done,
                      Settlement* settled = nullptr);

// What -restore ARCHIVE NAME... did.
struct EntriesRestored {
  std::vector<std::string> replaced;  // entries of the original with their original bytes again
  std::vector<std::string> removed;   // entries that imports added, out of the table
  bool original = false;              // nothing differed any more: the whole original is back, its restore point gone
  std::uint64_t original_size = 0;
};

// Puts the named entries (matched as -p matches names) back as they were
// before gfxpak first changed the archive: a replaced entry gets its
// original bytes, an added one leaves the table; every other entry keeps
// its bytes and its place. A name that is not in the archive, or whose
// entry gfxpak has not changed, or whose original bytes no longer hash as
// the original's, is refused before anything is written. All the names are
// one update: a failure leaves the archive as it was. The restore point
// stays able to give the whole original; once nothing differs from it any
// more, the archive is made the original byte for byte and the restore
// point goes.
Status RestoreEntries(FileSystem& fs, const std::string& archive, const std::vector<std::string>& names,
                      EntriesRestored& done, Settlement* settled = nullptr);

// Rewrites the archive without dead space. An archive with a restore point is
// refused, unless forced, which deletes the restore point.
Status CompactArchiveFile(FileSystem& fs, const std::string& archive, Force force, bool& dropped_restore_point,
                          Settlement* settled = nullptr);

// What every writer does first, alone.
Status RecoverArchive(FileSystem& fs, const std::string& archive, Settlement* settled = nullptr);

}  // namespace gfxpak
