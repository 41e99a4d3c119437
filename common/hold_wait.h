// Antivirus scanners, search indexers and sync clients open a file that was
// just made or written for a moment, often without sharing it. A refusal
// that means "another program has it open" is tried again with growing
// pauses for a bounded time before it is reported; any other failure (a
// read-only file, a missing folder, a full disk) is reported at once, since
// waiting cannot mend it.
#pragma once

#include <algorithm>
#include <chrono>

// How long a refusal is waited out by default: a scanner's look at a file
// takes a few hundred milliseconds, and a program that holds a file for
// longer (the game) is not waited for.
inline constexpr std::chrono::milliseconds kHoldWait{1500};

// Calls attempt until held(result) is false or the pauses between the calls
// add up to wait; the pauses start at 10 ms and double up to 250 ms. Returns
// the last call's result. pause(ms) sleeps; the window's version keeps it
// answering meanwhile.
template <typename Attempt, typename Held, typename Pause>
auto RetryWhileHeld(Attempt attempt, Held held, std::chrono::milliseconds wait, Pause pause) {
  auto result = attempt();
  std::chrono::milliseconds step{10};
  std::chrono::milliseconds spent{0};
  while (held(result) && spent < wait) {
    const std::chrono::milliseconds now = std::min(step, wait - spent);
    pause(now);
    spent += now;
    step = std::min(step * 2, std::chrono::milliseconds(250));
    result = attempt();
  }
  return result;
}
