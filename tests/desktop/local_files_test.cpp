#include "desktop/local_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

TEST(Latin1, RoundTripsEveryByte) {
  std::string all;
  for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
  const std::string utf8 = Latin1ToUtf8(all);
  EXPECT_EQ(utf8.size(), 127u + 2u * 128u);
  std::string back;
  ASSERT_TRUE(Utf8ToLatin1(utf8, back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(Latin1ToUtf8("caf\xE9"), "caf\xC3\xA9");
}

TEST(Latin1, RefusesWideAndBrokenUtf8) {
  std::string out;
  EXPECT_FALSE(Utf8ToLatin1("\xE2\x82\xAC", out));   // euro sign, U+20AC
  EXPECT_FALSE(Utf8ToLatin1("\xC4\x80", out));       // U+0100
  EXPECT_FALSE(Utf8ToLatin1("\xC3", out));           // cut short
  EXPECT_FALSE(Utf8ToLatin1("\xC3\x41", out));       // bad continuation
  EXPECT_FALSE(Utf8ToLatin1("\xC0\x80", out));       // overlong NUL
  EXPECT_TRUE(Utf8ToLatin1("", out));
  EXPECT_EQ(out, "");
}

TEST(SafeLocalName, KeepsOrdinaryNamesAndConvertsLatin1) {
  EXPECT_EQ(SafeLocalName("REPORT.TXT"), "REPORT.TXT");
  EXPECT_EQ(SafeLocalName("a b-c.d"), "a b-c.d");
  EXPECT_EQ(SafeLocalName("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(SafeLocalName("..x"), "..x");
}

TEST(SafeLocalName, NeverLeavesTheFolder) {
  EXPECT_EQ(SafeLocalName(""), "_");
  EXPECT_EQ(SafeLocalName("."), "_");
  EXPECT_EQ(SafeLocalName(".."), "__");
  EXPECT_EQ(SafeLocalName("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(SafeLocalName("..\\..\\x"), ".._.._x");
  EXPECT_EQ(SafeLocalName(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(SafeLocalName("a\nb\x7F"), "a_b_");
  EXPECT_EQ(SafeLocalName("/"), "_");
}

TEST(SafeLocalName, FitsOneComponentWithoutSplittingACharacter) {
  const std::string name = SafeLocalName(std::string(300, '\xE9'));
  EXPECT_EQ(name.size(), 254u);  // 127 two-byte characters; a 128th would pass 255
  std::string back;
  EXPECT_TRUE(Utf8ToLatin1(name, back));
  EXPECT_EQ(SafeLocalName(std::string(400, 'a')).size(), 255u);
}

class PrivateFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvane-lf-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    m_base = tmpl;
  }
  void TearDown() override { fs::remove_all(m_base); }
  std::string m_base;
};

TEST_F(PrivateFolder, CreatesWithMode0700AndReusesIt) {
  const std::string path = PrivateFolderIn(m_base, "kit");
  EXPECT_EQ(path, m_base + "/kit");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::ofstream(path + "/kept") << "x";
  EXPECT_EQ(PrivateFolderIn(m_base, "kit"), path);
  EXPECT_TRUE(fs::exists(path + "/kept"));
}

TEST_F(PrivateFolder, TightensAnOpenFolderOfOurOwn) {
  const std::string path = m_base + "/kit";
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
  PrivateFolderIn(m_base, "kit");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(PrivateFolder, RefusesSymlinkAndPlainFile) {
  const std::string target = m_base + "/elsewhere";
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  ASSERT_EQ(::symlink(target.c_str(), (m_base + "/link").c_str()), 0);
  try {
    PrivateFolderIn(m_base, "link");
    FAIL() << "a symbolic link was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("symbolic link"), std::string::npos);
  }
  std::ofstream(m_base + "/file") << "x";
  EXPECT_THROW(PrivateFolderIn(m_base, "file"), std::runtime_error);
  EXPECT_THROW(PrivateFolderIn(m_base + "/missing/deeper", "kit"), std::runtime_error);
}

TEST_F(PrivateFolder, FollowsTmpdir) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", (m_base + "/").c_str(), 1);
  const std::string path = PrivateTempFolder();
  if (old) ::setenv("TMPDIR", saved.c_str(), 1); else ::unsetenv("TMPDIR");
  EXPECT_EQ(path, m_base + "/corvane-kit-" + std::to_string(::geteuid()));
  EXPECT_TRUE(fs::is_directory(path));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

TEST_F(PrivateFolder, CaptureStaysInAWritableCurrentFolder) {
  const fs::path old = fs::current_path();
  fs::current_path(m_base);
  const std::string path = CaptureFilePath();
  fs::current_path(old);
  EXPECT_EQ(path, "Bitmap.bmp");
}

TEST_F(PrivateFolder, CaptureGoesToThePrivateFolderWhenTheCurrentOneIsReadOnly) {
  if (::geteuid() == 0) GTEST_SKIP() << "root can write anywhere";
  const fs::path old = fs::current_path();
  const std::string ro = m_base + "/ro";
  ASSERT_EQ(::mkdir(ro.c_str(), 0700), 0);
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  ::setenv("TMPDIR", m_base.c_str(), 1);
  fs::current_path(m_base);
  const std::string writable = CaptureFilePath();
  fs::current_path(ro);
  ::chmod(ro.c_str(), 0500);
  const std::string fallback = CaptureFilePath();
  fs::current_path(old);
  ::chmod(ro.c_str(), 0700);
  if (oldTmp) ::setenv("TMPDIR", savedTmp.c_str(), 1); else ::unsetenv("TMPDIR");
  EXPECT_EQ(writable, "Bitmap.bmp");
  EXPECT_EQ(fallback, m_base + "/corvane-kit-" + std::to_string(::geteuid()) + "/Bitmap.bmp");
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

TEST_F(PrivateFolder, RefusesAFolderOfAnotherUser) {
  const std::string path = m_base + "/theirs";
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  if (::chown(path.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "cannot give a folder away here";
  try {
    PrivateFolderIn(m_base, "theirs");
    FAIL() << "a folder of another user was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("belongs to another user"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("TMPDIR"), std::string::npos);  // says what to do
  }
}

}  // namespace
}  // namespace corvane
