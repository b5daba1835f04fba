#include "desktop/fetched_copies.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

class FetchedCopiesFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/corvane-fc-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    m_base = tmpl;
    m_private = m_base / "private";
    m_outside = m_base / "outside";
    fs::create_directories(m_private);
    Write(m_outside / "precious.txt", "keep me");
  }
  void TearDown() override { fs::remove_all(m_base); }
  fs::path m_base, m_private, m_outside;
};

// What earlier runs left goes at start; a run still going, the user's other
// files and anything a symbolic link points at stay.
TEST_F(FetchedCopiesFolder, ClearsWhatEarlierRunsLeftAndNothingElse) {
  Write(m_private / "folder-0123456789abcdef" / "old.bin", "old copy");
  Write(m_private / "run-dead01" / "folder-x" / "a.bin", "left by a crash");
  fs::create_symlink(m_outside, m_private / "run-dead01" / "folder-x" / "link");
  fs::create_symlink(m_outside, m_private / "run-link01");
  fs::create_symlink(m_outside, m_private / "folder-fedcba9876543210");
  Write(m_private / "Bitmap.bmp", "a capture");
  Write(m_private / "folder-notours", "not a name we give");

  RunFolder live(m_private.string());
  Write(fs::path(live.Path()) / "folder-y" / "b.bin", "in use");

  EXPECT_EQ(ClearStaleFetchedCopies(m_private.string()), 4);
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_private / "folder-0123456789abcdef")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_private / "run-dead01")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_private / "run-link01")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_private / "folder-fedcba9876543210")));
  EXPECT_TRUE(fs::exists(fs::path(live.Path()) / "folder-y" / "b.bin"));
  EXPECT_TRUE(fs::exists(m_private / "Bitmap.bmp"));
  EXPECT_TRUE(fs::exists(m_private / "folder-notours"));
  EXPECT_TRUE(fs::exists(m_outside / "precious.txt"));
  EXPECT_TRUE(fs::is_directory(m_outside));
}

TEST_F(FetchedCopiesFolder, ARunFolderIsPrivateAndGoesWithItsRun) {
  std::string path;
  {
    RunFolder run(m_private.string());
    path = run.Path();
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(fs::path(path).parent_path(), m_private);
    RunFolder other(m_private.string());
    EXPECT_NE(other.Path(), path);
    Write(fs::path(path) / "folder-z" / "deep" / "c.bin", "fetched");
    fs::create_symlink(m_outside, fs::path(path) / "folder-z" / "out");
    fs::create_symlink(m_outside / "precious.txt", fs::path(path) / "file-link");
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(m_outside / "precious.txt")),
                        std::istreambuf_iterator<char>()),
            "keep me");
}

TEST_F(FetchedCopiesFolder, ARunFolderThatCannotBeMadeSaysWhatToDo) {
  try {
    RunFolder run((m_base / "missing").string());
    FAIL() << "made a folder in a folder that does not exist";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("TMPDIR"), std::string::npos) << e.what();
  }
}

// A copy is reused only for the connection and listing it was fetched
// under, and only while it is the very file that was fetched.
TEST_F(FetchedCopiesFolder, ACopyIsReusableOnlyUnderItsConnectionAndListing) {
  const fs::path file = m_base / "copy.bin";
  Write(file, "0123456789");
  FetchedCopies copies;
  EXPECT_FALSE(copies.Reusable(file.string(), 1, 1, 10));  // never fetched: a stale file
  copies.Record(file.string(), 1, 7);
  EXPECT_TRUE(copies.Reusable(file.string(), 1, 7, 10));
  EXPECT_FALSE(copies.Reusable(file.string(), 1, 8, 10));  // a newer listing
  EXPECT_FALSE(copies.Reusable(file.string(), 2, 7, 10));  // another connection
  EXPECT_FALSE(copies.Reusable(file.string(), 1, 7, 11));  // another size listed

  // Replaced by another file of the same size: not the file that was fetched.
  Write(m_base / "other.bin", "abcdefghij");
  fs::rename(m_base / "other.bin", file);
  EXPECT_FALSE(copies.Reusable(file.string(), 1, 7, 10));
  copies.Record(file.string(), 1, 7);
  EXPECT_TRUE(copies.Reusable(file.string(), 1, 7, 10));

  // Written over in place, same size, later time.
  {
    std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
    out << "X";
  }
  struct timespec later[2] = {{0, UTIME_OMIT}, {0, 0}};
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  later[1].tv_sec = st.st_mtim.tv_sec + 5;
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), later, 0), 0);
  EXPECT_FALSE(copies.Reusable(file.string(), 1, 7, 10));

  // Gone, or a link in its place.
  copies.Record(file.string(), 1, 7);
  fs::remove(file);
  EXPECT_FALSE(copies.Reusable(file.string(), 1, 7, 10));
  fs::create_symlink(m_outside / "precious.txt", file);
  copies.Record(file.string(), 1, 7);
  EXPECT_EQ(copies.Count(), 0u);

  FetchedCopies fresh;
  Write(m_base / "n.bin", "n");
  fresh.Record((m_base / "n.bin").string(), 3, 4);
  copies.Merge(fresh);
  EXPECT_TRUE(copies.Reusable((m_base / "n.bin").string(), 3, 4, 1));
}

}  // namespace
}  // namespace corvane
