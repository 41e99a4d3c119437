// The archive reader on arbitrary bytes: it must refuse or accept without
// reading outside the file, and an accepted archive must take an update and
// still read back.
#include <cstdint>
#include <vector>

#include "big_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  gfxpak::MemoryStorage storage(std::vector<std::uint8_t>(data, data + size));
  gfxpak::Archive archive;
  if (!gfxpak::ReadArchive(storage, archive).ok()) return 0;
  for (const gfxpak::Entry& entry : archive.entries) {
    std::vector<std::uint8_t> bytes;
    if (!gfxpak::ReadEntry(storage, entry, bytes).ok()) __builtin_trap();
  }
  const std::vector<std::uint8_t> payload(size % 97, 0x5A);
  const std::string name = archive.entries.empty() ? std::string("fuzz.o") : BareName(archive.entries[0].name);
  if (!name.empty() && gfxpak::PutEntry(storage, name, payload, gfxpak::PutOptions{}).ok()) {
    gfxpak::Archive after;
    if (!gfxpak::ReadArchive(storage, after).ok()) __builtin_trap();
    if (after.entries.size() < archive.entries.size()) __builtin_trap();
  }
  return 0;
}
