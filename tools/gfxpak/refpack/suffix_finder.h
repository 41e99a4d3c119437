// A match finder built on a suffix array of a piece and the window before
// it, beside the tree of match_finder.cpp, to hold the two against each
// other: for each position it gives the longest match within each distance
// that a copy form reaches, which is all the parse prices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "refpack/commands.h"

namespace refpack::detail {

class SuffixFinder {
 public:
  // Matches longer than cap are measured on from the nearest position that
  // shares cap bytes: a cap bounds the walk from a position to the root.
  explicit SuffixFinder(std::size_t cap) : cap_(cap) {}

  // Sorts the suffixes of input[floor, end) and builds the tree of their
  // common prefixes; no position is in it yet.
  void Reset(std::span<const std::uint8_t> input, std::size_t floor, std::size_t end);

  // As MatchFinder::Insert and MatchFinder::Find.
  void Insert(std::size_t pos) { Walk<false>(pos, nullptr); }
  std::size_t Find(std::size_t pos, Match* out) { return Walk<true>(pos, out); }

 private:
  template <bool kReport>
  std::size_t Walk(std::size_t pos, Match* out);

  std::size_t cap_;
  const std::uint8_t* data_ = nullptr;
  std::size_t floor_ = 0;
  std::size_t end_ = 0;
  std::vector<std::int32_t> rank_;         // of each suffix, by its offset from floor
  std::vector<std::uint32_t> leaf_parent_;  // the innermost node above each rank
  // The nodes: groups of suffixes that share lcp bytes (at most cap), the
  // enclosing group, and the newest position that walked through (plus
  // one: zero means none yet).
  std::vector<std::uint16_t> lcp_;
  std::vector<std::uint32_t> parent_;
  std::vector<std::uint32_t> last_;
};

}  // namespace refpack::detail
