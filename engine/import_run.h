#pragma once

#include "disk.h"
#include "form_state.h"
#include "process_service.h"
#include "product.h"
#include "window_ops.h"

#include <string>
#include <string_view>

inline constexpr std::string_view kMainCaption = TESSOLO_CAPTION;
inline constexpr std::string_view kListPattern = "*_*.*";
// The program's exit code after an error it cannot go on from.
inline constexpr int kFailureExitCode = 2;

struct ImportContext {
  // Folder of the executable (OwnFolder()); the data folder is below it.
  std::string own_folder;
  ProcessService& processes;
  // The packer as the command lines name it. A bare name is found by the
  // process service's own search (on Windows: the tool's folder first).
  std::string packer = "gfxpak";
  Disk& disk = TheSystemDisk();
};

// The "start" command: lists the data folder, and for every o-file and
// h-file runs the packer's compress and import commands and deletes the file
// once both succeeded. Files whose commands fail stay in the data folder;
// then the run ends without "OK !", says in the title and a label how many
// files went in, and one message tells why the others did not and what to
// do. Returns when the run is over, or after EndProgram when it cannot go on.
void inizia_Click(FormState& form, WindowOps& window, const ImportContext& context);
