// Restore points: ARCHIVE.restore holds the archive's original size and every
// original byte range below it that gfxpak has overwritten since, so that the
// archive can be put back exactly as it was. The layout is in FORMATS.md.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "big_archive.h"
#include "storage.h"

namespace gfxpak {

inline std::string RestorePathFor(const std::string& archive) { return archive + ".restore"; }

struct SavedRange {
  std::uint64_t offset = 0;   // in the archive
  std::uint32_t length = 0;
  std::uint64_t data_pos = 0;  // where its bytes sit in the restore point
};

struct RestorePoint {
  std::uint64_t original_size = 0;
  std::uint64_t committed = 0;  // bytes of the restore point that count
  std::uint32_t header_length = 0;
  std::uint32_t tail_length = 0;
  std::array<std::uint8_t, 32> header_hash{};
  std::array<std::uint8_t, 32> tail_hash{};
  std::vector<SavedRange> ranges;  // disjoint; the first is the header
};

// The bytes of a new restore point for the archive as it is now: its size,
// and its header, table and trailer.
Status NewRestorePoint(Storage& archive, std::vector<std::uint8_t>& bytes);

// Reads and checks a restore point, and that it belongs to this archive: the
// archive is at least the original size and its last bytes below that size,
// with the saved ranges laid over them, hash to what was recorded.
Status LoadRestorePoint(Storage& journal, Storage& archive, RestorePoint& point);

// Puts every saved range back and cuts the archive to its original size. Run
// again after an interruption, it finishes the job.
Status ApplyRestorePoint(Storage& journal, Storage& archive, const RestorePoint& point);

// The archive as seen through its restore point: before any write reaches
// bytes below the original size that are not saved yet, their current
// (original) content is appended to the restore point and flushed.
class RestoringStorage : public Storage {
 public:
  RestoringStorage(Storage& archive, Storage& journal, RestorePoint& point)
      : archive_(archive), journal_(journal), point_(point) {}

  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override { return archive_.Read(offset, data); }
  std::error_code Write(std::uint64_t offset, std::span<const std::uint8_t> data) override;
  std::error_code Flush() override { return archive_.Flush(); }
  std::error_code Size(std::uint64_t& size) override { return archive_.Size(size); }
  std::error_code Truncate(std::uint64_t size) override;

 private:
  std::error_code SaveOriginal(std::uint64_t begin, std::uint64_t end);

  Storage& archive_;
  Storage& journal_;
  RestorePoint& point_;
};

}  // namespace gfxpak
