#pragma once

#include <windows.h>

// What every window class of the tool shares: the class registered once per
// process, `this` handed over in CreateWindowExW and kept in the window's
// user data from WM_NCCREATE on, and every message routed to the derived
// class's HandleMessage. Derived classes supply
//   static constexpr const wchar_t* kClassName;
//   LRESULT HandleMessage(UINT, WPARAM, LPARAM);
// and keep their OnXxx handlers.
template <class Derived>
class BaseWindow {
 public:
  BaseWindow() = default;
  BaseWindow(const BaseWindow&) = delete;
  BaseWindow& operator=(const BaseWindow&) = delete;

  HWND Handle() const { return hwnd_; }

 protected:
  // The window goes before the object: no message can reach a half
  // destroyed object.
  ~BaseWindow() { Destroy(); }

  // Registers the class (unless this process did already) with the given
  // icon and cursor, then creates the window for this object.
  bool CreateFor(DWORD ex_style, const wchar_t* title, DWORD style, int x, int y, int width, int height,
                 HWND parent, HMENU menu_or_id, HICON icon = nullptr, HICON small_icon = nullptr) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    if (!GetClassInfoExW(instance, Derived::kClassName, &wc)) {
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = &BaseWindow::Proc;
      wc.hInstance = instance;
      wc.hIcon = icon;
      wc.hIconSm = small_icon;
      wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      wc.lpszClassName = Derived::kClassName;
      if (RegisterClassExW(&wc) == 0) return false;
    }
    CreateWindowExW(ex_style, Derived::kClassName, title, style, x, y, width, height, parent, menu_or_id, instance,
                    static_cast<Derived*>(this));
    return hwnd_ != nullptr;
  }

  // Unhooks the object first, so the messages of the window's own end are
  // the system's default handling only.
  void Destroy() {
    if (hwnd_ == nullptr) return;
    const HWND hwnd = hwnd_;
    hwnd_ = nullptr;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    DestroyWindow(hwnd);
  }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* self = static_cast<Derived*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      static_cast<BaseWindow*>(self)->hwnd_ = hwnd;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Derived*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
    const LRESULT result = self->HandleMessage(message, wparam, lparam);
    if (message == WM_NCDESTROY) {
      // The window is gone however it went (a failed WM_CREATE, a
      // DestroyWindow of the system's): the object no longer has one.
      static_cast<BaseWindow*>(self)->hwnd_ = nullptr;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    }
    return result;
  }

  HWND hwnd_ = nullptr;
};
