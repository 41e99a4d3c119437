// What the commands that read an archive without its lock (-l, -x, -check,
// and -takeout before it asks) work with: the archive, its restore point
// when one loads, and the archive as readers will have it. A record that a
// power loss tore reads as neither version of its entry; the next writer
// takes that update back, so readers are shown the record as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "big_archive.h"
#include "error.h"
#include "restore_point.h"
#include "storage.h"

namespace gfxpak {

struct Reading {
  std::unique_ptr<Storage> file;
  std::unique_ptr<Storage> journal;
  std::optional<RestorePoint> point;
  Status point_status;  // why the restore point did not load
  std::unique_ptr<Storage> taken_back;
  std::vector<std::uint32_t> torn;  // where the torn records sit

  // The archive as readers will have it once the next writer has been.
  Storage& view() { return taken_back ? *taken_back : *file; }
  bool is_torn(const Entry& e) const;
  // There is no restore point beside the archive.
  bool no_restore_point() const { return !journal && point_status.ok(); }
};

// Opens the archive at path for reading, and its restore point when there
// is one. Fails only when the archive cannot be opened; a restore point
// that does not load leaves point empty and says why in point_status.
Status OpenForReading(FileSystem& fs, const std::string& path, Reading& r);

// That there is a restore point that loaded and that expects this archive
// (CheckRestorePoint); r must not be without one.
Status UsableRestorePoint(Reading& r);

// An entry whose record a power loss tore is named, and what to do.
Status RefuseTorn(const Reading& r, const Entry& e, const std::string& path);

}  // namespace gfxpak
