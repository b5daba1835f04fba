#include "gui/properties_dialog.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

#include "gui/transfer_estimate.h"
#include "gui/dialog_placement.h"

namespace corvane {

PropertiesDialog::PropertiesDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("Properties"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  m_label1 = new QLabel(QStringLiteral("File name(s)"), this);
  m_list = new QListWidget(this);
  m_list->setObjectName(QStringLiteral("ListBox1"));
  m_label2 = new QLabel(QStringLiteral("Total File size"), this);
  m_size = new QLabel(QStringLiteral("Size"), this);
  m_size->setObjectName(QStringLiteral("Size"));
  m_label3 = new QLabel(QStringLiteral("Estimated download time"), this);
  m_time = new QLabel(QStringLiteral("Time"), this);
  m_time->setObjectName(QStringLiteral("Time"));
  m_close = new QPushButton(QStringLiteral("Close"), this);
  m_close->setObjectName(QStringLiteral("Button1"));
  m_close->setDefault(true);
  connect(m_close, &QPushButton::clicked, this, &QDialog::accept);
  LayOut();
}

void PropertiesDialog::LayOut() {
  // The designed places (client area 317 x 137); the value column moves right
  // and the dialog widens only when this desktop's font needs the room.
  m_label1->setGeometry(8, 16, m_label1->sizeHint().width(), m_label1->sizeHint().height());
  m_list->setGeometry(8, 32, 105, 97);
  const int captionWidth = std::max(m_label2->sizeHint().width(), m_label3->sizeHint().width());
  const int valueLeft = std::max(256, 120 + captionWidth + 8);
  const int valueWidth = std::max({61, m_size->sizeHint().width(), m_time->sizeHint().width(),
                                   m_time->fontMetrics().horizontalAdvance(QStringLiteral("9999mn : 59s"))});
  m_label2->setGeometry(120, 16, captionWidth, m_label2->sizeHint().height());
  m_label3->setGeometry(120, 40, captionWidth, m_label3->sizeHint().height());
  m_size->setGeometry(valueLeft, 16, valueWidth, m_size->sizeHint().height());
  m_time->setGeometry(valueLeft, 40, valueWidth, m_time->sizeHint().height());
  const int width = std::max(317, valueLeft + valueWidth + 4);
  const int buttonHeight = std::max(25, m_close->sizeHint().height());
  m_close->setGeometry(width - 77, 104, 75, buttonHeight);
  setFixedSize(width, std::max(137, 104 + buttonHeight + 8));
}

void PropertiesDialog::Fill(const QString& names, int64_t totalBytes, int64_t seconds) {
  m_list->clear();
  QStringList lines = names.split(QLatin1Char('\n'));
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
  m_list->addItems(lines);
  m_size->setText(QString::fromStdString(SizeText(totalBytes)));
  m_time->setText(QString::fromStdString(TimeText(seconds)));
}

void PropertiesDialog::ShowProperties(const QString& names, int64_t totalBytes, int64_t seconds) {
  Fill(names, totalBytes, seconds);
  exec();
}

void PropertiesDialog::showEvent(QShowEvent* event) {
  CentreOnParentWindow(this);
  QDialog::showEvent(event);
  QTimer::singleShot(0, this, [this] {
    if (isVisible()) emit shown();
  });
}

}  // namespace corvane
