#include <gtest/gtest.h>

#include "cli/cli_text.h"

namespace corvane::cli {
namespace {

TEST(DevicePath, EitherSeparatorAndTheRoot) {
  EXPECT_EQ(DevicePath(""), "\\");
  EXPECT_EQ(DevicePath("/"), "\\");
  EXPECT_EQ(DevicePath("\\"), "\\");
  EXPECT_EQ(DevicePath("Documents"), "\\Documents");
  EXPECT_EQ(DevicePath("/Documents//notes.txt"), "\\Documents\\notes.txt");
  EXPECT_EQ(DevicePath("a\\b/c/"), "\\a\\b\\c");
}

TEST(DevicePath, NamesAreSentAsLatin1) {
  EXPECT_EQ(DevicePath("/caf\xC3\xA9"), "\\caf\xE9");
  EXPECT_THROW(DevicePath("/\xE2\x82\xAC"), UsageError);  // the euro sign has no 8-bit form
}

TEST(SplitDevicePath, FolderAndName) {
  EXPECT_EQ(SplitDevicePath("/a/b.txt"), std::make_pair(Bytes("\\a"), Bytes("b.txt")));
  EXPECT_EQ(SplitDevicePath("b.txt"), std::make_pair(Bytes("\\"), Bytes("b.txt")));
  EXPECT_THROW(SplitDevicePath("/"), UsageError);
}

TEST(Printing, JsonEscapesAndOneLine) {
  EXPECT_EQ(JsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
  EXPECT_EQ(OneLine("1/40 Kbytes\r\n(2%)\r\n3 Kbyte/s"), "1/40 Kbytes (2%) 3 Kbyte/s");
  EXPECT_EQ(OneLine("Connection error.\r\nPlease check your connections."),
            "Connection error. Please check your connections.");
  EXPECT_STREQ(KindWord(0), "dir");
  EXPECT_STREQ(KindWord(1), "file");
  EXPECT_STREQ(KindWord(3), "object");
}

TEST(Printing, DisplayTextKeepsUtf8AndConvertsLatin1) {
  EXPECT_EQ(DisplayText("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(DisplayText("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(DisplayText("plain"), "plain");
}

}  // namespace
}  // namespace corvane::cli
