// What passes between the tool and gfxpak, written down once: the two
// command lines the tool runs for each file, the exit codes gfxpak answers
// with and what each means, and how its messages begin. The tool builds its
// command lines and tells the player why a file did not go in from here;
// gfxpak returns its codes and writes its usage and messages from here;
// README's table of exit codes is checked against it. Each failure code is a
// cause a player can do something about; the tool shows gfxpak's own line
// for kRefused.
#pragma once

#include <array>
#include <string_view>

enum class PackerExit : int {
  kDone = 0,
  kRefused = 1,
  kUsage = 2,
  kInUse = 3,
  kAccessDenied = 4,
  kNoSpace = 5,
  kDamaged = 6,
  kEmptyFile = 7,
};

struct PackerExitMeaning {
  PackerExit code;
  std::string_view meaning;
};

// Every code with its meaning, in order: gfxpak's usage and README show them.
inline constexpr std::array<PackerExitMeaning, 8> kPackerExits = {{
    {PackerExit::kDone, "done"},
    {PackerExit::kRefused, "refused for another reason; the message on stderr says why"},
    {PackerExit::kUsage,
     "bad usage, or an ARCHIVE or OUT named as gfxpak names an archive's own files (X.lock, X.restore)"},
    {PackerExit::kInUse, "the archive or file is in use by another program (the game, another gfxpak)"},
    {PackerExit::kAccessDenied, "access denied, or the file is read-only"},
    {PackerExit::kNoSpace, "no space left on the drive"},
    {PackerExit::kDamaged,
     "damaged archive: not a BIGF archive, one whose table cannot be right, or (-restore) one that no longer holds "
     "its original"},
    {PackerExit::kEmptyFile, "empty stadium file: -compress and -p refuse a file that is empty or decodes to nothing"},
}};

// Every line gfxpak writes to its standard error begins so.
inline constexpr std::string_view kPackerPrefix = "gfxpak: ";

// The two commands of each file, in the data folder:
//   gfxpak -compress -real NAME  NAME     (two spaces before the last word)
//   gfxpak -p ARCHIVE NAME
inline constexpr std::string_view kCompressCommand = "-compress";
inline constexpr std::string_view kCompressFlag = "-real";
inline constexpr std::string_view kImportCommand = "-p";

// The environment variable that bounds gfxpak's wait for a file another
// program holds, in milliseconds; the tool sets it to 0 for an archive it
// found held, so that each further file for that archive fails at once.
inline constexpr std::string_view kHoldWaitVariable = "GFXPAK_HOLD_WAIT";
