#include "refpack/command_writer.h"

#include <algorithm>

namespace refpack::detail {

void CommandWriter::Copy(std::size_t pos, std::size_t len, std::size_t dist) {
  if (hold_first_ && !held_) {
    held_ = CopyCommand{pos, len, dist};
    literal_start_ = pos + len;
    return;
  }
  const std::size_t lits = FlushLongLiterals(pos);
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
  literal_start_ = pos + len;
}

void CommandWriter::Stop() {
  const std::size_t lits = FlushLongLiterals(input_.size());
  Put(kStopCommand | lits);
  PutLiterals(input_.size() - lits, lits);
}

// Writes the literals before pos in 1-byte literal commands of up to 112,
// all but the last 0..3, and returns how many are left.
std::size_t CommandWriter::FlushLongLiterals(std::size_t pos) {
  std::size_t run = pos - literal_start_;
  while (run > kMaxCarried) {
    const std::size_t chunk = std::min(kMaxLiteralRun, run & ~std::size_t{3});
    Put(kLiteralCommand | (chunk / 4 - 1));
    PutLiterals(literal_start_, chunk);
    literal_start_ += chunk;
    run -= chunk;
  }
  return run;
}

void CommandWriter::PutLiterals(std::size_t from, std::size_t n) {
  const auto begin = input_.begin() + static_cast<std::ptrdiff_t>(from);
  out_->insert(out_->end(), begin, begin + static_cast<std::ptrdiff_t>(n));
}

}  // namespace refpack::detail
