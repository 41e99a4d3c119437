#pragma once

#include <windows.h>

// A child window that shows a bitmap unscaled from its top-left corner, cut
// off at its edges, over a solid background where the bitmap ends. A click
// (button pressed and released inside it) reaches the parent as WM_COMMAND
// with the box's control id and STN_CLICKED.
class PictureBox {
 public:
  PictureBox(HWND parent, int id, RECT pixels, int bitmap_resource, COLORREF background);
  PictureBox(const PictureBox&) = delete;
  PictureBox& operator=(const PictureBox&) = delete;
  ~PictureBox();

  HWND Handle() const { return hwnd_; }
  bool Created() const { return hwnd_ != nullptr && bitmap_ != nullptr; }
  void Show(bool visible);
  bool Visible() const;
  // Resizes without moving; the parent repaints what the box uncovers.
  void SetWidth(int pixels);
  int Width() const;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void OnPaint();
  void OnButtonUp(LPARAM lparam);

  HWND hwnd_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HBRUSH background_ = nullptr;
  SIZE bitmap_size_{};
  bool pressed_ = false;
};
