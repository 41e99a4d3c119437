#include "picture_box.h"

#include <windowsx.h>

namespace {

constexpr wchar_t kClassName[] = L"TessoloPictureBox";

void RegisterOnce(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW wc{};
  if (GetClassInfoExW(instance, kClassName, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
}

}  // namespace

PictureBox::PictureBox(HWND parent, int id, RECT pixels, int bitmap_resource, COLORREF background) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterOnce(instance, &PictureBox::Proc);
  bitmap_ = static_cast<HBITMAP>(
      LoadImageW(instance, MAKEINTRESOURCEW(bitmap_resource), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (bitmap_ != nullptr) {
    BITMAP info{};
    GetObjectW(bitmap_, sizeof info, &info);
    bitmap_size_ = SIZE{info.bmWidth, info.bmHeight};
  }
  background_ = CreateSolidBrush(background);
  // Created hidden; the window shows what its load handler leaves visible.
  hwnd_ = CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_CLIPSIBLINGS, pixels.left, pixels.top,
                          pixels.right - pixels.left, pixels.bottom - pixels.top, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, this);
}

PictureBox::~PictureBox() {
  if (hwnd_ != nullptr) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
  DeleteObject(background_);
}

void PictureBox::Show(bool visible) { ShowWindow(hwnd_, visible ? SW_SHOWNA : SW_HIDE); }

bool PictureBox::Visible() const { return (GetWindowLongPtrW(hwnd_, GWL_STYLE) & WS_VISIBLE) != 0; }

void PictureBox::SetWidth(int pixels) {
  RECT rc{};
  GetClientRect(hwnd_, &rc);
  if (rc.right == pixels) return;
  SetWindowPos(hwnd_, nullptr, 0, 0, pixels, rc.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int PictureBox::Width() const {
  RECT rc{};
  GetClientRect(hwnd_, &rc);
  return rc.right;
}

LRESULT CALLBACK PictureBox::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<PictureBox*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self != nullptr) {
    switch (message) {
      case WM_ERASEBKGND:
        return 1;  // WM_PAINT covers every pixel
      case WM_PAINT:
        self->OnPaint();
        return 0;
      case WM_LBUTTONDOWN:
        self->pressed_ = true;
        SetCapture(hwnd);
        return 0;
      case WM_LBUTTONUP:
        self->OnButtonUp(lparam);
        return 0;
      case WM_CAPTURECHANGED:
        self->pressed_ = false;
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

void PictureBox::OnPaint() {
  PAINTSTRUCT ps;
  const HDC dc = BeginPaint(hwnd_, &ps);
  RECT client{};
  GetClientRect(hwnd_, &client);
  const HDC source = CreateCompatibleDC(dc);
  const HGDIOBJ old = SelectObject(source, bitmap_);
  BitBlt(dc, 0, 0, bitmap_size_.cx, bitmap_size_.cy, source, 0, 0, SRCCOPY);
  SelectObject(source, old);
  DeleteDC(source);
  // Only the strips the picture does not reach get the background, so
  // nothing is painted twice and the bar does not flicker as it grows.
  const RECT right{bitmap_size_.cx, 0, client.right, client.bottom};
  const RECT below{0, bitmap_size_.cy, bitmap_size_.cx, client.bottom};
  if (right.left < right.right) FillRect(dc, &right, background_);
  if (below.top < below.bottom) FillRect(dc, &below, background_);
  EndPaint(hwnd_, &ps);
}

void PictureBox::OnButtonUp(LPARAM lparam) {
  const bool was_pressed = pressed_;
  pressed_ = false;
  if (GetCapture() == hwnd_) ReleaseCapture();
  RECT client{};
  GetClientRect(hwnd_, &client);
  const POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
  if (!was_pressed || !PtInRect(&client, at)) return;
  const auto id = static_cast<WORD>(GetDlgCtrlID(hwnd_));
  SendMessageW(GetParent(hwnd_), WM_COMMAND, MAKEWPARAM(id, STN_CLICKED), reinterpret_cast<LPARAM>(hwnd_));
}
