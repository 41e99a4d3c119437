// The encoder's frame: the header, and the input cut into pieces that are
// compressed at the same time, each by its own match finder and parse, and
// joined into one stream.
#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "refpack/command_writer.h"
#include "refpack/match_finder.h"
#include "refpack/optimal_parse.h"
#include "refpack/refpack.h"
#include "refpack/tuning.h"

namespace refpack {
namespace detail {
namespace {

// What a piece's compression leaves for the join: its first run of copies
// (see CommandWriter), its commands after that up to its last run, where
// the literals after them start, and that last run. The join writes the
// two runs, so that one that goes on over the cut is one run.
struct Piece {
  std::optional<CopyCommand> first;
  std::vector<std::uint8_t> bytes;
  std::size_t tail = 0;
  std::optional<CopyCommand> last;
};

// The tables one thread compresses with, piece after piece.
class Workspace {
 public:
  Workspace(std::size_t capacity, const Tuning& tuning) : finder_(capacity, tuning), parse_(tuning, capacity) {}

  void Compress(std::span<const std::uint8_t> input, std::size_t begin, std::size_t end, Piece& piece) {
    // The window before the piece goes into the finder first, every
    // position of it, so that copies reach back over the cut as they would
    // in one piece.
    const std::size_t floor = begin > kWindow ? begin - kWindow : 0;
    finder_.Reset(input, floor, end);
    for (std::size_t pos = floor; pos < begin; ++pos) finder_.Insert(pos);
    piece.bytes.reserve((end - begin) + (end - begin) / 64 + 16);
    CommandWriter writer(input, piece.bytes, begin, /*hold_first=*/true);
    parse_.Run(input, finder_, writer, begin, end);
    std::tie(piece.tail, piece.last) = writer.TakeLast();
    piece.first = writer.held();
  }

 private:
  MatchFinder finder_;
  OptimalParse parse_;
};

// Inputs up to a piece are compressed whole; larger ones in as many equal
// pieces as it takes to keep each within it. The cuts depend on the size
// alone, never on the number of threads, so that neither does the output.
std::size_t PieceCount(std::size_t n, std::size_t piece) { return n <= piece ? 1 : (n + piece - 1) / piece; }

// Where piece i of count starts in an input of n bytes.
std::size_t PieceStart(std::size_t n, std::size_t count, std::size_t i) {
  return static_cast<std::size_t>(static_cast<std::uint64_t>(n) * i / count);
}

// Compresses every piece, on up to threads threads that each take the next
// piece not yet taken.
std::vector<Piece> CompressPieces(std::span<const std::uint8_t> input, unsigned threads, const Tuning& tuning) {
  const std::size_t n = input.size();
  const std::size_t count = PieceCount(n, tuning.piece);
  std::vector<Piece> pieces(count);
  std::atomic<std::size_t> next{0};
  std::exception_ptr error;
  std::mutex error_mutex;
  const auto work = [&] {
    try {
      Workspace workspace(std::min(n, PieceStart(n, count, 1) + 1 + kWindow), tuning);
      for (std::size_t i; (i = next++) < count;) {
        // Made apart and moved in: the writer updates its vector's end at
        // every byte, and the next piece's vector may share its cache line.
        Piece piece;
        workspace.Compress(input, PieceStart(n, count, i), PieceStart(n, count, i + 1), piece);
        pieces[i] = std::move(piece);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(error_mutex);
      error = std::current_exception();
      next = count;
    }
  };
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < std::min<std::size_t>(threads, count); ++t) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
  return pieces;
}

// Writes the pieces one after another; the literals around each junction
// go with the first run after it.
void Join(std::span<const std::uint8_t> input, const std::vector<Piece>& pieces, std::vector<std::uint8_t>& out) {
  // Room for the pieces' commands, the runs at the junctions, a literal
  // command for every 112 literals and the stop command...
  std::size_t total = out.size() + input.size() / kMaxLiteralRun + 2;
  for (const Piece& piece : pieces) {
    total += piece.bytes.size();
    for (const auto& run : {piece.first, piece.last}) {
      if (run) total += (run->length / kMaxLength + 2) * kCopyForms[kCopyFormCount - 1].bytes;
    }
  }
  // And for the literals that no piece wrote, which go as the writer below.
  std::size_t literals = 0, from = 0;
  for (const Piece& piece : pieces) {
    if (piece.first) literals += piece.first->pos - from, from = piece.first->pos + piece.first->length;
    if (!piece.bytes.empty()) from = piece.tail;
    if (piece.last) literals += piece.last->pos - from, from = piece.last->pos + piece.last->length;
  }
  out.reserve(total + literals + input.size() - from);
  CommandWriter writer(input, out, 0);
  for (const Piece& piece : pieces) {
    if (piece.first) writer.Copy(piece.first->pos, piece.first->length, piece.first->distance);
    if (!piece.bytes.empty()) {
      writer.Flush();
      out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
      writer.Resume(piece.tail);
    }
    if (piece.last) writer.Copy(piece.last->pos, piece.last->length, piece.last->distance);
  }
  writer.Stop();
}

void PutHeader(std::size_t size, std::vector<std::uint8_t>& out) {
  const bool wide = size > kMaxNarrowSize;
  out.push_back(wide ? kFlags | kWideSizes : kFlags);
  out.push_back(kMagic);
  for (int shift = wide ? 24 : 16; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(size) >> shift));
  }
}

}  // namespace

std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input, const CompressOptions& options,
                                   const Tuning& tuning) {
  if (input.size() > kMaxInputSize) throw std::length_error("RefPack input over 4 GiB");
  const unsigned threads = options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::uint8_t> out;
  PutHeader(input.size(), out);
  if (input.empty()) {
    out.push_back(kStopCommand);
    return out;
  }
  Join(input, CompressPieces(input, threads, tuning), out);
  return out;
}

}  // namespace detail

std::vector<std::uint8_t> Compress(std::span<const std::uint8_t> input, const CompressOptions& options) {
  return detail::Compress(input, options, detail::kDefaultTuning);
}

}  // namespace refpack
