#pragma once

#include "disk.h"
#include "process_service.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the player is told after a run in which files did not go in: the
// cause of each, grouped, with what to do about it. Portable, and built from
// facts gathered by the import run, so the wording can be tested anywhere.

// Why a file did not go in, as the packer's exit code tells it.
enum class FailureCause { InUse, AccessDenied, NoSpace, Damaged, EmptyFile, Other };

FailureCause CauseOf(const ProcessExit& exit);

enum class PackerStep { Compress, Import };

struct FailedFile {
  std::string name;     // bare name, in the data folder
  PackerStep step;      // the command that failed
  std::string archive;  // the archive the file was going to
  FailureCause cause;
  // The packer's own line, without its "gfxpak: ", or how it ended when it
  // said nothing.
  std::string packer_line;
  // For a write that was refused: what refused it, the file or folder that
  // did (a full path, as the player finds it), and whether "Run as
  // administrator" may help there. What the failed command writes is the
  // archive (the copy the game reads), or for the compress command the file.
  WriteRefusal refusal = WriteRefusal::kUnknown;
  std::string refused;
  bool administrator_helps = false;
  std::uintmax_t size = 0;  // of the file in the data folder, in bytes
};

struct RunOutcome {
  std::int32_t imported = 0;
  std::int32_t total = 0;
  std::vector<FailedFile> failed;
  // The data folder's drive ("C:") and its free space, when known.
  std::string drive;
  std::optional<std::uintmax_t> available;
};

// The first line the packer wrote to its standard error, without the
// program's name in front; how it ended when it wrote nothing.
std::string PackerLine(std::string_view errors, const ProcessExit& exit);

// "Tessolo FIFA2004: 4 of 6 files imported": the title after a run with
// failures, and the caption of its message.
std::string OutcomeCaption(std::int32_t imported, std::int32_t total);
// "4 OF 6 IMPORTED": the label in the window after such a run.
std::string OutcomeLabel(std::int32_t imported, std::int32_t total);

// How many files a message names at most; the others are counted. Its text
// is kept to kMessageLines lines of at most kMessageColumns characters, which
// a message box shows on a screen of 1024 x 768 at 144 dpi (about 28 lines
// of its font fit besides its title, margins and button).
inline constexpr std::size_t kNamedFiles = 10;
inline constexpr std::size_t kMessageColumns = 48;
inline constexpr std::size_t kMessageLines = 24;

// The message: which files did not go in, grouped by cause, each group with
// what to do, wrapped at kMessageColumns.
std::string FailureMessage(const RunOutcome& outcome);
