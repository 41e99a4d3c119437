// Byte ranges of a file, for the layers that keep bytes before they are
// overwritten: each byte is kept once, the first time.
#pragma once

#include <cstdint>
#include <vector>

namespace gfxpak {

struct Interval {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;  // one past the last byte
};

// The parts of [begin, end) that no interval of covered overlaps, in order.
template <typename Ranges, typename Bounds>
std::vector<Interval> Uncovered(const Ranges& covered, std::uint64_t begin, std::uint64_t end, Bounds bounds) {
  std::vector<Interval> missing;
  if (begin < end) missing.push_back({begin, end});
  for (const auto& range : covered) {
    const Interval r = bounds(range);
    std::vector<Interval> next;
    for (const Interval& m : missing) {
      if (r.end <= m.begin || r.begin >= m.end) {
        next.push_back(m);
        continue;
      }
      if (m.begin < r.begin) next.push_back({m.begin, r.begin});
      if (r.end < m.end) next.push_back({r.end, m.end});
    }
    missing = std::move(next);
  }
  return missing;
}

}  // namespace gfxpak
