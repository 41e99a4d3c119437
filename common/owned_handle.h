// The system's handles and errors, the same shape on both systems.
#pragma once

#include <system_error>
#include <utility>

// A handle of the system's (a file descriptor, a Windows HANDLE) with
// exactly one owner, closed when the owner goes.
class OwnedHandle {
 public:
#ifdef _WIN32
  using Native = void*;
  static constexpr Native kNone = nullptr;
#else
  using Native = int;
  static constexpr Native kNone = -1;
#endif
  OwnedHandle() = default;
  explicit OwnedHandle(Native native) : native_(native) {}
  OwnedHandle(OwnedHandle&& other) noexcept : native_(std::exchange(other.native_, kNone)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      native_ = std::exchange(other.native_, kNone);
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Reset(); }

  Native get() const { return native_; }
  bool valid() const { return native_ != kNone; }
  void Reset();

 private:
  Native native_ = kNone;
};

// The error the last failed system call left for this thread, as the system
// numbers it: GetLastError() in the system category on Windows, errno in the
// generic category elsewhere.
std::error_code LastSystemError();
