// Window positions kept as text in the per-user settings.
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
