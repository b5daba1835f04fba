#include "gui/transfer_dialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <climits>

#include "gui/dialog_placement.h"
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

TransferDialog::~TransferDialog() = default;

void TransferDialog::Sync(StatusDialog& dialog) {
  m_model = &dialog;
  ++m_updates;
  const StatusDialog::State state = dialog.Snapshot();
  if (state.shown) {
    Draw();
    if (!isVisible()) {
      show();
      m_timer->start();
    }
  } else if (isVisible()) {
    m_timer->stop();
    done(state.result == StatusDialog::Result::kOk ? Accepted : Rejected);
  }
}

void TransferDialog::Draw() {
  const StatusDialog::State d = m_model->Snapshot();
  setWindowTitle(MessageText(d.caption));
  m_label->setText(MessageText(d.label));
  // The bar counts in int: scale 64-bit positions down to per mille when needed.
  int64_t max = d.max > 0 ? d.max : 1;
  int64_t pos = d.position < 0 ? 0 : (d.position > max ? max : d.position);
  if (max > INT_MAX) {
    pos = pos / (max / 1000);
    max = 1000;
    if (pos > max) pos = max;
  }
  m_progress->setRange(0, static_cast<int>(max));
  m_progress->setValue(static_cast<int>(pos));
  m_cancel->setVisible(d.cancelVisible);
  m_cancel->setEnabled(d.cancelEnabled);
}

void TransferDialog::reject() {
  // Escape, the Cancel button and the close box all end up here; the model
  // refuses while Cancel is disabled, and then the dialog stays.
  if (m_model == nullptr || !m_model->Shown()) {
    QDialog::reject();
    return;
  }
  m_model->RequestCancel();  // closes the dialog through Sync() when accepted
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
  CentreOnParentWindow(this);
  QDialog::showEvent(event);
  QTimer::singleShot(0, this, [this] {
    if (isVisible()) emit shown();
  });
}

}  // namespace corvane
