#pragma once

#include "base_window.h"
#include "gdi.h"

#include <windows.h>

#include <string>
#include <system_error>

// A child window that shows a bitmap unscaled from its top-left corner, cut
// off at its edges, over a solid background where the bitmap ends, with an
// optional line of text over it. A click (button pressed and released
// inside it) reaches the parent as WM_COMMAND with the box's control id and
// STN_CLICKED.
class PictureBox final : public BaseWindow<PictureBox> {
 public:
  static constexpr const wchar_t* kClassName = L"TessoloPictureBox";

  // Creates the box hidden. On failure nothing of it is left and the
  // result says what could not be made.
  std::error_code Create(HWND parent, int id, RECT pixels, int bitmap_resource, COLORREF background);
  // A line drawn over the picture with its top-left corner at `at`; the
  // font belongs to the caller and must outlive the box.
  void SetOverlay(std::wstring text, POINT at, HFONT font, COLORREF colour);

  void Show(bool visible);
  bool Visible() const;
  // Resizes without moving; the parent repaints what the box uncovers.
  void SetWidth(int pixels);
  int Width() const;

  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

 private:
  void OnPaint();
  void OnButtonUp(LPARAM lparam);

  UniqueBitmap bitmap_;
  UniqueBrush background_;
  SIZE bitmap_size_{};
  bool pressed_ = false;
  std::wstring overlay_;
  POINT overlay_at_{};
  HFONT overlay_font_ = nullptr;
  COLORREF overlay_colour_ = 0;
};
