#pragma once
// The address prompt for a TCP/IP link. Created once and reused, so the last
// address entered stays for the rest of the run.
#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace corvane {

class AddressDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AddressDialog(QWidget* parent = nullptr);

  // Shows the prompt modally. `address` receives the edit's text however the
  // prompt closes; true only when it closed with OK. The prompt shows its own
  // last text, not `address`.
  bool AskAddress(std::string& address);

  QLineEdit* AddressEdit() const { return m_edit; }
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* CancelButton() const { return m_cancel; }

 signals:
  void shown();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* m_label;
  QLineEdit* m_edit;
  QPushButton* m_ok;
  QPushButton* m_cancel;
};

}  // namespace corvane
