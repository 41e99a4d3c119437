// The portable half of file_lock.h.
#include "file_lock.h"

#include <algorithm>
#include <thread>

namespace gfxpak {

FileLock::~FileLock() { Release(); }

FileLock::FileLock(FileLock&& other) noexcept
    : path_(std::move(other.path_)), handle_(std::move(other.handle_)), denied_(other.denied_) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    handle_ = std::move(other.handle_);
    denied_ = other.denied_;
  }
  return *this;
}

std::error_code FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait) {
  Release();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  // Short sleeps first: the other writer is most often a moment from done.
  std::chrono::milliseconds pause(2);
  for (;;) {
    denied_.clear();
    const std::error_code error = TryAcquire(path);
    if (error != Errc::kInUse) return error;
    if (std::chrono::steady_clock::now() >= deadline) return denied_ ? denied_ : error;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace gfxpak
