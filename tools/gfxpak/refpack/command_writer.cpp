#include "refpack/command_writer.h"

#include <algorithm>

namespace refpack::detail {
namespace {

// The shortest copy that some form takes from dist back.
std::size_t ShortestAt(std::size_t dist) {
  std::size_t f = 0;
  while (dist > kCopyForms[f].reach) ++f;
  return kCopyForms[f].shortest;
}

}  // namespace

void CommandWriter::Copy(std::size_t pos, std::size_t len, std::size_t dist) {
  if (run_ && pos == run_->pos + run_->length && dist == run_->distance) {
    run_->length += len;
  } else {
    Flush();
    run_ = CopyCommand{pos, len, dist};
    run_literals_ = literal_start_;
  }
  literal_start_ = pos + len;
}

void CommandWriter::Flush() {
  if (!run_) return;
  if (hold_first_ && !held_) {
    held_ = run_;
  } else {
    WriteRun(run_literals_, *run_);
  }
  run_.reset();
}

std::pair<std::size_t, std::optional<CopyCommand>> CommandWriter::TakeLast() {
  if (!run_ || (hold_first_ && !held_)) {
    // The only run is the first, which is held anyway.
    Flush();
    return {literal_start_, std::nullopt};
  }
  std::pair<std::size_t, std::optional<CopyCommand>> last{run_literals_, run_};
  run_.reset();
  return last;
}

void CommandWriter::Stop() {
  Flush();
  const std::size_t lits = FlushLongLiterals(literal_start_, input_.size());
  Put(kStopCommand | lits);
  PutLiterals(input_.size() - lits, lits);
}

// The fewest command bytes for a run: whole copies of the longest length,
// and the rest in one copy, or in two where the rest is too short for any
// form (the longest length then gives up what the short one needs). The
// literals before the run ride in its first command.
void CommandWriter::WriteRun(std::size_t literals_from, const CopyCommand& run) {
  std::size_t lits = FlushLongLiterals(literals_from, run.pos);
  std::size_t pos = run.pos;
  std::size_t left = run.length;
  const std::size_t shortest = ShortestAt(run.distance);
  while (left > kMaxLength) {
    const std::size_t rest = left - kMaxLength;
    const std::size_t len = rest >= shortest ? kMaxLength : left - shortest;
    WriteCommand(pos, len, run.distance, lits);
    lits = 0;
    pos += len;
    left -= len;
  }
  WriteCommand(pos, left, run.distance, lits);
}

void CommandWriter::WriteCommand(std::size_t pos, std::size_t len, std::size_t dist, std::size_t lits) {
  const std::size_t form = CopyFormOf(len, dist);
  const CopyForm& f = kCopyForms[form];
  const std::size_t l = len - f.shortest;
  const std::size_t d = dist - 1;
  switch (form) {
    case 0:  // 0ddlllpp dddddddd
      Put(f.opcode | ((d >> 3) & 0x60) | (l << 2) | lits);
      Put(d & 0xFF);
      break;
    case 1:  // 10llllll ppdddddd dddddddd
      Put(f.opcode | l);
      Put((lits << 6) | (d >> 8));
      Put(d & 0xFF);
      break;
    default:  // 110dllpp dddddddd dddddddd llllllll
      Put(f.opcode | ((d >> 16) << 4) | ((l >> 8) << 2) | lits);
      Put((d >> 8) & 0xFF);
      Put(d & 0xFF);
      Put(l & 0xFF);
      break;
  }
  PutLiterals(pos - lits, lits);
}

// Writes the literals from..pos in 1-byte literal commands of up to 112,
// all but the last 0..3, and returns how many are left.
std::size_t CommandWriter::FlushLongLiterals(std::size_t from, std::size_t pos) {
  std::size_t run = pos - from;
  while (run > kMaxCarried) {
    const std::size_t chunk = std::min(kMaxLiteralRun, run & ~std::size_t{3});
    Put(kLiteralCommand | (chunk / 4 - 1));
    PutLiterals(from, chunk);
    from += chunk;
    run -= chunk;
  }
  return run;
}

void CommandWriter::PutLiterals(std::size_t from, std::size_t n) {
  const auto begin = input_.begin() + static_cast<std::ptrdiff_t>(from);
  out_->insert(out_->end(), begin, begin + static_cast<std::ptrdiff_t>(n));
}

}  // namespace refpack::detail
