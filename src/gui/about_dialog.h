#pragma once
// AboutDialog, the About box: a picture, the program's version and a link to the
// maker's page for the device. Also where the help manual is found.
#include <QDialog>
#include <QImage>
#include <QString>

class QLabel;
class QPushButton;

namespace corvane {

class VersionLabel;
class LinkLabel;

// The makers' pages (without scheme) for the two device kinds.
inline constexpr const char* kQuillonWebPage = "www.corvane.example/quillon/";
inline constexpr const char* kTallisWebPage = "www.corvane.example/tallis/";

// The About picture, 320 x 200, 24 bits per pixel, drawn here.
QImage AboutPicture();

class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);

  // The device's display name ("Corvane Quillon" or "Corvane Tallis"); set
  // before showing. Captions and the link follow it when the box is shown.
  QString DeviceName;

  QLabel* Picture() const { return m_image; }
  VersionLabel* Version() const { return m_version; }
  LinkLabel* Link() const { return m_url; }
  QPushButton* CloseButton() const { return m_close; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* m_image;
  VersionLabel* m_version;
  LinkLabel* m_url;
  QPushButton* m_close;
};

// Shows the About box modally for the device's display name.
void ShowAboutBox(QWidget* parent, const QString& deviceName);

// The HTML manual: next to the program (../share/doc/corvane-kit/manual or
// docs/manual beside the build), empty when none is found.
QString HelpFilePath();
// Opens the manual with the desktop; a missing manual is not reported.
void OpenHelp();

}  // namespace corvane
