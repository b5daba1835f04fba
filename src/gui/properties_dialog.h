#pragma once
// The Properties dialog: names, total size and estimated download time of
// the entries selected in the main window's list.
#include <QDialog>

#include <cstdint>

class QLabel;
class QListWidget;
class QPushButton;

namespace corvane {

class PropertiesDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PropertiesDialog(QWidget* parent = nullptr);

  // Fills the three displays, then shows the dialog modally.
  void ShowProperties(const QString& names, int64_t totalBytes, int64_t seconds);
  // Fills the displays without showing (ShowProperties does this first).
  void Fill(const QString& names, int64_t totalBytes, int64_t seconds);

  QListWidget* NameList() const { return m_list; }
  QLabel* Size() const { return m_size; }
  QLabel* Time() const { return m_time; }

 signals:
  void shown();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void LayOut();

  QLabel* m_label1;
  QListWidget* m_list;
  QLabel* m_label2;
  QLabel* m_size;
  QLabel* m_label3;
  QLabel* m_time;
  QPushButton* m_close;
};

}  // namespace corvane
