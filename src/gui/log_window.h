#pragma once
// The log window: one entry per worker report, never cleared.
#include <QWidget>

class QPlainTextEdit;

namespace corvane {

class LogModel;

class LogWindow : public QWidget {
  Q_OBJECT

 public:
  // Shows every entry `log` already holds and every later one, from any thread.
  explicit LogWindow(LogModel& log, QWidget* parent = nullptr);
  ~LogWindow() override;
  QPlainTextEdit* TextArea() const { return m_memo; }

 private:
  void AppendEntry(const QString& text);

  LogModel& m_log;
  QPlainTextEdit* m_memo;
};

}  // namespace corvane
