#pragma once
// File lists as they cross between this program and a desktop: the name maps
// of the shell clipboard formats, the preferred drop effect, uri lists and
// the file managers' copy/cut markers. Pure byte work: the GUI moves these
// blocks through the clipboard and drag and drop.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/bytes.h"

namespace corvane {

// ---------------------------------------------------------------- effects --

// Drop effects as the shell exchanges them (bit set).
inline constexpr std::uint32_t kDropEffectNone = 0;
inline constexpr std::uint32_t kDropEffectCopy = 1;
inline constexpr std::uint32_t kDropEffectMove = 2;
inline constexpr std::uint32_t kDropEffectLink = 4;
inline constexpr std::uint32_t kDropEffectScroll = 0x80000000u;

// ------------------------------------------------------------ name maps --

// "FileNameMap": 8-bit names each followed by NUL, then one more NUL.
Bytes BuildFileNameMap(const std::vector<std::string>& names);
// "FileNameMapW": UTF-8 names written as UTF-16LE, each ended by a 16-bit 0,
// then one more 16-bit 0 (2 + sum of 2 * length + 2 bytes).
Bytes BuildFileNameMapW(const std::vector<std::string>& utf8Names);
// Names up to the first empty one; bounded by the block like ReadDropFiles.
std::vector<std::string> ReadFileNameMap(std::string_view block);
std::vector<std::string> ReadFileNameMapW(std::string_view block);  // -> UTF-8

// Mapped names count only when there is exactly one per file.
inline bool MappedNamesMatch(std::size_t fileCount, std::size_t mappedCount) {
  return mappedCount == fileCount;
}

// --------------------------------------------------- Preferred DropEffect --

Bytes BuildPreferredDropEffect(std::uint32_t effect);  // 4 bytes, little-endian
// The value, or nothing when the block is shorter than 4 bytes.
std::optional<std::uint32_t> ReadPreferredDropEffect(std::string_view block);
// The effect a paste takes: the clipboard's preferred effect, or copy when
// there is none or it is 0.
std::uint32_t PasteEffect(const std::optional<std::string_view>& preferredBlock);

// ------------------------------------------- uri lists and copy markers --

// MIME types under which the file lists travel. The Windows clipboard names
// are given in the form Qt uses for them, so the same data works there.
inline constexpr const char* kMimeUriList = "text/uri-list";
inline constexpr const char* kMimeGnomeCopiedFiles = "x-special/gnome-copied-files";
inline constexpr const char* kMimeKdeCutSelection = "application/x-kde-cutselection";
inline constexpr const char* kMimePreferredDropEffect =
    "application/x-qt-windows-mime;value=\"Preferred DropEffect\"";
inline constexpr const char* kMimeFileNameMap =
    "application/x-qt-windows-mime;value=\"FileNameMap\"";
inline constexpr const char* kMimeFileNameMapW =
    "application/x-qt-windows-mime;value=\"FileNameMapW\"";

// "file://" + the absolute path, percent-encoded except unreserved bytes and "/".
std::string FileUrl(const std::string& absolutePath);
// The local path of a file URL ("file:///p", "file://localhost/p", "file:/p"),
// percent-decoded; nothing for other schemes, remote hosts, relative paths or
// a decoded NUL.
std::optional<std::string> LocalPathOfUrl(std::string_view url);

// One file URL per line, each ended by CRLF.
std::string BuildUriList(const std::vector<std::string>& absolutePaths);
// Local paths of a uri list; tolerates LF or CRLF, skips comments ("#") and
// blank lines, ignores entries that are not local files.
std::vector<std::string> ParseUriList(std::string_view text);

// "copy" or "cut", then one file URL per line (no final newline).
std::string BuildGnomeCopiedFiles(const std::vector<std::string>& absolutePaths, bool cut);
// Paths of such a marker; cut tells which operation it asked for. Nothing
// when the first line is neither "copy" nor "cut".
std::optional<std::vector<std::string>> ParseGnomeCopiedFiles(std::string_view text,
                                                               bool& cut);
// "1" for cut, "0" for copy.
std::string BuildKdeCutSelection(bool cut);
bool ReadKdeCutSelection(std::string_view data);

}  // namespace corvane
