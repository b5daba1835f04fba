#pragma once
// The twelve images shared by the tree, the list and the toolbar. Each is
// drawn at 16, 32 and 48 pixels, so it stays sharp on a high-DPI screen.
#include <QIcon>

namespace corvane {

enum ImageIndex {
  kImageFolder = 0,      // closed folder
  kImageFile = 1,        // document with coloured lines
  kImageDocument = 2,
  kImageProgram = 3,     // application window (a Tallis object)
  kImageNote = 4,
  kImageKeypad = 5,
  kImageCapture = 6,     // screen capture button
  kImageText = 7,
  kImageReconnect = 8,   // cable with plug
  kImageUpgrade = 9,     // memory card
  kImageStopServer = 10, // device with a red cross
  kImageOpenFolder = 11, // selected folder
  kImageCount = 12
};

// The image at `index` (an entry kind is also its image index); an index
// outside the list gives the plain file image.
QIcon ImageListIcon(int index);
// The tree's folder: closed normally, open while selected.
QIcon FolderIcon();

}  // namespace corvane
