#pragma once
// The boot loader's side of the compressed image: expands the block stream
// the host sends when the loader asked for compression.
//
// Each block: u32 LE block length (header included), u32 LE raw length, then a
// byte stream read forwards from offset 8 and a bit stream read backwards from
// the block's last byte, bit 7 first. A block whose raw length is 20480 and
// whose block length is 20480 or more is stored: its raw bytes follow the
// header. The next block starts block length bytes after this one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::emu {

// Expands a complete stream. Returns false and sets `error` on a malformed
// stream (a block that runs past the data, a token that runs past its block,
// a distance that reaches before the block's start); `out` then holds what
// was expanded before the fault.
bool BzExpand(const uint8_t* data, size_t size, std::vector<uint8_t>& out, std::string& error);

// Expands a stream as it arrives, one block at a time; the loader feeds it
// the data of each image block.
class ImageExpander {
 public:
  // Adds bytes; expands every block that is complete. False on a malformed block.
  bool Feed(const uint8_t* data, size_t size);
  // Whole blocks expanded so far.
  const std::vector<uint8_t>& Output() const { return m_out; }
  // Bytes of an unfinished block still waiting.
  size_t Pending() const { return m_pending.size(); }
  const std::string& Error() const { return m_error; }

 private:
  std::vector<uint8_t> m_pending;
  std::vector<uint8_t> m_out;
  std::string m_error;
};

}  // namespace corvane::emu
