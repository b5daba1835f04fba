// The receiver of block transfers against a scripted sending device: the cut
// to the expected length, mixed block sizes, refused blocks, time-outs,
// cancels, and files that are whole or absent.
#include "receiver_rig.h"

namespace corvane {
namespace {

using namespace receiver_test;

TEST(ReceiverBlocks, MixedSizesAreJoinedAndCutToTheExpectedLength) {
  RxRig rig;
  const Bytes content = Pattern(3000);
  rig.peer.frames = {test::DeviceBlock(1, content.substr(0, 1024)), test::DeviceBlock(2, content.substr(1024, 128)),
                     test::DeviceBlock(3, content.substr(1152, 1024)),
                     test::DeviceBlock(4, Padded(content.substr(2176), 1024)), Bytes(1, static_cast<char>(kEot))};
  ASSERT_TRUE(rig.Run(3000));
  EXPECT_EQ(ReadWhole(rig.path), content);
  // On the wire: the start NAK, an ACK per block, the ACK of the EOT.
  EXPECT_EQ(rig.port.Written(), "\x15\x06\x06\x06\x06\x06");
  // Progress counts the bytes taken before each block (the 128-byte block
  // adds 128), then once more after the last: all of the file.
  const auto lines = rig.reports.Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].kind, kReportProgress);
  EXPECT_EQ(lines[0].text, "0/2 Kbytes\r\n(0%)\r\n0 Kbyte/s");
  EXPECT_EQ(lines[0].phase, TransferPhase::kReceiving);
  EXPECT_EQ(lines[1].position, 1024);
  EXPECT_EQ(lines[2].position, 1152);
  EXPECT_EQ(lines[3].position, 2176);
  EXPECT_EQ(lines[3].max, 3000);
  EXPECT_EQ(lines[4].kind, kReportProgress);
  EXPECT_EQ(lines[4].position, 3000);
  EXPECT_EQ(lines[4].text, "2/2 Kbytes\r\n(100%)\r\n2 Kbyte/s");
  EXPECT_EQ(lines[5].kind, kReportStatus);
  EXPECT_EQ(lines[5].text, "got.bin Received at 2 Kbyte/s");
  rig.ExpectFinishedLast();
  rig.ExpectFolderHolds({"got.bin"});
}

TEST(ReceiverBlocks, BlocksBeyondTheExpectedLengthAreAcknowledgedNotWritten) {
  RxRig rig;
  const Bytes content = Pattern(39 * 1024);  // a screen of 39 blocks
  rig.peer.SetFile(content);
  ASSERT_TRUE(rig.Run(38912));
  EXPECT_EQ(ReadWhole(rig.path), content.substr(0, 38912));
  EXPECT_EQ(rig.peer.acks, 40);
  EXPECT_TRUE(rig.peer.finished);
}

TEST(ReceiverBlocks, NoExpectedLengthGivesNoProgressAndAnEmptyFile) {
  for (int64_t expected : {int64_t{0}, int64_t{-5}}) {
    RxRig rig;
    rig.peer.SetFile(Pattern(2000));
    ASSERT_TRUE(rig.Run(expected));
    EXPECT_EQ(ReadWhole(rig.path), "");
    EXPECT_TRUE(test::Exists(rig.path));
    EXPECT_EQ(rig.reports.Count(kReportProgress), 0);
  }
}

TEST(ReceiverBlocks, EotAtOnceLeavesAnEmptyFile) {
  RxRig rig;
  rig.peer.SetFile(Bytes());
  ASSERT_TRUE(rig.Run(100));
  EXPECT_TRUE(test::Exists(rig.path));
  EXPECT_EQ(ReadWhole(rig.path), "");
  EXPECT_EQ(rig.reports.Texts(kReportStatus), std::vector<std::string>{"got.bin Received at 0 Kbyte/s"});
  // The listing promised 100 bytes: the first EOT is taken for a damaged
  // header and refused; the device's second EOT ends the file.
  EXPECT_EQ(rig.port.Written(), "\x15\x15\x06");
}

TEST(ReceiverBlocks, EotWithNothingExpectedEndsAtOnce) {
  RxRig rig;
  rig.peer.SetFile(Bytes());
  ASSERT_TRUE(rig.Run(0));
  EXPECT_EQ(rig.port.Written(), "\x15\x06");
}

TEST(ReceiverBlocks, ANoiseByteThatReadsAsEotDoesNotCutTheFileShort) {
  RxRig rig;
  const Bytes content = Pattern(3000);
  rig.peer.SetFile(content);
  // Block 2's header arrives damaged into an EOT, once.
  rig.peer.Alter = [](size_t index, int attempt, const Bytes& f) {
    return index == 1 && attempt == 0 ? Bytes(1, static_cast<char>(kEot)) : f;
  };
  ASSERT_TRUE(rig.Run(3000));
  EXPECT_EQ(ReadWhole(rig.path), content);
  EXPECT_EQ(rig.port.Written(), "\x15\x06\x15\x06\x06\x06");
}

TEST(ReceiverBlocks, ADeviceThatEndsEarlyTwiceIsBelievedAfterOneRefusal) {
  // Believed: its second EOT is acknowledged and the transfer is over. A
  // file of a listed size is then short, and fails with nothing kept; a
  // screen, whose length is only the most that is kept, is whole.
  for (const bool exact : {true, false}) {
    SCOPED_TRACE(exact ? "listed size" : "at most");
    RxRig rig;
    rig.exact = exact;
    test::WriteWhole(rig.path, "the old copy");
    const Bytes content = Pattern(1024);
    rig.peer.SetFile(content);  // one block, then EOT, where 2000 bytes were listed
    const uint64_t t0 = rig.clock.NowMs();
    EXPECT_EQ(rig.Run(2000), !exact);
    // The refusal's quiet wait; no failure pause for a device that has ended.
    EXPECT_EQ(rig.clock.NowMs() - t0, 200u);
    // No cancel bytes after the device's end was acknowledged.
    EXPECT_EQ(rig.port.Written(), "\x15\x06\x15\x06");
    EXPECT_TRUE(rig.peer.finished);
    rig.ExpectFinishedLast();
    rig.ExpectFolderHolds({"got.bin"});
    if (exact) {
      EXPECT_EQ(ReadWhole(rig.path), "the old copy");
      EXPECT_EQ(rig.failureKind, ErrorKind::kFailed);
      EXPECT_EQ(rig.failure, "Error (The device ended the file after 1024 of 2000 bytes. Nothing was kept; try again)");
      EXPECT_EQ(rig.reports.Texts(kReportMessage).back(), rig.failure);
    } else {
      EXPECT_EQ(ReadWhole(rig.path), content);
    }
  }
}

TEST(ReceiverBlocks, AFileOfAListedSizeIsWholeWhenItsBlocksReachIt) {
  // The padding of the last block counts: 2000 bytes in two blocks, and
  // 1029 bytes (a Tallis object of 1020 with its header) in two.
  for (const int64_t length : {int64_t{2000}, int64_t{2048}, int64_t{1029}}) {
    SCOPED_TRACE(length);
    RxRig rig;
    rig.exact = true;
    rig.peer.SetFile(Pattern(static_cast<size_t>(length)));
    ASSERT_TRUE(rig.Run(length));
    EXPECT_EQ(ReadWhole(rig.path), Pattern(static_cast<size_t>(length)));
    // The EOT came after the whole length: taken at once.
    EXPECT_TRUE(rig.port.Written().ends_with("\x06\x06"));
  }
}

TEST(ReceiverFailure, ATargetNameAsLongAsTheFileSystemAllowsIsReceivedUnderAShortTemporaryName) {
  RxRig rig;
  const std::string longest = rig.dir / std::string(255, 'n');
  rig.peer.SetFile(Pattern(3000));
  std::vector<std::string> during;
  rig.reports.OnReport = [&](const Report& r) {
    if (r.kind == kReportProgress && during.empty()) during = rig.dir.Entries();
  };
  BlockReceiver rx(&rig.port, 3000, rig.reports.Handler(), longest, rig.clock);
  ASSERT_TRUE(rx.Run()) << rx.FailureMessage();
  EXPECT_EQ(ReadWhole(longest), Pattern(3000));
  // While it came: one hidden file of a fixed, short name.
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].rfind(".corvane-", 0), 0u) << during[0];
  EXPECT_EQ(during[0].size(), 22u) << during[0];
  rig.ExpectFolderHolds({std::string(255, 'n')});
}

// A program ending at once (a signal before a transfer's dialog is up) keeps
// no temporary file, and nothing moves over a target after that. Run in a
// child: the ending is for the rest of the process.
TEST(ReceiverFailure, AProgramEndingAtOnceRemovesTheOpenTemporaryFilesAndCommitsNoMore) {
  TempDir dir;
  const std::string target = dir / "kept.bin";
  test::WriteWhole(target, "old");
  const auto endAtOnce = [&] {
    ReplacingFile open, later;
    bool ok = open.Open(target) == 0 && open.Write("new", 3) == 0 && ::access(open.TempPath().c_str(), F_OK) == 0;
    const std::string temp = open.TempPath();
    RemoveTemporaryFilesForExit();
    ok = ok && ::access(temp.c_str(), F_OK) != 0;
    ok = ok && open.Commit() == ECANCELED && ReadWhole(target) == "old";
    ok = ok && later.Open(dir / "other.bin") == ECANCELED;
    ok = ok && dir.Entries() == std::vector<std::string>{"kept.bin"};
    std::_Exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(endAtOnce(),
      ::testing::ExitedWithCode(0), "");
}

TEST(ReceiverFailure, ATargetNameTooLongForTheFileSystemIsRefusedBeforeTheTransfer) {
  RxRig rig;
  const std::string tooLong = rig.dir / std::string(256, 'n');
  rig.peer.SetFile(Pattern(3000));
  BlockReceiver rx(&rig.port, 3000, rig.reports.Handler(), tooLong, rig.clock);
  EXPECT_FALSE(rx.Run());
  EXPECT_EQ(rx.FailureKind(), ErrorKind::kLocalFile);
  EXPECT_EQ(rx.FailureMessage(), "Error (Unable to open file " + tooLong + ": File name too long)");
  // Not a block was asked for: the device hears the cancel at once.
  EXPECT_EQ(rig.port.Written(), kCan4);
  rig.ExpectFolderHolds({});
}

TEST(ReceiverProgress, SmallBlocksCountTheirRealBytesAndEndAtTheFileSize) {
  // 1000 bytes in 128-byte blocks: the last block carries 104 bytes and padding.
  RxRig rig;
  const Bytes content = Pattern(1000);
  rig.peer.SetFile(content, 128);
  ASSERT_TRUE(rig.Run(1000));
  EXPECT_EQ(ReadWhole(rig.path), content);
  const auto progress = rig.reports.Progress();
  ASSERT_EQ(progress.size(), 9u);  // one before each of 8 blocks, one at the end
  int64_t last = -1;
  for (size_t i = 0; i < progress.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(progress[i].max, 1000);
    EXPECT_GE(progress[i].position, last);
    EXPECT_LE(progress[i].position, 1000);
    if (i < 8) {
      EXPECT_EQ(progress[i].position, static_cast<int64_t>(i) * 128);
    }
    last = progress[i].position;
  }
  EXPECT_EQ(progress.back().position, 1000);
}

TEST(ReceiverProgress, BlocksPastTheExpectedLengthNeverPushDoneAboveTheTotal) {
  // The device sends more than announced (a screen's padding): done stops at the total.
  RxRig rig;
  rig.peer.SetFile(Pattern(3 * 1024), 128);
  ASSERT_TRUE(rig.Run(1000));
  const auto progress = rig.reports.Progress();
  ASSERT_FALSE(progress.empty());
  for (const auto& p : progress) EXPECT_LE(p.position, 1000);
  EXPECT_EQ(progress.back().position, 1000);
  EXPECT_EQ(progress.back().text.substr(0, 13), "0/0 Kbytes\r\n(");
  EXPECT_NE(progress.back().text.find("(100%)"), std::string::npos);
}

TEST(ReceiverBlocks, CounterWrapsToZeroAfter255) {
  RxRig rig;
  const Bytes content = Pattern(260 * 128);
  rig.peer.SetFile(content, 128);
  ASSERT_EQ(rig.peer.frames[255].substr(0, 3), Bytes("\x01\x00\xFF", 3));
  ASSERT_TRUE(rig.Run(static_cast<int64_t>(content.size())));
  EXPECT_EQ(ReadWhole(rig.path), content);
}

TEST(ReceiverBlocks, ReplacesAnOldFileOnSuccessKeepingItsPermissions) {
  RxRig rig;
  test::WriteWhole(rig.path, "old contents");
  ::chmod(rig.path.c_str(), 0640);
  rig.peer.SetFile(Pattern(700));
  ASSERT_TRUE(rig.Run(700));
  EXPECT_EQ(ReadWhole(rig.path), Pattern(700));
  struct stat st {};
  ASSERT_EQ(::stat(rig.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  rig.ExpectFolderHolds({"got.bin"});
}

// ---- refused blocks ----

struct Damage {
  const char* name;
  std::function<Bytes(const Bytes& frame, const std::vector<Bytes>& frames)> alter;
};

TEST(ReceiverRefuses, DamagedBlocksAreRefusedAndTakenAgain) {
  const std::vector<Damage> damages = {
      {"bad sum", [](const Bytes& f, const std::vector<Bytes>&) { Bytes d = f; d.back() ^= 0x01; return d; }},
      {"bad data", [](const Bytes& f, const std::vector<Bytes>&) { Bytes d = f; d[500] ^= 0x40; return d; }},
      {"short", [](const Bytes& f, const std::vector<Bytes>&) { return f.substr(0, 700); }},
      {"bad number", [](const Bytes& f, const std::vector<Bytes>&) { Bytes d = f; d[1] = 9; d[2] = static_cast<char>(246); return d; }},
      {"bad complement", [](const Bytes& f, const std::vector<Bytes>&) { Bytes d = f; d[2] ^= 0x10; return d; }},
      {"block before the previous", [](const Bytes&, const std::vector<Bytes>& all) { return all[0]; }},
      {"trailing noise", [](const Bytes& f, const std::vector<Bytes>&) { return f.substr(0, 3) + "noise"; }},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    RxRig rig;
    const Bytes content = Pattern(4000);
    rig.peer.SetFile(content);
    // Block 3 arrives damaged twice, then whole.
    rig.peer.Alter = [&](size_t index, int attempt, const Bytes& frame) {
      return (index == 2 && attempt < 2) ? damage.alter(frame, rig.peer.frames) : frame;
    };
    ASSERT_TRUE(rig.Run(4000));
    EXPECT_EQ(ReadWhole(rig.path), content);
    EXPECT_EQ(rig.peer.naks, 3);  // the start and one per damaged copy
    EXPECT_EQ(rig.reports.Texts(kReportMessage), (std::vector<std::string>{kConnErr, kConnErr}));
  }
}

}  // namespace
}  // namespace corvane
