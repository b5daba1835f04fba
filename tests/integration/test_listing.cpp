// The session against the emulated device over real pseudo-terminals and TCP:
// version, folder tree, change of folder, and the device's faults.
#include <gtest/gtest.h>

#include <algorithm>

#include "emulator_rig.h"
#include "link/link_error.h"
#include "protocol/listing.h"

namespace corvane::test {
namespace {

using emu::DeviceKind;

class ListingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_tree = new TempFolder();
    MakeTree(s_tree->Path());
  }
  static void TearDownTestSuite() {
    delete s_tree;
    s_tree = nullptr;
  }
  static const fs::path& Root() { return s_tree->Path(); }
  static TempFolder* s_tree;
};
TempFolder* ListingTest::s_tree = nullptr;

const std::vector<std::string> kRootListing = {"NETWORK|0|0", "docs|0|0", "many|0|0", "readme.txt|1234|1"};
const std::vector<std::string> kDocsListing = {"caf\xE9.txt|10|1", "empty|0|0", "my notes.txt|5|1", "sub|0|0"};

// Walks the tree from the root as the main window does (each folder listed
// by its path below its parent's) and checks every level.
void CheckTree(Rig& rig, bool tallis) {
  const auto top = rig.session.ListFolder("\\");
  std::vector<std::string> expectedTop = kRootListing;
  if (tallis) expectedTop.push_back("tobj|100|1");  // the body size of an object
  else expectedTop.push_back("tobj|109|1");
  EXPECT_EQ(Describe(top), expectedTop);
  EXPECT_EQ(rig.CountOf('L'), 1);

  const ListingEntry* docs = Child(top, "docs");
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(docs->kind, kKindDirectory);
  const auto docsChildren = rig.session.ListFolder("\\\\docs");
  EXPECT_EQ(Describe(docsChildren), kDocsListing);
  EXPECT_EQ(rig.CountOf('L'), 2);

  ASSERT_NE(Child(docsChildren, "empty"), nullptr);
  EXPECT_TRUE(rig.session.ListFolder("\\\\docs\\empty").empty());

  ASSERT_NE(Child(docsChildren, "sub"), nullptr);
  EXPECT_EQ(Describe(rig.session.ListFolder("\\\\docs\\sub")), std::vector<std::string>{"deep.txt|3000|1"});

  ASSERT_NE(Child(top, "many"), nullptr);
  const auto manyChildren = rig.session.ListFolder("\\\\many");
  ASSERT_EQ(manyChildren.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d", i);
    EXPECT_EQ(manyChildren[static_cast<size_t>(i)].name, name);
    EXPECT_EQ(manyChildren[static_cast<size_t>(i)].size, static_cast<uint32_t>(i));
  }

  ASSERT_NE(Child(top, "NETWORK"), nullptr);
  EXPECT_TRUE(rig.session.ListFolder("\\\\NETWORK").empty());
  EXPECT_EQ(rig.CountOf('L'), 6);
}

TEST_F(ListingTest, QuillonOverPtyReportsVersionAndListsTheTree) {
  Rig rig(DeviceKind::kQuillon, Link::kPty, Root());
  rig.Connect();  // a pseudo-terminal has no modem lines: opening it must still work
  EXPECT_EQ(rig.session.Version, "Quillon Xmodem server 2.1");
  EXPECT_FALSE(rig.session.UpgradeMode);
  EXPECT_TRUE(rig.session.IsConnected());
  EXPECT_TRUE(rig.host.boxes.empty());

  CheckTree(rig, false);
  // The paths the device was given: root and first level collapse to single backslashes.
  EXPECT_EQ(rig.PacketsOf('C'), (std::vector<Bytes>{"\\", "\\docs\\", "\\docs\\empty\\", "\\docs\\sub\\",
                                                     "\\many\\", "\\NETWORK\\"}));
  EXPECT_EQ(rig.device.CurrentFolder(), fs::path("NETWORK"));
}

TEST_F(ListingTest, TallisOverPtyListsTheTreeWithHomeLines) {
  Rig rig(DeviceKind::kTallis, Link::kPty, Root());
  rig.Connect();
  EXPECT_EQ(rig.session.Version, "Tallis Xmodem server 1.4");
  EXPECT_FALSE(rig.session.UpgradeMode);

  CheckTree(rig, true);
  EXPECT_EQ(rig.PacketsOf('E'), (std::vector<Bytes>{"HOME  ", "HOME  docs ", "HOME  docs empty ", "HOME  docs sub ",
                                                     "HOME  many ", "HOME  NETWORK "}));
  EXPECT_EQ(rig.CountOf('C'), 0);
}

TEST_F(ListingTest, QuillonOverTcpListsTheTree) {
  Rig rig(DeviceKind::kQuillon, Link::kTcp, Root());
  rig.Connect();
  EXPECT_TRUE(rig.session.IsConnected());
  EXPECT_EQ(rig.CountOf('V'), 0);  // no version over TCP/IP
  CheckTree(rig, false);
  EXPECT_EQ(rig.PacketsOf('C').front(), "\\");
}

TEST_F(ListingTest, ReconnectingToThePseudoTerminalWorks) {
  Rig rig(DeviceKind::kQuillon, Link::kPty, Root());
  rig.Connect();
  rig.session.Connect(LinkTarget::Disconnect());
  EXPECT_FALSE(rig.session.IsConnected());
  // The PC closed its side; the device keeps serving and the port opens again.
  rig.Connect();
  EXPECT_TRUE(rig.session.IsConnected());
  EXPECT_EQ(rig.session.Version, "Quillon Xmodem server 2.1");
  EXPECT_EQ(rig.CountOf('V'), 2);
}

TEST_F(ListingTest, PacketsRefusedUpToFourTimesAreSentAgain) {
  emu::Misbehaviour faults;
  faults.nakPackets = 2;
  Rig rig(DeviceKind::kQuillon, Link::kPty, Root(), faults);
  rig.Connect();
  EXPECT_EQ(rig.session.ListFolder("\\").size(), 5u);
  // The change-folder packet was written three times; each refusal was logged.
  EXPECT_EQ(std::count(rig.messages.begin(), rig.messages.end(), kConnectionErrorText), 2);
  EXPECT_EQ(rig.device.Faults().nakPackets, 0);
}

TEST_F(ListingTest, FiveRefusalsEndInTheConnectionErrorAndTheDeviceRecovers) {
  Rig rig(DeviceKind::kTallis, Link::kPty, Root());
  rig.Connect();
  rig.device.UpdateFaults([](emu::Misbehaviour& f) { f.nakPackets = 5; });
  try {
    rig.session.ListFolder("\\");
    FAIL() << "expected the connection error";
  } catch (const DeviceError& e) {
    EXPECT_STREQ(e.what(), kConnectionErrorText);
  }
  EXPECT_EQ(std::count(rig.messages.begin(), rig.messages.end(), kConnectionErrorText), 4);
  // Nothing is stuck: the next listing works.
  ASSERT_TRUE(rig.device.WaitIdle(std::chrono::seconds(5)));
  EXPECT_EQ(rig.session.ListFolder("\\").size(), 5u);
}

TEST_F(ListingTest, ABadChecksumFromTheDeviceIsRefusedAndTheListingSentAgain) {
  Rig rig(DeviceKind::kQuillon, Link::kPty, Root());
  rig.Connect();
  rig.device.UpdateFaults([](emu::Misbehaviour& f) { f.badChecksumPackets = 1; });
  EXPECT_EQ(rig.session.ListFolder("\\").size(), 5u);
  EXPECT_TRUE(rig.device.WaitForLog("The PC refused a packet", std::chrono::seconds(1)));
}

TEST_F(ListingTest, AListingCutShortLosesOnlyItsLastRecord) {
  for (DeviceKind kind : {DeviceKind::kQuillon, DeviceKind::kTallis}) {
    Rig rig(kind, Link::kPty, Root());
    rig.Connect();
    rig.device.UpdateFaults([](emu::Misbehaviour& f) { f.cutListing = true; });
    auto described = Describe(rig.session.ListFolder("\\\\docs"));
    EXPECT_EQ(described, std::vector<std::string>(kDocsListing.begin(), kDocsListing.end() - 1));
  }
}

TEST_F(ListingTest, ASilentDeviceIsNotConnected) {
  emu::Misbehaviour faults;
  faults.silentCommands = 1;
  Rig rig(DeviceKind::kQuillon, Link::kPty, Root(), faults);
  try {
    rig.Connect();
    FAIL() << "expected the connection to fail";
  } catch (const DeviceError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error (The connectivity kit is unable to open the communication com :" + rig.port + ")");
  }
  EXPECT_FALSE(rig.session.IsConnected());
  EXPECT_TRUE(rig.session.PortName.empty());
  ASSERT_EQ(rig.device.Commands().size(), 1u);
  EXPECT_TRUE(rig.device.Commands()[0].ignored);
}

TEST_F(ListingTest, UpgradeModeIsDetectedForBothKinds) {
  {
    Rig rig(DeviceKind::kQuillon, Link::kPty, Root(), {}, /*upgradeMode=*/true);
    rig.Connect();
    EXPECT_TRUE(rig.session.UpgradeMode);
    EXPECT_TRUE(rig.session.Version.empty());
    EXPECT_FALSE(rig.session.IsConnected());
    EXPECT_EQ(rig.session.PortName, rig.port);
    EXPECT_EQ(rig.host.boxes,
              std::vector<std::string>{"Warning: Warning, Corvane Quillon in upgrade mode\r\nPlease Upgrade your system"});
    EXPECT_THROW(rig.session.ListFolder("\\"), DeviceError);
    EXPECT_EQ(rig.CountOf('L'), 0);
  }
  {
    Rig rig(DeviceKind::kTallis, Link::kPty, Root(), {}, true);
    rig.Connect();
    EXPECT_TRUE(rig.session.UpgradeMode);
    EXPECT_TRUE(rig.host.boxes.empty());
  }
}

}  // namespace
}  // namespace corvane::test
