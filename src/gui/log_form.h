#pragma once
// The log window: one entry per worker report, never cleared.
#include <QWidget>

class QPlainTextEdit;

namespace corvane {

class LogModel;

class TForm4 : public QWidget {
  Q_OBJECT

 public:
  // Shows every entry `log` already holds and every later one, from any thread.
  explicit TForm4(LogModel& log, QWidget* parent = nullptr);
  ~TForm4() override;
  QPlainTextEdit* Memo1() const { return m_memo; }

 private:
  void AppendEntry(const QString& text);

  LogModel& m_log;
  QPlainTextEdit* m_memo;
};

}  // namespace corvane
