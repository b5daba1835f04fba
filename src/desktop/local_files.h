#pragma once
// Local file names for device entries, and the per-user folder that files
// fetched for Copy or a drag are written into.
#include <string>

namespace corvane {

// Device entry names are 8-bit Latin-1. Every byte becomes one character.
std::string Latin1ToUtf8(const std::string& latin1);

// Converts UTF-8 text back to 8-bit Latin-1. Returns false (out is then
// unspecified) when the text is not valid UTF-8 or holds a character above
// U+00FF, which a device name cannot carry.
bool Utf8ToLatin1(const std::string& utf8, std::string& out);

// Turns an 8-bit device name into one safe local path component (UTF-8):
// never empty, never "." or "..", no "/" or "\\", no NUL or other control
// bytes (each replaced by "_"), at most 255 bytes long. Bytes >= 0x80 are
// Latin-1 characters and come out as UTF-8.
std::string SafeLocalName(const std::string& deviceName);

// The private per-user folder for fetched files: $TMPDIR (or /tmp) +
// "/corvane-kit-<uid>", created with mode 0700 when missing. Raises the
// local-file DeviceError with a message that says what is wrong when the folder
// cannot be created, is a symbolic link, is not a folder or belongs to
// another user.
std::string PrivateTempFolder();

// The same rule below a given base folder (used by PrivateTempFolder and tests).
std::string PrivateFolderIn(const std::string& base, const std::string& leaf);

// Where a screen capture is stored: `name` in the current folder when that
// folder (and an existing file of that name) can be written, otherwise in
// PrivateTempFolder(), so that a capture never fails for want of a place.
std::string CaptureFilePath(const std::string& name = "Bitmap.bmp");

// base + "/" + name, without doubling a trailing "/" of base.
std::string JoinLocalPath(const std::string& base, const std::string& name);

}  // namespace corvane
