// The boot loader's expander of the compressed image stream, fed with
// arbitrary bytes, and the compressor's output for arbitrary chunks:
//  - whatever the input, nothing is read outside it (sanitizers) and a stream
//    expanded in pieces gives what the whole-stream expander gives;
//  - a chunk compressed by the sender expands to exactly that chunk, and the
//    fast match search writes the same block as the exhaustive one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/image_expander.h"
#include "upgrade/compressed_image_stream.h"

namespace {

void ExpandArbitrary(const uint8_t* data, size_t size) {
  std::vector<uint8_t> whole;
  std::string error;
  const bool ok = corvane::emu::BzExpand(data, size, whole, error);
  if (ok != error.empty()) __builtin_trap();

  // The same bytes fed in two pieces, split where the first byte says.
  corvane::emu::ImageExpander pieces;
  const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const bool fedOk = pieces.Feed(data, cut) && pieces.Feed(data + cut, size - cut);
  if (fedOk != pieces.Error().empty()) __builtin_trap();
  // Every block the piecewise expander finished is one the whole-stream
  // expander finished the same way.
  if (fedOk && pieces.Pending() == 0 && (!ok || pieces.Output() != whole)) __builtin_trap();
  if (ok && fedOk && pieces.Output() != whole) __builtin_trap();
  if (pieces.Output().size() > whole.size() + corvane::kBzChunkSize * (size / corvane::kBzHeaderSize + 1))
    __builtin_trap();
}

void RoundTrip(const uint8_t* data, size_t size) {
  const size_t n = size < corvane::kBzChunkSize ? size : corvane::kBzChunkSize;
  if (n == 0) return;
  std::vector<uint8_t> fast(corvane::kBzMaxBlockSize), exhaustive(corvane::kBzMaxBlockSize);
  const size_t length = corvane::CompressChunk(data, n, fast.data(), corvane::MatchSearch::kFast);
  if (length < corvane::kBzHeaderSize || length > corvane::kBzMaxBlockSize) __builtin_trap();
  // The exhaustive search costs up to 1019 comparisons a byte: short chunks only.
  if (n <= 2048) {
    const size_t refLength = corvane::CompressChunk(data, n, exhaustive.data(), corvane::MatchSearch::kExhaustive);
    if (refLength != length || !std::equal(fast.begin(), fast.begin() + length, exhaustive.begin())) __builtin_trap();
  }
  std::vector<uint8_t> out;
  std::string error;
  if (!corvane::emu::BzExpand(fast.data(), length, out, error)) __builtin_trap();
  if (out.size() != n || !std::equal(out.begin(), out.end(), data)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that a read one byte past the input is caught.
  const std::vector<uint8_t> input(data, data + size);
  ExpandArbitrary(input.data(), input.size());
  RoundTrip(input.data(), input.size());
  return 0;
}
