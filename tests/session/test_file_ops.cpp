// File operations and the screen capture against a scripted device: the
// command bytes and packets of both device kinds, the transfers under the
// status dialog and the pauses (TCP/IP is in test_file_ops_tcp.cpp).
#include "file_ops_rig.h"

namespace corvane {
namespace {

using namespace file_ops_test;

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

}  // namespace
}  // namespace corvane
