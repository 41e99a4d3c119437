#include "storage.h"

#include <cstring>
#include <thread>

namespace gfxpak {

std::error_code MemoryStorage::Read(std::uint64_t offset, std::span<std::uint8_t> data) {
  if (offset > bytes_.size() || data.size() > bytes_.size() - offset) return Errc::kShortRead;
  if (data.empty()) return {};
  std::memcpy(data.data(), bytes_.data() + offset, data.size());
  return {};
}

std::error_code MemoryStorage::Write(std::uint64_t offset, std::span<const std::uint8_t> data) {
  if (data.empty()) return {};
  if (offset + data.size() > bytes_.size()) bytes_.resize(static_cast<std::size_t>(offset + data.size()));
  std::memcpy(bytes_.data() + offset, data.data(), data.size());
  return {};
}

std::error_code SystemFileSystem::Open(const std::string& path, OpenMode mode, std::unique_ptr<Storage>& file) {
  file.reset();
  File opened;
  if (auto error = opened.Open(path, mode)) return error;
  file = std::make_unique<FileStorage>(std::move(opened));
  return {};
}

void PatientFileSystem::SleepFor(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

Status CannotOpen(std::error_code error, const std::string& path) {
  return InFile(Fail(error, error == Errc::kInUse ? "" : "cannot open"), path);
}

Status WriteFileVia(FileSystem& fs, const std::string& temp, const std::string& target,
                    std::span<const std::uint8_t> data) {
  std::unique_ptr<Storage> file;
  if (auto e = fs.Open(temp, OpenMode::kCreateNew, file)) return InFile(Fail(e, "cannot create"), temp);
  Status status;
  if (auto e = file->Write(0, data)) {
    status = Fail(e, "cannot write");
  } else if (auto flush_error = file->Flush()) {
    status = Fail(flush_error, "cannot flush");
  }
  file.reset();
  if (status.ok()) {
    if (auto e = fs.Rename(temp, target)) status = Fail(e, "cannot rename " + BareName(temp) + " over it");
  }
  // A temporary that cannot be removed now is only clutter: nothing reads it,
  // and an archive's own temporaries are cleared by its next writer.
  if (!status.ok()) fs.Remove(temp);
  return InFile(status, target);
}

}  // namespace gfxpak
