#include "desktop/file_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>

namespace corvane {
namespace {

using Names = std::vector<std::string>;

// UTF-16LE from 16-bit units.
std::string U16(std::initializer_list<std::uint16_t> units) {
  std::string s;
  for (auto u : units) {
    s.push_back(static_cast<char>(u & 0xFF));
    s.push_back(static_cast<char>(u >> 8));
  }
  return s;
}

TEST(NameMaps, LayoutsAndReading) {
  const Bytes map = BuildFileNameMap({"A.TXT", "B"});
  EXPECT_EQ(map, std::string("A.TXT\0B\0\0", 9));
  EXPECT_EQ(ReadFileNameMap(map), (Names{"A.TXT", "B"}));
  const Bytes wmap = BuildFileNameMapW({"A.TXT", "\xC3\xA9"});
  EXPECT_EQ(wmap.size(), 2u + (2 * 5 + 2) + (2 * 1 + 2));
  EXPECT_EQ(wmap, U16({'A', '.', 'T', 'X', 'T', 0, 0xE9, 0, 0}));
  EXPECT_EQ(ReadFileNameMapW(wmap), (Names{"A.TXT", "\xC3\xA9"}));
  EXPECT_EQ(BuildFileNameMap({}), std::string(1, '\0'));
  EXPECT_EQ(BuildFileNameMapW({}), std::string(2, '\0'));
  // Reading stops at the first empty name.
  EXPECT_EQ(ReadFileNameMap(std::string("a\0\0b\0\0", 6)), (Names{"a"}));
  EXPECT_TRUE(MappedNamesMatch(2, 2));
  EXPECT_FALSE(MappedNamesMatch(2, 0));
}

// The name-map readers on random blocks: nothing read outside the block, no
// name empty or holding a NUL.
TEST(NameMaps, RandomBlocksNeverYieldForeignBytes) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 5000; ++round) {
    const std::size_t size = rng() % 64;
    std::string block(size, '\0');
    for (auto& c : block) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng() % 256);
    // An exact-size copy: the sanitizer build catches any read beyond it.
    const std::unique_ptr<char[]> exact(new char[size ? size : 1]);
    std::copy(block.begin(), block.end(), exact.get());
    const std::string_view view(exact.get(), size);
    for (const Names& names : {ReadFileNameMap(view), ReadFileNameMapW(view)}) {
      for (const auto& n : names) {
        EXPECT_FALSE(n.empty());
        EXPECT_EQ(n.find('\0'), std::string::npos);
      }
    }
  }
}

TEST(PreferredDropEffect, BlockAndPasteEffect) {
  EXPECT_EQ(BuildPreferredDropEffect(2), std::string("\x02\0\0\0", 4));
  EXPECT_EQ(ReadPreferredDropEffect(std::string("\x04\0\0\x80", 4)), 0x80000004u);
  EXPECT_FALSE(ReadPreferredDropEffect("abc").has_value());
  EXPECT_EQ(PasteEffect(std::nullopt), kDropEffectCopy);
  EXPECT_EQ(PasteEffect(std::string_view("\0\0\0\0", 4)), kDropEffectCopy);
  EXPECT_EQ(PasteEffect(std::string_view("\x02\0\0\0", 4)), kDropEffectMove);
  EXPECT_EQ(PasteEffect(std::string_view("\x02", 1)), kDropEffectCopy);
}

TEST(UriList, BuildEncodesAndEndsLinesWithCrlf) {
  EXPECT_EQ(FileUrl("/tmp/a b%c#d?\xC3\xA9~_.-"), "file:///tmp/a%20b%25c%23d%3F%C3%A9~_.-");
  EXPECT_EQ(BuildUriList({"/a", "/b c"}), "file:///a\r\nfile:///b%20c\r\n");
  EXPECT_EQ(BuildUriList({}), "");
}

TEST(UriList, ParseKeepsOnlyLocalFiles) {
  const std::string text =
      "# a comment\r\n"
      "file:///tmp/a%20b\r\n"
      "\r\n"
      "file://localhost/etc/x\n"
      "FILE:/home/u/%C3%A9\n"
      "file://otherhost/share/y\r\n"
      "http://example.invalid/z\r\n"
      "file:///bad%2\r\n"
      "file:///bad%zz\r\n"
      "file:///nul%00byte\r\n"
      "file:relative\r\n"
      "file:///q?x=1#frag";
  EXPECT_EQ(ParseUriList(text),
            (Names{"/tmp/a b", "/etc/x", "/home/u/\xC3\xA9", "/q"}));
  const Names paths{"/tmp/with space", "/t/%25", "/\xC3\xA9\x01"};
  EXPECT_EQ(ParseUriList(BuildUriList(paths)), paths);
}

TEST(CopyMarkers, GnomeAndKde) {
  EXPECT_EQ(BuildGnomeCopiedFiles({"/a b", "/c"}, false), "copy\nfile:///a%20b\nfile:///c");
  EXPECT_EQ(BuildGnomeCopiedFiles({"/a"}, true), "cut\nfile:///a");
  bool cut = true;
  auto paths = ParseGnomeCopiedFiles("copy\nfile:///a%20b\nfile:///c\n", cut);
  ASSERT_TRUE(paths.has_value());
  EXPECT_FALSE(cut);
  EXPECT_EQ(*paths, (Names{"/a b", "/c"}));
  paths = ParseGnomeCopiedFiles("cut\r\nfile:///x", cut);
  ASSERT_TRUE(paths.has_value());
  EXPECT_TRUE(cut);
  EXPECT_FALSE(ParseGnomeCopiedFiles("file:///x", cut).has_value());
  EXPECT_FALSE(ParseGnomeCopiedFiles("", cut).has_value());
  EXPECT_EQ(BuildKdeCutSelection(false), "0");
  EXPECT_EQ(BuildKdeCutSelection(true), "1");
  EXPECT_FALSE(ReadKdeCutSelection("0"));
  EXPECT_TRUE(ReadKdeCutSelection("1"));
  EXPECT_FALSE(ReadKdeCutSelection(""));
}

}  // namespace
}  // namespace corvane
