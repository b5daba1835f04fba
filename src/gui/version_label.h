#pragma once
// VersionLabel: a label that shows the text given to it followed by the
// program's version ("Version 1 SubVer. 0 Build 0").
#include <QLabel>
#include <QString>

namespace corvane {

// "Version %d SubVer. %d Build %d" from a version "major.minor.build" or
// "major.minor.x.build" (the third of four numbers is not shown);
// "-.-.-.-" when it cannot be read.
QString VersionTextFrom(const QString& version);
// The text for this program's own version, as built.
QString GetVersionText();

class VersionLabel : public QLabel {
  Q_OBJECT

 public:
  explicit VersionLabel(QWidget* parent = nullptr);

  // Keeps caption and shows caption + GetVersionText().
  void SetCaption(const QString& caption);
  QString Caption() const { return m_caption; }

 private:
  QString m_caption;
};

}  // namespace corvane
