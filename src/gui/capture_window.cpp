#include "gui/capture_window.h"

#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>

#include "gui/message_box.h"

namespace corvane {

QImage FramePicture(const QImage& picture, bool visible, int borderWidth, int space) {
  const int b = visible ? borderWidth : 0;
  const int s = visible ? space : 0;
  const int w = picture.width() + 2 * s + 2 * b;
  const int h = picture.height() + 2 * s + 2 * b;
  QImage framed(w, h, QImage::Format_RGB32);
  framed.fill(Qt::white);
  QPainter p(&framed);
  // The outline of (0, 0)-(W + 1, H + 1) with a pen twice the width setting:
  // half of it falls inside, a band of the setting's width along each edge.
  if (borderWidth > 0) {
    p.fillRect(0, 0, w, borderWidth, Qt::black);
    p.fillRect(0, h - borderWidth, w, borderWidth, Qt::black);
    p.fillRect(0, 0, borderWidth, h, Qt::black);
    p.fillRect(w - borderWidth, 0, borderWidth, h, Qt::black);
  } else {
    p.fillRect(0, 0, w, 1, Qt::black);  // a thin line: only left and top are inside
    p.fillRect(0, 0, 1, h, Qt::black);
  }
  p.drawImage(b + s, b + s, picture);
  return framed;
}

CaptureWindow::CaptureWindow(QWidget* parent) : QMainWindow(parent), m_image(new QLabel(this)) {
  setObjectName(QStringLiteral("Form5"));
  setWindowTitle(tr("Screen capture"));
  setGeometry(226, 101, 248, 309);
  m_image->setObjectName(QStringLiteral("Image1"));
  m_image->setScaledContents(true);  // stretches when the user resizes the window
  m_image->setMinimumSize(1, 1);
  setCentralWidget(m_image);

  QMenuBar* bar = menuBar();
  m_close = bar->addAction(tr("Close"), this, &QWidget::hide);
  m_newScreen = bar->addAction(tr("New Screen"), this, [this] {
    if (OnNewScreen) OnNewScreen();
  });
  m_copy = bar->addAction(tr("Copy"), this, [this] {
    if (!m_framed.isNull()) QGuiApplication::clipboard()->setImage(m_framed);
  });
  m_saveAs = bar->addAction(tr("Save As..."), this, &CaptureWindow::SaveAs);

  QMenu* border = bar->addMenu(tr("Border"));
  m_visible = border->addAction(tr("Visible"));
  m_visible->setCheckable(true);
  m_visible->setChecked(true);
  connect(m_visible, &QAction::triggered, this, [this] { Redraw(); });
  QMenu* widthMenu = border->addMenu(tr("Width"));
  QMenu* spaceMenu = border->addMenu(tr("Space"));
  for (int v = 0; v <= 9; ++v) {
    m_width[static_cast<size_t>(v)] = widthMenu->addAction(QString::number(v), this, [this, v] { ChooseWidth(v); });
    m_space[static_cast<size_t>(v)] = spaceMenu->addAction(QString::number(v), this, [this, v] { ChooseSpace(v); });
    m_width[static_cast<size_t>(v)]->setCheckable(true);
    m_space[static_cast<size_t>(v)]->setCheckable(true);
  }
  m_width[2]->setChecked(true);
  m_space[2]->setChecked(true);
}

bool CaptureWindow::BorderVisible() const { return m_visible->isChecked(); }

void CaptureWindow::ChooseWidth(int value) {
  m_borderWidth = value;
  for (int v = 0; v <= 9; ++v) m_width[static_cast<size_t>(v)]->setChecked(v == value);
  Redraw();
}

void CaptureWindow::ChooseSpace(int value) {
  m_spacing = value;
  for (int v = 0; v <= 9; ++v) m_space[static_cast<size_t>(v)]->setChecked(v == value);
  Redraw();
}

bool CaptureWindow::ShowBitmap(const QString& path) {
  m_path = path;
  return Redraw();
}

bool CaptureWindow::Redraw() {
  if (m_path.isEmpty()) return false;
  QImageReader reader(m_path, "bmp");
  reader.setDecideFormatFromContent(false);
  const QImage picture = reader.read();
  if (picture.isNull()) {
    ShowErrorBox(this, tr("Cannot show the screen capture %1: %2. Capture the screen again with New Screen")
                           .arg(QFileInfo(m_path).absoluteFilePath(), reader.errorString()));
    return false;
  }
  m_framed = FramePicture(picture, BorderVisible(), m_borderWidth, m_spacing);
  m_image->setPixmap(QPixmap::fromImage(m_framed));
  // Client area = the framed picture; the menu bar comes on top of it.
  const int menuHeight = menuBar()->isVisible() ? menuBar()->height() : menuBar()->sizeHint().height();
  resize(m_framed.width(), m_framed.height() + menuHeight);
  QGuiApplication::clipboard()->setImage(m_framed);
  show();
  raise();
  activateWindow();
  return true;
}

bool CaptureWindow::SaveFramedTo(const QString& path) {
  if (m_framed.isNull()) return false;
  const QString suffix = QFileInfo(path).suffix().toLower();
  QImageWriter writer(path, suffix == QStringLiteral("bmp") ? "bmp" : "png");
  if (writer.write(m_framed)) return true;
  ShowErrorBox(this, tr("Could not save the picture to %1: %2. Choose another folder or name and try again")
                         .arg(path, writer.errorString()));
  return false;
}

void CaptureWindow::SaveAs() {
  if (m_framed.isNull()) return;
  QString selected;
  QString path = QFileDialog::getSaveFileName(this, tr("Save screen capture"), QStringLiteral("capture.png"),
                                              tr("PNG image (*.png);;BMP image (*.bmp)"), &selected);
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty())
    path += selected.contains(QStringLiteral("bmp")) ? QStringLiteral(".bmp") : QStringLiteral(".png");
  SaveFramedTo(path);
}

}  // namespace corvane
