// The receiver of block transfers against a scripted sending device: the cut
// to the expected length, mixed block sizes, refused blocks, time-outs,
// cancels, and files that are whole or absent.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <thread>

#include "fake_clock.h"
#include "link/link_error.h"
#include "protocol/block_receiver.h"
#include "protocol/local_file.h"
#include "scripted_port.h"
#include "transfer_peers.h"

namespace corvane {
namespace {

using test::FakeClock;
using test::Gate;
using test::Pattern;
using test::ReadWhole;
using test::Reports;
using test::ScriptedPort;
using test::SenderPeer;
using test::TempDir;

const std::string kConnErr = kConnectionErrorText;
const Bytes kCan4(4, static_cast<char>(kCan));

struct RxRig {
  FakeClock clock;
  ScriptedPort port{clock};
  SenderPeer peer;
  Reports reports;
  TempDir dir;
  std::string path;

  RxRig() : path(dir / "got.bin") { peer.Attach(port); }

  bool exact = false;  // the expected length is a file's listed size
  bool Run(int64_t expected, const std::atomic<bool>* cancel = nullptr) {
    BlockReceiver rx(&port, expected, reports.Handler(), path, clock, cancel);
    rx.SetLengthIsExact(exact);
    const bool ok = rx.Run();
    EXPECT_EQ(ok, rx.Success());
    failureKind = rx.FailureKind();
    failure = rx.FailureMessage();
    return ok;
  }
  ErrorKind failureKind = ErrorKind::kFailed;
  std::string failure;
  void ExpectFinishedLast() const { reports.ExpectFinishedLast(); }
  // Nothing but what a test put there: no partial or temporary file.
  void ExpectFolderHolds(const std::vector<std::string>& names) const { EXPECT_EQ(dir.Entries(), names); }
};

Bytes Padded(const Bytes& data, size_t n) {
  Bytes b = data;
  b.resize(n, '\x1A');
  return b;
}

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

// ---- a repeat of the block accepted last: our ACK was lost on the line ----

// A device sends a frame four times at most, then falls silent, as a real
// one gives up: a receiver that keeps refusing fails rather than looping.
Bytes GiveUpAfterFourSendings(size_t, int attempt, const Bytes& frame) { return attempt < 4 ? frame : Bytes(); }

TEST(ReceiverRepeats, RepeatOfThePreviousBlockIsAcknowledgedAndDropped) {
  struct Case {
    const char* name;
    size_t blockSize;
    size_t length;
    size_t repeated;  // index of the frame sent twice
  };
  const Case cases[] = {
      {"first 1024-byte block", 1024, 3000, 0},
      {"middle 1024-byte block", 1024, 4000, 1},
      {"last 128-byte block", 128, 1000, 7},
      {"block 255 before the counter wraps", 128, 260 * 128, 254},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RxRig rig;
    const Bytes content = Pattern(c.length);
    rig.peer.SetFile(content, c.blockSize);
    // The copy carries other data under a good sum: the first copy is the one kept.
    const Bytes& first = rig.peer.frames[c.repeated];
    Bytes other(first.size() - 4, 'X');
    const Bytes copy = test::DeviceBlock(static_cast<uint8_t>(first[1]), other);
    rig.peer.frames.insert(rig.peer.frames.begin() + static_cast<long>(c.repeated) + 1, copy);
    const size_t blocks = rig.peer.frames.size() - 2;  // without the copy and the EOT
    rig.peer.Alter = GiveUpAfterFourSendings;
    ASSERT_TRUE(rig.Run(static_cast<int64_t>(c.length)));
    EXPECT_EQ(ReadWhole(rig.path), content);
    // The start NAK, then an ACK for every frame: each block, the copy, the EOT.
    EXPECT_EQ(rig.port.Written(), Bytes(1, static_cast<char>(kNak)) + Bytes(blocks + 2, static_cast<char>(kAck)));
    EXPECT_TRUE(rig.peer.finished);
    EXPECT_EQ(rig.reports.Count(kReportMessage), 0);
    EXPECT_EQ(rig.reports.Progress().back().position, static_cast<int64_t>(c.length));
    rig.ExpectFolderHolds({"got.bin"});
  }
}

TEST(ReceiverRepeats, LostAckMakesTheDeviceResendAfterTheReceiversTimeOut) {
  // The device never hears the ACK of block 2: it waits, the PC's header
  // read times out and it asks with NAK, the device sends block 2 again.
  RxRig rig;
  const Bytes content = Pattern(4000);
  rig.peer.SetFile(content);
  bool lost = false;
  rig.peer.IgnoreAck = [&](size_t index) {
    if (index != 1 || lost) return false;
    lost = true;
    return true;
  };
  rig.peer.Alter = GiveUpAfterFourSendings;
  ASSERT_TRUE(rig.Run(4000));
  EXPECT_EQ(ReadWhole(rig.path), content);
  EXPECT_EQ(rig.port.Written(), "\x15\x06\x06\x15\x06\x06\x06\x06");
  // The time-out is said once; the repeat itself is no error.
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
}

TEST(ReceiverRepeats, ADeviceThatRepeatsABlockForEverIsGivenUpOn) {
  RxRig rig;
  rig.peer.SetFile(Pattern(3000));
  // Every ACK of block 1 is lost, and the device sends it again at once (up
  // to 50 times, so that a receiver without a limit still ends).
  rig.peer.IgnoreAck = [](size_t index) { return index == 0; };
  int resent = 0;
  rig.peer.OnByte = [&](uint8_t b) {
    if (b == kAck && resent < 50) {
      ++resent;
      rig.port.Queue(rig.peer.frames[0]);
    }
  };
  EXPECT_FALSE(rig.Run(3000));
  EXPECT_EQ(rig.peer.cans, 4);
  // The first copy and the repeats up to the one past the limit were
  // acknowledged, then the receiver gave up (without a limit: 51).
  EXPECT_EQ(rig.peer.acks, 2 + BlockReceiver::kMaxRepeats);
  rig.ExpectFolderHolds({});
}

TEST(ReceiverRepeats, OnlyThePreviousNumberCountsAsARepeat) {
  // Block 0 before block 1 is not a repeat (nothing was accepted yet), nor is
  // block 1 while block 3 is expected: both are refused and nothing of them
  // is written.
  struct Case {
    const char* name;
    size_t at;
    uint8_t number;
  };
  for (const Case& c : {Case{"block 0 first", 0, 0}, Case{"block 1 instead of 3", 2, 1}}) {
    SCOPED_TRACE(c.name);
    RxRig rig;
    const Bytes content = Pattern(4000);
    rig.peer.SetFile(content);
    const Bytes stray = test::DeviceBlock(c.number, Bytes(1024, 'S'));
    rig.peer.Alter = [&](size_t index, int attempt, const Bytes& frame) {
      return index == c.at && attempt == 0 ? stray : frame;
    };
    ASSERT_TRUE(rig.Run(4000));
    EXPECT_EQ(ReadWhole(rig.path), content);
    EXPECT_EQ(rig.peer.naks, 2);  // the start and the refusal
    EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
  }
}

TEST(ReceiverRefuses, RefusedBlocksAreNotCountedAsHeaderRetries) {
  RxRig rig;
  const Bytes content = Pattern(1024);
  rig.peer.SetFile(content);
  rig.peer.Alter = [](size_t index, int attempt, const Bytes& frame) {
    Bytes d = frame;
    if (index == 0 && attempt < 12) d.back() ^= 0x01;
    return d;
  };
  ASSERT_TRUE(rig.Run(1024));
  EXPECT_EQ(ReadWhole(rig.path), content);
}

TEST(ReceiverRefuses, FiveBadHeaderBytesAreToleratedTheSixthFails) {
  {
    RxRig rig;
    rig.peer.SetFile(Pattern(2000));
    rig.peer.Alter = [](size_t index, int attempt, const Bytes& f) { return index == 1 && attempt < 5 ? Bytes("Z") : f; };
    ASSERT_TRUE(rig.Run(2000));
    EXPECT_EQ(ReadWhole(rig.path), Pattern(2000));
  }
  {
    RxRig rig;
    rig.peer.SetFile(Pattern(2000));
    rig.peer.Alter = [](size_t index, int attempt, const Bytes& f) { return index == 1 && attempt < 6 ? Bytes("Z") : f; };
    EXPECT_FALSE(rig.Run(2000));
    EXPECT_EQ(rig.peer.cans, 4);
    EXPECT_FALSE(test::Exists(rig.path));
    rig.ExpectFolderHolds({});
  }
}

// ---- failures: four CAN, no file ----

TEST(ReceiverFailure, SilentSenderGetsSevenNaksThenFourCan) {
  RxRig rig;
  const uint64_t t0 = rig.clock.NowMs();
  EXPECT_FALSE(rig.Run(5000));
  EXPECT_EQ(rig.failureKind, ErrorKind::kFailed);
  EXPECT_EQ(rig.failure, kConnErr);
  EXPECT_EQ(rig.port.Written(), Bytes(7, static_cast<char>(kNak)) + kCan4);
  // Six header reads of 2000 ms, each followed by a quiet drain of 200 ms, and the pause.
  EXPECT_EQ(rig.clock.NowMs() - t0, 6u * 2200 + 2000);
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>(6, kConnErr));
  rig.ExpectFinishedLast();
  rig.ExpectFolderHolds({});
}

TEST(ReceiverFailure, CanFromTheDeviceLeavesTheOldFileUntouched) {
  RxRig rig;
  test::WriteWhole(rig.path, "precious");
  rig.peer.SetFile(Pattern(5000));
  rig.peer.frames[2] = Bytes(1, static_cast<char>(kCan));
  EXPECT_FALSE(rig.Run(5000));
  EXPECT_EQ(ReadWhole(rig.path), "precious");
  EXPECT_TRUE(rig.port.Written().ends_with(kCan4));
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
  rig.ExpectFolderHolds({"got.bin"});
}

TEST(ReceiverFailure, BrokenLinkLeavesNoFile) {
  RxRig rig;
  rig.peer.SetFile(Pattern(5000));
  rig.peer.OnByte = [&](uint8_t b) {
    if (b == kAck && rig.peer.acks == 1) rig.port.Broken = true;
  };
  EXPECT_FALSE(rig.Run(5000));
  rig.ExpectFinishedLast();
  rig.ExpectFolderHolds({});
}

TEST(ReceiverFailure, TargetThatCannotBeCreatedGivesTheOpenMessage) {
  RxRig rig;
  const std::string bad = rig.dir / "no-such-folder/got.bin";
  BlockReceiver rx(&rig.port, 10, rig.reports.Handler(), bad, rig.clock);
  EXPECT_FALSE(rx.Run());
  EXPECT_EQ(rx.FailureKind(), ErrorKind::kLocalFile);
  EXPECT_EQ(rx.FailureMessage(), "Error (Unable to open file " + bad + ": No such file or directory. Check the path)");
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{"Error (Unable to open file " + bad + ": No such file or directory. Check the path)"});
  EXPECT_EQ(rig.port.Written(), kCan4);
}

TEST(ReceiverFailure, TargetThatIsAFolderIsRefused) {
  RxRig rig;
  std::filesystem::create_directory(rig.path);
  rig.peer.SetFile(Pattern(10));
  EXPECT_FALSE(rig.Run(10));
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{"Error (Unable to open file " + rig.path + ": Is a directory. A folder has that name: give the name of a file)"});
  EXPECT_TRUE(std::filesystem::is_directory(rig.path));
}

TEST(ReceiverFailure, WriteProtectedTargetIsNotReplaced) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser may write any file";
  RxRig rig;
  test::WriteWhole(rig.path, "read only");
  ::chmod(rig.path.c_str(), 0444);
  rig.peer.SetFile(Pattern(10));
  EXPECT_FALSE(rig.Run(10));
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{"Error (Unable to open file " + rig.path + ": Permission denied. Check that you may read and write there, or choose another folder)"});
  EXPECT_EQ(ReadWhole(rig.path), "read only");
}

TEST(ReceiverFailure, FailedLocalWriteEndsTheTransfer) {
  RxRig rig;
  rig.peer.SetFile(Pattern(10000));
  // Let the process write no file beyond 3000 bytes: the write fails with EFBIG.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &old);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 3000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool ok = rig.Run(10000);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(rig.failureKind, ErrorKind::kLocalFile);
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{"Error (Cannot write to file " + rig.path + ": File too large. The file is too large for that disk: choose another folder)"});
  EXPECT_EQ(rig.peer.cans, 4);
  rig.ExpectFolderHolds({});
}

// ---- cancel ----

TEST(ReceiverCancel, TakesEffectWithinOneReadTimeoutAndLeavesNoFile) {
  RxRig rig;
  rig.peer.SetFile(Pattern(10 * 1024));
  Gate idle, terminated;
  uint64_t idleAt = 0, canAt = 0;
  // The device goes quiet after block 3.
  rig.peer.Alter = [](size_t index, int, const Bytes& f) { return index >= 3 ? Bytes() : f; };
  rig.peer.OnByte = [&](uint8_t b) {
    if (b == kCan && canAt == 0) canAt = rig.clock.NowMs();
  };
  rig.port.OnIdle = [&](ScriptedPort&) {
    if (idleAt == 0) {
      idleAt = rig.clock.NowMs();
      idle.Open();
      terminated.Wait();
    }
  };
  BlockReceiver rx(&rig.port, 10 * 1024, rig.reports.Handler(), rig.path, rig.clock);
  bool ok = true;
  std::thread runner([&] { ok = rx.Run(); });
  idle.Wait();
  rx.Terminate();
  terminated.Open();
  runner.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(rx.FailureKind(), ErrorKind::kCancelled);
  EXPECT_EQ(rig.peer.acks, 3);
  EXPECT_EQ(rig.peer.cans, 4);
  ASSERT_NE(canAt, 0u);
  EXPECT_LE(canAt - idleAt, 2000u);
  rig.ExpectFinishedLast();
  rig.ExpectFolderHolds({});
}

TEST(ReceiverCancel, TheOwnersCancelFlagStopsAnEndlessTransfer) {
  RxRig rig;
  rig.peer.SetFile(Pattern(1024));
  std::atomic<bool> cancel{false};
  // A device that sends damaged blocks for ever: only a cancel ends it.
  rig.peer.Alter = [&](size_t, int attempt, const Bytes& f) {
    if (attempt == 20) cancel.store(true);
    Bytes d = f;
    d.back() ^= 0x01;
    return d;
  };
  EXPECT_FALSE(rig.Run(1024, &cancel));
  EXPECT_EQ(rig.failureKind, ErrorKind::kCancelled);
  EXPECT_EQ(rig.peer.cans, 4);
  rig.ExpectFinishedLast();
  rig.ExpectFolderHolds({});
}

}  // namespace
}  // namespace corvane
