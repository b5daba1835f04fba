#include "gui/file_list_mime.h"

#include <QMimeData>

#include <string>
#include <string_view>
#include <vector>

#include "desktop/file_lists.h"
#include "desktop/local_files.h"

namespace corvane {

namespace {

QString Mime(const char* name) { return QString::fromLatin1(name); }

std::string_view View(const QByteArray& data) {
  return std::string_view(data.constData(), static_cast<size_t>(data.size()));
}

}  // namespace

void AddShellFileFormats(QMimeData& mime, std::uint32_t effect, int fileCount,
                         const QStringList& mappedNames) {
  mime.setData(Mime(kMimePreferredDropEffect), QByteArray::fromStdString(BuildPreferredDropEffect(effect)));
  if (fileCount <= 0 || !MappedNamesMatch(static_cast<size_t>(fileCount), static_cast<size_t>(mappedNames.size())))
    return;
  std::vector<std::string> narrow, wide;
  for (const QString& name : mappedNames) {
    if (name.isEmpty() || name.contains(QChar(0))) return;  // would end the list early
    narrow.push_back(name.toLatin1().toStdString());
    wide.push_back(name.toUtf8().toStdString());
  }
  mime.setData(Mime(kMimeFileNameMap), QByteArray::fromStdString(BuildFileNameMap(narrow)));
  mime.setData(Mime(kMimeFileNameMapW), QByteArray::fromStdString(BuildFileNameMapW(wide)));
}

std::uint32_t PreferredEffectOf(const QMimeData& mime) {
  if (!mime.hasFormat(Mime(kMimePreferredDropEffect))) return PasteEffect(std::nullopt);
  const QByteArray raw = mime.data(Mime(kMimePreferredDropEffect));
  return PasteEffect(View(raw));
}

QStringList MappedNamesOf(const QMimeData& mime, int fileCount) {
  QStringList names;
  if (mime.hasFormat(Mime(kMimeFileNameMapW))) {
    const QByteArray raw = mime.data(Mime(kMimeFileNameMapW));
    for (const auto& n : ReadFileNameMapW(View(raw))) names << QString::fromStdString(n);
  } else if (mime.hasFormat(Mime(kMimeFileNameMap))) {
    const QByteArray raw = mime.data(Mime(kMimeFileNameMap));
    for (const auto& n : ReadFileNameMap(View(raw))) names << QString::fromStdString(Latin1ToUtf8(n));
  }
  if (names.size() != fileCount) names.clear();
  return names;
}

}  // namespace corvane
