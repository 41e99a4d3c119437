#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The main window's form-level state, shared by the import run, the archive
// selection, the process runner and the timer tick. The window owns it.
struct FormState {
  // Selected bare file names; entries 1..filecount are filled, entry 0 never is.
  std::vector<std::string> filelist;
  // Number of selected files and the index of the file being handled. Wider
  // than 16 bits so a folder with any number of files cannot overflow them.
  std::int32_t filecount = 0;
  std::int32_t fileidx = 0;
  // Archive chosen for the current file: "zdata_05.big" or "zdata_06.big".
  std::string bigname;
  // Activity indicator: twips added to linepos on every timer tick, and the
  // advance the line shows at its next update.
  std::int16_t linestep = 0;
  float linepos = 0.0f;
};
