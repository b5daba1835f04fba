// File operations and the screen capture against a scripted device: the
// command bytes and packets of both device kinds, the transfers under the
// status dialog, the pauses, and the TCP/IP path against a local server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "../protocol/transfer_peers.h"
#include "fake_host.h"
#include "test_util.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"
#include "scripted_device.h"
#include "session/device_session.h"

namespace corvane {
namespace {

using test::FakeClock;
using test::FakeHost;
using test::ReadN;
using test::TcpPeer;
using test::What;
using test::WriteAll;
using test::Pattern;
using test::ReadWhole;
using test::ReceiverPeer;
using test::ScriptedDevice;
using test::ScriptedPort;
using test::SenderPeer;
using test::TempDir;


// The fake clock, with every pause written down.
class RecordingClock final : public Clock {
 public:
  explicit RecordingClock(FakeClock& clock) : m_clock(clock) {}
  uint64_t NowMs() override { return m_clock.NowMs(); }
  void SleepMs(uint32_t ms) override {
    {
      std::lock_guard lock(m_mutex);
      m_sleeps.push_back(ms);
    }
    m_clock.SleepMs(ms);
  }
  std::vector<uint32_t> Sleeps() {
    std::lock_guard lock(m_mutex);
    return m_sleeps;
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_sleeps.clear();
  }

 private:
  FakeClock& m_clock;
  std::mutex m_mutex;
  std::vector<uint32_t> m_sleeps;
};

// A connected session whose device answers commands and packets, and takes
// part in the block transfer that follows 'G', 'P' or 'S'.
struct Rig {
  FakeClock fake;
  RecordingClock clock{fake};
  FakeHost host;
  LogModel log;
  DeviceSession session{host, log, clock};
  std::unique_ptr<ScriptedPort> portOwner;
  ScriptedPort* port = nullptr;
  std::unique_ptr<ScriptedDevice> device;
  SenderPeer sender;      // the device sending a file (get, capture)
  ReceiverPeer receiver;  // the device receiving a file (put)
  uint8_t startByte = 'C';
  std::vector<std::string> messages;
  TempDir dir;

  enum class Mode { kCommands, kSending, kReceiving } mode = Mode::kCommands;
  char armed = 0;

  explicit Rig(bool quillon, bool connect = true) {
    session.IsQuillon = quillon;
    session.BaudRate = 115200;
    session.OnMessage = [this](DeviceSession&, const std::string& text) { messages.push_back(text); };
    session.OpenPort = [this](const std::string& name, int, bool) -> std::unique_ptr<SerialPort> {
      auto p = std::make_unique<ScriptedPort>(fake, name);
      port = p.get();
      device = std::make_unique<ScriptedDevice>(*p);
      auto commandSide = p->OnWrite;
      p->OnWrite = [this, commandSide](ScriptedPort& sp, const Bytes& data) { OnWrite(sp, data, commandSide); };
      return p;
    };
    if (connect) {
      session.Connect(LinkTarget::Serial("/dev/ttyFAKE0"));
      port->ClearWritten();
      device->commands.clear();
      device->packets.clear();
      messages.clear();
      clock.Clear();
    }
  }

  void OnWrite(ScriptedPort& p, const Bytes& data, const std::function<void(ScriptedPort&, const Bytes&)>& commandSide) {
    if (mode == Mode::kSending) {
      sender.OnWrite(p, data);
      if (sender.finished || data.find(static_cast<char>(kCan)) != Bytes::npos) mode = Mode::kCommands;
      return;
    }
    if (mode == Mode::kReceiving) {
      receiver.OnWrite(p, data);
      if (receiver.finished || !receiver.cans.empty()) mode = Mode::kCommands;
      return;
    }
    const size_t packets = device->packets.size();
    commandSide(p, data);
    if (data.size() == 1 && (data[0] == 'G' || data[0] == 'P')) armed = data[0];
    if (data.size() == 1 && data[0] == 'S') mode = Mode::kSending;
    if (armed != 0 && device->packets.size() > packets) {
      mode = armed == 'G' ? Mode::kSending : Mode::kReceiving;
      if (armed == 'P') p.QueueByte(startByte);
      armed = 0;
    }
  }

  Bytes Commands() const {
    Bytes c;
    for (const auto& b : device->commands) c += b;
    return c;
  }
  std::vector<uint32_t> Sleeps() { return clock.Sleeps(); }
};

// ---- get ----

TEST(GetFile, QuillonReceivesTheListedSizeUnderTheStatusDialog) {
  Rig rig(true);
  const Bytes content = Pattern(1500);
  rig.sender.SetFile(content);
  const std::string local = rig.dir / "notes.txt";
  ASSERT_NO_THROW(rig.session.GetFile("\\\\Docs\\notes.txt", local, 1500));
  EXPECT_EQ(ReadWhole(local), content);
  EXPECT_EQ(rig.Commands(), "G");
  EXPECT_EQ(rig.device->packets, std::vector<Bytes>{"\\\\Docs\\notes.txt"});
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"Requesting file notes.txt", "Copying notes.txt"}));
  EXPECT_EQ(rig.session.GetStatusDialog().Caption(), "Copying notes.txt");
  EXPECT_TRUE(rig.session.GetStatusDialog().Ended());
  EXPECT_EQ(rig.session.GetStatusDialog().GetResult(), StatusDialog::Result::kOk);
  // The command's pause, then the pause after the transfer.
  EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 500}));
  // Every report reached the log, the final one as an empty line.
  const auto entries = rig.log.Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back(), "");
  EXPECT_EQ(entries[entries.size() - 2], "notes.txt Received at 1 Kbyte/s");
  // The last progress entry is the whole file.
  EXPECT_EQ(entries[entries.size() - 3], "1/1 Kbytes\r\n(100%)\r\n1 Kbyte/s");
  EXPECT_EQ(rig.session.GetStatusDialog().ProgressPosition(), 1500);
}

TEST(GetFile, TallisExpectsNineBytesMoreThanListed) {
  Rig rig(false);
  const Bytes content = Pattern(109);
  rig.sender.SetFile(content + Bytes(50, 'z'));
  const std::string local = rig.dir / "A";
  ASSERT_NO_THROW(rig.session.GetFile("A", local, 100));
  EXPECT_EQ(ReadWhole(local), content);
  EXPECT_EQ(rig.session.GetStatusDialog().ProgressMax(), 109);
}

TEST(GetFile, FailedTransferRaisesLeavesNoFileAndStillPauses) {
  Rig rig(true);
  rig.sender.SetFile(Pattern(5000));
  rig.sender.frames[2] = Bytes(1, static_cast<char>(kCan));
  const std::string local = rig.dir / "x.bin";
  const auto raised = test::Catch([&] { rig.session.GetFile("x.bin", local, 5000); });
  EXPECT_TRUE(raised.raised);
  EXPECT_EQ(raised.kind, ErrorKind::kFailed);
  EXPECT_EQ(raised.what, kConnectionErrorText);
  EXPECT_TRUE(raised.reported);  // the transfer told it in the dialog and the log
  EXPECT_FALSE(test::Exists(local));
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{});
  EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 2000, 500}));
  EXPECT_TRUE(rig.port->Written().ends_with(Bytes(4, static_cast<char>(kCan))));
}

TEST(GetFile, UserCancelStopsTheReceiverAndLeavesNoFile) {
  Rig rig(true);
  rig.sender.SetFile(Pattern(20 * 1024));
  // The user cancels during block 4; the device waits for that, then goes quiet.
  test::Gate cancelled;
  rig.host.onDialogChange = [&](StatusDialog& d) {
    if (d.ProgressPosition() >= 3072 && d.RequestCancel()) cancelled.Open();
  };
  rig.sender.Alter = [&](size_t index, int, const Bytes& frame) {
    if (index < 4) return frame;
    cancelled.Wait();
    return Bytes();
  };
  const std::string local = rig.dir / "big.bin";
  test::WriteWhole(local, "keep me");
  const auto raised = test::Catch([&] { rig.session.GetFile("big.bin", local, 20 * 1024); });
  EXPECT_TRUE(raised.raised);
  EXPECT_EQ(raised.kind, ErrorKind::kCancelled);
  EXPECT_EQ(rig.session.GetStatusDialog().GetResult(), StatusDialog::Result::kCancel);
  EXPECT_EQ(ReadWhole(local), "keep me");
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"big.bin"});
  EXPECT_FALSE(rig.sender.finished);
  // Reports after the cancel still reach the log: the failure and the final line.
  const auto entries = rig.log.Entries();
  EXPECT_EQ(entries.back(), "");
  EXPECT_EQ(entries[entries.size() - 2], kConnectionErrorText);
}

// The pauses after a cancelled transfer (the failure pause and the one before
// the device's next command) are kept for a program that goes on, and
// skipped for one that ends after it (Ctrl-C in corvane).
TEST(GetFile, ACancelBeforeExitSkipsThePausesButStillSendsTheCancelBytes) {
  for (const bool ending : {false, true}) {
    SCOPED_TRACE(ending ? "program ending" : "program going on");
    Rig rig(true);
    rig.sender.SetFile(Pattern(20 * 1024));
    test::Gate cancelled;
    rig.host.onDialogChange = [&](StatusDialog& d) {
      if (d.ProgressPosition() >= 3072 && d.RequestCancel(ending)) cancelled.Open();
    };
    rig.sender.Alter = [&](size_t index, int, const Bytes& frame) {
      if (index < 4) return frame;
      cancelled.Wait();
      return Bytes();
    };
    const std::string local = rig.dir / "big.bin";
    test::WriteWhole(local, "keep me");
    const auto raised = test::Catch([&] { rig.session.GetFile("big.bin", local, 20 * 1024); });
    EXPECT_EQ(raised.kind, ErrorKind::kCancelled);
    EXPECT_EQ(ReadWhole(local), "keep me");
    EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"big.bin"});
    EXPECT_TRUE(rig.port->Written().ends_with(Bytes(4, static_cast<char>(kCan))));
    const std::vector<uint32_t> pauses = ending ? std::vector<uint32_t>{20} : std::vector<uint32_t>{20, 2000, 500};
    EXPECT_EQ(rig.Sleeps(), pauses);
    EXPECT_EQ(rig.session.Cancel().Ending(), ending);
  }
}

TEST(GetFile, AnEndingProgramSkipsThePauseAfterASuccessfulTransfer) {
  Rig rig(true);
  rig.sender.SetFile(Pattern(2000));
  rig.session.GetStatusDialog().ProgramEnding();  // nothing shown: nothing to cancel
  EXPECT_FALSE(rig.session.CancelFlag().load());
  const std::string local = rig.dir / "small.bin";
  ASSERT_NO_THROW(rig.session.GetFile("small.bin", local, 2000));
  EXPECT_EQ(ReadWhole(local), Pattern(2000));
  EXPECT_EQ(rig.Sleeps(), std::vector<uint32_t>{20});
}

// A device that ends a file before its listed size (one block, then EOT, and
// EOT again when the first is refused) has not sent the file: nothing is
// kept, the old copy stays, and the message says how much came. The device
// heard its end acknowledged, so it is not sent cancel bytes it would take
// for commands.
TEST(GetFile, AFileThatEndsBeforeItsListedSizeFailsAndKeepsNothing) {
  struct Case {
    const char* name;
    bool quillon;
    int64_t listed;
    size_t sent;
    const char* says;
  };
  const Case cases[] = {
      {"Quillon, one block of 100000 bytes", true, 100000, 1024, "1024 of 100000 bytes"},
      // A Tallis sends its 9-byte object header too: 1020 listed are 1029 bytes.
      {"Tallis, one block of a 1029-byte object", false, 1020, 1024, "1024 of 1029 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.quillon);
    rig.sender.SetFile(Pattern(c.sent));
    const std::string local = rig.dir / "short.bin";
    test::WriteWhole(local, "the old copy");
    const auto raised = test::Catch([&] { rig.session.GetFile("short.bin", local, c.listed); });
    EXPECT_TRUE(raised.raised);
    EXPECT_EQ(raised.kind, ErrorKind::kFailed);
    EXPECT_NE(raised.what.find(c.says), std::string::npos) << raised.what;
    EXPECT_TRUE(raised.reported);
    EXPECT_EQ(ReadWhole(local), "the old copy");
    EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"short.bin"});
    // The start NAK, the block's ACK, the NAK of the first EOT, the ACK of the second.
    EXPECT_TRUE(rig.port->Written().ends_with("\x15\x06\x15\x06"));
    EXPECT_EQ(rig.port->Written().find(static_cast<char>(kCan)), Bytes::npos);
    EXPECT_TRUE(rig.sender.finished);
    EXPECT_EQ(rig.sender.cans, 0);
    // The command's pause and the one before the next command; no failure pause.
    EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 500}));
  }
}

TEST(GetFile, ATargetThatCannotBeCreatedIsRefusedBeforeTheDeviceIsAsked) {
  // A name too long for the file system, a folder that is not there: the
  // device hears nothing of it, and no pause is spent on a transfer.
  Rig rig(true);
  rig.sender.SetFile(Pattern(3000));
  for (const std::string& local : {rig.dir / std::string(256, 'n'), rig.dir / "missing/x.bin"}) {
    SCOPED_TRACE(local);
    const auto raised = test::Catch([&] { rig.session.GetFile("x.bin", local, 3000); });
    EXPECT_EQ(raised.kind, ErrorKind::kLocalFile);
    EXPECT_EQ(raised.what.rfind("Error (Unable to open file " + local + ": ", 0), 0u) << raised.what;
    EXPECT_EQ(rig.port->Written(), "");
    EXPECT_TRUE(rig.Sleeps().empty());
  }
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{});
}

TEST(GetFile, AFileWhoseLastBlockIsPaddedPastItsSizeIsWhole) {
  // 1000 bytes listed come as one 1024-byte block: the end is not early.
  Rig rig(true);
  rig.sender.SetFile(Pattern(1000));
  const std::string local = rig.dir / "padded.bin";
  ASSERT_NO_THROW(rig.session.GetFile("padded.bin", local, 1000));
  EXPECT_EQ(ReadWhole(local), Pattern(1000));
}

// ---- put ----

TEST(PutFile, QuillonSendsNameZeroAndLengthThenTheBlocks) {
  Rig rig(true);
  const std::string local = rig.dir / "report.doc";
  const Bytes content = Pattern(2500);
  test::WriteWhole(local, content);
  ASSERT_NO_THROW(rig.session.PutFile("\\My Documents\\report.doc", local));
  EXPECT_EQ(rig.Commands(), "P");
  EXPECT_EQ(rig.device->packets, std::vector<Bytes>{Bytes("\\My Documents\\report.doc\0\xC4\x09\x00\x00", 29)});
  EXPECT_EQ(rig.receiver.accepted.substr(0, 2500), content);
  EXPECT_EQ(rig.receiver.frames.size(), 3u);
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"Sending PUT command", "Copying report.doc"}));
  EXPECT_EQ(rig.session.GetStatusDialog().Caption(), "Copying \\My Documents\\report.doc");
  EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 1000}));
}

TEST(PutFile, QuillonDriversGoToTheirFixedNamesInAnyLetterCase) {
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"DispDrv.DLL", "ddi.dll"}, {"zephtouch.dll", "touch.dll"}, {"KEYDRV1.dll", "keybddr.dll"}, {"keydrv2.dll", "x\\keydrv2.dll"}};
  for (const auto& [file, device] : cases) {
    SCOPED_TRACE(file);
    Rig rig(true);
    std::filesystem::create_directory(rig.dir / "sub");
    const std::string local = rig.dir / ("sub/" + file);
    test::WriteWhole(local, "MZ");
    ASSERT_NO_THROW(rig.session.PutFile("x\\" + file, local));
    ASSERT_EQ(rig.device->packets.size(), 1u);
    EXPECT_EQ(rig.device->packets[0], device + Bytes("\0\x02\0\0\0", 5));
    EXPECT_EQ(rig.session.GetStatusDialog().Caption(), "Copying " + device);
  }
}

TEST(PutFile, TallisSendsTheNameAloneEvenForADriverFile) {
  Rig rig(false);
  const std::string local = rig.dir / "DISPDRV.DLL";
  test::WriteWhole(local, Pattern(10));
  rig.startByte = kNak;
  ASSERT_NO_THROW(rig.session.PutFile("DISPDRV.DLL", local));
  EXPECT_EQ(rig.device->packets, std::vector<Bytes>{"DISPDRV.DLL"});
  ASSERT_EQ(rig.receiver.frames.size(), 1u);
  EXPECT_EQ(rig.receiver.frames[0].size(), 1028u);  // the 1-byte sum the device asked for
}

TEST(PutFile, ZeroLengthFileToAQuillonSendsFourZeroLengthBytes) {
  Rig rig(true);
  const std::string local = rig.dir / "empty";
  test::WriteWhole(local, "");
  ASSERT_NO_THROW(rig.session.PutFile("empty", local));
  EXPECT_EQ(rig.device->packets, std::vector<Bytes>{Bytes("empty\0\0\0\0\0", 10)});
  EXPECT_TRUE(rig.receiver.frames.empty());
  EXPECT_EQ(rig.receiver.eots, 1);
}

TEST(PutFile, MissingLocalFileIsRefusedBeforeAnythingIsSent) {
  for (bool quillon : {true, false}) {
    Rig rig(quillon);
    const std::string local = rig.dir / "missing.txt";
    const auto raised = test::Catch([&] { rig.session.PutFile("missing.txt", local); });
    EXPECT_EQ(raised.what, "Error (Unable to open file " + local + ": No such file or directory. Check the path)");
    EXPECT_EQ(raised.kind, ErrorKind::kLocalFile);
    EXPECT_EQ(rig.port->Written(), "");
  }
}

TEST(PutFile, DeviceThatRefusesRaisesAfterThreeCans) {
  Rig rig(true);
  const std::string local = rig.dir / "f";
  test::WriteWhole(local, Pattern(3000));
  rig.receiver.Reply = [](size_t i, const Bytes&) { return Bytes(1, static_cast<char>(i == 1 ? kCan : kAck)); };
  const auto raised = test::Catch([&] { rig.session.PutFile("f", local); });
  EXPECT_EQ(raised.kind, ErrorKind::kFailed);
  EXPECT_EQ(raised.what, kConnectionErrorText);
  EXPECT_TRUE(raised.reported);
  EXPECT_EQ(rig.receiver.cans, Bytes(3, static_cast<char>(kCan)));
  EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 2000, 1000}));
  EXPECT_EQ(ReadWhole(local), Pattern(3000));  // the local file is never changed
}

// The device is told a length (the Quillon in the put packet, the Tallis
// by what arrives before EOT): it gets exactly that many bytes of the file
// as it was opened, or the transfer fails and is cancelled.
TEST(PutFile, AFileCutShortWhileItIsSentFailsAsALocalFileAndIsCancelled) {
  for (const bool quillon : {true, false}) {
    SCOPED_TRACE(quillon ? "Quillon" : "Tallis");
    Rig rig(quillon);
    const std::string local = rig.dir / "shrinks.bin";
    test::WriteWhole(local, Pattern(20000));
    // Another program truncates the file once block 1 has gone.
    rig.receiver.Reply = [&](size_t i, const Bytes&) {
      if (i == 0) std::filesystem::resize_file(local, 3000);
      return Bytes(1, static_cast<char>(kAck));
    };
    const auto raised = test::Catch([&] { rig.session.PutFile("shrinks.bin", local); });
    EXPECT_TRUE(raised.raised);
    EXPECT_EQ(raised.kind, ErrorKind::kLocalFile);
    EXPECT_NE(raised.what.find("3000 of 20000 bytes"), std::string::npos) << raised.what;
    EXPECT_NE(raised.what.find(local), std::string::npos) << raised.what;
    EXPECT_EQ(rig.receiver.cans, Bytes(3, static_cast<char>(kCan)));
    EXPECT_EQ(rig.receiver.eots, 0);
    // Blocks 1 and 2 went whole; the short third never left.
    EXPECT_EQ(rig.receiver.frames.size(), 2u);
  }
}

TEST(PutFile, AFileThatGrowsWhileItIsSentGoesByTheLengthItHadWhenOpened) {
  Rig rig(true);
  const std::string local = rig.dir / "grows.bin";
  const Bytes content = Pattern(2500);
  test::WriteWhole(local, content);
  rig.receiver.Reply = [&](size_t i, const Bytes&) {
    if (i == 0) std::ofstream(local, std::ios::binary | std::ios::app) << Bytes(5000, 'G');
    return Bytes(1, static_cast<char>(kAck));
  };
  ASSERT_NO_THROW(rig.session.PutFile("grows.bin", local));
  EXPECT_EQ(rig.device->packets, std::vector<Bytes>{Bytes("grows.bin\0\xC4\x09\x00\x00", 14)});
  ASSERT_EQ(rig.receiver.frames.size(), 3u);
  EXPECT_EQ(rig.receiver.accepted.substr(0, 2500), content);
  // The last block is the file's end and filler, none of what was appended.
  EXPECT_EQ(rig.receiver.accepted.substr(2500), Bytes(572, '\x1A'));
  EXPECT_EQ(rig.receiver.eots, 1);
}

TEST(PutFile, AFileReplacedAfterItsLengthWasSentIsNotTakenForIt) {
  // Between the put packet (with the old file's length) and the first block,
  // another program puts a different file in its place: the file opened
  // for the length is the one that goes.
  Rig rig(true);
  const std::string local = rig.dir / "swapped.bin";
  const Bytes content = Pattern(1500);
  test::WriteWhole(local, content);
  bool swapped = false;
  rig.host.onDialogChange = [&](StatusDialog&) {
    if (swapped) return;
    swapped = true;
    const std::string other = rig.dir / "other.bin";
    test::WriteWhole(other, Bytes(9000, 'N'));
    std::filesystem::rename(other, local);
  };
  ASSERT_NO_THROW(rig.session.PutFile("swapped.bin", local));
  EXPECT_TRUE(swapped);
  ASSERT_EQ(rig.receiver.frames.size(), 2u);
  EXPECT_EQ(rig.receiver.accepted.substr(0, 1500), content);
}

// ---- delete, rename, open ----

TEST(Commands, DeleteByKind) {
  {
    Rig rig(true);
    rig.session.DeleteItem("old.txt");
    EXPECT_EQ(rig.Commands(), "D");
    EXPECT_EQ(rig.device->packets, std::vector<Bytes>{"old.txt"});
    EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 1000}));
  }
  {
    Rig rig(false);
    rig.session.DeleteItem("VAR1");
    EXPECT_EQ(rig.Commands(), "E");
    EXPECT_EQ(rig.device->packets, std::vector<Bytes>{"'VAR1' PURGE"});
    EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20}));
  }
}

TEST(Commands, RenameByKind) {
  {
    Rig rig(true);
    rig.session.RenameItem("a.txt", "b.txt");
    EXPECT_EQ(rig.Commands(), "r");
    EXPECT_EQ(rig.device->packets, (std::vector<Bytes>{"a.txt", "b.txt"}));
    EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 1000}));
  }
  {
    Rig rig(false);
    rig.session.RenameItem("A", "B");
    EXPECT_EQ(rig.Commands(), "E");
    EXPECT_EQ(rig.device->packets, std::vector<Bytes>{"'A' DUP RCL SWAP PURGE'B' STO"});
    EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20, 1000}));
    // On the wire: the command, then the framed packet with its sum.
    EXPECT_EQ(rig.port->Written(), "E" + FrameSerialPacket("'A' DUP RCL SWAP PURGE'B' STO"));
  }
}

TEST(Commands, OpenIsTheSameForBothKinds) {
  for (bool quillon : {true, false}) {
    Rig rig(quillon);
    rig.session.OpenItem("game.exe");
    EXPECT_EQ(rig.port->Written(), "o" + FrameSerialPacket("game.exe"));
    EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20}));
  }
}

// ---- names the device could not take as one name ----

TEST(Names, TallisNamesThatItsCommandLinesCannotCarryAreRefusedBeforeAnythingIsSent) {
  const std::vector<Bytes> refused = {"X' PURGE 'Y", "'", "A B", Bytes("A\nB"), Bytes("A\0B", 3), "A\x7F", "",
                                      Bytes(256, 'N')};
  for (const Bytes& bad : refused) {
    SCOPED_TRACE(bad);
    Rig rig(false);
    const std::string local = rig.dir / "f";
    test::WriteWhole(local, "x");
    std::vector<std::function<void()>> operations = {
        [&] { rig.session.DeleteItem(bad); },
        [&] { rig.session.RenameItem("A", bad); },
        [&] { rig.session.RenameItem(bad, "A"); },
        [&] { rig.session.OpenItem(bad); },
        [&] { rig.session.GetFile(bad, local, 1); },
        [&] { rig.session.PutFile(bad, local); },
    };
    if (!bad.empty()) {  // in a path, an empty folder name is a doubled backslash
      operations.push_back([&] { rig.session.ChangeDir("\\" + bad + "\\sub"); });
      operations.push_back([&] { rig.session.ListFolder("\\docs\\" + bad); });
    }
    for (const auto& operation : operations) {
      const auto raised = test::Catch(operation);
      EXPECT_TRUE(raised.raised);
      EXPECT_EQ(raised.kind, ErrorKind::kUsage);
      EXPECT_NE(raised.what.find("Nothing was sent to the device; choose another name"), std::string::npos) << raised.what;
    }
    EXPECT_EQ(rig.port->Written(), "");
    EXPECT_EQ(ReadWhole(local), "x");
  }
  // The message says which name and why.
  Rig rig(false);
  EXPECT_EQ(What([&] { rig.session.DeleteItem("X' PURGE 'Y"); }),
            "The Tallis cannot take the name \"X' PURGE 'Y\": it contains a quote ('). Names go to the Tallis inside "
            "its command lines, so a name must have 1 to 255 characters and no quote, blank or control character. "
            "Nothing was sent to the device; choose another name");
  EXPECT_NE(What([&] { rig.session.RenameItem("A", "B\r\n"); }).find("\"B\\x0D\\x0A\": it contains a control character."),
            std::string::npos);
  EXPECT_EQ(rig.port->Written(), "");
}

TEST(Names, TallisNamesAListingCanGiveStillGo) {
  Rig rig(false);
  const Bytes longest(255, 'L');
  rig.session.DeleteItem("caf\xE9");
  rig.session.RenameItem(longest, "\xA7x.y");
  rig.session.ChangeDir("\\DIR1\\DIR2");
  EXPECT_EQ(rig.device->packets, (std::vector<Bytes>{"'caf\xE9' PURGE", "'" + longest + "' DUP RCL SWAP PURGE'\xA7x.y' STO",
                                                      "HOME  DIR1 DIR2 "}));
}

TEST(Names, QuillonRefusesANulAndTakesEveryOtherByte) {
  Rig rig(true);
  const Bytes withNul("a\0b", 3);
  for (const auto& operation : std::vector<std::function<void()>>{
           [&] { rig.session.DeleteItem(withNul); }, [&] { rig.session.RenameItem("a", withNul); },
           [&] { rig.session.RenameItem(withNul, "a"); }, [&] { rig.session.OpenItem(withNul); },
           [&] { rig.session.ChangeDir(withNul); }}) {
    const auto raised = test::Catch(operation);
    EXPECT_EQ(raised.kind, ErrorKind::kUsage);
    EXPECT_EQ(raised.what, "The Quillon cannot take the name \"a\\x00b\": it contains a NUL byte, which would end the "
                           "name on the device. Nothing was sent to the device; choose another name");
  }
  EXPECT_EQ(rig.port->Written(), "");
  // Quotes and blanks travel in packets as they are.
  rig.session.RenameItem("it's", "my file");
  EXPECT_EQ(rig.device->packets, (std::vector<Bytes>{"it's", "my file"}));
}

TEST(Commands, NothingIsSentWithoutADevice) {
  for (bool quillon : {true, false}) {
    Rig rig(quillon, false);
    const std::string expected = quillon ? "Error (No device connected or device in upgrade mode)"
                                         : "Error (No device connected. Check you are in Xmodem server (RShift LeftArrow))";
    const std::string local = rig.dir / "f";
    test::WriteWhole(local, "x");
    EXPECT_EQ(What([&] { rig.session.GetFile("f", local, 1); }), expected);
    EXPECT_EQ(test::Catch([&] { rig.session.GetFile("f", local, 1); }).kind, ErrorKind::kNoConnection);
    EXPECT_EQ(What([&] { rig.session.PutFile("f", local); }), expected);
    EXPECT_EQ(What([&] { rig.session.DeleteItem("f"); }), expected);
    EXPECT_EQ(What([&] { rig.session.RenameItem("f", "g"); }), expected);
    EXPECT_EQ(What([&] { rig.session.OpenItem("f"); }), expected);
    EXPECT_EQ(What([&] { rig.session.CaptureScreen(local); }), expected);
    EXPECT_EQ(ReadWhole(local), "x");
    EXPECT_TRUE(rig.messages.empty());
  }
}

TEST(Commands, AFailingPacketRaisesTheConnectionError) {
  Rig rig(true);
  rig.device->nakPackets = 5;
  const auto raised = test::Catch([&] { rig.session.DeleteItem("x"); });
  EXPECT_EQ(raised.what, kConnectionErrorText);
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
}

// ---- screen capture ----

TEST(CaptureScreen, KeepsAtMost38912BytesOfThirtyNineBlocks) {
  Rig rig(true);
  const Bytes screen = Pattern(39 * 1024);
  rig.sender.SetFile(screen);
  const std::string local = rig.dir / "Bitmap.bmp";
  ASSERT_NO_THROW(rig.session.CaptureScreen(local));
  EXPECT_EQ(ReadWhole(local), screen.substr(0, 38912));
  EXPECT_EQ(rig.Commands(), "S");
  EXPECT_TRUE(rig.device->packets.empty());
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"Capturing screen", "Screen received"}));
  EXPECT_EQ(rig.session.GetStatusDialog().Caption(), "Receiving Screen");
  EXPECT_EQ(rig.Sleeps(), (std::vector<uint32_t>{20}));  // no pause after the capture
}

TEST(CaptureScreen, ABitmapShorterThanTheMostThatIsKeptIsStillWhole) {
  // A screen's length is only the most that is kept: a smaller bitmap ends early and is right.
  Rig rig(true);
  rig.sender.SetFile(Pattern(5000));
  const std::string local = rig.dir / "Bitmap.bmp";
  ASSERT_NO_THROW(rig.session.CaptureScreen(local));
  EXPECT_EQ(ReadWhole(local).substr(0, 5000), Pattern(5000));
}

TEST(CaptureScreen, CancelLeavesNoFile) {
  Rig rig(true);
  rig.sender.SetFile(Pattern(39 * 1024));
  test::Gate cancelled;
  rig.host.onDialogChange = [&](StatusDialog& d) {
    if (d.ProgressPosition() >= 1024 && d.RequestCancel()) cancelled.Open();
  };
  rig.sender.Alter = [&](size_t index, int, const Bytes& frame) {
    if (index < 2) return frame;
    cancelled.Wait();
    return Bytes();
  };
  const std::string local = rig.dir / "Bitmap.bmp";
  EXPECT_EQ(test::Catch([&] { rig.session.CaptureScreen(local); }).kind, ErrorKind::kCancelled);
  EXPECT_FALSE(test::Exists(local));
}

// ---- TCP/IP ----

struct TcpRig : Rig {
  explicit TcpRig(uint16_t tcpPort) : Rig(true, false) {
    session.Socket.Port = tcpPort;
    host.address = "127.0.0.1";
    session.Connect(LinkTarget::Tcp());
    messages.clear();
  }
};

TEST(Tcp, GetStreamsTheWholeFileUnderTheTransferDialog) {
  const Bytes content = Pattern(300 * 1024 + 7);
  Bytes request;
  TcpPeer peer([&](int fd) {
    request = ReadN(fd, 1 + 4 + 8);
    WriteAll(fd, FrameTcpPacket(content).substr(0, 4));
    // In pieces, as a network delivers it.
    for (size_t at = 0; at < content.size(); at += 70000) WriteAll(fd, content.substr(at, 70000));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  const std::string local = rig.dir / "data.bin";
  ASSERT_NO_THROW(rig.session.GetFile("data.bin", local, 1));  // the listed size plays no part
  EXPECT_EQ(ReadWhole(local), content);
  EXPECT_EQ(request, Bytes("G\x08\0\0\0data.bin", 13));
  // The dialog shows the progress (a few times a second) and closes at the end.
  EXPECT_EQ(rig.session.GetStatusDialog().Caption(), "Copying data.bin");
  EXPECT_EQ(rig.session.GetStatusDialog().GetResult(), StatusDialog::Result::kOk);
  const auto entries = rig.log.Entries();
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries.front(), "0/300 Kbytes\r\n(0%)\r\n0 Kbyte/s");
  EXPECT_EQ(entries[entries.size() - 2].substr(0, 20), "300/300 Kbytes\r\n(100");
  EXPECT_EQ(entries.back(), "");
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"Requesting file data.bin", "Copying data.bin"}));
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"data.bin"});
  rig.session.Connect(LinkTarget::Disconnect());
}

TEST(Tcp, CancelDuringAGetClosesTheConnectionAndKeepsTheOldFile) {
  TcpPeer peer([](int fd) {
    ReadN(fd, 1 + 4 + 1);
    WriteAll(fd, FrameTcpPacket(Pattern(200 * 1024)));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  // Cancel as the first progress shows: the device is mid-packet and cannot
  // be told, so the connection closes.
  rig.host.cancelWhen = [](const StatusDialog& d) { return d.ProgressMax() > 1; };
  const std::string local = rig.dir / "f";
  test::WriteWhole(local, "old");
  const auto raised = test::Catch([&] { rig.session.GetFile("f", local, 1); });
  EXPECT_EQ(raised.kind, ErrorKind::kCancelled);
  EXPECT_EQ(raised.what, "Cancelled: the connection was closed. Connect again to go on");
  EXPECT_EQ(ReadWhole(local), "old");
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"f"});
  EXPECT_FALSE(rig.session.IsConnected());
  const auto entries = rig.log.Entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2], "Cancelled: the connection was closed. Connect again to go on");
  EXPECT_EQ(entries.back(), "");
}

TEST(Tcp, CancelWhileTheDeviceIsSilentMidFileEndsTheWaitAtOnce) {
  test::Gate progressShown;
  DeviceSession* session = nullptr;
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1 + 4 + 1);
    // The length and a little of the file, then silence: the PC waits for
    // the rest (up to the socket's 15 s) when Cancel comes from another thread.
    WriteAll(fd, FrameTcpPacket(Pattern(200 * 1024)).substr(0, 4 + 1000));
    progressShown.Wait();
    session->RequestCancel();
    ReadN(fd, 1);  // until the PC closes the connection
  });
  TcpRig rig(peer.port);
  session = &rig.session;
  rig.host.onDialogChange = [&](StatusDialog& d) {
    if (d.ProgressMax() > 1) progressShown.Open();
  };
  const std::string local = rig.dir / "f";
  test::WriteWhole(local, "old");
  const auto raised = test::Catch([&] { rig.session.GetFile("f", local, 1); });
  EXPECT_EQ(raised.kind, ErrorKind::kCancelled);  // not the receive's time-out
  EXPECT_EQ(raised.what, "Cancelled: the connection was closed. Connect again to go on");
  EXPECT_EQ(ReadWhole(local), "old");
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"f"});
  EXPECT_FALSE(rig.session.IsConnected());
  // The peer's script used the session: it ends (the PC closed the
  // connection) before the session goes.
  peer.Join();
}

TEST(Tcp, PutStreamsTheLengthAndTheContentsAndLooksForTheFileInTheListing) {
  const Bytes content = Pattern(200 * 1024 + 3);
  Bytes request, body, check;
  TcpPeer peer([&](int fd) {
    request = ReadN(fd, 1 + 4 + 7 + 5);
    body = ReadN(fd, 4 + content.size());
    // The name has a folder part: that folder is listed.
    check = ReadN(fd, 1 + 4 + 1 + 1);
    WriteAll(fd, FrameTcpPacket(EncodeQuillonRecord("other", 3, false) +
                                EncodeQuillonRecord("up.txt", static_cast<uint32_t>(content.size()), false)));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  const std::string local = rig.dir / "up.txt";
  test::WriteWhole(local, content);
  ASSERT_NO_THROW(rig.session.PutFile("\\up.txt", local));
  rig.session.Connect(LinkTarget::Disconnect());
  peer.thread.join();
  peer.thread = std::thread();
  EXPECT_EQ(request, Bytes("P\x0C\0\0\0\\up.txt\0\x03\x20\x03\0", 17));
  EXPECT_EQ(body, FrameTcpPacket(content));
  EXPECT_EQ(check, Bytes("C\x01\0\0\0\\L", 7));
  EXPECT_NE(std::find(rig.messages.begin(), rig.messages.end(), "Checking that the device holds up.txt"),
            rig.messages.end());
  // The progress reaches the whole file only once the device has it.
  const auto entries = rig.log.Entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2].substr(0, 20), "200/200 Kbytes\r\n(100");
}

// The device's side of a put of `name`: the command and its packet, then the
// first `take` bytes of the file.
Bytes TakePut(int fd, const Bytes& name, size_t take) {
  ReadN(fd, 1 + 4 + name.size() + 5);
  return ReadN(fd, 4 + take);
}

TEST(Tcp, APutIsAFailureWhenTheConnectionEndsBeforeTheDeviceConfirmedIt) {
  const Bytes content = Pattern(400 * 1024);
  // The device closes mid-file, or after the whole file without listing it.
  for (const size_t take : {size_t{1000}, content.size()}) {
    TcpPeer peer([&](int fd) {
      TakePut(fd, "big.bin", take);
      ::shutdown(fd, SHUT_RDWR);
    });
    TcpRig rig(peer.port);
    rig.session.ChangeDir("\\");
    const std::string local = rig.dir / "big.bin";
    test::WriteWhole(local, content);
    const auto raised = test::Catch([&] { rig.session.PutFile("big.bin", local); });
    EXPECT_TRUE(raised.raised) << take;
    EXPECT_EQ(raised.kind, ErrorKind::kNoConnection) << take;
    EXPECT_EQ(raised.what.rfind("The connection broke before the device", 0), 0u) << raised.what;
    EXPECT_NE(raised.what.find("big.bin: it may not have the file"), std::string::npos) << raised.what;
    EXPECT_FALSE(rig.session.IsConnected());
    // The dialog never showed the whole file as sent.
    for (const auto& line : rig.log.Entries()) EXPECT_EQ(line.find("400/400"), std::string::npos) << line;
  }
}

TEST(Tcp, APutIsAFailureWhenTheListingLacksTheFileOrHasItShort) {
  const Bytes content = Pattern(5000);
  struct Case {
    Bytes listing;
    std::string what;
  };
  const std::vector<Case> cases = {
      {EncodeQuillonRecord("other", 5000, false),
       "Error (The device does not list up.bin after it was sent: it did not store the file. Check the space left "
       "on the device and put it again)"},
      {EncodeQuillonRecord("up.bin", 5000, true),  // a folder of that name is no file
       "Error (The device does not list up.bin after it was sent: it did not store the file. Check the space left "
       "on the device and put it again)"},
      {EncodeQuillonRecord("up.bin", 4096, false),
       "Error (The device lists up.bin with 4096 bytes, not the 5000 that were sent: it did not store the whole "
       "file. Check the space left on the device and put it again)"},
  };
  for (const auto& c : cases) {
    Bytes check;
    TcpPeer peer([&](int fd) {
      TakePut(fd, "up.bin", content.size());
      check = ReadN(fd, 1);
      WriteAll(fd, FrameTcpPacket(c.listing));
      ReadN(fd, 1);
    });
    TcpRig rig(peer.port);
    const std::string local = rig.dir / "up.bin";
    test::WriteWhole(local, content);
    const auto raised = test::Catch([&] { rig.session.PutFile("up.bin", local); });
    EXPECT_EQ(raised.kind, ErrorKind::kFailed);
    EXPECT_EQ(raised.what, c.what);
    // The link is fine: the session stays connected.
    EXPECT_TRUE(rig.session.IsConnected());
    rig.session.Connect(LinkTarget::Disconnect());
    peer.Join();
    EXPECT_EQ(check, "L");
  }
}

TEST(Tcp, APutTheListingShowsInOtherLettersCountsAndTheFolderIsMadeCurrentAgain) {
  const Bytes content = Pattern(10);
  Bytes check;
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1 + 4 + 5);  // 'C' "\\dir\\"
    TakePut(fd, "sub\\Up.bin", content.size());
    check = ReadN(fd, 1 + 4 + 9 + 1);  // 'C' "\\dir\\sub\\" 'L'
    WriteAll(fd, FrameTcpPacket(EncodeQuillonRecord("UP.BIN", 10, false)));
    check += ReadN(fd, 1 + 4 + 5);  // 'C' "\\dir\\" again
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  rig.session.ChangeDir("\\dir");
  const std::string local = rig.dir / "Up.bin";
  test::WriteWhole(local, content);
  EXPECT_NO_THROW(rig.session.PutFile("sub\\Up.bin", local));
  rig.session.Connect(LinkTarget::Disconnect());
  peer.Join();
  EXPECT_EQ(check, Bytes("C\x09\0\0\0\\dir\\sub\\L", 15) +
                       Bytes("C\x05\0\0\0\\dir\\", 10));
}

// ---- a run of puts into one folder, confirmed by one listing ----

// The device's side of 'C' "\\dir\\".
void TakeChangeToDir(int fd) { ReadN(fd, 1 + 4 + 5); }

TEST(TcpBatch, FilesAreConfirmedByOneListingAfterTheLastAndEachMissingOrShortOneIsNamed) {
  const Bytes a = Pattern(10), b = Pattern(7), c = Pattern(20), d = Pattern(70000);
  std::string check;
  TcpPeer peer([&](int fd) {
    TakeChangeToDir(fd);
    // Four files back to back: no listing between them.
    for (const auto& [name, content] : {std::pair{"a.bin", &a}, {"b.bin", &b}, {"c.bin", &c}, {"d.bin", &d}})
      TakePut(fd, name, content->size());
    check = ReadN(fd, 1);
    // a in other letters and d are whole; b is a folder, c short.
    WriteAll(fd, FrameTcpPacket(EncodeQuillonRecord("A.BIN", 10, false) + EncodeQuillonRecord("b.bin", 7, true) +
                                EncodeQuillonRecord("c.bin", 5, false) + EncodeQuillonRecord("d.bin", 70000, false)));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  rig.session.Socket.TimeoutMs = 3000;  // a listing asked for too early fails soon
  rig.session.ChangeDir("\\dir");
  PutBatch batch(rig.session);
  for (const auto& [name, content] : {std::pair{"a.bin", &a}, {"b.bin", &b}, {"c.bin", &c}, {"d.bin", &d}}) {
    const std::string local = rig.dir / name;
    test::WriteWhole(local, *content);
    ASSERT_NO_THROW(batch.Put(name, local));
  }
  EXPECT_EQ(batch.Unconfirmed(), 4u);
  // No file counts before the listing: no progress reached its end.
  for (const auto& line : rig.log.Entries()) EXPECT_EQ(line.find("(100%)"), std::string::npos) << line;
  const auto raised = test::Catch([&] { batch.Confirm(); });
  EXPECT_EQ(raised.kind, ErrorKind::kFailed);
  EXPECT_EQ(raised.what,
            "Error (The device does not list b.bin after it was sent: it did not store the file. Check the space left "
            "on the device and put it again)");
  EXPECT_EQ(raised.detail,
            "The device lists c.bin with 5 bytes, not the 20 that were sent: it did not store the whole file. Check "
            "the space left on the device and put it again");
  EXPECT_EQ(batch.Unconfirmed(), 0u);
  EXPECT_TRUE(rig.session.IsConnected());  // the link is fine
  EXPECT_NE(std::find(rig.messages.begin(), rig.messages.end(),
                      "Checking that the device holds the 4 files sent to \\dir\\"),
            rig.messages.end());
  rig.session.Connect(LinkTarget::Disconnect());
  peer.Join();
  EXPECT_EQ(check, "L");
}

TEST(TcpBatch, ANameAlreadyInTheBatchIsConfirmedBeforeItIsSentAgain) {
  std::string checks;
  TcpPeer peer([&](int fd) {
    TakeChangeToDir(fd);
    TakePut(fd, "a.bin", 3);
    checks += ReadN(fd, 1);
    WriteAll(fd, FrameTcpPacket(EncodeQuillonRecord("a.bin", 3, false)));
    TakePut(fd, "A.BIN", 5);  // replaces a.bin on the device
    checks += ReadN(fd, 1);
    WriteAll(fd, FrameTcpPacket(EncodeQuillonRecord("A.BIN", 5, false)));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  rig.session.Socket.TimeoutMs = 3000;
  rig.session.ChangeDir("\\dir");
  const std::string first = rig.dir / "a.bin", second = rig.dir / "A.BIN";
  test::WriteWhole(first, "abc");
  test::WriteWhole(second, "ABCDE");
  PutBatch batch(rig.session);
  EXPECT_NO_THROW(batch.Put("a.bin", first));
  EXPECT_NO_THROW(batch.Put("A.BIN", second));
  EXPECT_NO_THROW(batch.Confirm());
  rig.session.Connect(LinkTarget::Disconnect());
  peer.Join();
  EXPECT_EQ(checks, "LL");
}

TEST(TcpBatch, AConnectionThatBreaksNamesTheFilesOfTheBatchNotYetConfirmed) {
  // At the listing that confirms them.
  {
    TcpPeer peer([&](int fd) {
      TakeChangeToDir(fd);
      TakePut(fd, "a.bin", 3);
      TakePut(fd, "b.bin", 3);
      ReadN(fd, 1);  // 'L'
      ::shutdown(fd, SHUT_RDWR);
    });
    TcpRig rig(peer.port);
    rig.session.ChangeDir("\\dir");
    const std::string local = rig.dir / "x";
    test::WriteWhole(local, "xyz");
    PutBatch batch(rig.session);
    ASSERT_NO_THROW(batch.Put("a.bin", local));
    ASSERT_NO_THROW(batch.Put("b.bin", local));
    const auto raised = test::Catch([&] { batch.Confirm(); });
    EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
    EXPECT_EQ(raised.what,
              "The connection broke before the device confirmed that it holds the 2 files sent to \\dir\\ (a.bin, "
              "b.bin): it may not have them. Connect again and look, or put them again");
    EXPECT_FALSE(rig.session.IsConnected());
    peer.Join();
  }
  // While a file is sent, after one the device took and did not confirm.
  // (More than the link's buffers hold, so the PC is still sending then.)
  {
    const Bytes big(32u << 20, 'z');
    TcpPeer peer([&](int fd) {
      TakeChangeToDir(fd);
      TakePut(fd, "a.bin", 3);
      TakePut(fd, "big.bin", 1000);
      ::shutdown(fd, SHUT_RDWR);
    });
    TcpRig rig(peer.port);
    rig.session.ChangeDir("\\dir");
    const std::string small = rig.dir / "a.bin", large = rig.dir / "big.bin";
    test::WriteWhole(small, "abc");
    test::WriteWhole(large, big);
    PutBatch batch(rig.session);
    ASSERT_NO_THROW(batch.Put("a.bin", small));
    const auto raised = test::Catch([&] { batch.Put("big.bin", large); });
    EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
    EXPECT_EQ(raised.what,
              "The connection broke before the device had taken all of big.bin: it may not have the file. Connect "
              "again and put it again");
    EXPECT_NE(raised.detail.find("Nor had the device confirmed a.bin, sent before it to \\dir\\: it may not have it "
                                 "either. Put it again too"),
              std::string::npos)
        << raised.detail;
    EXPECT_EQ(batch.Unconfirmed(), 0u);
    EXPECT_FALSE(rig.session.IsConnected());
    peer.Join();
  }
}

TEST(Tcp, CancelWhileThePutWaitsForTheListingIsACancelNotABrokenConnection) {
  const Bytes content = Pattern(3000);
  DeviceSession* session = nullptr;
  TcpPeer peer([&](int fd) {
    TakePut(fd, "up.bin", content.size());
    ReadN(fd, 1);  // 'L': the device says nothing, and the user presses Cancel
    session->RequestCancel();
    ReadN(fd, 1);  // until the PC closes
  });
  TcpRig rig(peer.port);
  session = &rig.session;
  const std::string local = rig.dir / "up.bin";
  test::WriteWhole(local, content);
  const auto raised = test::Catch([&] { rig.session.PutFile("up.bin", local); });
  EXPECT_EQ(raised.kind, ErrorKind::kCancelled);
  EXPECT_EQ(raised.what, "Cancelled: the connection was closed. Connect again to go on");
  EXPECT_FALSE(rig.session.IsConnected());
  rig.session.Connect(LinkTarget::Disconnect());  // (the peer reads until the PC closes)
  peer.Join();
}

TEST(Tcp, APutToADeviceThatReadsTooSlowlyFailsAtTheOverallDeadline) {
  // 32 MiB: more than the link's buffers hold, so the PC is still sending
  // while the device reads a MiB for every 1000 s of the clock; the put may
  // take 15 s + 8192 s.
  const Bytes content(32u << 20, 'z');
  FakeClock* clock = nullptr;
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1 + 4 + 6 + 5);
    while (ReadN(fd, 1u << 20).size() == (1u << 20)) clock->Advance(1000 * 1000);
  });
  TcpRig rig(peer.port);
  clock = &rig.fake;
  const std::string local = rig.dir / "up.bin";
  test::WriteWhole(local, content);
  const auto raised = test::Catch([&] { rig.session.PutFile("up.bin", local); });
  if (!raised.raised) rig.session.Connect(LinkTarget::Disconnect());  // the peer reads until the PC closes
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  EXPECT_EQ(raised.what, "The connection broke before the device had taken all of up.bin: it may not have the file. "
                         "Connect again and put it again");
  EXPECT_FALSE(rig.session.IsConnected());
  peer.Join();
}

TEST(Tcp, AGetFromADeviceThatDripsFailsAtTheOverallDeadlineAndKeepsTheOldFile) {
  FakeClock* clock = nullptr;
  size_t dripped = 0;
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1 + 4 + 1);
    WriteAll(fd, IntToBytes(100000));
    for (; dripped < 100000; ++dripped) {
      clock->Advance(5000);  // first, so the PC sees the time each byte came at
      if (!WriteAll(fd, "x")) break;
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0) break;  // the PC gave up
    }
  });
  TcpRig rig(peer.port);
  clock = &rig.fake;
  const std::string local = rig.dir / "f";
  test::WriteWhole(local, "old");
  const auto raised = test::Catch([&] { rig.session.GetFile("f", local, 100000); });
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  // 15 s and 24.4 s for the 100004 bytes.
  EXPECT_EQ(raised.what, "The device took longer than 39 s for the file f (100004 bytes; the kit allows 15 s and "
                         "one more for every 4 KiB), so the connection was closed. Check the network and the device, "
                         "and connect again");
  EXPECT_EQ(ReadWhole(local), "old");
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"f"});
  peer.Join();
  EXPECT_LE(dripped, 8u);
}

TEST(Tcp, ConnectionClosedMidFileIsAnErrorAndKeepsTheOldFile) {
  TcpPeer peer([](int fd) {
    ReadN(fd, 1 + 4 + 1);
    WriteAll(fd, Bytes("\xA0\x86\x01\x00", 4));  // 100000 bytes announced
    WriteAll(fd, Pattern(5000));
  });
  TcpRig rig(peer.port);
  const std::string local = rig.dir / "f";
  test::WriteWhole(local, "old");
  const auto raised = test::Catch([&] { rig.session.GetFile("f", local, 100000); });
  EXPECT_EQ(raised.what, kConnectionErrorText);
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  EXPECT_EQ(ReadWhole(local), "old");
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"f"});
  EXPECT_FALSE(rig.session.IsConnected());
}

TEST(Tcp, HugeAnnouncedLengthIsRefusedBeforeAnythingIsWritten) {
  TcpPeer peer([](int fd) {
    ReadN(fd, 1);
    WriteAll(fd, Bytes("\xFF\xFF\xFF\xFF", 4));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  const std::string local = rig.dir / "Bitmap.bmp";
  EXPECT_EQ(What([&] { rig.session.CaptureScreen(local); }),
            "The device announced a file of 4294967295 bytes; the kit takes at most 256 MiB (268435456 bytes), so "
            "the connection was closed. Connect again");
  EXPECT_FALSE(test::Exists(local));
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{});
  EXPECT_FALSE(rig.session.IsConnected());
}

TEST(Tcp, CaptureStoresTheWholeBitmap) {
  const Bytes bitmap = "BM" + Pattern(60000);
  TcpPeer peer([&](int fd) {
    ReadN(fd, 1);
    WriteAll(fd, FrameTcpPacket(bitmap));
    ReadN(fd, 1);
  });
  TcpRig rig(peer.port);
  const std::string local = rig.dir / "Bitmap.bmp";
  ASSERT_NO_THROW(rig.session.CaptureScreen(local));
  EXPECT_EQ(ReadWhole(local), bitmap);
  rig.session.Connect(LinkTarget::Disconnect());
}

TEST(Tcp, LocalFileThatCannotBeCreatedIsRefusedBeforeTheRequest) {
  Bytes seen;
  TcpPeer peer([&](int fd) { seen = ReadN(fd, 1); });
  TcpRig rig(peer.port);
  const std::string local = rig.dir / "no/such/folder";
  const auto raised = test::Catch([&] { rig.session.GetFile("f", local, 1); });
  EXPECT_EQ(raised.what, "Error (Unable to open file " + local + ": No such file or directory. Check the path)");
  EXPECT_EQ(raised.kind, ErrorKind::kLocalFile);
  rig.session.Connect(LinkTarget::Disconnect());
  peer.thread.join();
  peer.thread = std::thread();
  EXPECT_EQ(seen, "");
}

}  // namespace
}  // namespace corvane
