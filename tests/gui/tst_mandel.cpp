// The easter egg's pieces: the 8-bit bitmap, the Mandelbrot drawing and its
// zoom by dragging, the torus geometry and its animation's life cycle.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <cmath>
#include <set>

#include "gui/indexed_bitmap.h"
#include "gui/mandelbrot_view.h"
#include "gui/mandelbrot_window.h"
#include "gui/message_box.h"
#include "gui/transform_matrix.h"

using namespace corvane;

class TstMandel : public QObject {
  Q_OBJECT

 private slots:
  void dibErrors();
  void dibLayoutAndHeader();
  void triangleFill();
  void mandelIndices();
  void defaultViewPixels();
  void timingText();
  void resetZoomAndLabel();
  void reversedDragGivesTheSameView();
  void rightClickCancelsAndClickKeepsView();
  void torusGeometry();
  void backFaceCullingAndDepthOrder();
  void torusFrame();
  void animationRestartsOnEveryShowing();
};

void TstMandel::dibErrors() {
  IndexedBitmap dib;
  dib.SetWidth(3);  // 3 x 0 is still a multiple of 4
  try {
    dib.SetHeight(3);
    QFAIL("a 3 x 3 bitmap was accepted");
  } catch (const IndexedBitmapError& e) {
    QCOMPARE(QString::fromStdString(e.what()), QStringLiteral("Taille de l'image non multiple de 4"));
  }
  QCOMPARE(dib.Width(), 3);
  QCOMPARE(dib.Height(), 0);
  dib.SetHeight(4);
  QCOMPARE(dib.Height(), 4);
  try {
    dib.SetPaletteColor(256, 0);
    QFAIL("index 256 was accepted");
  } catch (const IndexedBitmapError& e) {
    QCOMPARE(QString::fromStdString(e.what()), QStringLiteral("Moins de 256 couleures dans la palette"));
  }
  QVERIFY_THROWS_EXCEPTION(IndexedBitmapError, dib.SetPaletteColor(-1, 0));
  dib.SetPaletteColor(255, 0xFF123456u);
  QCOMPARE(dib.PaletteColor(255), 0x123456u);
  QCOMPARE(dib.Image().color(255), qRgb(0x12, 0x34, 0x56));
}

void TstMandel::dibLayoutAndHeader() {
  IndexedBitmap dib;
  dib.SetWidth(8);
  dib.SetHeight(2);
  dib.Fill(7);
  dib.SetPixel(1, 0, 9);  // row 0 is the bottom row
  QCOMPARE(dib.Pixel(1, 0), uint8_t{9});
  QCOMPARE(dib.Image().pixelIndex(1, 1), 9);
  QCOMPARE(dib.Image().pixelIndex(1, 0), 7);
  QCOMPARE(dib.Pixel(8, 0), uint8_t{0});  // outside reads 0
  dib.SetPixel(-1, 5, 3);                  // and writes nothing
  const std::string h = dib.HeaderBlock();
  QCOMPARE(h.size(), size_t{1064});
  auto le32 = [&h](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(h[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(h[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(h[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(h[at + 3])) << 24;
  };
  QCOMPARE(le32(0), 40u);
  QCOMPARE(le32(4), 8u);
  QCOMPARE(le32(8), 2u);  // positive: bottom-up
  QCOMPARE(static_cast<int>(h[12]), 1);
  QCOMPARE(static_cast<int>(h[14]), 8);
  QCOMPARE(le32(20), 16u);
  QCOMPARE(le32(32), 256u);
  QCOMPARE(le32(36), 256u);
  dib.SetPaletteColor(1, 0x112233);
  QCOMPARE(dib.HeaderBlock().substr(40 + 4, 4), std::string("\x33\x22\x11\x00", 4));
}

void TstMandel::triangleFill() {
  IndexedBitmap dib;
  dib.SetWidth(32);
  dib.SetHeight(32);
  dib.Fill(200);
  dib.FillShadedTriangle({2, 2, 50}, {20, 2, 50}, {2, 20, 50});
  QCOMPARE(dib.Pixel(5, 5), uint8_t{50});
  QCOMPARE(dib.Pixel(2, 2), uint8_t{50});
  QCOMPARE(dib.Pixel(20, 2), uint8_t{50});
  QCOMPARE(dib.Pixel(2, 20), uint8_t{50});
  QCOMPARE(dib.Pixel(18, 18), uint8_t{200});  // beyond the hypotenuse
  QCOMPARE(dib.Pixel(1, 5), uint8_t{200});
  QCOMPARE(dib.Pixel(5, 1), uint8_t{200});

  // Shade stepped across a span, from 10 at the left to 110 at the right.
  dib.Fill(0);
  dib.FillShadedTriangle({0, 10, 10}, {30, 10, 110}, {0, 12, 10});
  int last = 0;
  for (int x = 0; x <= 30; ++x) {
    QVERIFY(dib.Pixel(x, 10) >= last);
    last = dib.Pixel(x, 10);
  }
  QVERIFY(dib.Pixel(0, 10) == 10);
  QVERIFY(dib.Pixel(30, 10) >= 105);

  // Height 0: a single span.
  dib.Fill(0);
  dib.FillShadedTriangle({4, 7, 60}, {12, 7, 60}, {8, 7, 60});
  for (int x = 4; x <= 12; ++x) QCOMPARE(dib.Pixel(x, 7), uint8_t{60});
  QCOMPARE(dib.Pixel(3, 7), uint8_t{0});
  QCOMPARE(dib.Pixel(8, 6), uint8_t{0});
  QCOMPARE(dib.Pixel(8, 8), uint8_t{0});

  // Partly outside: clipped, the inside still drawn.
  dib.Fill(0);
  dib.FillShadedTriangle({-40, -40, 70}, {80, -40, 70}, {-40, 80, 70});
  QCOMPARE(dib.Pixel(0, 0), uint8_t{70});
  QCOMPARE(dib.Pixel(31, 0), uint8_t{70});
  dib.FillShadedTriangle({-4000000, 5, 1}, {4000000, 5, 1}, {0, 100000, 1});
}

void TstMandel::mandelIndices() {
  QCOMPARE(MandelIndex(0, 0), 110);     // never escapes
  QCOMPARE(MandelIndex(-1, 0), 110);
  QCOMPARE(MandelIndex(-2, -1), 10);    // outside the radius-2 circle from the start
  QCOMPARE(MandelIndex(2, 0), 10);      // |c|^2 = 4 already stops
  QCOMPARE(MandelIndex(1, 0), 11);      // 1 -> 2, then stop
  QCOMPARE(MandelIndex(0.5L, 0), 14);   // 0.5, 0.75, 1.0625, 1.63, 3.15
  QCOMPARE(MandelIndex(0, 1), 110);     // the periodic point i
}

void TstMandel::defaultViewPixels() {
  MandelbrotView mandel;
  const IndexedBitmap& dib = mandel.Bitmap();
  QCOMPARE(dib.Width(), 320);
  QCOMPARE(dib.Height(), 200);
  QCOMPARE(int(dib.Pixel(0, 0)), 10);        // c = -2 - i
  QCOMPARE(int(dib.Pixel(160, 100)), 110);   // c = -0.5
  QCOMPARE(int(dib.Pixel(319, 100)), 12);    // c = 0.990625: 1.971, then 4.87
  QCOMPARE(dib.PaletteColor(15), 125u);                 // blue ramp
  QCOMPARE(dib.PaletteColor(30), 60u << 8);             // green ramp
  QCOMPARE(dib.PaletteColor(110), 250u << 16);          // red ramp
  // The picture is symmetric about the real axis (row 100 is y = 0).
  int mismatches = 0;
  for (int r = 1; r < 100; ++r)
    for (int c = 0; c < 320; c += 7) mismatches += dib.Pixel(c, 100 + r) != dib.Pixel(c, 100 - r);
  QVERIFY2(mismatches < 40, qPrintable(QString::number(mismatches)));
}

void TstMandel::timingText() {
  QCOMPARE(MandelTimingText(0.0123456789, true, 1e9), QStringLiteral("0.01234s 6.352 cycles per loop"));
  QCOMPARE(MandelTimingText(0.0123456789, false, 1e9), QStringLiteral("0.01234s"));
  QCOMPARE(MandelTimingText(2, false, 1e9), QStringLiteral("2s"));
}

void TstMandel::resetZoomAndLabel() {
  MandelbrotPanel pannel;
  MandelbrotView* m = pannel.Mandel();
  QCOMPARE(pannel.size(), QSize(322, 240));
  QCOMPARE(m->geometry(), QRect(1, 1, 320, 200));
  QCOMPARE(pannel.ZoomButton()->geometry(), QRect(122, 205, 75, 15));
  QVERIFY(pannel.TimingLabel()->text().endsWith(QStringLiteral(" cycles per loop")));
  int recalcs = 0;
  const auto previous = m->OnRecalc;
  m->OnRecalc = [&] { ++recalcs; previous(); };
  pannel.ZoomButton()->click();
  QCOMPARE(recalcs, 1);
  QCOMPARE(m->X1(), -1.25);
  QCOMPARE(m->X2(), 0.25);
  QCOMPARE(m->Y1(), -0.5);
  QCOMPARE(m->Y2(), 0.5);
  QVERIFY(pannel.TimingLabel()->text().endsWith(QStringLiteral("s")));
  QVERIFY(!pannel.TimingLabel()->text().contains(QStringLiteral("cycles")));
  pannel.ResetButton()->click();
  QCOMPARE(m->X1(), -2.0);
  QCOMPARE(m->Y2(), 1.0);
  QVERIFY(pannel.TimingLabel()->text().contains(QStringLiteral("s ")));
  QVERIFY(pannel.TimingLabel()->text().endsWith(QStringLiteral(" cycles per loop")));
  // "About" shows its box with the hint on its last line.
  QString aboutText;
  SetMessageBoxHook([&](MessageKind, const QString& caption, const QString& text) {
    if (caption == QStringLiteral("About")) aboutText = text;
    return true;
  });
  pannel.AboutButton()->click();
  SetMessageBoxHook({});
  QVERIFY(aboutText.endsWith(QStringLiteral("\nUse Drag&drop to zoom")));
}

void TstMandel::reversedDragGivesTheSameView() {
  MandelbrotView forward, backward;
  QTest::mousePress(&forward, Qt::LeftButton, {}, QPoint(100, 50));
  QTest::mouseMove(&forward, QPoint(150, 100));
  QTest::mouseRelease(&forward, Qt::LeftButton, {}, QPoint(200, 150));
  QTest::mousePress(&backward, Qt::LeftButton, {}, QPoint(200, 150));
  QTest::mouseMove(&backward, QPoint(150, 100));
  QTest::mouseRelease(&backward, Qt::LeftButton, {}, QPoint(100, 50));
  QCOMPARE(forward.X1(), -2.0 + 3.0 * 100 / 320);
  QCOMPARE(forward.X2(), -2.0 + 3.0 * 200 / 320);
  QCOMPARE(forward.Y1(), -1.0 + 2.0 * (200 - 150 - 1) / 200);
  QCOMPARE(forward.Y2(), -1.0 + 2.0 * (200 - 50 - 1) / 200);
  QCOMPARE(backward.X1(), forward.X1());
  QCOMPARE(backward.Y1(), forward.Y1());
  QCOMPARE(backward.X2(), forward.X2());
  QCOMPARE(backward.Y2(), forward.Y2());
  QVERIFY(!backward.Selecting());
}

void TstMandel::rightClickCancelsAndClickKeepsView() {
  MandelbrotView m;
  QTest::mousePress(&m, Qt::LeftButton, {}, QPoint(10, 10));
  QVERIFY(m.Selecting());
  QTest::mouseMove(&m, QPoint(90, 90));
  QTest::mousePress(&m, Qt::RightButton, {}, QPoint(90, 90));
  QVERIFY(!m.Selecting());
  QTest::mouseRelease(&m, Qt::LeftButton, {}, QPoint(90, 90));
  QCOMPARE(m.X1(), -2.0);
  QCOMPARE(m.X2(), 1.0);
  // A click without dragging does not shrink the view to a point.
  QTest::mouseClick(&m, Qt::LeftButton, {}, QPoint(40, 40));
  QCOMPARE(m.X1(), -2.0);
  QCOMPARE(m.Y1(), -1.0);
  QCOMPARE(m.X2(), 1.0);
  QCOMPARE(m.Y2(), 1.0);
}

void TstMandel::torusGeometry() {
  TorusModel torus;
  torus.Build();
  QCOMPARE(torus.vertices.size(), size_t{100});
  QCOMPARE(torus.triangles.size(), size_t{200});
  const auto& v0 = torus.vertices[0];  // u = 0, v = 0
  QCOMPARE(v0.x, 80.0f);
  QCOMPARE(v0.y, 0.0f);
  QCOMPARE(v0.nx, 1.0f);
  const auto& v5 = torus.vertices[5];  // u = 0, v = pi: inner rim
  QVERIFY(std::abs(v5.x - 40.0f) < 1e-4f);
  QVERIFY(std::abs(v5.nx + 1.0f) < 1e-6f);
  const auto& v25 = torus.vertices[25];  // u = 2 pi 2/10, v = pi
  QVERIFY(std::abs(v25.z - std::sin(0.4f * 3.14159265f) * 40.0f) < 1e-3f);
  for (const auto& v : torus.vertices)
    QVERIFY(std::abs(v.nx * v.nx + v.ny * v.ny + v.nz * v.nz - 1.0f) < 1e-5f);
  // Triangle layout of cell (i, j) = (9, 9): wraps around on both indices.
  const auto& t = torus.triangles[2 * 99];
  QCOMPARE(t.v, (std::array<int, 3>{99, 9, 90}));
  const auto& u = torus.triangles[2 * 99 + 1];
  QCOMPARE(u.v, (std::array<int, 3>{9, 0, 90}));
  // Face normals are unit and point outward, like their vertices' normals.
  for (const auto& f : torus.triangles) {
    QVERIFY(std::abs(f.nx * f.nx + f.ny * f.ny + f.nz * f.nz - 1.0f) < 1e-5f);
    float sx = 0, sy = 0, sz = 0;
    for (int k : f.v) {
      sx += torus.vertices[size_t(k)].nx;
      sy += torus.vertices[size_t(k)].ny;
      sz += torus.vertices[size_t(k)].nz;
    }
    QVERIFY(f.nx * sx + f.ny * sy + f.nz * sz > 0.5f);
  }
}

void TstMandel::backFaceCullingAndDepthOrder() {
  TorusModel torus;
  torus.Build();
  TransformMatrix m;
  m.Rotate(0.3f, 0.5f, 0.7f);
  m.Translate(112, 112, 0);
  const std::vector<int> shown = torus.Visible(m);
  QVERIFY(shown.size() > 60 && shown.size() < 160);
  std::set<int> set(shown.begin(), shown.end());
  for (size_t k = 0; k < torus.triangles.size(); ++k) {
    const bool faces = torus.triangles[k].tnz >= 0;
    QCOMPARE(set.count(int(k)) == 1, faces);
  }
  for (size_t k = 1; k < shown.size(); ++k)
    QVERIFY(torus.triangles[size_t(shown[k - 1])].depth <= torus.triangles[size_t(shown[k])].depth);
  // Normals turn with the rotation only; positions also move by the translation.
  const auto& v = torus.vertices[0];
  QVERIFY(std::abs(v.tnx * v.tnx + v.tny * v.tny + v.tnz * v.tnz - 1.0f) < 1e-5f);
  TransformMatrix turn;
  turn.Rotate(0.3f, 0.5f, 0.7f);
  QVERIFY(std::abs((v.tx - 112) - (v.x * turn.At(0, 0) + v.y * turn.At(1, 0) + v.z * turn.At(2, 0))) < 1e-3f);
  QCOMPARE(TorusShade(1.0f), 130);
  QCOMPARE(TorusShade(0.5f), 70);
  QCOMPARE(TorusShade(-0.2f), 10);
}

void TstMandel::torusFrame() {
  MandelbrotWindow form;
  form.StepTorus();  // angle 0: the ring seen edge-on, a band 160 wide and 40 high
  const IndexedBitmap& dib = form.TorusBitmap();
  QCOMPARE(dib.Width(), 224);
  QCOMPARE(dib.Height(), 224);
  QVERIFY(dib.Pixel(112, 112) >= 120 && dib.Pixel(112, 112) <= 130);  // facing us: bright
  QCOMPARE(int(dib.Pixel(112, 150)), 138);  // above the tube: background
  QCOMPARE(int(dib.Pixel(5, 112)), 138);    // beside the ring
  QCOMPARE(dib.PaletteColor(138), 0xFFFFFFu);
  QCOMPARE(dib.PaletteColor(137), (2u * 127u) << 16);
  QCOMPARE(form.Angles()[0], 0.02f);
  QCOMPARE(form.Angles()[2], 0.04f);
}

void TstMandel::animationRestartsOnEveryShowing() {
  MandelbrotWindow form;
  QCOMPARE(form.windowTitle(), QStringLiteral("Easter Egg"));
  QVERIFY(!form.Animating());
  form.show();
  QVERIFY(form.Animating());
  QCOMPARE(form.Angles()[1], 0.03f);  // the first frame was drawn at angle 0
  const float before = form.Angles()[0];
  QTRY_VERIFY(form.Angles()[0] > before);  // the frame timer turns it
  form.hide();
  QVERIFY(!form.Animating());
  const float stopped = form.Angles()[0];
  QCoreApplication::processEvents();
  QCOMPARE(form.Angles()[0], stopped);
  form.show();
  QVERIFY(form.Animating());
  QCOMPARE(form.Angles()[0], 0.02f);
  form.hide();
}

QTEST_MAIN(TstMandel)
#include "tst_mandel.moc"
