#include <gtest/gtest.h>

#include "protocol/listing.h"
#include "protocol/wire.h"
#include "session/device_session.h"

namespace corvane {
namespace {

TEST(Listing, QuillonRecords) {
  const Bytes payload = EncodeQuillonRecord("Docs", 0, true) + EncodeQuillonRecord("abcd", 0, false) +
                        Bytes("\x07\x10\x27\x00\x00\x02hi", 8);
  const auto list = ParseListing(payload, true);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].kind, kKindDirectory);
  EXPECT_EQ(list[1].name, "abcd");
  EXPECT_EQ(list[1].kind, kKindFile);
  EXPECT_EQ(list[2].kind, kKindDirectory);  // any non-zero type is a folder
  EXPECT_EQ(list[2].size, 10000u);
}

TEST(Listing, TallisSizesAreNibblesRoundedUpAndTypesGiveKinds) {
  const Bytes dir("\x03" "DIR" "\x96\x2A" "\x0B\x00\x00" "\x00\x00", 11);
  const auto list = ParseListing(dir + EncodeTallisRecord("OBJ", 0x2D9D, 4) + EncodeTallisRecord("Q", 0x2DCC, 1) +
                                     EncodeTallisRecord("PRG", 0x1234, 0x10000),
                                 false);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].kind, kKindDirectory);
  EXPECT_EQ(list[0].size, 6u);  // 11 nibbles
  EXPECT_EQ(list[1].kind, kKindTallisObject);
  EXPECT_EQ(list[1].size, 2u);
  EXPECT_EQ(list[2].kind, kKindTallisObject);
  EXPECT_EQ(list[2].size, 1u);
  EXPECT_EQ(list[3].kind, kKindFile);
  EXPECT_EQ(list[3].size, 0x8000u);
}

TEST(Listing, EightBitAndBlankNamesSurviveByteForByte) {
  const Bytes name("caf\xE9 au lait", 12);
  EXPECT_EQ(ParseListing(EncodeQuillonRecord(name, 1, false), true).at(0).name, name);
  EXPECT_EQ(ParseListing(EncodeTallisRecord(name, kTallisTypeFile, 2), false).at(0).name, name);
}

TEST(Listing, ACutLastRecordIsDroppedWithoutReadingPastTheEnd) {
  const Bytes good = EncodeQuillonRecord("one", 1, false);
  for (size_t cut = 1; cut < EncodeQuillonRecord("two", 2, false).size(); ++cut) {
    const Bytes payload = good + EncodeQuillonRecord("two", 2, false).substr(0, cut);
    // A copy of exactly the payload, so an overread would show under the sanitizers.
    const auto list = ParseListing(Bytes(payload), true);
    ASSERT_EQ(list.size(), 1u) << cut;
  }
  const Bytes tgood = EncodeTallisRecord("one", kTallisTypeFile, 2);
  const Bytes tcut = EncodeTallisRecord("two", kTallisTypeFile, 2);
  for (size_t cut = 1; cut < tcut.size(); ++cut)
    EXPECT_EQ(ParseListing(tgood + tcut.substr(0, cut), false).size(), 1u) << cut;
  EXPECT_TRUE(ParseListing(Bytes(), true).empty());
}

TEST(Wire, BlocksCarryNumberComplementAndTrailerByCheckKind) {
  const Bytes data(1024, 'A');
  const auto* d = reinterpret_cast<const uint8_t*>(data.data());
  const Bytes sum = BuildBlock(1, d, 1024, kSum8);
  ASSERT_EQ(sum.size(), 1028u);
  EXPECT_EQ(sum.substr(0, 3), Bytes("\x02\x01\xFE", 3));
  EXPECT_EQ(static_cast<uint8_t>(sum.back()), (1024 * 'A') & 0xFF);
  const Bytes arc = BuildBlock(0, d, 128, kCrc16Arc);
  EXPECT_EQ(arc.size(), 133u);
  EXPECT_EQ(arc.substr(0, 3), Bytes("\x01\x00\xFF", 3));
  CheckKind k;
  ASSERT_TRUE(CheckKindFromStartByte('D', k));
  EXPECT_EQ(k, kCrc16Kermit);
  EXPECT_FALSE(CheckKindFromStartByte('X', k));
  const Bytes nine("123456789");
  const auto* n = reinterpret_cast<const uint8_t*>(nine.data());
  EXPECT_EQ(BlockTrailer(kCrc16Arc, n, 9), Bytes("\x3D\xBB", 2));    // low byte first
  EXPECT_EQ(BlockTrailer(kCrc16Kermit, n, 9), Bytes("\x21\x89", 2));  // high byte first
}

TEST(DevicePaths, FilePart) {
  EXPECT_EQ(DeviceFilePart("\\a\\b.txt"), "b.txt");
  EXPECT_EQ(DeviceFilePart("plain"), "plain");
}

TEST(DevicePath, RootInEverySpelling) {
  for (const char* root : {"", "\\", "\\\\\\", "\\\\"}) {
    const DevicePath p = DevicePath::Parse(root);
    EXPECT_TRUE(p.IsRoot()) << root;
    EXPECT_EQ(p.Canonical(), "\\");
    EXPECT_EQ(p.FolderForm(), "\\");
    EXPECT_EQ(p.Shown(), "/");
    EXPECT_EQ(p.Name(), "");
    EXPECT_TRUE(p.Names().empty());
    EXPECT_EQ(p.Parent(), p);  // the root's parent is the root
  }
  EXPECT_EQ(DevicePath(), DevicePath::Parse(""));
  EXPECT_TRUE(DevicePath::ParseUserText("//").IsRoot());
}

TEST(DevicePath, SeparatorsAndRuns) {
  const DevicePath p = DevicePath::Parse("\\\\\\a\\\\b\\");
  EXPECT_EQ(p.Canonical(), "\\a\\b");
  EXPECT_EQ(p.FolderForm(), "\\a\\b\\");  // what a change of folder sends
  EXPECT_EQ(DevicePath::Parse("a\\b"), p);  // the leading backslash is optional
  EXPECT_EQ(p.Names(), (std::vector<Bytes>{"a", "b"}));
  // A device name may hold a slash; only what a user types splits on it.
  EXPECT_EQ(DevicePath::Parse("\\a/b").Names(), (std::vector<Bytes>{"a/b"}));
  EXPECT_EQ(DevicePath::ParseUserText("/a//b\\c/").Canonical(), "\\a\\b\\c");
  EXPECT_EQ(DevicePath::Parse("\\caf\xE9\\x").Shown(), "/caf\xC3\xA9/x");
}

TEST(DevicePath, JoinParentAndName) {
  const DevicePath root;
  EXPECT_EQ(root.Join("x").Canonical(), "\\x");  // not "\\\\x"
  EXPECT_EQ(root.Join("a").Join("b.txt").Canonical(), "\\a\\b.txt");
  EXPECT_EQ(root.Join("a\\b").Names(), (std::vector<Bytes>{"a", "b"}));
  const DevicePath file = DevicePath::Parse("\\a\\b\\c.txt");
  EXPECT_EQ(file.Name(), "c.txt");
  EXPECT_EQ(file.Parent().Canonical(), "\\a\\b");
  EXPECT_EQ(file.Parent().Parent().Parent(), root);
  EXPECT_EQ(file.Parent().Join(file.Name()), file);
  EXPECT_EQ(TallisHomeLine("\\\\a\\\\b"), "HOME  a b ");
  EXPECT_EQ(TallisHomeLine(""), "HOME  ");
}

TEST(DevicePath, NamesTheTallisCannotTake) {
  EXPECT_EQ(RefusedNameMessage("NOTES", false), "");
  EXPECT_EQ(RefusedNameMessage(Bytes(kMaxTallisNameLength, 'A'), false), "");
  for (const Bytes& bad : {Bytes(), Bytes(kMaxTallisNameLength + 1, 'A'), Bytes("it's"), Bytes("a b"),
                           Bytes("a\x01"), Bytes("a\x7F")}) {
    const std::string why = RefusedNameMessage(bad, false);
    EXPECT_EQ(why.rfind("The Tallis cannot take the name \"", 0), 0u) << why;
    EXPECT_NE(why.find("Nothing was sent to the device"), std::string::npos) << why;
  }
  EXPECT_NE(RefusedNameMessage("a\x01", false).find("\\x01"), std::string::npos);  // shown, not sent raw
  // A Quillon takes every byte but NUL.
  EXPECT_EQ(RefusedNameMessage("it's a b\x01", true), "");
  EXPECT_NE(RefusedNameMessage(Bytes("a\0b", 3), true), "");
  // A Tallis folder path is checked name by name; separators are not names.
  EXPECT_EQ(RefusedFolderMessage("\\\\HOME\\\\DIR\\", false), "");
  EXPECT_NE(RefusedFolderMessage("\\ok\\a b", false), "");
  EXPECT_EQ(RefusedFolderMessage("\\a b\\c d", true), "");
}

}  // namespace
}  // namespace corvane
