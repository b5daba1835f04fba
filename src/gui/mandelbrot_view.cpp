#include "gui/mandelbrot_view.h"

#include <QFile>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>

#include "gui/message_box.h"

namespace corvane {

namespace {

constexpr int kMaxUpdates = 100;
// Loop count of the whole-set view at 320 x 200, the yardstick of the figure.
constexpr double kLoopsOfWholeSet = 1943345.0;

// The processor's clock from /proc/cpuinfo; the nanosecond clock's rate when unknown.
double ReadProcessorSpeed() {
  QFile file(QStringLiteral("/proc/cpuinfo"));
  if (file.open(QIODevice::ReadOnly)) {
    static const QRegularExpression mhz(QStringLiteral("^cpu MHz\\s*:\\s*([0-9.]+)"),
                                        QRegularExpression::MultilineOption);
    const auto match = mhz.match(QString::fromLatin1(file.readAll()));
    bool ok = false;
    const double value = match.hasMatch() ? match.captured(1).toDouble(&ok) : 0;
    if (ok && value > 0) return value * 1e6;
  }
  return 1e9;
}

}  // namespace

int MandelIndex(long double x, long double y) {
  long double zx = x, zy = y;
  int updates = 0;
  while (updates < kMaxUpdates) {
    if (zx * zx + zy * zy >= 4) break;
    const long double nx = zx * zx - zy * zy + x;
    zy = 2 * zx * zy + y;
    zx = nx;
    ++updates;
  }
  return 10 + updates;
}

void DrawMandel(IndexedBitmap& dib, long double x1, long double y1, long double x2, long double y2) {
  const int w = dib.Width(), h = dib.Height();
  if (w <= 0 || h <= 0) return;
  const long double dx = (x2 - x1) / w, dy = (y2 - y1) / h;
  long double y = y1;
  for (int r = 0; r < h; ++r, y += dy) {
    long double x = x1;
    for (int c = 0; c < w; ++c, x += dx) dib.SetPixel(c, r, static_cast<uint8_t>(MandelIndex(x, y)));
  }
}

void SetMandelPalette(IndexedBitmap& dib) {
  for (int i = 10; i <= 19; ++i) dib.SetPaletteColor(i, static_cast<uint32_t>(25 * (i - 10)));
  for (int i = 20; i <= 59; ++i) dib.SetPaletteColor(i, static_cast<uint32_t>(6 * (i - 20)) << 8);
  for (int i = 60; i <= 110; ++i) dib.SetPaletteColor(i, static_cast<uint32_t>(5 * (i - 60)) << 16);
}

QString MandelTimingText(double seconds, bool wholeSet, double processorSpeed) {
  QString text = QString::number(seconds, 'g', 15).left(7) + QStringLiteral("s");
  if (wholeSet) {
    text += QStringLiteral(" ") +
            QString::number(seconds * processorSpeed / kLoopsOfWholeSet, 'g', 15).left(5) +
            QStringLiteral(" cycles per loop");
  }
  return text;
}

MandelbrotView::MandelbrotView(QWidget* parent) : QWidget(parent), m_processorSpeed(ReadProcessorSpeed()) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  SetMandelPalette(m_dib);
  resize(320, 200);
  m_dib.SetWidth(320);
  m_dib.SetHeight(200);
  Recalc();  // the first picture is ready before the window is ever shown
}

void MandelbrotView::SetX1(double v) { SetView(v, m_y1, m_x2, m_y2); }
void MandelbrotView::SetY1(double v) { SetView(m_x1, v, m_x2, m_y2); }
void MandelbrotView::SetX2(double v) { SetView(m_x1, m_y1, v, m_y2); }
void MandelbrotView::SetY2(double v) { SetView(m_x1, m_y1, m_x2, v); }

void MandelbrotView::SetView(double x1, double y1, double x2, double y2) {
  m_x1 = x1;
  m_y1 = y1;
  m_x2 = x2;
  m_y2 = y2;
  Recalc();
}

void MandelbrotView::ResetView() {
  m_selecting = false;
  m_cornerX = m_cornerY = m_pointX = m_pointY = -1;
  SetView(-2, -1, 1, 1);
}

void MandelbrotView::ZoomIn(double factor) {
  if (factor <= 0) return;
  const double cx = (m_x1 + m_x2) / 2, cy = (m_y1 + m_y2) / 2;
  const double hw = (m_x2 - m_x1) / (2 * factor), hh = (m_y2 - m_y1) / (2 * factor);
  SetView(cx - hw, cy - hh, cx + hw, cy + hh);
}

void MandelbrotView::Recalc() {
  if (m_dib.Width() < 10 || m_dib.Height() < 10) return;
  const auto start = std::chrono::steady_clock::now();
  DrawMandel(m_dib, m_x1, m_y1, m_x2, m_y2);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const bool wholeSet = m_x1 == -2 && m_y1 == -1 && m_x2 == 1 && m_y2 == 1;
  m_spdCalcul = MandelTimingText(seconds, wholeSet, m_processorSpeed);
  if (OnRecalc) OnRecalc();
  update();
}

void MandelbrotView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  m_dib.DrawAt(painter, 0, 0);
  if (m_selecting && m_pointX >= 0) {
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(QPoint(m_cornerX, m_cornerY), QPoint(m_pointX, m_pointY)).normalized());
  }
  if (OnPaint) OnPaint();
}

void MandelbrotView::resizeEvent(QResizeEvent*) {
  const int w = width() - width() % 4;
  if (w == m_dib.Width() && height() == m_dib.Height()) return;
  try {
    m_dib.SetWidth(w);
    m_dib.SetHeight(height());
  } catch (const IndexedBitmapError&) {
    return;  // cannot happen with a width rounded to 4; keep the old picture
  }
  Recalc();
}

void MandelbrotView::mousePressEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  if (event->button() == Qt::LeftButton) {
    m_cornerX = p.x();
    m_cornerY = p.y();
    m_pointX = m_pointY = -1;
    m_selecting = true;
  } else if (event->button() == Qt::RightButton) {
    m_selecting = false;
    m_cornerX = m_cornerY = m_pointX = m_pointY = -1;
    update();
  }
}

void MandelbrotView::mouseMoveEvent(QMouseEvent* event) {
  if (!m_selecting) return;
  const QPoint p = event->position().toPoint();
  m_pointX = p.x();
  m_pointY = p.y();
  update();
}

void MandelbrotView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !m_selecting) return;
  m_selecting = false;
  const QPoint p = event->position().toPoint();
  const int left = std::min(m_cornerX, p.x()), right = std::max(m_cornerX, p.x());
  const int top = std::min(m_cornerY, p.y()), bottom = std::max(m_cornerY, p.y());
  m_cornerX = m_cornerY = m_pointX = m_pointY = -1;
  // A click without a drag would shrink the view to nothing: keep the view.
  if (left == right || top == bottom || m_dib.Width() <= 0 || m_dib.Height() <= 0) {
    update();
    return;
  }
  const double w = m_dib.Width(), h = m_dib.Height();
  const double x1 = m_x1 + (m_x2 - m_x1) * left / w;
  const double x2 = m_x1 + (m_x2 - m_x1) * right / w;
  // Screen rows run downwards, imaginary parts upwards.
  const double y1 = m_y1 + (m_y2 - m_y1) * (h - bottom - 1) / h;
  const double y2 = m_y1 + (m_y2 - m_y1) * (h - top - 1) / h;
  SetView(x1, y1, x2, y2);
}

MandelbrotPanel::MandelbrotPanel(QWidget* parent)
    : QWidget(parent),
      m_mandel(new MandelbrotView(this)),
      m_label(new QLabel(this)),
      m_reset(new QPushButton(tr("Reset"), this)),
      m_zoom(new QPushButton(tr("Zoom"), this)),
      m_about(new QPushButton(tr("About"), this)) {
  setFixedSize(322, 240);
  m_mandel->setGeometry(1, 1, 320, 200);
  m_label->setGeometry(1, 225, 320, 13);
  m_label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  QFont small = m_label->font();
  if (small.pointSizeF() > 1) small.setPointSizeF(small.pointSizeF() - 1);
  m_label->setFont(small);
  m_label->setText(m_mandel->SpdCalcul());
  int k = 0;
  for (QPushButton* button : {m_reset, m_zoom, m_about}) {
    button->setGeometry(10 + 112 * k++, 205, 75, 15);
    button->setFocusPolicy(Qt::TabFocus);
  }
  m_mandel->OnRecalc = [this] { m_label->setText(m_mandel->SpdCalcul()); };
  connect(m_reset, &QPushButton::clicked, this, [this] { m_mandel->ResetView(); });
  connect(m_zoom, &QPushButton::clicked, this, [this] { m_mandel->ZoomIn(2); });
  connect(m_about, &QPushButton::clicked, this, [this] {
    ShowMessageBox(this, tr("About"),
                   tr("Mandelbrot set viewer\n"
                      "drawn in 8-bit colour, computed in extended precision.\n"
                      "Part of the Corvane Connectivity Kit.\n\n"
                      "Use Drag&drop to zoom"),
                   MessageKind::kInformation);
  });
}

}  // namespace corvane
