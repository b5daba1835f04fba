#pragma once
// The transfer status dialog: draws the session's StatusDialog state (label,
// progress bar, Cancel) and hands the user's Cancel, Escape and close box to
// it. The rules of what each report does live in the model.
#include <QDialog>

#include <cstdint>

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

  // Draws the model's state: shows the dialog (modal, without a local event
  // loop) while the model is shown, and closes it once the model has ended.
  // A transfer that ended before the UI got here never shows.
  void Sync(StatusDialog& dialog);
  StatusDialog* Model() const { return m_model; }
  // How many times Sync has run: a command that changed it ran a transfer.
  uint64_t Updates() const { return m_updates; }

  QLabel* Label() const { return m_label; }
  QProgressBar* ProgressBar() const { return m_progress; }
  QPushButton* CancelButton() const { return m_cancel; }

 signals:
  // Emitted once the dialog is on screen.
  void shown();

 public slots:
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Draw();

  QLabel* m_label;
  QProgressBar* m_progress;
  QPushButton* m_cancel;
  QTimer* m_timer;
  StatusDialog* m_model = nullptr;
  uint64_t m_updates = 0;
};

}  // namespace corvane
