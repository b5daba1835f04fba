// The device's screen as a bitmap file: headers a reader relies on, and pixels.
#include <gtest/gtest.h>

#include "emulator/screen.h"

namespace corvane::emu {
namespace {

uint32_t Le32(const Bytes& b, size_t at) { return ReadLe32(b.data() + at); }
uint32_t Le16(const Bytes& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8);
}

// Palette index of pixel (x, y), y counted from the top.
int Pixel(const Bytes& bmp, int x, int y) {
  const uint32_t bpp = Le16(bmp, 28);
  const uint32_t rowBytes = ((kScreenWidth * bpp + 31) / 32) * 4;
  const size_t row = Le32(bmp, 10) + static_cast<size_t>(kScreenHeight - 1 - y) * rowBytes;
  const auto byte = static_cast<uint8_t>(bmp[row + (bpp == 8 ? x : x / 2)]);
  if (bpp == 8) return byte;
  return x % 2 == 0 ? byte >> 4 : byte & 0x0F;
}

TEST(Screen, BitmapHeadersAreValidForBothDepths) {
  ScreenContent content{"CORVANE Quillon", "\\docs\\", {{"sub", true, 0}, {"my notes.txt", false, 5}}};
  for (int bpp : {4, 8}) {
    const Bytes bmp = DrawScreenBmp(content, bpp);
    const uint32_t colours = bpp == 4 ? 16 : 256;
    const uint32_t image = kScreenWidth * kScreenHeight * static_cast<uint32_t>(bpp) / 8;
    ASSERT_EQ(bmp.size(), 14u + 40 + colours * 4 + image) << bpp;
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    EXPECT_EQ(Le32(bmp, 2), bmp.size());
    EXPECT_EQ(Le32(bmp, 10), 14u + 40 + colours * 4);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(Le32(bmp, 18), static_cast<uint32_t>(kScreenWidth));
    EXPECT_EQ(Le32(bmp, 22), static_cast<uint32_t>(kScreenHeight));
    EXPECT_EQ(Le16(bmp, 26), 1u);
    EXPECT_EQ(Le16(bmp, 28), static_cast<uint32_t>(bpp));
    EXPECT_EQ(Le32(bmp, 30), 0u);
    EXPECT_EQ(Le32(bmp, 34), image);
    EXPECT_EQ(Le32(bmp, 46), colours);
  }
  // The serial capture fits the 38912 bytes the PC takes.
  EXPECT_EQ(DrawScreenBmp(content, 4).size(), 38518u);
}

TEST(Screen, TheTitleBarIsDrawnAtTheTopInBothDepths) {
  const ScreenContent content{"CORVANE Tallis", "\\", {}};
  const Bytes four = DrawScreenBmp(content, 4);
  const Bytes eight = DrawScreenBmp(content, 8);
  // Top-left corner: the title bar's colour; bottom row: the task bar's; and
  // the two depths draw the same picture.
  EXPECT_EQ(Pixel(four, 0, 0), Pixel(eight, 0, 0));
  EXPECT_NE(Pixel(four, 0, 0), Pixel(four, 0, kScreenHeight - 1));
  int differences = 0, titleInk = 0;
  for (int y = 0; y < kScreenHeight; ++y)
    for (int x = 0; x < kScreenWidth; ++x) {
      differences += Pixel(four, x, y) != Pixel(eight, x, y);
      if (y < 18) titleInk += Pixel(four, x, y) != Pixel(four, 0, 0);
    }
  EXPECT_EQ(differences, 0);
  EXPECT_GT(titleInk, 50);  // the device name is written in the bar
}

}  // namespace
}  // namespace corvane::emu
