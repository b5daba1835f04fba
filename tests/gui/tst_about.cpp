// The About box, its version text and its link label: addresses, launching
// with fallbacks, colours while pressed or hovered, the copy menu.
#include <QClipboard>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

#include "gui/about_dialog.h"
#include "gui/message_box.h"
#include "gui/version_label.h"
#include "gui/link_label.h"

using namespace corvane;

class TstAbout : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void versionText();
  void addressByKind();
  void clickLaunchesCaptionWhenUrlIsEmpty();
  void httpFallsBackToBrowserThenSaysSorry();
  void otherKindsReportNothing();
  void pressColoursWithoutEffect98();
  void hoverColoursWithEffect98();
  void allowDownMovesOnePixel();
  void copyMenuOnlyForSomeKinds();
  void copyUrlPutsUrlOrCaption();
  void setters();
  void aboutBoxForTallisAndQuillon();

 private:
  QStringList m_boxes;
  QList<QUrl> m_desktop;
  QStringList m_browser;
  bool m_desktopWorks = true;
  bool m_browserWorks = true;
  void Hook(LinkLabel& label);
};

void TstAbout::init() {
  m_boxes.clear();
  m_desktop.clear();
  m_browser.clear();
  m_desktopWorks = m_browserWorks = true;
  SetMessageBoxHook([this](MessageKind, const QString&, const QString& text) {
    m_boxes << text;
    return true;
  });
}

void TstAbout::cleanup() { SetMessageBoxHook({}); }

void TstAbout::Hook(LinkLabel& label) {
  label.OpenWithDesktop = [this](const QUrl& url) {
    m_desktop << url;
    return m_desktopWorks;
  };
  label.OpenWithBrowserCommand = [this](const QString& address) {
    m_browser << address;
    return m_browserWorks;
  };
}

void TstAbout::versionText() {
  QCOMPARE(VersionTextFrom(QStringLiteral("1.2.0.17")), QStringLiteral("Version 1 SubVer. 2 Build 17"));
  QCOMPARE(VersionTextFrom(QStringLiteral("3.4.5")), QStringLiteral("Version 3 SubVer. 4 Build 5"));
  QCOMPARE(VersionTextFrom(QString()), QStringLiteral("-.-.-.-"));
  QCOMPARE(VersionTextFrom(QStringLiteral("1.x.3")), QStringLiteral("-.-.-.-"));
  QCOMPARE(VersionTextFrom(QStringLiteral("1.2")), QStringLiteral("-.-.-.-"));
  QCOMPARE(VersionTextFrom(QStringLiteral("1.2.3.70000")), QStringLiteral("-.-.-.-"));
  QCOMPARE(GetVersionText(), QStringLiteral("Version %1 SubVer. %2 Build %3")
                                 .arg(CORVANE_VERSION_MAJOR)
                                 .arg(CORVANE_VERSION_MINOR)
                                 .arg(CORVANE_VERSION_PATCH));
  VersionLabel label;
  label.SetCaption(QStringLiteral(" "));
  QCOMPARE(label.text(), QStringLiteral(" ") + GetVersionText());
  QCOMPARE(label.Caption(), QStringLiteral(" "));
}

void TstAbout::addressByKind() {
  const QString t = QStringLiteral("corvane.example/x");
  QCOMPARE(BuildUrlAddress(kLinkHttp, t, QString()), QStringLiteral("http://corvane.example/x"));
  QCOMPARE(BuildUrlAddress(kLinkFtp, t, QString()), QStringLiteral("ftp://corvane.example/x"));
  QCOMPARE(BuildUrlAddress(kLinkNews, t, QString()), QStringLiteral("news://corvane.example/x"));
  QCOMPARE(BuildUrlAddress(kLinkCustom, t, QStringLiteral("s")), t);
  QCOMPARE(BuildUrlAddress(kLinkMail, QStringLiteral("a@b.example"), QString()),
           QStringLiteral("mailto:a@b.example?subject="));
  QCOMPARE(BuildUrlAddress(kLinkMail, QStringLiteral("a@b.example"), QStringLiteral("Hi")),
           QStringLiteral("mailto:a@b.example?subject=Hi"));
  // Long addresses are launched whole.
  const QString longTarget = QString(120, QLatin1Char('a'));
  QCOMPARE(BuildUrlAddress(kLinkHttp, longTarget, QString()).size(), 127);
}

void TstAbout::clickLaunchesCaptionWhenUrlIsEmpty() {
  LinkLabel label;
  Hook(label);
  label.SetCaption(QStringLiteral("www.corvane.example"));
  label.resize(200, 20);
  QSignalSpy clicked(&label, &LinkLabel::clicked);
  QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(5, 5));
  QCOMPARE(clicked.count(), 1);
  QCOMPARE(m_desktop, QList<QUrl>{QUrl(QStringLiteral("http://www.corvane.example"))});
  QVERIFY(m_browser.isEmpty());
  QVERIFY(m_boxes.isEmpty());
  label.SetURL(QStringLiteral("other.example/page"));
  label.Click();
  QCOMPARE(m_desktop.last(), QUrl(QStringLiteral("http://other.example/page")));
}

void TstAbout::httpFallsBackToBrowserThenSaysSorry() {
  LinkLabel label;
  Hook(label);
  label.SetURL(QStringLiteral("corvane.example"));
  m_desktopWorks = false;
  label.Click();
  QCOMPARE(m_browser, QStringList{QStringLiteral("http://corvane.example")});
  QVERIFY(m_boxes.isEmpty());
  m_browserWorks = false;
  label.Click();
  QCOMPARE(m_boxes, QStringList{QStringLiteral("Sorry your browser could not be found")});
}

void TstAbout::otherKindsReportNothing() {
  LinkLabel label;
  Hook(label);
  label.SetLabelType(kLinkMail);
  label.SetURL(QStringLiteral("help@corvane.example"));
  m_desktopWorks = m_browserWorks = false;
  label.Click();
  QCOMPARE(m_desktop, QList<QUrl>{QUrl(QStringLiteral("mailto:help@corvane.example?subject="))});
  QVERIFY(m_browser.isEmpty());
  QVERIFY(m_boxes.isEmpty());
}

void TstAbout::pressColoursWithoutEffect98() {
  LinkLabel label;
  Hook(label);
  label.SetCaption(QStringLiteral("link"));
  label.resize(100, 20);
  QCOMPARE(label.FontColor(), QColor(Qt::blue));
  QVERIFY(label.font().underline());
  QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(3, 3));
  QCOMPARE(label.FontColor(), QColor(Qt::red));
  QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(3, 3));
  QCOMPARE(label.FontColor(), QColor(Qt::blue));
  // Released outside: the colour comes back, nothing is launched.
  m_desktop.clear();
  QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(3, 3));
  QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(300, 3));
  QCOMPARE(label.FontColor(), QColor(Qt::blue));
  QVERIFY(m_desktop.isEmpty());
}

void TstAbout::hoverColoursWithEffect98() {
  LinkLabel label;
  Hook(label);
  label.SetCaption(QStringLiteral("link"));
  label.resize(100, 20);
  label.SetEffect98(true);
  QVERIFY(!label.font().underline());
  QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
  QCoreApplication::sendEvent(&label, &enter);
  QCOMPARE(label.FontColor(), QColor(Qt::red));
  QVERIFY(label.font().underline());
  QTest::mousePress(&label, Qt::LeftButton, {}, QPoint(3, 3));
  QTest::mouseRelease(&label, Qt::LeftButton, {}, QPoint(3, 3));
  QCOMPARE(label.FontColor(), QColor(Qt::red));  // still over the label
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(&label, &leave);
  QCOMPARE(label.FontColor(), QColor(Qt::blue));
  QVERIFY(!label.font().underline());
  // A custom link keeps its underline state while hovering.
  label.SetLabelType(kLinkCustom);
  QCoreApplication::sendEvent(&label, &enter);
  QVERIFY(!label.font().underline());
  QCOMPARE(label.FontColor(), QColor(Qt::red));
}

void TstAbout::allowDownMovesOnePixel() {
  QWidget parent;
  auto* label = new LinkLabel(&parent);
  Hook(*label);
  label->SetCaption(QStringLiteral("link"));
  label->setGeometry(10, 10, 100, 20);
  label->SetAllowDown(true);
  QTest::mousePress(label, Qt::LeftButton, {}, QPoint(3, 3));
  QCOMPARE(label->pos(), QPoint(10, 11));
  QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(3, 2));
  QCOMPARE(label->pos(), QPoint(10, 10));
  QTest::mousePress(label, Qt::RightButton, {}, QPoint(3, 3));
  QCOMPARE(label->pos(), QPoint(10, 10));
  label->PopupMenu()->hide();
}

void TstAbout::copyMenuOnlyForSomeKinds() {
  for (LinkKind type : {kLinkHttp, kLinkMail, kLinkNews, kLinkFtp, kLinkCustom}) {
    LinkLabel label;
    Hook(label);
    label.SetLabelType(type);
    label.SetCaption(QStringLiteral("link"));
    label.resize(100, 20);
    label.show();
    QTest::mousePress(&label, Qt::RightButton, {}, QPoint(3, 3));
    const bool expected = type == kLinkHttp || type == kLinkMail || type == kLinkNews;
    QCOMPARE(label.PopupMenu()->isVisible(), expected);
    QCOMPARE(label.PopupMenu()->actions().size(), 1);
    QCOMPARE(label.PopupMenu()->actions().first()->text(), QStringLiteral("&Copy"));
    label.PopupMenu()->hide();
    QTest::mouseRelease(&label, Qt::RightButton, {}, QPoint(3, 3));
  }
  QVERIFY(m_desktop.isEmpty());  // the right button never launches
}

void TstAbout::copyUrlPutsUrlOrCaption() {
  LinkLabel label;
  label.SetCaption(QStringLiteral("Corvane web site"));
  label.PopupMenu()->actions().first()->trigger();
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Corvane web site"));
  label.SetURL(QStringLiteral("www.corvane.example"));
  label.CopyUrl();
  QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("www.corvane.example"));
}

void TstAbout::setters() {
  LinkLabel label;
  label.SetURLColStd(Qt::darkGreen);
  QCOMPARE(label.FontColor(), QColor(Qt::darkGreen));
  QFont f = label.font();
  f.setBold(true);
  label.SetFont(f, Qt::magenta);
  QCOMPARE(label.URLColStd(), QColor(Qt::magenta));
  QCOMPARE(label.FontColor(), QColor(Qt::magenta));
  QVERIFY(label.font().bold());
  label.SetEffect98(true);
  QVERIFY(!label.font().underline());
  label.SetLabelType(kLinkMail);  // with Effect98: no underline
  QVERIFY(!label.font().underline());
  label.SetEffect98(false);
  QVERIFY(label.font().underline());
  label.SetLabelType(kLinkCustom);
  label.SetEffect98(true);
  label.SetEffect98(false);  // a custom link does not get the underline back
  QVERIFY(!label.font().underline());
  label.SetLabelType(kLinkHttp);  // Effect98 off: the underline comes back
  QVERIFY(label.font().underline());
}

void TstAbout::aboutBoxForTallisAndQuillon() {
  QImage picture = AboutPicture();
  QCOMPARE(picture.size(), QSize(320, 200));
  QCOMPARE(picture.depth(), 24);
  {
    AboutDialog box;
    box.DeviceName = QStringLiteral("Corvane Tallis");
    QCOMPARE(box.size(), QSize(326, 237));
    box.show();
    QCOMPARE(box.windowTitle(), QStringLiteral("Corvane Tallis Connectivity Kit"));
    QCOMPARE(box.Link()->Caption(), QStringLiteral("Corvane Tallis web site"));
    QCOMPARE(box.Link()->URL(), QString::fromLatin1(kTallisWebPage));
    QCOMPARE(box.Version()->text(), QStringLiteral(" ") + GetVersionText());
    QCOMPARE(box.Picture()->geometry(), QRect(0, 0, 329, 209));
    QCOMPARE(box.CloseButton()->text(), QStringLiteral("Close"));
    // Link and Close button do not overlap.
    QVERIFY(!box.Link()->geometry().intersects(box.CloseButton()->geometry()));
    box.CloseButton()->click();
    QCOMPARE(box.result(), int(QDialog::Accepted));
    QVERIFY(!box.isVisible());
  }
  AboutDialog box;
  box.DeviceName = QStringLiteral("Corvane Quillon");
  box.show();
  QCOMPARE(box.windowTitle(), QStringLiteral("Corvane Quillon Connectivity Kit"));
  QCOMPARE(box.Link()->Caption(), QStringLiteral("Corvane Quillon web site"));
  QCOMPARE(box.Link()->URL(), QString::fromLatin1(kQuillonWebPage));
  box.close();
}

QTEST_MAIN(TstAbout)
#include "tst_about.moc"
