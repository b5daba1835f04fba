#include <gtest/gtest.h>

#include "cli/cli_text.h"
#include "cli/multi_device.h"
#include "session/device_session.h"

namespace corvane::cli {
namespace {

TEST(UserDevicePath, EitherSeparatorAndTheRoot) {
  EXPECT_EQ(UserDevicePath(""), "\\");
  EXPECT_EQ(UserDevicePath("/"), "\\");
  EXPECT_EQ(UserDevicePath("\\"), "\\");
  EXPECT_EQ(UserDevicePath("Documents"), "\\Documents");
  EXPECT_EQ(UserDevicePath("/Documents//notes.txt"), "\\Documents\\notes.txt");
  EXPECT_EQ(UserDevicePath("a\\b/c/"), "\\a\\b\\c");
}

TEST(UserDevicePath, NamesAreSentAsLatin1) {
  EXPECT_EQ(UserDevicePath("/caf\xC3\xA9"), "\\caf\xE9");
  EXPECT_THROW(UserDevicePath("/\xE2\x82\xAC"), UsageError);  // the euro sign has no 8-bit form
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

TEST(Printing, TerminalTextEscapesEveryControlCharacter) {
  // Latin-1 (a device name): C0, DEL and C1 bytes; the rest converted.
  EXPECT_EQ(TerminalText("a\x1B]0;t\x07" "b\x9B" "c\xE9\x7F"), "a\\x1B]0;t\\x07b\\x9Bc\xC3\xA9\\x7F");
  // UTF-8 (a local path): the same characters, encoded.
  EXPECT_EQ(TerminalText("caf\xC3\xA9\x1B[2J\xC2\x9B" "1m\xC2\xA0"), "caf\xC3\xA9\\x1B[2J\\x9B1m\xC2\xA0");
  EXPECT_EQ(TerminalText("tab\there\nand\rthere"), "tab\\x09here\\x0Aand\\x0Dthere");
  EXPECT_EQ(TerminalText("plain text"), "plain text");
  // What it made goes through again unchanged.
  EXPECT_EQ(TerminalText(TerminalText("x\by\x85")), "x\\x08y\\x85");
  // The device names of messages: the same escapes, still 8-bit.
  EXPECT_EQ(ShownName(Bytes("n\x00" "a\x1Bm\x9F\xA0\xE9", 8)), "n\\x00a\\x1Bm\\x9F\xA0\xE9");
}

TEST(Printing, OneLineKeepsACarriageReturnThatEndsNoLine) {
  EXPECT_EQ(TerminalText(OneLine("Copying a\rb\r\nnext\nlast\r")), "Copying a\\x0Db next last\\x0D");
}

TEST(ExitCode, OneStatusPerKindOfOutcome) {
  EXPECT_EQ(ExitCode(ErrorKind::kFailed), 1);
  EXPECT_EQ(ExitCode(ErrorKind::kBusy), 1);
  EXPECT_EQ(ExitCode(ErrorKind::kUsage), 2);
  EXPECT_EQ(ExitCode(ErrorKind::kNoConnection), 3);
  EXPECT_EQ(ExitCode(ErrorKind::kLocalFile), 4);
  EXPECT_EQ(ExitCode(ErrorKind::kCancelled), 130);
  EXPECT_EQ(KindOf(UsageError("x")), ErrorKind::kUsage);
}

TEST(ReportJson, ProgressCarriesItsNumbersAndOtherReportsTheirEscapedText) {
  Report p;
  p.kind = kReportProgress;
  p.phase = TransferPhase::kReceiving;
  p.done = 1152;
  p.total = 3000;
  p.elapsedMs = 42;
  EXPECT_EQ(ReportJson(p),
            "{\"kind\": \"progress\", \"phase\": \"receive\", \"done\": 1152, \"total\": 3000, \"elapsed_ms\": 42}");
  Report m;
  m.text = "Connection error.\r\nPlease \"check\" caf\xE9";  // a Latin-1 device name
  EXPECT_EQ(ReportJson(m),
            "{\"kind\": \"message\", \"phase\": \"\", \"done\": 0, \"total\": 0, \"elapsed_ms\": 0, "
            "\"text\": \"Connection error.\\u000d\\u000aPlease \\\"check\\\" caf\xC3\xA9\"}");
  Report erase;  // a progress report with its own text keeps it
  erase.kind = kReportProgress;
  erase.text = "Erasing system\r\n3%";
  EXPECT_NE(ReportJson(erase).find("\"text\": \"Erasing system\\u000d\\u000a3%\""), std::string::npos);
  EXPECT_STREQ(ReportKindName(kReportCancelSwitch), "cancel-switch");
  EXPECT_STREQ(ReportKindName(kReportFinished), "finished");
}

TEST(ProgressMode, TheFourWordsAndNothingElse) {
  EXPECT_EQ(ParseProgressMode("bar"), ProgressMode::kBar);
  EXPECT_EQ(ParseProgressMode("lines"), ProgressMode::kLines);
  EXPECT_EQ(ParseProgressMode("json"), ProgressMode::kJson);
  EXPECT_EQ(ParseProgressMode("none"), ProgressMode::kNone);
  EXPECT_FALSE(ParseProgressMode("Bar").has_value());
  EXPECT_FALSE(ParseProgressMode("").has_value());
}

TEST(SeveralDevices, TheWorstExitStatusWins) {
  const std::vector<int> worstFirst = {130, 2, 3, 4, 1, 0};
  for (size_t i = 0; i < worstFirst.size(); ++i)
    for (size_t j = 0; j < worstFirst.size(); ++j) {
      const int expected = worstFirst[std::min(i, j)];
      EXPECT_EQ(WorseExitCode(worstFirst[i], worstFirst[j]), expected) << worstFirst[i] << " " << worstFirst[j];
    }
  EXPECT_EQ(WorseExitCode(0, 77), 77);  // anything unknown is a failure
  // Cancelled by SIGTERM or SIGHUP is as bad as by Ctrl-C.
  for (const int cancelled : {143, 129}) {
    EXPECT_EQ(WorseExitCode(2, cancelled), cancelled);
    EXPECT_EQ(WorseExitCode(cancelled, 3), cancelled);
    EXPECT_STREQ(ExitStatusWord(cancelled), "cancelled");
  }
}

TEST(SeveralDevices, FolderNamesOfPortsAreSafeAndUnique) {
  EXPECT_EQ(PortTags({"/dev/ttyUSB0", "/dev/ttyUSB1"}), (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
  // Two ports of one name: the whole path, still one path component.
  EXPECT_EQ(PortTags({"/tmp/a/port", "/tmp/b/port", "/dev/ttyS0"}),
            (std::vector<std::string>{"tmp_a_port", "tmp_b_port", "ttyS0"}));
  for (const auto& tag : PortTags({"..", "/", "bad\nname"})) {
    EXPECT_FALSE(tag.empty());
    EXPECT_NE(tag, "..");
    EXPECT_EQ(tag.find_first_of("/\n"), std::string::npos) << tag;
  }
}

TEST(SeveralDevices, ResultsBecomeJson) {
  EXPECT_EQ(ResultJson(""), "");
  EXPECT_EQ(ResultJson("[\n  {\"name\": \"a b\", \"size\": 1, \"kind\": \"file\"},\n  {\"name\": \"c\"}\n]\n"),
            "[{\"name\": \"a b\", \"size\": 1, \"kind\": \"file\"},{\"name\": \"c\"}]");
  EXPECT_EQ(ResultJson("[]\n"), "[]");
  EXPECT_EQ(ResultJson("link: /dev/ttyUSB0\nkind: quillon\nversion: Quillon 2.1\n"),
            "{\"link\": \"/dev/ttyUSB0\", \"kind\": \"quillon\", \"version\": \"Quillon 2.1\"}");
  EXPECT_EQ(ResultJson("file\t5\ta.txt\ndir\t0\tsub\n"), "[\"file\\u00095\\u0009a.txt\", \"dir\\u00090\\u0009sub\"]");
}

TEST(SeveralDevices, WhatCannotRunOnSeveralIsRefused) {
  EXPECT_THROW(CheckSeveralDevicesCommand("upgrade", ProgressMode::kNone, ""), UsageError);
  EXPECT_THROW(CheckSeveralDevicesCommand("backup", ProgressMode::kNone, ""), UsageError);  // one DEST each
  EXPECT_THROW(CheckSeveralDevicesCommand("ls", ProgressMode::kBar, ""), UsageError);
  EXPECT_NO_THROW(CheckSeveralDevicesCommand("put", ProgressMode::kLines, ""));
  EXPECT_NO_THROW(CheckSeveralDevicesCommand("get", ProgressMode::kJson, "."));
}

}  // namespace
}  // namespace corvane::cli
