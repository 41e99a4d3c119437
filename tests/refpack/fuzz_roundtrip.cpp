// Fuzz target: whatever is compressed must decode to itself, and never be
// larger than the literal-only worst case.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "refpack/refpack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const std::vector<std::uint8_t> packed = refpack::Compress(input);
  // Header, a literal command per 112 bytes or part of them, the stop command.
  if (packed.size() > 5 + size + (size + 111) / 112 + 1) std::abort();
  std::vector<std::uint8_t> out;
  std::string error;
  if (!refpack::Decompress(packed, out, &error)) std::abort();
  if (out.size() != size || (size > 0 && std::memcmp(out.data(), data, size) != 0)) std::abort();
  return 0;
}
