#pragma once
// The shell's extra file-list formats on Qt mime data: "Preferred DropEffect"
// and the name maps "FileNameMap" / "FileNameMapW", under the names Qt gives
// Windows clipboard formats. On X11 they travel as further targets and cost
// nothing; on Windows the shell reads them as its own.
#include <QStringList>

#include <cstdint>

class QMimeData;

namespace corvane {

// Adds "Preferred DropEffect" (1 copy, 2 move, 4 link) and, when there is
// exactly one mapped name per file, both name maps: "FileNameMap" in 8 bits
// (Latin-1; characters beyond it become "?"), "FileNameMapW" in UTF-16.
void AddShellFileFormats(QMimeData& mime, std::uint32_t effect, int fileCount,
                         const QStringList& mappedNames = {});

// The effect a paste or drop of this data takes: its "Preferred DropEffect",
// or copy when it has none or 0.
std::uint32_t PreferredEffectOf(const QMimeData& mime);

// The mapped names of the data ("FileNameMapW" first, else "FileNameMap"),
// empty unless there is exactly one per file.
QStringList MappedNamesOf(const QMimeData& mime, int fileCount);

}  // namespace corvane
