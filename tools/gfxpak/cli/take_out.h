// Taking imported stadiums out of the game's archives, for a player at a
// console: what the scripts in the game's data folder run. The dialogue
// lives here rather than in the scripts, as cmd cannot read gfxpak's output
// safely (names outside ASCII, code pages). Nothing changes before the
// player has read what will happen and answered yes.
#pragma once

#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "error.h"
#include "restore_journal.h"
#include "storage.h"

namespace gfxpak {

struct TakeOutRequest {
  std::vector<std::string> archives;
  // Paths of stadium files dropped on the script; only their bare names
  // count. None: the player picks from a numbered list.
  std::vector<std::string> files;
  // Every import goes: each archive back to its original.
  bool everything = false;
};

// Told of an update that a kill had cut short and that a restore settled.
using SettledNote = std::function<void(const std::string& archive, const Settlement&)>;

// Says what will happen to each archive, asks once (the answer is a line of
// in) and, on yes, restores the chosen entries (RestoreEntries) or, for
// everything, each archive that has a restore point (RestoreArchive), saying
// what was done. Returns the first failure, having told the player on out
// what to do about it; success when everything asked was done, or nothing
// was asked.
Status TakeOut(FileSystem& fs, const TakeOutRequest& request, std::istream& in, std::ostream& out,
               const SettledNote& settled);

}  // namespace gfxpak
