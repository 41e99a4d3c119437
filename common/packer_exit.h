// gfxpak's exit codes, in the one place both sides read them: gfxpak returns
// them and the tool tells the player from them why a file did not go in. Each
// failure code is a cause a player can do something about; the tool shows
// the packer's own line for kRefused.
#pragma once

enum class PackerExit : int {
  kDone = 0,
  kRefused = 1,       // any other failure or refusal; the message says which
  kUsage = 2,         // the command line is wrong
  kInUse = 3,         // the game or another program holds the archive or file
  kAccessDenied = 4,  // no right to write there, or the file is read-only
  kNoSpace = 5,       // the drive is full
  kDamaged = 6,       // the archive is not a readable BIGF archive
  kEmptyFile = 7,     // a stadium file that is empty or decodes to nothing
};
