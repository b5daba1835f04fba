// Real files both ways between the session and the emulated device, over
// pseudo-terminals (every start byte and block size) and TCP, for both device
// kinds; the device's faults either recover with an identical file or fail
// with the message and no partial file; delete and rename show in the next
// listing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "emulator_rig.h"
#include "link/link_error.h"
#include "protocol/listing.h"

namespace corvane::test {
namespace {

using emu::BlockSize;
using emu::DeviceKind;
using emu::StartByte;


enum class Way { kPtyNak, kPtyCrc, kPtyKermit, kTcp };

struct Setup {
  DeviceKind kind;
  Way way;
};

std::string SetupName(const ::testing::TestParamInfo<Setup>& info) {
  const char* ways[] = {"PtyNak1024", "PtyCrc128", "PtyKermitMixed", "Tcp"};
  return std::string(info.param.kind == DeviceKind::kQuillon ? "Quillon" : "Tallis") +
         ways[static_cast<int>(info.param.way)];
}

// The machine's clock with short pauses: the pauses the session keeps for a
// real device's sake (500 and 1000 ms after transfers) are checked by the
// unit tests; here they would only make the size matrix slow. Read time-outs
// still run on the port's own clock.
class QuickPauses final : public Clock {
 public:
  uint64_t NowMs() override { return Clock::System().NowMs(); }
  void SleepMs(uint32_t ms) override { Clock::System().SleepMs(std::min<uint32_t>(ms, 20)); }
};

// A device serving its own folder, a session connected to it, and a local folder.
struct XferRig {
  TempFolder deviceRoot;
  TempFolder local;
  std::unique_ptr<emu::EmulatedDevice> device;
  FakeHost host;
  LogModel log;
  std::unique_ptr<DeviceSession> session;
  std::vector<std::string> messages;
  bool tallis;

  explicit XferRig(Setup setup, const emu::Misbehaviour& faults = {}, Clock& clock = Clock::System())
      : tallis(setup.kind == DeviceKind::kTallis) {
    emu::DeviceOptions o;
    o.kind = setup.kind;
    o.root = deviceRoot.Path();
    o.faults = faults;
    switch (setup.way) {
      case Way::kPtyNak: o.startByte = StartByte::kNak; o.blockSize = BlockSize::k1024; break;
      case Way::kPtyCrc: o.startByte = StartByte::kCrc; o.blockSize = BlockSize::k128; break;
      case Way::kPtyKermit: o.startByte = StartByte::kKermit; o.blockSize = BlockSize::kMixed; break;
      case Way::kTcp: break;
    }
    device = std::make_unique<emu::EmulatedDevice>(o);
    session = std::make_unique<DeviceSession>(host, log, clock);
    session->IsQuillon = !tallis;
    session->OnMessage = [this](DeviceSession&, const std::string& text) { messages.push_back(text); };
    if (setup.way == Way::kTcp) {
      session->Socket.Port = device->StartTcp(0);
      session->Connect(LinkTarget::Tcp());
    } else {
      const std::string port = device->StartPty();
      session->BaudRate = 115200;
      session->Connect(LinkTarget::Serial(port));
    }
  }
  ~XferRig() {
    session.reset();  // the session goes first, then the device
    device.reset();
  }

  // A file as the kind stores it: a Tallis object carries its 9-byte header.
  Bytes DeviceFile(size_t body, unsigned seed) const {
    const Bytes b = Pattern(body, seed);
    return tallis ? emu::MakeTallisHeader(static_cast<uint32_t>(body)) + b : b;
  }
  std::string Local(const std::string& name) const { return (local.Path() / name).string(); }
  fs::path OnDevice(const std::string& name) const { return deviceRoot.Path() / name; }

  std::vector<ListingEntry> List() {
    return session->ListFolder("\\");
  }
  std::optional<ListingEntry> Find(const Bytes& name) {
    for (auto& e : List())
      if (e.name == name) return e;
    return std::nullopt;
  }
  // A put is over for the device once it has stored the file; over TCP/IP
  // the PC is done before that.
  bool Stored(const std::string& name) {
    return device->WaitForLog("Stored " + name + " (", std::chrono::seconds(20));
  }
  std::vector<std::string> LocalEntries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(local.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

class RoundTrip : public ::testing::TestWithParam<Setup> {};

// Every size goes to the device and comes back; both copies are compared
// byte for byte with the original.
TEST_P(RoundTrip, EverySizeBothWaysByteForByte) {
  QuickPauses clock;
  XferRig rig(GetParam(), {}, clock);
  ASSERT_TRUE(rig.session->IsConnected());
  const size_t sizes[] = {0, 1, 1023, 1024, 1025, 300 * 1024, 5 * 1024 * 1024};
  std::map<std::string, Bytes> originals;
  unsigned seed = 1;
  for (size_t size : sizes) {
    SCOPED_TRACE("put, size " + std::to_string(size));
    const std::string name = "f" + std::to_string(size);
    const Bytes& original = originals[name] = rig.DeviceFile(size, seed++);
    const std::string source = rig.Local(name + ".src");
    WriteFile(source, original);
    ASSERT_NO_THROW(rig.session->PutFile(name, source));
    ASSERT_TRUE(rig.Stored(name));
    ASSERT_EQ(ReadFile(rig.OnDevice(name)), original);
  }
  // The listing shows the size the device keeps (the body of a Tallis object).
  const auto listing = rig.List();
  ASSERT_EQ(listing.size(), std::size(sizes));
  for (const auto& entry : listing) {
    SCOPED_TRACE("get " + entry.name);
    ASSERT_EQ(std::to_string(entry.size), entry.name.substr(1));
    const std::string back = rig.Local(entry.name + ".back");
    ASSERT_NO_THROW(rig.session->GetFile(entry.name, back, entry.size));
    ASSERT_EQ(ReadFile(back), originals[entry.name]);
  }
  // Nothing but the sources and the copies: no temporary file left behind.
  EXPECT_EQ(rig.LocalEntries().size(), 2 * std::size(sizes));
}

INSTANTIATE_TEST_SUITE_P(Links, RoundTrip,
                         ::testing::Values(Setup{DeviceKind::kQuillon, Way::kPtyNak},
                                           Setup{DeviceKind::kQuillon, Way::kPtyCrc},
                                           Setup{DeviceKind::kQuillon, Way::kPtyKermit},
                                           Setup{DeviceKind::kQuillon, Way::kTcp},
                                           Setup{DeviceKind::kTallis, Way::kPtyNak},
                                           Setup{DeviceKind::kTallis, Way::kPtyCrc},
                                           Setup{DeviceKind::kTallis, Way::kPtyKermit},
                                           Setup{DeviceKind::kTallis, Way::kTcp}),
                         SetupName);

// ---- faults that recover ----

const Setup kQuillonPty{DeviceKind::kQuillon, Way::kPtyCrc};
const Setup kQuillonPty1024{DeviceKind::kQuillon, Way::kPtyNak};

TEST(Recovers, CorruptedBlockIsRefusedAndSentAgain) {
  emu::Misbehaviour f;
  f.corruptBlock = 3;
  XferRig rig(kQuillonPty1024, f);
  const Bytes content = Pattern(10000, 7);
  WriteFile(rig.OnDevice("c.bin"), content);
  ASSERT_NO_THROW(rig.session->GetFile("c.bin", rig.Local("c.bin"), 10000));
  EXPECT_EQ(ReadFile(rig.Local("c.bin")), content);
  // The receiver said why it refused the block.
  const auto entries = rig.log.Entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), std::string(kConnectionErrorText)), 1);
}

TEST(Recovers, RepeatedBlockIsDroppedAndTheTransferGoesOn) {
  emu::Misbehaviour f;
  f.repeatBlock = 2;
  XferRig rig(kQuillonPty1024, f);
  const Bytes content = Pattern(5000, 8);
  WriteFile(rig.OnDevice("r.bin"), content);
  ASSERT_NO_THROW(rig.session->GetFile("r.bin", rig.Local("r.bin"), 5000));
  EXPECT_EQ(ReadFile(rig.Local("r.bin")), content);
}

// The line eats the PC's ACK of one block: the device, which saw no answer,
// sends that block again. The PC acknowledges the repeat and drops its data,
// so the get succeeds with the device's bytes and nothing twice.
struct LostAck {
  Setup setup;
  int block;
  size_t body;
};

void PrintTo(const LostAck& c, std::ostream* os) { *os << "block " << c.block << " of " << c.body << " bytes"; }

class LostAckOnGet : public ::testing::TestWithParam<LostAck> {};

TEST_P(LostAckOnGet, RepeatIsAcknowledgedAndTheFileIsIdentical) {
  const LostAck c = GetParam();
  emu::Misbehaviour f;
  f.loseAckBlock = c.block;
  QuickPauses clock;
  XferRig rig(c.setup, f, clock);
  const Bytes onDevice = rig.DeviceFile(c.body, 11);
  WriteFile(rig.OnDevice("lost"), onDevice);
  const auto listed = rig.Find("lost");
  ASSERT_TRUE(listed.has_value());
  ASSERT_NO_THROW(rig.session->GetFile("lost", rig.Local("lost"), listed->size));
  EXPECT_EQ(ReadFile(rig.Local("lost")), onDevice);
  ASSERT_TRUE(rig.device->WaitForLog("Sent lost", std::chrono::seconds(5)));
  const auto lines = rig.device->LogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "ACK of block " + std::to_string(c.block) + " lost (on request)"), 1);
  EXPECT_EQ(rig.LocalEntries(), std::vector<std::string>{"lost"});
}

std::string LostAckName(const ::testing::TestParamInfo<LostAck>& info) {
  return SetupName({info.param.setup, info.index}) + "Block" + std::to_string(info.param.block);
}

// 1024-byte blocks, 128-byte blocks and the two sizes alternating; the first
// block, one in the middle and the last.
INSTANTIATE_TEST_SUITE_P(BothKinds, LostAckOnGet,
                         ::testing::Values(LostAck{{DeviceKind::kTallis, Way::kPtyNak}, 1, 3000},
                                           LostAck{{DeviceKind::kQuillon, Way::kPtyCrc}, 3, 1000},
                                           LostAck{{DeviceKind::kTallis, Way::kPtyKermit}, 2, 2500},
                                           LostAck{{DeviceKind::kQuillon, Way::kPtyNak}, 5, 4100}),
                         LostAckName);

TEST(Recovers, ScreenCaptureWhoseAckWasLostIsWhole) {
  QuickPauses clock;
  XferRig rig({DeviceKind::kQuillon, Way::kPtyNak}, {}, clock);
  const std::string clean = rig.Local("clean.bmp");
  ASSERT_NO_THROW(rig.session->CaptureScreen(clean));
  rig.device->UpdateFaults([](emu::Misbehaviour& f) { f.loseAckBlock = 20; });
  const std::string noisy = rig.Local("noisy.bmp");
  ASSERT_NO_THROW(rig.session->CaptureScreen(noisy));
  EXPECT_TRUE(rig.device->WaitForLog("ACK of block 20 lost (on request)", std::chrono::seconds(1)));
  ASSERT_EQ(ReadFile(clean).size(), 38912u);
  EXPECT_EQ(ReadFile(noisy), ReadFile(clean));
}

TEST(Recovers, DroppedAckMakesTheSenderRepeatTheBlock) {
  emu::Misbehaviour f;
  f.dropAckBlock = 2;
  XferRig rig(kQuillonPty, f);
  const Bytes content = Pattern(4000, 9);
  WriteFile(rig.Local("d.bin"), content);
  ASSERT_NO_THROW(rig.session->PutFile("d.bin", rig.Local("d.bin")));
  ASSERT_TRUE(rig.Stored("d.bin"));
  EXPECT_EQ(ReadFile(rig.OnDevice("d.bin")), content);
}

TEST(Recovers, NakedBlocksAreSentAgain) {
  emu::Misbehaviour f;
  f.nakBlocks = 4;
  XferRig rig(kQuillonPty, f);
  const Bytes content = Pattern(3000, 10);
  WriteFile(rig.Local("n.bin"), content);
  ASSERT_NO_THROW(rig.session->PutFile("n.bin", rig.Local("n.bin")));
  ASSERT_TRUE(rig.Stored("n.bin"));
  EXPECT_EQ(ReadFile(rig.OnDevice("n.bin")), content);
}

// ---- faults that fail: the message, and no partial file ----

TEST(Fails, ElevenNaksForOneBlockEndThePut) {
  emu::Misbehaviour f;
  f.nakBlocks = 11;
  XferRig rig(kQuillonPty, f);
  WriteFile(rig.Local("n.bin"), Pattern(3000, 11));
  EXPECT_EQ(Catch([&] { rig.session->PutFile("n.bin", rig.Local("n.bin")); }).kind, ErrorKind::kFailed);
  EXPECT_FALSE(fs::exists(rig.OnDevice("n.bin")));
  const auto entries = rig.log.Entries();
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[entries.size() - 2], kConnectionErrorText);
  // The session goes on working.
  EXPECT_FALSE(rig.Find("n.bin").has_value());
}

TEST(Fails, CancelFromTheDeviceDuringAGetKeepsTheOldLocalFile) {
  emu::Misbehaviour f;
  f.cancelAtBlock = 3;
  XferRig rig(kQuillonPty1024, f);
  WriteFile(rig.OnDevice("g.bin"), Pattern(8000, 12));
  WriteFile(rig.Local("g.bin"), "the old copy");
  EXPECT_EQ(Catch([&] { rig.session->GetFile("g.bin", rig.Local("g.bin"), 8000); }).kind, ErrorKind::kFailed);
  EXPECT_EQ(ReadFile(rig.Local("g.bin")), "the old copy");
  EXPECT_EQ(rig.LocalEntries(), std::vector<std::string>{"g.bin"});
  EXPECT_TRUE(rig.Find("g.bin").has_value());
}

TEST(Fails, CancelFromTheDeviceDuringAPutStoresNothing) {
  emu::Misbehaviour f;
  f.cancelAtBlock = 2;
  XferRig rig(kQuillonPty, f);
  WriteFile(rig.Local("p.bin"), Pattern(5000, 13));
  EXPECT_EQ(Catch([&] { rig.session->PutFile("p.bin", rig.Local("p.bin")); }).kind, ErrorKind::kFailed);
  EXPECT_FALSE(fs::exists(rig.OnDevice("p.bin")));
}

TEST(Fails, SilentDeviceEndsTheGetAfterItsRetries) {
  emu::Misbehaviour f;
  f.silentAtBlock = 2;
  XferRig rig(kQuillonPty1024, f);
  WriteFile(rig.OnDevice("s.bin"), Pattern(5000, 14));
  EXPECT_EQ(Catch([&] { rig.session->GetFile("s.bin", rig.Local("s.bin"), 5000); }).kind, ErrorKind::kFailed);
  EXPECT_TRUE(rig.LocalEntries().empty());
  const auto entries = rig.log.Entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), std::string(kConnectionErrorText)), 6);
}

TEST(Fails, UserCancelsASilentPutWithinOneReadTimeout) {
  emu::Misbehaviour f;
  f.silentAtBlock = 3;
  XferRig rig(kQuillonPty, f);
  WriteFile(rig.Local("q.bin"), Pattern(8000, 15));
  // Cancel as soon as the sender reports its first retry.
  std::chrono::steady_clock::time_point cancelledAt;
  rig.host.cancelWhen = [&](const StatusDialog& d) {
    if (d.Label() != kConnectionErrorText) return false;
    cancelledAt = std::chrono::steady_clock::now();
    return true;
  };
  EXPECT_EQ(Catch([&] { rig.session->PutFile("q.bin", rig.Local("q.bin")); }).kind, ErrorKind::kCancelled);
  // The sender noticed within one 2000 ms read, then paused 2000 ms on its
  // failure path and the session 1000 ms after it.
  const auto took = std::chrono::steady_clock::now() - cancelledAt;
  EXPECT_LT(took, std::chrono::milliseconds(2000 + 800 + 2000 + 1000 + 500));
  EXPECT_FALSE(fs::exists(rig.OnDevice("q.bin")));
}

TEST(Fails, UserCancelsABigGetAndTheSessionGoesOn) {
  XferRig rig(kQuillonPty1024);
  WriteFile(rig.OnDevice("big.bin"), Pattern(5 * 1024 * 1024, 16));
  WriteFile(rig.Local("big.bin"), "keep");
  rig.host.cancelWhen = [](const StatusDialog& d) { return d.ProgressPosition() >= 1024 * 1024; };
  EXPECT_EQ(Catch([&] { rig.session->GetFile("big.bin", rig.Local("big.bin"), 5 * 1024 * 1024); }).kind, ErrorKind::kCancelled);
  EXPECT_EQ(ReadFile(rig.Local("big.bin")), "keep");
  EXPECT_EQ(rig.LocalEntries(), std::vector<std::string>{"big.bin"});
  // The device took the four CAN bytes and listens for commands again.
  EXPECT_TRUE(rig.Find("big.bin").has_value());
}

TEST(Fails, TcpConnectionClosedMidGetLeavesNoFile) {
  emu::Misbehaviour f;
  f.closeAfterBytes = 100000;
  XferRig rig({DeviceKind::kQuillon, Way::kTcp}, f);
  WriteFile(rig.OnDevice("t.bin"), Pattern(300 * 1024, 17));
  const auto raised = Catch([&] { rig.session->GetFile("t.bin", rig.Local("t.bin"), 300 * 1024); });
  EXPECT_EQ(raised.what, kConnectionErrorText);
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  EXPECT_TRUE(rig.LocalEntries().empty());
  EXPECT_FALSE(rig.session->IsConnected());
}

TEST(Fails, TcpConnectionClosedMidPutIsAnError) {
  emu::Misbehaviour f;
  f.closeAfterBytes = 100000;
  XferRig rig({DeviceKind::kQuillon, Way::kTcp}, f);
  WriteFile(rig.Local("t.bin"), Pattern(8 * 1024 * 1024, 18));
  EXPECT_NE(What([&] { rig.session->PutFile("t.bin", rig.Local("t.bin")); }), "(no exception)");
  EXPECT_FALSE(fs::exists(rig.OnDevice("t.bin")));
}

// ---- delete, rename, capture ----

TEST(Changes, QuillonDeleteAndRenameShowInTheNextListing) {
  QuickPauses clock;
  XferRig rig(kQuillonPty, {}, clock);
  WriteFile(rig.Local("a.txt"), "alpha");
  ASSERT_NO_THROW(rig.session->PutFile("a.txt", rig.Local("a.txt")));
  ASSERT_TRUE(rig.Find("a.txt").has_value());
  rig.session->RenameItem("a.txt", "b.txt");
  EXPECT_FALSE(rig.Find("a.txt").has_value());
  ASSERT_TRUE(rig.Find("b.txt").has_value());
  EXPECT_EQ(rig.Find("b.txt")->size, 5u);
  rig.session->DeleteItem("b.txt");
  EXPECT_TRUE(rig.List().empty());
}

TEST(Changes, TallisDeleteAndRenameShowInTheNextListing) {
  QuickPauses clock;
  XferRig rig({DeviceKind::kTallis, Way::kPtyNak}, {}, clock);
  WriteFile(rig.Local("A"), rig.DeviceFile(40, 19));
  ASSERT_NO_THROW(rig.session->PutFile("A", rig.Local("A")));
  ASSERT_TRUE(rig.Find("A").has_value());
  rig.session->RenameItem("A", "B");
  EXPECT_FALSE(rig.Find("A").has_value());
  ASSERT_TRUE(rig.Find("B").has_value());
  EXPECT_EQ(rig.Find("B")->size, 40u);
  rig.session->DeleteItem("B");
  EXPECT_TRUE(rig.List().empty());
}

TEST(Changes, ScreenCaptureOverBothLinks) {
  for (Way way : {Way::kPtyNak, Way::kTcp}) {
    XferRig rig({DeviceKind::kQuillon, way});
    const std::string bmp = rig.Local("Bitmap.bmp");
    ASSERT_NO_THROW(rig.session->CaptureScreen(bmp));
    const Bytes picture = ReadFile(bmp);
    ASSERT_GE(picture.size(), 54u);
    EXPECT_EQ(picture.substr(0, 2), "BM");
    // The bitmap's own length is all there (on a serial link, cut at most to 38912).
    const uint32_t length = ReadLe32(picture.data() + 2);
    if (way == Way::kTcp) EXPECT_EQ(picture.size(), length);
    else EXPECT_EQ(picture.size(), std::min<size_t>(38912, (length + 1023) / 1024 * 1024));
    EXPECT_EQ(rig.messages.back(), way == Way::kTcp ? "Capturing screen" : "Screen received");
  }
}

}  // namespace
}  // namespace corvane::test
