#include "upgrade/compressed_image_stream.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdio.h>

#include "link/link_error.h"

namespace corvane {
namespace {


// ---- match search ----

// Common prefix of in[a..] and in[b..], stopping at `limit` bytes. The two
// may overlap: both read the input, which is complete.
inline size_t CommonLength(const uint8_t* in, size_t a, size_t b, size_t limit) {
  size_t len = 0;
  while (len + 8 <= limit) {
    uint64_t va, vb;
    std::memcpy(&va, in + a + len, 8);
    std::memcpy(&vb, in + b + len, 8);
    const uint64_t diff = va ^ vb;
    if (diff != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return len + static_cast<size_t>(__builtin_ctzll(diff)) / 8;
      else
        return len + static_cast<size_t>(__builtin_clzll(diff)) / 8;
    }
    len += 8;
  }
  while (len < limit && in[a + len] == in[b + len]) ++len;
  return len;
}

// Hash chains over the 4-byte groups of one chunk. Walking a chain from the
// nearest candidate outwards and taking only strictly longer matches gives
// the exhaustive search's answer: the longest, and the nearest among equals.
// Candidates shorter than the minimum are of no interest to the parse, so
// the search only reports matches of 4 bytes or more.
//
// Only the last 1024 positions can be candidates, so the links live in a
// ring of that size: a position's slot is reused only once it has left the
// window, and a walk stops at the first position outside it.
class HashChains {
 public:
  static constexpr int kHashBits = 13;
  static constexpr size_t kRing = 1024;
  static_assert(kRing > kBzMaxDistance);

  HashChains(const uint8_t* in, size_t n) : m_in(in), m_n(n) {
    std::fill(std::begin(m_head), std::end(m_head), -1);
  }

  // Longest match of kBzMinMatch or more at x; 0 when there is none.
  size_t Find(size_t x, size_t& source) {
    if (x < kBzMinDistance || x + kBzMinMatch > m_n) return 0;
    InsertUpTo(x - kBzMinDistance);
    const int32_t lo = static_cast<int32_t>(x > kBzMaxDistance ? x - kBzMaxDistance : 0);
    const size_t limit = m_n - x;
    size_t best = kBzMinMatch - 1;
    size_t bestSource = 0;
    for (int32_t s = m_head[Hash(x)]; s >= lo; s = m_prev[static_cast<size_t>(s) % kRing]) {
      const size_t c = static_cast<size_t>(s);
      // A farther candidate must be strictly longer: it has to agree up to
      // and including `best`; the four bytes that end there reject most.
      if (Load32(c + best - 3) != Load32(x + best - 3)) continue;
      const size_t len = CommonLength(m_in, c, x, limit);
      if (len > best) {
        best = len;
        bestSource = c;
        if (len == limit) break;
      }
    }
    if (best < kBzMinMatch) return 0;
    source = bestSource;
    return best;
  }

 private:
  uint32_t Load32(size_t i) const {
    uint32_t v;
    std::memcpy(&v, m_in + i, 4);
    return v;
  }
  uint32_t Hash(size_t i) const { return (Load32(i) * 2654435761u) >> (32 - kHashBits); }
  void InsertUpTo(size_t last) {
    // Positions without four bytes after them never start a long enough match.
    const size_t end = std::min(last + 1, m_n >= 3 ? m_n - 3 : 0);
    for (; m_next < end; ++m_next) {
      const uint32_t h = Hash(m_next);
      m_prev[m_next % kRing] = m_head[h];
      m_head[h] = static_cast<int32_t>(m_next);
    }
  }

  const uint8_t* m_in;
  size_t m_n;
  int32_t m_head[size_t{1} << kHashBits];
  int32_t m_prev[kRing];
  size_t m_next = 0;
};

// The bit stream of one block. A token costs at most 3 bits per byte it
// stands for (a one-byte literal run; a run is always followed by a match of
// four bytes or more), so n bytes never need more than n / 2 + 2 bytes of bits.
class BitWriter {
 public:
  explicit BitWriter(size_t n) : m_bits(n / 2 + 16, 0) {}
  void Put(unsigned b) {
    m_bits[m_index] = static_cast<uint8_t>((m_bits[m_index] << 1) | (b & 1));
    if (++m_count == 8) {
      m_count = 0;
      ++m_index;
    }
  }
  // `count` equal bits; whole bytes at a time where it can.
  void PutRepeat(unsigned b, size_t count) {
    while (count > 0 && m_count != 0) {
      Put(b);
      --count;
    }
    const size_t bytes = count / 8;
    if (bytes > 0) {
      std::memset(m_bits.data() + m_index, b ? 0xFF : 0x00, bytes);
      m_index += bytes;
      count -= bytes * 8;
    }
    while (count-- > 0) Put(b);
  }
  void Flush() {
    while (m_count != 0) Put(0);
  }
  // Bytes used so far, counting a partly filled one.
  size_t Used() const { return m_index + (m_count != 0 ? 1 : 0); }
  size_t Index() const { return m_index; }
  uint8_t At(size_t i) const { return m_bits[i]; }

 private:
  std::vector<uint8_t> m_bits;
  size_t m_index = 0;
  unsigned m_count = 0;
};

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

size_t LongestMatchExhaustive(const uint8_t* in, size_t n, size_t x, size_t& source) {
  if (x < kBzMinDistance) return 0;
  const size_t first = x > kBzMaxDistance ? x - kBzMaxDistance : 0;
  size_t best = 0;
  for (size_t s = first; s <= x - kBzMinDistance; ++s) {
    size_t len = 0;
    while (x + len < n && in[x + len] == in[s + len]) ++len;
    if (len >= best) {
      best = len;
      source = s;
    }
  }
  return best;
}

namespace {

// The exhaustive search, as a finder.
struct Exhaustive {
  const uint8_t* in;
  size_t n;
  size_t Find(size_t x, size_t& source) const { return LongestMatchExhaustive(in, n, x, source); }
};

template <typename Finder>
size_t Compress(const uint8_t* in, size_t n, uint8_t* out, Finder& finder) {
  auto find = [&](size_t x, size_t& source) { return finder.Find(x, source); };

  BitWriter bits(n);
  size_t fill = kBzHeaderSize;
  // A full chunk is stored once its block reaches the chunk size; the bits
  // only add to it, so there is no point in going on then.
  auto mustStore = [&] { return n == kBzChunkSize && fill + bits.Used() >= kBzChunkSize; };

  size_t p = 0;
  while (p < n && !mustStore()) {
    size_t q = p;
    size_t len = 0;
    size_t source = 0;
    while (q < n) {
      len = find(q, source);
      if (len >= kBzMinMatch) break;
      ++q;
    }
    if (q > p) {
      const size_t run = q - p;
      bits.Put(0);
      bits.PutRepeat(0, run / 2);
      bits.Put(1);
      bits.Put(run & 1);
      std::memcpy(out + fill, in + p, run);
      fill += run;
      p = q;
    }
    if (p < n) {
      const size_t d = p - source;
      bits.Put(1);
      bits.Put((d >> 8) & 1);
      bits.Put((d >> 9) & 1);
      bits.PutRepeat(1, len / 2 - 2);
      bits.Put(0);
      bits.Put(len & 1);
      out[fill++] = static_cast<uint8_t>(d & 0xFF);
      p += len;
    }
  }
  if (mustStore()) {
    std::memcpy(out + kBzHeaderSize, in, kBzChunkSize);
    PutLe32(out, static_cast<uint32_t>(kBzStoredBlockSize));
    PutLe32(out + 4, static_cast<uint32_t>(kBzChunkSize));
    return kBzStoredBlockSize;
  }
  bits.Flush();
  for (size_t i = bits.Index(); i > 0; --i) out[fill++] = bits.At(i - 1);
  PutLe32(out, static_cast<uint32_t>(fill));
  PutLe32(out + 4, static_cast<uint32_t>(n));
  return fill;
}

}  // namespace

size_t CompressChunk(const uint8_t* in, size_t n, uint8_t* out, MatchSearch search) {
  if (search == MatchSearch::kExhaustive) {
    Exhaustive finder{in, n};
    return Compress(in, n, out, finder);
  }
  HashChains finder(in, n);
  return Compress(in, n, out, finder);
}

// ---- streams ----

int64_t ImageStream::Size() {
  const int64_t here = Seek(0, kFromCurrent);
  const int64_t end = Seek(0, kFromEnd);
  Seek(here, kFromBeginning);
  return end;
}

FileImageStream::FileImageStream(const std::string& fileName) : m_name(fileName) {
  m_file = std::fopen(fileName.c_str(), "rb");
  if (m_file == nullptr)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot open file " + fileName,
                      "Cannot open " + fileName + ": " + std::strerror(errno) + ".");
}

FileImageStream::~FileImageStream() {
  if (m_file != nullptr) std::fclose(m_file);
}

int32_t FileImageStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  const size_t got = std::fread(buffer, 1, static_cast<size_t>(count), m_file);
  // A short read is the end of the file only if the file says so; sending a
  // truncated image as if it were whole would be worse than failing.
  if (got < static_cast<size_t>(count) && std::ferror(m_file)) throw DeviceError(ErrorKind::kLocalFile, "Stream read error");
  return static_cast<int32_t>(got);
}

int64_t FileImageStream::Seek(int64_t offset, Origin origin) {
  const int whence = origin == kFromBeginning ? SEEK_SET : origin == kFromCurrent ? SEEK_CUR : SEEK_END;
  if (::fseeko(m_file, static_cast<off_t>(offset), whence) != 0) throw DeviceError(ErrorKind::kLocalFile, "Stream seek error");
  return static_cast<int64_t>(::ftello(m_file));
}

CompressedImageStream::CompressedImageStream(const std::string& fileName, MatchSearch search)
    : m_source(fileName), m_search(search), m_buffer(kBzBufferSize), m_chunk(kBzChunkSize) {}

int32_t CompressedImageStream::Read(void* buffer, int32_t count) {
  if (count <= 0) return 0;
  if (m_fillPos - m_readPos < count) CompressStep();
  const int32_t n = std::min(count, m_fillPos - m_readPos);
  std::memcpy(buffer, m_buffer.data() + m_readPos, static_cast<size_t>(n));
  m_readPos += n;
  return n;
}

int32_t CompressedImageStream::Write(const void*, int32_t) {
  throw DeviceError(ErrorKind::kFailed, "Error, Write not supported on BZ read streams");
}

int64_t CompressedImageStream::Seek(int64_t offset, Origin origin) { return m_source.Seek(offset, origin); }

void CompressedImageStream::CompressStep() {
  const int32_t pending = m_fillPos - m_readPos;
  std::memmove(m_buffer.data(), m_buffer.data() + m_readPos, static_cast<size_t>(pending));
  m_readPos = 0;
  m_fillPos = pending;
  // No room for another block: the caller gets what is pending.
  if (static_cast<size_t>(m_fillPos) + kBzMaxBlockSize > kBzBufferSize) return;

  const int32_t n = m_source.Read(m_chunk.data(), static_cast<int32_t>(kBzChunkSize));
  if (n <= 0) return;
  const size_t length =
      CompressChunk(m_chunk.data(), static_cast<size_t>(n), m_buffer.data() + m_fillPos, m_search);
  m_fillPos += static_cast<int32_t>(length);
  if (OnLog) OnLog("compress block " + std::to_string(length) + " " + std::to_string(n));
}

}  // namespace corvane
