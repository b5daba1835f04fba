#pragma once
// The copies of device files that the window fetches for Copy and drags.
//
// Each run of the program keeps them in a folder of its own below the private
// folder (PrivateTempFolder): "run-XXXXXX", mode 0700, locked (flock) for as
// long as the run lives and removed when it ends. What an earlier run left
// there (it crashed, or an older version wrote "folder-<hash>" folders
// straight into the private folder) is removed at the next start; the folder
// of a run that is still going is left alone.
//
// FetchedCopies remembers which local files this run fetched, from which
// connection and under which listing of their folder, so that a drag takes a
// file without fetching it again only when it is the device's file as of the
// listing the window shows.
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace corvane {

// Removes `name` below the folder open as `dirFd`, with everything below it.
// A symbolic link is removed itself, never followed. Returns false when
// something could not be removed (what could be removed is gone).
bool RemoveTreeAt(int dirFd, const std::string& name);

// Removes what earlier runs left in `privateFolder`: "run-*" folders that no
// live run holds locked, and "folder-" + 16 hex digit folders of older
// versions. Other entries (a screen capture, say) are left as they are.
// Returns how many entries were removed.
int ClearStaleFetchedCopies(const std::string& privateFolder);

// This run's folder for fetched copies, made below `privateFolder` and locked
// for the object's life; the destructor removes it with all it holds.
// Throws std::runtime_error with a message that says what to do when the
// folder cannot be made.
class RunFolder {
 public:
  explicit RunFolder(const std::string& privateFolder);
  ~RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;

  const std::string& Path() const { return m_path; }

 private:
  std::string m_parent;
  std::string m_name;
  std::string m_path;
  int m_fd = -1;  // the folder itself, holding the lock
};

// Which local files were fetched under which connection and listing.
class FetchedCopies {
 public:
  // Notes that `path` now holds the device file as fetched over connection
  // `connection` under listing `listing` of its folder. A path that is not a
  // regular file is not noted (and forgets an older note).
  void Record(const std::string& path, uint64_t connection, uint64_t listing);
  // True when `path` is a file noted for this connection and listing, still
  // the same file (not replaced or changed since), and `size` bytes long.
  bool Reusable(const std::string& path, uint64_t connection, uint64_t listing, int64_t size) const;
  void Forget(const std::string& path) { m_copies.erase(path); }
  // Takes over the notes of `other` (newer ones win).
  void Merge(const FetchedCopies& other);
  size_t Count() const { return m_copies.size(); }

 private:
  struct Copy {
    uint64_t connection = 0;
    uint64_t listing = 0;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t size = 0;
    int64_t mtimeNs = 0;
  };
  std::map<std::string, Copy> m_copies;
};

}  // namespace corvane
