#pragma once

#include "indicators.h"
#include "product.h"
#include "window_ops.h"

#include <array>
#include <cstdint>
#include <string_view>

// The window's design: every control's place (twips, client-area origin),
// text, colour and font. Data only; form1.cpp builds the window from it.
namespace design {

inline constexpr int kTwipsPerPixel = 15;

struct TwipRect {
  int left, top, width, height;
};

inline constexpr int kClientWidth = 9600;   // 640 px
inline constexpr int kClientHeight = 6390;  // 426 px

// Picture boxes, windowed, topmost first.
inline constexpr TwipRect kAboutPanel{5400, 1080, 4095, 1575};     // Picture3
inline constexpr TwipRect kInfoPanel{0, 1440, 4335, 1815};         // Picture2
inline constexpr TwipRect kProgressBar{2400, 2520, kBarRestWidth, 1575};  // Picture1
inline constexpr std::wstring_view kInfoTip = L"click to cancel";
// The about panel's version line, drawn over its picture (pixels in the
// panel), so the version is written in one place only.
inline constexpr std::wstring_view kAboutVersionText = L"Stadium installer  -  version " TESSOLO_VERSION_W;
inline constexpr int kAboutVersionX = 10;
inline constexpr int kAboutVersionY = 36;
inline constexpr std::wstring_view kAboutFont = L"Tahoma";
inline constexpr int kAboutPoints = 8;
inline constexpr int kAboutWeight = 700;

// Labels, painted on the window itself, above the line.
inline constexpr TwipRect kEmptyLabel{4320, 0, 5295, 495};         // Label2
inline constexpr TwipRect kOkLabel{840, 3000, 1215, 495};          // Label1
// Label3: how many files a run imported when not all of them did, in the
// labels' font, under "OK !"'s left edge below the bar; it paints its
// background as far as its text goes.
inline constexpr TwipRect kOutcomeLabel{840, 4230, 8160, 495};
inline constexpr std::wstring_view kEmptyText = L"DIRECTORY EMPTY";
inline constexpr std::wstring_view kOkText = L"OK !";
inline constexpr std::wstring_view kLabelFont = L"MS Sans Serif";
inline constexpr int kLabelPoints = 24;
inline constexpr int kLabelWeight = 700;

// Line2: the fixed end (x1, y1) and the design y of the moving end. A short
// diagonal stroke, so the line at rest still shows as a blot.
inline constexpr int kLineX1 = kLineFixedX;
inline constexpr int kLineY1 = 120;
inline constexpr int kLineY2 = 135;
inline constexpr float kLineRestX2 = 135.0f;
inline constexpr int kLinePenPixels = 20;

inline constexpr unsigned kTimerMilliseconds = 1;

// Colours as 0x00BBGGRR, the layout of a COLORREF.
inline constexpr std::uint32_t kLabelTextColour = 0x0000FF;  // red 255
inline constexpr std::uint32_t kLineColour = 0x0000C0;       // red 192
inline constexpr std::uint32_t kBarBackColour = 0x800000;    // navy, blue 128
inline constexpr std::uint32_t kAboutVersionColour = 0xFFFFFF;

struct MenuEntry {
  MenuCommand command;
  std::wstring_view caption;
};

// The menu bar, left to right: commands of their own, no drop-downs, no
// access keys.
inline constexpr std::array<MenuEntry, 4> kMenu{{
    {MenuCommand::Inizia, L"start"},
    {MenuCommand::Info, L"info"},
    {MenuCommand::About, L"about"},
    {MenuCommand::Esci, L"exit"},
}};

// Menu command ids; WM_COMMAND carries them.
inline constexpr unsigned kFirstMenuId = 100;
constexpr unsigned MenuId(MenuCommand command) { return kFirstMenuId + static_cast<unsigned>(command); }

// Twips to whole pixels at 96 dpi, where 15 twips make one: rounded to the
// nearest, halves away from zero (the bar of seven files, 6581 twips, is 439
// pixels wide), and kept inside the range that GDI draws without overflow
// (a long command drives the line far to the right). The design's places
// are whole pixels, so for them this is exact.
constexpr int Pixels(float twips) {
  constexpr float kMaxPixels = 30000.0f;
  const float pixels = twips / static_cast<float>(kTwipsPerPixel);
  if (pixels != pixels) return 0;  // NaN
  if (pixels >= kMaxPixels) return static_cast<int>(kMaxPixels);
  if (pixels <= -kMaxPixels) return -static_cast<int>(kMaxPixels);
  return static_cast<int>(pixels < 0.0f ? pixels - 0.5f : pixels + 0.5f);
}
constexpr int Pixels(int twips) { return Pixels(static_cast<float>(twips)); }

}  // namespace design
