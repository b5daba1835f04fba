// Whole folders and whole devices against the emulated device: a folder
// tree fetched byte for byte, a backup that fetches only what changed and
// resumes after a Cancel with nothing partial under a real name, a device
// that lists hostile names, restore, and a local folder put only where the
// device has its folders.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "desktop/backup.h"
#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "emulator_rig.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"

namespace corvane::test {
namespace {

using emu::DeviceKind;

Bytes Pattern(size_t n, unsigned seed) {
  Bytes b(n, '\0');
  uint32_t x = 2463534242u ^ (seed * 2654435761u);
  for (auto& c : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return b;
}

// The pauses kept for a real device's sake would only make these tests slow.
class QuickPauses final : public Clock {
 public:
  uint64_t NowMs() override { return Clock::System().NowMs(); }
  void SleepMs(uint32_t ms) override { Clock::System().SleepMs(std::min<uint32_t>(ms, 5)); }
};

// Every regular file and folder below `root`, relative, with a digest of the
// file's bytes ("/" for a folder). Device-side names are Latin-1 bytes; with
// `deviceNames` they are turned into the UTF-8 of the local copy.
std::map<std::string, std::string> Snapshot(const fs::path& root, bool deviceNames = false) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    if (rel == kManifestName) continue;
    if (deviceNames) rel = Latin1ToUtf8(rel);
    if (e.is_directory()) {
      out[rel] = "/";
      continue;
    }
    const std::string bytes = ReadFile(e.path());
    out[rel] = std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>{}(bytes));
  }
  return out;
}

struct Setup {
  DeviceKind kind;
  Link link;
};

std::string SetupName(const ::testing::TestParamInfo<Setup>& info) {
  return std::string(info.param.kind == DeviceKind::kQuillon ? "Quillon" : "Tallis") +
         (info.param.link == Link::kPty ? "Pty" : "Tcp");
}

struct TreeRig {
  TempFolder deviceRoot;
  TempFolder local;
  QuickPauses clock;
  std::unique_ptr<emu::EmulatedDevice> device;
  FakeHost host;
  LogModel log;
  std::unique_ptr<DeviceSession> session;
  bool tallis;

  explicit TreeRig(Setup setup) : tallis(setup.kind == DeviceKind::kTallis) {
    emu::DeviceOptions o;
    o.kind = setup.kind;
    o.root = deviceRoot.Path();
    device = std::make_unique<emu::EmulatedDevice>(o);
    session = std::make_unique<DeviceSession>(host, log, clock);
    session->IsQuillon = !tallis;
    if (setup.link == Link::kTcp) {
      session->Socket.Port = device->StartTcp(0);
      session->Connect(LinkTarget::Tcp());
    } else {
      session->BaudRate = 115200;
      session->Connect(LinkTarget::Serial(device->StartPty()));
    }
  }
  ~TreeRig() {
    session.reset();
    device.reset();
  }

  // A file as the kind stores it (a Tallis object with its header), so that
  // what a get brings is the host file byte for byte.
  void Put(const fs::path& rel, size_t body, unsigned seed) {
    const Bytes b = Pattern(body, seed);
    fs::create_directories((deviceRoot.Path() / rel).parent_path());
    WriteFile(deviceRoot.Path() / rel, tallis ? emu::MakeTallisHeader(static_cast<uint32_t>(body)) + b : b);
  }
  // docs/a.txt, docs/sub/deep.bin (several blocks), docs/sub/more/z, docs/empty/, top.bin, c\xE9.bin
  void MakeNestedTree() {
    Put("docs/a.txt", 5, 1);
    Put("docs/sub/deep.bin", 3000, 2);
    Put("docs/sub/more/z", 0, 3);
    fs::create_directories(deviceRoot.Path() / "docs" / "empty");
    Put("top.bin", 1500, 4);
    Put("c\xE9.bin", 10, 5);
  }
  int Gets() const {
    int n = 0;
    for (const auto& c : device->Commands()) n += c.command == 'G' ? 1 : 0;
    return n;
  }
  int Puts() const {
    int n = 0;
    for (const auto& c : device->Commands()) n += c.command == 'P' ? 1 : 0;
    return n;
  }
  std::string Dest() const { return (local.Path() / "backup").string(); }
};

class TreeCopy : public ::testing::TestWithParam<Setup> {};

// Transfers' temporary files below `root`.
std::vector<std::string> PartFilesBelow(const std::string& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.path().extension() == ".part") out.push_back(e.path().string());
  return out;
}

TEST_P(TreeCopy, GetOfAFolderReproducesTheNestedTreeByteForByte) {
  TreeRig rig(GetParam());
  rig.MakeNestedTree();
  const std::string target = (rig.local.Path() / "docs").string();
  DeviceTree tree;
  {
    TransferJob job(*rig.session, "Copying /docs");
    tree = ListDeviceTree(*rig.session, "\\docs", &job);
    MakeLocalFolder(target);
    const FetchCounts counts = FetchTreeEntries(*rig.session, tree.entries, target, {}, job);
    EXPECT_EQ(counts.fetched, 3);
  }
  EXPECT_TRUE(tree.skipped.empty());
  EXPECT_EQ(Snapshot(target), Snapshot(rig.deviceRoot.Path() / "docs", true));
  // The job's dialog closed as a success.
  EXPECT_FALSE(rig.session->GetStatusDialog().InJob());
  EXPECT_EQ(rig.session->GetStatusDialog().GetResult(), StatusDialog::Result::kOk);
}

TEST_P(TreeCopy, ASecondBackupFetchesNothingAndAThirdOnlyWhatChangedInSize) {
  TreeRig rig(GetParam());
  rig.MakeNestedTree();
  const BackupSummary first = BackupDevice(*rig.session, rig.Dest());
  EXPECT_EQ(first.files, 5);
  EXPECT_EQ(first.fetched, 5);
  EXPECT_EQ(rig.Gets(), 5);
  EXPECT_EQ(Snapshot(rig.Dest()), Snapshot(rig.deviceRoot.Path(), true));

  const Manifest m = ReadManifest(rig.Dest());
  EXPECT_TRUE(m.complete);
  EXPECT_EQ(m.kind, rig.tallis ? "tallis" : "quillon");
  // Over TCP/IP the device is not asked for its version.
  if (GetParam().link == Link::kPty) {
    EXPECT_EQ(m.version, rig.tallis ? "Tallis Xmodem server 1.4" : "Quillon Xmodem server 2.1");
  }
  EXPECT_EQ(m.taken.size(), 20u);
  std::map<Bytes, std::pair<int, int64_t>> listed;
  for (const auto& e : m.entries) listed[e.path] = {e.kind, e.size};
  EXPECT_EQ(listed.size(), 9u);  // 4 folders, 5 files
  EXPECT_EQ(listed["\\docs\\sub\\deep.bin"].second, 3000);  // the listed size, not the bytes received
  EXPECT_EQ(listed["\\docs\\empty"].first, kKindDirectory);

  const BackupSummary second = BackupDevice(*rig.session, rig.Dest());
  EXPECT_EQ(second.fetched, 0);
  EXPECT_EQ(second.kept, 5);
  EXPECT_EQ(rig.Gets(), 5);

  rig.Put("docs/sub/deep.bin", 2000, 9);
  rig.Put("docs/new.txt", 7, 10);
  const BackupSummary third = BackupDevice(*rig.session, rig.Dest());
  EXPECT_EQ(third.fetched, 2);
  EXPECT_EQ(rig.Gets(), 7);
  EXPECT_EQ(Snapshot(rig.Dest()), Snapshot(rig.deviceRoot.Path(), true));
}

TEST_P(TreeCopy, AnEntryThatCannotBeSavedHereIsLeftOutAndNamedWhenAskedAndFatalOtherwise) {
  TreeRig rig(GetParam());
  rig.Put("docs/a.txt", 700, 1);
  rig.Put("docs/b.txt", 800, 2);
  rig.Put("docs/sub/deep.bin", 3000, 3);
  rig.Put("docs/z.txt", 900, 4);
  const std::string target = (rig.local.Path() / "docs").string();
  // A folder where b.txt goes, a file where the folder sub goes.
  fs::create_directories(fs::path(target) / "b.txt");
  WriteFile(fs::path(target) / "sub", "a file in the way");
  DeviceTree tree;
  std::vector<std::string> notSaved;
  {
    TransferJob job(*rig.session, "Copying /docs");
    tree = ListDeviceTree(*rig.session, "\\docs", &job);
    const FetchCounts counts = FetchTreeEntries(*rig.session, tree.entries, target, {}, job, {}, &notSaved);
    EXPECT_EQ(counts.fetched, 2);
  }
  ASSERT_EQ(notSaved.size(), 2u);
  EXPECT_EQ(notSaved[0].rfind("/docs/b.txt: Cannot write", 0), 0u) << notSaved[0];
  EXPECT_EQ(notSaved[1].rfind("/docs/sub: Cannot make the folder", 0), 0u) << notSaved[1];
  EXPECT_NE(notSaved[1].find("(nothing in it was copied)"), std::string::npos) << notSaved[1];
  EXPECT_EQ(rig.Gets(), 2);  // a.txt and z.txt; nothing below sub was asked for
  EXPECT_EQ(ReadFile(fs::path(target) / "z.txt"), ReadFile(rig.deviceRoot.Path() / "docs" / "z.txt"));
  EXPECT_TRUE(PartFilesBelow(target).empty());

  // Without the list, the first such entry ends the copy.
  TransferJob job(*rig.session, "Copying /docs");
  try {
    FetchTreeEntries(*rig.session, tree.entries, target, {}, job);
    FAIL() << "no error";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kLocalFile);
  }
}

TEST_P(TreeCopy, NamesAtTheFileSystemsLimitAreFetched) {
  if (GetParam().kind == DeviceKind::kTallis) GTEST_SKIP() << "a Tallis name is short";
  TreeRig rig(GetParam());
  rig.Put("docs/" + std::string(255, 'L'), 2000, 1);
  rig.Put("docs/" + std::string(254, 'A') + "\x01", 10, 2);
  rig.Put("docs/" + std::string(254, 'A') + "_", 20, 3);
  const std::string target = (rig.local.Path() / "docs").string();
  std::vector<std::string> notSaved;
  {
    TransferJob job(*rig.session, "Copying /docs");
    const DeviceTree tree = ListDeviceTree(*rig.session, "\\docs", &job);
    MakeLocalFolder(target);
    EXPECT_EQ(FetchTreeEntries(*rig.session, tree.entries, target, {}, job, {}, &notSaved).fetched, 3);
  }
  EXPECT_TRUE(notSaved.empty()) << notSaved.front();
  EXPECT_EQ(ReadFile(fs::path(target) / std::string(255, 'L')),
            ReadFile(rig.deviceRoot.Path() / "docs" / std::string(255, 'L')));
  EXPECT_EQ(fs::file_size(fs::path(target) / (std::string(254, 'A') + "_")), 10u);
  EXPECT_EQ(fs::file_size(fs::path(target) / (std::string(251, 'A') + " (2)")), 20u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, TreeCopy,
                         ::testing::Values(Setup{DeviceKind::kQuillon, Link::kPty},
                                           Setup{DeviceKind::kTallis, Link::kPty},
                                           Setup{DeviceKind::kQuillon, Link::kTcp}),
                         SetupName);

// No file below `root` is a transfer's temporary file.
std::vector<std::string> PartFiles(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.path().extension() == ".part") out.push_back(e.path().string());
  return out;
}

TEST(Backup, CancelMidFileLeavesNothingPartialUnderARealNameAndTheNextRunResumes) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  for (int i = 0; i < 6; ++i) rig.Put("f" + std::to_string(i), 5000, static_cast<unsigned>(i));
  // A killed run left a temporary file behind.
  fs::create_directories(rig.Dest());
  WriteFile(fs::path(rig.Dest()) / ".f9.abcdefgh.part", "half");

  // Cancel once the fourth file has its first block.
  rig.host.cancelWhen = [](const StatusDialog& d) {
    return d.Caption().find("4 of 6") != std::string::npos && d.ProgressPosition() > 0;
  };
  try {
    BackupDevice(*rig.session, rig.Dest());
    FAIL() << "the backup was not cancelled";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kCancelled);
  }
  rig.host.cancelWhen = nullptr;
  EXPECT_EQ(rig.Gets(), 4);
  EXPECT_TRUE(PartFiles(rig.Dest()).empty());
  // Every file under a real name is whole, and the manifest names exactly those.
  const auto got = Snapshot(rig.Dest());
  EXPECT_EQ(got.size(), 3u);
  const auto all = Snapshot(rig.deviceRoot.Path(), true);
  for (const auto& [rel, digest] : got) EXPECT_EQ(digest, all.at(rel)) << rel;
  const Manifest partial = ReadManifest(rig.Dest());
  EXPECT_FALSE(partial.complete);
  EXPECT_EQ(partial.entries.size(), 3u);

  const BackupSummary resumed = BackupDevice(*rig.session, rig.Dest());
  EXPECT_EQ(resumed.fetched, 3);
  EXPECT_EQ(resumed.kept, 3);
  EXPECT_EQ(rig.Gets(), 7);
  EXPECT_EQ(Snapshot(rig.Dest()), Snapshot(rig.deviceRoot.Path(), true));
  EXPECT_TRUE(ReadManifest(rig.Dest()).complete);
}

TEST(Backup, CancelBetweenFilesStopsBeforeTheNextFile) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  for (int i = 0; i < 4; ++i) rig.Put("f" + std::to_string(i), 100, static_cast<unsigned>(i));
  // Pressed while the job moves on to its second file: no transfer runs then.
  rig.host.cancelWhen = [](const StatusDialog& d) { return d.Caption().find("2 of 4") != std::string::npos; };
  EXPECT_THROW(BackupDevice(*rig.session, rig.Dest()), DeviceError);
  EXPECT_EQ(rig.Gets(), 1);
  EXPECT_EQ(rig.session->GetStatusDialog().GetResult(), StatusDialog::Result::kCancel);
}

TEST(Backup, ASymbolicLinkInTheBackupFolderIsNotWrittenThrough) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  rig.Put("top.bin", 100, 1);
  const fs::path outside = rig.local.Path() / "outside.txt";
  WriteFile(outside, "mine");
  BackupDevice(*rig.session, rig.Dest());
  ASSERT_EQ(rig.Gets(), 1);
  // The backed-up file is replaced by a link to a file of the user's.
  fs::remove(fs::path(rig.Dest()) / "top.bin");
  fs::create_symlink(outside, fs::path(rig.Dest()) / "top.bin");
  // The entry is left out and named; the rest of the backup goes on.
  const BackupSummary summary = BackupDevice(*rig.session, rig.Dest());
  ASSERT_EQ(summary.skipped.size(), 1u);
  EXPECT_EQ(summary.skipped[0].rfind("/top.bin: Cannot write", 0), 0u) << summary.skipped[0];
  EXPECT_EQ(summary.fetched, 0);
  EXPECT_EQ(rig.Gets(), 1);
  EXPECT_EQ(ReadFile(outside), "mine");
  EXPECT_TRUE(fs::is_symlink(fs::path(rig.Dest()) / "top.bin"));
}

TEST(Backup, ARunCutShortKeepsWhatTheLastBackupRecorded) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  rig.Put("a.bin", 3000, 1);
  rig.Put("d/b.bin", 3000, 2);
  rig.Put("d/c.bin", 3000, 3);
  BackupDevice(*rig.session, rig.Dest());
  const auto before = Snapshot(rig.Dest());
  // b changes size on the device; the next run is cancelled while fetching it.
  rig.Put("d/b.bin", 5000, 4);
  rig.host.cancelWhen = [](const StatusDialog& d) { return d.ProgressPosition() > 0; };
  EXPECT_THROW(BackupDevice(*rig.session, rig.Dest()), DeviceError);
  rig.host.cancelWhen = nullptr;
  // The old files are whole and the manifest still names every one of them,
  // so the backup can still be restored.
  EXPECT_EQ(Snapshot(rig.Dest()), before);
  const Manifest m = ReadManifest(rig.Dest());
  EXPECT_FALSE(m.complete);
  int files = 0;
  for (const auto& e : m.entries) files += e.kind == kKindDirectory ? 0 : 1;
  EXPECT_EQ(files, 3);
  fs::remove(rig.deviceRoot.Path() / "a.bin");
  const RestoreSummary restored = RestoreBackup(*rig.session, rig.Dest());
  EXPECT_EQ(restored.placed, 3);
  EXPECT_EQ(ReadFile(rig.deviceRoot.Path() / "a.bin"), Pattern(3000, 1));
}

// The lines of the backup's journal, or none when there is no journal.
std::vector<std::string> JournalLines(const std::string& dest) {
  std::vector<std::string> lines;
  const fs::path path = fs::path(dest) / kJournalName;
  if (!fs::exists(path)) return lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string JournalLine(const std::string& name, int64_t size, int64_t bytes) {
  return "{\"path\": \"\\\\" + name + "\", \"kind\": \"file\", \"size\": " + std::to_string(size) + ", \"local\": \"" +
         name + "\", \"bytes\": " + std::to_string(bytes) + "}\n";
}

TEST(Backup, FilesAreRecordedInTheJournalWhileTheManifestIsLeftAloneUntilTheEnd) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  for (int i = 0; i < 5; ++i) rig.Put("f" + std::to_string(i), 100, static_cast<unsigned>(i));
  rig.Put("d/g", 100, 9);
  // What the folder holds as the job reaches its second and its last file.
  std::map<std::string, std::pair<std::string, size_t>> seen;
  rig.host.onDialogChange = [&](StatusDialog& d) {
    for (const char* at : {"2 of 6", "6 of 6"})
      if (d.Caption().find(at) != std::string::npos && seen.count(at) == 0)
        seen[at] = {ReadFile(fs::path(rig.Dest()) / kManifestName), JournalLines(rig.Dest()).size()};
  };
  const BackupSummary summary = BackupDevice(*rig.session, rig.Dest());
  rig.host.onDialogChange = nullptr;
  EXPECT_EQ(summary.fetched, 6);
  ASSERT_EQ(seen.size(), 2u);
  // Four more files were whole by the last one, and the manifest did not change.
  EXPECT_EQ(seen["2 of 6"].first, seen["6 of 6"].first);
  EXPECT_GE(seen["6 of 6"].second, seen["2 of 6"].second + 4);
  // At the end the journal is folded in and gone.
  EXPECT_FALSE(fs::exists(fs::path(rig.Dest()) / kJournalName));
  const Manifest m = ReadManifest(rig.Dest());
  EXPECT_TRUE(m.complete);
  EXPECT_EQ(m.entries.size(), 7u);
  // A second run finds everything recorded: it writes no journal line.
  rig.host.onDialogChange = [&](StatusDialog& d) {
    if (d.Caption().find("6 of 6") != std::string::npos) {
      EXPECT_TRUE(JournalLines(rig.Dest()).empty());
    }
  };
  EXPECT_EQ(BackupDevice(*rig.session, rig.Dest()).kept, 6);
  rig.host.onDialogChange = nullptr;
}

TEST(Backup, AJournalLeftByAKilledRunIsTrustedOnlyWhereItsFileIsWhole) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  for (const char* name : {"a", "b", "c", "d"}) rig.Put(name, 1000, static_cast<unsigned>(name[0]));
  BackupDevice(*rig.session, rig.Dest());
  ASSERT_EQ(rig.Gets(), 4);
  // Every file changes size on the device. A run that was killed then had
  // fetched a and b whole; it recorded a, and b only in a line cut short.
  for (const char* name : {"a", "b", "c", "d"}) rig.Put(name, 2000, static_cast<unsigned>(name[0]) + 100);
  const fs::path dest = rig.Dest();
  WriteFile(dest / "a", ReadFile(rig.deviceRoot.Path() / "a"));
  WriteFile(dest / "b", ReadFile(rig.deviceRoot.Path() / "b"));
  // A line for c, whose file is missing, and one for d, whose file is the old one.
  fs::remove(dest / "c");
  const std::string torn = JournalLine("b", 2000, 2000);
  WriteFile(dest / kJournalName, JournalLine("a", 2000, 2000) + "{\"path\": 12}\n" + "not json\n" +
                                     JournalLine("c", 2000, 2000) + JournalLine("d", 2000, 2000) +
                                     torn.substr(0, torn.size() / 2));

  // What a restore reads: a's new size; b and d as the manifest had them.
  std::map<Bytes, int64_t> sizes;
  for (const auto& e : ReadManifest(dest.string()).entries) sizes[e.path] = e.size;
  EXPECT_EQ(sizes["\\a"], 2000);
  EXPECT_EQ(sizes["\\b"], 1000);
  EXPECT_EQ(sizes["\\d"], 1000);

  const BackupSummary resumed = BackupDevice(*rig.session, dest.string());
  EXPECT_EQ(resumed.kept, 1);     // a
  EXPECT_EQ(resumed.fetched, 3);  // b, c, d
  EXPECT_EQ(rig.Gets(), 7);
  EXPECT_EQ(Snapshot(dest), Snapshot(rig.deviceRoot.Path(), true));
  EXPECT_FALSE(fs::exists(dest / kJournalName));
  const Manifest m = ReadManifest(dest.string());
  EXPECT_TRUE(m.complete);
  for (const auto& e : m.entries) EXPECT_EQ(e.size, 2000) << DevicePath::Parse(e.path).Shown();
}

TEST(Backup, ARunCutShortFoldsItsJournalIntoTheManifest) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  for (int i = 0; i < 4; ++i) rig.Put("f" + std::to_string(i), 100, static_cast<unsigned>(i));
  rig.host.cancelWhen = [](const StatusDialog& d) { return d.Caption().find("3 of 4") != std::string::npos; };
  EXPECT_THROW(BackupDevice(*rig.session, rig.Dest()), DeviceError);
  rig.host.cancelWhen = nullptr;
  // The manifest alone (as any reader of it sees it) names the two whole files.
  EXPECT_FALSE(fs::exists(fs::path(rig.Dest()) / kJournalName));
  Manifest m;
  std::string why;
  ASSERT_TRUE(ParseManifest(ReadFile(fs::path(rig.Dest()) / kManifestName), m, why)) << why;
  EXPECT_FALSE(m.complete);
  EXPECT_EQ(m.entries.size(), 2u);
}

TEST(Backup, ADeviceFileNamedLikeTheJournalIsKeptUnderAnotherName) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  rig.Put(kJournalName, 100, 1);
  rig.Put("x", 100, 2);
  BackupDevice(*rig.session, rig.Dest());
  EXPECT_EQ(ReadFile(fs::path(rig.Dest()) / "manifest (2).journal"), Pattern(100, 1));
  EXPECT_FALSE(fs::exists(fs::path(rig.Dest()) / kJournalName));
  EXPECT_EQ(BackupDevice(*rig.session, rig.Dest()).kept, 2);
}

TEST(Backup, AFolderThatHoldsOtherFilesIsRefusedAndLeftAlone) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  rig.Put("top.bin", 100, 1);
  fs::create_directories(rig.Dest());
  WriteFile(fs::path(rig.Dest()) / "top.bin", "mine");
  for (const char* manifest : {"", "{\"not\": \"ours\"}"}) {
    if (*manifest != '\0') WriteFile(fs::path(rig.Dest()) / "manifest.json", manifest);
    try {
      BackupDevice(*rig.session, rig.Dest());
      FAIL() << "a folder of other files was backed up into";
    } catch (const DeviceError& e) {
      EXPECT_EQ(e.Kind(), ErrorKind::kUsage);
      EXPECT_NE(std::string(e.what()).find("choose an empty folder"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(ReadFile(fs::path(rig.Dest()) / "top.bin"), "mine");
  EXPECT_EQ(ReadFile(fs::path(rig.Dest()) / "manifest.json"), "{\"not\": \"ours\"}");
  EXPECT_EQ(rig.Gets(), 0);
}

TEST(TallisNames, EntriesItsCommandLinesCannotCarryAreSkippedNotFatal) {
  TreeRig rig({DeviceKind::kTallis, Link::kPty});
  rig.Put("GOOD", 50, 1);
  rig.Put("X'Y", 50, 2);
  rig.Put("D'IR/INNER", 50, 3);
  const BackupSummary summary = BackupDevice(*rig.session, rig.Dest());
  EXPECT_EQ(summary.fetched, 1);
  EXPECT_EQ(summary.skipped.size(), 2u);
  EXPECT_EQ(rig.Gets(), 1);
  EXPECT_TRUE(fs::exists(fs::path(rig.Dest()) / "GOOD"));
}

TEST(TallisNames, APutOfAFolderWithANameTheTallisCannotTakeSendsNothing) {
  TreeRig rig({DeviceKind::kTallis, Link::kPty});
  fs::create_directories(rig.deviceRoot.Path() / "UP");
  const fs::path src = rig.local.Path() / "UP";
  fs::create_directories(src);
  WriteFile(src / "A", "a");
  WriteFile(src / "B C", "b");
  WriteFile(src / "Z", "z");
  const UploadPlan plan = PlanUpload({src.string()}, "\\");
  try {
    CheckUploadFolders(*rig.session, plan);
    FAIL() << "a name the Tallis cannot take was not refused";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kUsage);
    EXPECT_NE(std::string(e.what()).find("B C"), std::string::npos) << e.what();
  }
  EXPECT_EQ(rig.Puts(), 0);
}

TEST(Backup, RestorePutsADeletedFileBackAndReportsFilesWhoseFolderIsGone) {
  TreeRig rig({DeviceKind::kTallis, Link::kPty});
  rig.MakeNestedTree();
  BackupDevice(*rig.session, rig.Dest());
  const std::string deep = ReadFile(rig.deviceRoot.Path() / "docs" / "sub" / "deep.bin");
  fs::remove(rig.deviceRoot.Path() / "docs" / "sub" / "deep.bin");
  fs::remove_all(rig.deviceRoot.Path() / "docs" / "sub" / "more");

  const RestoreSummary r = RestoreBackup(*rig.session, rig.Dest(), "\\docs");
  EXPECT_EQ(r.placed, 2);  // docs/a.txt, docs/sub/deep.bin
  ASSERT_EQ(r.unplaced.size(), 1u);
  EXPECT_NE(r.unplaced[0].find("/docs/sub/more/z"), std::string::npos) << r.unplaced[0];
  EXPECT_NE(r.unplaced[0].find("the device has no folder /docs/sub/more"), std::string::npos) << r.unplaced[0];
  EXPECT_EQ(ReadFile(rig.deviceRoot.Path() / "docs" / "sub" / "deep.bin"), deep);
  // Only the files below the folder asked for went.
  EXPECT_EQ(rig.Puts(), 2);
}

TEST(Backup, RestoreRefusesABackupOfTheOtherKindBeforeSendingAnything) {
  TreeRig rig({DeviceKind::kQuillon, Link::kPty});
  fs::create_directories(rig.Dest());
  WriteFile(fs::path(rig.Dest()) / kManifestName,
            "{\"kind\": \"tallis\", \"entries\": [{\"path\": \"\\\\x\", \"kind\": \"file\", \"size\": 1, \"local\": \"x\"}]}");
  WriteFile(fs::path(rig.Dest()) / "x", "x");
  try {
    RestoreBackup(*rig.session, rig.Dest());
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kUsage);
    EXPECT_NE(std::string(e.what()).find("is of a Tallis, not of a Quillon"), std::string::npos) << e.what();
  }
  EXPECT_EQ(rig.Puts(), 0);
}

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
