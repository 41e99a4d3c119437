#include "refpack/suffix_finder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace refpack::detail {
namespace {

// The suffix array of s, whose values lie in [0, upper], by induced
// sorting: linear time, and the recursion at most halves the text.
std::vector<std::int32_t> SortSuffixes(const std::vector<std::int32_t>& s, std::int32_t upper) {
  const auto n = static_cast<std::int32_t>(s.size());
  if (n == 0) return {};
  if (n == 1) return {0};
  if (n == 2) return s[0] < s[1] ? std::vector<std::int32_t>{0, 1} : std::vector<std::int32_t>{1, 0};
  const auto at = [](auto& v, std::int32_t i) -> auto& { return v[static_cast<std::size_t>(i)]; };
  std::vector<std::int32_t> sa(static_cast<std::size_t>(n));
  // smaller[i]: the suffix at i sorts before the one after it (an S suffix).
  std::vector<std::uint8_t> smaller(static_cast<std::size_t>(n));
  for (std::int32_t i = n - 2; i >= 0; --i) {
    at(smaller, i) = at(s, i) == at(s, i + 1) ? at(smaller, i + 1) : at(s, i) < at(s, i + 1);
  }
  // Where each value's L suffixes and S suffixes begin in the array.
  std::vector<std::int32_t> start_l(static_cast<std::size_t>(upper) + 2), start_s(static_cast<std::size_t>(upper) + 2);
  for (std::int32_t i = 0; i < n; ++i) {
    if (!at(smaller, i)) {
      ++at(start_s, at(s, i));
    } else {
      ++at(start_l, at(s, i) + 1);
    }
  }
  for (std::int32_t c = 0; c <= upper; ++c) {
    at(start_s, c) += at(start_l, c);
    if (c < upper) at(start_l, c + 1) += at(start_s, c);
  }
  std::vector<std::int32_t> bucket(static_cast<std::size_t>(upper) + 2);
  const auto induce = [&](const std::vector<std::int32_t>& lms) {
    std::fill(sa.begin(), sa.end(), -1);
    std::copy(start_s.begin(), start_s.end(), bucket.begin());
    for (const std::int32_t d : lms) {
      if (d != n) at(sa, at(bucket, at(s, d))++) = d;
    }
    std::copy(start_l.begin(), start_l.end(), bucket.begin());
    at(sa, at(bucket, at(s, n - 1))++) = n - 1;
    for (std::int32_t i = 0; i < n; ++i) {
      const std::int32_t v = at(sa, i);
      if (v >= 1 && !at(smaller, v - 1)) at(sa, at(bucket, at(s, v - 1))++) = v - 1;
    }
    std::copy(start_l.begin(), start_l.end(), bucket.begin());
    for (std::int32_t i = n - 1; i >= 0; --i) {
      const std::int32_t v = at(sa, i);
      if (v >= 1 && at(smaller, v - 1)) at(sa, --at(bucket, at(s, v - 1) + 1)) = v - 1;
    }
  };
  // The leftmost S suffixes of each S run, which sorted order the rest.
  std::vector<std::int32_t> lms_index(static_cast<std::size_t>(n) + 1, -1);
  std::vector<std::int32_t> lms;
  for (std::int32_t i = 1; i < n; ++i) {
    if (!at(smaller, i - 1) && at(smaller, i)) {
      at(lms_index, i) = static_cast<std::int32_t>(lms.size());
      lms.push_back(i);
    }
  }
  const auto m = static_cast<std::int32_t>(lms.size());
  induce(lms);
  if (m == 0) return sa;
  std::vector<std::int32_t> sorted_lms;
  sorted_lms.reserve(lms.size());
  for (const std::int32_t v : sa) {
    if (at(lms_index, v) != -1) sorted_lms.push_back(v);
  }
  // Names for the LMS substrings in sorted order, equal ones equal.
  std::vector<std::int32_t> names(lms.size());
  std::int32_t name = 0;
  at(names, at(lms_index, sorted_lms[0])) = 0;
  for (std::int32_t i = 1; i < m; ++i) {
    std::int32_t l = at(sorted_lms, i - 1), r = at(sorted_lms, i);
    const std::int32_t end_l = at(lms_index, l) + 1 < m ? at(lms, at(lms_index, l) + 1) : n;
    const std::int32_t end_r = at(lms_index, r) + 1 < m ? at(lms, at(lms_index, r) + 1) : n;
    bool same = end_l - l == end_r - r;
    if (same) {
      while (l < end_l && at(s, l) == at(s, r)) ++l, ++r;
      same = l != n && at(s, l) == at(s, r);
    }
    if (!same) ++name;
    at(names, at(lms_index, at(sorted_lms, i))) = name;
  }
  const std::vector<std::int32_t> sorted_names = SortSuffixes(names, name);
  for (std::int32_t i = 0; i < m; ++i) at(sorted_lms, i) = at(lms, at(sorted_names, i));
  induce(sorted_lms);
  return sa;
}

constexpr std::uint32_t kNone = 0xFFFFFFFF;

}  // namespace

void SuffixFinder::Reset(std::span<const std::uint8_t> input, std::size_t floor, std::size_t end) {
  data_ = input.data();
  floor_ = floor;
  end_ = end;
  const std::size_t n = end - floor;
  const std::vector<std::int32_t> sa =
      SortSuffixes(std::vector<std::int32_t>(input.begin() + static_cast<std::ptrdiff_t>(floor),
                                             input.begin() + static_cast<std::ptrdiff_t>(end)),
                   255);
  rank_.resize(n);
  for (std::size_t r = 0; r < n; ++r) rank_[static_cast<std::size_t>(sa[r])] = static_cast<std::int32_t>(r);
  // The common prefix of each suffix with the one sorted before it, in
  // text order (each is at least the one before it less one), capped.
  std::vector<std::uint16_t> common(n + 1, 0);
  const std::uint8_t* const text = data_ + floor;
  std::size_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto r = static_cast<std::size_t>(rank_[i]);
    if (r == 0) {
      h = 0;
      continue;
    }
    const auto j = static_cast<std::size_t>(sa[r - 1]);
    while (i + h < n && j + h < n && text[i + h] == text[j + h]) ++h;
    common[r] = static_cast<std::uint16_t>(std::min(h, cap_));
    if (h > 0) --h;
  }
  // The tree of common prefixes, bottom up with a stack of the open nodes,
  // whose prefixes grow towards the top.
  lcp_.assign(1, 0);
  parent_.assign(1, kNone);
  leaf_parent_.resize(n);
  std::vector<std::uint32_t> open = {0};
  const auto add = [&](std::uint16_t lcp) {
    lcp_.push_back(lcp);
    parent_.push_back(kNone);
    return static_cast<std::uint32_t>(lcp_.size() - 1);
  };
  for (std::size_t r = 0; r < n; ++r) {
    const std::uint16_t next = common[r + 1];  // with the suffix after, 0 past the last
    if (next > lcp_[open.back()]) {
      leaf_parent_[r] = add(next);
      open.push_back(leaf_parent_[r]);
      continue;
    }
    leaf_parent_[r] = open.back();
    while (next < lcp_[open.back()]) {
      const std::uint32_t closed = open.back();
      open.pop_back();
      if (next > lcp_[open.back()]) open.push_back(add(next));
      parent_[closed] = open.back();
    }
  }
  last_.assign(lcp_.size(), 0);
}

template <bool kReport>
std::size_t SuffixFinder::Walk(std::size_t pos, Match* out) {
  // The longest match within the reach of each form, nearest form first:
  // going up the tree, prefixes get shorter and positions newer.
  std::array<Match, kCopyFormCount> best{};
  std::size_t form = kCopyFormCount;  // the nearest form that no match reached yet, plus one
  const std::size_t limit = std::min(kMaxLength, end_ - pos);
  for (std::uint32_t v = leaf_parent_[static_cast<std::size_t>(rank_[pos - floor_])]; v != kNone && lcp_[v] >= kMinLength; v = parent_[v]) {
    const std::uint32_t seen = last_[v];
    last_[v] = static_cast<std::uint32_t>(pos + 1);
    if constexpr (kReport) {
      if (seen == 0 || form == 0) continue;
      const std::size_t from = seen - 1;
      const std::size_t distance = pos - from;
      std::size_t len = std::min<std::size_t>(lcp_[v], limit);
      if (len == cap_) {
        while (len < limit && data_[from + len] == data_[pos + len]) ++len;
      }
      while (form != 0 && distance <= kCopyForms[form - 1].reach) {
        --form;
        best[form] = {static_cast<std::uint32_t>(len), static_cast<std::uint32_t>(distance)};
      }
    }
  }
  (void)out;
  if constexpr (!kReport) return 0;
  std::size_t count = 0;
  for (std::size_t f = form; f < kCopyFormCount; ++f) {
    const Match& m = best[f];
    if (m.length >= kCopyForms[f].shortest && (count == 0 || m.length > out[count - 1].length)) out[count++] = m;
  }
  return count;
}

template std::size_t SuffixFinder::Walk<false>(std::size_t, Match*);
template std::size_t SuffixFinder::Walk<true>(std::size_t, Match*);

}  // namespace refpack::detail
