// The shell formats added to the file lists the program offers.
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QtTest>

#include "desktop/file_lists.h"
#include "gui/file_list_mime.h"

using namespace corvane;

class TstFileListMime : public QObject {
  Q_OBJECT

 private slots:
  void effectAndNameMapBytes();
  void nameMapsOnlyWhenCountsMatch();
  void readingBackEffectAndNames();
  void survivesTheClipboard();
};

void TstFileListMime::effectAndNameMapBytes() {
  QMimeData mime;
  AddShellFileFormats(mime, kDropEffectCopy, 2, {QStringLiteral("A.TXT"), QStringLiteral("caf\u00e9")});
  QCOMPARE(mime.data(QString::fromLatin1(kMimePreferredDropEffect)), QByteArray("\x01\0\0\0", 4));
  QCOMPARE(mime.data(QString::fromLatin1(kMimeFileNameMap)), QByteArray("A.TXT\0caf\xe9\0\0", 12));
  QCOMPARE(mime.data(QString::fromLatin1(kMimeFileNameMapW)),
           QByteArray("A\0.\0T\0X\0T\0\0\0c\0a\0f\0\xe9\0\0\0\0\0", 24));
  QCOMPARE(QString::fromLatin1(kMimePreferredDropEffect),
           QStringLiteral("application/x-qt-windows-mime;value=\"Preferred DropEffect\""));
}

void TstFileListMime::nameMapsOnlyWhenCountsMatch() {
  QMimeData mime;
  AddShellFileFormats(mime, kDropEffectMove, 3, {QStringLiteral("a"), QStringLiteral("b")});
  QVERIFY(mime.hasFormat(QString::fromLatin1(kMimePreferredDropEffect)));
  QVERIFY(!mime.hasFormat(QString::fromLatin1(kMimeFileNameMap)));
  QVERIFY(!mime.hasFormat(QString::fromLatin1(kMimeFileNameMapW)));
  QMimeData none;
  AddShellFileFormats(none, kDropEffectCopy, 1, {QString()});  // an empty name would end the map
  QVERIFY(!none.hasFormat(QString::fromLatin1(kMimeFileNameMapW)));
}

void TstFileListMime::readingBackEffectAndNames() {
  QMimeData empty;
  QCOMPARE(PreferredEffectOf(empty), kDropEffectCopy);
  QMimeData zero;
  zero.setData(QString::fromLatin1(kMimePreferredDropEffect), QByteArray(4, '\0'));
  QCOMPARE(PreferredEffectOf(zero), kDropEffectCopy);
  QMimeData mime;
  AddShellFileFormats(mime, kDropEffectMove, 2, {QStringLiteral("x\u0101"), QStringLiteral("y")});
  QCOMPARE(PreferredEffectOf(mime), kDropEffectMove);
  QCOMPARE(MappedNamesOf(mime, 2), (QStringList{QStringLiteral("x\u0101"), QStringLiteral("y")}));
  QVERIFY(MappedNamesOf(mime, 3).isEmpty());
  // Only the 8-bit map: its names are Latin-1.
  QMimeData narrow;
  narrow.setData(QString::fromLatin1(kMimeFileNameMap), QByteArray("\xe9t\xe9\0\0", 5));
  QCOMPARE(MappedNamesOf(narrow, 1), QStringList{QStringLiteral("\u00e9t\u00e9")});
}

void TstFileListMime::survivesTheClipboard() {
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kMimeUriList), QByteArray::fromStdString(BuildUriList({"/tmp/a b"})));
  AddShellFileFormats(*mime, kDropEffectCopy, 1, {QStringLiteral("A B")});
  QGuiApplication::clipboard()->setMimeData(mime);
  const QMimeData* back = QGuiApplication::clipboard()->mimeData();
  QVERIFY(back != nullptr);
  QCOMPARE(PreferredEffectOf(*back), kDropEffectCopy);
  QCOMPARE(MappedNamesOf(*back, 1), QStringList{QStringLiteral("A B")});
}

QTEST_MAIN(TstFileListMime)
#include "tst_file_list_mime.moc"
