#include "activity_line.h"

#include "design.h"

#include <algorithm>
#include <cmath>

namespace {

// GDI coordinates stay well inside 16 bits on every system, also in
// metafiles and on old drivers.
constexpr float kMaxPixels = 30000.0f;

// A round-capped pen reaches half its width past each end; one more pixel
// covers antialiasing and rounding by the driver.
constexpr int kReach = design::kLinePenPixels / 2 + 2;

int Pixels(int twips) { return TwipsToPixels(static_cast<float>(twips)); }

}  // namespace

int TwipsToPixels(float twips) {
  float pixels = twips / static_cast<float>(design::kTwipsPerPixel);
  if (std::isnan(pixels)) return 0;
  pixels = std::clamp(pixels, -kMaxPixels, kMaxPixels);
  return static_cast<int>(std::lround(pixels));
}

ActivityLine::ActivityLine()
    : pen_(CreatePen(PS_SOLID, design::kLinePenPixels, design::kLineColour)),
      x2_(design::kLineRestX2),
      x2_px_(TwipsToPixels(design::kLineRestX2)) {}

ActivityLine::~ActivityLine() { DeleteObject(pen_); }

RECT ActivityLine::MoveEnd(float x2_twips) {
  x2_ = x2_twips;
  const int px = TwipsToPixels(x2_twips);
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
  const int x1 = Pixels(design::kLineX1);
  const int y1 = Pixels(design::kLineY1);
  const int y2 = Pixels(design::kLineY2);
  return RECT{std::min(x1, x2_px_) - kReach, std::min(y1, y2) - kReach, std::max(x1, x2_px_) + kReach,
              std::max(y1, y2) + kReach};
}

void ActivityLine::Paint(HDC dc) const {
  const HGDIOBJ old = SelectObject(dc, pen_);
  MoveToEx(dc, Pixels(design::kLineX1), Pixels(design::kLineY1), nullptr);
  LineTo(dc, x2_px_, Pixels(design::kLineY2));
  SelectObject(dc, old);
}
