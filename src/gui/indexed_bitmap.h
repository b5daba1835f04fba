#pragma once
// IndexedBitmap: an 8-bit, 256-colour picture addressed bottom-up (row 0 is the
// bottom row), with its own palette. Drawn to a widget through QImage's
// indexed format.
#include <QImage>
#include <QVector>
#include <QRgb>

#include <cstdint>
#include <stdexcept>
#include <string>

class QPainter;

namespace corvane {

// Raised for a size that breaks the 4-byte row rule or a palette index out of range.
class IndexedBitmapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One corner of a shaded triangle: pixel position (y counts rows from the
// bottom) and the palette index at that corner.
struct ShadedVertex {
  int x = 0;
  int y = 0;
  int shade = 0;
};

class IndexedBitmap {
 public:
  IndexedBitmap();

  // Each resizes the pixel buffer (new pixels are index 0) and raises
  // "Taille de l'image non multiple de 4" when width x height is not a
  // multiple of 4; the size is then left as it was.
  void SetWidth(int32_t width);
  void SetHeight(int32_t height);
  int32_t Width() const { return m_width; }
  int32_t Height() const { return m_height; }

  // colour is 0xRRGGBB (kept to 24 bits). An index outside 0..255 raises
  // "Moins de " + index + " couleures dans la palette".
  void SetPaletteColor(int index, uint32_t colour);
  uint32_t PaletteColor(int index) const;

  void Fill(uint8_t index);
  // The palette index at column x of row y counted from the bottom; 0 outside.
  uint8_t Pixel(int x, int y) const;
  void SetPixel(int x, int y, uint8_t index);

  // Fills the triangle with its shade stepped linearly along the edges and
  // across every span, in fixed point (12 fraction bits for x, 23 for the
  // shade). Pixels outside the bitmap are clipped.
  void FillShadedTriangle(const ShadedVertex& a, const ShadedVertex& b, const ShadedVertex& c);

  // The whole bitmap with its top-left corner at (x, y).
  void DrawAt(QPainter& painter, int x, int y) const;
  // The picture as shown (top row first), with the palette as colour table.
  const QImage& Image() const { return m_image; }

  // The bitmap information block as a device-independent bitmap carries it:
  // the 40-byte header and 256 entries of blue, green, red, 0 (1064 bytes).
  std::string HeaderBlock() const;

 private:
  void Resize(int32_t width, int32_t height);
  void Span(int y, int xa, int xb, int64_t shadeA, int64_t shadeB);

  int32_t m_width = 0;
  int32_t m_height = 0;
  QVector<QRgb> m_palette;
  QImage m_image;  // Format_Indexed8, stored top row first
};

}  // namespace corvane
