#include "emulator/image_expander.h"

namespace corvane::emu {
namespace {

constexpr uint32_t kChunk = 20480;
constexpr size_t kHeader = 8;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// Reads one block of `length` bytes at `block`. The byte cursor moves forwards
// from the header, the bit cursor backwards from the last byte; the two must
// not cross.
class BlockReader {
 public:
  BlockReader(const uint8_t* block, size_t length) : m_block(block), m_byte(kHeader), m_bitByte(length) {}

  bool Bit(unsigned& b) {
    if (m_bitCount == 0) {
      if (m_bitByte <= m_byte) return false;
      --m_bitByte;
      m_bitCount = 8;
    }
    --m_bitCount;
    b = (m_block[m_bitByte] >> m_bitCount) & 1u;
    return true;
  }
  bool Byte(uint8_t& v) {
    // A byte may not be taken from the bit stream's bytes already in use.
    if (m_byte >= m_bitByte) return false;
    v = m_block[m_byte++];
    return true;
  }

 private:
  const uint8_t* m_block;
  size_t m_byte;
  size_t m_bitByte;
  unsigned m_bitCount = 0;  // bits left in m_block[m_bitByte]
};

bool ExpandBlock(const uint8_t* block, size_t length, uint32_t raw, std::vector<uint8_t>& out, std::string& error) {
  if (raw == kChunk && length >= kChunk) {
    if (length < kHeader + kChunk) {
      error = "stored block shorter than its data";
      return false;
    }
    out.insert(out.end(), block + kHeader, block + kHeader + kChunk);
    return true;
  }
  BlockReader r(block, length);
  const size_t start = out.size();
  size_t produced = 0;
  auto fail = [&](const char* why) {
    error = why;
    return false;
  };
  while (produced < raw) {
    unsigned flag = 0;
    if (!r.Bit(flag)) return fail("bit stream ends inside the block");
    unsigned b = 0;
    if (flag == 0) {
      size_t c = 0;
      for (;;) {
        if (!r.Bit(b)) return fail("bit stream ends in a literal length");
        if (b == 1) break;
        ++c;
      }
      if (!r.Bit(b)) return fail("bit stream ends in a literal length");
      const size_t len = 2 * c + b;
      if (len == 0 || produced + len > raw) return fail("literal run of a wrong length");
      for (size_t i = 0; i < len; ++i) {
        uint8_t v = 0;
        if (!r.Byte(v)) return fail("byte stream ends in a literal run");
        out.push_back(v);
      }
      produced += len;
    } else {
      unsigned d8 = 0, d9 = 0;
      if (!r.Bit(d8) || !r.Bit(d9)) return fail("bit stream ends in a distance");
      uint8_t low = 0;
      if (!r.Byte(low)) return fail("byte stream ends in a distance");
      const size_t d = low + 256u * d8 + 512u * d9;
      size_t c = 0;
      for (;;) {
        if (!r.Bit(b)) return fail("bit stream ends in a match length");
        if (b == 0) break;
        ++c;
      }
      if (!r.Bit(b)) return fail("bit stream ends in a match length");
      const size_t len = 2 * (c + 2) + b;
      if (d == 0 || d > produced) return fail("match reaches before the block");
      if (produced + len > raw) return fail("match runs past the raw length");
      // Byte by byte: the copy may overlap what it produces.
      for (size_t i = 0; i < len; ++i) out.push_back(out[start + produced + i - d]);
      produced += len;
    }
  }
  return true;
}

}  // namespace

bool BzExpand(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& error) {
  size_t at = 0;
  while (at < size) {
    if (size - at < kHeader) {
      error = "block header cut short";
      return false;
    }
    const uint32_t length = Le32(data + at);
    const uint32_t raw = Le32(data + at + 4);
    if (length < kHeader || length > size - at) {
      error = "block length outside the data";
      return false;
    }
    if (raw == 0 || raw > kChunk) {
      error = "raw length outside 1 to 20480";
      return false;
    }
    if (!ExpandBlock(data + at, length, raw, out, error)) return false;
    at += length;
  }
  return true;
}

bool ImageExpander::Feed(const uint8_t* data, size_t size) {
  if (!m_error.empty()) return false;
  m_pending.insert(m_pending.end(), data, data + size);
  size_t at = 0;
  bool ok = true;
  while (m_pending.size() - at >= kHeader) {
    const uint32_t length = Le32(m_pending.data() + at);
    const uint32_t raw = Le32(m_pending.data() + at + 4);
    if (length < kHeader || raw == 0 || raw > kChunk || length > kHeader + 2 * kChunk + 4096) {
      m_error = "malformed block header";
      ok = false;
      break;
    }
    if (m_pending.size() - at < length) break;
    if (!ExpandBlock(m_pending.data() + at, length, raw, m_out, m_error)) {
      ok = false;
      break;
    }
    at += length;
  }
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(at));
  return ok;
}

}  // namespace corvane::emu
