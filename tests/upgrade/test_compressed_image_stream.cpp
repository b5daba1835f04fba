// The compressed image stream: exact blocks, the fast search against the
// exhaustive one, and the loader's decoder on what the stream produces.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "emulator/image_expander.h"
#include "link/link_error.h"
#include "upgrade/compressed_image_stream.h"

namespace corvane {
namespace {

using Data = std::vector<uint8_t>;

Data FromText(const std::string& s) { return Data(s.begin(), s.end()); }

Data Hex(const std::string& hex) {
  Data out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

class TempFile {
 public:
  explicit TempFile(const Data& data) {
    char name[] = "/tmp/corvane_bz_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    ::close(fd);
    m_path = name;
    std::ofstream(m_path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                  static_cast<std::streamsize>(data.size()));
  }
  ~TempFile() { std::remove(m_path.c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// The whole stream as the sender reads it, in 1024-byte reads.
Data StreamOf(const Data& data, MatchSearch search = MatchSearch::kFast, std::vector<std::string>* log = nullptr) {
  TempFile file(data);
  CompressedImageStream stream(file.Path(), search);
  if (log != nullptr) stream.OnLog = [log](const std::string& line) { log->push_back(line); };
  Data out;
  uint8_t buf[1024];
  for (;;) {
    const int32_t n = stream.Read(buf, sizeof buf);
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

Data ChunkOf(const Data& data, MatchSearch search) {
  Data out(kBzMaxBlockSize);
  out.resize(CompressChunk(data.data(), data.size(), out.data(), search));
  return out;
}

Data Expand(const Data& stream) {
  Data out;
  std::string error;
  EXPECT_TRUE(emu::BzExpand(stream.data(), stream.size(), out, error)) << error;
  return out;
}

uint32_t Le32(const Data& d, size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

// The matches of one compressed block as (distance, length), read from its
// bit and byte streams; a check of the token layout independent of the decoder.
std::vector<std::pair<size_t, size_t>> MatchesOf(const Data& block) {
  std::vector<std::pair<size_t, size_t>> matches;
  size_t byte = 8, bitByte = block.size();
  int bitsLeft = 0;
  auto bit = [&] {
    if (bitsLeft == 0) {
      --bitByte;
      bitsLeft = 8;
    }
    --bitsLeft;
    return (block[bitByte] >> bitsLeft) & 1;
  };
  size_t produced = 0;
  const size_t raw = Le32(block, 4);
  while (produced < raw) {
    if (bit() == 0) {
      size_t c = 0;
      while (bit() == 0) ++c;
      const size_t len = 2 * c + bit();
      byte += len;
      produced += len;
    } else {
      const size_t d8 = bit(), d9 = bit();
      const size_t d = block[byte++] + 256 * d8 + 512 * d9;
      size_t c = 0;
      while (bit() == 1) ++c;
      const size_t len = 2 * (c + 2) + bit();
      matches.emplace_back(d, len);
      produced += len;
    }
  }
  return matches;
}

Data Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Data d(n);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  return d;
}

// ---- exact blocks ----

TEST(BzStream, KnownBlocks) {
  EXPECT_EQ(StreamOf(FromText("abc")), Hex("0C 00 00 00 03 00 00 00 61 62 63 30"));
  EXPECT_EQ(StreamOf(FromText("abcdeabcdeabcde")), Hex("10 00 00 00 0F 00 00 00 61 62 63 64 65 05 E0 1C"));
  EXPECT_EQ(StreamOf(FromText("aaaaaaaaaa")), Hex("10 00 00 00 0A 00 00 00 61 61 61 61 61 05 40 1C"));
  for (auto search : {MatchSearch::kFast, MatchSearch::kExhaustive}) {
    EXPECT_EQ(ChunkOf(FromText("abcdeabcdeabcde"), search), Hex("10 00 00 00 0F 00 00 00 61 62 63 64 65 05 E0 1C"));
  }
}

TEST(BzStream, EmptyFileGivesNoBlockAndNoLogLine) {
  std::vector<std::string> log;
  EXPECT_TRUE(StreamOf({}, MatchSearch::kFast, &log).empty());
  EXPECT_TRUE(log.empty());
}

TEST(BzStream, FullChunkOfEqualBytesIs1295WithItsLogLine) {
  for (uint8_t value : {uint8_t{0}, uint8_t{0xA5}}) {
    std::vector<std::string> log;
    const Data stream = StreamOf(Data(20480, value), MatchSearch::kFast, &log);
    ASSERT_EQ(stream.size(), 1295u);
    EXPECT_EQ(Le32(stream, 0), 1295u);
    EXPECT_EQ(Le32(stream, 4), 20480u);
    EXPECT_EQ(MatchesOf(stream), (std::vector<std::pair<size_t, size_t>>{{5, 20475}}));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "compress block 1295 20480");
  }
}

TEST(BzStream, ChunkBoundaryStartsANewBlock) {
  Data data = Random(20481, 7);
  std::vector<std::string> log;
  const Data stream = StreamOf(data, MatchSearch::kFast, &log);
  ASSERT_EQ(log.size(), 2u);
  const uint32_t first = Le32(stream, 0);
  EXPECT_EQ(Le32(stream, 4), 20480u);
  ASSERT_EQ(stream.size(), first + 10u);  // the second block: header, one literal, its three bits
  EXPECT_EQ(Le32(stream, first), 10u);
  EXPECT_EQ(Le32(stream, first + 4), 1u);
  EXPECT_EQ(stream[first + 8], data[20480]);
  EXPECT_EQ(log[1], "compress block 10 1");
  EXPECT_EQ(Expand(stream), data);
}

TEST(BzStream, IncompressibleFullChunkIsStoredAndPartialOneIsNot) {
  const Data data = Random(20480, 1);
  std::vector<std::string> log;
  const Data stream = StreamOf(data, MatchSearch::kFast, &log);
  ASSERT_EQ(stream.size(), kBzStoredBlockSize);
  EXPECT_EQ(Le32(stream, 0), 20488u);
  EXPECT_EQ(Le32(stream, 4), 20480u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), stream.begin() + 8));
  EXPECT_EQ(log, std::vector<std::string>{"compress block 20488 20480"});
  EXPECT_EQ(ChunkOf(data, MatchSearch::kExhaustive), stream);

  // All literals in one run: 8 + 20479 + the bits of the run; never stored.
  const Data partial(data.begin(), data.end() - 1);
  const Data block = ChunkOf(partial, MatchSearch::kFast);
  EXPECT_EQ(block.size(), 8u + 20479u + (2 + 20479 / 2 + 7) / 8);
  EXPECT_EQ(Le32(block, 4), 20479u);
  EXPECT_EQ(Expand(block), partial);
}

TEST(BzStream, ShortPeriodsUseTheNearestDistanceOfFiveOrMore) {
  for (size_t period = 1; period <= 8; ++period) {
    Data data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>('a' + i % period);
    const Data block = ChunkOf(data, MatchSearch::kFast);
    const auto matches = MatchesOf(block);
    ASSERT_FALSE(matches.empty()) << period;
    size_t expected = period;
    while (expected < 5) expected += period;
    for (const auto& m : matches) {
      EXPECT_GE(m.first, 5u);
      EXPECT_EQ(m.first, expected) << "period " << period;
    }
    EXPECT_EQ(Expand(block), data);
  }
}

// ---- the fast search against the exhaustive one ----

void ExpectSameChunks(const Data& data, const std::string& what) {
  for (size_t at = 0; at < data.size(); at += kBzChunkSize) {
    const Data chunk(data.begin() + static_cast<std::ptrdiff_t>(at),
                     data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + kBzChunkSize)));
    const Data fast = ChunkOf(chunk, MatchSearch::kFast);
    ASSERT_EQ(fast, ChunkOf(chunk, MatchSearch::kExhaustive)) << what << " chunk at " << at;
    ASSERT_EQ(Expand(fast), chunk) << what << " chunk at " << at;
  }
}

TEST(BzSearch, FastEqualsExhaustiveOnRandomRunsAndPeriods) {
  ExpectSameChunks(Random(3 * kBzChunkSize + 77, 42), "random");
  // Random bytes from a small alphabet: many short candidates, many ties.
  Data small = Random(2 * kBzChunkSize, 3);
  for (auto& b : small) b &= 3;
  ExpectSameChunks(small, "four-letter alphabet");
  // Runs of random length and value, with random noise between them.
  std::mt19937 rng(9);
  Data runs;
  while (runs.size() < 2 * kBzChunkSize) {
    runs.insert(runs.end(), rng() % 300, static_cast<uint8_t>(rng() % 3));
    for (unsigned i = rng() % 6; i > 0; --i) runs.push_back(static_cast<uint8_t>(rng()));
  }
  ExpectSameChunks(runs, "runs");
  for (size_t period = 1; period <= 8; ++period) {
    Data periodic(kBzChunkSize + 100);
    const Data unit = Random(period, static_cast<uint32_t>(period));
    for (size_t i = 0; i < periodic.size(); ++i) periodic[i] = unit[i % period];
    // A few flipped bytes break the long matches into shorter ones.
    for (size_t i = 777; i < periodic.size(); i += 1531) periodic[i] ^= 0x5A;
    ExpectSameChunks(periodic, "period " + std::to_string(period));
  }
}

TEST(BzSearch, FastEqualsExhaustiveOnText) {
  std::string text;
  const char* words[] = {"the ", "device ", "loader ", "block ", "erase ", "system ", "image ", "\r\n", "of ", "a "};
  std::mt19937 rng(5);
  while (text.size() < 2 * kBzChunkSize) text += words[rng() % 10];
  ExpectSameChunks(FromText(text), "text");
}

TEST(BzSearch, FastEqualsExhaustiveOnSystemBinaries) {
  // A few chunks from each of the first programs found, to keep this quick.
  DIR* dir = ::opendir("/usr/bin");
  ASSERT_NE(dir, nullptr);
  int files = 0;
  while (dirent* e = ::readdir(dir)) {
    if (files == 4) break;
    const std::string path = std::string("/usr/bin/") + e->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 60000) continue;
    std::ifstream in(path, std::ios::binary);
    Data data(3 * kBzChunkSize);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<size_t>(in.gcount()));
    ExpectSameChunks(data, path);
    ++files;
  }
  ::closedir(dir);
  EXPECT_EQ(files, 4);
}

// ---- the stream ----

TEST(BzStream, ReadsOf1024AreFullUntilTheLastBlock) {
  Data data = Random(3 * kBzChunkSize + 500, 11);
  for (size_t i = 0; i < 20000; ++i) data[kBzChunkSize + i] = 0;  // one chunk that shrinks
  const Data whole = StreamOf(data);
  TempFile file(data);
  CompressedImageStream stream(file.Path());
  std::vector<int32_t> sizes;
  uint8_t buf[1024];
  for (;;) {
    const int32_t n = stream.Read(buf, sizeof buf);
    sizes.push_back(n);
    if (n == 0) break;
  }
  EXPECT_EQ(stream.Read(buf, sizeof buf), 0);
  ASSERT_GE(sizes.size(), 3u);
  for (size_t i = 0; i + 2 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 1024) << i;
  EXPECT_EQ(sizes[sizes.size() - 2], static_cast<int32_t>(whole.size() % 1024));
  EXPECT_EQ(Expand(whole), data);
}

TEST(BzStream, CompressesWhileReadingNotBefore) {
  const Data data = Random(1 << 20, 13);
  TempFile file(data);
  CompressedImageStream stream(file.Path());
  int blocks = 0;
  stream.OnLog = [&](const std::string&) { ++blocks; };
  EXPECT_EQ(stream.Size(), 1 << 20);
  EXPECT_EQ(stream.Position(), 0);
  uint8_t buf[1024];
  ASSERT_EQ(stream.Read(buf, sizeof buf), 1024);
  EXPECT_EQ(blocks, 1);
  EXPECT_EQ(stream.Position(), 20480);
  // Reading on takes one chunk at a time; Size does not disturb the position.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(stream.Read(buf, sizeof buf), 1024);
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(stream.Size(), 1 << 20);
  EXPECT_EQ(stream.Position(), 40960);
}

TEST(BzStream, LargeReadsStayWithinTheBuffer) {
  const Data data = Random(10 * kBzChunkSize, 17);
  const Data whole = StreamOf(data);
  TempFile file(data);
  CompressedImageStream stream(file.Path());
  Data got;
  std::vector<uint8_t> buf(200000);
  for (;;) {
    const int32_t n = stream.Read(buf.data(), static_cast<int32_t>(buf.size()));
    ASSERT_LE(n, static_cast<int32_t>(kBzBufferSize));
    if (n == 0) break;
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  }
  EXPECT_EQ(got, whole);
}

TEST(BzStream, WriteAndOpenErrors) {
  TempFile file(FromText("abc"));
  CompressedImageStream stream(file.Path());
  try {
    stream.Write("x", 1);
    FAIL() << "Write succeeded";
  } catch (const DeviceError& e) {
    EXPECT_STREQ(e.what(), "Error, Write not supported on BZ read streams");
  }
  try {
    CompressedImageStream missing("/nonexistent/corvane/image.bix");
    FAIL() << "opened a missing file";
  } catch (const DeviceError& e) {
    EXPECT_STREQ(e.what(), "Cannot open file /nonexistent/corvane/image.bix");
    EXPECT_EQ(e.Kind(), ErrorKind::kLocalFile);
    EXPECT_NE(e.Detail().find("No such file"), std::string::npos) << e.Detail();
  }
}

// ---- the loader's decoder ----

TEST(BzExpand, RoundTripsMixedDataThroughIncrementalFeeding) {
  Data data = Random(5 * kBzChunkSize + 333, 19);  // stored blocks
  for (size_t i = kBzChunkSize; i < 3 * kBzChunkSize; ++i) data[i] = static_cast<uint8_t>("period!"[i % 7]);
  const Data stream = StreamOf(data);
  emu::ImageExpander expander;
  for (size_t at = 0; at < stream.size(); at += 1024)
    ASSERT_TRUE(expander.Feed(stream.data() + at, std::min<size_t>(1024, stream.size() - at))) << expander.Error();
  EXPECT_EQ(expander.Pending(), 0u);
  EXPECT_EQ(expander.Output(), data);
}

TEST(BzExpand, AcceptsAStoredBlockThatKeepsItsCompressedPrefix) {
  // A stored block may run on past its raw data; the decoder moves on by the
  // block length either way.
  const Data raw = Random(kBzChunkSize, 23);
  Data block(8);
  const uint32_t length = 20488 + 21000;
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(length >> (8 * i));
  block[5] = 0x50;  // 20480
  block.insert(block.end(), raw.begin(), raw.end());
  block.resize(length, 0xEE);
  Data stream = block;
  const Data tail = ChunkOf(FromText("abcdeabcdeabcde"), MatchSearch::kFast);
  stream.insert(stream.end(), tail.begin(), tail.end());
  const Data out = Expand(stream);
  ASSERT_EQ(out.size(), kBzChunkSize + 15);
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), out.begin()));
}

TEST(BzExpand, RejectsMalformedBlocks) {
  Data out;
  std::string error;
  const Data good = Hex("10 00 00 00 0F 00 00 00 61 62 63 64 65 05 E0 1C");
  Data cut(good.begin(), good.end() - 1);
  EXPECT_FALSE(emu::BzExpand(cut.data(), cut.size(), out, error));
  // A match at distance 6 with only 5 bytes before it.
  Data early = Hex("10 00 00 00 0F 00 00 00 61 62 63 64 65 06 E0 1C");
  out.clear();
  EXPECT_FALSE(emu::BzExpand(early.data(), early.size(), out, error));
  EXPECT_EQ(error, "match reaches before the block");
  // Raw length larger than the tokens give: the bit stream runs out.
  Data longer = good;
  longer[4] = 0x40;
  out.clear();
  EXPECT_FALSE(emu::BzExpand(longer.data(), longer.size(), out, error));
}

}  // namespace
}  // namespace corvane
