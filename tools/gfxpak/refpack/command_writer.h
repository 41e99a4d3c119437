// Turns the parse's copies into RefPack commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "refpack/commands.h"

namespace refpack::detail {

struct CopyCommand {
  std::size_t pos;
  std::size_t length;
  std::size_t distance;
};

// Writes the commands for copies given in input order: each copy goes with
// the literals between the previous one and it. Positions are offsets into
// input. A copy that goes on where the one before it ended, from the same
// distance, makes one run with it, which is written in the fewest command
// bytes that spell it: where the parse ended a block, or a piece ended, in
// the middle of a long repeat, nothing is lost.
class CommandWriter {
 public:
  // literal_start: where the literals that the first copy carries begin.
  // With hold_first the first run is kept back instead, for a writer that
  // knows the literals before literal_start to write (a piece of a larger
  // input does not know them), and so is the last by TakeLast.
  CommandWriter(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, std::size_t literal_start,
                bool hold_first = false)
      : input_(input), out_(&out), literal_start_(literal_start), hold_first_(hold_first) {}

  // Adds a copy to the current run, or writes the run and starts another.
  void Copy(std::size_t pos, std::size_t len, std::size_t dist);

  // Writes the current run, then the stop command with the last 0..3 literals.
  void Stop();

  // Writes the current run: what follows is written elsewhere.
  void Flush();

  // Where the literals after the last copy begin.
  std::size_t literal_start() const { return literal_start_; }
  const std::optional<CopyCommand>& held() const { return held_; }

  // Takes the current run back without writing it: what the writer wrote
  // ends at the returned position, where the literals before the run start.
  std::pair<std::size_t, std::optional<CopyCommand>> TakeLast();

  // Goes on after commands that were written elsewhere and end at pos.
  void Resume(std::size_t pos) { literal_start_ = pos; }

 private:
  void WriteRun(std::size_t literals_from, const CopyCommand& run);
  void WriteCommand(std::size_t pos, std::size_t len, std::size_t dist, std::size_t lits);
  std::size_t FlushLongLiterals(std::size_t from, std::size_t pos);
  void Put(std::size_t byte) { out_->push_back(static_cast<std::uint8_t>(byte)); }
  void PutLiterals(std::size_t from, std::size_t n);

  std::span<const std::uint8_t> input_;
  std::vector<std::uint8_t>* out_;
  std::size_t literal_start_;
  bool hold_first_;
  std::optional<CopyCommand> held_;
  std::optional<CopyCommand> run_;  // not written yet
  std::size_t run_literals_ = 0;    // where the literals before it begin
};

}  // namespace refpack::detail
