#pragma once

// The handler around the archive rule (archive_rule.h): it picks the
// archive of the run's current file and ends the program on a name that no
// rule accepts.

#include "form_state.h"
#include "window_ops.h"

#include <string>
#include <string_view>

inline constexpr std::string_view kRejectMessage = "error this is not a file-stadium for fifa2004";
inline constexpr int kRejectExitCode = 1;

// The rejection message's caption: the program's, and the file it refuses
// ("Tessolo FIFA2004: Bern_x.o"), since the window's title still names the
// file before it.
std::string RejectCaption(std::string_view name);

// Chooses the archive for filelist[fileidx] and stores it in bigname.
// A name that no rule accepts is reported with the rejection message, after
// which the program ends; bigname is left as it was and false is returned
// (only a test window returns from EndProgram).
bool SelectArchive(FormState& form, WindowOps& window);
