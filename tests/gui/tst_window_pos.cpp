// Window positions kept as text in the per-user settings.
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include "gui/window_geometry_store.h"

using namespace corvane;

class TestWindowPos : public QObject {
  Q_OBJECT

  QTemporaryDir m_dir;

  static QSettings Settings() { return QSettings(QStringLiteral("Corvane"), QStringLiteral("Quillon Connectivity kit")); }

 private slots:
  void initTestCase() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
  }
  void init() { Settings().clear(); }

  void savesAsTextAndRestores() {
    {
      QWidget w;
      w.setObjectName(QStringLiteral("Form1"));
      w.setGeometry(60, 70, 400, 300);
      QFont f = w.font();
      f.setPixelSize(11);
      w.setFont(f);
      w.show();
      WindowGeometryStore save(&w);
      save.SavePositions();
    }
    QSettings s = Settings();
    s.beginGroup(QStringLiteral("Form1"));
    for (const char* key : {"Left", "Top", "Width", "Height", "Visible", "Font", "FontSize"})
      QVERIFY2(s.contains(QLatin1String(key)), key);
    QCOMPARE(s.value(QStringLiteral("Width")).toString(), QStringLiteral("400"));
    QCOMPARE(s.value(QStringLiteral("Height")).toString(), QStringLiteral("300"));
    QCOMPARE(s.value(QStringLiteral("Visible")).toString(), QStringLiteral("1"));
    QCOMPARE(s.value(QStringLiteral("FontSize")).toString(), QStringLiteral("-11"));
    s.endGroup();

    QWidget again;
    again.setObjectName(QStringLiteral("Form1"));
    again.setGeometry(0, 0, 100, 100);
    WindowGeometryStore restore(&again);
    restore.RestorePositions(true, true);
    QCOMPARE(again.size(), QSize(400, 300));
    QCOMPARE(QFontInfo(again.font()).pixelSize(), 11);
  }

  void invalidValuesAreIgnored() {
    QSettings s = Settings();
    s.beginGroup(QStringLiteral("Form1"));
    s.setValue(QStringLiteral("Left"), QStringLiteral("abc"));
    s.setValue(QStringLiteral("Top"), QStringLiteral("45"));
    s.setValue(QStringLiteral("Width"), QStringLiteral("-5"));
    s.setValue(QStringLiteral("Height"), QStringLiteral("12x"));
    s.endGroup();
    s.sync();
    QWidget w;
    w.setObjectName(QStringLiteral("Form1"));
    w.move(52, 39);
    w.resize(398, 332);
    WindowGeometryStore restore(&w);
    restore.RestorePositions(true, true);
    QCOMPARE(w.pos(), QPoint(52, 45));
    QCOMPARE(w.size(), QSize(398, 332));
  }

  void firstStartKeepsTheDesign() {
    QWidget w;
    w.setObjectName(QStringLiteral("Form1"));
    w.move(52, 39);
    w.resize(398, 332);
    WindowGeometryStore restore(&w);
    restore.RestorePositions(true, true);
    QCOMPARE(w.pos(), QPoint(52, 39));
    QCOMPARE(w.size(), QSize(398, 332));
    QVERIFY(!Settings().childGroups().contains(QStringLiteral("Form1")));
  }

  void listedControlsAreSavedWithTheirNames() {
    QWidget w;
    w.setObjectName(QStringLiteral("Form1"));
    w.resize(300, 200);
    auto* tree = new QWidget(&w);
    tree->setObjectName(QStringLiteral("TreeView1"));
    tree->setGeometry(0, 0, 153, 180);
    auto* other = new QWidget(&w);
    other->setObjectName(QStringLiteral("Other"));
    w.show();
    WindowGeometryStore save(&w);
    save.ImportantComponents = QStringList{QStringLiteral("TreeView1")};
    save.SavePositions();
    QSettings s = Settings();
    QCOMPARE(s.value(QStringLiteral("Form1/TreeView1Width")).toString(), QStringLiteral("153"));
    QVERIFY(!s.contains(QStringLiteral("Form1/OtherWidth")));
    tree->setGeometry(0, 0, 10, 10);
    save.RestorePositions(true, false);
    QCOMPARE(tree->width(), 153);
  }

  static void Store(const QString& group, int left, int top, int width, int height) {
    QSettings s = Settings();
    s.beginGroup(group);
    s.setValue(QStringLiteral("Left"), QString::number(left));
    s.setValue(QStringLiteral("Top"), QString::number(top));
    s.setValue(QStringLiteral("Width"), QString::number(width));
    s.setValue(QStringLiteral("Height"), QString::number(height));
    s.endGroup();
    s.sync();
  }

  // A size saved on a larger screen (or at a smaller scale factor) is shrunk
  // to the screen the window opens on, and the window is moved so that its
  // top edge, where the title bar is, lies on that screen.
  void aSavedSizeLargerThanTheScreenIsShrunkToFit() {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    Store(QStringLiteral("Form1"), area.left() + area.width() / 2, area.top() + area.height() / 2, area.width() * 2,
          area.height() * 2);
    QWidget w;
    w.setObjectName(QStringLiteral("Form1"));
    WindowGeometryStore restore(&w);
    restore.PlatformName = QStringLiteral("xcb");
    restore.RestorePositions(true, true);
    QVERIFY2(w.width() <= area.width() && w.height() <= area.height(),
             qPrintable(QStringLiteral("%1x%2").arg(w.width()).arg(w.height())));
    QCOMPARE(w.size(), area.size());
    QVERIFY(area.contains(w.pos()));
    QVERIFY(area.contains(QRect(w.pos(), w.size())));

    // A size that fits but would hang off the right and bottom edges: the
    // size is kept and the window moves back onto the screen.
    Store(QStringLiteral("Form1"), area.right() - 50, area.bottom() - 40, area.width() / 2, area.height() / 2);
    WindowGeometryStore again(&w);
    again.PlatformName = QStringLiteral("xcb");
    again.RestorePositions(true, true);
    QCOMPARE(w.size(), QSize(area.width() / 2, area.height() / 2));
    QVERIFY(area.contains(QRect(w.pos(), w.size())));

    // Above the screen's top: the title bar comes back down to where it can be taken.
    Store(QStringLiteral("Form1"), area.left() + 10, area.top() - 200, 300, 250);
    WindowGeometryStore above(&w);
    above.PlatformName = QStringLiteral("xcb");
    above.RestorePositions(true, true);
    QCOMPARE(w.pos(), QPoint(area.left() + 10, area.top()));
    QCOMPARE(w.size(), QSize(300, 250));

    // Values at the ends of the number range end on the screen too.
    Store(QStringLiteral("Form1"), 2147483647, -2147483647, 2147483647, 2147483647);
    WindowGeometryStore extreme(&w);
    extreme.PlatformName = QStringLiteral("xcb");
    extreme.RestorePositions(true, true);
    QCOMPARE(w.size(), area.size());
    QVERIFY(area.contains(QRect(w.pos(), w.size())));
  }

  // Where programs cannot place their windows, positions are neither saved
  // (they would read as 0,0) nor applied; sizes are, and the positions saved
  // on another desktop stay for it.
  void waylandKeepsSizesAndLeavesPlacementAlone() {
    Store(QStringLiteral("Form1"), 120, 90, 400, 300);
    QWidget w;
    w.setObjectName(QStringLiteral("Form1"));
    w.move(52, 39);
    w.resize(100, 100);
    WindowGeometryStore restore(&w);
    restore.PlatformName = QStringLiteral("wayland-egl");
    restore.RestorePositions(true, true);
    QCOMPARE(w.size(), QSize(400, 300));
    QCOMPARE(w.pos(), QPoint(52, 39));

    w.move(0, 0);
    w.resize(500, 320);
    w.show();
    restore.SavePositions();
    QSettings s = Settings();
    s.beginGroup(QStringLiteral("Form1"));
    QCOMPARE(s.value(QStringLiteral("Left")).toString(), QStringLiteral("120"));
    QCOMPARE(s.value(QStringLiteral("Top")).toString(), QStringLiteral("90"));
    QCOMPARE(s.value(QStringLiteral("Width")).toString(), QStringLiteral("500"));
    QCOMPARE(s.value(QStringLiteral("Height")).toString(), QStringLiteral("320"));
    s.endGroup();

    // The same values on a desktop that places windows: the position applies.
    QWidget x11;
    x11.setObjectName(QStringLiteral("Form1"));
    WindowGeometryStore elsewhere(&x11);
    elsewhere.PlatformName = QStringLiteral("xcb");
    elsewhere.RestorePositions(true, true);
    QCOMPARE(x11.pos(), QPoint(120, 90));
    QCOMPARE(x11.size(), QSize(500, 320));
  }

  void aWidgetInsideAWindowIsNotAnOwner() {
    QWidget w;
    auto* child = new QWidget(&w);
    child->setObjectName(QStringLiteral("Form1"));
    WindowGeometryStore save(child);
    save.SavePositions();
    QVERIFY(Settings().allKeys().isEmpty());
  }
};

QTEST_MAIN(TestWindowPos)
#include "tst_window_pos.moc"
