// Fuzz target: any bytes at all go to the decoder, which must refuse or
// decode them without touching memory outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "refpack/refpack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  std::vector<std::uint8_t> out;
  std::string error;
  const bool ok = refpack::Decompress(input, out, &error);
  // What the decoder says must agree with the other entry points.
  if (ok != refpack::IsRefPack(input)) std::abort();
  if (ok && refpack::DeclaredSize(input) != out.size()) std::abort();
  if (!ok && (error.empty() || !out.empty())) std::abort();
  return 0;
}
