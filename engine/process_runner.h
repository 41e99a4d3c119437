#pragma once

#include "form_state.h"
#include "process_service.h"
#include "window_ops.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

// The optional window-style argument of ShellStop: missing, one of the four
// number kinds, or text (which is never converted, even if made of digits).
using ShellParm = std::variant<std::monostate, std::int16_t, std::int32_t, float, double, std::string>;

// The show-window code for a ShellParm: numbers are rounded to the nearest
// whole number, ties to even; anything else gives 1. A number outside the
// 16-bit range is std::errc::result_out_of_range.
std::error_code WindowStyleOf(const ShellParm& shellparm, std::int16_t& style);

struct ShellResult {
  // Set when no process ran: the style overflowed or the start failed.
  std::error_code error;
  ProcessExit exit;
  // What a process that failed wrote to its standard error (the start of
  // it: a packer says why in one line).
  std::string errors;
};

inline constexpr std::size_t kErrorOutputLimit = 4096;

// Runs one command line in the working folder given (empty: ours), with the
// variables given on top of our environment, and returns only when its
// process has ended. Every pass of the wait sets
// Line2's moving end to linepos + kLineWaitingX and processes all pending
// window events, then blocks until the process ends or the next event
// arrives; it never polls.
ShellResult ShellStop(std::string_view exe, const ShellParm& shellparm, FormState& form,
                      WindowOps& window, ProcessService& processes, std::string_view working_folder,
                      const ChildEnvironment& environment = {});
