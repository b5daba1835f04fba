#include "gui/transfer_dialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <climits>

#include "gui/message_box.h"
#include "session/status_dialog.h"

namespace corvane {

TransferDialog::TransferDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Form6"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);
  m_label = new QLabel(this);
  m_label->setObjectName(QStringLiteral("Label1"));
  m_label->setGeometry(30, 10, 198, 70);
  m_label->setAlignment(Qt::AlignCenter);
  m_label->setWordWrap(true);
  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("ProgressBar2"));
  m_progress->setGeometry(30, 79, 198, 13);
  m_progress->setRange(0, 100);
  m_progress->setTextVisible(false);
  m_cancel = new QPushButton(tr("Cancel"), this);
  m_cancel->setObjectName(QStringLiteral("BitBtn1"));
  m_cancel->setGeometry(79, 98, 92, 31);
  m_cancel->setAutoDefault(false);
  connect(m_cancel, &QPushButton::clicked, this, &TransferDialog::reject);
  setFixedSize(256, 135);
  m_timer = new QTimer(this);
  m_timer->setObjectName(QStringLiteral("Timer1"));
  m_timer->setInterval(1000);
  connect(m_timer, &QTimer::timeout, this, [this] { update(); });
}

TransferDialog::~TransferDialog() { Detach(); }

void TransferDialog::Detach() {
  if (m_model != nullptr) m_model->OnChange = nullptr;
  m_model = nullptr;
}

void TransferDialog::Run(StatusDialog& dialog) {
  if (m_model != &dialog) {
    Detach();
    m_model = &dialog;
    dialog.OnChange = [this] { Sync(); };
  }
  Sync();
  if (dialog.Ended() || !dialog.Shown()) return;
  m_timer->start();
  exec();
  m_timer->stop();
}

void TransferDialog::Sync() {
  if (m_model == nullptr) return;
  const StatusDialog& d = *m_model;
  setWindowTitle(MessageText(d.Caption()));
  m_label->setText(MessageText(d.Label()));
  // The bar counts in int: scale 64-bit positions down to per mille when needed.
  int64_t max = d.ProgressMax() > 0 ? d.ProgressMax() : 1;
  int64_t pos = d.ProgressPosition() < 0 ? 0 : (d.ProgressPosition() > max ? max : d.ProgressPosition());
  if (max > INT_MAX) {
    pos = pos / (max / 1000);
    max = 1000;
    if (pos > max) pos = max;
  }
  m_progress->setRange(0, static_cast<int>(max));
  m_progress->setValue(static_cast<int>(pos));
  m_cancel->setVisible(d.CancelVisible());
  m_cancel->setEnabled(d.CancelEnabled());
  if (d.Ended() && isVisible()) done(d.GetResult() == StatusDialog::Result::kOk ? Accepted : Rejected);
}

void TransferDialog::reject() {
  // Escape, the Cancel button and the close box all end up here; the model
  // refuses while Cancel is disabled, and then the dialog stays.
  if (m_model == nullptr || !m_model->Shown()) {
    QDialog::reject();
    return;
  }
  m_model->RequestCancel();  // ends the dialog through Sync() when accepted
}

void TransferDialog::closeEvent(QCloseEvent* event) {
  if (m_model != nullptr && m_model->Shown()) {
    event->ignore();
    m_model->RequestCancel();
    return;
  }
  QDialog::closeEvent(event);
}

void TransferDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  QTimer::singleShot(0, this, [this] {
    if (isVisible()) emit shown();
  });
}

}  // namespace corvane
