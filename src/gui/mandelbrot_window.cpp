#include "gui/mandelbrot_window.h"

#include <QPainter>
#include <QScreen>

#include <cmath>

#include "gui/mandelbrot_view.h"

namespace corvane {

MandelbrotWindow::MandelbrotWindow(QWidget* parent) : QDialog(parent), m_pannel(new MandelbrotPanel(this)) {
  setObjectName(QStringLiteral("Form8"));
  setWindowTitle(tr("Easter Egg"));
  setFixedSize(kTorusX + 224 + 8, 248);
  m_pannel->move(2, 4);
  m_dib.SetWidth(224);
  m_dib.SetHeight(224);
  for (int i = 10; i <= 137; ++i)
    m_dib.SetPaletteColor(i, static_cast<uint32_t>(2 * (i - 10)) << 16);
  m_dib.SetPaletteColor(138, 0xFFFFFF);
  m_dib.Fill(138);
  m_torus.Build();
  m_timer.setTimerType(Qt::PreciseTimer);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    StepTorus();
    update(kTorusX, kTorusY, m_dib.Width(), m_dib.Height());
  });
}

void MandelbrotWindow::StepTorus() {
  m_matrix.Identity();
  m_matrix.Rotate(m_angles[0], m_angles[1], m_angles[2]);
  m_matrix.Scale(1, 1, 1);
  m_matrix.Translate(112, 112, 0);
  m_torus.Draw(m_matrix, m_dib);
  m_angles[0] += 0.02f;
  m_angles[1] += 0.03f;
  m_angles[2] += 0.04f;
}

void MandelbrotWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  m_torus.Build();
  m_angles = {0, 0, 0};
  StepTorus();
  // One frame per screen refresh, rather than every idle moment.
  double hz = 60;
  if (const QScreen* s = screen(); s != nullptr && s->refreshRate() >= 1) hz = s->refreshRate();
  m_timer.start(std::max(1, static_cast<int>(std::lround(1000.0 / hz))));
}

void MandelbrotWindow::hideEvent(QHideEvent* event) {
  m_timer.stop();
  QDialog::hideEvent(event);
}

void MandelbrotWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  m_dib.DrawAt(painter, kTorusX, kTorusY);
}

}  // namespace corvane
