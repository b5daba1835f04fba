#include "gui/version_label.h"

#include <QStringList>

namespace corvane {

QString VersionTextFrom(const QString& version) {
  const QStringList parts = version.split(QLatin1Char('.'));
  if (parts.size() != 3 && parts.size() != 4) return QStringLiteral("-.-.-.-");
  int numbers[4] = {0, 0, 0, 0};
  for (int i = 0; i < parts.size(); ++i) {
    bool ok = false;
    numbers[i] = parts[i].toInt(&ok);
    if (!ok || numbers[i] < 0 || numbers[i] > 0xFFFF) return QStringLiteral("-.-.-.-");
  }
  const int build = parts.size() == 4 ? numbers[3] : numbers[2];
  return QStringLiteral("Version %1 SubVer. %2 Build %3").arg(numbers[0]).arg(numbers[1]).arg(build);
}

QString GetVersionText() {
#if defined(CORVANE_VERSION_MAJOR) && defined(CORVANE_VERSION_MINOR) && defined(CORVANE_VERSION_PATCH)
  return VersionTextFrom(QStringLiteral("%1.%2.%3")
                             .arg(CORVANE_VERSION_MAJOR)
                             .arg(CORVANE_VERSION_MINOR)
                             .arg(CORVANE_VERSION_PATCH));
#else
  return VersionTextFrom(QString());
#endif
}

VersionLabel::VersionLabel(QWidget* parent) : QLabel(parent) {
  setObjectName(QStringLiteral("VersionLabel1"));
}

void VersionLabel::SetCaption(const QString& caption) {
  m_caption = caption;
  setText(caption + GetVersionText());
}

}  // namespace corvane
