#include "protocol/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <random>
#include <vector>

namespace corvane {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string RandomSuffix() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 gen{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kChars - 2);
  std::string s(8, 'x');
  for (char& c : s) c = kChars[pick(gen)];
  return s;
}

// The temporary files open now, so that a program that ends without
// unwinding can still remove them (RemoveTemporaryFilesForExit). Once it has,
// no temporary file is made or moved over its target any more.
std::mutex g_tempMutex;
std::vector<std::string> g_tempPaths;
bool g_exiting = false;

void Forget(const std::string& path) {
  for (auto it = g_tempPaths.begin(); it != g_tempPaths.end(); ++it)
    if (*it == path) {
      g_tempPaths.erase(it);
      return;
    }
}

}  // namespace

void RemoveTemporaryFilesForExit() {
  std::lock_guard lock(g_tempMutex);
  g_exiting = true;
  for (const std::string& path : g_tempPaths) ::unlink(path.c_str());
  g_tempPaths.clear();
}

std::string LocalFileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- InputFile ----

int InputFile::Open(const std::string& path) {
  Close();
  // Opened without waiting: a pipe with nobody at its other end would hold
  // the open for ever. Only a regular file has a length to send.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  m_fd = fd;
  m_size = static_cast<int64_t>(st.st_size);
  return 0;
}

size_t InputFile::Read(void* buf, size_t n, int& error) {
  error = 0;
  if (m_fd < 0) {
    error = EBADF;
    return 0;
  }
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(m_fd, static_cast<char*>(buf) + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

void InputFile::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

// ---- ReplacingFile ----

int ReplacingFile::Open(const std::string& target) {
  Discard();
  m_target = target;
  struct stat st {};
  bool exists = ::lstat(target.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    // Replace the file the link names, as writing through the link would.
    if (char* real = ::realpath(target.c_str(), nullptr)) {
      m_target = real;
      std::free(real);
    }
    exists = ::stat(m_target.c_str(), &st) == 0;
  }
  if (exists && S_ISDIR(st.st_mode)) return EISDIR;
  // A file the user may not write is not replaced behind their back.
  if (exists && ::access(m_target.c_str(), W_OK) != 0) return errno;

  // The final name must fit the folder's file system before any byte is
  // fetched: a rename onto it that fails would lose the whole transfer.
  const std::string folder = FolderOf(m_target);
  long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = NAME_MAX;
  if (LocalFileName(m_target).size() > static_cast<size_t>(nameMax)) return ENAMETOOLONG;

  // The temporary name has a fixed length, whatever the target's name: a
  // name near the file system's limit leaves no room for more around it.
  const std::string base = folder + "/" + kTempPrefix;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = base + RandomSuffix() + kTempSuffix;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    {
      std::lock_guard lock(g_tempMutex);
      if (g_exiting) {
        ::close(fd);
        ::unlink(temp.c_str());
        return ECANCELED;
      }
      g_tempPaths.push_back(temp);
    }
    // A replaced file keeps its permissions.
    if (exists && S_ISREG(st.st_mode)) (void)::fchmod(fd, st.st_mode & 07777);
    m_fd = fd;
    m_tempPath = std::move(temp);
    return 0;
  }
  return EEXIST;
}

int ReplacingFile::Write(const void* data, size_t n) {
  if (m_fd < 0) return EBADF;
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(m_fd, static_cast<const char*>(data) + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return ENOSPC;
    done += static_cast<size_t>(w);
  }
  return 0;
}

int ReplacingFile::Commit() {
  if (m_fd < 0) return EBADF;
  int err = 0;
  if (::fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS) err = errno;
  if (::close(m_fd) != 0 && err == 0) err = errno;
  m_fd = -1;
  {
    // A program that is ending has removed the temporary file already.
    std::lock_guard lock(g_tempMutex);
    if (err == 0 && g_exiting) err = ECANCELED;
    if (err == 0 && ::rename(m_tempPath.c_str(), m_target.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(m_tempPath.c_str());
    Forget(m_tempPath);
  }
  m_tempPath.clear();
  return err;
}

void ReplacingFile::Discard() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (!m_tempPath.empty()) {
    std::lock_guard lock(g_tempMutex);
    ::unlink(m_tempPath.c_str());
    Forget(m_tempPath);
  }
  m_tempPath.clear();
}

}  // namespace corvane
