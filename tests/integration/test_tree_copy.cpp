// Whole folders and whole devices against the emulated device: a folder
// tree fetched byte for byte, a backup that fetches only what changed and
// resumes after a Cancel with nothing partial under a real name, a device
// that lists hostile names, restore, and a local folder put only where the
// device has its folders.
#include "tree_copy_rig.h"

namespace corvane::test {
namespace {

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

}  // namespace
}  // namespace corvane::test
