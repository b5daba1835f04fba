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

  // Draws the model's state: shows the dialog (modal, without a local event
  // loop) while the model is shown, and closes it once the model has ended.
  // A transfer that ended before the UI got here never shows.
  void Sync(StatusDialog& dialog);
  StatusDialog* Model() const { return m_model; }

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
};

}  // namespace corvane
