#pragma once

#include "form_state.h"

#include <cstdint>

// Timer1's tick: the activity line's advance grows by linestep, in single
// precision. Nothing is drawn here; the line moves at its next update.
inline void Timer1_Timer(FormState& form) { form.linepos += static_cast<float>(form.linestep); }

// The progress bar gains the whole part of 6570 / filecount twips per file.
double ProgressIncrement(std::int32_t filecount);

// Picture1's width for a running total: progress + 15 twips, in single precision.
inline float ProgressWidth(double progress) { return static_cast<float>(progress + 15.0); }
