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
// input.
class CommandWriter {
 public:
  // literal_start: where the literals that the first copy carries begin.
  // With hold_first the first copy is kept back instead, for a writer that
  // knows the literals before literal_start to write (a piece of a larger
  // input does not know them).
  CommandWriter(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out, std::size_t literal_start,
                bool hold_first = false)
      : input_(input), out_(&out), literal_start_(literal_start), hold_first_(hold_first) {}

  // Emits the literals since the last copy, all but the last 0..3 as 1-byte
  // literal commands, and then a copy command that carries those 0..3.
  void Copy(std::size_t pos, std::size_t len, std::size_t dist);

  // The stop command carries the last 0..3 literals.
  void Stop();

  std::size_t literal_start() const { return literal_start_; }
  const std::optional<CopyCommand>& held() const { return held_; }
  // Goes on after commands that were written elsewhere and end at pos.
  void Resume(std::size_t pos) { literal_start_ = pos; }

 private:
  std::size_t FlushLongLiterals(std::size_t pos);
  void Put(std::size_t byte) { out_->push_back(static_cast<std::uint8_t>(byte)); }
  void PutLiterals(std::size_t from, std::size_t n);

  std::span<const std::uint8_t> input_;
  std::vector<std::uint8_t>* out_;
  std::size_t literal_start_;
  bool hold_first_;
  std::optional<CopyCommand> held_;
};

}  // namespace refpack::detail
