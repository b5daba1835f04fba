#pragma once
// Shared by the backup's files: how the manifest and the journal write one entry.
#include <string>

#include "desktop/backup.h"

namespace corvane {

// One entry as the manifest and the journal write it, without the braces.
std::string ManifestEntryFields(const ManifestEntry& e);

}  // namespace corvane
