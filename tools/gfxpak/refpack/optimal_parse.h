// The parse: the cheapest way, in stream bytes, to spell out the input as
// literals and the matches the finder offers, block by block. How it works
// and why is told in tools/gfxpak/refpack/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "refpack/command_writer.h"
#include "refpack/commands.h"
#include "refpack/match_finder.h"
#include "refpack/tuning.h"

namespace refpack::detail {

class OptimalParse {
 public:
  // Nodes for blocks of tuning.block positions, or of capacity where that is less.
  OptimalParse(const Tuning& tuning, std::size_t capacity);

  // Parses the positions from..end, which finder has been reset for (and
  // primed with what lies before from), and hands writer the copies.
  void Run(std::span<const std::uint8_t> input, MatchFinder& finder, CommandWriter& writer, std::size_t from,
           std::size_t end);

  // The states of a node: the path to it ends in a copy, in exactly 1, 2 or
  // 3 literals (which ride in the next command), or in a longer run.
  static constexpr std::uint8_t kLongRun = 4;

 private:
  // How a node was reached in state 0.
  struct Arrival {
    std::uint32_t distance;
    std::uint16_t length;
    std::uint8_t from;
  };

  std::size_t ParseBlock(std::size_t start);
  void StartBlock(std::size_t pending);
  void Reach(std::uint32_t at);
  std::uint8_t Cheapest(std::uint32_t j, std::uint32_t& best);
  std::uint8_t Settle(std::uint32_t j, std::uint32_t& best);
  std::uint32_t PriceMatches(std::uint32_t j, std::uint32_t base, std::uint8_t from, const Match* matches,
                             std::size_t count, std::uint32_t span, std::uint32_t shortest = kMinLength);
  std::uint32_t PriceAt(std::size_t start, std::uint32_t j, std::uint32_t base, std::uint8_t from, const Match* matches,
                        std::size_t count, std::uint32_t span, std::uint32_t& copy_reach);
  std::uint32_t PassInside(std::size_t start, std::uint32_t j, std::uint32_t longest, std::uint32_t span,
                           std::uint32_t& copy_reach);
  void ExtendBack(std::size_t start, std::uint32_t j, std::uint32_t base_j, const Match& match, std::uint32_t span);
  std::size_t TakeLongMatch(std::size_t start, std::uint32_t i, std::uint32_t span, std::uint32_t longest);
  void PassOver(std::size_t from, std::size_t to);
  std::size_t Finish(std::size_t start, std::uint32_t end);
  void Emit(std::size_t start, std::uint32_t end, std::uint8_t state);

  // The nodes of a block, shifted so that nodes -4..-1 exist: a block may
  // start with pending literals from the one before.
  // j wraps below 0 as an unsigned number does, and back when shifted.
  std::uint32_t& cost(std::uint32_t j) { return cost_[static_cast<std::uint32_t>(j + kBefore)]; }
  std::uint32_t& long_cost(std::uint32_t j) { return long_cost_[static_cast<std::uint32_t>(j + kBefore)]; }
  std::uint32_t& long_run(std::uint32_t j) { return long_run_[static_cast<std::uint32_t>(j + kBefore)]; }
  Arrival& arrival(std::uint32_t j) { return arrival_[static_cast<std::uint32_t>(j + kBefore)]; }
  static constexpr std::uint32_t kBefore = 4;

  Tuning tuning_;
  std::uint32_t block_;
  const std::uint8_t* data_ = nullptr;
  MatchFinder* finder_ = nullptr;
  CommandWriter* writer_ = nullptr;
  std::size_t end_ = 0;
  std::unique_ptr<std::uint32_t[]> cost_;       // of state 0: a copy ends here
  std::unique_ptr<std::uint32_t[]> long_cost_;  // of the long-run state
  std::unique_ptr<std::uint32_t[]> long_run_;   // its run
  std::unique_ptr<Arrival[]> arrival_;          // the copy that reached state 0
  std::uint32_t filled_ = 0;  // nodes up to this one are usable in the current block
  std::vector<Match> matches_;
  std::vector<CopyCommand> steps_;
  bool scan_ = false;  // the last block ended in data where nothing matched
  // The matches the scan found where it stopped, for the next block's first position.
  std::vector<Match> scanned_;
  std::size_t scanned_count_ = 0;
  bool have_scanned_ = false;
};

}  // namespace refpack::detail
