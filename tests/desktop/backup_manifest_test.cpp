// The backup manifest: written and read back unchanged (8-bit device names,
// escapes), and refused when damaged or when a local path would leave the
// backup folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "desktop/backup.h"
#include "desktop/tree_copy.h"

namespace corvane {
namespace {

TEST(BackupManifest, RoundTripsEveryFieldAndEightBitNames) {
  Manifest m;
  m.kind = "tallis";
  m.version = "Tallis \"Xmodem\" server\t1.4";
  m.taken = "2026-12-08T15:04:05Z";
  m.complete = true;
  m.entries = {{"\\docs", 0, 0, "docs"},
               {"\\docs\\caf\xE9 \"1\".txt", 1, 4294967295LL, "docs/caf\xC3\xA9 \"1\".txt"},
               {"\\a\\..\\x\\\x01", 3, 100, "a/x_"}};
  Manifest back;
  std::string why;
  ASSERT_TRUE(ParseManifest(ManifestJson(m), back, why)) << why << "\n" << ManifestJson(m);
  EXPECT_EQ(back.kind, m.kind);
  EXPECT_EQ(back.version, m.version);
  EXPECT_EQ(back.taken, m.taken);
  EXPECT_TRUE(back.complete);
  ASSERT_EQ(back.entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back.entries[i].path, m.entries[i].path);
    EXPECT_EQ(back.entries[i].kind, m.entries[i].kind);
    EXPECT_EQ(back.entries[i].size, m.entries[i].size);
    EXPECT_EQ(back.entries[i].local, m.entries[i].local);
  }
}

TEST(BackupManifest, DamagedTextAndEscapingLocalPathsAreRefused) {
  const auto entry = [](const std::string& local) {
    return "{\"kind\": \"quillon\", \"entries\": [{\"path\": \"\\\\x\", \"kind\": \"file\", \"size\": 1, \"local\": \"" +
           local + "\"}]}";
  };
  Manifest m;
  std::string why;
  EXPECT_TRUE(ParseManifest(entry("a/x"), m, why)) << why;
  for (const std::string& bad : std::vector<std::string>{"../x", "a/../../x", "/etc/passwd", "a//x", "a/", "", "."}) {
    EXPECT_FALSE(ParseManifest(entry(bad), m, why)) << bad;
  }
  for (const std::string& bad : std::vector<std::string>{"", "{", "[]", "{\"kind\": \"other\", \"entries\": []}",
                                "{\"kind\": \"quillon\", \"entries\": [{\"path\": \"x\"}]}",
                                "{\"kind\": \"quillon\", \"entries\": []} trailing",
                                std::string(100, '[') + std::string(100, ']')}) {
    EXPECT_FALSE(ParseManifest(bad, m, why)) << bad;
  }
}

namespace fs = std::filesystem;

class Folder {
 public:
  Folder() {
    char name[] = "/tmp/corvane-journal-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
    m_path = name;
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  const fs::path& Path() const { return m_path; }
  void Write(const std::string& rel, const std::string& bytes) const {
    fs::create_directories((m_path / rel).parent_path());
    std::ofstream(m_path / rel, std::ios::binary) << bytes;
  }

 private:
  fs::path m_path;
};

std::string Line(const std::string& path, const std::string& kind, int64_t size, const std::string& local,
                 int64_t bytes) {
  return "{\"path\": \"" + path + "\", \"kind\": \"" + kind + "\", \"size\": " + std::to_string(size) +
         ", \"local\": \"" + local + "\", \"bytes\": " + std::to_string(bytes) + "}\n";
}

TEST(BackupJournal, OnlyLinesWhoseFileIsThereWithTheirSizeAreFoldedIn) {
  Folder dest;
  dest.Write("a", "12345");
  dest.Write("d/b", "xy");
  dest.Write("old", "old bytes");
  fs::create_directories(dest.Path() / "empty");
  Folder outside;
  outside.Write("secret", "12345");
  fs::create_symlink(outside.Path() / "secret", dest.Path() / "link");
  dest.Write(kJournalName,
             Line("\\\\a", "file", 5, "a", 5) +                  // whole: in
             Line("\\\\d", "dir", 0, "d", 0) +                   // a folder that is there: in
             Line("\\\\gone", "dir", 0, "gone", 0) +             // a folder that is not: out
             Line("\\\\d\\\\b", "file", 9, "d/b", 9) +            // the file is shorter: out
             Line("\\\\x", "file", 5, "../x", 5) +                // leaves the folder: out
             Line("\\\\l", "file", 5, "link", 5) +                // a symbolic link: out
             Line("\\\\n", "file", 5, "nothere", 5) +             // missing: out
             "{\"path\": \"\\\\old\", \"kind\": \"file\", \"size\": 9, \"local\": \"old\"}\n" +  // no bytes: out
             "{\"path\": \"\\\\\\\\\", [[[\n" +                   // damaged: out
             Line("\\\\old", "file", 9, "old", 9) +              // replaces the manifest's entry
             Line("\\\\empty", "dir", 0, "empty", 0).substr(0, 30));  // cut short: out
  Manifest m;
  m.kind = "quillon";
  m.entries = {{"\\old", 1, 3, "old"}, {"\\kept", 1, 1, "kept"}};
  EXPECT_EQ(FoldJournal(dest.Path().string(), m), 3);
  ASSERT_EQ(m.entries.size(), 4u);
  EXPECT_EQ(m.entries[0].path, "\\old");
  EXPECT_EQ(m.entries[0].size, 9);
  EXPECT_EQ(m.entries[1].path, "\\kept");
  EXPECT_EQ(m.entries[2].path, "\\a");
  EXPECT_EQ(m.entries[3].path, "\\d");
  EXPECT_EQ(m.entries[3].kind, 0);
}

TEST(BackupJournal, AJournalThatIsNotAPlainFileIsNotRead) {
  Folder dest;
  dest.Write("a", "12345");
  Folder outside;
  outside.Write("j", Line("\\\\a", "file", 5, "a", 5));
  fs::create_symlink(outside.Path() / "j", dest.Path() / kJournalName);
  Manifest m;
  EXPECT_EQ(FoldJournal(dest.Path().string(), m), 0);
  EXPECT_TRUE(m.entries.empty());
  // No journal at all is no journal line.
  EXPECT_EQ(FoldJournal(outside.Path().string(), m), 0);
}

TEST(TreeNames, TwoDeviceNamesThatMakeOneLocalNameGetANumber) {
  EXPECT_EQ(UniqueLocalNames({"a/b.txt", "a_b.txt", "a\\b.txt", "..", "x"}),
            (std::vector<std::string>{"a_b.txt", "a_b (2).txt", "a_b (3).txt", "__", "x"}));
  // A name at the file system's limit makes room for its number, by whole characters.
  {
    const std::string e = "\xE9";  // Latin-1: two bytes in UTF-8
    const std::vector<std::string> names = UniqueLocalNames(
        {std::string(250, 'A') + "\x01.txt", std::string(250, 'A') + "_.txt", std::string(250, 'x') + e + "xxx",
         std::string(250, 'x') + e + "xxx\x01"});
    EXPECT_EQ(names[1], std::string(247, 'A') + " (2).txt");
    EXPECT_EQ(names[2].size(), 255u);
    EXPECT_EQ(names[3], std::string(250, 'x') + " (2)");  // the two-byte character goes whole
    for (const auto& n : names) EXPECT_LE(n.size(), 255u) << n;
    EXPECT_NE(names[2], names[3]);
  }
  // A tree entry's path is its folder's with its name, the root not doubled.
  EXPECT_EQ((TreeEntry{"\\", "x", 0, 0, ""}.Path().Canonical()), "\\x");
  EXPECT_EQ((TreeEntry{"\\a", "x", 0, 0, ""}.Path().Canonical()), "\\a\\x");
}

}  // namespace
}  // namespace corvane
