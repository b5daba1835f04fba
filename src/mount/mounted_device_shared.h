// Helpers the mounted device's two halves (its listings and entries, and
// its open files) share.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "link/link_error.h"
#include "session/device_path.h"
#include "session/device_session.h"

namespace corvane::mount::detail {

// What a cancelled device command raises.
inline constexpr const char* kAbortedText = "Aborted by user";
[[noreturn]] inline void Cancelled() { throw DeviceError(ErrorKind::kCancelled, kAbortedText); }

// Makes `folder` the device's current folder unless it is already.
inline void EnterFolder(DeviceSession& s, const DevicePath& folder) {
  if (s.CurrentFolder() != folder.FolderForm()) s.ChangeDir(folder.Canonical());
}

inline int64_t FileSizeOf(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace corvane::mount::detail
