// The parse against the smallest stream there is: on short inputs, a
// dynamic program over every match at every distance, written without the
// library, gives the fewest bytes any spelling into literals and copies can
// take. The exhaustive setting must find exactly that many.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "refpack/refpack.h"
#include "refpack/tuning.h"
#include "samples.h"
#include "test_stream.h"

namespace {

using refpack_test::Bytes;

// Stream bytes of r literals in a row: each literal, and a literal command
// for every 112 of them or part, the last 0..3 riding in the next command.
std::size_t LiteralBytes(std::size_t r) { return r + (r / 4 + 27) / 28; }

// The fewest stream bytes for in, header and stop command included.
std::size_t SmallestStream(const Bytes& in) {
  constexpr std::size_t kUnreached = SIZE_MAX / 2;
  const std::size_t n = in.size();
  // after_copy[j]: the fewest bytes for in[0, j) when a copy ends at j (or j is 0).
  std::vector<std::size_t> after_copy(n + 1, kUnreached);
  after_copy[0] = 0;
  std::vector<std::size_t> by_length(1029);
  for (std::size_t s = 0; s + 3 <= n; ++s) {
    std::size_t lead = kUnreached;  // the fewest bytes to stand at s with literals since the last copy
    for (std::size_t k = 0; k <= s; ++k) {
      if (after_copy[k] != kUnreached) lead = std::min(lead, after_copy[k] + LiteralBytes(s - k));
    }
    std::fill(by_length.begin(), by_length.end(), kUnreached);
    const std::size_t limit = std::min<std::size_t>(1028, n - s);
    for (std::size_t dist = 1; dist <= std::min<std::size_t>(s, 131072); ++dist) {
      std::size_t len = 0;
      while (len < limit && in[s - dist + len] == in[s + len]) ++len;
      for (std::size_t l = 3; l <= len; ++l) {
        if (const std::size_t bytes = refpack_test::TestStream::CommandBytes(l, dist); bytes != 0) {
          by_length[l] = std::min(by_length[l], bytes);
        }
      }
    }
    for (std::size_t l = 3; l <= limit; ++l) {
      if (by_length[l] != kUnreached) after_copy[s + l] = std::min(after_copy[s + l], lead + by_length[l]);
    }
  }
  std::size_t best = kUnreached;
  for (std::size_t k = 0; k <= n; ++k) {
    if (after_copy[k] != kUnreached) best = std::min(best, after_copy[k] + LiteralBytes(n - k));
  }
  return 2 + 3 + best + 1;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

struct Input {
  const char* name;
  std::function<Bytes()> make;
};

// Short inputs of every kind the encoder meets, none with a literal run
// long enough to need a second literal command: there the parse keeps only
// the cheapest run, and may lose a byte to a dearer one that is aligned better.
const Input kInputs[] = {
    {"text", [] { return refpack_test::Text(2000, 40); }},
    {"mesh", [] { return refpack_test::Binary(2000, 41); }},
    {"texture", [] { return refpack_test::Texture(48, 40, 42); }},
    {"picture", [] { return refpack_test::Picture(200, 4, 43); }},
    {"run", [] { return Bytes(700, 0x20); }},
    {"pattern", [] { return Concat({refpack_test::Random(5, 44), Bytes(300, 7), refpack_test::Random(90, 45)}); }},
    {"text_and_noise",
     [] {
       const Bytes text = refpack_test::Text(600, 46);
       return Concat({text, refpack_test::Random(100, 47), text, refpack_test::Random(60, 48), text});
     }},
};

TEST(Parse, ExhaustiveSettingFindsTheSmallestStream) {
  for (const Input& input : kInputs) {
    SCOPED_TRACE(input.name);
    const Bytes data = input.make();
    const std::size_t smallest = SmallestStream(data);
    const Bytes exhaustive = refpack::detail::Compress(data, {.threads = 1}, refpack::detail::kExhaustiveTuning);
    const Bytes usual = refpack::Compress(data, {.threads = 1});
    Bytes out;
    std::string error;
    ASSERT_TRUE(refpack::Decompress(exhaustive, out, &error)) << error;
    ASSERT_TRUE(out == data);
    ASSERT_TRUE(refpack::Decompress(usual, out, &error)) << error;
    ASSERT_TRUE(out == data);
    EXPECT_EQ(exhaustive.size(), smallest);
    std::printf("  %-15s %5zu bytes -> %5zu smallest, %5zu exhaustive, %5zu usual\n", input.name, data.size(),
                smallest, exhaustive.size(), usual.size());
  }
}

// The exhaustive setting walks every chain and tree to its end: on larger
// inputs of every kind, and over piece cuts, it must end and decode. Its
// stream is never larger than the usual one there.
TEST(Parse, ExhaustiveSettingOnLargerInputs) {
  const Input inputs[] = {
      {"text", [] { return refpack_test::Text(300000, 60); }},
      {"mesh", [] { return refpack_test::Binary(300000, 61); }},
      {"texture", [] { return refpack_test::Texture(512, 512, 62); }},
      {"picture", [] { return refpack_test::Picture(256, 256, 63); }},
      {"random", [] { return refpack_test::Random(200000, 64); }},
      {"two pieces", [] { return refpack_test::Text(refpack::detail::kDefaultTuning.piece + 1000, 65); }},
  };
  for (const Input& input : inputs) {
    SCOPED_TRACE(input.name);
    const Bytes data = input.make();
    const Bytes exhaustive = refpack::detail::Compress(data, {.threads = 2}, refpack::detail::kExhaustiveTuning);
    Bytes out;
    std::string error;
    ASSERT_TRUE(refpack::Decompress(exhaustive, out, &error)) << error;
    ASSERT_TRUE(out == data);
    const std::size_t usual = refpack::Compress(data, {.threads = 2}).size();
    EXPECT_LE(exhaustive.size(), usual);
    std::printf("  %-12s %7zu bytes -> %7zu exhaustive, %7zu usual\n", input.name, data.size(), exhaustive.size(),
                usual);
  }
}

}  // namespace
