#include "desktop/local_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/link_error.h"

namespace corvane {

namespace {

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

constexpr std::size_t kMaxComponentBytes = 255;

// Closes a descriptor on every path.
class FdGuard {
 public:
  explicit FdGuard(int fd) : m_fd(fd) {}
  ~FdGuard() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return m_fd; }

 private:
  int m_fd;
};

[[noreturn]] void FolderError(const std::string& path, const std::string& why) {
  throw DeviceError(ErrorKind::kLocalFile, "Cannot use the temporary folder " + path + ": " + why +
                                               ". Set TMPDIR to a folder of your own and try again.");
}

}  // namespace

std::string Latin1ToUtf8(const std::string& latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (unsigned char c : latin1) AppendUtf8(out, c);
  return out;
}

bool Utf8ToLatin1(const std::string& utf8, std::string& out) {
  out.clear();
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // Only two-byte sequences can stay within 8 bits; C2/C3 lead bytes hold
    // U+0080..U+00FF. Anything else is either invalid or too wide.
    if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
      const auto d = static_cast<unsigned char>(utf8[i + 1]);
      if ((d & 0xC0) != 0x80) return false;
      out.push_back(static_cast<char>(((c & 0x1F) << 6) | (d & 0x3F)));
      i += 2;
      continue;
    }
    return false;
  }
  return true;
}

std::string SafeLocalName(const std::string& deviceName) {
  std::string out;
  out.reserve(deviceName.size());
  for (unsigned char c : deviceName) {
    std::string piece;
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') {
      piece = "_";
    } else {
      AppendUtf8(piece, c);
    }
    if (out.size() + piece.size() > kMaxComponentBytes) break;  // whole characters only
    out += piece;
  }
  if (out.empty()) return "_";
  if (out == ".") return "_";
  if (out == "..") return "__";
  return out;
}

std::string JoinLocalPath(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

std::string PrivateFolderIn(const std::string& base, const std::string& leaf) {
  const std::string path = JoinLocalPath(base, leaf);
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    FolderError(path, Detail(errno));

  struct stat link_info {};
  if (::lstat(path.c_str(), &link_info) != 0) FolderError(path, Detail(errno));
  if (S_ISLNK(link_info.st_mode)) FolderError(path, "it is a symbolic link");
  if (!S_ISDIR(link_info.st_mode)) FolderError(path, "it is not a folder");

  // Check and tighten through a descriptor, so the folder checked is the one fixed.
  FdGuard fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) FolderError(path, Detail(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) FolderError(path, Detail(errno));
  if (info.st_uid != ::geteuid()) FolderError(path, "it belongs to another user");
  if ((info.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0)
    FolderError(path, Detail(errno));
  return path;
}

std::string PrivateTempFolder() {
  std::string base = "/tmp";
  if (const char* env = std::getenv("TMPDIR"); env != nullptr && env[0] == '/') base = env;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return PrivateFolderIn(base, "corvane-kit-" + std::to_string(::geteuid()));
}

std::string CaptureFilePath(const std::string& name) {
  const bool folderWritable = ::access(".", W_OK | X_OK) == 0;
  const bool fileWritable = ::access(name.c_str(), F_OK) != 0 || ::access(name.c_str(), W_OK) == 0;
  if (folderWritable && fileWritable) return name;
  return JoinLocalPath(PrivateTempFolder(), name);
}

}  // namespace corvane
