// The sender of block transfers against a scripted receiving device: frames to
// the byte, retries and their limits, cancels and the failure path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fake_clock.h"
#include "link/link_error.h"
#include "protocol/block_sender.h"
#include "protocol/local_file.h"
#include "scripted_port.h"
#include "transfer_peers.h"

namespace corvane {
namespace {

using test::FakeClock;
using test::Gate;
using test::Pattern;
using test::ReceiverPeer;
using test::Reports;
using test::ScriptedPort;
using test::TempDir;

const Bytes kAckReply(1, static_cast<char>(kAck));
const Bytes kNakReply(1, static_cast<char>(kNak));
const Bytes kCan3(3, static_cast<char>(kCan));
const std::string kConnErr = kConnectionErrorText;

struct TxRig {
  FakeClock clock;
  ScriptedPort port{clock};
  ReceiverPeer peer;
  Reports reports;
  TempDir dir;
  std::string path;

  explicit TxRig(const Bytes& content, uint8_t start = 'C') : path(dir / "file.bin") {
    test::WriteWhole(path, content);
    peer.Attach(port);
    port.QueueByte(start);
  }
  bool Run(const std::atomic<bool>* cancel = nullptr) {
    BlockSender tx(&port, reports.Handler(), path, clock, cancel);
    const bool ok = tx.Run();
    failureKind = tx.FailureKind();
    return ok;
  }
  ErrorKind failureKind = ErrorKind::kFailed;
  void ExpectFinishedLast() const { reports.ExpectFinishedLast(); }
};

Bytes Frame(uint8_t number, const Bytes& data, const Bytes& trailer) {
  Bytes f;
  f += static_cast<char>(kStx);
  f += static_cast<char>(number);
  f += static_cast<char>(255 - number);
  return f + data + trailer;
}

// 1015 zero bytes then "123456789": with a zero start, leading zeros leave the
// CRCs unchanged, so the trailers are the published check values.
Bytes CheckBlock() { return Bytes(1015, '\0') + "123456789"; }

TEST(SenderFrames, CrcArcTrailerLowByteFirst) {
  TxRig rig(CheckBlock(), 'C');
  ASSERT_TRUE(rig.Run());
  EXPECT_EQ(rig.port.Written(), Frame(1, CheckBlock(), "\x3D\xBB") + "\x04");
  rig.ExpectFinishedLast();
}

TEST(SenderFrames, CrcKermitTrailerHighByteFirst) {
  TxRig rig(CheckBlock(), 'D');
  ASSERT_TRUE(rig.Run());
  EXPECT_EQ(rig.port.Written(), Frame(1, CheckBlock(), "\x21\x89") + "\x04");
}

TEST(SenderFrames, NakAsksForTheOneByteSum) {
  TxRig rig(CheckBlock(), kNak);
  ASSERT_TRUE(rig.Run());
  EXPECT_EQ(rig.port.Written(), Frame(1, CheckBlock(), "\xDD") + "\x04");
}

TEST(SenderFrames, ShortLastBlockIsPaddedWithFillerAndCovered) {
  const Bytes content = Pattern(1500);
  TxRig rig(content, 'C');
  ASSERT_TRUE(rig.Run());
  ASSERT_EQ(rig.peer.frames.size(), 2u);
  Bytes last = content.substr(1024) + Bytes(548, static_cast<char>(BlockSender::kFiller));
  const uint16_t crc = Crc16Arc(0, last);
  Bytes trailer;
  trailer += static_cast<char>(crc & 0xFF);
  trailer += static_cast<char>(crc >> 8);
  EXPECT_EQ(rig.peer.frames[0], Frame(1, content.substr(0, 1024), rig.peer.frames[0].substr(1027)));
  EXPECT_EQ(rig.peer.frames[1], Frame(2, last, trailer));
  EXPECT_EQ(rig.peer.eots, 1);
}

TEST(SenderFrames, BlockNumbersWrapAfter255) {
  const Bytes content = Pattern(256 * 1024 + 10);
  TxRig rig(content, kNak);
  ASSERT_TRUE(rig.Run());
  ASSERT_EQ(rig.peer.frames.size(), 257u);
  auto header = [&](size_t i) { return rig.peer.frames[i].substr(0, 3); };
  EXPECT_EQ(header(0), Bytes("\x02\x01\xFE", 3));
  EXPECT_EQ(header(254), Bytes("\x02\xFF\x00", 3));  // block 255
  EXPECT_EQ(header(255), Bytes("\x02\x00\xFF", 3));  // block 256
  EXPECT_EQ(header(256), Bytes("\x02\x01\xFE", 3));  // block 257
  EXPECT_EQ(rig.peer.accepted.substr(0, content.size()), content);
}

TEST(SenderFrames, EmptyFileSendsNoBlockThenEot) {
  TxRig rig(Bytes(), 'C');
  ASSERT_TRUE(rig.Run());
  EXPECT_EQ(rig.port.Written(), "\x04");
  EXPECT_EQ(rig.reports.Texts(kReportStatus),
            (std::vector<std::string>{"Connecting ...", "Copying " + rig.path, "file.bin sent at 0 Kbyte/s"}));
  EXPECT_EQ(rig.reports.Count(kReportProgress), 0);
  rig.ExpectFinishedLast();
}

TEST(SenderFrames, ExactMultipleOfBlockSizeHasNoExtraBlock) {
  const Bytes content = Pattern(2048);
  TxRig rig(content, 'C');
  ASSERT_TRUE(rig.Run());
  ASSERT_EQ(rig.peer.frames.size(), 2u);
  EXPECT_EQ(rig.peer.accepted, content);
  EXPECT_EQ(rig.peer.eots, 1);
  // Reports: status, status, a progress before each block and one after the
  // last, the rate line, finished.
  const auto lines = rig.reports.Lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0].text, "Connecting ...");
  EXPECT_EQ(lines[1].text, "Copying " + rig.path);
  EXPECT_EQ(lines[2].kind, kReportProgress);
  EXPECT_EQ(lines[2].text, "0/2 Kbytes\r\n(0%)\r\n0 Kbyte/s");
  EXPECT_EQ(lines[2].position, 0);
  EXPECT_EQ(lines[2].max, 2048);
  EXPECT_EQ(lines[3].text, "1/2 Kbytes\r\n(50%)\r\n1 Kbyte/s");
  EXPECT_EQ(lines[3].position, 1024);
  EXPECT_EQ(lines[4].kind, kReportProgress);
  EXPECT_EQ(lines[4].text, "2/2 Kbytes\r\n(100%)\r\n2 Kbyte/s");
  EXPECT_EQ(lines[4].position, 2048);
  EXPECT_EQ(lines[4].phase, TransferPhase::kSending);
  EXPECT_EQ(lines[5].kind, kReportStatus);
  EXPECT_EQ(lines[5].text, "file.bin sent at 2 Kbyte/s");
  EXPECT_EQ(lines[6].kind, kReportFinished);
}

TEST(SenderFrames, ProgressCountsTheFilesBytesNotThePaddingAndEndsAtTheSize) {
  TxRig rig(Pattern(2500), 'C');
  ASSERT_TRUE(rig.Run());
  const auto progress = rig.reports.Progress();
  ASSERT_EQ(progress.size(), 4u);
  EXPECT_EQ(progress[0].position, 0);
  EXPECT_EQ(progress[1].position, 1024);
  EXPECT_EQ(progress[2].position, 2048);
  EXPECT_EQ(progress[3].position, 2500);  // the padded last block adds its 452 real bytes
  for (const auto& p : progress) EXPECT_EQ(p.max, 2500);
}

// ---- a file that changes while it is sent ----

TEST(SenderFile, AFileCutShortWhileItIsSentFailsAndIsCancelled) {
  TxRig rig(Pattern(5000), 'C');
  // Another program truncates the file once block 1 is acknowledged.
  rig.peer.Reply = [&](size_t i, const Bytes&) {
    if (i == 0) std::filesystem::resize_file(rig.path, 1500);
    return kAckReply;
  };
  EXPECT_FALSE(rig.Run());
  EXPECT_EQ(rig.failureKind, ErrorKind::kLocalFile);
  EXPECT_EQ(rig.reports.Texts(kReportMessage),
            std::vector<std::string>{"Error (The file " + rig.path +
                                     " became shorter while it was sent (1500 of 5000 bytes). Send it again once "
                                     "nothing is changing it)"});
  EXPECT_EQ(rig.peer.frames.size(), 1u);  // the short block never went
  EXPECT_EQ(rig.peer.eots, 0);
  EXPECT_EQ(rig.peer.cans, kCan3);
  rig.ExpectFinishedLast();
}

TEST(SenderFile, AFileThatGrowsWhileItIsSentGoesByItsLengthAtOpening) {
  for (const size_t length : {size_t{2048}, size_t{1500}}) {
    SCOPED_TRACE(length);
    TxRig rig(Pattern(length), 'C');
    rig.peer.Reply = [&](size_t i, const Bytes&) {
      if (i == 0) std::ofstream(rig.path, std::ios::binary | std::ios::app) << Bytes(4000, 'G');
      return kAckReply;
    };
    ASSERT_TRUE(rig.Run());
    ASSERT_EQ(rig.peer.frames.size(), 2u);
    EXPECT_EQ(rig.peer.accepted.substr(0, length), Pattern(length));
    EXPECT_EQ(rig.peer.accepted.substr(length), Bytes(2048 - length, static_cast<char>(BlockSender::kFiller)));
    EXPECT_EQ(rig.peer.eots, 1);
  }
}

// ---- start byte ----

TEST(SenderStart, JunkBeforeTheStartByteIsToleratedFiveTimes) {
  TxRig rig(Pattern(10), 'x');
  rig.port.Queue("xxxxC");
  EXPECT_TRUE(rig.Run());
}

TEST(SenderStart, SixthJunkByteFails) {
  TxRig rig(Pattern(10), 'x');
  rig.port.Queue("xxxxxC");
  EXPECT_FALSE(rig.Run());
  EXPECT_TRUE(rig.peer.frames.empty());
  EXPECT_EQ(rig.peer.cans, kCan3);
}

TEST(SenderStart, SilentDeviceFailsAfterSixReadsAndPauses) {
  FakeClock clock;
  ScriptedPort port{clock};
  ReceiverPeer peer;
  peer.Attach(port);
  Reports reports;
  TempDir dir;
  test::WriteWhole(dir / "f", "abc");
  const uint64_t t0 = clock.NowMs();
  {
    BlockSender tx(&port, reports.Handler(), dir / "f", clock);
    EXPECT_FALSE(tx.Run());
    EXPECT_EQ(tx.FailureKind(), ErrorKind::kFailed);
    EXPECT_EQ(tx.FailureMessage(), kConnErr);
  }
  // Six reads of 2000 ms, then the 2000 ms pause of the failure path.
  EXPECT_EQ(clock.NowMs() - t0, 6u * 2000 + 2000);
  EXPECT_EQ(port.Written(), kCan3);
  EXPECT_EQ(reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
}

TEST(SenderStart, CanAtTheStartFailsAtOnce) {
  TxRig rig(Pattern(10), kCan);
  EXPECT_FALSE(rig.Run());
  EXPECT_EQ(rig.port.Written(), kCan3);
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
  rig.ExpectFinishedLast();
}

TEST(SenderStart, MissingLocalFileGivesTheOpenMessage) {
  TxRig rig(Pattern(10), 'C');
  const std::string missing = rig.dir / "nope.bin";
  BlockSender tx(&rig.port, rig.reports.Handler(), missing, rig.clock);
  EXPECT_FALSE(tx.Run());
  EXPECT_EQ(tx.FailureKind(), ErrorKind::kLocalFile);
  EXPECT_EQ(rig.reports.Texts(kReportMessage),
            std::vector<std::string>{"Error (Unable to open file " + missing + ": No such file or directory. Check the path)"});
  EXPECT_EQ(rig.port.Written(), kCan3);
}

TEST(SenderStart, OnlyARegularFileIsSentNeverAPipeOrADevice) {
  // A pipe whose other end is held open would read as an empty file (and,
  // with nobody at the other end, block the open for ever); a device has no
  // length. Neither is a file to send.
  TxRig rig(Pattern(10), 'C');
  const std::string pipe = rig.dir / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const int held = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  for (const std::string& path : {pipe, std::string("/dev/zero"), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    InputFile file;
    EXPECT_NE(file.Open(path), 0);
    EXPECT_FALSE(file.IsOpen());
  }
  BlockSender tx(&rig.port, rig.reports.Handler(), pipe, rig.clock);
  EXPECT_FALSE(tx.Run());
  EXPECT_EQ(tx.FailureKind(), ErrorKind::kLocalFile);
  EXPECT_EQ(rig.port.Written(), kCan3);  // no block and no end of file went
  ::close(held);
}

// ---- replies to blocks ----

TEST(SenderRetries, TenNaksAreRetriedTheEleventhFails) {
  {
    TxRig rig(Pattern(100), 'C');
    rig.peer.Reply = [](size_t i, const Bytes&) { return i < 10 ? kNakReply : kAckReply; };
    ASSERT_TRUE(rig.Run());
    ASSERT_EQ(rig.peer.frames.size(), 11u);
    for (const auto& f : rig.peer.frames) EXPECT_EQ(f, rig.peer.frames[0]);  // the same block again
    EXPECT_EQ(rig.reports.Count(kReportMessage), 10);
  }
  {
    TxRig rig(Pattern(100), 'C');
    rig.peer.Reply = [](size_t, const Bytes&) { return kNakReply; };
    EXPECT_FALSE(rig.Run());
    EXPECT_EQ(rig.peer.frames.size(), 11u);
    EXPECT_EQ(rig.peer.cans, kCan3);
    EXPECT_EQ(rig.peer.eots, 0);
    rig.ExpectFinishedLast();
  }
}

TEST(SenderRetries, TimeoutsPauseAndCountLikeNaks) {
  {
    TxRig rig(Pattern(100), 'C');
    rig.peer.Reply = [](size_t i, const Bytes&) { return i < 10 ? Bytes() : kAckReply; };
    const uint64_t t0 = rig.clock.NowMs();
    ASSERT_TRUE(rig.Run());
    EXPECT_EQ(rig.peer.frames.size(), 11u);
    EXPECT_EQ(rig.clock.NowMs() - t0, 10u * (2000 + 800));
  }
  {
    TxRig rig(Pattern(100), 'C');
    rig.peer.Reply = [](size_t, const Bytes&) { return Bytes(); };
    EXPECT_FALSE(rig.Run());
    EXPECT_EQ(rig.peer.frames.size(), 11u);
  }
}

TEST(SenderRetries, ZeroByteReplyCountsAsTimeout) {
  TxRig rig(Pattern(100), 'C');
  rig.peer.Reply = [](size_t, const Bytes&) { return Bytes(1, '\0'); };
  EXPECT_FALSE(rig.Run());
  EXPECT_EQ(rig.peer.frames.size(), 11u);
}

TEST(SenderRetries, OtherBytesAreDrainedAndNotCounted) {
  TxRig rig(Pattern(3000), 'C');
  // Twenty junk replies to block 2, more than the retry limit, then ACK.
  rig.peer.Reply = [](size_t i, const Bytes&) { return (i >= 1 && i <= 20) ? Bytes("?!") : kAckReply; };
  const int purgesBefore = rig.port.Purges();
  ASSERT_TRUE(rig.Run());
  EXPECT_EQ(rig.peer.frames.size(), 23u);
  EXPECT_EQ(rig.peer.accepted.substr(0, 3000), Pattern(3000));
  EXPECT_GE(rig.port.Purges() - purgesBefore, 20);
  EXPECT_EQ(rig.port.TimeoutConstant(), 2000u);  // the drain restored the reply time-out
}

TEST(SenderRetries, CanAsReplyFails) {
  TxRig rig(Pattern(3000), 'C');
  rig.peer.Reply = [](size_t i, const Bytes&) { return i == 1 ? Bytes(1, static_cast<char>(kCan)) : kAckReply; };
  EXPECT_FALSE(rig.Run());
  EXPECT_EQ(rig.peer.frames.size(), 2u);
  EXPECT_EQ(rig.peer.cans, kCan3);
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
}

TEST(SenderEnd, EotIsRepeatedUntilAckAtMostTenTimes) {
  {
    TxRig rig(Pattern(10), 'C');
    rig.peer.EotReply = [](int n) { return n < 3 ? kNakReply : kAckReply; };
    EXPECT_TRUE(rig.Run());
    EXPECT_EQ(rig.peer.eots, 3);
  }
  {
    TxRig rig(Pattern(10), 'C');
    rig.peer.EotReply = [](int) { return kNakReply; };
    EXPECT_FALSE(rig.Run());
    EXPECT_EQ(rig.peer.eots, 10);
    EXPECT_EQ(rig.peer.cans, kCan3);
  }
}

TEST(SenderFailure, BrokenLinkEndsWithFinished) {
  TxRig rig(Pattern(5000), 'C');
  rig.peer.Reply = [&](size_t i, const Bytes&) {
    if (i == 2) rig.port.Broken = true;
    return kAckReply;
  };
  EXPECT_FALSE(rig.Run());
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnErr});
  rig.ExpectFinishedLast();
}

// ---- cancel ----

TEST(SenderCancel, TakesEffectWithinOneReadTimeout) {
  TxRig rig(Pattern(10 * 1024), 'C');
  Gate idle, terminated;
  uint64_t idleAt = 0;
  uint64_t canAt = 0;
  rig.peer.Reply = [](size_t i, const Bytes&) { return i < 3 ? kAckReply : Bytes(); };
  rig.port.OnIdle = [&](ScriptedPort&) {
    if (rig.peer.frames.size() == 4 && idleAt == 0) {
      idleAt = rig.clock.NowMs();
      idle.Open();
      terminated.Wait();
    }
  };
  auto inner = rig.port.OnWrite;
  rig.port.OnWrite = [&](ScriptedPort& p, const Bytes& data) {
    if (data == kCan3) canAt = rig.clock.NowMs();
    inner(p, data);
  };
  BlockSender tx(&rig.port, rig.reports.Handler(), rig.path, rig.clock);
  bool ok = true;
  std::thread runner([&] { ok = tx.Run(); });
  idle.Wait();
  tx.Terminate();
  terminated.Open();
  runner.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(tx.FailureKind(), ErrorKind::kCancelled);
  EXPECT_EQ(rig.peer.frames.size(), 4u);
  ASSERT_NE(canAt, 0u);
  EXPECT_LE(canAt - idleAt, 2000u);
  EXPECT_EQ(rig.reports.Lines().back().kind, kReportFinished);
}

TEST(SenderCancel, TheOwnersCancelFlagStopsAnEndlessTransfer) {
  // A device that answers every block with noise keeps the sender going
  // until it is told to stop.
  TxRig rig(Pattern(100), 'C');
  std::atomic<bool> cancel{false};
  rig.peer.Reply = [&](size_t i, const Bytes&) {
    if (i == 30) cancel.store(true);
    return Bytes("x");
  };
  EXPECT_FALSE(rig.Run(&cancel));
  EXPECT_EQ(rig.failureKind, ErrorKind::kCancelled);
  EXPECT_EQ(rig.peer.frames.size(), 31u);
  EXPECT_EQ(rig.peer.cans, kCan3);
  rig.ExpectFinishedLast();
}

}  // namespace
}  // namespace corvane
