// The classic reference encoder, which the real one must never do worse
// than: greedy, and at each position it walks every earlier position in the
// 128 KiB window that starts with the same three bytes, nearest first, with
// no limit, and keeps the first match that saves the most bytes (its length
// less the bytes of its command). It takes that match when it saves
// anything, else a literal. Test and benchmark code only: on some inputs it
// visits thousands of positions per byte.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "test_stream.h"

namespace refpack_test {

inline std::vector<std::uint8_t> ClassicCompress(std::span<const std::uint8_t> in) {
  constexpr std::size_t kWindow = 131072;
  const std::size_t n = in.size();

  // prev holds a position's predecessor for as long as the position lies in
  // the window, which is all the walk needs.
  std::vector<std::int64_t> head(1 << 16, -1);
  std::vector<std::int64_t> prev(kWindow, -1);
  auto hash = [&](std::size_t p) {
    const std::uint32_t key = static_cast<std::uint32_t>(in[p] << 16 | in[p + 1] << 8 | in[p + 2]);
    return (key * 2654435761u) >> 16;
  };
  auto insert = [&](std::size_t p) {
    if (p + 3 > n) return;
    const std::size_t h = hash(p);
    prev[p % kWindow] = head[h];
    head[h] = static_cast<std::int64_t>(p);
  };
  // The most any match at a position can save, with limit bytes left: no
  // later candidate can beat it, so the walk may stop there.
  auto most_saved = [](std::size_t limit) { return limit - (limit <= 10 ? 2 : limit <= 67 ? 3 : 4); };

  auto choose = [&](std::size_t pos) {
    TestMatch best;
    std::size_t best_saved = 0;
    const std::size_t limit = std::min<std::size_t>(1028, n - pos);
    const std::size_t ceiling = most_saved(limit);
    for (std::int64_t c = head[hash(pos)]; c >= 0 && pos - static_cast<std::size_t>(c) <= kWindow;
         c = prev[static_cast<std::size_t>(c) % kWindow]) {
      const std::size_t from = static_cast<std::size_t>(c);
      std::size_t len = 0;
      while (len < limit && in[from + len] == in[pos + len]) ++len;
      const std::size_t bytes = TestStream::CommandBytes(len, pos - from);
      if (bytes != 0 && len > bytes && len - bytes > best_saved) {
        best_saved = len - bytes;
        best = {len, pos - from};
        if (best_saved == ceiling) break;
      }
    }
    return best;
  };
  return GreedyParse(in, choose, insert);
}

}  // namespace refpack_test
