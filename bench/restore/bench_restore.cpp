// 50 imports into a 300 MiB archive, with and without a restore point: the
// time of -p (the first one apart: it reads the whole archive once to hash
// the original) and the size of the restore point; then the time of -check
// and of -restore, and whether the archive came back byte for byte.
// Usage: bench_restore [GFXPAK] (another build to compare with).
#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "packer_protocol.h"

namespace {

std::uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

bool SameFiles(const std::string& a, const std::string& b) {
  FILE* fa = std::fopen(a.c_str(), "rb");
  FILE* fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (same) {
    const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    const std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    same = na == nb && std::equal(ba.begin(), ba.begin() + static_cast<std::ptrdiff_t>(na), bb.begin());
    if (na == 0) break;
  }
  if (fa != nullptr) std::fclose(fa);
  if (fb != nullptr) std::fclose(fb);
  return same;
}

// Half the imports replace existing entries, half add new ones; the time
// of the first goes to first as well.
double FiftyImports(const std::string& dir, const std::string& archive, bool restore_point, double& first) {
  double total = 0;
  for (int i = 0; i < 50; ++i) {
    const std::string file = dir + (i % 2 ? "/e" + std::to_string(i * 7) + ".o" : "/new_" + std::to_string(i) + ".o");
    bench::WriteFile(file, bench::RandomBytes(512 << 10, static_cast<unsigned>(i)));
    std::vector<std::string> args{std::string(kImportCommand)};
    if (!restore_point) args.push_back("-norestore");
    args.push_back(archive);
    args.push_back(file);
    const double took = bench::TimeGfxpak(args);
    if (i == 0) first = took;
    total += took;
    ::unlink(file.c_str());
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) bench::Gfxpak() = argv[1];
  const std::string dir = TESSOLO_BENCH_DIR;
  const std::string archive = dir + "/bench_300m.big";
  const std::string pristine = dir + "/bench_300m.original";
  constexpr std::uint32_t kEntries = 300;
  constexpr std::uint32_t kEntrySize = 1 << 20;

  // Two rounds each, alternating, so that neither side gets the colder disk.
  double without = 1e9;
  double with = 1e9;
  double first_without = 1e9;
  double first_with = 1e9;
  for (int round = 0; round < 2; ++round) {
    double first = 0;
    bench::MakeArchive(archive, kEntries, kEntrySize);
    without = std::min(without, FiftyImports(dir, archive, false, first));
    first_without = std::min(first_without, first);
    ::unlink(archive.c_str());
    if (round == 1) bench::MakeArchive(pristine, kEntries, kEntrySize);
    bench::MakeArchive(archive, kEntries, kEntrySize);
    with = std::min(with, FiftyImports(dir, archive, true, first));
    first_with = std::min(first_with, first);
    if (round == 0) {
      ::unlink(archive.c_str());
      ::unlink((archive + ".restore").c_str());
    }
  }
  const std::uint64_t restore_size = FileSize(archive + ".restore");
  const std::uint64_t original_size = FileSize(pristine);
  const double check_time = bench::TimeGfxpak({"-check", archive});
  const double restore_time = bench::TimeGfxpak({"-restore", archive});
  const bool same = SameFiles(archive, pristine);
  ::unlink(archive.c_str());
  ::unlink(pristine.c_str());
  ::unlink((archive + ".restore").c_str());

  std::printf("gfxpak: %s\n\n", bench::Gfxpak().c_str());
  std::printf("| 50 imports of 512 KiB (25 replace, 25 add) into a %u MiB archive | value |\n|---|---|\n", kEntries);
  std::printf("| -p without a restore point, total (best of 2) | %.3f s (%.1f ms each; the first %.1f ms) |\n", without,
              without * 20, first_without * 1000);
  std::printf("| -p with a restore point, total (best of 2) | %.3f s (%.1f ms each, %+.1f%%) |\n", with, with * 20,
              (with / without - 1) * 100);
  std::printf("| the first -p, which makes the restore point (best of 2) | %.3f s |\n", first_with);
  std::printf("| the other 49 with a restore point | %.1f ms each |\n", (with - first_with) / 49 * 1000);
  std::printf("| restore point size | %llu bytes (%.4f%% of the archive) |\n", static_cast<unsigned long long>(restore_size),
              100.0 * static_cast<double>(restore_size) / static_cast<double>(original_size));
  std::printf("| -check | %.3f s |\n", check_time);
  std::printf("| -restore | %.3f s, archive identical to the original: %s |\n", restore_time, same ? "yes" : "NO");
  return same ? 0 : 1;
}
