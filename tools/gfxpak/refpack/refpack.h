// RefPack: the LZ77 compression of the game's archive entries. The layout is
// described in tools/gfxpak/FORMATS.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace refpack {

// The size fields can hold no more than 32 bits.
inline constexpr std::uint64_t kMaxInputSize = 0xFFFFFFFFu;

// The longest header: flags, magic, a compressed size and the size, both in
// 4 bytes (91 FB). DeclaredSize needs no more of a stream than this.
inline constexpr std::size_t kMaxHeaderSize = 2 + 2 * 4;

struct CompressOptions {
  // How many threads may compress at once; 0 means one per hardware thread.
  // The output is the same whatever the number.
  unsigned threads = 0;
};

// Compresses a whole buffer. Header flags 0x10 (3-byte size), or 0x90 (4-byte
// size) for inputs over 16 MiB. Throws std::length_error for inputs over 4 GiB.
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input, const CompressOptions& options = {});

// Decodes a whole stream. Returns false and a one-line reason in *error (when
// error is not null) on bad input: a bad header, a truncated stream, a copy
// from before the start of the output, output over the declared size, output
// short of it, or bytes after the stop command. Never reads or writes outside
// its buffers; output holds exactly the declared size on success.
bool Decompress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                std::string* error);

// True when input is a valid RefPack stream: a good header and a clean decode
// to exactly the declared size.
bool IsRefPack(std::span<const std::uint8_t> input);

// The uncompressed size that a stream's header declares, or nothing when the
// header is not a RefPack header. Reads at most the header.
std::optional<std::uint64_t> DeclaredSize(std::span<const std::uint8_t> input);

}  // namespace refpack
