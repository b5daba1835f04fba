#pragma once
// The ROM image as the boot loader takes it when it asks for compression: a
// read-only stream that compresses the file one chunk at a time, on demand.
//
// Stream layout: one block per chunk of at most 20480 file bytes, in order, no
// stream header or trailer. Block:
//   0  u32 LE  block length (header included)
//   4  u32 LE  raw length (file bytes the block stands for, 1..20480)
//   8  ...     byte stream (literals, low bytes of distances), read forwards
//   .. ...     bit stream, read backwards from the block's last byte, bit 7 first
// Tokens (flag bit first):
//   literal run of L>=1:  0, L/2 zeros, 1, L&1           bytes: the L literals
//   match L>=4, dist D:   1, D bit 8, D bit 9, L/2-2 ones, 0, L&1   byte: D&0xFF
// A full chunk that does not shrink below 20480 bytes is stored instead: raw
// length 20480, block length 20488, the 20480 raw bytes at offset 8.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane {

inline constexpr size_t kBzChunkSize = 20480;
inline constexpr size_t kBzBufferSize = 102400;
inline constexpr size_t kBzHeaderSize = 8;
// A full stored block: header and the raw chunk.
inline constexpr size_t kBzStoredBlockSize = kBzHeaderSize + kBzChunkSize;
// Working space of one block: a full chunk of literals in one run would take
// 21769 bytes before it is found not to shrink and is stored.
inline constexpr size_t kBzMaxBlockSize = 21769;
inline constexpr size_t kBzMinMatch = 4;
inline constexpr size_t kBzMinDistance = 5;
inline constexpr size_t kBzMaxDistance = 1023;

// How the longest match is looked for. Both give the same output byte for
// byte; the exhaustive search is the reference the fast one is checked
// against (tests and benchmark).
enum class MatchSearch { kFast, kExhaustive };

// Compresses one chunk (1..20480 bytes) into one block at `out`, which must
// hold kBzMaxBlockSize bytes. Returns the block length. A full chunk that
// does not shrink comes back stored.
size_t CompressChunk(const uint8_t* in, size_t n, uint8_t* out, MatchSearch search = MatchSearch::kFast);

// The longest match at x of the exhaustive search: candidates x-1023..x-5,
// ties to the nearest. Returns the length (0 without candidates) and sets
// `source`. Exposed for tests.
size_t LongestMatchExhaustive(const uint8_t* in, size_t n, size_t x, size_t& source);

// A read-only byte stream: the image as sent, plain or compressed.
class ImageStream {
 public:
  enum Origin { kFromBeginning = 0, kFromCurrent = 1, kFromEnd = 2 };
  virtual ~ImageStream() = default;
  // Up to count bytes; 0 at the end.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int64_t Seek(int64_t offset, Origin origin) = 0;
  // Size by seeking to the end and back.
  int64_t Size();
  int64_t Position() { return Seek(0, kFromCurrent); }
};

// A file opened read-only; raises DeviceError "Cannot open file <path>".
class FileImageStream : public ImageStream {
 public:
  explicit FileImageStream(const std::string& fileName);
  ~FileImageStream() override;
  FileImageStream(const FileImageStream&) = delete;
  FileImageStream& operator=(const FileImageStream&) = delete;
  // Raises DeviceError "Stream read error" when the file cannot be read.
  int32_t Read(void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, Origin origin) override;


 private:
  std::FILE* m_file = nullptr;
  std::string m_name;
};

class CompressedImageStream : public ImageStream {
 public:
  // Opens the file for reading; raises DeviceError "Cannot open file <path>"
  // when it cannot. Nothing is compressed yet.
  explicit CompressedImageStream(const std::string& fileName, MatchSearch search = MatchSearch::kFast);
  static std::unique_ptr<CompressedImageStream> Create(const std::string& fileName) {
    return std::make_unique<CompressedImageStream>(fileName);
  }

  // Delivers up to count compressed bytes; compresses at most one chunk per
  // call, so a call may return less than asked before the end. 0 = end.
  // Requests beyond 80631 bytes may come back short.
  int32_t Read(void* buffer, int32_t count) override;
  // Always raises "Error, Write not supported on BZ read streams".
  int32_t Write(const void* buffer, int32_t count);
  // Positions the source file (the compressed output cannot be positioned):
  // Size is the uncompressed size, Position the file bytes taken into blocks.
  int64_t Seek(int64_t offset, Origin origin) override;

  // Receives "compress block <block length> <raw length>" for each block.
  std::function<void(const std::string&)> OnLog;

 private:
  void CompressStep();

  FileImageStream m_source;
  MatchSearch m_search;
  std::vector<uint8_t> m_buffer;  // kBzBufferSize bytes
  std::vector<uint8_t> m_chunk;   // kBzChunkSize bytes
  int32_t m_readPos = 0;
  int32_t m_fillPos = 0;
};

}  // namespace corvane
