// The address prompt: Enter confirms the edited text, Cancel and Escape do
// not, and the last text stays for the next time.
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "gui/address_dialog.h"

using namespace corvane;

class TestNetAddress : public QObject {
  Q_OBJECT

 private slots:
  void enterConfirmsAndTheTextStays() {
    AddressDialog form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Network Address"));
    connect(&form, &AddressDialog::shown, this, [&] {
      form.AddressEdit()->setText(QStringLiteral("10.0.0.7"));
      QTest::keyClick(form.AddressEdit(), Qt::Key_Return);
    });
    std::string address = "ignored";
    QVERIFY(form.AskAddress(address));
    QCOMPARE(address, std::string("10.0.0.7"));
  }

  void cancelAndEscapeGiveFalseWithTheEditedText() {
    AddressDialog form;
    bool escape = false;
    connect(&form, &AddressDialog::shown, this, [&] {
      if (!escape) {
        form.AddressEdit()->setText(QStringLiteral("192.168.1.9"));
        QTest::mouseClick(form.CancelButton(), Qt::LeftButton);
      } else {
        QTest::keyClick(&form, Qt::Key_Escape);
      }
    });
    std::string address;
    QVERIFY(!form.AskAddress(address));
    QCOMPARE(address, std::string("192.168.1.9"));
    escape = true;
    address.clear();
    QVERIFY(!form.AskAddress(address));
    // The prompt kept what was typed the time before.
    QCOMPARE(address, std::string("192.168.1.9"));
  }
};

QTEST_MAIN(TestNetAddress)
#include "tst_address_dialog.moc"
