#pragma once
// LinkLabel: a label that is a link. A click opens its address (built from
// the URL, or the caption, by the kind of link) with the desktop; the right
// button offers "&Copy"; colours follow pressing or, with Effect98, hovering.
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QUrl>

#include <functional>

class QMenu;

namespace corvane {

enum LinkKind { kLinkHttp = 0, kLinkMail = 1, kLinkFtp = 2, kLinkNews = 3, kLinkCustom = 4 };

// The address a click launches: "http://", "ftp://" or "news://" + target;
// "mailto:" + target + "?subject=" + subject (also with an empty subject);
// the target unchanged for hmCUSTOM.
QString BuildUrlAddress(LinkKind type, const QString& target, const QString& mailSubject);

class LinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit LinkLabel(QWidget* parent = nullptr);

  LinkKind LabelType() const { return m_labelType; }
  void SetLabelType(LinkKind type);
  QColor URLColStd() const { return m_colStd; }
  void SetURLColStd(const QColor& colour);
  QColor URLColPre() const { return m_colPre; }
  void SetURLColPre(const QColor& colour);
  bool AllowDown() const { return m_allowDown; }
  void SetAllowDown(bool allow);
  bool Effect98() const { return m_effect98; }
  void SetEffect98(bool on);
  QString Caption() const { return text(); }
  void SetCaption(const QString& caption);
  QString URL() const { return m_url; }
  void SetURL(const QString& url);
  QString MailSubject() const { return m_mailSubject; }
  void SetMailSubject(const QString& subject);
  bool AutoSize() const { return m_autoSize; }
  void SetAutoSize(bool on);
  // Assigns the font and takes its colour as URLColStd.
  void SetFont(const QFont& font, const QColor& colour);

  // The colour the text is drawn in now.
  QColor FontColor() const;
  QString Address() const;
  QMenu* PopupMenu() const { return m_popup; }

  // Runs the click: the clicked signal, then launching the address.
  void Click();
  // Opens an address: hmHTTP tries the desktop, then xdg-open, and says
  // "Sorry your browser could not be found" when neither starts; other kinds
  // ask the desktop and report nothing.
  void LaunchUrl(const QString& address);
  // Puts URL (or the caption when URL is empty) on the clipboard as text.
  void CopyUrl();

  // How addresses are opened; tests replace them. Each returns whether it started.
  std::function<bool(const QUrl&)> OpenWithDesktop;
  std::function<bool(const QString&)> OpenWithBrowserCommand;

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void SetFontColor(const QColor& colour);
  void SetUnderline(bool on);
  void Fit();

  LinkKind m_labelType = kLinkHttp;
  QColor m_colStd = Qt::blue;
  QColor m_colPre = Qt::red;
  bool m_allowDown = false;
  bool m_effect98 = false;
  bool m_autoSize = true;
  bool m_leftDown = false;
  QString m_url;
  QString m_mailSubject;
  QMenu* m_popup;
};

}  // namespace corvane
