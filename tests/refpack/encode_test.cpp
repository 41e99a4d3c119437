// Encoder round trips over many kinds and sizes of input, each held against
// the classic reference and the plain greedy encoder so that the parser
// never does worse than they do, and the same stream whatever the number of
// threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "classic.h"
#include "greedy.h"
#include "refpack/commands.h"
#include "refpack/refpack.h"
#include "refpack/tuning.h"
#include "samples.h"

namespace {

using refpack_test::Bytes;

struct Input {
  const char* name;
  std::function<Bytes()> make;
};

Bytes Repeat(const Bytes& unit, std::size_t n) {
  Bytes out;
  out.reserve(n);
  while (out.size() < n) out.insert(out.end(), unit.begin(), unit.end());
  out.resize(n);
  return out;
}

// A random block of a copy form's longest length that comes back after
// exactly the form's reach, and then one byte beyond it, where only a
// larger form, nearer copies or literals can be used.
Bytes Reach(std::size_t form) {
  const refpack::detail::CopyForm& f = refpack::detail::kCopyForms[form];
  const Bytes block = refpack_test::Random(f.longest, 7 + form);
  Bytes out = block;
  const Bytes filler = refpack_test::Random(f.reach - f.longest, 8 + form);
  out.insert(out.end(), filler.begin(), filler.end());
  out.insert(out.end(), block.begin(), block.end());  // f.reach back
  const Bytes more = refpack_test::Random(f.reach + 1 - f.longest, 9 + form);
  out.insert(out.end(), more.begin(), more.end());
  out.insert(out.end(), block.begin(), block.end());  // f.reach + 1 back from the second copy's start
  const Bytes tail = refpack_test::Random(100, 10 + form);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// A repeat of length bytes that starts 10 bytes into a 40-byte one from
// nearby. The parse searches only every few positions inside the first,
// meets the second 2 bytes late, where the first has grown too long for
// the 2-byte command, and tries it back to its start, where it had not.
// At 1,028 and 1,029 bytes: the longest copy there is, and one more.
Bytes ExtendedBack(std::size_t length) {
  const Bytes first = refpack_test::Random(40, 14);
  const Bytes rest = refpack_test::Random(length - 30, 15);
  Bytes out = refpack_test::Random(500, 16);
  const auto add = [&out](const Bytes& part) { out.insert(out.end(), part.begin(), part.end()); };
  out.insert(out.end(), first.begin() + 10, first.end());
  add(rest);
  add(refpack_test::Random(300, 17));
  add(first);
  add(refpack_test::Random(200, 18));
  add(first);
  add(rest);
  add(refpack_test::Random(500, 19));
  return out;
}

// Random bytes but for a 3,000-byte stretch from 100,000 bytes back that
// goes over the cut of a MiB: one run of three copies in one piece, and as
// few in two.
Bytes CopyOverCut() {
  Bytes out = refpack_test::Random(1 << 20, 32);
  const std::size_t cut = out.size() / 2;
  std::copy(out.begin() + static_cast<std::ptrdiff_t>(cut - 101500),
            out.begin() + static_cast<std::ptrdiff_t>(cut - 98500), out.begin() + static_cast<std::ptrdiff_t>(cut - 1500));
  return out;
}

// Long random stretches with short islands that repeat earlier bytes, near
// and far: the encoder passes the stretches quickly and must still pick up
// every island, from its first byte, as a parse at every position would.
Bytes Islands() {
  refpack_test::Rng rng(10);
  Bytes out = refpack_test::Random(2000, 11);
  while (out.size() < 400000) {
    const Bytes noise = refpack_test::Random(20 + rng.Below(3000), rng.Next());
    out.insert(out.end(), noise.begin(), noise.end());
    const std::size_t len = 3 + rng.Below(40);
    const std::size_t dist = 1 + rng.Below(static_cast<std::uint32_t>(std::min<std::size_t>(out.size(), 140000)));
    for (std::size_t k = 0; k < len; ++k) out.push_back(out[out.size() - dist]);
  }
  return out;
}

// Text broken every few words by 1 to 7 random bytes, too long for the
// optimal parse: the lazy parse meets literal runs of every short length
// between copies, around the 0..3 that ride in a copy command.
Bytes BrokenText() {
  refpack_test::Rng rng(12);
  const Bytes text = refpack_test::Text(300000, 13);
  Bytes out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t take = std::min<std::size_t>(8 + rng.Below(40), text.size() - at);
    out.insert(out.end(), text.begin() + static_cast<std::ptrdiff_t>(at),
               text.begin() + static_cast<std::ptrdiff_t>(at + take));
    at += take;
    const Bytes noise = refpack_test::Random(1 + rng.Below(7), rng.Next());
    out.insert(out.end(), noise.begin(), noise.end());
  }
  return out;
}

class RoundTrip : public testing::TestWithParam<Input> {};

TEST_P(RoundTrip, DecodesToTheInputAndBeatsTheReferences) {
  const Bytes input = GetParam().make();
  const Bytes packed = refpack::Compress(input);
  ASSERT_GE(packed.size(), 2u);
  EXPECT_EQ(packed[0], input.size() > 0xFFFFFF ? 0x90 : 0x10);
  EXPECT_EQ(packed[1], 0xFB);
  EXPECT_EQ(refpack::DeclaredSize(packed), input.size());

  Bytes out;
  std::string error;
  ASSERT_TRUE(refpack::Decompress(packed, out, &error)) << error;
  ASSERT_TRUE(out == input) << "round trip differs";

  // The classic reference searches every candidate, which takes too long for
  // the largest input.
  if (input.size() <= (1 << 20)) {
    const Bytes classic = refpack_test::ClassicCompress(input);
    ASSERT_TRUE(refpack::Decompress(classic, out, &error)) << "classic stream: " << error;
    ASSERT_TRUE(out == input) << "classic round trip differs";
    EXPECT_LE(packed.size(), classic.size()) << "classic reference";
    std::printf("  %-12s %9zu bytes -> %9zu (classic: %9zu)\n", GetParam().name, input.size(), packed.size(),
                classic.size());
  }

  // Against greedy searching as deep as the encoder does, and much deeper.
  for (const unsigned depth : {8u, 64u}) {
    const Bytes greedy = refpack_test::GreedyCompress(input, depth);
    ASSERT_TRUE(refpack::Decompress(greedy, out, &error)) << "greedy stream: " << error;
    ASSERT_TRUE(out == input) << "greedy round trip differs";
    EXPECT_LE(packed.size(), greedy.size()) << "greedy with chain depth " << depth;
    std::printf("  %-12s %9zu bytes -> %9zu (greedy depth %2u: %9zu)\n", GetParam().name,
                input.size(), packed.size(), depth, greedy.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RoundTrip,
    testing::Values(
        Input{"empty", [] { return Bytes{}; }},
        Input{"one", [] { return Bytes{0x41}; }},
        Input{"two", [] { return Bytes{0x41, 0x41}; }},
        Input{"three", [] { return Bytes{0x41, 0x41, 0x41}; }},
        Input{"zeros", [] { return Bytes(300000, 0); }},
        Input{"zeros_over_a_cut", [] { return Bytes(1 << 20, 0); }},
        Input{"pattern", [] { return Repeat({1, 2, 3, 4, 5, 6, 7}, 100000); }},
        Input{"random", [] { return refpack_test::Random(200000, 1); }},
        Input{"text", [] { return refpack_test::Text(300000, 2); }},
        Input{"binary", [] { return refpack_test::Binary(300000, 3); }},
        Input{"picture", [] { return refpack_test::Picture(256, 256, 4); }},
        Input{"texture", [] { return refpack_test::Texture(512, 512, 5); }},
        Input{"reach_1024", [] { return Reach(0); }},
        Input{"reach_16384", [] { return Reach(1); }},
        Input{"reach_131072", [] { return Reach(2); }},
        Input{"extended_1028", [] { return ExtendedBack(1028); }},
        Input{"extended_1029", [] { return ExtendedBack(1029); }},
        Input{"islands", Islands},
        Input{"broken_text", BrokenText},
        Input{"over_16_mib",
              [] {
                // Text then zeros then text again: the 4-byte size fields, and
                // copies far into a long stream.
                Bytes out = refpack_test::Text(8 << 20, 5);
                out.resize((16 << 20) + 12345, 0);
                const Bytes tail = refpack_test::Text(1 << 20, 5);
                out.insert(out.end(), tail.begin(), tail.end());
                return out;
              }}),
    [](const testing::TestParamInfo<Input>& p) { return std::string(p.param.name); });

// The encoder cuts inputs over a piece into equal pieces of at most a piece.
constexpr std::size_t kPiece = refpack::detail::kDefaultTuning.piece;

// Text on either side of each cut, so that copies reach back over it, and
// random bytes at it, so that literals run over it; elsewhere a repeated
// block, which is quick to compress.
Bytes AroundCuts(std::size_t n) {
  Bytes out = Repeat(refpack_test::Random(1000, 30), n);
  const std::size_t pieces = (n + kPiece - 1) / kPiece;
  for (std::size_t i = 1; i < pieces; ++i) {
    const std::size_t cut = n * i / pieces;
    const Bytes text = refpack_test::Text(60000, 31 + i);
    std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(cut - 30000));
    const Bytes noise = refpack_test::Random(1 + i % 7, 40 + i);
    std::copy(noise.begin(), noise.end(), out.begin() + static_cast<std::ptrdiff_t>(cut - noise.size() / 2));
  }
  return out;
}

// The stream must not depend on how many threads make it, around the piece
// sizes and the header's switch to 4-byte sizes above 16 MiB - 1, and must
// decode; a piece without a single copy (random data) and a copy right at
// a cut (a run of one byte) are among them. A MiB is two pieces, so that
// gfxpak's common inputs use two threads.
TEST(Pieces, SameStreamOnAnyNumberOfThreads) {
  constexpr std::size_t kMiB = 1 << 20;
  static_assert(kPiece <= kMiB / 2, "a MiB makes at least two pieces");
  const struct {
    const char* name;
    std::function<Bytes()> make;
  } inputs[] = {
      {"one piece", [] { return refpack_test::Text(kPiece, 20); }},
      {"two pieces", [] { return refpack_test::Text(kPiece + 1, 21); }},
      {"a MiB", [] { return AroundCuts(kMiB); }},
      {"random pieces", [] { return refpack_test::Random(2 * kPiece + 3, 22); }},
      {"run over cuts", [] { return Bytes(3 * kPiece + 5, 0x55); }},
      {"zeros, a MiB", [] { return Bytes(kMiB, 0); }},
      {"copy over the cut", CopyOverCut},
      {"five pieces", [] { return AroundCuts(5 * kPiece + 7); }},
      {"16 MiB - 1", [] { return AroundCuts(16 * kMiB - 1); }},
      {"16 MiB + 1", [] { return AroundCuts(16 * kMiB + 1); }},
  };
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.name);
    const Bytes input = in.make();
    const Bytes one = refpack::Compress(input, {.threads = 1});
    for (const unsigned threads : {2u, 7u}) {
      EXPECT_TRUE(refpack::Compress(input, {.threads = threads}) == one) << threads << " threads";
    }
    Bytes out;
    std::string error;
    ASSERT_TRUE(refpack::Decompress(one, out, &error)) << error;
    EXPECT_TRUE(out == input) << "round trip differs";
    std::printf("  %-14s %9zu bytes -> %9zu\n", in.name, input.size(), one.size());
  }
}

// Cutting an input into pieces loses next to nothing: each piece's finder
// takes in the window before it, and a run of copies over a cut is one run.
// Held against the same input compressed in one piece, on the kinds of data
// whose copies reach farthest back over a cut, and on the two that make one
// run over it, where not a byte may be lost.
TEST(Pieces, LoseNextToNothingAgainstOnePiece) {
  refpack::detail::Tuning whole = refpack::detail::kDefaultTuning;
  whole.piece = std::size_t{1} << 30;
  const struct {
    const char* name;
    Bytes data;
    std::size_t most_lost_in_10000;
  } inputs[] = {
      {"text", refpack_test::Text(4 * kPiece, 50), 2},
      {"texture", refpack_test::Texture(1024, 2 * kPiece / 1024, 51), 2},
      {"around cuts", AroundCuts(4 * kPiece), 2},
      {"zeros", Bytes(2 * kPiece, 0), 0},
      {"copy over the cut", CopyOverCut(), 0},
  };
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.name);
    const std::size_t pieces = refpack::Compress(in.data, {.threads = 1}).size();
    const std::size_t one = refpack::detail::Compress(in.data, {.threads = 1}, whole).size();
    EXPECT_LE(pieces, one + one * in.most_lost_in_10000 / 10000) << "lost at the cuts";
    std::printf("  %-17s %9zu bytes -> %9zu in pieces, %9zu in one\n", in.name, in.data.size(), pieces, one);
  }
}

// Literal runs meet the 4-byte granularity and the 112-byte limit of the
// literal commands at every length up to a few runs.
TEST(RoundTrip, EveryShortLength) {
  const Bytes noise = refpack_test::Random(400, 11);
  const Bytes text = refpack_test::Text(400, 12);
  for (std::size_t n = 0; n <= 400; ++n) {
    for (const Bytes* source : {&noise, &text}) {
      const Bytes input(source->begin(), source->begin() + static_cast<std::ptrdiff_t>(n));
      Bytes out;
      std::string error;
      ASSERT_TRUE(refpack::Decompress(refpack::Compress(input), out, &error))
          << "length " << n << ": " << error;
      ASSERT_TRUE(out == input) << "length " << n;
    }
  }
}

// A compressed stream is recognised; plain data and a damaged stream are not.
TEST(IsRefPack, TellsStreamsFromOtherData) {
  const Bytes text = refpack_test::Text(5000, 13);
  Bytes packed = refpack::Compress(text);
  EXPECT_TRUE(refpack::IsRefPack(packed));
  EXPECT_FALSE(refpack::IsRefPack(text));
  Bytes tail_cut(packed.begin(), packed.end() - 1);
  EXPECT_FALSE(refpack::IsRefPack(tail_cut));
  packed[4] ^= 1;  // declared size off by one
  EXPECT_FALSE(refpack::IsRefPack(packed));
}

}  // namespace
