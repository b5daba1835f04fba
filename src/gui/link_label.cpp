#include "gui/link_label.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QProcess>

#include "gui/message_box.h"

namespace corvane {

QString BuildUrlAddress(LinkKind type, const QString& target, const QString& mailSubject) {
  switch (type) {
    case kLinkHttp:
      return QStringLiteral("http://") + target;
    case kLinkMail:
      return QStringLiteral("mailto:") + target + QStringLiteral("?subject=") + mailSubject;
    case kLinkFtp:
      return QStringLiteral("ftp://") + target;
    case kLinkNews:
      return QStringLiteral("news://") + target;
    case kLinkCustom:
      break;
  }
  return target;
}

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent), m_popup(new QMenu(this)) {
  OpenWithDesktop = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  OpenWithBrowserCommand = [](const QString& address) {
    return QProcess::startDetached(QStringLiteral("xdg-open"), {address});
  };
  m_popup->addAction(tr("&Copy"), this, &LinkLabel::CopyUrl);
  setCursor(Qt::PointingHandCursor);
  SetFontColor(m_colStd);
  SetUnderline(true);
}

void LinkLabel::SetFontColor(const QColor& colour) {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, colour);
  setPalette(p);
  update();
}

QColor LinkLabel::FontColor() const { return palette().color(QPalette::WindowText); }

void LinkLabel::SetUnderline(bool on) {
  QFont f = font();
  if (f.underline() == on) return;
  f.setUnderline(on);
  setFont(f);
  Fit();
}

void LinkLabel::Fit() {
  if (m_autoSize) adjustSize();
}

void LinkLabel::SetLabelType(LinkKind type) {
  if (type == m_labelType) return;
  m_labelType = type;
  if (m_effect98) SetUnderline(false);
  else SetUnderline(true);
  update();
}

void LinkLabel::SetURLColStd(const QColor& colour) {
  if (colour == m_colStd) return;
  m_colStd = colour;
  SetFontColor(colour);
}

void LinkLabel::SetURLColPre(const QColor& colour) {
  if (colour == m_colPre) return;
  m_colPre = colour;
  update();
}

void LinkLabel::SetAllowDown(bool allow) { m_allowDown = allow; }

void LinkLabel::SetEffect98(bool on) {
  if (on == m_effect98) return;
  m_effect98 = on;
  if (on) SetUnderline(false);
  else if (m_labelType != kLinkCustom) SetUnderline(true);
  update();
}

void LinkLabel::SetCaption(const QString& caption) {
  if (caption == text()) return;
  setText(caption);
  Fit();
}

void LinkLabel::SetURL(const QString& url) { m_url = url; }
void LinkLabel::SetMailSubject(const QString& subject) { m_mailSubject = subject; }

void LinkLabel::SetAutoSize(bool on) {
  m_autoSize = on;
  Fit();
}

void LinkLabel::SetFont(const QFont& f, const QColor& colour) {
  setFont(f);
  m_colStd = colour;
  SetFontColor(colour);
  Fit();
}

QString LinkLabel::Address() const {
  // The whole address is launched; it is not cut to a fixed length.
  return BuildUrlAddress(m_labelType, m_url.isEmpty() ? text() : m_url, m_mailSubject);
}

void LinkLabel::Click() {
  emit clicked();
  LaunchUrl(Address());
}

void LinkLabel::LaunchUrl(const QString& address) {
  if (m_labelType != kLinkHttp) {
    if (OpenWithDesktop) OpenWithDesktop(QUrl(address));
    return;
  }
  if (OpenWithDesktop && OpenWithDesktop(QUrl(address))) return;
  if (OpenWithBrowserCommand && OpenWithBrowserCommand(address)) return;
  ShowMessageBox(window(), ApplicationTitle(), QStringLiteral("Sorry your browser could not be found"),
                 MessageKind::kError);
}

void LinkLabel::CopyUrl() {
  QGuiApplication::clipboard()->setText(m_url.isEmpty() ? text() : m_url);
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
  QLabel::mousePressEvent(event);
  event->accept();
  if (event->button() == Qt::LeftButton) {
    m_leftDown = true;
    if (m_allowDown) move(x(), y() + 1);
    SetFontColor(m_colPre);
  } else if (event->button() == Qt::RightButton) {
    if (m_labelType == kLinkHttp || m_labelType == kLinkMail || m_labelType == kLinkNews)
      m_popup->popup(event->globalPosition().toPoint());
  }
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  event->accept();
  const bool left = event->button() == Qt::LeftButton && m_leftDown;
  if (left) m_leftDown = false;
  if (left && rect().contains(event->position().toPoint())) Click();
  if (!m_effect98) SetFontColor(m_colStd);
  if (left && m_allowDown) move(x(), y() - 1);
}

void LinkLabel::enterEvent(QEnterEvent* event) {
  QLabel::enterEvent(event);
  if (!m_effect98) return;
  SetFontColor(m_colPre);
  if (m_labelType != kLinkCustom) SetUnderline(true);
}

void LinkLabel::leaveEvent(QEvent* event) {
  QLabel::leaveEvent(event);
  if (!m_effect98) return;
  SetFontColor(m_colStd);
  if (m_labelType != kLinkCustom) SetUnderline(false);
}

}  // namespace corvane
