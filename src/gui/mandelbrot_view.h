#pragma once
// MandelbrotView draws the Mandelbrot set for a view rectangle into a 320 x 200
// indexed bitmap and lets the user zoom by dragging a rectangle;
// MandelbrotPanel frames it with its timing label and Reset / Zoom / About.
#include <QString>
#include <QWidget>

#include <functional>

#include "gui/indexed_bitmap.h"

class QLabel;
class QPushButton;

namespace corvane {

// Palette index of c = x + iy: 10 + the number of updates z = z^2 + c made
// from z = c before |z|^2 reaches 4, at most 100 (so 10..110).
int MandelIndex(long double x, long double y);

// Draws the view (x1, y1)-(x2, y2) into dib: row r from the bottom has
// imaginary part y1 + r (y2 - y1) / height, column c real part
// x1 + c (x2 - x1) / width, both reached by repeated addition.
void DrawMandel(IndexedBitmap& dib, long double x1, long double y1, long double x2, long double y2);

// The viewer's palette: 10..19 blue, 20..59 green, 60..110 red ramps.
void SetMandelPalette(IndexedBitmap& dib);

// The timing text: the first 7 characters of the seconds, "s", and for the
// whole-set view a blank, the first 5 characters of the cycles per loop and
// " cycles per loop".
QString MandelTimingText(double seconds, bool wholeSet, double processorSpeed);

class MandelbrotView : public QWidget {
  Q_OBJECT

 public:
  explicit MandelbrotView(QWidget* parent = nullptr);

  double X1() const { return m_x1; }
  double Y1() const { return m_y1; }
  double X2() const { return m_x2; }
  double Y2() const { return m_y2; }
  // Setting any corner draws again.
  void SetX1(double v);
  void SetY1(double v);
  void SetX2(double v);
  void SetY2(double v);
  void SetView(double x1, double y1, double x2, double y2);

  // Clock rate used for the cycles-per-loop figure (Hz).
  double ProcesseurSpd() const { return m_processorSpeed; }
  QString SpdCalcul() const { return m_spdCalcul; }
  bool Selecting() const { return m_selecting; }
  const IndexedBitmap& Bitmap() const { return m_dib; }

  void ResetView();
  void ZoomIn(double factor);
  void Recalc();

  // Called after each drawing and after each paint.
  std::function<void()> OnRecalc;
  std::function<void()> OnPaint;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  IndexedBitmap m_dib;
  double m_x1 = -2, m_y1 = -1, m_x2 = 1, m_y2 = 1;
  double m_processorSpeed = 1e9;
  QString m_spdCalcul;
  bool m_selecting = false;
  int m_cornerX = -1, m_cornerY = -1, m_pointX = -1, m_pointY = -1;
};

class MandelbrotPanel : public QWidget {
  Q_OBJECT

 public:
  explicit MandelbrotPanel(QWidget* parent = nullptr);

  MandelbrotView* Mandel() const { return m_mandel; }
  QLabel* TimingLabel() const { return m_label; }
  QPushButton* ResetButton() const { return m_reset; }
  QPushButton* ZoomButton() const { return m_zoom; }
  QPushButton* AboutButton() const { return m_about; }

 private:
  MandelbrotView* m_mandel;
  QLabel* m_label;
  QPushButton* m_reset;
  QPushButton* m_zoom;
  QPushButton* m_about;
};

}  // namespace corvane
