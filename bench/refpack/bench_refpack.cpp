// Compression ratio and speed of our RefPack codec next to its peers, all
// measured in the same run on the same files: qfs-compression (run under
// Node.js), the classic reference encoder and the greedy encoder with a
// 64-deep search (both from the tests), and our own exhaustive setting, the
// smallest stream our parse can find. Ours is timed in-process on one
// thread and on all of them, and as the whole `gfxpak -compress` command,
// each file's runs taken turn about with qfs-compression's so that both see
// the same load. Then a MiB of zeros, the targets, and the size and speed of
// the settings tried, from cheapest to most thorough.
// Usage: bench_refpack [FILE...]   (the corpus below is always included);
// see main for the modes that bench/refpack/instructions uses.
#include "packer_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include "classic.h"
#include "greedy.h"
#include "refpack/refpack.h"
#include "refpack/tuning.h"
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

// n bytes of real text: the English manual pages of a section unpacked, one
// after another, from the skip-th byte on. Empty when they are not installed.
Bytes ManualPages(std::size_t skip, std::size_t n, const char* section = "man1") {
  Bytes out;
#ifndef _WIN32
  for (const auto& page : SortedFiles(fs::path("/usr/share/man") / section)) {
    if (out.size() >= skip + n) break;
    if (page.extension() != ".gz") continue;
    FILE* pipe = popen(("gzip -dc '" + page.string() + "' 2>/dev/null").c_str(), "r");
    if (!pipe) continue;
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.insert(out.end(), buffer, buffer + got);
    pclose(pipe);
  }
#else
  (void)section;
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

// n bytes of licence and header text: the system's licences, then its C
// headers, one after another. Empty when there are not enough.
Bytes LicencesAndHeaders(std::size_t n) {
  Bytes out;
  for (const char* dir : {"/usr/share/common-licenses", "/usr/include"}) {
    for (const auto& file : SortedFiles(dir)) {
      if (out.size() >= n) break;
      const Bytes bytes = ReadFile(file);
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
  }
  if (out.size() < n) return {};
  out.resize(n);
  return out;
}

// n bytes of a model with another layout than the tests' mesh: 36-byte
// vertices over a bumpy terrain (a position and texture coordinates as
// floats, a normal as three 16-bit numbers, a colour), then triangles of
// 32-bit indices. Neighbours share most of their bytes, seldom all.
Bytes Records(std::size_t n, std::uint64_t seed) {
  refpack_test::Rng rng(seed);
  constexpr std::uint32_t kSide = 128;
  Bytes out = {'T', 'E', 'R', 'R', 2, 0, 0, 0};
  const auto put = [&](const void* p, std::size_t size) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), b, b + size);
  };
  float height = 0;
  for (std::uint32_t i = 0; out.size() < n * 3 / 5; ++i) {
    const std::uint32_t x = i % kSide, z = i / kSide;
    height += static_cast<float>(static_cast<int>(rng.Below(9)) - 4) * 0.0625f;
    if (x == 0) height = static_cast<float>(z % 16) * 0.25f;
    const float position[3] = {static_cast<float>(x), height, static_cast<float>(z)};
    const std::int16_t normal[3] = {static_cast<std::int16_t>(rng.Below(512) - 256), 32000,
                                    static_cast<std::int16_t>(rng.Below(512) - 256)};
    const std::uint16_t pad = 0;
    const float uv[2] = {static_cast<float>(x) / kSide, static_cast<float>(z % kSide) / kSide};
    const std::uint8_t colour[4] = {90, static_cast<std::uint8_t>(140 + rng.Below(8)), 60, 255};
    put(position, sizeof position);
    put(normal, sizeof normal);
    put(&pad, sizeof pad);
    put(uv, sizeof uv);
    put(colour, sizeof colour);
  }
  for (std::uint32_t q = 0; out.size() < n; ++q) {
    const std::uint32_t base = q + q / (kSide - 1);
    const std::uint32_t tri[6] = {base, base + kSide, base + 1, base + 1, base + kSide, base + kSide + 1};
    put(tri, sizeof tri);
  }
  out.resize(n);
  return out;
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
  // A second set of a MiB each, of the kinds where a setting's shortcuts
  // showed most: each shortcut had passed on the first set.
  if (Bytes text = LicencesAndHeaders(1 << 20); !text.empty()) {
    out.push_back({"licences.txt", std::move(text)});
  } else {
    std::fprintf(stderr, "licences.txt left out: too few licences and headers installed\n");
  }
  if (Bytes exe = Executables(6 << 20, 1 << 20); !exe.empty()) {
    out.push_back({"program.bin", std::move(exe)});
  } else {
    std::fprintf(stderr, "program.bin left out: too few programs in /usr/bin\n");
  }
  out.push_back({"records.bin", Records(1 << 20, 7)});
  out.push_back({"dither.pal", refpack_test::Texture(2048, 512, 8)});
  if (Bytes man = ManualPages(0, 1 << 20, "man3"); !man.empty()) {
    out.push_back({"man3.txt", std::move(man)});
  } else {
    std::fprintf(stderr, "man3.txt left out: the manual pages of section 3 are not installed\n");
  }
  return out;
}

// Seconds of processor time this process has taken, on all its threads.
double ProcessSeconds() {
#ifndef _WIN32
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#else
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

// The best time of repeated runs after a warm-up, in MB (10^6 bytes of
// uncompressed data) per second: at least min_runs, more while budget lasts.
// cpu_rate, if given, gets the best per second of processor time.
template <typename F>
double BestRate(std::size_t bytes, F&& run, int min_runs = 3, int budget_ms = 1500, bool warm_up = true,
                double* cpu_rate = nullptr) {
  using Clock = std::chrono::steady_clock;
  if (warm_up) run();
  double best = 1e30, best_cpu = 1e30;
  const auto start = Clock::now();
  for (int runs = 0; runs < min_runs || (runs < 50 && Clock::now() - start < std::chrono::milliseconds(budget_ms));
       ++runs) {
    const double c0 = ProcessSeconds();
    const auto t0 = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    best_cpu = std::min(best_cpu, ProcessSeconds() - c0);
  }
  if (cpu_rate) *cpu_rate = static_cast<double>(bytes) / 1e6 / std::max(best_cpu, 1e-6);
  return static_cast<double>(bytes) / 1e6 / best;
}

// Runs `gfxpak -compress -real in out` and waits for it; false when it could
// not be started or failed. cpu gets the seconds of processor time that it
// took, on all its threads.
bool RunCompressCommand(const fs::path& in, const fs::path& out, double* cpu = nullptr) {
#if defined(TESSOLO_GFXPAK) && !defined(_WIN32)
  std::string args[] = {TESSOLO_GFXPAK, std::string(kCompressCommand), std::string(kCompressFlag), in.string(),
                        out.string()};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  if (cpu) *cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#else
  (void)in;
  (void)out;
  (void)cpu;
  return false;
#endif
}

// The whole command's best rate in MB/s of wall clock, and per second of
// processor time on all its threads: what it costs whatever else the
// machine is doing.
struct Rates {
  double wall = 0;
  double cpu = 0;
};

Rates CommandRates(std::size_t bytes, const fs::path& in, const fs::path& out) {
  using Clock = std::chrono::steady_clock;
  double wall = 1e30, cpu = 1e30;
  const auto start = Clock::now();
  for (int runs = 0; runs < 3 || (runs < 50 && Clock::now() - start < std::chrono::milliseconds(1500)); ++runs) {
    double seconds = 0;
    const auto t0 = Clock::now();
    if (!RunCompressCommand(in, out, &seconds)) return {};
    wall = std::min(wall, std::chrono::duration<double>(Clock::now() - t0).count());
    cpu = std::min(cpu, seconds);
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  return {mb / wall, mb / cpu};
}

struct Theirs {
  std::size_t packed = 0;
  double compress = 0;
  double decompress = 0;
  double compress_cpu = 0;  // MB per second of processor time
};

// Times qfs-compression on one file under Node.js; nothing when Node.js or
// the package is missing, or the package refuses the file.
std::optional<Theirs> MeasureQfs(const fs::path& file) {
#ifdef TESSOLO_NODE
  const char* env = std::getenv("TESSOLO_NODE_MODULES");
  const std::string modules = env && *env ? env : TESSOLO_NODE_MODULES;
  if (!fs::exists(fs::path(modules) / "qfs-compression")) return std::nullopt;
  const std::string command =
      std::string(TESSOLO_NODE) + " '" TESSOLO_QFS_BENCH "' '" + modules + "' '" + file.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::optional<Theirs> out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::istringstream in(line);
    std::string name;
    std::size_t size = 0;
    Theirs t;
    if (in >> name >> size >> t.packed >> t.compress >> t.decompress >> t.compress_cpu) out = t;
  }
  pclose(pipe);
  return out;
#else
  (void)file;
  return std::nullopt;
#endif
}

bool HaveQfs() {
#ifdef TESSOLO_NODE
  const char* env = std::getenv("TESSOLO_NODE_MODULES");
  const std::string modules = env && *env ? env : TESSOLO_NODE_MODULES;
  if (fs::exists(fs::path(modules) / "qfs-compression")) return true;
  std::fprintf(stderr, "qfs-compression not found in %s: run scripts/npm-tools\n", modules.c_str());
#endif
  return false;
}

std::string Percent(std::size_t packed, std::size_t size) {
  if (packed == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", 100.0 * static_cast<double>(packed) / static_cast<double>(size));
  return text;
}

std::string Ratio(double r) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", r);
  return text;
}

// How much larger a is than b, in percent (negative: smaller).
double Change(std::size_t a, std::size_t b) { return 100.0 * (static_cast<double>(a) / static_cast<double>(b) - 1); }

std::string Speed(double mb_s) {
  if (mb_s <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", mb_s);
  return text;
}

std::string Load() {
#ifndef _WIN32
  double load[3];
  if (getloadavg(load, 3) == 3) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
  }
#endif
  return "unknown";
}

struct Row {
  std::size_t n = 0;
  std::size_t ours = 0, classic = 0, greedy = 0, exhaustive = 0;
  double one = 0, all = 0, command = 0, command_cpu = 0, decompress = 0, decompress_cpu = 0;
  std::optional<Theirs> qfs;
  bool same = true, round_trip = true;
};

Row Measure(const Sample& s, const fs::path& file, const fs::path& scratch, bool qfs) {
  Row row;
  row.n = s.data.size();
  Bytes packed, packed_one;
  row.one = BestRate(row.n, [&] { packed_one = refpack::Compress(s.data, {.threads = 1}); });
  row.all = BestRate(row.n, [&] { packed = refpack::Compress(s.data); });
  row.same = packed == packed_one;
  row.ours = packed.size();
  // The whole command and qfs-compression take turns, twice, each keeping
  // its best, so that a burst of load elsewhere does not favour either.
  const bool command = RunCompressCommand(file, scratch);
  for (int round = 0; round < 2; ++round) {
    if (qfs) {
      if (const std::optional<Theirs> t = MeasureQfs(file)) {
        if (!row.qfs || t->compress > row.qfs->compress) row.qfs = t;
      }
    }
    if (command) {
      const Rates rates = CommandRates(row.n, file, scratch);
      row.command = std::max(row.command, rates.wall);
      row.command_cpu = std::max(row.command_cpu, rates.cpu);
    }
  }
  // The command keeps a file that is a RefPack stream already as it is.
  if (command) row.same = row.same && ReadFile(scratch) == (refpack::IsRefPack(s.data) ? s.data : packed);
  Bytes out;
  std::string error;
  row.decompress = BestRate(row.n, [&] { refpack::Decompress(packed, out, &error); }, 3, 1500, true, &row.decompress_cpu);
  row.round_trip = out == s.data;
  if (!row.round_trip) std::fprintf(stderr, "%s: round trip failed: %s\n", s.name.c_str(), error.c_str());
  row.classic = refpack_test::ClassicCompress(s.data).size();
  row.greedy = refpack_test::GreedyCompress(s.data, 64).size();
  row.exhaustive = refpack::detail::Compress(s.data, {}, refpack::detail::kExhaustiveTuning).size();
  return row;
}

// A MiB of zeros, which no file of the corpus is as it can be no smaller
// than a greedy parse makes it: a long run over the cut between two pieces.
void PrintZeros(const fs::path& dir, bool qfs) {
  const Bytes zeros(1 << 20, 0);
  const fs::path file = dir / "zeros.bin";
  WriteFile(file, zeros);
  const std::optional<Theirs> theirs = qfs ? MeasureQfs(file) : std::nullopt;
  std::printf("\nzeros, a MiB in bytes: ours %zu, exhaustive %zu, greedy %zu, classic %zu, qfs-compression %s\n",
              refpack::Compress(zeros).size(),
              refpack::detail::Compress(zeros, {}, refpack::detail::kExhaustiveTuning).size(),
              refpack_test::GreedyCompress(zeros, 64).size(), refpack_test::ClassicCompress(zeros).size(),
              theirs ? std::to_string(theirs->packed).c_str() : "-");
}

// The targets, on every file of at least a MiB.
constexpr std::size_t kTargetSize = 1 << 20;
constexpr double kSpeedTarget = 2.5;       // the whole command against qfs-compression in-process
constexpr double kClassicTarget = -1.0;    // percent of the classic reference's size, on compressible files
constexpr double kExhaustiveTarget = 1.0;  // percent over the exhaustive setting's size
constexpr double kDecodeTarget = 500;      // MB/s

// One line per target: each file's figure, and whether it is met.
void PrintTargets(const std::vector<Sample>& corpus, const std::vector<Row>& rows) {
  struct Target {
    const char* what;
    // The figure for a row and whether it meets the target; no figure when
    // it does not apply or could not be measured.
    std::function<std::optional<std::pair<std::string, bool>>(const Row&)> check;
  };
  const auto text = [](const char* format, double value) {
    char out[32];
    std::snprintf(out, sizeof out, format, value);
    return std::string(out);
  };
  const Target targets[] = {
      {"whole command >= 2.5x qfs-compression in-process (wall clock; processor time after the slash)",
       [&](const Row& r) -> std::optional<std::pair<std::string, bool>> {
         if (!r.qfs || r.command <= 0) return std::nullopt;
         const double ratio = r.command / r.qfs->compress;
         const double cpu = r.qfs->compress_cpu > 0 ? r.command_cpu / r.qfs->compress_cpu : 0;
         return std::pair{text("%.2fx", ratio) + text("/%.2fx", cpu), ratio >= kSpeedTarget};
       }},
      {">= 1% smaller than classic (no larger where it does not compress)",
       [&](const Row& r) -> std::optional<std::pair<std::string, bool>> {
         const double change = Change(r.ours, r.classic);
         const bool compressible = r.classic < r.n;
         return std::pair{text("%+.2f%%", change), compressible ? change <= kClassicTarget : r.ours <= r.classic};
       }},
      {"within 1% of the exhaustive setting",
       [&](const Row& r) -> std::optional<std::pair<std::string, bool>> {
         const double change = Change(r.ours, r.exhaustive);
         return std::pair{text("%+.2f%%", change), change <= kExhaustiveTarget};
       }},
      {"decompression >= 500 MB/s (wall clock; per second of processor time after the slash)",
       [&](const Row& r) -> std::optional<std::pair<std::string, bool>> {
         return std::pair{text("%.0f", r.decompress) + text("/%.0f", r.decompress_cpu), r.decompress >= kDecodeTarget};
       }},
  };
  std::printf("\ntargets, on every file of 1 MiB or more:\n");
  for (const Target& target : targets) {
    std::string line;
    bool met = true;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].n < kTargetSize) continue;
      const auto figure = target.check(rows[i]);
      line += "  " + corpus[i].name + " " + (figure ? figure->first + (figure->second ? "" : "!") : "-");
      if (figure) met = met && figure->second;
    }
    std::printf("  %-4s %s:\n   %s\n", met ? "MET" : "MISS", target.what, line.c_str());
  }
  std::printf("  (! marks a file that misses; - one where it was not measured: qfs-compression takes at most 16 MiB - 1)\n");
}

// The settings the frontier is drawn from, from cheapest to most thorough.
struct Setting {
  const char* name;
  refpack::detail::Tuning tuning;
};

std::vector<Setting> Settings() {
  using refpack::detail::kDefaultTuning;
  using refpack::detail::kMaxLength;
  using refpack::detail::Tuning;
  // The first trial: a shallow search, matches of 16 bytes taken at
  // once, the trees ordered by 64 bytes.
  Tuning fast = kDefaultTuning;
  fast.depth = 8;
  fast.skip_length = 16;
  fast.resume = 8;
  fast.nice_length = 16;
  fast.stop_length = 64;
  Tuning shallow = kDefaultTuning;
  shallow.depth = 8;
  shallow.skip_length = 16;
  shallow.resume = 8;
  Tuning deep = kDefaultTuning;
  deep.depth = 32;
  deep.skip_length = 32;
  deep.resume = 16;
  deep.insert_tail = kMaxLength;
  return {{"fast", fast},
          {"shallow", shallow},
          {"default", kDefaultTuning},
          {"deep", deep},
          {"exhaustive", refpack::detail::kExhaustiveTuning}};
}

// Each setting's total size and in-process speed on all threads over the
// files of at least a MiB: the size a setting buys with its time.
void PrintFrontier(const std::vector<Sample>& corpus) {
  std::printf("\nfrontier, in-process on all threads, over the files of 1 MiB or more:\n");
  std::printf("  (cpu: MB per second of processor time on all threads, which load elsewhere disturbs less)\n");
  std::printf("  %-11s %11s %9s %9s %9s  %s\n", "setting", "bytes", "vs exh.", "MB/s", "cpu MB/s", "per file: MB/s, cpu");
  struct Point {
    std::size_t bytes = 0;
    double seconds = 0;
    double cpu_seconds = 0;
    std::string files;
  };
  const std::vector<Setting> settings = Settings();
  std::vector<Point> points(settings.size());
  std::size_t total = 0;
  for (std::size_t k = 0; k < settings.size(); ++k) {
    for (const Sample& s : corpus) {
      if (s.data.size() < kTargetSize) continue;
      if (k == 0) total += s.data.size();
      std::size_t bytes = 0;
      double cpu = 0;
      // Fewer runs than above, without a warm-up (the tables above had
      // theirs): the thorough settings take long on the largest file.
      const double rate = BestRate(
          s.data.size(), [&] { bytes = refpack::detail::Compress(s.data, {}, settings[k].tuning).size(); }, 2, 500,
          false, &cpu);
      const double mb = static_cast<double>(s.data.size()) / 1e6;
      points[k].bytes += bytes;
      points[k].seconds += mb / rate;
      points[k].cpu_seconds += mb / cpu;
      points[k].files += " " + s.name + " " + Speed(rate) + ", " + Speed(cpu);
    }
  }
  const Point& exhaustive = points.back();
  for (std::size_t k = 0; k < settings.size(); ++k) {
    std::printf("  %-11s %11zu %+8.2f%% %9.1f %9.1f %s\n", settings[k].name, points[k].bytes,
                Change(points[k].bytes, exhaustive.bytes), static_cast<double>(total) / 1e6 / points[k].seconds,
                static_cast<double>(total) / 1e6 / points[k].cpu_seconds, points[k].files.c_str());
  }
}

// The setting that a name such as "default,depth=24,resume=8" gives: a
// setting of Settings() with some of its limits changed, for trying
// limits without building anew. Nothing when the name is not understood.
std::optional<refpack::detail::Tuning> ParseSetting(const std::string& text) {
  using refpack::detail::Tuning;
  static const std::pair<const char*, std::size_t Tuning::*> kSizes[] = {
      {"deepen_length", &Tuning::deepen_length}, {"stop_length", &Tuning::stop_length},
      {"nice_length", &Tuning::nice_length},     {"skip_length", &Tuning::skip_length},
      {"resume", &Tuning::resume},               {"skip_stride", &Tuning::skip_stride},
      {"insert_tail", &Tuning::insert_tail},     {"insert_stride", &Tuning::insert_stride},
      {"extend_back", &Tuning::extend_back},     {"block", &Tuning::block},
      {"piece", &Tuning::piece},
  };
  static const std::pair<const char*, unsigned Tuning::*> kCounts[] = {
      {"depth", &Tuning::depth}, {"long_depth", &Tuning::long_depth}, {"short_depth", &Tuning::short_depth}};
  std::istringstream in(text);
  std::string part;
  std::getline(in, part, ',');
  std::optional<Tuning> tuning;
  for (const Setting& s : Settings()) {
    if (part == s.name) tuning = s.tuning;
  }
  while (tuning && std::getline(in, part, ',')) {
    const std::size_t eq = part.find('=');
    const std::string field = part.substr(0, eq);
    const unsigned long long value = eq == std::string::npos ? 0 : std::strtoull(part.c_str() + eq + 1, nullptr, 10);
    bool known = false;
    for (const auto& [name, member] : kSizes) {
      if (field == name) *tuning.*member = static_cast<std::size_t>(value), known = true;
    }
    for (const auto& [name, member] : kCounts) {
      if (field == name) *tuning.*member = static_cast<unsigned>(value), known = true;
    }
    if (!known || eq == std::string::npos) tuning.reset();
  }
  return tuning;
}

// Compresses each file once on one thread with the setting that ParseSetting
// makes of its name, checks that the stream decodes to the file, and prints
// its size and a hash of the stream. The compression alone is the work that
// bench/refpack/instructions counts under callgrind.
int CompressOnly(const char* setting, char** files, int count) {
  const std::optional<refpack::detail::Tuning> tuning = ParseSetting(setting);
  if (!tuning) {
    std::fprintf(stderr, "no such setting: %s (a setting's name, then ,LIMIT=VALUE for each change)\n", setting);
    return 2;
  }
  for (int i = 0; i < count; ++i) {
    const Bytes data = ReadFile(files[i]);
    const Bytes packed = refpack::detail::Compress(data, {.threads = 1}, *tuning);
    Bytes out;
    std::string error;
    if (!refpack::Decompress(packed, out, &error) || out != data) {
      std::fprintf(stderr, "%s: the stream does not decode to the file: %s\n", files[i], error.c_str());
      return 1;
    }
    // FNV-1a of the stream, to tell a change that keeps the bytes from one that does not.
    std::uint64_t hash = 0xCBF29CE484222325u;
    for (const std::uint8_t b : packed) hash = (hash ^ b) * 0x100000001B3u;
    std::printf("%s %zu %zu %016llx\n", fs::path(files[i]).filename().string().c_str(), data.size(), packed.size(),
                static_cast<unsigned long long>(hash));
  }
  return 0;
}

}  // namespace

// bench_refpack [FILE...]: the whole benchmark, on the corpus and the files.
// bench_refpack --corpus DIR: writes the corpus into DIR, for the counts below.
// bench_refpack --compress SETTING FILE...: see CompressOnly.
int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--corpus") {
    fs::create_directories(argv[2]);
    for (const Sample& s : Corpus()) WriteFile(fs::path(argv[2]) / s.name, s.data);
    return 0;
  }
  if (argc >= 3 && std::string(argv[1]) == "--compress") return CompressOnly(argv[2], argv + 3, argc - 3);
  std::vector<Sample> corpus = Corpus();
  for (int i = 1; i < argc; ++i) corpus.push_back({fs::path(argv[i]).filename().string(), ReadFile(argv[i])});

  // In memory where the system has a folder for it, so that the command's
  // time is compression and not the disk's flush of its output.
  std::error_code error;
  const fs::path base = fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path dir = base / ("bench_refpack_corpus." + std::to_string(std::time(nullptr)));
  fs::create_directories(dir);
  std::vector<fs::path> files;
  for (const auto& s : corpus) {
    files.push_back(dir / s.name);
    WriteFile(files.back(), s.data);
  }
  const bool qfs = HaveQfs();

  std::printf("load average at the start: %s (on %u hardware threads); files and command output in %s\n",
              Load().c_str(), std::thread::hardware_concurrency(), base.string().c_str());
  std::printf("size: compressed / original; exh: our exhaustive setting. MB/s: of uncompressed data, best of runs, wall clock.\n");
  std::printf("c1, call: in-process on 1 and on all threads; cmd: the whole gfxpak -compress, turn about with qfs c.\n");
  std::printf("call/c1: the gain from threads; cmd/qfs: the whole command against qfs-compression in-process.\n");
  std::printf("cpu: the same per second of processor time on all threads, which other work on the machine disturbs less.\n");
  std::printf("%-12s %9s | %7s %7s %7s %7s %7s | %6s %6s %7s %6s %6s | %7s %7s | %7s | %7s %7s %7s\n", "file", "bytes",
              "ours", "exh", "classic", "qfs", "greedy", "c1", "call", "call/c1", "cmd", "qfs c", "d", "qfs d",
              "cmd/qfs", "cmd cpu", "qfs cpu", "cmd/qfs");
  bool ok = true;
  std::size_t total = 0, total_ours = 0, total_classic = 0, total_exhaustive = 0;
  std::vector<Row> rows;
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    const Sample& s = corpus[i];
    const Row row = Measure(s, files[i], dir / (s.name + ".rfp"), qfs);
    const Theirs t = row.qfs.value_or(Theirs{});
    const std::size_t n = s.data.size();
    const auto ratio = [](double a, double b) { return a > 0 && b > 0 ? Ratio(a / b) : std::string("-"); };
    std::printf("%-12s %9zu | %7s %7s %7s %7s %7s | %6s %6s %7.2f %6s %6s | %7s %7s | %7s | %7s %7s %7s%s%s\n",
                s.name.c_str(), n, Percent(row.ours, n).c_str(), Percent(row.exhaustive, n).c_str(),
                Percent(row.classic, n).c_str(), Percent(t.packed, n).c_str(), Percent(row.greedy, n).c_str(),
                Speed(row.one).c_str(), Speed(row.all).c_str(), row.all / row.one, Speed(row.command).c_str(),
                Speed(t.compress).c_str(), Speed(row.decompress).c_str(), Speed(t.decompress).c_str(),
                ratio(row.command, t.compress).c_str(), Speed(row.command_cpu).c_str(), Speed(t.compress_cpu).c_str(),
                ratio(row.command_cpu, t.compress_cpu).c_str(), row.ours > row.classic ? "  LARGER THAN CLASSIC" : "",
                row.same ? "" : "  OUTPUT DIFFERS");
    std::fflush(stdout);
    ok = ok && row.round_trip && row.same;
    total += n;
    total_ours += row.ours;
    total_classic += row.classic;
    total_exhaustive += row.exhaustive;
    rows.push_back(row);
  }
  std::printf("%-12s %9zu | %7s %7s %7s\n", "total", total, Percent(total_ours, total).c_str(),
              Percent(total_exhaustive, total).c_str(), Percent(total_classic, total).c_str());
  if (!qfs) std::printf("(qfs-compression was not measured)\n");
  PrintZeros(dir, qfs);
  PrintTargets(corpus, rows);
  PrintFrontier(corpus);
  std::printf("\nload average at the end: %s\n", Load().c_str());
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
