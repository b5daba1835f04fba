// Feeds arbitrary bytes to every reader of desktop file lists: the drop-list
// block (both name widths, any offset), the name maps, the preferred effect,
// uri lists and the copy markers. Any read past the input is a sanitizer
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

  std::vector<std::string> names;
  const bool any = corvane::ReadDropFiles(block, names);
  if (any != !names.empty()) std::abort();
  for (const auto& n : names)
    if (n.empty() || n.find('\0') != std::string::npos) std::abort();

  // A list read back must survive its own round trip.
  if (any) {
    std::vector<std::string> again;
    corvane::ReadDropFiles(corvane::BuildDropFilesW(names), again);
    if (again.size() != names.size()) std::abort();
  }

  corvane::ReadFileNameMap(block);
  corvane::ReadFileNameMapW(block);
  corvane::ReadPreferredDropEffect(block);
  corvane::PasteEffect(block);

  for (const auto& path : corvane::ParseUriList(block))
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) std::abort();
  bool cut = false;
  corvane::ParseGnomeCopiedFiles(block, cut);
  corvane::ReadKdeCutSelection(block);
  return 0;
}
