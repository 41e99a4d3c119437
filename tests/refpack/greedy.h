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

namespace refpack_test {

inline std::vector<std::uint8_t> GreedyCompress(std::span<const std::uint8_t> in,
                                                unsigned depth) {
  constexpr std::size_t kWindow = 131072;
  const std::size_t n = in.size();
  std::vector<std::uint8_t> out;
  const bool wide = n > 0xFFFFFF;
  out.push_back(wide ? 0x90 : 0x10);
  out.push_back(0xFB);
  for (int shift = wide ? 24 : 16; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(n) >> shift));
  }
  auto put = [&](std::size_t b) { out.push_back(static_cast<std::uint8_t>(b)); };
  auto expressible = [](std::size_t len, std::size_t dist) {
    return (len >= 3 && len <= 10 && dist <= 1024) || (len >= 4 && len <= 67 && dist <= 16384) ||
           (len >= 5 && len <= 1028 && dist <= kWindow);
  };

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

  std::size_t lit_start = 0;
  auto flush_literals = [&](std::size_t pos) {
    while (pos - lit_start >= 4) {
      const std::size_t chunk = std::min<std::size_t>(112, (pos - lit_start) / 4 * 4);
      put(0xE0 + chunk / 4 - 1);
      out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(lit_start),
                 in.begin() + static_cast<std::ptrdiff_t>(lit_start + chunk));
      lit_start += chunk;
    }
    return pos - lit_start;
  };

  std::size_t pos = 0;
  while (pos < n) {
    std::size_t best_len = 0, best_dist = 0;
    if (pos + 3 <= n) {
      const std::size_t limit = std::min<std::size_t>(1028, n - pos);
      std::int32_t c = head[static_cast<std::size_t>(hash(pos))];
      for (unsigned d = 0; c >= 0 && d < depth; ++d, c = prev[static_cast<std::size_t>(c)]) {
        const std::size_t from = static_cast<std::size_t>(c);
        const std::size_t dist = pos - from;
        if (dist > kWindow) break;
        std::size_t len = 0;
        while (len < limit && in[from + len] == in[pos + len]) ++len;
        if (len > best_len && expressible(len, dist)) {
          best_len = len;
          best_dist = dist;
          if (len == limit) break;
        }
      }
    }
    if (best_len == 0) {
      insert(pos);
      ++pos;
      continue;
    }
    const std::size_t lits = flush_literals(pos);
    const std::size_t d = best_dist - 1, len = best_len;
    if (len <= 10 && best_dist <= 1024) {
      put(((d >> 8) << 5) | ((len - 3) << 2) | lits);
      put(d & 0xFF);
    } else if (len <= 67 && best_dist <= 16384) {
      put(0x80 | (len - 4));
      put((lits << 6) | (d >> 8));
      put(d & 0xFF);
    } else {
      put(0xC0 | ((d >> 16) << 4) | (((len - 5) >> 8) << 2) | lits);
      put((d >> 8) & 0xFF);
      put(d & 0xFF);
      put((len - 5) & 0xFF);
    }
    out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(pos - lits),
               in.begin() + static_cast<std::ptrdiff_t>(pos));
    for (std::size_t k = 0; k < len; ++k) insert(pos + k);
    pos += len;
    lit_start = pos;
  }
  const std::size_t lits = flush_literals(n);
  put(0xFC | lits);
  out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(n - lits), in.end());
  return out;
}

}  // namespace refpack_test
