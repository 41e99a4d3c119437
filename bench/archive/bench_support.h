// Shared by the archive and restore-point benchmarks (POSIX only): a large
// archive written quickly, timed runs of the real gfxpak, a timed copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

inline double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

inline void Die(const std::string& what) {
  std::perror(what.c_str());
  std::exit(1);
}

inline void WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) Die("write");
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

inline void Be32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

// A dense archive of `count` entries of `entry_size` bytes each, table then
// data; the data is one random block repeated, written in large chunks.
inline void MakeArchive(const std::string& path, std::uint32_t count, std::uint32_t entry_size) {
  std::vector<std::uint8_t> table;
  std::uint32_t table_end = 16;
  for (std::uint32_t i = 0; i < count; ++i) table_end += 8 + static_cast<std::uint32_t>(("data\\e" + std::to_string(i) + ".o").size()) + 1;
  const std::uint32_t first = table_end + 8;
  const std::uint64_t total = first + std::uint64_t{count} * entry_size;
  table.insert(table.end(), {'B', 'I', 'G', 'F'});
  for (int s = 0; s < 32; s += 8) table.push_back(static_cast<std::uint8_t>(total >> s));
  Be32(table, count);
  Be32(table, first);
  for (std::uint32_t i = 0; i < count; ++i) {
    Be32(table, first + i * entry_size);
    Be32(table, entry_size);
    const std::string name = "data\\e" + std::to_string(i) + ".o";
    table.insert(table.end(), name.begin(), name.end());
    table.push_back(0);
  }
  table.insert(table.end(), {'L', '2', '3', '1', 0, 0, 0, 0});
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Die(path);
  WriteAll(fd, table.data(), table.size());
  const std::vector<std::uint8_t> block = RandomBytes(entry_size, 7);
  for (std::uint32_t i = 0; i < count; ++i) WriteAll(fd, block.data(), block.size());
  ::fsync(fd);
  ::close(fd);
}

inline void WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) Die(path);
  WriteAll(fd, data.data(), data.size());
  ::close(fd);
}

// The gfxpak that is timed: the one built beside the benchmark, unless a
// benchmark takes another from its command line to compare builds.
inline std::string& Gfxpak() {
  static std::string path = TESSOLO_GFXPAK;
  return path;
}

// Runs the real gfxpak and returns its wall time; exits on failure.
inline double TimeGfxpak(const std::vector<std::string>& args) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(Gfxpak().c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(Gfxpak().c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "gfxpak %s failed\n", args[0].c_str());
    std::exit(1);
  }
  return Seconds(std::chrono::steady_clock::now() - start);
}

// Copies a file with plain reads and writes and flushes the copy: what a
// tool that rewrites the archive would at least have to do.
inline double TimeCopy(const std::string& from, const std::string& to) {
  const auto start = std::chrono::steady_clock::now();
  const int in = ::open(from.c_str(), O_RDONLY);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) Die("copy");
  std::vector<std::uint8_t> buf(4 << 20);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) Die("read");
    if (n == 0) break;
    WriteAll(out, buf.data(), static_cast<std::size_t>(n));
  }
  ::fsync(out);
  ::close(in);
  ::close(out);
  return Seconds(std::chrono::steady_clock::now() - start);
}

}  // namespace bench
