#include "desktop/fetched_copies.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/link_error.h"

namespace corvane {

namespace {

constexpr char kRunPrefix[] = "run-";
constexpr char kOldFolderPrefix[] = "folder-";

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "folder-" and 16 hex digits: the per-device-folder copies older versions
// kept straight in the private folder, shared by every run.
bool IsOldCopyFolder(const std::string& name) {
  const size_t prefix = std::strlen(kOldFolderPrefix);
  if (!StartsWith(name, kOldFolderPrefix) || name.size() != prefix + 16) return false;
  for (size_t i = prefix; i < name.size(); ++i)
    if (std::strchr("0123456789abcdef", name[i]) == nullptr) return false;
  return true;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

std::vector<std::string> NamesIn(int dirFd) {
  std::vector<std::string> names;
  const int copy = ::dup(dirFd);  // closedir closes the descriptor it was given
  if (copy < 0) return names;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return names;
  }
  ::rewinddir(dir);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

int OpenFolder(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenFolderAt(int dirFd, const std::string& name) {
  return ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int64_t MtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

bool RemoveTreeAt(int dirFd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT;
  bool whole = true;
  {
    Fd sub(OpenFolderAt(dirFd, name));
    if (sub.get() < 0) return false;  // replaced by a link meanwhile: not followed
    for (const std::string& child : NamesIn(sub.get())) whole = RemoveTreeAt(sub.get(), child) && whole;
  }
  return (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) && whole;
}

int ClearStaleFetchedCopies(const std::string& privateFolder) {
  Fd folder(OpenFolder(privateFolder));
  if (folder.get() < 0) return 0;
  int removed = 0;
  for (const std::string& name : NamesIn(folder.get())) {
    const bool run = StartsWith(name, kRunPrefix);
    if (!run && !IsOldCopyFolder(name)) continue;
    struct stat st {};
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid != ::geteuid()) continue;  // not ours to remove
    if (run && S_ISDIR(st.st_mode)) {
      // A run that is still going holds its folder locked.
      Fd sub(OpenFolderAt(folder.get(), name));
      if (sub.get() < 0 || ::flock(sub.get(), LOCK_EX | LOCK_NB) != 0) continue;
      if (RemoveTreeAt(folder.get(), name)) ++removed;
      continue;
    }
    if (RemoveTreeAt(folder.get(), name)) ++removed;
  }
  return removed;
}

RunFolder::RunFolder(const std::string& privateFolder) : m_parent(privateFolder) {
  for (int attempt = 0; attempt < 5 && m_fd < 0; ++attempt) {
    std::string pattern = privateFolder + "/" + kRunPrefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw DeviceError(ErrorKind::kLocalFile, "Cannot make a folder for the fetched files in " + privateFolder +
                                                   ": " + Detail(errno) +
                                                   ". Set TMPDIR to a folder of your own and try again.");
    const int fd = OpenFolder(pattern);
    if (fd < 0) continue;
    struct stat st {};
    // Another run clearing stale folders may have taken it between mkdtemp
    // and the lock: a folder removed meanwhile has no links left.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 || st.st_nlink == 0) {
      ::close(fd);
      continue;
    }
    m_fd = fd;
    m_path = pattern;
    m_name = pattern.substr(privateFolder.size() + 1);
  }
  if (m_fd < 0)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot make a folder for the fetched files in " + privateFolder +
                                                 ". Set TMPDIR to a folder of your own and try again.");
}

RunFolder::~RunFolder() {
  Fd parent(OpenFolder(m_parent));
  if (parent.get() >= 0) RemoveTreeAt(parent.get(), m_name);
  ::close(m_fd);  // and with it the lock
}

void FetchedCopies::Record(const std::string& path, uint64_t connection, uint64_t listing) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    m_copies.erase(path);
    return;
  }
  m_copies[path] = Copy{connection, listing, st.st_dev, st.st_ino, static_cast<int64_t>(st.st_size), MtimeNs(st)};
}

bool FetchedCopies::Reusable(const std::string& path, uint64_t connection, uint64_t listing, int64_t size) const {
  const auto it = m_copies.find(path);
  if (it == m_copies.end()) return false;
  const Copy& c = it->second;
  if (c.connection != connection || c.listing != listing || c.size != size) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == c.device && st.st_ino == c.inode &&
         static_cast<int64_t>(st.st_size) == c.size && MtimeNs(st) == c.mtimeNs;
}

void FetchedCopies::Merge(const FetchedCopies& other) {
  for (const auto& [path, copy] : other.m_copies) m_copies[path] = copy;
}

}  // namespace corvane
