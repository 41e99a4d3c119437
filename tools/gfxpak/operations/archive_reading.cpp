#include "archive_reading.h"

#include <algorithm>
#include <system_error>

#include "byte_order.h"
#include "restore_checks.h"

namespace gfxpak {

namespace {

// An archive's bytes as readers will have them once the next writer takes
// back an update that a power loss left with a table record half written:
// that record reads as its old value, which still points at the entry's old
// bytes. Every other byte is the file's.
class TakenBack : public Storage {
 public:
  TakenBack(Storage& file, std::vector<RecordChange> torn) : file_(file), torn_(std::move(torn)) {}
  std::error_code Read(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (auto e = file_.Read(offset, data)) return e;
    for (const RecordChange& c : torn_) {
      std::uint8_t record[kRecordFixed];
      PutBe32(record + kRecordOffset, c.old_offset);
      PutBe32(record + kRecordSize, c.old_size);
      for (std::uint64_t i = 0; i < sizeof record; ++i) {
        if (c.pos + i >= offset && c.pos + i < offset + data.size()) {
          data[static_cast<std::size_t>(c.pos + i - offset)] = record[i];
        }
      }
    }
    return {};
  }
  std::error_code Write(std::uint64_t, std::span<const std::uint8_t>) override { return ReadOnly(); }
  std::error_code Flush() override { return {}; }
  std::error_code Size(std::uint64_t& size) override { return file_.Size(size); }
  std::error_code Truncate(std::uint64_t) override { return ReadOnly(); }

 private:
  static std::error_code ReadOnly() { return std::make_error_code(std::errc::read_only_file_system); }
  Storage& file_;
  std::vector<RecordChange> torn_;
};

}  // namespace

bool Reading::is_torn(const Entry& e) const { return std::count(torn.begin(), torn.end(), e.record_pos) > 0; }

Status OpenForReading(FileSystem& fs, const std::string& path, Reading& r) {
  if (auto e = fs.Open(path, OpenMode::kRead, r.file)) return CannotOpen(e, path);
  const std::string restore_path = RestorePathFor(path);
  if (!fs.Exists(restore_path)) return {};
  RestorePoint point;
  if (auto e = fs.Open(restore_path, OpenMode::kRead, r.journal)) {
    r.point_status = CannotOpen(e, restore_path);
    return {};
  }
  r.point_status = LoadRestorePoint(*r.journal, point);
  if (!r.point_status.ok()) return {};
  std::vector<RecordChange> torn;
  if (TornRecords(*r.file, point, torn).ok() && !torn.empty()) {
    for (const RecordChange& c : torn) r.torn.push_back(c.pos);
    r.taken_back = std::make_unique<TakenBack>(*r.file, std::move(torn));
  }
  r.point = std::move(point);
  return {};
}

Status UsableRestorePoint(Reading& r) {
  if (!r.point_status.ok()) return r.point_status;
  return CheckRestorePoint(*r.journal, *r.file, *r.point);
}

Status RefuseTorn(const Reading& r, const Entry& e, const std::string& path) {
  if (!r.is_torn(e)) return {};
  return InFile(Fail(Errc::kTornEntry, "entry \"" + e.name + "\""), path);
}

}  // namespace gfxpak
