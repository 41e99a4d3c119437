// How hard the encoder looks for matches: the limits the finder, the parse
// and the frame work within. gfxpak always uses kDefaultTuning; the others
// exist so that the benchmark can show what the limits cost in size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "refpack/commands.h"
#include "refpack/refpack.h"

namespace refpack::detail {

struct Tuning {
  // Tree nodes one search visits at most, and how many more once it has met
  // a match of deepen_length bytes: a repeated pattern (a flat area of a
  // picture) makes deep trees, and an insertion that stops early cuts off
  // what lies below it.
  unsigned depth;
  unsigned long_depth;
  // Positions with the same 3-byte hash that a search for a 3-byte match
  // looks at (hash collisions are all that can make it more than one).
  unsigned short_depth;
  std::size_t deepen_length;
  // A match this long ends the search: the tree orders positions by this
  // many bytes at most, and a longer match is measured on.
  std::size_t stop_length;
  // A match this long is taken at once.
  std::size_t nice_length;
  // Inside a match this long the parse searches again only over its last
  // resume bytes...
  std::size_t skip_length;
  std::size_t resume;
  // ...and on the way only every skip_stride-th position, where only
  // matches that reach past the long one are priced...
  std::size_t skip_stride;
  // ...and the finder takes in only the last insert_tail positions before
  // the next search and every insert_stride-th one: the others come again,
  // nearer, from where the match copies them.
  std::size_t insert_tail;
  std::size_t insert_stride;
  // A new longest match is tried this many positions back, and priced from
  // where it really starts: the search may have missed it there.
  std::size_t extend_back;
  // The parse finds the cheapest path over blocks of this many positions
  // and writes it before the next block starts. Its end is a decision
  // taken without knowing what follows.
  std::size_t block;
  // Inputs over piece bytes are cut into equal pieces of at most that size,
  // which threads compress at the same time.
  std::size_t piece;
};

// gfxpak's limits: the cheapest that the benchmark found within 1% of the
// exhaustive setting on each of its files (tools/gfxpak/refpack/README.md,
// "Settings").
inline constexpr Tuning kDefaultTuning = {
    // 8 nodes leave text with a small vocabulary 1.1% larger than the
    // exhaustive setting.
    .depth = 9,
    .long_depth = 64,
    .short_depth = 4,
    .deepen_length = 16,
    // 64 leaves dithered pictures larger than the classic reference.
    .stop_length = 256,
    .nice_length = 64,
    .skip_length = 24,
    .resume = 12,
    // With matches tried back as far, every position inside a long match
    // is still a start for a match that reaches past it.
    .skip_stride = 12,
    // A stretch taken in only at its end is found again only from there,
    // after hundreds of literals where a repeat starts elsewhere in it.
    .insert_tail = 16,
    .insert_stride = 4,
    // Without it text comes out 3.1% larger than the exhaustive setting.
    .extend_back = 11,
    .block = 65536,
    // A MiB is two pieces, on two threads.
    .piece = std::size_t{1} << 19,
};

// Every position searched as deep as the tree goes, nothing taken early,
// every position in the tree: the smallest stream this parse can find.
inline constexpr Tuning kExhaustiveTuning = {
    .depth = 1u << 30,
    .long_depth = 0,
    .short_depth = 1u << 30,
    .deepen_length = kMaxLength + 1,
    .stop_length = kMaxLength,
    .nice_length = kMaxLength + 1,
    .skip_length = kMaxLength + 1,
    .resume = 0,
    .skip_stride = 1,
    .insert_tail = kMaxLength,
    .insert_stride = 1,
    .extend_back = 0,
    // A piece is one block, so that no block end takes a decision: within
    // 2 bytes of one block over the whole of each of the benchmark's files.
    .block = kDefaultTuning.piece,
    .piece = kDefaultTuning.piece,
};

// Compress with other limits than gfxpak's; the stream is as valid.
std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input, const CompressOptions& options,
                                   const Tuning& tuning);

}  // namespace refpack::detail
