// Importing a 1 MB file into a 1 GB archive, next to copying that archive
// once. The archive and the copy live in the build folder and are deleted
// at the end.
#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "packer_protocol.h"

int main() {
  const std::string dir = TESSOLO_BENCH_DIR;
  const std::string archive = dir + "/bench_1g.big";
  const std::string copy = dir + "/bench_1g_copy.big";
  const std::string replace_file = dir + "/e17.o";
  const std::string add_file = dir + "/new_stadium.o";
  constexpr std::uint32_t kEntries = 1024;
  constexpr std::uint32_t kEntrySize = 1 << 20;

  std::printf("writing a %u MiB archive of %u entries in %s\n", kEntries * (kEntrySize >> 20), kEntries, dir.c_str());
  bench::MakeArchive(archive, kEntries, kEntrySize);
  bench::WriteFile(replace_file, bench::RandomBytes(1 << 20, 1));
  bench::WriteFile(add_file, bench::RandomBytes(1 << 20, 2));

  // Replacing: the new data goes to the end. Adding: the table grows, and
  // the first entry has to move out of its way.
  const std::string import(kImportCommand);
  std::vector<double> replaces;
  for (int i = 0; i < 5; ++i) replaces.push_back(bench::TimeGfxpak({import, archive, replace_file}));
  const double add = bench::TimeGfxpak({import, archive, add_file});
  std::vector<double> add_again;
  for (int i = 0; i < 4; ++i) add_again.push_back(bench::TimeGfxpak({import, archive, add_file}));
  std::vector<double> copies;
  for (int i = 0; i < 3; ++i) {
    copies.push_back(bench::TimeCopy(archive, copy));
    ::unlink(copy.c_str());
  }
  ::unlink(archive.c_str());
  ::unlink((archive + ".restore").c_str());  // the imports keep a restore point, as they do by default
  ::unlink(replace_file.c_str());
  ::unlink(add_file.c_str());

  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double copy_s = median(copies);
  std::printf("| operation | time | copy / operation |\n|---|---|---|\n");
  std::printf("| copy the 1 GiB archive once (read, write, fsync; median of 3) | %.3f s | 1 |\n", copy_s);
  std::printf("| gfxpak -p, replace a 1 MiB entry (median of 5) | %.4f s | %.0fx |\n", median(replaces), copy_s / median(replaces));
  std::printf("| gfxpak -p, add a 1 MiB entry (moves the first entry) | %.4f s | %.0fx |\n", add, copy_s / add);
  std::printf("| gfxpak -p, replace that new entry (median of 4) | %.4f s | %.0fx |\n", median(add_again), copy_s / median(add_again));
  return 0;
}
