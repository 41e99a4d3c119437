#pragma once

#include <windows.h>

// Twips to whole pixels at 96 dpi, rounded, and kept inside the range GDI
// draws without overflow (a long command drives the line far to the right).
int TwipsToPixels(float twips);

// Line2, the activity indicator, drawn on the main window's surface. Only
// its moving end changes; the window repaints what MoveEnd returns.
class ActivityLine {
 public:
  ActivityLine();
  ActivityLine(const ActivityLine&) = delete;
  ActivityLine& operator=(const ActivityLine&) = delete;
  ~ActivityLine();

  // Returns the client rectangle that must be repainted; empty when the
  // line's pixels did not change, so the many small updates of a run's wait
  // cost nothing on screen.
  RECT MoveEnd(float x2_twips);
  float End() const { return x2_; }
  void Paint(HDC dc) const;

 private:
  RECT Bounds() const;

  HPEN pen_;
  float x2_;
  int x2_px_;
};
