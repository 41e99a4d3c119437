// The portable half of file.h.
#include "file.h"

#include <algorithm>
#include <string_view>
#include <thread>

namespace gfxpak {

namespace {

std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

constexpr std::string_view kTemporaryEnding = ".gfxpak-tmp";

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const std::size_t sep = LastSeparator(path);
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::string BareName(const std::string& path) {
  const std::size_t sep = LastSeparator(path);
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

std::error_code ReadWholeFile(const std::string& path, FileBytes& data) {
  File file;
  if (auto error = file.Open(path, OpenMode::kRead)) return error;
  std::uint64_t size = 0;
  if (auto error = file.Size(size)) return error;
  if (size > 0xFFFFFFFFu) return Errc::kFileTooLarge;
  return file.ReadAt(0, data.Allocate(static_cast<std::size_t>(size)));
}

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

std::string TempPathFor(const std::string& path) {
  return DirectoryOf(path) + "." + BareName(path) + std::string(kTemporaryEnding);
}

bool IsTemporaryPath(const std::string& path) { return path.ends_with(kTemporaryEnding); }

std::string TemporaryPathBeside(const std::string& target) {
  return TempPathFor(target + "." + std::to_string(CurrentProcessId()));
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
