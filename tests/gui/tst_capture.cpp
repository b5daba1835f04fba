// The screen capture window: frame geometry, menus and their check marks,
// the clipboard after every redraw, reloading, bad files and Save As.
#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QTemporaryDir>
#include <QtTest>

#include "gui/message_box.h"
#include "gui/capture_window.h"

using namespace corvane;

namespace {

// A 320 x 240 screen: a colour gradient with a distinct corner pixel.
QImage Screen(QRgb base = qRgb(10, 20, 30)) {
  QImage image(320, 240, QImage::Format_RGB32);
  image.fill(base);
  image.setPixel(0, 0, qRgb(200, 0, 0));
  image.setPixel(319, 239, qRgb(0, 200, 0));
  return image;
}

bool IsBlack(const QImage& i, int x, int y) { return i.pixel(x, y) == qRgb(0, 0, 0); }
bool IsWhite(const QImage& i, int x, int y) { return i.pixel(x, y) == qRgb(255, 255, 255); }

}  // namespace

class TstCapture : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void framedAt328x248();
  void hiddenBorderIsThePictureAlone();
  void widthZeroIsAThinLineLeftAndTop();
  void checkMarksPerSubmenu();
  void everyChangeReloadsTheFile();
  void notABitmapLeavesTheWindowAsItWas();
  void capturePaddedLikeASerialTransfer();
  void menusCloseNewScreenCopy();
  void saveAsPngAndBmp();

 private:
  QTemporaryDir m_dir;
  QString m_path;
  QStringList m_errors;
};

void TstCapture::init() {
  QVERIFY(m_dir.isValid());
  m_path = m_dir.filePath(QStringLiteral("Bitmap.bmp"));
  QVERIFY(Screen().save(m_path, "BMP"));
  m_errors.clear();
  SetMessageBoxHook([this](MessageKind, const QString&, const QString& text) {
    m_errors << text;
    return true;
  });
}

void TstCapture::cleanup() { SetMessageBoxHook({}); }

void TstCapture::framedAt328x248() {
  CaptureWindow form;
  QCOMPARE(form.windowTitle(), QStringLiteral("Screen capture"));
  QVERIFY(form.ShowBitmap(m_path));
  QVERIFY(form.isVisible());
  const QImage& f = form.Framed();
  QCOMPARE(f.size(), QSize(328, 248));
  for (int k : {0, 1}) {  // a black band 2 pixels wide along each edge
    QVERIFY(IsBlack(f, k, 100));
    QVERIFY(IsBlack(f, 100, k));
    QVERIFY(IsBlack(f, 327 - k, 100));
    QVERIFY(IsBlack(f, 100, 247 - k));
  }
  for (int k : {2, 3}) {  // then 2 pixels of white
    QVERIFY(IsWhite(f, k, 100));
    QVERIFY(IsWhite(f, 100, k));
    QVERIFY(IsWhite(f, 327 - k, 100));
    QVERIFY(IsWhite(f, 100, 247 - k));
  }
  QCOMPARE(f.pixel(4, 4), qRgb(200, 0, 0));  // the picture at (4, 4)
  QCOMPARE(f.pixel(323, 243), qRgb(0, 200, 0));
  QCOMPARE(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), f);
  form.layout()->activate();
  QCOMPARE(form.Picture()->size(), QSize(328, 248));
}

void TstCapture::hiddenBorderIsThePictureAlone() {
  CaptureWindow form;
  QVERIFY(form.ShowBitmap(m_path));
  form.WidthAction(7)->trigger();
  form.SpaceAction(9)->trigger();
  form.VisibleAction()->trigger();  // toggles off
  QVERIFY(!form.BorderVisible());
  QCOMPARE(form.Framed().size(), QSize(320, 240));
  QCOMPARE(form.Framed().pixel(0, 0), qRgb(200, 0, 0));
  QCOMPARE(form.Framed().pixel(319, 239), qRgb(0, 200, 0));
  form.VisibleAction()->trigger();
  QCOMPARE(form.Framed().size(), QSize(320 + 18 + 14, 240 + 18 + 14));
}

void TstCapture::widthZeroIsAThinLineLeftAndTop() {
  CaptureWindow form;
  QVERIFY(form.ShowBitmap(m_path));
  form.WidthAction(0)->trigger();
  const QImage& f = form.Framed();
  QCOMPARE(f.size(), QSize(324, 244));
  QVERIFY(IsBlack(f, 0, 120));
  QVERIFY(IsBlack(f, 160, 0));
  QVERIFY(IsWhite(f, 1, 120));
  QVERIFY(IsWhite(f, 160, 1));
  QVERIFY(IsWhite(f, 323, 120));  // no line on the right
  QVERIFY(IsWhite(f, 160, 243));  // nor at the bottom
  QCOMPARE(f.pixel(2, 2), qRgb(200, 0, 0));
}

void TstCapture::checkMarksPerSubmenu() {
  CaptureWindow form;
  QVERIFY(form.VisibleAction()->isChecked());
  for (int v = 0; v <= 9; ++v) {
    QCOMPARE(form.WidthAction(v)->isChecked(), v == 2);
    QCOMPARE(form.SpaceAction(v)->isChecked(), v == 2);
    QCOMPARE(form.WidthAction(v)->text(), QString::number(v));
  }
  QVERIFY(form.ShowBitmap(m_path));
  form.WidthAction(5)->trigger();
  QCOMPARE(form.BorderWidth(), 5);
  for (int v = 0; v <= 9; ++v) {
    QCOMPARE(form.WidthAction(v)->isChecked(), v == 5);
    QCOMPARE(form.SpaceAction(v)->isChecked(), v == 2);
  }
  form.WidthAction(5)->trigger();  // choosing it again keeps it checked
  QVERIFY(form.WidthAction(5)->isChecked());
  form.SpaceAction(0)->trigger();
  QCOMPARE(form.Spacing(), 0);
  for (int v = 0; v <= 9; ++v) QCOMPARE(form.SpaceAction(v)->isChecked(), v == 0);
  QCOMPARE(form.Framed().size(), QSize(330, 250));
}

void TstCapture::everyChangeReloadsTheFile() {
  CaptureWindow form;
  QVERIFY(form.ShowBitmap(m_path));
  QVERIFY(Screen(qRgb(1, 2, 3)).scaled(100, 50).save(m_path, "BMP"));
  form.SpaceAction(3)->trigger();
  QCOMPARE(form.Framed().size(), QSize(100 + 10, 50 + 10));
  QCOMPARE(form.Framed().pixel(50, 30), qRgb(1, 2, 3));
  QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(110, 60));
  form.layout()->activate();
  QCOMPARE(form.Picture()->size(), QSize(110, 60));  // the window shrinks with the picture
}

void TstCapture::notABitmapLeavesTheWindowAsItWas() {
  CaptureWindow form;
  QVERIFY(form.ShowBitmap(m_path));
  const QImage before = form.Framed();
  const QSize sizeBefore = form.size();
  QClipboard* clip = QGuiApplication::clipboard();
  const QString bad = m_dir.filePath(QStringLiteral("bad.bmp"));
  {
    QFile file(bad);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("BM this is not a bitmap at all");
  }
  QVERIFY(!form.ShowBitmap(bad));
  QCOMPARE(m_errors.size(), 1);
  QVERIFY(m_errors.first().contains(QStringLiteral("bad.bmp")));
  QCOMPARE(form.Framed(), before);
  QCOMPARE(form.size(), sizeBefore);
  QCOMPARE(clip->image().convertToFormat(QImage::Format_RGB32), before);
  // A PNG is not a bitmap file either, and a missing file is reported too.
  QVERIFY(Screen().save(bad, "PNG"));
  QVERIFY(!form.ShowBitmap(bad));
  QVERIFY(!form.ShowBitmap(m_dir.filePath(QStringLiteral("missing.bmp"))));
  QCOMPARE(m_errors.size(), 3);
  QCOMPARE(form.Framed(), before);
}

void TstCapture::capturePaddedLikeASerialTransfer() {
  // A serial capture is stored as 38912 bytes: the bitmap and block padding.
  QFile file(m_path);
  QVERIFY(file.open(QIODevice::ReadOnly));
  QByteArray bytes = file.readAll();
  file.close();
  QVERIFY(bytes.size() < 38912 * 8);
  QImage small = Screen().scaled(160, 120).convertToFormat(QImage::Format_Indexed8);
  QVERIFY(small.save(m_path, "BMP"));
  QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Append));
  file.write(QByteArray(38912 - int(file.size()), '\x1A'));
  file.close();
  CaptureWindow form;
  QVERIFY(form.ShowBitmap(m_path));
  QCOMPARE(form.Framed().size(), QSize(168, 128));
}

void TstCapture::menusCloseNewScreenCopy() {
  CaptureWindow form;
  int captures = 0;
  form.OnNewScreen = [&] {
    ++captures;
    form.ShowBitmap(m_path);
  };
  form.NewScreenAction()->trigger();
  QCOMPARE(captures, 1);
  QVERIFY(form.isVisible());
  QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
  form.CopyAction()->trigger();
  QCOMPARE(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), form.Framed());
  form.CloseAction()->trigger();
  QVERIFY(!form.isVisible());
  QCOMPARE(form.CapturePath(), m_path);
}

void TstCapture::saveAsPngAndBmp() {
  CaptureWindow form;
  QVERIFY(!form.SaveFramedTo(m_dir.filePath(QStringLiteral("nothing.png"))));  // nothing shown yet
  QVERIFY(form.ShowBitmap(m_path));
  const QString png = m_dir.filePath(QStringLiteral("shot.png"));
  const QString bmp = m_dir.filePath(QStringLiteral("shot.bmp"));
  QVERIFY(form.SaveFramedTo(png));
  QVERIFY(form.SaveFramedTo(bmp));
  QCOMPARE(QImage(png, "PNG").convertToFormat(QImage::Format_RGB32), form.Framed());
  QCOMPARE(QImage(bmp, "BMP").convertToFormat(QImage::Format_RGB32), form.Framed());
  QVERIFY(m_errors.isEmpty());
  QVERIFY(!form.SaveFramedTo(m_dir.filePath(QStringLiteral("no/such/folder/x.png"))));
  QCOMPARE(m_errors.size(), 1);
  QVERIFY(m_errors.first().contains(QStringLiteral("try again")));
}

QTEST_MAIN(TstCapture)
#include "tst_capture.moc"
