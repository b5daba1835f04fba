#include "gui/address_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include "gui/dialog_placement.h"

namespace corvane {

AddressDialog::AddressDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Form9"));
  setWindowTitle(QStringLiteral("Network Address"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  m_label = new QLabel(QStringLiteral("Please enter TCP/IP address"), this);
  m_label->setObjectName(QStringLiteral("Label1"));
  m_edit = new QLineEdit(QStringLiteral("127.0.0.1"), this);
  m_edit->setObjectName(QStringLiteral("Edit1"));
  m_ok = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), tr("OK"), this);
  m_ok->setObjectName(QStringLiteral("BitBtn2"));
  m_ok->setDefault(true);
  m_cancel = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), tr("Cancel"), this);
  m_cancel->setObjectName(QStringLiteral("BitBtn1"));
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
  setTabOrder(m_edit, m_cancel);
  setTabOrder(m_cancel, m_ok);

  // The designed layout, widened only where this desktop's font needs room.
  const int labelWidth = m_label->sizeHint().width();
  const int width = std::max(164, 16 + labelWidth + 8);
  const int rowHeight = std::max(25, m_ok->sizeHint().height());
  const int editHeight = std::max(21, m_edit->sizeHint().height());
  m_label->setGeometry(16, 0, labelWidth, 24);
  m_edit->setGeometry(16, 24, std::max(121, width - 43), editHeight);
  const int rowTop = 24 + editHeight + 8;
  const int buttonWidth = std::max(75, std::max(m_ok->sizeHint().width(), m_cancel->sizeHint().width()));
  m_ok->setGeometry(0, rowTop, buttonWidth, rowHeight);
  m_cancel->setGeometry(std::max(88, buttonWidth + 13), rowTop, buttonWidth, rowHeight);
  setFixedSize(std::max(width, m_cancel->geometry().right() + 1), std::max(79, rowTop + rowHeight));
}

bool AddressDialog::AskAddress(std::string& address) {
  const bool ok = exec() == Accepted;
  address = m_edit->text().toStdString();
  return ok;
}

void AddressDialog::showEvent(QShowEvent* event) {
  CentreOnParentWindow(this);
  QDialog::showEvent(event);
  m_edit->setFocus();
  m_edit->selectAll();
  QTimer::singleShot(0, this, [this] {
    if (isVisible()) emit shown();
  });
}

}  // namespace corvane
