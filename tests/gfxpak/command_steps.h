// The writing commands as the fault and crash tests run them, each a step on
// the archive zdata.big of whatever file system it is given.
#pragma once

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive_ops.h"
#include "test_support.h"

namespace gfxpak::steps {

inline const std::string kArchive = "zdata.big";

using Step = std::function<Status(FileSystem&)>;

inline Bytes Random(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

inline Step Put(std::string name, unsigned seed, std::size_t size, MakeRestorePoint make = MakeRestorePoint::kYes) {
  return [=](FileSystem& fs) { return PutIntoArchive(fs, kArchive, name, Random(size, seed), make); };
}

inline Status RestoreOriginal(FileSystem& fs) {
  WholeRestore done;
  return RestoreArchive(fs, kArchive, Force::kNo, done);
}

inline Step RestoreNamed(std::vector<std::string> names) {
  return [=](FileSystem& fs) {
    EntriesRestored done;
    return RestoreEntries(fs, kArchive, names, done);
  };
}

inline Step Compact(Force force) {
  return [=](FileSystem& fs) {
    bool dropped = false;
    return CompactArchiveFile(fs, kArchive, force, dropped);
  };
}

}  // namespace gfxpak::steps
