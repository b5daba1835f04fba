#define FUSE_USE_VERSION 312
#include "mount/fuse_mount.h"

#include <fuse.h>
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "link/link_error.h"

namespace corvane::mount {
namespace {

// The device keeps no times: every entry shows when the mount began.
std::time_t g_mountTime = 0;

MountedDevice& Device() { return *static_cast<MountedDevice*>(fuse_get_context()->private_data); }

const MountedDevice::Interrupted& Interrupted() {
  // fuse_interrupted() reads the request of the calling thread.
  static const MountedDevice::Interrupted intr = [] { return fuse_interrupted() != 0; };
  return intr;
}

void FillStat(const EntryAttr& attr, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = ::getuid();
  st->st_gid = ::getgid();
  st->st_atime = st->st_mtime = st->st_ctime = g_mountTime;
  if (attr.folder) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | 0644;
    st->st_nlink = 1;
    st->st_size = attr.size;
    st->st_blocks = (attr.size + 511) / 512;
  }
  st->st_blksize = 4096;
}

void* OnInit(fuse_conn_info* conn, fuse_config* cfg) {
  // Names and sizes come from the device's listing, kept here; the kernel
  // keeps what it was told for one second more, so that `ls -l` of a large
  // folder is not a request per entry each time. A name it did not find is
  // asked again at once (a file the device gained shows with its listing).
  cfg->attr_timeout = 1.0;
  cfg->entry_timeout = 1.0;
  cfg->negative_timeout = 0;
  // A file deleted while open is deleted, not renamed to a hidden name.
  cfg->hard_remove = 1;
  cfg->use_ino = 0;
  // O_TRUNC comes with the open, not as a truncate of its own before it.
  if ((conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  return fuse_get_context()->private_data;
}

int OnGetAttr(const char* path, struct stat* st, fuse_file_info* fi) {
  EntryAttr attr;
  if (fi != nullptr) {
    int64_t size = 0;
    if (Device().SizeOfOpen(fi->fh, size) == 0) {
      FillStat(EntryAttr{false, size}, st);
      return 0;
    }
  }
  const int rc = Device().GetAttr(path, attr, Interrupted());
  if (rc == 0) FillStat(attr, st);
  return rc;
}

int OnReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
  std::vector<std::pair<std::string, EntryAttr>> entries;
  if (const int rc = Device().ReadDir(path, entries, Interrupted()); rc != 0) return rc;
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto& [name, attr] : entries) {
    struct stat st;
    FillStat(attr, &st);
    if (filler(buf, name.c_str(), &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  return 0;
}

int OnOpen(const char* path, fuse_file_info* fi) {
  const bool write = (fi->flags & O_ACCMODE) != O_RDONLY;
  uint64_t handle = 0;
  const int rc = Device().Open(path, write, (fi->flags & O_TRUNC) != 0, handle, Interrupted());
  if (rc == 0) fi->fh = handle;
  return rc;
}

int OnCreate(const char* path, mode_t, fuse_file_info* fi) {
  uint64_t handle = 0;
  const int rc = Device().Create(path, handle, Interrupted());
  if (rc == 0) fi->fh = handle;
  return rc;
}

int OnRead(const char*, char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return Device().Read(fi->fh, buf, size, offset);
}

int OnWrite(const char*, const char* buf, size_t size, off_t offset, fuse_file_info* fi) {
  return Device().Write(fi->fh, buf, size, offset);
}

int OnTruncate(const char* path, off_t size, fuse_file_info* fi) {
  if (fi != nullptr) return Device().Truncate(fi->fh, size);
  return Device().TruncatePath(path, size, Interrupted());
}

int OnFlush(const char*, fuse_file_info* fi) { return Device().Flush(fi->fh, Interrupted()); }

int OnFsync(const char*, int, fuse_file_info* fi) { return Device().Flush(fi->fh, Interrupted()); }

int OnRelease(const char*, fuse_file_info* fi) { return Device().Release(fi->fh, Interrupted()); }

int OnUnlink(const char* path) { return Device().Unlink(path, Interrupted()); }

int OnRename(const char* from, const char* to, unsigned flags) {
  return Device().Rename(from, to, flags, Interrupted());
}

int OnMkdir(const char* path, mode_t) {
  return Device().Refuse("Making the folder", path, "the device's protocol has no command that makes a folder",
                         -EPERM);
}

int OnRmdir(const char* path) {
  return Device().Refuse("Removing the folder", path, "the device's protocol has no command that removes a folder",
                         -EPERM);
}

// Refused, a change of mode fails whole copies that keep modes (rsync -a
// sets the mode of its temporary file before it writes a byte): it is taken
// and has no effect, and the log says so.
int OnChmod(const char* path, mode_t, fuse_file_info*) {
  return Device().Refuse("Changing the mode of", path, "the device keeps no modes: taken, and nothing changes", 0);
}

int OnChown(const char* path, uid_t, gid_t, fuse_file_info*) {
  return Device().Refuse("Changing the owner of", path, "the device keeps no owners", -EPERM);
}

// The same for times: touch, cp -p, mv across folders and rsync -a set them
// after they wrote the file, and would report a failure of a copy that is
// whole on the device.
int OnUtimens(const char* path, const struct timespec[2], fuse_file_info*) {
  return Device().Refuse("Setting the times of", path, "the device keeps no times: taken, and nothing changes", 0);
}

int OnSymlink(const char*, const char* path) {
  return Device().Refuse("Making the link", path, "the device has no links", -EPERM);
}

int OnLink(const char*, const char* path) {
  return Device().Refuse("Making the link", path, "the device has no links", -EPERM);
}

int OnMknod(const char* path, mode_t, dev_t) {
  return Device().Refuse("Making the special file", path, "the device holds only files and folders", -EPERM);
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = OnInit;
  ops.getattr = OnGetAttr;
  ops.readdir = OnReadDir;
  ops.open = OnOpen;
  ops.create = OnCreate;
  ops.read = OnRead;
  ops.write = OnWrite;
  ops.truncate = OnTruncate;
  ops.flush = OnFlush;
  ops.fsync = OnFsync;
  ops.release = OnRelease;
  ops.unlink = OnUnlink;
  ops.rename = OnRename;
  ops.mkdir = OnMkdir;
  ops.rmdir = OnRmdir;
  ops.chmod = OnChmod;
  ops.chown = OnChown;
  ops.utimens = OnUtimens;
  ops.symlink = OnSymlink;
  ops.link = OnLink;
  ops.mknod = OnMknod;
  return ops;
}

// Wakes the serving thread's wait, so that it sees that serving should end.
void OnWake(int) {}

void InstallWakeHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnWake;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: the wait must return
  ::sigaction(SIGUSR1, &sa, nullptr);
}

[[noreturn]] void Unusable(const std::string& message, const std::string& detail) {
  throw DeviceError(ErrorKind::kLocalFile, message, detail);
}

}  // namespace

std::string MountPointProblem(const std::string& mountPoint) {
  struct stat st {};
  if (::stat(mountPoint.c_str(), &st) != 0)
    return "Cannot mount at " + mountPoint + ": " + std::strerror(errno) + ". Make the folder first (mkdir).";
  if (!S_ISDIR(st.st_mode)) return "Cannot mount at " + mountPoint + ": it is not a folder.";
  if (::access(mountPoint.c_str(), W_OK | X_OK) != 0)
    return "Cannot mount at " + mountPoint + ": " + std::strerror(errno) + ". Choose a folder of your own.";
  std::error_code ec;
  if (!std::filesystem::is_empty(mountPoint, ec) || ec)
    return "Cannot mount at " + mountPoint + ": the folder is not empty. Choose an empty folder.";
  return "";
}

FuseMount::FuseMount(MountedDevice& device, std::string mountPoint)
    : m_device(device), m_mountPoint(std::move(mountPoint)), m_endedFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

FuseMount::~FuseMount() {
  Unmount();
  if (m_endedFd >= 0) ::close(m_endedFd);
}

void FuseMount::Start() {
  if (const std::string why = MountPointProblem(m_mountPoint); !why.empty()) Unusable(why, "");
  if (::access("/dev/fuse", R_OK | W_OK) != 0)
    Unusable("Cannot mount: /dev/fuse cannot be opened (" + std::string(std::strerror(errno)) + ").",
             "Install the fuse3 package and load the fuse module (modprobe fuse); a container needs --device "
             "/dev/fuse.");
  if (::access("/usr/bin/fusermount3", X_OK) != 0 && ::access("/bin/fusermount3", X_OK) != 0)
    Unusable("Cannot mount: fusermount3 is missing.", "Install the fuse3 package.");
  g_mountTime = std::time(nullptr);
  InstallWakeHandler();
  std::vector<std::string> words = {"corvane", "-o", "auto_unmount", "-o", "fsname=corvane", "-o", "subtype=corvane"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  static const fuse_operations ops = Operations();
  m_fuse = fuse_new(&args, &ops, sizeof ops, &m_device);
  fuse_opt_free_args(&args);
  if (m_fuse == nullptr) Unusable("Cannot mount: the file system could not be set up.", "");
  if (fuse_mount(m_fuse, m_mountPoint.c_str()) != 0) {
    fuse_destroy(m_fuse);
    m_fuse = nullptr;
    Unusable("Cannot mount at " + m_mountPoint + ".",
             "See the lines above; a mount left there by a program that ended goes with fusermount3 -u " +
                 m_mountPoint + ".");
  }
  m_mounted = true;
  m_loop = std::thread([this] {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(config, 0);
    fuse_loop_cfg_set_max_threads(config, 16);
    fuse_loop_mt(m_fuse, config);
    fuse_loop_cfg_destroy(config);
    m_ended.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_endedFd, &one, sizeof one);
  });
}

void FuseMount::Unmount() {
  if (m_fuse == nullptr) return;
  if (m_loop.joinable()) {
    // Commands waiting for the device give up, the running one is cancelled.
    m_device.Stop();
    fuse_session_exit(fuse_get_session(m_fuse));
    // The serving thread waits for its request threads in a wait that only a
    // signal breaks; it is woken until it has ended.
    while (!m_ended.load()) {
      ::pthread_kill(m_loop.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_loop.join();
  }
  if (m_mounted) fuse_unmount(m_fuse);
  m_mounted = false;
  fuse_destroy(m_fuse);
  m_fuse = nullptr;
}

}  // namespace corvane::mount
