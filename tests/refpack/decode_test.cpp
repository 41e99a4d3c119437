// Decoder vectors: each command at the edges of its length and distance
// ranges, written out byte by byte, and streams that must be refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "refpack/refpack.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

// The history a copy reads from: n distinct-looking bytes.
Bytes History(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return out;
}

// History as 1-byte literal commands (E0..FB), n a multiple of 4.
Bytes LiteralCommands(const Bytes& data) {
  Bytes out;
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t chunk = std::min<std::size_t>(112, data.size() - at);
    out.push_back(static_cast<std::uint8_t>(0xE0 + chunk / 4 - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + chunk));
    at += chunk;
  }
  return out;
}

struct CopyVector {
  const char* name;
  std::size_t history;  // bytes written before the command, a multiple of 4
  const char* command;  // the command under test with its literal bytes
  Bytes literals;       // what the command should append before the copy
  std::size_t length;   // and then the copy it should make
  std::size_t distance;
};

class CopyCommands : public testing::TestWithParam<CopyVector> {};

TEST_P(CopyCommands, DecodeAsTheirFieldsSay) {
  const CopyVector& v = GetParam();
  Bytes expected = History(v.history);
  expected.insert(expected.end(), v.literals.begin(), v.literals.end());
  for (std::size_t i = 0; i < v.length; ++i) expected.push_back(expected[expected.size() - v.distance]);

  const std::size_t size = expected.size();
  Bytes stream = {0x10, 0xFB, static_cast<std::uint8_t>(size >> 16),
                  static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
  const Bytes history = LiteralCommands(History(v.history));
  stream.insert(stream.end(), history.begin(), history.end());
  const Bytes command = Hex(v.command);
  stream.insert(stream.end(), command.begin(), command.end());
  stream.push_back(0xFC);

  Bytes out;
  std::string error;
  ASSERT_TRUE(refpack::Decompress(stream, out, &error)) << error;
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(refpack::IsRefPack(stream));
}

const Bytes kNone;
const Bytes kThree = {0xAA, 0xBB, 0xCC};

INSTANTIATE_TEST_SUITE_P(
    Vectors, CopyCommands,
    testing::Values(
        // 2-byte command 0LLLllDD DDDDDDDD (length 3..10, distance 1..1024).
        CopyVector{"two_min", 4, "00 00", kNone, 3, 1},
        CopyVector{"two_max", 1024, "7F FF AA BB CC", kThree, 10, 1024},
        CopyVector{"two_mid", 300, "25 02 AA", {0xAA}, 4, 259},
        CopyVector{"two_far_bits", 600, "4E 2B BB BB", {0xBB, 0xBB}, 6, 512 + 43 + 1},
        // 3-byte command 10LLLLLL llDDDDDD DDDDDDDD (length 4..67, distance 1..16384).
        CopyVector{"three_min", 4, "80 00 00", kNone, 4, 1},
        CopyVector{"three_max", 16384, "BF FF FF AA BB CC", kThree, 67, 16384},
        CopyVector{"three_mid", 260, "BF 41 01 AA", {0xAA}, 67, 258},
        // 4-byte command 110DLLll DDDDDDDD DDDDDDDD LLLLLLLL (length 5..1028, distance 1..131072).
        CopyVector{"four_min", 4, "C0 00 00 00", kNone, 5, 1},
        CopyVector{"four_max", 131072, "DF FF FF FF AA BB CC", kThree, 1028, 131072},
        CopyVector{"four_high_bits", 70000, "D6 11 6F 22 AA BB", {0xAA, 0xBB}, 256 + 0x22 + 5,
                   65536 + 0x116F + 1},
        // Overlapping copies repeat the bytes just written.
        CopyVector{"overlap_run", 4, "CC 00 00 FF", kNone, 1028, 1},
        CopyVector{"overlap_pair", 4, "80 00 01", kNone, 4, 2},
        CopyVector{"overlap_seven", 8, "C0 00 06 FF", kNone, 260, 7}),
    [](const testing::TestParamInfo<CopyVector>& p) { return std::string(p.param.name); });

// Copies from close behind overlap their own output. Followed by more
// literals, they are made in whole blocks, which treat every distance under
// 16 apart: each distance up to a little beyond, at lengths around the
// block sizes, against a byte-by-byte copy.
TEST(CopyCommands, OverlappingCopiesInBlocks) {
  const Bytes history = History(20);
  const Bytes after = History(32);
  for (std::size_t dist = 1; dist <= 20; ++dist) {
    for (const std::size_t len : {3u, 4u, 7u, 8u, 9u, 13u, 15u, 16u, 17u, 31u, 67u}) {
      Bytes expected = history;
      for (std::size_t i = 0; i < len; ++i) expected.push_back(expected[expected.size() - dist]);
      expected.insert(expected.end(), after.begin(), after.end());

      const std::size_t size = expected.size();
      Bytes stream = {0x10, 0xFB, 0, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
      const Bytes head = LiteralCommands(history);
      stream.insert(stream.end(), head.begin(), head.end());
      const std::size_t d = dist - 1;
      if (len == 3) {  // 2-byte command
        stream.push_back(static_cast<std::uint8_t>((d >> 8) << 5));
        stream.push_back(static_cast<std::uint8_t>(d));
      } else {  // 3-byte command
        stream.push_back(static_cast<std::uint8_t>(0x80 | (len - 4)));
        stream.push_back(static_cast<std::uint8_t>(d >> 8));
        stream.push_back(static_cast<std::uint8_t>(d));
      }
      const Bytes tail = LiteralCommands(after);
      stream.insert(stream.end(), tail.begin(), tail.end());
      stream.push_back(0xFC);

      Bytes out;
      std::string error;
      ASSERT_TRUE(refpack::Decompress(stream, out, &error)) << "distance " << dist << ", length " << len << ": "
                                                           << error;
      EXPECT_EQ(out, expected) << "distance " << dist << ", length " << len;
    }
  }
}

struct StreamVector {
  const char* name;
  const char* stream;
  const char* output;  // hex; what a good stream decodes to
};

class GoodStreams : public testing::TestWithParam<StreamVector> {};

TEST_P(GoodStreams, Decode) {
  const StreamVector& v = GetParam();
  Bytes out;
  std::string error;
  ASSERT_TRUE(refpack::Decompress(Hex(v.stream), out, &error)) << error;
  EXPECT_EQ(out, Hex(v.output));
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, GoodStreams,
    testing::Values(
        StreamVector{"empty", "10 FB 00 00 00 FC", ""},
        StreamVector{"stop_one", "10 FB 00 00 01 FD 41", "41"},
        StreamVector{"stop_two", "10 FB 00 00 02 FE 41 42", "41 42"},
        StreamVector{"stop_three", "10 FB 00 00 03 FF 41 42 43", "41 42 43"},
        StreamVector{"literals_four", "10 FB 00 00 05 E0 01 02 03 04 FD 05", "01 02 03 04 05"},
        StreamVector{"literals_copy_stop", "10 FB 00 00 0B E0 01 02 03 04 04 03 FF 07 08 09",
                     "01 02 03 04 01 02 03 04 07 08 09"},
        StreamVector{"wide_sizes", "90 FB 00 00 00 02 FE 41 42", "41 42"},
        StreamVector{"compressed_size_skipped", "11 FB 00 00 0B 00 00 02 FE 41 42", "41 42"},
        StreamVector{"wide_compressed_size", "91 FB DE AD BE EF 00 00 00 02 FE 41 42", "41 42"},
        StreamVector{"copy_carries_literals", "10 FB 00 00 06 03 00 61 62 63 FC",
                     "61 62 63 63 63 63"}),
    [](const testing::TestParamInfo<StreamVector>& p) { return std::string(p.param.name); });

TEST(GoodStreams, LongestLiteralCommand) {
  Bytes stream = Hex("10 FB 00 00 70 FB");
  const Bytes data = History(112);
  stream.insert(stream.end(), data.begin(), data.end());
  stream.push_back(0xFC);
  Bytes out;
  std::string error;
  ASSERT_TRUE(refpack::Decompress(stream, out, &error)) << error;
  EXPECT_EQ(out, data);
}

struct BadVector {
  const char* name;
  const char* stream;
  const char* reason;  // a phrase the error must contain
};

class BadStreams : public testing::TestWithParam<BadVector> {};

TEST_P(BadStreams, AreRefusedWithAReason) {
  const BadVector& v = GetParam();
  const Bytes stream = Hex(v.stream);
  Bytes out = {1, 2, 3};
  std::string error;
  EXPECT_FALSE(refpack::Decompress(stream, out, &error));
  EXPECT_NE(error.find(v.reason), std::string::npos) << error;
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(refpack::IsRefPack(stream));
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, BadStreams,
    testing::Values(
        BadVector{"nothing", "", "too short"},
        BadVector{"one_byte", "10", "too short"},
        BadVector{"wrong_magic", "10 FA 00 00 00 FC", "not a RefPack header"},
        BadVector{"unknown_flags", "12 FB 00 00 00 FC", "not a RefPack header"},
        BadVector{"flags_without_0x10", "80 FB 00 00 00 00 FC", "not a RefPack header"},
        BadVector{"short_header", "10 FB 00 00", "truncated header"},
        BadVector{"short_wide_header", "90 FB 00 00 00", "truncated header"},
        BadVector{"short_compressed_size_header", "11 FB 00 00 05 00 00", "truncated header"},
        BadVector{"no_stop", "10 FB 00 00 00", "no stop command"},
        BadVector{"no_stop_after_literals", "10 FB 00 00 04 E0 01 02 03 04", "no stop command"},
        BadVector{"cut_two_byte", "10 FB 00 00 08 E0 01 02 03 04 00", "truncated 2-byte"},
        BadVector{"cut_three_byte", "10 FB 00 00 08 E0 01 02 03 04 80 00", "truncated 3-byte"},
        BadVector{"cut_four_byte", "10 FB 00 00 09 E0 01 02 03 04 C0 00 00", "truncated 4-byte"},
        BadVector{"cut_literals", "10 FB 00 00 04 E0 01 02", "truncated literals"},
        BadVector{"cut_stop_literals", "10 FB 00 00 03 FF 41", "truncated literals"},
        BadVector{"copy_at_start", "10 FB 00 00 03 00 00 FC", "before the start"},
        BadVector{"copy_too_far", "10 FB 00 00 07 E0 01 02 03 04 00 04 FC", "before the start"},
        BadVector{"copy_past_size", "10 FB 00 00 06 E0 01 02 03 04 00 00 FC", "over the declared size"},
        BadVector{"literals_past_size", "10 FB 00 00 02 E0 01 02 03 04 FC", "over the declared size"},
        BadVector{"stop_short_of_size", "10 FB 00 00 05 E0 01 02 03 04 FC", "before the declared size"},
        BadVector{"bytes_after_stop", "10 FB 00 00 01 FD 41 00", "after the stop command"},
        BadVector{"impossible_size", "90 FB FF FF FF FF FC", "impossible"}),
    [](const testing::TestParamInfo<BadVector>& p) { return std::string(p.param.name); });

// Every proper prefix of a good stream is refused, whichever command it cuts.
TEST(BadStreams, EveryTruncationIsRefused) {
  const Bytes stream =
      Hex("10 FB 00 00 17 E0 01 02 03 04 05 02 AA 80 00 00 C1 00 00 01 FF FF 07 08 09");
  Bytes out;
  std::string error;
  ASSERT_TRUE(refpack::Decompress(stream, out, &error)) << error;
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    const std::span<const std::uint8_t> part(stream.data(), cut);
    EXPECT_FALSE(refpack::Decompress(part, out, &error)) << "cut at " << cut;
  }
}

TEST(DeclaredSize, ReadsBothWidthsAndSkipsTheCompressedSize) {
  EXPECT_EQ(refpack::DeclaredSize(Hex("10 FB 12 34 56")), 0x123456u);
  EXPECT_EQ(refpack::DeclaredSize(Hex("90 FB 12 34 56 78")), 0x12345678u);
  EXPECT_EQ(refpack::DeclaredSize(Hex("11 FB 00 00 09 AB CD EF")), 0xABCDEFu);
  EXPECT_EQ(refpack::DeclaredSize(Hex("91 FB 00 00 00 09 01 02 03 04")), 0x01020304u);
  EXPECT_FALSE(refpack::DeclaredSize(Hex("10 FC 00 00 00")).has_value());
  EXPECT_FALSE(refpack::DeclaredSize(Hex("10 FB 00 00")).has_value());
}

}  // namespace
