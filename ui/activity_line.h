#pragma once

#include "gdi.h"

#include <windows.h>

#include <system_error>

// Line2, the activity indicator, drawn on the main window's surface. Only
// its moving end changes; the window repaints what MoveEnd returns.
class ActivityLine {
 public:
  ActivityLine();

  // Makes the pen; the line cannot be drawn without it.
  std::error_code Create();
  // Returns the client rectangle that must be repainted; empty when the
  // line's pixels did not change, so the many small updates of a run's wait
  // cost nothing on screen.
  RECT MoveEnd(float x2_twips);
  float End() const { return x2_; }
  void Paint(HDC dc) const;

 private:
  RECT Bounds() const;

  UniquePen pen_;
  float x2_;
  int x2_px_;
};
