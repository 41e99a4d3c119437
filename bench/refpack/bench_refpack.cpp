// Compression ratio and speed of our RefPack codec next to qfs-compression
// (run under Node.js in the same run, on the same files), and next to the
// plain greedy encoder that the tests hold the parser against.
// Usage: bench_refpack [FILE...]   (the generated corpus is always included)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "greedy.h"
#include "refpack/refpack.h"
#include "samples.h"

namespace {

namespace fs = std::filesystem;
using refpack_test::Bytes;

struct Sample {
  std::string name;
  Bytes data;
};

std::vector<Sample> Corpus() {
  std::vector<Sample> out;
  out.push_back({"text.txt", refpack_test::Text(1 << 20, 1)});
  out.push_back({"mesh.bin", refpack_test::Binary(1 << 20, 2)});
  out.push_back({"picture.raw", refpack_test::Picture(512, 512, 3)});
  out.push_back({"random.bin", refpack_test::Random(512 << 10, 4)});
  // Already compressed data, as an archive full of packed entries holds.
  out.push_back({"packed.rfp", refpack::Compress(refpack_test::Text(1536 << 10, 5))});
  return out;
}

struct Rate {
  double wall = 0;  // MB/s by the clock on the wall
  double cpu = 0;   // MB/s by the process's CPU time, which a loaded machine disturbs less
};

// The best times of repeated runs, in MB (10^6 bytes of uncompressed data) per second.
template <typename F>
Rate BestRate(std::size_t bytes, F&& run) {
  using Clock = std::chrono::steady_clock;
  run();
  double best_wall = 1e30, best_cpu = 1e30;
  const auto start = Clock::now();
  for (int runs = 0; runs < 3 || (runs < 50 && Clock::now() - start < std::chrono::milliseconds(1500));
       ++runs) {
    const auto t0 = Clock::now();
    const std::clock_t c0 = std::clock();
    run();
    best_cpu = std::min(best_cpu, static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
    best_wall = std::min(best_wall, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  // clock() may tick coarsely; a run shorter than a tick counts as one tick.
  return {mb / best_wall, mb / std::max(best_cpu, 1.0 / CLOCKS_PER_SEC)};
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

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Sample> corpus = Corpus();
  for (int i = 1; i < argc; ++i) corpus.push_back({fs::path(argv[i]).filename().string(), ReadFile(argv[i])});

  const fs::path dir = fs::temp_directory_path() / "bench_refpack_corpus";
  fs::create_directories(dir);
  std::vector<fs::path> files;
  for (const auto& s : corpus) {
    files.push_back(dir / s.name);
    std::ofstream(files.back(), std::ios::binary)
        .write(reinterpret_cast<const char*>(s.data.data()), static_cast<std::streamsize>(s.data.size()));
  }
  const auto qfs = MeasureQfs(files);
  fs::remove_all(dir);

  std::printf("ratio = compressed size / original size; MB/s of uncompressed data, best of runs\n");
  std::printf("(wall clock; \"cpu\" by our process's CPU time; qfs's figures are wall clock)\n");
  std::printf("%-14s %9s %7s %7s %7s | %9s %9s %9s | %9s %9s\n", "file", "size", "ours", "qfs", "greedy64",
              "ours c", "cpu", "qfs c", "ours d", "qfs d");
  std::size_t total = 0, total_ours = 0, total_qfs = 0, total_greedy = 0;
  bool ok = true;
  for (const auto& s : corpus) {
    Bytes packed;
    const Rate c = BestRate(s.data.size(), [&] { packed = refpack::Compress(s.data); });
    Bytes out;
    std::string error;
    const Rate d = BestRate(s.data.size(), [&] { refpack::Decompress(packed, out, &error); });
    if (out != s.data) {
      std::fprintf(stderr, "%s: round trip failed: %s\n", s.name.c_str(), error.c_str());
      ok = false;
    }
    const std::size_t greedy = refpack_test::GreedyCompress(s.data, 64).size();
    const auto it = qfs.find(s.name);
    const Theirs t = it != qfs.end() ? it->second : Theirs{};
    const double n = static_cast<double>(s.data.size());
    std::printf("%-14s %9zu %6.2f%% %6.2f%% %6.2f%% | %9.2f %9.2f %9.2f | %9.1f %9.1f\n", s.name.c_str(),
                s.data.size(), 100.0 * static_cast<double>(packed.size()) / n,
                100.0 * static_cast<double>(t.packed) / n, 100.0 * static_cast<double>(greedy) / n, c.wall,
                c.cpu, t.compress, d.wall, t.decompress);
    total += s.data.size();
    total_ours += packed.size();
    total_qfs += t.packed;
    total_greedy += greedy;
  }
  const double n = static_cast<double>(total);
  std::printf("%-14s %9zu %6.2f%% %6.2f%% %6.2f%%\n", "total", total,
              100.0 * static_cast<double>(total_ours) / n, 100.0 * static_cast<double>(total_qfs) / n,
              100.0 * static_cast<double>(total_greedy) / n);
  if (qfs.empty()) std::printf("(qfs-compression was not measured)\n");
  return ok ? 0 : 1;
}
