#include "mount/mount_names.h"

#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "session/device_session.h"

namespace corvane::mount {

FolderNames::FolderNames(const std::vector<ListingEntry>& listing) : m_entries(listing) {
  std::vector<Bytes> names;
  names.reserve(listing.size());
  for (const auto& e : listing) names.push_back(e.name);
  m_locals = UniqueLocalNames(names);
  for (size_t i = 0; i < m_locals.size(); ++i) m_byLocal.emplace(m_locals[i], i);
}

const ListingEntry* FolderNames::Find(const std::string& local) const {
  const auto it = m_byLocal.find(local);
  return it == m_byLocal.end() ? nullptr : &m_entries[it->second];
}

std::optional<size_t> FolderNames::IndexOf(const std::string& local) const {
  const auto it = m_byLocal.find(local);
  if (it == m_byLocal.end()) return std::nullopt;
  return it->second;
}

std::optional<Bytes> NewDeviceName(const std::string& local, bool quillon, std::string& why) {
  std::string latin1;
  if (!Utf8ToLatin1(local, latin1)) {
    why = "the name holds a character the device's 8-bit names cannot carry";
    return std::nullopt;
  }
  if (SafeLocalName(latin1) != local) {
    why = "the name holds a backslash or a control character, which would not read back as the same name";
    return std::nullopt;
  }
  if (const std::string refused = RefusedNameMessage(latin1, quillon); !refused.empty()) {
    why = refused;
    return std::nullopt;
  }
  return latin1;
}

std::vector<std::string> SplitLocalPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace corvane::mount
