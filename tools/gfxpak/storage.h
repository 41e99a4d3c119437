// Where an archive's bytes live. The archive code reads and writes through
// this interface only, so a layer can watch every write (the restore point
// saves original bytes before they are overwritten) and tests can work in
// memory.
#pragma once

#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "file.h"

namespace gfxpak {

class Storage {
 public:
  virtual ~Storage() = default;
  virtual std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) = 0;
  virtual std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  virtual std::error_code Flush() = 0;
  virtual std::error_code Size(std::uint64_t& size) = 0;
  virtual std::error_code Truncate(std::uint64_t size) = 0;
};

class FileStorage : public Storage {
 public:
  explicit FileStorage(File& file) : file_(file) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override { return file_.ReadAt(offset, data); }
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override { return file_.WriteAt(offset, data); }
  std::error_code Flush() override { return file_.Flush(); }
  std::error_code Size(std::uint64_t& size) override { return file_.Size(size); }
  std::error_code Truncate(std::uint64_t size) override { return file_.Truncate(size); }

 private:
  File& file_;
};

class MemoryStorage : public Storage {
 public:
  MemoryStorage() = default;
  explicit MemoryStorage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override;
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override;
  std::error_code Flush() override { return {}; }
  std::error_code Size(std::uint64_t& size) override {
    size = bytes_.size();
    return {};
  }
  std::error_code Truncate(std::uint64_t size) override {
    bytes_.resize(static_cast<std::size_t>(size));
    return {};
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace gfxpak
