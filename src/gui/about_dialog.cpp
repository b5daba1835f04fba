#include "gui/about_dialog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QUrl>


#include "gui/dialog_placement.h"
#include "gui/version_label.h"
#include "gui/link_label.h"

namespace corvane {

namespace {

void DrawHandheld(QPainter& p) {
  p.setPen(QPen(QColor(20, 20, 24), 2));
  p.setBrush(QColor(190, 196, 204));
  p.drawRoundedRect(QRectF(38, 40, 64, 118), 9, 9);
  p.setBrush(QColor(152, 182, 140));
  p.drawRect(QRectF(46, 50, 48, 38));
  p.setBrush(QColor(90, 96, 110));
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) p.drawRoundedRect(QRectF(47 + 12 * c, 96 + 14 * r, 9, 9), 2, 2);
  p.setPen(QPen(QColor(30, 60, 30), 1.5));
  for (int k = 0; k < 3; ++k) p.drawLine(QPointF(50, 58 + 9 * k), QPointF(80 - 8 * k, 58 + 9 * k));
}

void DrawDesktopScreen(QPainter& p) {
  p.setPen(QPen(QColor(20, 20, 24), 2));
  p.setBrush(QColor(46, 50, 58));
  p.drawRoundedRect(QRectF(200, 52, 96, 70), 5, 5);
  p.setBrush(QColor(230, 236, 244));
  p.drawRect(QRectF(207, 59, 82, 56));
  p.setBrush(QColor(46, 50, 58));
  p.drawRect(QRectF(240, 122, 16, 12));
  p.drawRoundedRect(QRectF(226, 133, 44, 6), 2, 2);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(70, 110, 200));
  for (int k = 0; k < 4; ++k) p.drawRect(QRectF(212, 64 + 12 * k, 8, 8));
  p.setBrush(QColor(150, 160, 175));
  for (int k = 0; k < 4; ++k) p.drawRect(QRectF(224, 66 + 12 * k, 52 - 6 * k, 4));
}

}  // namespace

QImage AboutPicture() {
  QImage image(320, 200, QImage::Format_RGB888);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 200);
  sky.setColorAt(0, QColor(18, 42, 86));
  sky.setColorAt(1, QColor(64, 128, 170));
  p.fillRect(image.rect(), sky);

  // A cable between a handheld and a desktop screen.
  p.setPen(QPen(QColor(240, 200, 80), 3));
  QPainterPath cable(QPointF(86, 150));
  cable.cubicTo(QPointF(120, 190), QPointF(180, 110), QPointF(222, 130));
  p.drawPath(cable);

  DrawHandheld(p);
  DrawDesktopScreen(p);

  // Arrows both ways above the cable.
  p.setPen(QPen(Qt::white, 2));
  p.drawLine(QPointF(124, 92), QPointF(176, 92));
  p.drawLine(QPointF(176, 92), QPointF(168, 87));
  p.drawLine(QPointF(176, 92), QPointF(168, 97));
  p.drawLine(QPointF(124, 104), QPointF(176, 104));
  p.drawLine(QPointF(124, 104), QPointF(132, 99));
  p.drawLine(QPointF(124, 104), QPointF(132, 109));

  QFont title = p.font();
  title.setPixelSize(22);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 4, 320, 30), Qt::AlignCenter, QStringLiteral("Corvane"));
  QFont sub = p.font();
  sub.setPixelSize(13);
  sub.setBold(false);
  p.setFont(sub);
  p.drawText(QRect(0, 172, 320, 22), Qt::AlignCenter, QStringLiteral("Connectivity Kit"));
  return image;
}

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent),
      m_image(new QLabel(this)),
      m_version(new VersionLabel(this)),
      m_url(new LinkLabel(this)),
      m_close(new QPushButton(tr("Close"), this)) {
  setObjectName(QStringLiteral("Form3"));
  setWindowTitle(QStringLiteral("Quillon connectivity kit"));
  setFixedSize(326, 237);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

  m_image->setObjectName(QStringLiteral("Image1"));
  m_image->setGeometry(0, 0, 329, 209);
  m_image->setScaledContents(true);
  m_image->setPixmap(QPixmap::fromImage(AboutPicture()));

  // Version and link share the strip left of Close, one above the other, so
  // that neither is cut whatever the desktop's font.
  QFont small = m_version->font();
  small.setPixelSize(11);
  m_version->setFont(small);
  m_version->setGeometry(2, 210, 240, 13);
  m_version->SetCaption(QStringLiteral(" "));

  m_url->setObjectName(QStringLiteral("ZuUrlLabel1"));
  m_url->move(6, 223);
  QFont linkFont = m_url->font();
  linkFont.setPixelSize(12);
  linkFont.setUnderline(true);
  m_url->SetFont(linkFont, Qt::blue);
  m_url->SetCaption(QStringLiteral("Quillon web site"));
  m_url->SetURL(QString::fromLatin1(kQuillonWebPage));
  m_url->setCursor(Qt::PointingHandCursor);

  m_close->setObjectName(QStringLiteral("Button1"));
  m_close->setGeometry(248, 210, 75, 25);
  m_close->setDefault(true);
  connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutDialog::showEvent(QShowEvent* event) {
  setWindowTitle(DeviceName + QStringLiteral(" Connectivity Kit"));
  m_url->SetCaption(DeviceName + QStringLiteral(" web site"));
  if (DeviceName == QStringLiteral("Corvane Tallis")) m_url->SetURL(QString::fromLatin1(kTallisWebPage));
  CentreOnParentWindow(this);
  QDialog::showEvent(event);
}

void ShowAboutBox(QWidget* parent, const QString& deviceName) {
  AboutDialog box(parent);
  box.DeviceName = deviceName;
  box.exec();
}

QString HelpFilePath() {
  // Installed: <prefix>/bin/corvane-kit and <prefix>/share/doc/corvane-kit/manual.
  // From a build tree: the docs/manual folder of the source tree above it.
  QDir dir(QCoreApplication::applicationDirPath());
  const QString installed = dir.filePath(QStringLiteral("../share/doc/corvane-kit/manual/index.html"));
  if (QFileInfo::exists(installed)) return QFileInfo(installed).canonicalFilePath();
  for (int up = 0; up < 6; ++up) {
    const QString candidate = dir.filePath(QStringLiteral("docs/manual/index.html"));
    if (QFileInfo::exists(candidate)) return QFileInfo(candidate).canonicalFilePath();
    if (!dir.cdUp()) break;
  }
  return QString();
}

void OpenHelp() {
  const QString path = HelpFilePath();
  if (!path.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

}  // namespace corvane
