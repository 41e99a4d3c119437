#pragma once

#include "form_state.h"

#include <cstdint>

// The two indicators' geometry in twips. The window's design (ui/design.h)
// places the line and the bar by these same numbers, so the run and the
// window cannot disagree about where they start.

// The activity line's fixed end; the moving end is put back here before each
// packer command and after the run.
inline constexpr int kLineFixedX = 120;
// Where the moving end stands while a packer runs, before the timer's advance
// (linepos) is added: one line's length right of the fixed end.
inline constexpr int kLineWaitingX = 240;
// The progress bar's width before the first file (one pixel), and what all
// the files together add to it.
inline constexpr int kBarRestWidth = 15;
inline constexpr int kBarGrowth = 6570;

// Timer1's tick: the activity line's advance grows by linestep, in single
// precision. Nothing is drawn here; the line moves at its next update.
inline void Timer1_Timer(FormState& form) { form.linepos += static_cast<float>(form.linestep); }

// The progress bar gains the whole part of kBarGrowth / filecount twips per file.
double ProgressIncrement(std::int32_t filecount);

// Picture1's width for a running total: progress + kBarRestWidth, in single
// precision.
inline float ProgressWidth(double progress) { return static_cast<float>(progress + kBarRestWidth); }
