#include "gui/indexed_bitmap.h"

#include <QPainter>

#include <algorithm>
#include <utility>

namespace corvane {

namespace {
constexpr int kXFraction = 12;
constexpr int kShadeFraction = 23;

void PutLe(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
}  // namespace

IndexedBitmap::IndexedBitmap() : m_palette(256, qRgb(0, 0, 0)) {}

void IndexedBitmap::Resize(int32_t width, int32_t height) {
  if (width < 0 || height < 0 ||
      (static_cast<int64_t>(width) * static_cast<int64_t>(height)) % 4 != 0)
    throw IndexedBitmapError("Taille de l'image non multiple de 4");
  QImage next(width, height, QImage::Format_Indexed8);
  next.setColorTable(m_palette);
  next.fill(0);
  // Keep the pixels that still fit, anchored at the bottom-left as rows count from the bottom.
  const int keepW = std::min(width, m_width);
  const int keepH = std::min(height, m_height);
  for (int r = 0; r < keepH; ++r) {
    const uchar* from = m_image.constScanLine(m_height - 1 - r);
    std::copy(from, from + keepW, next.scanLine(height - 1 - r));
  }
  m_image = std::move(next);
  m_width = width;
  m_height = height;
}

void IndexedBitmap::SetWidth(int32_t width) { Resize(width, m_height); }
void IndexedBitmap::SetHeight(int32_t height) { Resize(m_width, height); }

void IndexedBitmap::SetPaletteColor(int index, uint32_t colour) {
  if (index < 0 || index > 255)
    throw IndexedBitmapError("Moins de " + std::to_string(index) + " couleures dans la palette");
  colour &= 0xFFFFFF;
  m_palette[index] = qRgb((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF);
  if (!m_image.isNull()) m_image.setColor(index, m_palette[index]);
}

uint32_t IndexedBitmap::PaletteColor(int index) const {
  if (index < 0 || index > 255) return 0;
  return m_palette[index] & 0xFFFFFF;
}

void IndexedBitmap::Fill(uint8_t index) {
  if (!m_image.isNull()) m_image.fill(index);
}

uint8_t IndexedBitmap::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= m_width || y >= m_height) return 0;
  return m_image.constScanLine(m_height - 1 - y)[x];
}

void IndexedBitmap::SetPixel(int x, int y, uint8_t index) {
  if (x < 0 || y < 0 || x >= m_width || y >= m_height) return;
  m_image.scanLine(m_height - 1 - y)[x] = index;
}

void IndexedBitmap::Span(int y, int xa, int xb, int64_t shadeA, int64_t shadeB) {
  if (y < 0 || y >= m_height) return;
  if (xa > xb) {
    std::swap(xa, xb);
    std::swap(shadeA, shadeB);
  }
  if (xb < 0 || xa >= m_width) return;
  const int64_t step = (xb > xa) ? (shadeB - shadeA) / (xb - xa) : 0;
  int64_t shade = shadeA;
  if (xa < 0) {
    shade += step * -static_cast<int64_t>(xa);
    xa = 0;
  }
  xb = std::min(xb, m_width - 1);
  uchar* row = m_image.scanLine(m_height - 1 - y);
  for (int x = xa; x <= xb; ++x, shade += step)
    row[x] = static_cast<uchar>(std::clamp<int64_t>(shade >> kShadeFraction, 0, 255));
}

void IndexedBitmap::FillShadedTriangle(const ShadedVertex& a, const ShadedVertex& b,
                               const ShadedVertex& c) {
  if (m_image.isNull()) return;
  ShadedVertex v[3] = {a, b, c};
  std::sort(v, v + 3, [](const ShadedVertex& p, const ShadedVertex& q) { return p.y < q.y; });
  auto fx = [](int x) { return static_cast<int64_t>(x) << kXFraction; };
  auto fs = [](int s) { return static_cast<int64_t>(s) << kShadeFraction; };
  auto ix = [](int64_t x) { return static_cast<int>(x >> kXFraction); };

  if (v[0].y == v[2].y) {  // height 0: single spans between the outermost corners
    const auto [lo, hi] = std::minmax_element(
        v, v + 3, [](const ShadedVertex& p, const ShadedVertex& q) { return p.x < q.x; });
    Span(v[0].y, lo->x, hi->x, fs(lo->shade), fs(hi->shade));
    return;
  }

  const int total = v[2].y - v[0].y;
  const int64_t half = int64_t{1} << (kXFraction - 1);  // so that the shift rounds
  int64_t longX = fx(v[0].x) + half;
  int64_t longS = fs(v[0].shade);
  const int64_t longDx = (fx(v[2].x) - fx(v[0].x)) / total;
  const int64_t longDs = (fs(v[2].shade) - fs(v[0].shade)) / total;

  int64_t shortX = 0, shortS = 0, shortDx = 0, shortDs = 0;
  auto startEdge = [&](const ShadedVertex& p, const ShadedVertex& q) {
    const int rows = q.y - p.y;
    shortX = fx(p.x) + half;
    shortS = fs(p.shade);
    shortDx = rows > 0 ? (fx(q.x) - fx(p.x)) / rows : 0;
    shortDs = rows > 0 ? (fs(q.shade) - fs(p.shade)) / rows : 0;
  };
  if (v[1].y > v[0].y) startEdge(v[0], v[1]);
  else startEdge(v[1], v[2]);

  if (v[2].y < 0 || v[0].y >= m_height) return;
  for (int y = v[0].y; y <= v[2].y && y < m_height; ++y) {
    if (y == v[1].y && v[1].y > v[0].y) startEdge(v[1], v[2]);  // lower half
    Span(y, ix(longX), ix(shortX), longS, shortS);
    longX += longDx;
    longS += longDs;
    shortX += shortDx;
    shortS += shortDs;
  }
}

void IndexedBitmap::DrawAt(QPainter& painter, int x, int y) const {
  if (!m_image.isNull()) painter.drawImage(x, y, m_image);
}

std::string IndexedBitmap::HeaderBlock() const {
  std::string out;
  PutLe(out, 40, 4);
  PutLe(out, static_cast<uint32_t>(m_width), 4);
  PutLe(out, static_cast<uint32_t>(m_height), 4);
  PutLe(out, 1, 2);   // planes
  PutLe(out, 8, 2);   // bits per pixel
  PutLe(out, 0, 4);   // no compression
  PutLe(out, static_cast<uint32_t>(m_width) * static_cast<uint32_t>(m_height), 4);
  PutLe(out, 0, 4);
  PutLe(out, 0, 4);
  PutLe(out, 256, 4);
  PutLe(out, 256, 4);
  for (QRgb c : m_palette) {
    out.push_back(static_cast<char>(qBlue(c)));
    out.push_back(static_cast<char>(qGreen(c)));
    out.push_back(static_cast<char>(qRed(c)));
    out.push_back('\0');
  }
  return out;
}

}  // namespace corvane
