// A plain greedy RefPack encoder, the yardstick for the real one: at every
// position it takes the longest match a hash-chain search finds, if some
// command can express it, and otherwise a literal. Written independently of
// the library so that its output also exercises the decoder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "test_stream.h"

namespace refpack_test {

inline std::vector<std::uint8_t> GreedyCompress(std::span<const std::uint8_t> in,
                                                unsigned depth) {
  constexpr std::size_t kWindow = 131072;
  const std::size_t n = in.size();

  std::vector<std::int32_t> head(1 << 15, -1);
  std::vector<std::int32_t> prev(n, -1);
  auto hash = [&](std::size_t p) {
    return ((in[p] << 10) ^ (in[p + 1] << 5) ^ in[p + 2]) & 0x7FFF;
  };
  auto insert = [&](std::size_t p) {
    if (p + 3 > n) return;
    const auto h = static_cast<std::size_t>(hash(p));
    prev[p] = head[h];
    head[h] = static_cast<std::int32_t>(p);
  };

  auto choose = [&](std::size_t pos) {
    TestMatch best;
    const std::size_t limit = std::min<std::size_t>(1028, n - pos);
    std::int32_t c = head[static_cast<std::size_t>(hash(pos))];
    for (unsigned d = 0; c >= 0 && d < depth; ++d, c = prev[static_cast<std::size_t>(c)]) {
      const std::size_t from = static_cast<std::size_t>(c);
      const std::size_t dist = pos - from;
      if (dist > kWindow) break;
      std::size_t len = 0;
      while (len < limit && in[from + len] == in[pos + len]) ++len;
      if (len > best.length && TestStream::Expressible(len, dist)) {
        best = {len, dist};
        if (len == limit) break;
      }
    }
    return best;
  };
  return GreedyParse(in, choose, insert);
}

}  // namespace refpack_test
