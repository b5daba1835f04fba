#pragma once
// MandelbrotWindow, the hidden "Easter Egg" window: the Mandelbrot viewer on the left,
// a shaded torus turning on the right while the window is shown.
#include <QDialog>
#include <QTimer>

#include <array>

#include "gui/indexed_bitmap.h"
#include "gui/transform_matrix.h"

namespace corvane {

class MandelbrotPanel;

class MandelbrotWindow : public QDialog {
  Q_OBJECT

 public:
  explicit MandelbrotWindow(QWidget* parent = nullptr);

  MandelbrotPanel* Pannel() const { return m_pannel; }
  const std::array<float, 3>& Angles() const { return m_angles; }
  bool Animating() const { return m_timer.isActive(); }
  const IndexedBitmap& TorusBitmap() const { return m_dib; }
  const TorusModel& Torus() const { return m_torus; }

  // Draws one frame of the torus and turns it a step further.
  void StepTorus();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  static constexpr int kTorusX = 328;
  static constexpr int kTorusY = 8;

  MandelbrotPanel* m_pannel;
  IndexedBitmap m_dib;
  TransformMatrix m_matrix;
  TorusModel m_torus;
  std::array<float, 3> m_angles{0, 0, 0};
  QTimer m_timer;  // paced by the screen's refresh rate
};

}  // namespace corvane
