// File operations over TCP/IP against a local server: streamed gets and puts,
// the listing that confirms a put, batches, cancels and deadlines.
#include "file_ops_rig.h"

namespace corvane {
namespace {

using namespace file_ops_test;

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
