#pragma once
// The emulated device's screen, drawn as a Windows bitmap file.
#include <vector>

#include "emulator/device_files.h"
#include "link/bytes.h"

namespace corvane::emu {

inline constexpr int kScreenWidth = 320;
inline constexpr int kScreenHeight = 240;

struct ScreenContent {
  Bytes title;                       // shown in the title bar
  Bytes folder;                      // the current folder's device path
  std::vector<FolderEntry> entries;  // the first few are listed
};

// A complete BMP file (headers, palette, bottom-up rows) of the screen, with
// 4 or 8 bits per pixel. 4 bits: 38518 bytes; 8 bits: 77878 bytes.
Bytes DrawScreenBmp(const ScreenContent& content, int bitsPerPixel);

}  // namespace corvane::emu
