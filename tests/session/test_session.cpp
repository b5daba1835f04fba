// The session against a scripted device: connection, detection, and
// command packets both ways, and folders (over TCP/IP: test_session.tcp.cpp).
#include "session_rig.h"

namespace corvane {
namespace {

using namespace session_test;

TEST(Connect, SerialPortAsksTheVersionAndAcknowledgesIt) {
  Rig rig(true);
  rig.ConnectTo("/dev/ttyUSB0");
  EXPECT_TRUE(rig.session.IsConnected());
  EXPECT_FALSE(rig.session.IsTcp());
  EXPECT_EQ(rig.session.PortName, "/dev/ttyUSB0");
  EXPECT_EQ(rig.session.Version, "Quillon Xmodem server 2.1");
  EXPECT_EQ(rig.opened, std::vector<std::string>{"/dev/ttyUSB0@115200+hs"});
  // On the wire: 'V', then the PC's ACK of the version packet.
  EXPECT_EQ(rig.port->Written(), std::string("V\x06"));
  EXPECT_EQ(rig.messages, (std::vector<std::string>{"Opening Comm /dev/ttyUSB0", "Device connected on /dev/ttyUSB0"}));
}

TEST(Connect, TallisOpensWithoutHandshake) {
  Rig rig(false);
  rig.ConnectTo("/dev/ttyS1");
  EXPECT_EQ(rig.opened, std::vector<std::string>{"/dev/ttyS1@115200"});
}

TEST(Connect, TheCurrentPortAgainChangesNothingAndDisconnectIgnoresCase) {
  Rig rig;
  rig.ConnectTo("/dev/ttyUSB0");
  rig.messages.clear();
  rig.session.Connect(LinkTarget::Serial("/dev/ttyUSB0"));
  EXPECT_EQ(rig.opened.size(), 1u);
  EXPECT_TRUE(rig.messages.empty());
  rig.session.Connect(LinkTarget::Named("DisConnect"));
  EXPECT_FALSE(rig.session.IsConnected());
  EXPECT_TRUE(rig.session.PortName.empty());
  EXPECT_EQ(rig.session.Handle(), nullptr);
}

TEST(Connect, PortPathsKeepTheirCase) {
  Rig rig;
  rig.devicePresent["/dev/ttyACM0"] = true;
  rig.session.Connect(LinkTarget::Serial("/dev/ttyACM0"));
  EXPECT_EQ(rig.session.PortName, "/dev/ttyACM0");
  const std::string err = What([&] { rig.session.Connect(LinkTarget::Serial("/dev/TTYACM0")); });
  EXPECT_EQ(err, std::string(kUnable) + "/dev/TTYACM0)");
}

TEST(Connect, FailuresEmptyThePortNameAndNameThePortAsGiven) {
  Rig rig;
  EXPECT_EQ(What([&] { rig.session.Connect(LinkTarget::Serial("/dev/ttyMissing")); }), std::string(kUnable) + "/dev/ttyMissing)");
  EXPECT_TRUE(rig.session.PortName.empty());
  // A port with nothing answering: four attempts at the version, then the same message.
  rig.devicePresent["/dev/ttyQuiet"] = false;
  EXPECT_EQ(What([&] { rig.session.Connect(LinkTarget::Serial("/dev/ttyQuiet")); }), std::string(kUnable) + "/dev/ttyQuiet)");
  ASSERT_NE(rig.port, nullptr);
  const Bytes written = rig.port->Written();
  EXPECT_EQ(std::count(written.begin(), written.end(), static_cast<char>(kNak)), 4);
  EXPECT_FALSE(rig.session.IsConnected());
  EXPECT_EQ(rig.session.Handle(), nullptr);  // the port is not kept open
}

TEST(Connect, BaudRateThatIsNoNumberFails) {
  // A rate as a user typed it is read before anything is opened.
  EXPECT_EQ(ParseBaudRate("9600"), 9600);
  for (const char* bad : {"fast", "96x", "", "99999999999"}) {
    const auto raised = test::Catch([&] { ParseBaudRate(bad); });
    EXPECT_EQ(raised.kind, ErrorKind::kUsage) << bad;
    EXPECT_EQ(raised.what, std::string("'") + bad + "' is not a valid integer value");
  }
}

TEST(Connect, ATargetWithARateOpensThePortAtIt) {
  Rig rig;
  rig.devicePresent["/dev/ttyS3"] = true;
  const ConnectionState state = rig.session.Connect(LinkTarget::Serial("/dev/ttyS3", 9600));
  EXPECT_TRUE(state.connected);
  EXPECT_EQ(state.link, "/dev/ttyS3");
  EXPECT_EQ(state.version, rig.session.Version);
  EXPECT_EQ(rig.session.BaudRate, 9600);
  rig.session.Connect(LinkTarget::Serial("/dev/ttyS3", 9600));  // the same link: nothing
  rig.session.Connect(LinkTarget::Serial("/dev/ttyS3"));        // the session's rate: nothing
  rig.session.Connect(LinkTarget::Serial("/dev/ttyS3", 19200));
  EXPECT_EQ(rig.opened, (std::vector<std::string>{"/dev/ttyS3@9600", "/dev/ttyS3@19200"}));
  EXPECT_FALSE(rig.session.Connect(LinkTarget::Disconnect()).connected);
}

TEST(Connect, EmptyBaudRateOnlyRecordsThePort) {
  Rig rig;
  rig.session.BaudRate = 0;
  rig.session.Connect(LinkTarget::Serial("/dev/ttyS3"));
  EXPECT_EQ(rig.session.PortName, "/dev/ttyS3");
  EXPECT_TRUE(rig.opened.empty());
  rig.devicePresent["/dev/ttyS3"] = true;
  rig.session.SetBaudRate(9600);
  EXPECT_EQ(rig.opened, std::vector<std::string>{"/dev/ttyS3@9600"});
  EXPECT_TRUE(rig.session.IsConnected());
}

TEST(Connect, UpgradeModeIsAnEmptyVersionAndWarnsAQuillonOnce) {
  Rig rig(true);
  rig.setup = [](ScriptedDevice& d) { d.upgradeMode = true; };
  rig.ConnectTo("/dev/ttyUSB0");
  EXPECT_TRUE(rig.session.UpgradeMode);
  EXPECT_FALSE(rig.session.IsConnected());
  EXPECT_EQ(rig.session.PortName, "/dev/ttyUSB0");
  ASSERT_EQ(rig.host.boxes.size(), 1u);
  EXPECT_EQ(rig.host.boxes[0], "Warning: Warning, Corvane Quillon in upgrade mode\r\nPlease Upgrade your system");
  // No ACK for the lone 'V'.
  EXPECT_EQ(rig.port->Written(), "V");
  EXPECT_EQ(What([&] { rig.session.CheckConnected(); }), "Error (No device connected or device in upgrade mode)");
}

TEST(Connect, TallisInUpgradeModeGetsNoBox) {
  Rig rig(false);
  rig.setup = [](ScriptedDevice& d) { d.upgradeMode = true; };
  rig.ConnectTo("/dev/ttyUSB0");
  EXPECT_TRUE(rig.host.boxes.empty());
  EXPECT_EQ(What([&] { rig.session.CheckConnected(); }),
            "Error (No device connected. Check you are in Xmodem server (RShift LeftArrow))");
}

TEST(SetBaudRate, ReconnectsTheSamePortAtTheNewRate) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS2");
  rig.session.SetBaudRate(115200);  // same rate: nothing
  EXPECT_EQ(rig.opened.size(), 1u);
  rig.session.SetBaudRate(19200);
  EXPECT_EQ(rig.opened.back(), "/dev/ttyS2@19200");
  EXPECT_TRUE(rig.session.IsConnected());
  rig.session.Connect(LinkTarget::Disconnect());
  rig.session.SetBaudRate(9600);
  EXPECT_EQ(rig.opened.size(), 2u);
  EXPECT_EQ(rig.session.BaudRate, 9600);
}

TEST(AutoDetect, TriesPortsInCaseInsensitiveOrderAndKeepsTheFirstThatAnswers) {
  Rig rig;
  rig.session.ListPorts = [] { return std::string("/dev/ttyUSB1\n/dev/ttyS0\n/dev/ttyACM0\n/dev/TTYA"); };
  rig.devicePresent["/dev/ttyS0"] = true;
  rig.devicePresent["/dev/ttyUSB1"] = true;
  rig.session.Connect(LinkTarget::Named("auto"));
  EXPECT_EQ(rig.session.PortName, "/dev/ttyS0");
  EXPECT_EQ(rig.opened, (std::vector<std::string>{"/dev/TTYA@115200", "/dev/ttyACM0@115200", "/dev/ttyS0@115200"}));
  // "Auto" again while on a detected port detects again.
  rig.session.Connect(LinkTarget::Auto());
  EXPECT_EQ(rig.session.PortName, "/dev/ttyS0");
}

TEST(AutoDetect, NoPortsEndsDisconnectedWithTheLogLine) {
  Rig rig;
  rig.session.ListPorts = [] { return std::string(); };
  EXPECT_NO_THROW(rig.session.Connect(LinkTarget::Named("AUTO")));
  EXPECT_TRUE(rig.session.PortName.empty());
  EXPECT_EQ(rig.messages.back(), "No device detected. Check: the cable connection. If the device is turned ON");
}

TEST(AutoDetect, APortRefusedForLackOfPermissionIsNamedWithTheFixInTheFinalLine) {
  Rig rig;
  const std::string advice =
      "Cannot open /dev/ttyUSB0: Permission denied. Join the group that owns the port (sudo usermod -aG dialout "
      "$USER), then log out and in again.";
  rig.session.ListPorts = [] { return std::string("/dev/ttyS0\n/dev/ttyUSB0"); };
  rig.devicePresent["/dev/ttyS0"] = false;  // opens, nobody answers: nothing to add
  auto open = rig.session.OpenPort;
  rig.session.OpenPort = [&](const std::string& name, int baud, bool hs) -> std::unique_ptr<SerialPort> {
    if (name == "/dev/ttyUSB0") ConnectionError(advice);
    return open(name, baud, hs);
  };
  EXPECT_NO_THROW(rig.session.Connect(LinkTarget::Auto()));
  EXPECT_FALSE(rig.session.IsConnected());
  EXPECT_EQ(rig.messages.back(),
            "No device detected. Check: the cable connection. If the device is turned ON\n" + advice);
}

TEST(Connect, AFailedOpenIsNoConnectionAndKeepsTheSystemsReason) {
  Rig rig;
  rig.session.OpenPort = [](const std::string&, int, bool) -> std::unique_ptr<SerialPort> {
    ConnectionError("Cannot open /dev/ttyX: Device or resource busy. Another program is using the port.");
  };
  try {
    rig.session.Connect(LinkTarget::Serial("/dev/ttyX"));
    FAIL() << "connected";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kNoConnection);
    EXPECT_EQ(std::string(e.what()), std::string(kUnable) + "/dev/ttyX)");
    EXPECT_NE(e.Detail().find("Another program"), std::string::npos);
  }
  // A port that opens but where no device answers is no connection either, without a reason.
  Rig silent;
  silent.devicePresent["/dev/ttyS3"] = false;
  const auto raised = test::Catch([&] { silent.session.Connect(LinkTarget::Serial("/dev/ttyS3")); });
  EXPECT_EQ(raised.kind, ErrorKind::kNoConnection);
  // A baud rate that is no number is the request's fault.
  EXPECT_EQ(test::Catch([] { ParseBaudRate("fast"); }).kind, ErrorKind::kUsage);
}

TEST(Kill, QuillonOnly) {
  Rig tallis(false);
  tallis.ConnectTo("/dev/ttyS1");
  tallis.port->ClearWritten();
  tallis.session.Kill();
  EXPECT_EQ(tallis.port->Written(), "");
  Rig quillon(true);
  quillon.ConnectTo("/dev/ttyS1");
  quillon.port->ClearWritten();
  quillon.session.Kill();
  EXPECT_EQ(quillon.port->Written(), "k");
  EXPECT_EQ(quillon.host.boxes.back(), "Message: Corvane Quillon Connecitvity kit killed");
}

TEST(SendPacket, FramesThePayloadWithLengthAndSum) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.port->ClearWritten();
  rig.session.SendPacket("abc");
  EXPECT_EQ(rig.port->Written(), std::string("\x00\x03" "abc" "\x26", 6));
  rig.port->ClearWritten();
  rig.session.SendPacket("");
  EXPECT_EQ(rig.port->Written(), std::string(3, '\0'));
}

TEST(SendPacket, RetriesAfterNakAndGivesUpAfterFiveWrites) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.device->nakPackets = 2;
  rig.messages.clear();
  rig.session.SendPacket("x");
  EXPECT_EQ(rig.device->packets.size(), 3u);
  EXPECT_EQ(rig.messages, (std::vector<std::string>(2, kConnectionErrorText)));

  rig.device->nakPackets = 100;
  rig.device->packets.clear();
  rig.messages.clear();
  EXPECT_EQ(What([&] { rig.session.SendPacket("x"); }), kConnectionErrorText);
  EXPECT_EQ(rig.device->packets.size(), 5u);
  EXPECT_EQ(rig.messages.size(), 4u);
}

TEST(ReceivePacket, NaksABadChecksumAndTakesTheResend) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.device->listing = "payload";
  rig.device->corruptReplies = 1;
  rig.session.SendCommand('L');
  EXPECT_EQ(rig.session.ReceivePacket(2000), "payload");
  EXPECT_EQ(rig.device->naksFromPc, 1);
  EXPECT_EQ(rig.device->acksFromPc, 2);  // the version and this packet
}

TEST(ReceivePacket, FourFailuresWriteFourNaksThenRaise) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.device->listing = "payload";
  rig.device->corruptReplies = 100;
  rig.session.SendCommand('L');
  EXPECT_EQ(What([&] { rig.session.ReceivePacket(2000); }), kConnectionErrorText);
  EXPECT_EQ(rig.device->naksFromPc, 4);
}

TEST(ReceivePacket, APacketAboveTheCapFailsEveryAttempt) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.device->listing = Bytes(10001, 'a');
  rig.session.SendCommand('L');
  EXPECT_EQ(What([&] { rig.session.ReceivePacket(2000); }), kConnectionErrorText);
  EXPECT_EQ(rig.device->naksFromPc, 4);
  EXPECT_EQ(rig.port->TimeoutConstant(), 2000u);
}

TEST(ReceivePacket, TheLargestAcceptedPacketArrives) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.device->listing = Bytes(10000, 'z');
  rig.session.SendCommand('L');
  EXPECT_EQ(rig.session.ReceivePacket(2000), Bytes(10000, 'z'));
}

TEST(ReceivePacket, AnswerBeginningWithVIsAnEmptyPayloadWithoutAck) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.device->rawReply = "V1.0";
  rig.port->ClearWritten();
  rig.session.SendCommand('L');
  EXPECT_EQ(rig.session.ReceivePacket(2000), "");
  EXPECT_EQ(rig.port->Written(), "L");
}

TEST(ReceivePacket, ALengthFieldOfNoiseCostsSecondsNotMinutes) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  // "Re" read as a length of 21093, then nothing more.
  rig.device->rawReply = "Re";
  rig.device->listing = "ok";
  rig.session.SendCommand('L');
  const uint64_t t0 = rig.clock.NowMs();
  EXPECT_EQ(rig.session.ReceivePacket(500), "ok");  // the device's answer to the NAK
  EXPECT_EQ(rig.device->naksFromPc, 1);
  // The bad attempt ended one piece's time-out (500 + 30 x 32 ms) after the
  // line fell silent, then a quiet window: not 500 + 30 x 10000 ms.
  EXPECT_LT(rig.clock.NowMs() - t0, 3000u);
}

TEST(SendCommand, DrainsTheLineThenWritesOneBytePausing) {
  Rig rig;
  rig.ConnectTo("/dev/ttyS1");
  rig.port->ClearWritten();
  const uint64_t t0 = rig.clock.NowMs();
  rig.session.SendCommand('o');
  EXPECT_EQ(rig.port->Written(), "o");
  // 200 ms quiet window + 20 ms pause
  EXPECT_EQ(rig.clock.NowMs() - t0, 220u);
  EXPECT_EQ(rig.port->TimeoutConstant(), 1000u);
  EXPECT_EQ(rig.port->TimeoutMultiplier(), 30u);
}

TEST(ChangeDir, QuillonSendsTheCollapsedPath) {
  Rig rig(true);
  rig.ConnectTo("/dev/ttyS1");
  for (const Bytes& p : {Bytes("\\"), Bytes("\\\\"), Bytes("")}) {
    rig.device->packets.clear();
    rig.session.ChangeDir(p);
    ASSERT_EQ(rig.device->packets.size(), 1u);
    EXPECT_EQ(rig.device->packets[0], "\\");
  }
  rig.device->packets.clear();
  rig.session.ChangeDir("\\\\Docs");
  EXPECT_EQ(rig.device->packets[0], "\\Docs\\");
  EXPECT_EQ(rig.device->commands.back(), "C");
  EXPECT_EQ(rig.messages.back(), "Change current dir to \\Docs\\");
}

TEST(ChangeDir, TallisSendsAHomeLine) {
  Rig rig(false);
  rig.ConnectTo("/dev/ttyS1");
  rig.session.ChangeDir("\\");
  EXPECT_EQ(rig.device->commands.back(), "E");
  EXPECT_EQ(rig.device->packets.back(), "HOME  ");
  rig.session.ChangeDir("\\\\GAMES\\\\LEVEL2");
  EXPECT_EQ(rig.device->packets.back(), "HOME  GAMES LEVEL2 ");
}

TEST(ChangeDir, RefusedWhenNotConnected) {
  Rig rig(true);
  EXPECT_EQ(What([&] { rig.session.ChangeDir("\\"); }), "Error (No device connected or device in upgrade mode)");
}

}  // namespace
}  // namespace corvane
