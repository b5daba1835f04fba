#include "desktop/tree_copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "desktop/local_files.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "session/device_session.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// The longest file name (in bytes) of the usual Linux file systems.
constexpr size_t kMaxLocalNameBytes = 255;

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Why a folder of this name cannot be entered by path, or "" when it can.
std::string UnreachableReason(const DeviceSession& s, const Bytes& name) {
  if (name.empty() || name == "." || name == "..") return "an entry cannot have this name";
  if (name.find('\\') != Bytes::npos) return "a backslash in a name cannot be written in a path";
  // The names the device's commands cannot carry (a Tallis name with a
  // quote, blank or control character; a NUL byte).
  if (!RefusedNameMessage(name, s.IsQuillon).empty())
    return s.IsQuillon ? "a NUL byte in a name cannot be sent to the device"
                       : "the Tallis's command lines cannot carry this name (a quote, blank or control character, or "
                         "longer than " + std::to_string(kMaxTallisNameLength) + " characters)";
  return "";
}

void ListInto(DeviceSession& s, const Bytes& folder, const std::string& localPrefix, int depth, TransferJob* job,
              const std::set<std::string>& reserved, DeviceTree& tree) {
  if (job != nullptr) {
    job->CheckCancel();
    job->Progress("listing " + DevicePath::Parse(folder).Shown());
  }
  const std::vector<ListingEntry> listing = s.ListFolder(folder);
  std::vector<Bytes> names;
  names.reserve(listing.size());
  for (const auto& e : listing) names.push_back(e.name);
  const std::vector<std::string> locals = UniqueLocalNames(names, reserved);
  std::vector<size_t> subfolders;
  for (size_t i = 0; i < listing.size(); ++i) {
    const ListingEntry& e = listing[i];
    TreeEntry entry{folder, e.name, e.kind, e.size, localPrefix + locals[i]};
    // A file or folder no command can name is reported, not fetched: one
    // such entry must not stop the whole copy.
    std::string why = UnreachableReason(s, e.name);
    if (why.empty() && entry.IsFolder() && depth + 1 > kMaxTreeDepth)
      why = "more than " + std::to_string(kMaxTreeDepth) + " folders deep";
    if (!why.empty()) {
      tree.skipped.push_back(entry.Path().Shown() + ": " + why);
      continue;
    }
    if (entry.IsFolder()) subfolders.push_back(tree.entries.size());
    tree.entries.push_back(std::move(entry));
  }
  for (size_t index : subfolders) {
    const TreeEntry sub = tree.entries[index];  // copied: the vector grows below
    ListInto(s, sub.Path().Canonical(), sub.local + "/", depth + 1, job, {}, tree);
  }
}

[[noreturn]] void LocalError(const std::string& message, const std::string& detail = "") {
  throw DeviceError(ErrorKind::kLocalFile, message, detail);
}

}  // namespace

std::vector<std::string> UniqueLocalNames(const std::vector<Bytes>& names, const std::set<std::string>& reserved) {
  std::vector<std::string> out;
  std::set<std::string> used = reserved;
  for (const Bytes& name : names) {
    const std::string safe = SafeLocalName(name);
    std::string local = safe;
    for (int n = 2; used.count(local) != 0; ++n) {
      const size_t dot = safe.rfind('.');
      const std::string number = " (" + std::to_string(n) + ")";
      std::string stem = dot != std::string::npos && dot > 0 ? safe.substr(0, dot) : safe;
      std::string extension = dot != std::string::npos && dot > 0 ? safe.substr(dot) : std::string();
      // A name at the file system's limit makes room for its number: the
      // stem is shortened, by whole characters.
      if (extension.size() + number.size() >= kMaxLocalNameBytes) extension.clear();
      while (!stem.empty() && stem.size() + number.size() + extension.size() > kMaxLocalNameBytes) {
        // The last character: its continuation bytes, then its first byte.
        while (!stem.empty() && (static_cast<unsigned char>(stem.back()) & 0xC0) == 0x80) stem.pop_back();
        if (!stem.empty()) stem.pop_back();
      }
      local = stem + number + extension;
    }
    used.insert(local);
    out.push_back(local);
  }
  return out;
}

// ---- TransferJob ----

TransferJob::TransferJob(DeviceSession& s, const std::string& caption) : m_s(s) {
  s.GetStatusDialog().BeginJob(caption);
}

TransferJob::~TransferJob() { m_s.GetStatusDialog().EndJob(); }

void TransferJob::Progress(const std::string& text) { m_s.GetStatusDialog().SetJobProgress(text); }

void TransferJob::CheckCancel() const {
  if (m_s.CancelFlag().load()) throw DeviceError(ErrorKind::kCancelled, "Aborted by user");
}

// ---- fetching ----

DeviceTree ListDeviceTree(DeviceSession& s, const Bytes& folder, TransferJob* job,
                          const std::set<std::string>& reservedTop) {
  DeviceTree tree;
  ListInto(s, DevicePath::Parse(folder).Canonical(), "", 0, job, reservedTop, tree);
  return tree;
}

bool LocalFileIsWhole(const DeviceSession& s, const std::string& path, int64_t size) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == s.FetchedSize(size);
}

void RemoveLocalExtras(const std::string& localRoot, const std::vector<TreeEntry>& entries) {
  std::set<fs::path> keep;
  for (const TreeEntry& e : entries) keep.insert(fs::path(JoinLocalPath(localRoot, e.local)));
  std::vector<fs::path> extra;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(localRoot, ec), end; !ec && it != end; it.increment(ec)) {
    if (keep.count(it->path()) != 0) continue;
    extra.push_back(it->path());
    it.disable_recursion_pending();  // removed whole below
  }
  for (const fs::path& p : extra) fs::remove_all(p, ec);
}

void MakeLocalFolder(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return;
    LocalError("Cannot make the folder " + path + ": something else of that name is in the way.",
               "Move it away and try again.");
  }
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
    LocalError("Cannot make the folder " + path + ": " + std::strerror(errno) + ".");
}

FetchCounts FetchTreeEntries(DeviceSession& s, const std::vector<TreeEntry>& entries, const std::string& localRoot,
                             const KeepLocal& keep, TransferJob& job,
                             const std::function<void(const TreeEntry&, bool fetched)>& onEntry,
                             std::vector<std::string>* notSaved) {
  size_t total = 0;
  for (const auto& e : entries) total += e.IsFolder() ? 0 : 1;
  FetchCounts counts;
  Bytes current;  // the device's current folder, once this loop has set it
  size_t done = 0;
  std::vector<std::string> leftOut;  // local prefixes ("a/b/") of folders that could not be made
  // Runs one entry's local work; a local-file failure leaves the entry out
  // when the caller asked for that. False when it was left out.
  const auto saved = [&](const TreeEntry& e, const std::function<void()>& work) {
    if (notSaved == nullptr) {
      work();
      return true;
    }
    try {
      work();
      return true;
    } catch (const DeviceError& err) {
      if (err.Kind() != ErrorKind::kLocalFile) throw;
      notSaved->push_back(e.Path().Shown() + ": " + err.what() +
                          (e.IsFolder() ? " (nothing in it was copied)" : ""));
      return false;
    }
  };
  for (const TreeEntry& e : entries) {
    job.CheckCancel();
    if (std::any_of(leftOut.begin(), leftOut.end(),
                    [&](const std::string& prefix) { return e.local.compare(0, prefix.size(), prefix) == 0; }))
      continue;
    const std::string target = JoinLocalPath(localRoot, e.local);
    if (e.IsFolder()) {
      if (!saved(e, [&] { MakeLocalFolder(target); })) {
        leftOut.push_back(e.local + "/");
        continue;
      }
      if (onEntry) onEntry(e, false);
      continue;
    }
    ++done;
    job.Progress(std::to_string(done) + " of " + Plural(total, "file", "files") + ": " + e.Path().Shown());
    if (keep && keep(e, target)) {
      ++counts.kept;
      if (onEntry) onEntry(e, false);
      continue;
    }
    const bool whole = saved(e, [&] {
      struct stat st {};
      if (::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        LocalError("Cannot write " + target + ": it is not a plain file (a folder or a symbolic link is in the way).",
                   "Move it away and try again.");
      job.CheckCancel();  // a Cancel pressed as the job moved on: nothing more is asked for
      if (current != e.folder) {
        s.ChangeDir(e.folder);
        current = e.folder;
      }
      s.GetFile(e.name, target, e.size);
    });
    if (!whole) continue;
    ++counts.fetched;
    counts.bytes += s.FetchedSize(e.size);
    if (onEntry) onEntry(e, true);
  }
  return counts;
}

// ---- putting ----

namespace {

struct PlanBuilder {
  UploadPlan plan;
  std::vector<std::string> problems;

  bool DeviceName(const std::string& local, const std::string& utf8, Bytes& name) {
    if (!Utf8ToLatin1(utf8, name)) {
      problems.push_back("\"" + local + "\": the name holds characters outside Latin-1");
      return false;
    }
    if (name.find('\\') != Bytes::npos) {
      problems.push_back("\"" + local + "\": a device name cannot hold a backslash");
      return false;
    }
    return true;
  }

  void AddFile(const std::string& local, const Bytes& folder) {
    Bytes name;
    if (!DeviceName(local, fs::path(local).filename().string(), name)) return;
    if (::access(local.c_str(), R_OK) != 0) {
      problems.push_back("\"" + local + "\": " + std::strerror(errno));
      return;
    }
    plan.files.push_back({folder, name, local});
  }

  void AddFolder(const std::string& local, const Bytes& folder) {
    Bytes name;
    if (!DeviceName(local, fs::path(local).filename().string(), name)) return;
    const Bytes deviceFolder = DevicePath::Parse(folder).Join(name).Canonical();
    plan.folders.push_back(deviceFolder);
    std::error_code ec;
    std::vector<fs::path> children;
    for (fs::directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec)) children.push_back(it->path());
    if (ec) {
      problems.push_back("\"" + local + "\": " + ec.message());
      return;
    }
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) Add(child.string(), deviceFolder);
  }

  void Add(const std::string& local, const Bytes& folder) {
    struct stat link {};
    struct stat st {};
    if (::lstat(local.c_str(), &link) != 0 || ::stat(local.c_str(), &st) != 0) {
      problems.push_back("\"" + local + "\": " + std::strerror(errno));
      return;
    }
    if (S_ISREG(st.st_mode)) {
      AddFile(local, folder);
    } else if (S_ISDIR(st.st_mode) && S_ISLNK(link.st_mode)) {
      problems.push_back("\"" + local + "\": a symbolic link to a folder is not followed");
    } else if (S_ISDIR(st.st_mode)) {
      AddFolder(local, folder);
    } else {
      problems.push_back("\"" + local + "\": neither a file nor a folder");
    }
  }
};

std::string JoinLines(const std::vector<std::string>& lines, size_t most, const char* separator = "\n") {
  std::string out;
  for (size_t i = 0; i < lines.size() && i < most; ++i) out += (i ? separator : "") + lines[i];
  if (lines.size() > most) out += std::string(separator) + "and " + std::to_string(lines.size() - most) + " more";
  return out;
}

}  // namespace

UploadPlan PlanUpload(const std::vector<std::string>& localPaths, const Bytes& deviceFolder) {
  PlanBuilder b;
  const Bytes folder = DevicePath::Parse(deviceFolder).Canonical();
  b.plan.folders.push_back(folder);
  for (const std::string& local : localPaths) {
    std::string path = local;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    b.Add(path, folder);
  }
  if (!b.problems.empty())
    LocalError("Nothing was copied: " + JoinLines(b.problems, 10, "; ") + ".");
  return b.plan;
}

bool DeviceFolders::Exists(const Bytes& path) {
  const DevicePath devicePath = DevicePath::Parse(path);
  const Bytes& folder = devicePath.Canonical();
  if (devicePath.IsRoot()) return true;
  if (const auto it = m_known.find(folder); it != m_known.end()) return it->second;
  const DevicePath parentPath = devicePath.Parent();
  const Bytes& parent = parentPath.Canonical();
  const Bytes name = devicePath.Name();
  bool found = false;
  if (UnreachableReason(m_s, name).empty() && Exists(parent)) {
    // Every sibling is learnt from the one listing.
    for (const ListingEntry& e : m_s.ListFolder(parent))
      if (e.kind == kKindDirectory) m_known.emplace(DevicePath::Parse(parent).Join(e.name).Canonical(), true);
    found = m_known.count(folder) != 0;
  }
  m_known[folder] = found;
  return found;
}

void CheckUploadFolders(DeviceSession& s, const UploadPlan& plan) {
  // Every name first: a refusal met half-way would leave the tree half-copied.
  std::string first;
  std::vector<std::string> others;
  for (const UploadItem& item : plan.files) {
    std::string why = RefusedNameMessage(item.name, s.IsQuillon);
    if (why.empty()) continue;
    if (first.empty()) first = std::move(why);
    else others.push_back(DevicePath::Parse(item.folder).Join(item.name).Shown());
  }
  if (!first.empty())
    throw DeviceError(ErrorKind::kUsage,
                      others.empty() ? first
                                     : first + ". The device cannot take these names either: " +
                                           JoinLines(others, 10, ", "));
  DeviceFolders folders(s);
  std::vector<std::string> missing;
  for (const Bytes& f : plan.folders)
    if (!folders.Exists(f)) missing.push_back(DevicePath::Parse(f).Shown());
  if (missing.empty()) return;
  throw DeviceError(ErrorKind::kFailed,
                    "Nothing was copied: the device has no folder " + JoinLines(missing, 10, ", ") +
                        ". The device cannot make folders: make them on the device, then copy again.");
}

void RunUpload(DeviceSession& s, const UploadPlan& plan, TransferJob& job) {
  // The files of each folder go together, folders in the order the plan
  // first names them, so that each folder's files are confirmed by one
  // listing after its last file.
  std::vector<const UploadItem*> order;
  order.reserve(plan.files.size());
  {
    std::map<Bytes, std::vector<const UploadItem*>> byFolder;
    std::vector<Bytes> folders;
    for (const UploadItem& item : plan.files) {
      auto& items = byFolder[item.folder];
      if (items.empty()) folders.push_back(item.folder);
      items.push_back(&item);
    }
    for (const Bytes& folder : folders) order.insert(order.end(), byFolder[folder].begin(), byFolder[folder].end());
  }
  PutBatch batch(s);
  Bytes current;
  size_t done = 0;
  for (const UploadItem* item : order) {
    job.CheckCancel();
    job.Progress(std::to_string(++done) + " of " + Plural(order.size(), "file", "files") + ": " +
                 DevicePath::Parse(item->folder).Join(item->name).Shown());
    job.CheckCancel();
    if (current != item->folder) {
      if (batch.Unconfirmed() > 0) {
        job.Progress("checking " + DevicePath::Parse(current).Shown());
        batch.Confirm();
      }
      s.ChangeDir(item->folder);
      current = item->folder;
    }
    batch.Put(item->name, item->local);
  }
  if (batch.Unconfirmed() > 0) {
    job.Progress("checking " + DevicePath::Parse(current).Shown());
    batch.Confirm();
  }
}

}  // namespace corvane
