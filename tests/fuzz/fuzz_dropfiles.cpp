// Feeds arbitrary bytes to every reader of desktop file lists: the name maps
// (both name widths), the preferred effect, uri lists and the copy markers. Any read past the input is a sanitizer
// report; the checks below catch names that could not have come from it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/file_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view block(reinterpret_cast<const char*>(data), size);

  // A name read from a map is never empty and holds no NUL, and survives its
  // own round trip.
  for (const auto& names : {corvane::ReadFileNameMap(block), corvane::ReadFileNameMapW(block)})
    for (const auto& n : names)
      if (n.empty() || n.find('\0') != std::string::npos) std::abort();
  const auto wide = corvane::ReadFileNameMapW(block);
  if (corvane::ReadFileNameMapW(corvane::BuildFileNameMapW(wide)).size() != wide.size()) std::abort();

  corvane::ReadPreferredDropEffect(block);
  corvane::PasteEffect(block);

  for (const auto& path : corvane::ParseUriList(block))
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) std::abort();
  bool cut = false;
  corvane::ParseGnomeCopiedFiles(block, cut);
  corvane::ReadKdeCutSelection(block);
  return 0;
}
