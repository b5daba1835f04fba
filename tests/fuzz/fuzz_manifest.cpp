// Feeds arbitrary bytes to the backup manifest's reader (the file is the
// user's to edit, and restore trusts what it accepts). A manifest that is
// accepted must name only local paths inside the backup folder and must come
// back unchanged from its own writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "desktop/backup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  corvane::Manifest m;
  std::string why;
  if (!corvane::ParseManifest(text, m, why)) return 0;
  for (const auto& e : m.entries) {
    if (e.local.empty() || e.local.front() == '/' || e.local.find("..") == 0) std::abort();
    if (e.local.find("/../") != std::string::npos || e.path.empty() || e.path.front() != '\\') std::abort();
  }
  corvane::Manifest again;
  if (!corvane::ParseManifest(corvane::ManifestJson(m), again, why)) std::abort();
  if (again.entries.size() != m.entries.size() || again.kind != m.kind || again.version != m.version) std::abort();
  for (size_t i = 0; i < m.entries.size(); ++i)
    if (again.entries[i].path != m.entries[i].path || again.entries[i].local != m.entries[i].local ||
        again.entries[i].size != m.entries[i].size || again.entries[i].kind != m.entries[i].kind)
      std::abort();
  return 0;
}
