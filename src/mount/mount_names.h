#pragma once
// Every step between the mount's local paths and device names is here: how
// the names of one listing become local names (the backups' safe-name rule,
// clashes numbered) and back, and which local names may become new device
// names. Device paths themselves are DevicePath's.
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "link/bytes.h"
#include "protocol/listing.h"

namespace corvane::mount {

// The local names of one folder's listing and the device names they stand for.
class FolderNames {
 public:
  FolderNames() = default;
  explicit FolderNames(const std::vector<ListingEntry>& listing);
  // The listing entry a local name stands for, or none.
  const ListingEntry* Find(const std::string& local) const;
  // Its index in the listing, or none.
  std::optional<size_t> IndexOf(const std::string& local) const;
  // The local name of entry `index` of the listing.
  const std::string& LocalName(size_t index) const { return m_locals[index]; }
  size_t Count() const { return m_locals.size(); }
  const ListingEntry& Entry(size_t index) const { return m_entries[index]; }

 private:
  std::vector<ListingEntry> m_entries;
  std::vector<std::string> m_locals;
  std::unordered_map<std::string, size_t> m_byLocal;
};

// The device name for a local name the listing does not hold (a file made in
// the mount), or none with why not in `why`: the name must fit 8-bit device
// names, be its own safe local name (so that it maps back to itself: no
// backslash, no control byte) and be a name the device can take.
std::optional<Bytes> NewDeviceName(const std::string& local, bool quillon, std::string& why);

// "/a/b" (a path as the kernel gives it) -> {"a", "b"}; the root is empty.
std::vector<std::string> SplitLocalPath(const std::string& path);

}  // namespace corvane::mount
