// The parse: the cheapest way, in stream bytes, to spell out the input as
// literals and the matches the finder offers, block by block. How it works
// and why is told in tools/gfxpak/FORMATS.md ("How gfxpak compresses").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "refpack/command_writer.h"
#include "refpack/commands.h"
#include "refpack/match_finder.h"

namespace refpack::detail {

class OptimalParse {
 public:
  OptimalParse();

  // Parses the positions from..end, which finder has been reset for (and
  // primed with what lies before from), and hands writer the copies.
  void Run(MatchFinder& finder, CommandWriter& writer, std::size_t from, std::size_t end);

  // The states of a position: the path to it ends in a run of exactly 0, 1,
  // 2 or 3 literals, or in a longer run.
  static constexpr std::size_t kLongRun = 4;
  static constexpr std::size_t kStates = 5;

  struct State {
    std::uint32_t cost;
    std::uint32_t distance;
    std::uint16_t length;  // the step that reached this state: 0 for a literal
    std::uint8_t prev;     // the state it came from at the step's start
  };

  struct Node {
    State state[kStates];
    std::uint32_t long_run;  // the length of the run of the long-run state
  };

 private:
  struct Step {
    std::uint32_t at;
    std::uint32_t length;
    std::uint32_t distance;
  };

  std::size_t ParseBlock(std::size_t start);
  void StartBlock(std::size_t pending);
  std::uint8_t PriceLiteral(std::size_t i);
  std::size_t PriceMatches(std::size_t i, std::size_t span, const Match* matches, std::size_t count, std::uint8_t from);
  std::size_t TakeLongMatch(std::size_t start, std::size_t i, std::size_t span, std::size_t longest);
  void RelaxRange(std::size_t i, std::size_t lo, std::size_t hi, std::size_t dist, std::uint32_t base, std::uint8_t from);
  void Relax(std::size_t i, std::size_t len, std::size_t dist, std::uint32_t base, std::uint8_t from);
  void Reach(std::size_t at);
  void Emit(std::size_t start, std::size_t end);

  MatchFinder* finder_ = nullptr;
  CommandWriter* writer_ = nullptr;
  std::size_t end_ = 0;
  std::unique_ptr<Node[]> nodes_;
  std::size_t filled_ = 0;  // nodes up to this one are usable in the current block
  std::vector<Step> steps_;
  bool scan_ = false;  // the last block ended in data where nothing matched
  // The matches the scan found where it stopped, for the next block's first position.
  Match scanned_[MatchFinder::kMaxMatches];
  std::size_t scanned_count_ = 0;
  bool have_scanned_ = false;
};

}  // namespace refpack::detail
