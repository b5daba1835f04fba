#pragma once
// The transfer status dialog: draws the session's StatusDialog state (label,
// progress bar, Cancel) and hands the user's Cancel, Escape and close box to
// it. The rules of what each report does live in the model.
#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace corvane {

class StatusDialog;

class TransferDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TransferDialog(QWidget* parent = nullptr);
  ~TransferDialog() override;

  // Shows the dialog modally until `dialog` has ended (returns at once when it
  // already has: the worker's last report may come before the dialog shows).
  void Run(StatusDialog& dialog);
  // Draws the model's state; ends the modal loop once the model has ended.
  void Sync();
  StatusDialog* Model() const { return m_model; }

  QLabel* Label1() const { return m_label; }
  QProgressBar* ProgressBar2() const { return m_progress; }
  QPushButton* BitBtn1() const { return m_cancel; }

 signals:
  // Emitted once the dialog is on screen and running its modal loop.
  void shown();

 public slots:
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Detach();

  QLabel* m_label;
  QProgressBar* m_progress;
  QPushButton* m_cancel;
  QTimer* m_timer;
  StatusDialog* m_model = nullptr;
};

}  // namespace corvane
