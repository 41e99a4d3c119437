#include "command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "../test_seed.h"

#ifdef _WIN32
#include "utf.h"

#include <windows.h>
#include <shellapi.h>
#endif

namespace {

const std::vector<std::string> kAwkwardArguments = {
    "bern_xyz.o",        "zdata_05.big",   "a b.o",      "a\tb.o",     "a\"b.o",   "\"",
    "\"\"",              "",               " ",          "a\\",        "a\\\\",    "a\\ b\\",
    "a\\\"b",            "\\\\server\\x",  "c:\\x y\\",  "ä_ö.o",      "日本_語.h", "x\\\\\"y z",
};

TEST(QuoteArgument, QuotesOnlyWhatNeedsIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"bern_xyz.o", "bern_xyz.o"},
      {"a\\b", "a\\b"},           // backslashes alone mean themselves
      {"a\\\"b", "\"a\\\\\\\"b\""},  // a\"b -> "a\\\"b"
      {"a b", "\"a b\""},
      {"a\tb", "\"a\tb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a b\\", "\"a b\\\\\""},  // trailing backslash doubled before the closing quote
      {"", "\"\""},
      {"ä_ö.o", "ä_ö.o"},
  };
  for (const auto& [argument, quoted] : cases) EXPECT_EQ(QuoteArgument(argument), quoted) << argument;
}

TEST(SplitCommandLine, FollowsTheWindowsRuntime) {
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"gfxpak -compress -real a_b.o  a_b.o", {"gfxpak", "-compress", "-real", "a_b.o", "a_b.o"}},
      {"\"c:\\my tools\\gfxpak.exe\" -p x", {"c:\\my tools\\gfxpak.exe", "-p", "x"}},
      {"c:\\tools\\gfxpak.exe a\\\\\"b c\"", {"c:\\tools\\gfxpak.exe", "a\\b c"}},
      {"p \"a\"\"b\"", {"p", "a\"b"}},
      {"p \"\" x", {"p", "", "x"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      {"p \t a  ", {"p", "a"}},
      {"", {}},
  };
  for (const auto& [line, arguments] : cases) EXPECT_EQ(SplitCommandLine(line), arguments) << line;
}

// The line a test builds exactly as the import run does: program, then
// each argument quoted.
std::string LineOf(const std::vector<std::string>& arguments) {
  std::string line = "gfxpak";
  for (const std::string& a : arguments) {
    line += ' ';
    line += QuoteArgument(a);
  }
  return line;
}

std::vector<std::string> Tail(std::vector<std::string> v) {
  if (!v.empty()) v.erase(v.begin());
  return v;
}

TEST(QuoteArgument, RoundTripsThroughTheSplitter) {
  EXPECT_EQ(Tail(SplitCommandLine(LineOf(kAwkwardArguments))), kAwkwardArguments);

  const unsigned seed = TestSeed("quoting");
  std::mt19937 random(seed);
  const std::string alphabet = "ab \\\"\t_.";
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> arguments(random() % 4 + 1);
    for (std::string& a : arguments) {
      a.resize(random() % 8);
      for (char& c : a) c = alphabet[random() % alphabet.size()];
    }
    ASSERT_EQ(Tail(SplitCommandLine(LineOf(arguments))), arguments) << LineOf(arguments) << " seed " << seed;
  }
}

#ifdef _WIN32
// The system's own splitter must agree with ours on every line we build.
TEST(QuoteArgument, RoundTripsThroughCommandLineToArgvW) {
  const std::string line = "\"c:\\x y\\gfxpak.exe\"" + LineOf(kAwkwardArguments).substr(6);
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(Widen(line).c_str(), &argc);
  ASSERT_NE(argv, nullptr);
  std::vector<std::string> system;
  for (int i = 0; i < argc; ++i) system.push_back(Narrow(argv[i]));
  LocalFree(argv);
  EXPECT_EQ(system, SplitCommandLine(line));
  EXPECT_EQ(Tail(system), kAwkwardArguments);
}
#endif

}  // namespace
