#include <algorithm>
#include <stdexcept>

#include "refpack/refpack.h"

namespace refpack {

// Interim encoder: literals only, a valid stream while the real one is written.
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input) {
  if (input.size() > kMaxInputSize) throw std::length_error("RefPack input over 4 GiB");
  std::vector<std::uint8_t> out;
  const bool wide = input.size() > kMaxSmallSize;
  out.push_back(wide ? 0x90 : 0x10);
  out.push_back(0xFB);
  for (int shift = wide ? 24 : 16; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(input.size()) >> shift));
  std::size_t pos = 0;
  while (input.size() - pos >= 4) {
    const std::size_t run = std::min<std::size_t>(112, (input.size() - pos) & ~std::size_t{3});
    out.push_back(static_cast<std::uint8_t>(0xE0 + run / 4 - 1));
    out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(pos),
               input.begin() + static_cast<std::ptrdiff_t>(pos + run));
    pos += run;
  }
  out.push_back(static_cast<std::uint8_t>(0xFC + input.size() - pos));
  out.insert(out.end(), input.begin() + static_cast<std::ptrdiff_t>(pos), input.end());
  return out;
}

}  // namespace refpack
