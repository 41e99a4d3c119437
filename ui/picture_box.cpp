#include "picture_box.h"

#include <windowsx.h>

std::error_code PictureBox::Create(HWND parent, int id, RECT pixels, int bitmap_resource, COLORREF background) {
  SetLastError(0);
  bitmap_ = LoadBitmapResource(bitmap_resource);
  if (!bitmap_) return LastGdiError();
  BITMAP info{};
  GetObjectW(bitmap_.get(), sizeof info, &info);
  bitmap_size_ = SIZE{info.bmWidth, info.bmHeight};
  SetLastError(0);
  background_.reset(CreateSolidBrush(background));
  if (!background_) return LastGdiError();
  // Created hidden; the window shows what its load handler leaves visible.
  if (!CreateFor(0, L"", WS_CHILD | WS_CLIPSIBLINGS, pixels.left, pixels.top, pixels.right - pixels.left,
                 pixels.bottom - pixels.top, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)))) {
    return LastGdiError();
  }
  return {};
}

void PictureBox::SetOverlay(std::wstring text, POINT at, HFONT font, COLORREF colour) {
  overlay_ = std::move(text);
  overlay_at_ = at;
  overlay_font_ = font;
  overlay_colour_ = colour;
  InvalidateRect(Handle(), nullptr, FALSE);
}

void PictureBox::Show(bool visible) { ShowWindow(Handle(), visible ? SW_SHOWNA : SW_HIDE); }

bool PictureBox::Visible() const { return (GetWindowLongPtrW(Handle(), GWL_STYLE) & WS_VISIBLE) != 0; }

void PictureBox::SetWidth(int pixels) {
  RECT rc{};
  GetClientRect(Handle(), &rc);
  if (rc.right == pixels) return;
  SetWindowPos(Handle(), nullptr, 0, 0, pixels, rc.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int PictureBox::Width() const {
  RECT rc{};
  GetClientRect(Handle(), &rc);
  return rc.right;
}

LRESULT PictureBox::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers every pixel
    case WM_PAINT:
      OnPaint();
      return 0;
    case WM_LBUTTONDOWN:
      pressed_ = true;
      SetCapture(Handle());
      return 0;
    case WM_LBUTTONUP:
      OnButtonUp(lparam);
      return 0;
    case WM_CAPTURECHANGED:
      pressed_ = false;
      return 0;
    default:
      return DefWindowProcW(Handle(), message, wparam, lparam);
  }
}

void PictureBox::OnPaint() {
  PAINTSTRUCT ps;
  const HDC dc = BeginPaint(Handle(), &ps);
  RECT client{};
  GetClientRect(Handle(), &client);
  if (const UniqueMemoryDc source{CreateCompatibleDC(dc)}) {
    const Selection picture(source.get(), bitmap_.get());
    BitBlt(dc, 0, 0, bitmap_size_.cx, bitmap_size_.cy, source.get(), 0, 0, SRCCOPY);
  }
  // Only the strips the picture does not reach get the background, so
  // nothing is painted twice and the bar does not flicker as it grows.
  const RECT right{bitmap_size_.cx, 0, client.right, client.bottom};
  const RECT below{0, bitmap_size_.cy, bitmap_size_.cx, client.bottom};
  if (right.left < right.right) FillRect(dc, &right, background_.get());
  if (below.top < below.bottom) FillRect(dc, &below, background_.get());
  if (!overlay_.empty()) {
    const Selection font(dc, overlay_font_);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, overlay_colour_);
    TextOutW(dc, overlay_at_.x, overlay_at_.y, overlay_.data(), static_cast<int>(overlay_.size()));
  }
  EndPaint(Handle(), &ps);
}

void PictureBox::OnButtonUp(LPARAM lparam) {
  const bool was_pressed = pressed_;
  pressed_ = false;
  if (GetCapture() == Handle()) ReleaseCapture();
  RECT client{};
  GetClientRect(Handle(), &client);
  const POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
  if (!was_pressed || !PtInRect(&client, at)) return;
  const auto id = static_cast<WORD>(GetDlgCtrlID(Handle()));
  SendMessageW(GetParent(Handle()), WM_COMMAND, MAKEWPARAM(id, STN_CLICKED), reinterpret_cast<LPARAM>(Handle()));
}
