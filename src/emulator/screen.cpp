#include "emulator/screen.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <string_view>

namespace corvane::emu {
namespace {

// 16 colours, as (R, G, B).
constexpr std::array<std::array<uint8_t, 3>, 16> kPalette = {{
    {0, 0, 0},       {255, 255, 255}, {32, 48, 128},   {200, 208, 224}, {240, 200, 64},  {96, 96, 96},
    {160, 160, 160}, {32, 128, 64},   {192, 48, 48},   {224, 232, 240}, {64, 112, 200},  {255, 240, 192},
    {16, 16, 16},    {128, 160, 208}, {248, 248, 248}, {80, 80, 120},
}};
enum Colour : uint8_t {
  kBlack = 0, kWhite = 1, kNavy = 2, kPale = 3, kYellow = 4, kDark = 5, kGrey = 6, kGreen = 7,
  kRed = 8, kPaper = 9, kBlue = 10, kCream = 11
};

// A 3 x 5 pixel font: five rows of three pixels per glyph, rows separated by blanks.
struct Glyph {
  char c;
  std::string_view rows;
};
constexpr Glyph kFont[] = {
    {'A', ".#. #.# ### #.# #.#"}, {'B', "##. #.# ##. #.# ##."}, {'C', ".## #.. #.. #.. .##"},
    {'D', "##. #.# #.# #.# ##."}, {'E', "### #.. ##. #.. ###"}, {'F', "### #.. ##. #.. #.."},
    {'G', ".## #.. #.# #.# .##"}, {'H', "#.# #.# ### #.# #.#"}, {'I', "### .#. .#. .#. ###"},
    {'J', "..# ..# ..# #.# .#."}, {'K', "#.# #.# ##. #.# #.#"}, {'L', "#.. #.. #.. #.. ###"},
    {'M', "#.# ### ### #.# #.#"}, {'N', "##. #.# #.# #.# #.#"}, {'O', ".#. #.# #.# #.# .#."},
    {'P', "##. #.# ##. #.. #.."}, {'Q', ".#. #.# #.# ##. .##"}, {'R', "##. #.# ##. #.# #.#"},
    {'S', ".## #.. .#. ..# ##."}, {'T', "### .#. .#. .#. .#."}, {'U', "#.# #.# #.# #.# ###"},
    {'V', "#.# #.# #.# #.# .#."}, {'W', "#.# #.# ### ### #.#"}, {'X', "#.# #.# .#. #.# #.#"},
    {'Y', "#.# #.# .#. .#. .#."}, {'Z', "### ..# .#. #.. ###"}, {'0', "### #.# #.# #.# ###"},
    {'1', ".#. ##. .#. .#. ###"}, {'2', "##. ..# .#. #.. ###"}, {'3', "##. ..# .#. ..# ##."},
    {'4', "#.# #.# ### ..# ..#"}, {'5', "### #.. ##. ..# ##."}, {'6', ".## #.. ### #.# ###"},
    {'7', "### ..# .#. .#. .#."}, {'8', "### #.# ### #.# ###"}, {'9', "### #.# ### ..# ##."},
    {'.', "... ... ... ... .#."}, {'-', "... ... ### ... ..."}, {'_', "... ... ... ... ###"},
    {'\\', "#.. #.. .#. ..# ..#"}, {'/', "..# ..# .#. #.. #.."}, {':', "... .#. ... .#. ..."},
    {'(', ".#. #.. #.. #.. .#."}, {')', ".#. ..# ..# ..# .#."}, {'?', "##. ..# .#. ... .#."},
    {' ', "... ... ... ... ..."},
};

std::string_view GlyphRows(unsigned char c) {
  const char up = static_cast<char>(c < 0x80 ? std::toupper(c) : '?');
  for (const auto& g : kFont)
    if (g.c == up) return g.rows;
  return "##. ..# .#. ... .#.";  // '?'
}

class Canvas {
 public:
  Canvas() : m_pixels(kScreenWidth * kScreenHeight, kPaper) {}

  void Fill(int x, int y, int w, int h, uint8_t colour) {
    for (int j = std::max(0, y); j < std::min(kScreenHeight, y + h); ++j)
      for (int i = std::max(0, x); i < std::min(kScreenWidth, x + w); ++i) m_pixels[j * kScreenWidth + i] = colour;
  }
  void Frame(int x, int y, int w, int h, uint8_t colour) {
    Fill(x, y, w, 1, colour);
    Fill(x, y + h - 1, w, 1, colour);
    Fill(x, y, 1, h, colour);
    Fill(x + w - 1, y, 1, h, colour);
  }
  // Draws text at (x, y) with glyphs scaled by `scale`; returns the x after it.
  int Text(int x, int y, std::string_view text, uint8_t colour, int scale) {
    for (unsigned char c : text) {
      const std::string_view rows = GlyphRows(c);
      int k = 0;
      for (char p : rows) {
        if (p == ' ') continue;
        if (p == '#') Fill(x + (k % 3) * scale, y + (k / 3) * scale, scale, scale, colour);
        ++k;
      }
      x += 4 * scale;
      if (x >= kScreenWidth) break;
    }
    return x;
  }
  uint8_t At(int x, int y) const { return m_pixels[y * kScreenWidth + x]; }

 private:
  std::vector<uint8_t> m_pixels;  // top-down
};

void Put16(Bytes& b, uint32_t v) {
  b += static_cast<char>(v & 0xFF);
  b += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

void DrawFolderIcon(Canvas& c, int x, int y) {
  c.Fill(x, y + 1, 5, 2, kYellow);
  c.Fill(x, y + 2, 12, 8, kYellow);
  c.Frame(x, y + 2, 12, 8, kDark);
}

void DrawFileIcon(Canvas& c, int x, int y) {
  c.Fill(x + 1, y, 9, 11, kWhite);
  c.Frame(x + 1, y, 9, 11, kDark);
  for (int k = 0; k < 3; ++k) c.Fill(x + 3, y + 3 + 2 * k, 5, 1, kGrey);
}

}  // namespace

Bytes DrawScreenBmp(const ScreenContent& content, int bitsPerPixel) {
  const int bpp = bitsPerPixel == 8 ? 8 : 4;
  Canvas c;
  // Title bar with the device name and a battery.
  c.Fill(0, 0, kScreenWidth, 18, kNavy);
  c.Text(6, 4, content.title, kWhite, 2);
  c.Frame(288, 5, 22, 9, kWhite);
  c.Fill(310, 7, 2, 5, kWhite);
  c.Fill(290, 7, 14, 5, kGreen);
  // Folder line.
  c.Fill(0, 18, kScreenWidth, 14, kPale);
  c.Text(6, 21, content.folder.empty() ? std::string_view("\\") : std::string_view(content.folder), kBlack, 2);
  // Entries.
  int y = 38;
  size_t shown = 0;
  for (const auto& e : content.entries) {
    if (y + 14 > kScreenHeight - 26) break;
    if (e.directory) DrawFolderIcon(c, 8, y);
    else DrawFileIcon(c, 8, y);
    c.Text(26, y + 1, e.name.substr(0, 36), kBlack, 2);
    if (!e.directory) c.Text(262, y + 3, std::to_string(e.size), kDark, 1);
    y += 16;
    ++shown;
  }
  if (content.entries.empty()) c.Text(26, y + 1, "(EMPTY)", kGrey, 2);
  // A task bar with three buttons.
  c.Fill(0, kScreenHeight - 22, kScreenWidth, 22, kPale);
  c.Fill(0, kScreenHeight - 22, kScreenWidth, 1, kDark);
  const char* labels[] = {"FILES", "XMODEM", "MENU"};
  for (int k = 0; k < 3; ++k) {
    const int x = 6 + k * 104;
    c.Fill(x, kScreenHeight - 18, 96, 14, k == 1 ? kBlue : kWhite);
    c.Frame(x, kScreenHeight - 18, 96, 14, kDark);
    c.Text(x + 8, kScreenHeight - 14, labels[k], k == 1 ? kWhite : kBlack, 1);
  }
  (void)shown;

  const uint32_t colours = bpp == 8 ? 256 : 16;
  const uint32_t rowBytes = ((kScreenWidth * bpp + 31) / 32) * 4;
  const uint32_t imageSize = rowBytes * kScreenHeight;
  const uint32_t offset = 14 + 40 + colours * 4;
  Bytes bmp;
  bmp.reserve(offset + imageSize);
  bmp += "BM";
  Put32(bmp, offset + imageSize);
  Put32(bmp, 0);
  Put32(bmp, offset);
  Put32(bmp, 40);
  Put32(bmp, kScreenWidth);
  Put32(bmp, kScreenHeight);  // positive: rows bottom-up
  Put16(bmp, 1);
  Put16(bmp, static_cast<uint32_t>(bpp));
  Put32(bmp, 0);  // no compression
  Put32(bmp, imageSize);
  Put32(bmp, 2835);  // 72 dpi
  Put32(bmp, 2835);
  Put32(bmp, colours);
  Put32(bmp, 0);
  for (uint32_t k = 0; k < colours; ++k) {
    // Past the 16 drawing colours an 8-bit palette continues as a grey ramp.
    const auto grey = static_cast<uint8_t>(k);
    const std::array<uint8_t, 3> rgb = k < 16 ? kPalette[k] : std::array<uint8_t, 3>{grey, grey, grey};
    bmp += static_cast<char>(rgb[2]);
    bmp += static_cast<char>(rgb[1]);
    bmp += static_cast<char>(rgb[0]);
    bmp += '\0';
  }
  for (int row = kScreenHeight - 1; row >= 0; --row) {
    Bytes line(rowBytes, '\0');
    for (int x = 0; x < kScreenWidth; ++x) {
      const uint8_t p = c.At(x, row);
      if (bpp == 8) line[x] = static_cast<char>(p);
      else line[x / 2] = static_cast<char>(static_cast<uint8_t>(line[x / 2]) | (x % 2 == 0 ? p << 4 : p));
    }
    bmp += line;
  }
  return bmp;
}

}  // namespace corvane::emu
