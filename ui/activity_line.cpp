#include "activity_line.h"

#include "design.h"

#include <algorithm>

namespace {

// A round-capped pen reaches half its width past each end; one more pixel
// covers antialiasing and rounding by the driver.
constexpr int kReach = design::kLinePenPixels / 2 + 2;

}  // namespace

ActivityLine::ActivityLine() : x2_(design::kLineRestX2), x2_px_(design::Pixels(design::kLineRestX2)) {}

std::error_code ActivityLine::Create() {
  SetLastError(0);
  pen_.reset(CreatePen(PS_SOLID, design::kLinePenPixels, design::kLineColour));
  return pen_ ? std::error_code() : LastGdiError();
}

RECT ActivityLine::MoveEnd(float x2_twips) {
  x2_ = x2_twips;
  const int px = design::Pixels(x2_twips);
  if (px == x2_px_) return RECT{};
  // The line is slightly slanted, so moving its end shifts pixels along its
  // whole length: repaint the old and the new line together.
  RECT damage = Bounds();
  x2_px_ = px;
  const RECT now = Bounds();
  UnionRect(&damage, &damage, &now);
  return damage;
}

RECT ActivityLine::Bounds() const {
  const int x1 = design::Pixels(design::kLineX1);
  const int y1 = design::Pixels(design::kLineY1);
  const int y2 = design::Pixels(design::kLineY2);
  return RECT{std::min(x1, x2_px_) - kReach, std::min(y1, y2) - kReach, std::max(x1, x2_px_) + kReach,
              std::max(y1, y2) + kReach};
}

void ActivityLine::Paint(HDC dc) const {
  const Selection pen(dc, pen_.get());
  MoveToEx(dc, design::Pixels(design::kLineX1), design::Pixels(design::kLineY1), nullptr);
  LineTo(dc, x2_px_, design::Pixels(design::kLineY2));
}
