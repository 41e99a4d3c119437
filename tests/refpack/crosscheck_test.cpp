// Cross-check with a decoder and an encoder written by someone else, the npm
// package qfs-compression: our streams must decode there, its streams here.
// It handles only the 3-byte size header, hence inputs up to 16 MiB - 1.
// Ours are made on one thread and on seven, which must give the same
// stream; over 512 KiB it is joined from pieces, so that a copy or a literal
// run crosses each cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "refpack/refpack.h"
#include "samples.h"

namespace {

namespace fs = std::filesystem;
using refpack_test::Bytes;

fs::path ModulesDir() {
  if (const char* env = std::getenv("TESSOLO_NODE_MODULES"); env && *env) return env;
  return TESSOLO_NODE_MODULES;
}

void Write(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Quote(const fs::path& p) {
  std::string out = "'";
  out += p.string();
  out += '\'';
  return out;
}

// What keeps the cross-check from running here, if anything.
std::optional<std::string> MissingPeer(const std::string& node) {
  if (node.empty() || node.find("NOTFOUND") != std::string::npos) return "node is not installed";
  if (!fs::exists(ModulesDir() / "qfs-compression" / "package.json")) {
    return "qfs-compression is not installed in " + ModulesDir().string() + " (scripts/npm-tools installs it)";
  }
  return std::nullopt;
}

// In CI a check that quietly does not run is no check.
bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

TEST(CrossCheck, BothWaysWithQfsCompression) {
  const std::string node = TESSOLO_NODE;
  if (const std::optional<std::string> missing = MissingPeer(node)) {
    if (InCi()) FAIL() << *missing << "; with CI=true the cross-check must run";
    GTEST_SKIP() << *missing;
  }

  const struct {
    const char* name;
    Bytes data;
  } inputs[] = {
      {"empty", {}},
      {"one", {0x5A}},
      {"three", {1, 1, 1}},
      {"text", refpack_test::Text(400000, 21)},
      {"binary", refpack_test::Binary(300000, 22)},
      {"picture", refpack_test::Picture(300, 200, 23)},
      {"texture", refpack_test::Texture(640, 480, 26)},
      {"two_pieces", refpack_test::Text(1 << 20, 27)},
      {"three_pieces", refpack_test::Binary((1 << 20) + 1, 28)},
      {"random", refpack_test::Random(100000, 24)},
      {"zeros", Bytes(200000, 0)},
      {"largest_small_header", [] {
         Bytes out = refpack_test::Text(0xFFFFFF, 25);
         return out;
       }()},
  };

  const fs::path dir = fs::path(testing::TempDir()) / ("refpack_crosscheck_" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto file = [&](const char* name, const char* ext) { return dir / (std::string(name) += ext); };
  std::string command = node;
  for (const fs::path& arg : {fs::path(TESSOLO_QFS_TOOL), ModulesDir()}) (command += ' ') += Quote(arg);
  for (const auto& in : inputs) {
    Write(file(in.name, ".raw"), in.data);
    const Bytes ours = refpack::Compress(in.data, {.threads = 1});
    EXPECT_TRUE(refpack::Compress(in.data, {.threads = 7}) == ours) << in.name << ": 7 threads differ from 1";
    Write(file(in.name, ".ours"), ours);
    ((command += " decompress ") += Quote(file(in.name, ".ours"))) += ' ';
    command += Quote(file(in.name, ".ours.out"));
    ((command += " compress ") += Quote(file(in.name, ".raw"))) += ' ';
    command += Quote(file(in.name, ".theirs"));
  }
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  for (const auto& in : inputs) {
    SCOPED_TRACE(in.name);
    EXPECT_TRUE(Read(file(in.name, ".ours.out")) == in.data) << "qfs-compression misread our stream";
    Bytes out;
    std::string error;
    EXPECT_TRUE(refpack::Decompress(Read(file(in.name, ".theirs")), out, &error)) << error;
    EXPECT_TRUE(out == in.data) << "we misread the qfs-compression stream";
  }
  fs::remove_all(dir);
}

}  // namespace
