// Frames and pictures written to files, each either complete or absent: the
// bytes go to a temporary file beside the destination, which is renamed over
// it only once everything is written.
#pragma once

#include <windows.h>

#include <string>

namespace tm350::tool {

// The picture the output pin delivers: 1024 x 768, blue, green, red,
// bottom-up rows.
constexpr int kPictureWidth = 1024;
constexpr int kPictureHeight = 768;
constexpr size_t kPictureBytes = static_cast<size_t>(kPictureWidth) * kPictureHeight * 3;

// The name ends in ".bmp" or ".png" (any case).
bool IsPictureName(const std::string &path);
bool EndsWith(const std::string &text, const char *suffix);

// A .png name gets a PNG, any other a BMP. On failure *error is one line.
bool WritePictureFile(const std::string &path, const BYTE *picture, std::string *error);
// The raw frame's bytes exactly as read.
bool WriteRawFile(const std::string &path, const BYTE *raw, size_t length, std::string *error);

// A pattern's file for one frame: every '#' becomes the frame number, six
// digits (000000, 000001 ...), as with cam -F.
std::string FrameFileName(const std::string &pattern, unsigned long frame);
// Whether the pattern's folder takes new files, so that a command finds out
// before it binds a camera; on failure *error is one line.
bool PatternFolderIsWritable(const std::string &pattern, std::string *error);

}  // namespace tm350::tool
