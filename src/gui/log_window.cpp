#include "gui/log_window.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include "gui/message_box.h"
#include "session/status_dialog.h"

namespace corvane {

LogWindow::LogWindow(LogModel& log, QWidget* parent) : QWidget(parent, Qt::Window), m_log(log) {
  setObjectName(QStringLiteral("Form4"));
  setWindowTitle(QStringLiteral("Form4"));
  m_memo = new QPlainTextEdit(this);
  m_memo->setObjectName(QStringLiteral("Memo1"));
  m_memo->setReadOnly(true);
  m_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_memo);
  setGeometry(8, 145, 329, 366);
  for (const auto& entry : log.Entries()) AppendEntry(MessageText(entry));
  QPointer<LogWindow> self(this);
  log.OnAppend = [self](const std::string& text) {
    const QString line = MessageText(text);
    auto append = [self, line] {
      if (self) self->AppendEntry(line);
    };
    if (QThread::currentThread() == qApp->thread())
      append();
    else
      QMetaObject::invokeMethod(qApp, append, Qt::QueuedConnection);
  };
}

LogWindow::~LogWindow() { m_log.OnAppend = nullptr; }

void LogWindow::AppendEntry(const QString& text) {
  // An entry with line breaks (a progress text) shows as several lines.
  m_memo->appendPlainText(text);
}

}  // namespace corvane
