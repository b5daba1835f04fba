#pragma once
// A whole device mirrored into a local folder, and put back from it.
//
// The folder holds the device's tree (every name made a safe local name) and
// manifest.json: the device kind and version, when the backup was taken,
// whether it is complete, and one record per entry (device path, kind,
// listed size, local path). A file is fetched under a temporary name and
// renamed when whole, so nothing partial is left under a real name.
//
// While a backup runs, each entry it makes whole (or finds whole but not
// yet recorded) is appended as one line to manifest.journal beside the
// manifest, instead of the whole manifest being rewritten: the cost per file
// stays the same however large the device. The lines are written as each
// file becomes whole, so a killed run loses none of them; they reach the disk
// (fdatasync) every kJournalSyncLines lines or kJournalSyncMs, and when the
// run ends, so a power cut loses at most the last batch, whose files the
// next run checks again. The journal is folded into the manifest (rewritten
// under a temporary name, then renamed) when the run ends, fails or is
// cancelled, and when the next run starts; reading a backup folds it in too.
// A journal line is trusted only while its file is there with the size the
// line gives; a line cut short (a run killed as it wrote) is passed over.
#include <cstdint>
#include <string>
#include <vector>

#include "link/bytes.h"

namespace corvane {

class DeviceSession;

inline constexpr const char* kManifestName = "manifest.json";
inline constexpr const char* kJournalName = "manifest.journal";
inline constexpr int kJournalSyncLines = 64;
inline constexpr uint64_t kJournalSyncMs = 1000;

struct ManifestEntry {
  Bytes path;         // device path, "\\a\\b"
  int kind = 0;       // EntryKind
  int64_t size = 0;   // listed size
  std::string local;  // relative local path
};

struct Manifest {
  std::string kind;     // "quillon" or "tallis"
  std::string version;  // the device's version text (UTF-8)
  std::string taken;    // UTC, "2026-12-08T15:04:05Z"
  bool complete = false;
  std::vector<ManifestEntry> entries;
};

std::string ManifestJson(const Manifest& manifest);
// Parses manifest.json. Returns false (and a reason) for text that is not a
// manifest; a local path that would leave the folder ("..", absolute) is
// refused too.
bool ParseManifest(const std::string& json, Manifest& out, std::string& why);
// Reads DEST/manifest.json, with what DEST/manifest.journal adds to it (see
// FoldJournal); raises DeviceError(kLocalFile) when missing or bad.
Manifest ReadManifest(const std::string& dest);
// Folds the journal in `dest` (if any) into `manifest`: each whole line whose
// file is there (a plain file of the size the line gives; a folder for a
// folder's line) replaces the entry of its device path or is added after the
// others. Lines cut short, that do not read, or whose file is missing or of
// another size are passed over. Returns the number of lines folded in.
int FoldJournal(const std::string& dest, Manifest& manifest);

struct BackupSummary {
  int files = 0;       // files in the backup
  int fetched = 0;     // of which fetched this time
  int kept = 0;        // of which already whole from before
  int64_t bytes = 0;   // bytes fetched
  std::vector<std::string> skipped;  // entries that could not be reached or saved here, "/a/b: why"
};

// Mirrors the device into `dest` (made if missing; its parent must exist).
// Only files that are new or changed in size are fetched. Raises on
// failure or Cancel; what was whole by then stays, in the manifest too.
BackupSummary BackupDevice(DeviceSession& s, const std::string& dest);

struct RestoreSummary {
  int placed = 0;
  std::vector<std::string> unplaced;  // "/a/b: why", one per file not put back
};

// Puts the files of the backup in `dest` back onto the device: all of them,
// or those below `deviceFolder`. A file goes only into a device folder that
// exists; the others are reported, not placed. Raises on a failure of the
// link or a transfer (and for a backup of the other device kind).
RestoreSummary RestoreBackup(DeviceSession& s, const std::string& dest, const Bytes& deviceFolder = "\\");

}  // namespace corvane
