// The receiver of block transfers when the line or the target fails: repeated
// blocks, bad headers, the four CANs that end a failed transfer, and cancels.
#include "receiver_rig.h"

namespace corvane {
namespace {

using namespace receiver_test;

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
