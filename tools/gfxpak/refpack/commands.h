// RefPack's stream as every part of the codec sees it: the header's bytes,
// the literal and stop commands, and one table of the three copy commands
// that the costs, the parse, the command writer and the decoder all read.
// The layout is described in tools/gfxpak/FORMATS.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>

namespace refpack::detail {

// The header: flags, magic, then the size fields.
inline constexpr std::uint8_t kFlags = 0x10;           // set in every header
inline constexpr std::uint8_t kWideSizes = 0x80;       // 4-byte size fields instead of 3-byte ones
inline constexpr std::uint8_t kCompressedSize = 0x01;  // a compressed-size field precedes the size
inline constexpr std::uint8_t kMagic = 0xFB;
// The largest size a 3-byte field holds.
inline constexpr std::uint64_t kMaxNarrowSize = 0xFFFFFF;

// 111ppppp: (ppppp + 1) * 4 literals and nothing else.
inline constexpr std::uint8_t kLiteralCommand = 0xE0;
inline constexpr std::size_t kMaxLiteralRun = 112;
// 111111pp: the last 0..3 literals, and the end of the stream.
inline constexpr std::uint8_t kStopCommand = 0xFC;
// The literals that ride in a copy or stop command, before its copy.
inline constexpr std::size_t kMaxCarried = 3;

// A copy command: how many bytes it takes, which copies it can express, and
// its first byte with every field zero. The bits of each are in FORMATS.md;
// the writer and the decoder place them.
struct CopyForm {
  std::uint32_t bytes;
  std::uint32_t shortest;
  std::uint32_t longest;
  std::uint32_t reach;  // the farthest distance
  std::uint8_t opcode;
};

// Smallest first: the first form that expresses a copy is the one to write.
inline constexpr CopyForm kCopyForms[] = {
    {2, 3, 10, 1024, 0x00},
    {3, 4, 67, 16384, 0x80},
    {4, 5, 1028, 131072, 0xC0},
};
inline constexpr std::size_t kCopyFormCount = std::size(kCopyForms);

inline constexpr std::size_t kWindow = kCopyForms[2].reach;
inline constexpr std::size_t kMinLength = kCopyForms[0].shortest;
inline constexpr std::size_t kMaxLength = kCopyForms[2].longest;

inline constexpr std::uint32_t kInfinite = std::numeric_limits<std::uint32_t>::max();

// The form that writes a copy of len bytes from dist back, or kCopyFormCount
// when none can.
constexpr std::size_t CopyFormOf(std::size_t len, std::size_t dist) {
  std::size_t f = 0;
  while (f < kCopyFormCount &&
         (len < kCopyForms[f].shortest || len > kCopyForms[f].longest || dist > kCopyForms[f].reach)) {
    ++f;
  }
  return f;
}

// The farthest distance from which some form copies len bytes, for len up
// to the shortest length that every form takes.
constexpr std::uint32_t ReachOf(std::size_t len) {
  std::uint32_t reach = 0;
  for (const CopyForm& form : kCopyForms) {
    if (len >= form.shortest && len <= form.longest) reach = reach > form.reach ? reach : form.reach;
  }
  return reach;
}

// What one more literal costs when the run so far holds run literals: the
// byte itself, plus a literal command byte each time the run starts a new
// 112-byte block (runs of 0..3 ride in the next copy or in the stop command).
constexpr std::uint32_t LiteralCost(std::size_t run) {
  return (run + 1) % kMaxLiteralRun == kMaxCarried + 1 ? 2 : 1;
}

struct Match {
  std::uint32_t length;
  std::uint32_t distance;
};

}  // namespace refpack::detail
