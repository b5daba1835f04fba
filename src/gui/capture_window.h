#pragma once
// CaptureWindow, the "Screen capture" window: shows a captured device screen inside
// an optional black frame with a white margin, and puts the framed picture
// on the clipboard every time it is drawn.
#include <QImage>
#include <QMainWindow>
#include <QString>

#include <array>
#include <functional>

class QAction;
class QLabel;
class QMenu;

namespace corvane {

// The framed picture: W = picture + 2 (border + space) wide, likewise high;
// white, with a black band `borderWidth` pixels wide along each edge (a
// one-pixel line along the left and top edges for width 0), the picture at
// (border + space, border + space). With the border hidden, border and
// space count as 0 and the picture covers everything.
QImage FramePicture(const QImage& picture, bool visible, int borderWidth, int space);

class CaptureWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit CaptureWindow(QWidget* parent = nullptr);

  // Remembers the path and draws the picture from it. On a file that cannot
  // be read as a bitmap, shows the reader's error and leaves the window,
  // its picture and the clipboard as they were; returns false.
  bool ShowBitmap(const QString& path);
  // Reloads the remembered file and draws it framed (every menu change does).
  bool Redraw();
  // Writes the framed picture as PNG or BMP (by the name's suffix).
  bool SaveFramedTo(const QString& path);

  // "New Screen": the main window's screen capture command.
  std::function<void()> OnNewScreen;

  QString CapturePath() const { return m_path; }
  int BorderWidth() const { return m_borderWidth; }
  int Spacing() const { return m_spacing; }
  bool BorderVisible() const;
  const QImage& Framed() const { return m_framed; }
  QLabel* Picture() const { return m_image; }

  QAction* CloseAction() const { return m_close; }
  QAction* NewScreenAction() const { return m_newScreen; }
  QAction* CopyAction() const { return m_copy; }
  QAction* SaveAsAction() const { return m_saveAs; }
  QAction* VisibleAction() const { return m_visible; }
  QAction* WidthAction(int value) const { return m_width.at(static_cast<size_t>(value)); }
  QAction* SpaceAction(int value) const { return m_space.at(static_cast<size_t>(value)); }

 private:
  void ChooseWidth(int value);
  void ChooseSpace(int value);
  void SaveAs();

  QString m_path;
  int m_borderWidth = 2;
  int m_spacing = 2;
  QImage m_framed;
  QLabel* m_image;
  QAction* m_close;
  QAction* m_newScreen;
  QAction* m_copy;
  QAction* m_saveAs;
  QAction* m_visible;
  std::array<QAction*, 10> m_width{};
  std::array<QAction*, 10> m_space{};
};

}  // namespace corvane
