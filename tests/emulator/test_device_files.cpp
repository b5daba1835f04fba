// The emulated device's file system: names, paths, objects, listings, command lines.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "emulator/device_files.h"
#include "protocol/listing.h"

namespace corvane::emu {
namespace {

TEST(DeviceNames, UnsafeNamesNeverLeaveTheRoot) {
  EXPECT_TRUE(IsSafeName("a b"));
  EXPECT_TRUE(IsSafeName("caf\xE9"));
  EXPECT_TRUE(IsSafeName("..."));
  EXPECT_FALSE(IsSafeName(""));
  EXPECT_FALSE(IsSafeName("."));
  EXPECT_FALSE(IsSafeName(".."));
  EXPECT_FALSE(IsSafeName("a/b"));
  EXPECT_FALSE(IsSafeName(Bytes("a\0b", 3)));

  EXPECT_EQ(ResolveDevicePath("x", "\\"), fs::path());
  EXPECT_EQ(ResolveDevicePath("x", "\\\\a\\\\b\\"), fs::path("a/b"));
  EXPECT_EQ(ResolveDevicePath("x", "f"), fs::path("x/f"));
  EXPECT_EQ(ResolveDevicePath("x", "y\\f"), fs::path("x/y/f"));
  EXPECT_EQ(ResolveDevicePath("", "a"), fs::path("a"));
  EXPECT_FALSE(ResolveDevicePath("x", "..").has_value());
  EXPECT_FALSE(ResolveDevicePath("x", "\\..\\etc").has_value());
  EXPECT_FALSE(ResolveDevicePath("x", "a\\..\\..\\b").has_value());
  EXPECT_FALSE(ResolveDevicePath("x", "/etc/passwd").has_value());
  EXPECT_FALSE(ResolveDevicePath("x", "a/../../b").has_value());

  EXPECT_EQ(DevicePathOf(fs::path()), "\\");
  EXPECT_EQ(DevicePathOf(fs::path("a/b")), "\\a\\b\\");
}

TEST(TallisLines, TheThreeFormsAreUnderstoodExactly) {
  TallisLine t = ParseTallisLine("HOME  ");
  EXPECT_EQ(t.kind, TallisLine::kHome);
  EXPECT_TRUE(t.folders.empty());
  t = ParseTallisLine("HOME  docs sub ");
  EXPECT_EQ(t.kind, TallisLine::kHome);
  EXPECT_EQ(t.folders, (std::vector<Bytes>{"docs", "sub"}));
  EXPECT_EQ(ParseTallisLine("HOME").kind, TallisLine::kHome);

  t = ParseTallisLine("'A B' PURGE");
  EXPECT_EQ(t.kind, TallisLine::kPurge);
  EXPECT_EQ(t.name, "A B");

  t = ParseTallisLine("'OLD' DUP RCL SWAP PURGE'NEW' STO");
  EXPECT_EQ(t.kind, TallisLine::kRename);
  EXPECT_EQ(t.name, "OLD");
  EXPECT_EQ(t.newName, "NEW");
  t = ParseTallisLine("'x\xE9' DUP RCL SWAP PURGE'y z' STO");
  EXPECT_EQ(t.kind, TallisLine::kRename);
  EXPECT_EQ(t.name, "x\xE9");
  EXPECT_EQ(t.newName, "y z");

  for (const char* other : {"HOMEX a", "home a", "'A' PURGE ", "A PURGE", "'' PURGE", "'A'B' PURGE", "'A' purge",
                            "'OLD' DUP RCL SWAP PURGE 'NEW' STO", "'OLD' DUP RCL SWAP PURGE'NEW' STO ",
                            "'OLD' DUP RCL SWAP PURGE'' STO", "'' DUP RCL SWAP PURGE'NEW' STO", "1 2 +", "", "'"})
    EXPECT_EQ(ParseTallisLine(other).kind, TallisLine::kUnknown) << other;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvane-emu-unit-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }
  void TearDown() override { fs::remove_all(m_dir); }
  void Write(const fs::path& rel, const Bytes& bytes) {
    std::ofstream out(m_dir / rel, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  fs::path m_dir;
};

using TallisObjects = TempDir;

TEST_F(TallisObjects, HeaderGivesTheBodySizeAndPlainFilesAreWrapped) {
  EXPECT_EQ(MakeTallisHeader(0x01020304), Bytes("CVOBJ\x04\x03\x02\x01", 9));
  EXPECT_EQ(ParseTallisHeader(MakeTallisHeader(77)), 77u);
  EXPECT_FALSE(ParseTallisHeader("CVOB").has_value());
  EXPECT_FALSE(ParseTallisHeader(Bytes("XVOBJ\0\0\0\0", 9)).has_value());

  Write("obj", MakeTallisHeader(100) + Bytes(100, 'b'));
  ServedFile s = DescribeFile(m_dir / "obj", true);
  EXPECT_EQ(s.listedSize, 100u);
  EXPECT_TRUE(s.prefix.empty());
  EXPECT_EQ(s.Total(), 109u);  // what the PC expects: listed + 9

  Write("plain", "hello");
  s = DescribeFile(m_dir / "plain", true);
  EXPECT_EQ(s.listedSize, 5u);
  EXPECT_EQ(s.prefix, MakeTallisHeader(5));
  EXPECT_EQ(s.Total(), 14u);

  // A header whose length disagrees with the file is not trusted.
  Write("liar", MakeTallisHeader(1000) + "x");
  s = DescribeFile(m_dir / "liar", true);
  EXPECT_EQ(s.listedSize, 10u);
  EXPECT_EQ(s.Total(), 19u);

  // A Quillon serves every file as it is.
  s = DescribeFile(m_dir / "obj", false);
  EXPECT_EQ(s.listedSize, 109u);
  EXPECT_TRUE(s.prefix.empty());
}

TEST(TallisObjectsReceived, PaddingIsCutByTheHeaderOnly) {
  EXPECT_EQ(TallisReceivedLength(MakeTallisHeader(100), 1024), 109u);
  EXPECT_EQ(TallisReceivedLength(MakeTallisHeader(1015), 1024), 1024u);
  // A header announcing more than arrived, or no header: keep everything.
  EXPECT_EQ(TallisReceivedLength(MakeTallisHeader(2000), 1024), 1024u);
  EXPECT_EQ(TallisReceivedLength("plain text", 1024), 1024u);
  EXPECT_EQ(TallisReceivedLength("", 0), 0u);
}

using Listings = TempDir;

TEST_F(Listings, FoldersAreSortedAndEncodedInTheKindsLayout) {
  fs::create_directory(m_dir / "b dir");
  Write("a", "12345");
  Write("Z\xE9", "1");
  Write(".corvane-emu-abc123", "unfinished upload");
  const auto entries = ReadFolder(m_dir, false);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "Z\xE9");
  EXPECT_EQ(entries[1].name, "a");
  EXPECT_EQ(entries[2].name, "b dir");
  EXPECT_TRUE(entries[2].directory);

  for (bool tallis : {false, true}) {
    const auto parsed = ParseListing(EncodeListing(ReadFolder(m_dir, tallis), tallis), !tallis);
    ASSERT_EQ(parsed.size(), 3u);
    EXPECT_EQ(parsed[0].name, "Z\xE9");
    EXPECT_EQ(parsed[1].size, 5u);
    EXPECT_EQ(parsed[1].kind, kKindFile);
    EXPECT_EQ(parsed[2].kind, kKindDirectory);
    EXPECT_EQ(parsed[2].size, 0u);
  }
  // Tallis records: type code 0x2A2C and the size in nibbles.
  const Bytes tallis = EncodeListing({{"a", false, 5}}, true);
  EXPECT_EQ(tallis, Bytes("\x01" "a\x2C\x2A\x0A\x00\x00\x00\x00", 9));
  EXPECT_EQ(EncodeListing({{"d", true, 0}}, true), Bytes("\x01" "d\x96\x2A\x00\x00\x00\x00\x00", 9));
}

TEST(ListingCap, OnlyWholeRecordsThatFitAreSent) {
  std::vector<FolderEntry> entries;
  for (int i = 0; i < 500; ++i) entries.push_back({Bytes(40, static_cast<char>('a' + i % 26)), false, 1});
  size_t omitted = 0;
  const Bytes payload = EncodeListing(entries, false, 10000, &omitted);
  EXPECT_LE(payload.size(), 10000u);
  EXPECT_EQ(payload.size() % 46, 0u);
  EXPECT_EQ(ParseListing(payload, true).size() + omitted, 500u);
  EXPECT_EQ(omitted, 500u - 10000u / 46u);
  EncodeListing(entries, false, 0, &omitted);
  EXPECT_EQ(omitted, 0u);
}

}  // namespace
}  // namespace corvane::emu
