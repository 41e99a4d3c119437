// gfxpak's one error channel. Every layer reports a condition as a
// std::error_code (an operating system code, or one of gfxpak's own below)
// with the context it knows; only the command line turns it into text, so
// that "in use", "no space", "damaged" and "refused" stay apart up to there.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "packer_protocol.h"

namespace gfxpak {

enum class Errc {
  kInUse = 1,             // another program, or another gfxpak, has the archive
  kShortRead,             // a file ends before its own contents say it does
  kNotArchive,            // not a BIGF archive at all
  kDamagedArchive,        // a BIGF archive whose table cannot be right
  kArchiveFull,           // the archive would grow past 4 GiB
  kFileTooLarge,          // an input of more than 4 GiB
  kTooManyEntries,        // a table too large to hold in memory
  kBadName,               // an entry name the table cannot hold
  kReadBackDiffers,       // the disk returned other bytes than were written
  kNotRefPack,            // not a valid RefPack stream
  kNoEntry,               // no entry of that name
  kNoRestorePoint,
  kDamagedRestorePoint,
  kForeignRestorePoint,   // made for another archive
  kOutdatedRestorePoint,  // the archive is no longer as gfxpak left it
  kRestoreUnfinished,     // an earlier -restore was cut short
  kNotOriginal,           // a restore wrote everything and still no original
  kOriginalLost,          // bytes of the original are no longer in the archive or its restore point
  kOrphanRestorePoint,    // a restore point without its archive
  kKeepsRestorePoint,     // -compact would make the restore point useless
  kIsTheArchive,          // FILE or OUT is the archive or its restore point
  kKeptFile,              // a restore point, or an archive's lock or temporary file
  kKeptName,              // an ARCHIVE or OUT named as gfxpak names an archive's own files
  kForeignLockFile,       // a file of someone else's where the archive's lock file goes
  kTornEntry,             // an entry whose record a power loss left half written
  kIsAnArchive,           // an output that would overwrite a BIG archive
  kUnchangedEntry,        // -restore NAME of an entry that is as it was
  kProblemsFound,         // -check found something wrong
  kEmptyFile,             // a stadium file that holds nothing
  kOutOfMemory,
  kUsage,
};

const std::error_category& GfxpakCategory();
std::error_code make_error_code(Errc e);

// One failure: the condition, the file it concerns, what gfxpak was doing
// ("cannot write") and any detail of the condition (which entry, which
// field). An update that failed and could not be undone either carries the
// second failure too, so that it is never lost.
struct Error {
  std::error_code code;
  std::string path;
  std::string context;
  std::string detail;
  std::error_code undo_code;
  std::string undo_context;
  bool restore_point_kept = false;  // the undo is left to the restore point
  bool part_way = false;            // a -restore that failed after it began to write the archive
};

// Success, or one Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  // Implicit: a function that returns Status can return an Error.
  Status(Error error) : error_(std::move(error)) {}
  bool ok() const { return !error_.has_value(); }
  const Error& error() const { return *error_; }
  Error& error() { return *error_; }
  std::error_code code() const { return ok() ? std::error_code() : error_->code; }

 private:
  std::optional<Error> error_;
};

inline Status Fail(std::error_code code, std::string context = {}, std::string detail = {}) {
  return Error{code, {}, std::move(context), std::move(detail), {}, {}, false};
}

// Names the file a failure concerns, unless a lower layer already did.
inline Status InFile(Status status, const std::string& path) {
  if (!status.ok() && status.error().path.empty()) status.error().path = path;
  return status;
}

// Adds to a failure that its undo failed too, when it did; true when the
// undo went through.
inline bool NoteUndo(Status& failure, const Status& undo) {
  if (undo.ok()) return true;
  failure.error().undo_code = undo.error().code;
  failure.error().undo_context = undo.error().context;
  return false;
}

// The text of one code: the system's words for its own codes (without the
// full stop, as messages go on after it), gfxpak's for its own.
std::string ErrorText(std::error_code code);

// What a restore that stopped half way says to do: "part way back: run
// gfxpak -restore ARCHIVE again".
std::string PartWayBack(const std::string& archive);

// The one line that the command line prints for a failure.
std::string Describe(const Error& error);

// text with its control characters written as \xNN, so that a name read
// from a file cannot move the cursor, ring or recolour a terminal.
std::string Printable(std::string_view text);
// The exit code that tells a caller what to do about a failure: the cause
// of its first error, not of a failed undo, which the line describes too.
PackerExit ExitCodeOf(const Error& error);

// The cause behind one of the system's own codes: in use, access denied or
// read-only, no space, or kRefused for anything else. The codes differ by
// system, so there is one of these per platform (error_win32.cpp,
// error_posix.cpp).
PackerExit SystemErrorExit(std::error_code code);

}  // namespace gfxpak

template <>
struct std::is_error_code_enum<gfxpak::Errc> : std::true_type {};
