// Compression ratio and speed of our RefPack codec next to its peers, all
// measured in the same run on the same files: qfs-compression (run under
// Node.js), the classic reference encoder and the greedy encoder with a
// 64-deep search (both from the tests). Ours is timed in-process on one
// thread and on all of them, and as the whole `gfxpak -compress` command.
// Usage: bench_refpack [FILE...]   (the corpus below is always included)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#endif

#include "classic.h"
#include "greedy.h"
#include "refpack/refpack.h"
#include "samples.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using refpack_test::Bytes;

struct Sample {
  std::string name;
  Bytes data;
};

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// The files of a folder in name order, so that the same system gives the same corpus.
std::vector<fs::path> SortedFiles(const fs::path& dir) {
  std::vector<fs::path> out;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (entry.is_regular_file(error) && !entry.is_symlink(error)) out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// n bytes of real text: the English manual pages of section 1 unpacked, one
// after another, from the skip-th byte on. Empty when they are not installed.
Bytes ManualPages(std::size_t skip, std::size_t n) {
  Bytes out;
#ifndef _WIN32
  for (const auto& page : SortedFiles("/usr/share/man/man1")) {
    if (out.size() >= skip + n) break;
    if (page.extension() != ".gz") continue;
    FILE* pipe = popen(("gzip -dc '" + page.string() + "' 2>/dev/null").c_str(), "r");
    if (!pipe) continue;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.insert(out.end(), buffer, buffer + got);
    pclose(pipe);
  }
#endif
  if (out.size() < skip + n) return {};
  return Bytes(out.begin() + static_cast<std::ptrdiff_t>(skip), out.begin() + static_cast<std::ptrdiff_t>(skip + n));
}

// n bytes of x86-64 code and data: the ELF programs of /usr/bin one after
// another, from the skip-th byte on. Empty when there are not enough.
Bytes Executables(std::size_t skip, std::size_t n) {
  Bytes out;
  for (const auto& program : SortedFiles("/usr/bin")) {
    if (out.size() >= skip + n) break;
    const Bytes bytes = ReadFile(program);
    if (bytes.size() >= 4 && bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F') {
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
  }
  if (out.size() < skip + n) return {};
  return Bytes(out.begin() + static_cast<std::ptrdiff_t>(skip), out.begin() + static_cast<std::ptrdiff_t>(skip + n));
}

// 24 MiB of everything above, a MiB at a time, as an archive of mixed
// entries would hold; every part is different.
Bytes Mixed() {
  constexpr std::size_t kMiB = 1 << 20;
  const Bytes man = ManualPages(kMiB, 4 * kMiB);
  const Bytes exe = Executables(kMiB, 4 * kMiB);
  Bytes out;
  for (std::uint64_t i = 0; i < 24; ++i) {
    const auto slice = [&](const Bytes& from) {
      const auto at = from.begin() + static_cast<std::ptrdiff_t>(i / 6 * kMiB);
      return from.empty() ? refpack_test::Text(kMiB, 100 + i) : Bytes(at, at + kMiB);
    };
    Bytes part;
    switch (i % 6) {
      case 0: part = slice(man); break;
      case 1: part = slice(exe); break;
      case 2: part = refpack_test::Texture(1024, 1024, 100 + i); break;
      case 3: part = refpack_test::Binary(kMiB, 100 + i); break;
      case 4: part = refpack_test::Text(kMiB, 100 + i); break;
      default:
        part = refpack_test::Picture(512, 512, 100 + i);
        part.resize(kMiB);
        const Bytes noise = refpack_test::Random(kMiB - 512 * 512 * 3, 100 + i);
        std::copy(noise.begin(), noise.end(), part.begin() + 512 * 512 * 3);
        break;
    }
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

std::vector<Sample> Corpus() {
  std::vector<Sample> out;
  out.push_back({"text.txt", refpack_test::Text(1 << 20, 1)});
  out.push_back({"mesh.bin", refpack_test::Binary(1 << 20, 2)});
  out.push_back({"picture.raw", refpack_test::Picture(512, 512, 3)});
  out.push_back({"random.bin", refpack_test::Random(512 << 10, 4)});
  // Already compressed data, as an archive full of packed entries holds; by
  // the tests' greedy encoder, so that it stays the same when ours changes.
  out.push_back({"packed.rfp", refpack_test::GreedyCompress(refpack_test::Text(1536 << 10, 5), 8)});
  out.push_back({"texture.pal", refpack_test::Texture(1024, 1024, 6)});
  if (Bytes man = ManualPages(0, 1 << 20); !man.empty()) {
    out.push_back({"man.txt", std::move(man)});
  } else {
    std::fprintf(stderr, "man.txt left out: the manual pages are not installed\n");
  }
  if (Bytes exe = Executables(0, 1 << 20); !exe.empty()) {
    out.push_back({"exe.bin", std::move(exe)});
  } else {
    std::fprintf(stderr, "exe.bin left out: too few programs in /usr/bin\n");
  }
  out.push_back({"mixed.bin", Mixed()});
  return out;
}

// The best time of repeated runs after a warm-up, in MB (10^6 bytes of
// uncompressed data) per second.
template <typename F>
double BestRate(std::size_t bytes, F&& run) {
  using Clock = std::chrono::steady_clock;
  run();
  double best = 1e30;
  const auto start = Clock::now();
  for (int runs = 0; runs < 3 || (runs < 50 && Clock::now() - start < std::chrono::milliseconds(1500)); ++runs) {
    const auto t0 = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return static_cast<double>(bytes) / 1e6 / best;
}

// Runs `gfxpak -compress -real in out` and waits for it; false when it could
// not be started or failed.
bool RunCompressCommand(const fs::path& in, const fs::path& out) {
#if defined(TESSOLO_GFXPAK) && !defined(_WIN32)
  std::string args[] = {TESSOLO_GFXPAK, "-compress", "-real", in.string(), out.string()};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#else
  (void)in;
  (void)out;
  return false;
#endif
}

struct Theirs {
  std::size_t packed = 0;
  double compress = 0;
  double decompress = 0;
};

// Runs the Node.js side over the corpus files; empty when Node.js or the
// package is missing.
std::map<std::string, Theirs> MeasureQfs(const std::vector<fs::path>& files) {
  std::map<std::string, Theirs> out;
#ifdef TESSOLO_NODE
  const char* env = std::getenv("TESSOLO_NODE_MODULES");
  const std::string modules = env && *env ? env : TESSOLO_NODE_MODULES;
  if (!fs::exists(fs::path(modules) / "qfs-compression")) {
    std::fprintf(stderr, "qfs-compression not found in %s: run scripts/npm-tools\n", modules.c_str());
    return out;
  }
  std::string command = TESSOLO_NODE;
  command += " '" TESSOLO_QFS_BENCH "' '";
  command += modules;
  command += '\'';
  for (const auto& f : files) {
    command += " '";
    command += f.string();
    command += '\'';
  }
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::istringstream in(line);
    std::string name;
    std::size_t size = 0;
    Theirs t;
    if (in >> name >> size >> t.packed >> t.compress >> t.decompress) out[name] = t;
  }
  pclose(pipe);
#else
  (void)files;
#endif
  return out;
}

std::string Percent(std::size_t packed, std::size_t size) {
  if (packed == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", 100.0 * static_cast<double>(packed) / static_cast<double>(size));
  return text;
}

std::string Speed(double mb_s) {
  if (mb_s <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", mb_s);
  return text;
}

struct Row {
  std::size_t ours = 0, classic = 0, greedy = 0;
  double one = 0, all = 0, command = 0, decompress = 0;
  bool same = true, round_trip = true;
};

Row Measure(const Sample& s, const fs::path& file, const fs::path& scratch) {
  Row row;
  const std::size_t n = s.data.size();
  Bytes packed, packed_one;
  row.one = BestRate(n, [&] { packed_one = refpack::Compress(s.data, {.threads = 1}); });
  row.all = BestRate(n, [&] { packed = refpack::Compress(s.data); });
  row.same = packed == packed_one;
  row.ours = packed.size();
  if (RunCompressCommand(file, scratch)) {
    row.command = BestRate(n, [&] { RunCompressCommand(file, scratch); });
    // The command keeps a file that is a RefPack stream already as it is.
    row.same = row.same && ReadFile(scratch) == (refpack::IsRefPack(s.data) ? s.data : packed);
  }
  Bytes out;
  std::string error;
  row.decompress = BestRate(n, [&] { refpack::Decompress(packed, out, &error); });
  row.round_trip = out == s.data;
  if (!row.round_trip) std::fprintf(stderr, "%s: round trip failed: %s\n", s.name.c_str(), error.c_str());
  row.classic = refpack_test::ClassicCompress(s.data).size();
  row.greedy = refpack_test::GreedyCompress(s.data, 64).size();
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Sample> corpus = Corpus();
  for (int i = 1; i < argc; ++i) corpus.push_back({fs::path(argv[i]).filename().string(), ReadFile(argv[i])});

  const fs::path dir = fs::temp_directory_path() / ("bench_refpack_corpus." + std::to_string(std::time(nullptr)));
  fs::create_directories(dir);
  std::vector<fs::path> files;
  for (const auto& s : corpus) {
    files.push_back(dir / s.name);
    WriteFile(files.back(), s.data);
  }
  const auto qfs = MeasureQfs(files);

  std::printf("size: compressed / original. MB/s: of uncompressed data, best of runs, wall clock.\n");
  std::printf("c1, call: in-process on 1 and on all %u threads; cmd: the whole gfxpak -compress.\n",
              std::thread::hardware_concurrency());
  std::printf("call/c1: the gain from threads; cmd/qfs: the whole command against qfs-compression in-process.\n");
  std::printf("%-12s %9s | %7s %7s %7s %7s | %6s %6s %7s %6s %6s | %7s %7s | %s\n", "file", "bytes", "ours",
              "classic", "qfs", "greedy", "c1", "call", "call/c1", "cmd", "qfs c", "d", "qfs d", "cmd/qfs");
  bool ok = true;
  std::size_t total = 0, total_ours = 0, total_classic = 0;
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    const Sample& s = corpus[i];
    const Row row = Measure(s, files[i], dir / (s.name + ".rfp"));
    const auto it = qfs.find(s.name);
    const Theirs t = it != qfs.end() ? it->second : Theirs{};
    const std::size_t n = s.data.size();
    std::printf("%-12s %9zu | %7s %7s %7s %7s | %6s %6s %7.2f %6s %6s | %7s %7s | %s%s%s\n", s.name.c_str(), n,
                Percent(row.ours, n).c_str(), Percent(row.classic, n).c_str(), Percent(t.packed, n).c_str(),
                Percent(row.greedy, n).c_str(), Speed(row.one).c_str(), Speed(row.all).c_str(), row.all / row.one,
                Speed(row.command).c_str(), Speed(t.compress).c_str(), Speed(row.decompress).c_str(),
                Speed(t.decompress).c_str(), t.compress > 0 ? Speed(row.command / t.compress).c_str() : "-",
                row.ours > row.classic ? "  LARGER THAN CLASSIC" : "", row.same ? "" : "  OUTPUT DIFFERS");
    std::fflush(stdout);
    ok = ok && row.round_trip && row.same;
    total += n;
    total_ours += row.ours;
    total_classic += row.classic;
  }
  std::printf("%-12s %9zu | %7s %7s\n", "total", total, Percent(total_ours, total).c_str(),
              Percent(total_classic, total).c_str());
  if (qfs.empty()) std::printf("(qfs-compression was not measured)\n");
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
