#include "desktop/file_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>

namespace corvane {
namespace {

using Names = std::vector<std::string>;

std::string Le32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string Header(std::uint32_t offset, bool wide) {
  return Le32(offset) + Le32(0) + Le32(0) + Le32(0) + Le32(wide ? 1 : 0);
}

// UTF-16LE from 16-bit units.
std::string U16(std::initializer_list<std::uint16_t> units) {
  std::string s;
  for (auto u : units) {
    s.push_back(static_cast<char>(u & 0xFF));
    s.push_back(static_cast<char>(u >> 8));
  }
  return s;
}

TEST(DropFiles, TwoTenCharacterPathsMakeA43ByteBlock) {
  const Bytes block = BuildDropFiles({"C:\\a\\b.txt", "/tmp/x.bin"});
  ASSERT_EQ(block.size(), 43u);
  EXPECT_EQ(block.substr(0, 20), Header(20, false));
  EXPECT_EQ(block.substr(20), std::string("C:\\a\\b.txt\0/tmp/x.bin\0\0", 23));
  Names back;
  ASSERT_TRUE(ReadDropFiles(block, back));
  EXPECT_EQ(back, (Names{"C:\\a\\b.txt", "/tmp/x.bin"}));
}

TEST(DropFiles, EmptyListAndBadNames) {
  const Bytes empty = BuildDropFiles({});
  EXPECT_EQ(empty.size(), 21u);
  Names back;
  EXPECT_FALSE(ReadDropFiles(empty, back));
  EXPECT_THROW(BuildDropFiles({"a", ""}), std::invalid_argument);
  EXPECT_THROW(BuildDropFiles({std::string("a\0b", 3)}), std::invalid_argument);
  EXPECT_THROW(BuildDropFilesW({""}), std::invalid_argument);
}

TEST(DropFiles, ReadingAppendsToTheList) {
  Names list{"kept"};
  ASSERT_TRUE(ReadDropFiles(BuildDropFiles({"/a"}), list));
  EXPECT_EQ(list, (Names{"kept", "/a"}));
}

TEST(DropFiles, WideListAtAnotherOffset) {
  // 12 bytes of padding between the header and the names: offset 32.
  std::string block = Header(32, true) + std::string(12, '\x7F');
  block += U16({'/', 'a', 0});
  block += U16({0x0100, 'x', 0});          // first character has a zero low byte
  block += U16({0xD83D, 0xDE00, 0});        // a surrogate pair
  block += U16({0x00E9, 0xDC00, 0});        // an unpaired low surrogate
  block += U16({0});
  Names back;
  ASSERT_TRUE(ReadDropFiles(block, back));
  EXPECT_EQ(back, (Names{"/a", "\xC4\x80x", "\xF0\x9F\x98\x80", "\xC3\xA9\xEF\xBF\xBD"}));
}

TEST(DropFiles, WideBuildRoundTrips) {
  const Names names{"/tmp/\xC3\xA9t\xC3\xA9", "/x/\xF0\x9F\x98\x80", "/\xC4\x80"};
  const Bytes block = BuildDropFilesW(names);
  EXPECT_EQ(block.substr(0, 20), Header(20, true));
  Names back;
  ASSERT_TRUE(ReadDropFiles(block, back));
  EXPECT_EQ(back, names);
  // Invalid UTF-8 is carried as the replacement character, never dropped.
  back.clear();
  ASSERT_TRUE(ReadDropFiles(BuildDropFilesW({"/a\xFF"}), back));
  EXPECT_EQ(back, (Names{"/a\xEF\xBF\xBD"}));
}

TEST(DropFiles, MalformedBlocksStopAtTheirEnd) {
  Names back;
  EXPECT_FALSE(ReadDropFiles(std::string(19, '\0'), back));          // header cut short
  EXPECT_FALSE(ReadDropFiles(Header(20, false), back));               // no names at all
  EXPECT_FALSE(ReadDropFiles(Header(0xFFFFFFF0u, false) + "abc", back));  // offset past end
  EXPECT_FALSE(ReadDropFiles(Header(20, false) + "abc", back));       // no terminator
  ASSERT_TRUE(ReadDropFiles(Header(20, false) + std::string("a\0bc", 4), back));
  EXPECT_EQ(back, (Names{"a"}));                                      // unterminated tail dropped
  back.clear();
  ASSERT_TRUE(ReadDropFiles(Header(20, true) + U16({'a', 0, 'b'}) + "\x01", back));
  EXPECT_EQ(back, (Names{"a"}));                                      // odd trailing byte
  EXPECT_TRUE(back.size() == 1);
  // Offset pointing into the header reads what is there, within the block.
  back.clear();
  EXPECT_FALSE(ReadDropFiles(Header(4, false), back));
}

TEST(DropFiles, RandomBlocksNeverYieldForeignBytes) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 5000; ++round) {
    const std::size_t size = rng() % 64;
    std::string block(size, '\0');
    for (auto& c : block) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng() % 256);
    if (size >= 20 && rng() % 2) {
      const std::uint32_t off = static_cast<std::uint32_t>(rng() % (size + 4));
      block.replace(0, 4, Le32(off));
    }
    // An exact-size copy: the sanitizer build catches any read beyond it.
    const std::unique_ptr<char[]> exact(new char[size ? size : 1]);
    std::copy(block.begin(), block.end(), exact.get());
    Names names;
    const bool any = ReadDropFiles(std::string_view(exact.get(), size), names);
    EXPECT_EQ(any, !names.empty());
    for (const auto& n : names) {
      EXPECT_FALSE(n.empty());
      EXPECT_EQ(n.find('\0'), std::string::npos);
    }
    ReadFileNameMap(std::string_view(exact.get(), size));
    ReadFileNameMapW(std::string_view(exact.get(), size));
  }
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

TEST(PreferredDropEffect, BlockAndPasteEffect) {
  EXPECT_EQ(BuildPreferredDropEffect(2), std::string("\x02\0\0\0", 4));
  EXPECT_EQ(ReadPreferredDropEffect(std::string("\x04\0\0\x80", 4)), 0x80000004u);
  EXPECT_FALSE(ReadPreferredDropEffect("abc").has_value());
  EXPECT_EQ(PasteEffect(std::nullopt), kDropEffectCopy);
  EXPECT_EQ(PasteEffect(std::string_view("\0\0\0\0", 4)), kDropEffectCopy);
  EXPECT_EQ(PasteEffect(std::string_view("\x02\0\0\0", 4)), kDropEffectMove);
  EXPECT_EQ(PasteEffect(std::string_view("\x02", 1)), kDropEffectCopy);
}

TEST(ChooseEffect, KeysAgainstOfferedAndAllowed) {
  const DragTypes all = kDragCopy | kDragMove | kDragLink;
  const std::uint32_t cml = kDropEffectCopy | kDropEffectMove | kDropEffectLink;
  EXPECT_EQ(ChooseEffect({true, true}, cml, all), kDropEffectLink);
  EXPECT_EQ(ChooseEffect({true, false}, cml, all), kDropEffectMove);
  EXPECT_EQ(ChooseEffect({false, true}, cml, all), kDropEffectCopy);
  EXPECT_EQ(ChooseEffect({true, true}, kDropEffectMove, all), kDropEffectMove);
  EXPECT_EQ(ChooseEffect({}, kDropEffectMove | kDropEffectLink, all), kDropEffectMove);
  EXPECT_EQ(ChooseEffect({}, kDropEffectLink, all), kDropEffectLink);
  EXPECT_EQ(ChooseEffect({}, 0, all), kDropEffectNone);
  // The main window's target allows copy only: copy whatever the keys.
  for (bool shift : {false, true})
    for (bool ctrl : {false, true}) {
      EXPECT_EQ(ChooseEffect({shift, ctrl}, cml, kDragCopy), kDropEffectCopy);
      EXPECT_EQ(ChooseEffect({shift, ctrl}, kDropEffectMove | kDropEffectLink, kDragCopy),
                kDropEffectNone);
    }
}

TEST(ChooseEffect, ScrollBitNearScrollableEdges) {
  const ScrollZone zone{200, 100, 13, false, true};
  EXPECT_EQ(ChooseEffect({}, 50, 95, kDropEffectCopy, kDragCopy, zone),
            kDropEffectCopy | kDropEffectScroll);
  EXPECT_EQ(ChooseEffect({}, 50, 5, kDropEffectCopy, kDragCopy, zone),
            kDropEffectCopy | kDropEffectScroll);
  EXPECT_EQ(ChooseEffect({}, 50, 50, kDropEffectCopy, kDragCopy, zone), kDropEffectCopy);
  EXPECT_EQ(ChooseEffect({}, 2, 50, kDropEffectCopy, kDragCopy, zone), kDropEffectCopy);  // no h-bar
  EXPECT_EQ(ScrollEffect(87, 50, zone), 0u);  // exactly height - margin is not "above" it
  EXPECT_EQ(ScrollEffect(50, 88, zone), kDropEffectScroll);
  EXPECT_EQ(ScrollEffect(2, 50, ScrollZone{200, 100, 13, true, false}), kDropEffectScroll);
}

TEST(DragResult, ExecuteMapping) {
  EXPECT_EQ(DragExecuteResult(DragOutcome::Dropped, kDropEffectCopy, kDragCopy), 0);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Dropped, kDropEffectCopy | kDropEffectMove,
                              kDragMove | kDragCopy), 0);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Dropped, kDropEffectMove, kDragCopy | kDragMove), 1);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Dropped, kDropEffectLink, kDragLink), 2);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Dropped, kDropEffectMove, kDragCopy), 3);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Dropped, 0, kDragCopy), 3);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Cancelled, kDropEffectCopy, kDragCopy), 3);
  EXPECT_EQ(DragExecuteResult(DragOutcome::OutOfMemory, kDropEffectCopy, kDragCopy), 4);
  EXPECT_EQ(DragExecuteResult(DragOutcome::Failed, kDropEffectCopy, kDragCopy), 5);
}

TEST(DragResult, DropTypeOnRelease) {
  EXPECT_EQ(DropTypeForEffect(kDropEffectCopy | kDropEffectMove, kDragCopy), kDragCopy);
  EXPECT_EQ(DropTypeForEffect(kDropEffectMove | kDropEffectLink, kDragMove), kDragMove);
  EXPECT_EQ(DropTypeForEffect(kDropEffectLink, kDragLink), kDragLink);
  EXPECT_FALSE(DropTypeForEffect(0, kDragCopy).has_value());
  EXPECT_FALSE(DropTypeForEffect(kDropEffectMove, kDragCopy).has_value());
  // Copy comes first: with copy and move set but only move allowed, it cancels.
  EXPECT_FALSE(DropTypeForEffect(kDropEffectCopy | kDropEffectMove, kDragMove).has_value());
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
