// The match finder: at each position, the nearest earlier match of each
// length that some command can use. How it works and why is told in
// tools/gfxpak/refpack/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "refpack/commands.h"
#include "refpack/tuning.h"

namespace refpack::detail {

class MatchFinder {
 public:
  // The most matches Find reports at one position: each is longer than the
  // one before.
  static constexpr std::size_t kMaxMatches = kMaxLength - kMinLength + 1;

  // Tables for inputs of up to capacity bytes: a piece and the window before it.
  MatchFinder(std::size_t capacity, const Tuning& tuning);

  // Starts over: positions from floor on may be inserted and searched, and
  // matches end at end at the latest.
  void Reset(std::span<const std::uint8_t> input, std::size_t floor, std::size_t end);

  // Adds pos, which later searches may then find. Positions go in at most
  // once each and in order.
  void Insert(std::size_t pos);

  // Fills out with the matches at pos that some command can express, in
  // order of growing length and distance: each is the nearest one of its
  // length. Inserts pos. Returns the number of matches.
  std::size_t Find(std::size_t pos, Match* out);

  // Moves on from pos, inserting as it goes, to the first position that
  // has matches, and returns it with its matches in out and their number
  // in count (0 at the end of the input). Cheaper per position than a
  // parse step, which data that does not compress does not repay.
  std::size_t Scan(std::size_t pos, Match* out, std::size_t& count);

 private:
  template <bool kReport, bool kPadded>
  std::size_t Descend(std::size_t pos, std::size_t limit, std::size_t best, Match* out);
  std::size_t FindShort(std::size_t pos, std::size_t limit, bool padded, Match* out);
  bool Padded(std::size_t pos) const;
  void InsertShort(std::size_t pos, std::uint32_t& head);
  void Prefetch(std::size_t pos);

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;  // of the whole input, which comparisons may read up to
  std::size_t floor_ = 0;
  std::size_t end_ = 0;
  unsigned depth_;
  unsigned long_depth_;
  std::size_t deepen_length_;
  std::size_t stop_length_;
  unsigned short_depth_;
  unsigned bits_;
  unsigned short_bits_;
  std::size_t mask_;
  // Positions are stored plus one, so that zero means none.
  std::unique_ptr<std::uint32_t[]> head_;        // the root of each 4-byte hash's tree
  std::unique_ptr<std::uint32_t[]> short_head_;  // the newest position of each 3-byte hash
  std::unique_ptr<std::uint32_t[]> short_prev_;  // the one before, with the same hash, of each near position
  std::unique_ptr<std::uint32_t[]> tree_;        // two children a position, cyclic over mask_ + 1
};

}  // namespace refpack::detail
