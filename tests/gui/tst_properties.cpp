// The Properties texts and estimate, and the dialog that shows them.
#include <QLabel>
#include <QListWidget>
#include <QTest>

#include "gui/properties_dialog.h"
#include "gui/transfer_estimate.h"

using namespace corvane;

class TestProperties : public QObject {
  Q_OBJECT

 private slots:
  void sizeTexts() {
    QCOMPARE(SizeText(0), std::string("0B"));
    QCOMPARE(SizeText(1024), std::string("1024B"));
    QCOMPARE(SizeText(1025), std::string("1KB"));
    QCOMPARE(SizeText(2047), std::string("1KB"));
    QCOMPARE(SizeText(2048), std::string("2KB"));
    QCOMPARE(SizeText(100000), std::string("97KB"));
    // Past what 32 bits hold: 5 GiB.
    QCOMPARE(SizeText(int64_t{5} << 30), std::string("5242880KB"));
  }

  void timeTexts() {
    QCOMPARE(TimeText(0), std::string("1mn : 0s"));
    QCOMPARE(TimeText(59), std::string("1mn : 0s"));
    QCOMPARE(TimeText(60), std::string("1mn : 0s"));
    QCOMPARE(TimeText(125), std::string("2mn : 5s"));
    QCOMPARE(TimeText(3800), std::string("63mn : 20s"));
  }

  void estimates() {
    QCOMPARE(EstimateSeconds(100000, 9600), int64_t{104});
    QCOMPARE(TimeText(EstimateSeconds(100000, 9600)), std::string("1mn : 44s"));
    QCOMPARE(EstimateSeconds(100000, 115200), int64_t{8});
    QCOMPARE(EstimateSeconds(100000, 19200), int64_t{52});
    // 3 GiB at 9600 baud: the total alone overflows 32 bits.
    QCOMPARE(EstimateSeconds(int64_t{3} << 30, 9600), int64_t{3355443});
    QCOMPARE(EstimateSeconds(1000, 0), int64_t{0});
  }

  void theDialogShowsNamesAndTexts() {
    PropertiesDialog form;
    form.Fill(QStringLiteral("one\ntwo\n"), 100000, 104);
    QCOMPARE(form.windowTitle(), QStringLiteral("Properties"));
    QCOMPARE(form.NameList()->count(), 2);
    QCOMPARE(form.NameList()->item(1)->text(), QStringLiteral("two"));
    QCOMPARE(form.Size()->text(), QStringLiteral("97KB"));
    QCOMPARE(form.Time()->text(), QStringLiteral("1mn : 44s"));
    QVERIFY(form.width() >= 317 && form.height() >= 137);
    // The longest time text fits its label.
    form.Fill(QStringLiteral("x\n"), 0, 59999);
    QVERIFY(form.Time()->fontMetrics().horizontalAdvance(form.Time()->text()) <= form.Time()->width());
  }
};

QTEST_MAIN(TestProperties)
#include "tst_properties.moc"
