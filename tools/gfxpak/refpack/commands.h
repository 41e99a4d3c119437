// What the match finder, the parse and the command writer all need to know
// of RefPack's commands: how far and how long a copy can be, and how many
// stream bytes each command takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace refpack::detail {

inline constexpr std::size_t kWindow = 131072;  // the farthest a 4-byte command can reach
inline constexpr std::size_t kMinLength = 3;
inline constexpr std::size_t kMaxLength = 1028;
inline constexpr std::size_t kMaxLiteralRun = 112;  // the longest 1-byte literal command

inline constexpr std::uint32_t kInfinite = std::numeric_limits<std::uint32_t>::max();

// Stream bytes of a copy command of length len from distance dist, the up to
// three literals that ride in it counted elsewhere; kInfinite when no command
// can express it. The 2-byte form reaches 1024 back for 3..10 bytes, the
// 3-byte form 16384 back for 4..67, the 4-byte form 131072 back for 5..1028.
inline std::uint32_t CopyCost(std::size_t len, std::size_t dist) {
  if (len <= 10 && dist <= 1024) return 2;
  if (len >= 4 && len <= 67 && dist <= 16384) return 3;
  if (len >= 5 && dist <= kWindow) return 4;
  return kInfinite;
}

// What one more literal costs when the run so far holds run literals: the
// byte itself, plus a 1-byte literal command each time the run starts a new
// 112-byte block (runs of 0..3 ride in the next copy or in the stop command).
inline std::uint32_t LiteralCost(std::size_t run) { return (run + 1) % kMaxLiteralRun == 4 ? 2 : 1; }

struct Match {
  std::uint32_t length;
  std::uint32_t distance;
};

}  // namespace refpack::detail
