// Draws the twelve images of the main window's image list as PNG files at
// 16, 32 and 48 pixels. The PNGs are kept in the repository; run this again
// after changing a picture:
//   g++ -std=c++20 -fPIC draw_icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/draw_icons
//   QT_QPA_PLATFORM=offscreen /tmp/draw_icons src/gui/icons
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

namespace {

// Every picture is drawn on a 16 x 16 grid; strokes of one unit sit on half
// units so that they fall on whole pixels at 16 pixels.
using Draw = std::function<void(QPainter&)>;

const QColor kOutline(40, 48, 64);
const QColor kPaper(252, 252, 248);

void Page(QPainter& p, QRectF r) {
  p.setPen(QPen(kOutline, 1));
  QPainterPath path;
  path.moveTo(r.left(), r.top());
  path.lineTo(r.right() - 3, r.top());
  path.lineTo(r.right(), r.top() + 3);
  path.lineTo(r.right(), r.bottom());
  path.lineTo(r.left(), r.bottom());
  path.closeSubpath();
  p.setBrush(kPaper);
  p.drawPath(path);
  p.setBrush(QColor(210, 214, 222));
  QPainterPath ear;
  ear.moveTo(r.right() - 3, r.top());
  ear.lineTo(r.right() - 3, r.top() + 3);
  ear.lineTo(r.right(), r.top() + 3);
  ear.closeSubpath();
  p.drawPath(ear);
}

void Lines(QPainter& p, double left, double top, int count, const QList<QColor>& colours, double width) {
  for (int i = 0; i < count; ++i) {
    p.setPen(QPen(colours[i % colours.size()], 1));
    const double w = (i % 2) ? width - 2 : width;
    p.drawLine(QPointF(left, top + i * 2), QPointF(left + w, top + i * 2));
  }
}

void ClosedFolder(QPainter& p) {
  p.setPen(QPen(QColor(22, 70, 140), 1));
  p.setBrush(QColor(96, 156, 226));
  QPainterPath tab;
  tab.moveTo(1.5, 4.5);
  tab.lineTo(1.5, 2.5);
  tab.lineTo(6.5, 2.5);
  tab.lineTo(7.5, 4.5);
  p.drawPath(tab);
  p.drawRect(QRectF(1.5, 4.5, 13, 9));
  p.setPen(QPen(QColor(170, 206, 246), 1));
  p.drawLine(QPointF(2.5, 5.5), QPointF(13.5, 5.5));
}

void OpenFolder(QPainter& p) {
  p.setPen(QPen(QColor(22, 70, 140), 1));
  p.setBrush(QColor(70, 130, 205));
  QPainterPath back;
  back.moveTo(1.5, 13.5);
  back.lineTo(1.5, 2.5);
  back.lineTo(6.5, 2.5);
  back.lineTo(7.5, 4.5);
  back.lineTo(13.5, 4.5);
  back.lineTo(13.5, 7.5);
  p.drawPath(back);
  p.setBrush(QColor(140, 190, 245));
  QPainterPath front;
  front.moveTo(1.5, 13.5);
  front.lineTo(4.5, 7.5);
  front.lineTo(15.5, 7.5);
  front.lineTo(12.5, 13.5);
  front.closeSubpath();
  p.drawPath(front);
}

void ColouredDocument(QPainter& p) {
  Page(p, QRectF(2.5, 1.5, 11, 13));
  Lines(p, 4.5, 5.5, 4, {QColor(200, 40, 40), QColor(30, 120, 40), QColor(30, 80, 200), QColor(210, 140, 0)}, 6);
}

void PlainDocument(QPainter& p) {
  Page(p, QRectF(2.5, 1.5, 11, 13));
  Lines(p, 4.5, 5.5, 4, {QColor(120, 120, 130)}, 6);
}

void Note(QPainter& p) {
  Page(p, QRectF(2.5, 1.5, 11, 13));
  p.setPen(QPen(QColor(30, 80, 200), 1.5));
  p.drawLine(QPointF(5, 11), QPointF(10.5, 5.5));
}

void TextDocument(QPainter& p) {
  Page(p, QRectF(2.5, 1.5, 11, 13));
  p.setPen(QPen(kOutline, 1));
  p.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 5.5));
  p.drawLine(QPointF(8, 5.5), QPointF(8, 11.5));
}

void Program(QPainter& p) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(kPaper);
  p.drawRect(QRectF(0.5, 2.5, 15, 11));
  p.setBrush(QColor(30, 90, 190));
  p.drawRect(QRectF(0.5, 2.5, 15, 3));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(230, 80, 60));
  p.drawRect(QRectF(12, 3, 2, 2));
  p.setPen(QPen(QColor(150, 150, 160), 1));
  p.drawLine(QPointF(2.5, 8.5), QPointF(9.5, 8.5));
  p.drawLine(QPointF(2.5, 10.5), QPointF(7.5, 10.5));
}

void Keypad(QPainter& p) {
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(190, 196, 206));
  p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 1.5, 1.5);
  p.setBrush(kPaper);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) p.drawRect(QRectF(3.5 + x * 3.5, 3.5 + y * 3.5, 2, 2));
}

void Capture(QPainter& p) {
  // A screen with a camera in front of it.
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(200, 230, 200));
  p.drawRect(QRectF(0.5, 1.5, 11, 8));
  p.setPen(QPen(QColor(40, 120, 60), 1));
  p.drawLine(QPointF(2.5, 7.5), QPointF(5.5, 4.5));
  p.drawLine(QPointF(5.5, 4.5), QPointF(9.5, 6.5));
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(70, 74, 84));
  p.drawRoundedRect(QRectF(6.5, 8.5, 9, 6), 1, 1);
  p.setBrush(QColor(120, 190, 250));
  p.drawEllipse(QPointF(11, 11.5), 2, 2);
}

void Reconnect(QPainter& p) {
  // A cable ending in a plug.
  p.setPen(QPen(QColor(30, 30, 30), 1.6, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  QPainterPath cable;
  cable.moveTo(1.5, 14.5);
  cable.cubicTo(1.5, 8, 8, 12, 8, 7.5);
  p.drawPath(cable);
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(230, 180, 40));
  p.drawRect(QRectF(5.5, 3.5, 6, 4));
  p.setBrush(QColor(180, 186, 196));
  p.drawRect(QRectF(6.5, 0.5, 1, 3));
  p.drawRect(QRectF(9.5, 0.5, 1, 3));
  p.setPen(QPen(QColor(30, 140, 60), 1.4, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(10, 8, 5, 5), 90 * 16, -270 * 16);
}

void Upgrade(QPainter& p) {
  // A memory card.
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(40, 110, 60));
  QPainterPath card;
  card.moveTo(2.5, 1.5);
  card.lineTo(10.5, 1.5);
  card.lineTo(13.5, 4.5);
  card.lineTo(13.5, 14.5);
  card.lineTo(2.5, 14.5);
  card.closeSubpath();
  p.drawPath(card);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(240, 200, 60));
  for (int i = 0; i < 4; ++i) p.drawRect(QRectF(4 + i * 2.3, 2.5, 1.3, 3));
  p.setBrush(QColor(20, 20, 20));
  p.drawRect(QRectF(4.5, 8, 7, 4.5));
}

void StopServer(QPainter& p) {
  // A handheld with a red cross over it.
  p.setPen(QPen(kOutline, 1));
  p.setBrush(QColor(90, 96, 110));
  p.drawRoundedRect(QRectF(3.5, 0.5, 9, 15), 1.5, 1.5);
  p.setBrush(QColor(200, 230, 200));
  p.drawRect(QRectF(4.5, 1.5, 7, 5));
  p.setPen(QPen(QColor(220, 30, 30), 2.2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(3, 5), QPointF(13, 15));
  p.drawLine(QPointF(13, 5), QPointF(3, 15));
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  const Draw pictures[12] = {ClosedFolder, ColouredDocument, PlainDocument, Program, Note, Keypad,
                             Capture,      TextDocument,     Reconnect,     Upgrade, StopServer, OpenFolder};
  for (int i = 0; i < 12; ++i) {
    for (int size : {16, 32, 48}) {
      QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
      image.fill(Qt::transparent);
      QPainter p(&image);
      p.setRenderHint(QPainter::Antialiasing, true);
      p.scale(size / 16.0, size / 16.0);
      pictures[i](p);
      p.end();
      const QString name = QStringLiteral("%1/image%2_%3.png").arg(dir).arg(i, 2, 10, QLatin1Char('0')).arg(size);
      if (!image.save(name)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(name));
        return 1;
      }
    }
  }
  return 0;
}
