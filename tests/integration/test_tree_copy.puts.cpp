// Folder puts and restores over TCP/IP, and a device that lists hostile names,
// against the emulated device.
#include "tree_copy_rig.h"

namespace corvane::test {
namespace {

TEST(PutFolder, AMissingDeviceFolderIsNamedAndNothingIsSent) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  fs::create_directories(rig.deviceRoot.Path() / "docs" / "sub");
  const fs::path src = rig.local.Path() / "docs";
  fs::create_directories(src / "sub");
  fs::create_directories(src / "gone" / "deeper");
  WriteFile(src / "a.txt", "aaa");
  WriteFile(src / "sub" / "b.txt", Pattern(2000, 1));
  WriteFile(src / "gone" / "c.txt", "c");

  const UploadPlan plan = PlanUpload({src.string()}, "\\");
  EXPECT_EQ(plan.files.size(), 3u);
  try {
    CheckUploadFolders(*rig.session, plan);
    FAIL() << "a missing folder was not refused";
  } catch (const DeviceError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("/docs/gone"), std::string::npos) << text;
    EXPECT_NE(text.find("/docs/gone/deeper"), std::string::npos) << text;
    EXPECT_EQ(text.find("/docs/sub"), std::string::npos) << text;
  }
  EXPECT_EQ(rig.Puts(), 0);

  fs::remove_all(src / "gone");
  const UploadPlan ok = PlanUpload({src.string()}, "\\");
  CheckUploadFolders(*rig.session, ok);
  {
    TransferJob job(*rig.session, "Copying");
    RunUpload(*rig.session, ok, job);
  }
  EXPECT_EQ(ReadFile(rig.deviceRoot.Path() / "docs" / "sub" / "b.txt"), Pattern(2000, 1));
  EXPECT_EQ(ReadFile(rig.deviceRoot.Path() / "docs" / "a.txt"), "aaa");
}

// The device's commands from the first file put on, one letter each, and the
// folders it was told to make current on the way.
struct PutRun {
  std::string letters;
  std::vector<Bytes> folders;
};
PutRun CommandsFromTheFirstPut(const emu::EmulatedDevice& device) {
  PutRun run;
  const auto commands = device.Commands();
  size_t first = commands.size();
  for (size_t i = 0; i < commands.size(); ++i)
    if (commands[i].command == 'P') {
      first = i;
      break;
    }
  if (first > 0 && first < commands.size() && commands[first - 1].command == 'C') --first;
  for (size_t i = first; i < commands.size(); ++i) {
    run.letters += commands[i].command;
    if (commands[i].command == 'C' && !commands[i].packets.empty()) run.folders.push_back(commands[i].packets[0]);
  }
  return run;
}

// A local folder up/ of a.bin, b.bin, m/ (c.bin, d.bin) and z.bin, and the
// device folders \up and \up\m for it.
UploadPlan PlanInterleavedFolder(TreeRig& rig) {
  fs::create_directories(rig.deviceRoot.Path() / "up" / "m");
  const fs::path src = rig.local.Path() / "up";
  fs::create_directories(src / "m");
  WriteFile(src / "a.bin", Pattern(3000, 1));
  WriteFile(src / "b.bin", Pattern(70000, 2));  // more than one chunk of the stream
  WriteFile(src / "m" / "c.bin", Pattern(10, 3));
  WriteFile(src / "m" / "d.bin", "");
  WriteFile(src / "z.bin", Pattern(500, 4));
  UploadPlan plan = PlanUpload({src.string()}, "\\");
  CheckUploadFolders(*rig.session, plan);
  rig.device->ClearRecords();
  return plan;
}

TEST(PutFolder, OverTcpEachFolderIsConfirmedByOneListingAfterItsLastFile) {
  TreeRig rig({DeviceKind::kQuillon, Link::kTcp});
  const UploadPlan plan = PlanInterleavedFolder(rig);
  {
    TransferJob job(*rig.session, "Copying");
    RunUpload(*rig.session, plan, job);
  }
  // up's files go together though the plan has m's between them, and each
  // folder is listed once, after its last file: not once a file.
  const PutRun run = CommandsFromTheFirstPut(*rig.device);
  EXPECT_EQ(run.letters, "CPPPLCPPL");
  EXPECT_EQ(run.folders, (std::vector<Bytes>{"\\up\\", "\\up\\m\\"}));
  const fs::path up = rig.deviceRoot.Path() / "up";
  EXPECT_EQ(ReadFile(up / "a.bin"), Pattern(3000, 1));
  EXPECT_EQ(ReadFile(up / "b.bin"), Pattern(70000, 2));
  EXPECT_EQ(ReadFile(up / "z.bin"), Pattern(500, 4));
  EXPECT_EQ(ReadFile(up / "m" / "c.bin"), Pattern(10, 3));
  EXPECT_EQ(ReadFile(up / "m" / "d.bin"), "");
}

TEST(PutFolder, OverTcpAFileTheDeviceDropsIsReportedAloneAndTheRunStopsAtItsFolder) {
  TreeRig rig({DeviceKind::kQuillon, Link::kTcp});
  const UploadPlan plan = PlanInterleavedFolder(rig);
  rig.device->UpdateFaults([](emu::Misbehaviour& f) { f.losePut = 2; });  // b.bin
  try {
    TransferJob job(*rig.session, "Copying");
    RunUpload(*rig.session, plan, job);
    FAIL() << "a file the device did not store counted as put";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kFailed);
    EXPECT_STREQ(e.what(),
                 "Error (The device does not list b.bin after it was sent: it did not store the file. Check the "
                 "space left on the device and put it again)");
    EXPECT_EQ(e.Detail(), "");  // a.bin and z.bin are there
  }
  EXPECT_TRUE(rig.session->IsConnected());
  const PutRun run = CommandsFromTheFirstPut(*rig.device);
  EXPECT_EQ(run.letters, "CPPPL");  // m's files are not sent after the failure
  const fs::path up = rig.deviceRoot.Path() / "up";
  EXPECT_FALSE(fs::exists(up / "b.bin"));
  EXPECT_EQ(ReadFile(up / "a.bin"), Pattern(3000, 1));
  EXPECT_EQ(ReadFile(up / "z.bin"), Pattern(500, 4));
  EXPECT_TRUE(fs::is_empty(up / "m"));
}

TEST(Backup, RestoreOverTcpListsEachFolderOnceAfterItsFilesAndNamesAFileTheDeviceDropped) {
  TreeRig rig({DeviceKind::kQuillon, Link::kTcp});
  for (int i = 0; i < 6; ++i) {
    rig.Put("docs/f" + std::to_string(i) + ".bin", 100 + 37 * static_cast<size_t>(i), static_cast<unsigned>(i));
    rig.Put("docs/sub/g" + std::to_string(i) + ".bin", 60, static_cast<unsigned>(10 + i));
  }
  rig.Put("top.bin", 2000, 20);
  BackupDevice(*rig.session, rig.Dest());
  const auto device = Snapshot(rig.deviceRoot.Path());
  const auto removeFiles = [&] {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(rig.deviceRoot.Path()))
      if (e.is_regular_file()) files.push_back(e.path());
    for (const auto& f : files) fs::remove(f);
  };
  // (C, then the folder's files, then its one listing), a folder at a time.
  const std::regex byFolder("^(CP+L)+$");

  removeFiles();
  rig.device->ClearRecords();
  const RestoreSummary r = RestoreBackup(*rig.session, rig.Dest());
  EXPECT_EQ(r.placed, 13);
  EXPECT_EQ(Snapshot(rig.deviceRoot.Path()), device);
  const PutRun whole = CommandsFromTheFirstPut(*rig.device);
  EXPECT_TRUE(std::regex_match(whole.letters, byFolder)) << whole.letters;
  EXPECT_EQ(std::count(whole.letters.begin(), whole.letters.end(), 'L'), 3) << whole.letters;

  // The device drops the fourth file it is sent: that file is named, and the
  // restore fails.
  removeFiles();
  rig.device->ClearRecords();
  rig.device->UpdateFaults([](emu::Misbehaviour& f) { f.losePut = 4; });
  std::string what, detail;
  try {
    RestoreBackup(*rig.session, rig.Dest());
    ADD_FAILURE() << "a restore with a file the device did not store succeeded";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kFailed);
    what = e.what();
    detail = e.Detail();
  }
  Bytes lost;
  int puts = 0;
  for (const auto& c : rig.device->Commands())
    if (c.command == 'P' && ++puts == 4) lost = c.packets.at(0).substr(0, c.packets.at(0).find('\0'));
  ASSERT_FALSE(lost.empty());
  EXPECT_EQ(what, "Error (The device does not list " + lost +
                      " after it was sent: it did not store the file. Check the space left on the device and put it "
                      "again)");
  EXPECT_EQ(detail, "");
  const PutRun cut = CommandsFromTheFirstPut(*rig.device);
  EXPECT_TRUE(std::regex_match(cut.letters, byFolder)) << cut.letters;
}

TEST(PutFolder, LocalNamesTheDeviceCannotCarryAreRefusedBeforeConnecting) {
  TempFolder local;
  fs::create_directories(local.Path() / "d");
  WriteFile(local.Path() / "d" / "\xE2\x82\xAC.txt", "euro");  // U+20AC: not Latin-1
  WriteFile(local.Path() / "d" / "fine.txt", "ok");
  try {
    PlanUpload({(local.Path() / "d").string()}, "\\");
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kLocalFile);
    EXPECT_NE(std::string(e.what()).find("outside Latin-1"), std::string::npos) << e.what();
  }
}

// ---- a device that lists hostile names ----

// A Quillon file server on TCP that lists names meant to escape the folder
// they are copied into; the root also holds a folder "../up" whose listing
// climbs further. A get answers with the name asked for as the file's bytes.
class HostileDevice {
 public:
  HostileDevice() {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 1) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("cannot listen");
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~HostileDevice() {
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    if (m_conn >= 0) ::shutdown(m_conn, SHUT_RDWR);
    m_thread.join();
    ::close(m_listen);
    if (m_conn >= 0) ::close(m_conn);
  }
  uint16_t Port() const { return m_port; }

  static Bytes RootListing() {
    Bytes l;
    for (const char* name : {"../x", "/etc/x", "a/../../x", "a\\..\\..\\y", "..", ".", "", "ok.txt", "manifest.json"})
      l += EncodeQuillonRecord(name, static_cast<uint32_t>(std::strlen(name)), false);
    l += EncodeQuillonRecord("../up", 0, true);
    l += EncodeQuillonRecord("..", 0, true);
    return l;
  }
  static Bytes InnerListing() {
    return EncodeQuillonRecord("../../z", 7, false) + EncodeQuillonRecord("../up", 0, true);
  }

 private:
  bool ReadExact(char* out, size_t n) {
    for (size_t got = 0; got < n;) {
      const ssize_t r = ::recv(m_conn, out + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  bool ReadPacket(Bytes& payload) {
    char len[4];
    if (!ReadExact(len, 4)) return false;
    payload.assign(ReadLe32(len), '\0');
    return ReadExact(payload.data(), payload.size());
  }
  void Send(const Bytes& payload) {
    const Bytes frame = FrameTcpPacket(payload);
    (void)::send(m_conn, frame.data(), frame.size(), MSG_NOSIGNAL);
  }

  void Serve() {
    m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_conn < 0) return;
    timeval tv{10, 0};  // every read has a deadline
    ::setsockopt(m_conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Bytes current = "\\";
    char command = 0;
    while (!m_stop && ReadExact(&command, 1)) {
      Bytes packet;
      if (command == 'V') {
        Send("Quillon Xmodem server 2.1");
      } else if (command == 'C') {
        if (!ReadPacket(packet)) return;
        current = packet;
      } else if (command == 'L') {
        Send(current == "\\" ? RootListing() : InnerListing());
      } else if (command == 'G') {
        if (!ReadPacket(packet)) return;
        Send(packet);
      }
    }
  }

  int m_listen = -1;
  int m_conn = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

TEST(Backup, AListingOfHostileNamesWritesNothingOutsideTheBackupFolder) {
  HostileDevice device;
  TempFolder sandbox;
  const fs::path dest = sandbox.Path() / "a" / "b" / "dest";
  fs::create_directories(dest.parent_path());
  FakeHost host;
  LogModel log;
  QuickPauses clock;
  DeviceSession session(host, log, clock);
  session.IsQuillon = true;
  session.Socket.Port = device.Port();
  session.Connect(LinkTarget::Tcp());
  ASSERT_TRUE(session.IsConnected());

  const BackupSummary summary = BackupDevice(session, dest.string());
  // Everything written is below dest; dest's folders hold nothing else.
  for (const auto& e : fs::recursive_directory_iterator(sandbox.Path())) {
    const std::string rel = fs::relative(e.path(), dest).string();
    const bool above = e.path() == sandbox.Path() / "a" || e.path() == sandbox.Path() / "a" / "b" || e.path() == dest;
    EXPECT_TRUE(above || (rel != ".." && rel.rfind("../", 0) != 0)) << e.path();
  }
  // Each name became one safe local name; the manifest keeps the device's names.
  EXPECT_EQ(ReadFile(dest / ".._x"), "../x");
  EXPECT_EQ(ReadFile(dest / "_etc_x"), "/etc/x");
  EXPECT_EQ(ReadFile(dest / "a_.._.._x"), "a/../../x");
  // A file called ".." cannot be named by a path: reported, not fetched.
  EXPECT_FALSE(fs::exists(dest / "__"));
  EXPECT_EQ(ReadFile(dest / ".._up" / ".._.._z"), "../../z");
  // The device's own "manifest.json" does not take the manifest's place.
  EXPECT_EQ(ReadFile(dest / "manifest (2).json"), "manifest.json");
  // The folders ".." cannot be entered; "../up" lists itself again below, to a limit.
  EXPECT_FALSE(summary.skipped.empty());
  const Manifest m = ReadManifest(dest.string());
  bool sawHostile = false;
  for (const auto& e : m.entries) sawHostile |= e.path == "\\a/../../x" && e.local == "a_.._.._x";
  EXPECT_TRUE(sawHostile);
}

}  // namespace
}  // namespace corvane::test
