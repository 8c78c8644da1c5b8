// SPDX-License-Identifier: ISC
#pragma once

// The editor's artwork, drawn in code: the background picture and the frames of every bitmap
// control, at one pixel per design unit.

#include <array>
#include <string>

namespace art {

// One image the editor loads: its file, frame count and the size of one frame (frames stacked
// vertically).
struct Asset {
  const char* file;
  int frames;
  int width;
  int height;
};

extern const std::array<Asset, 8> kAssets;

// Where Debian's fonts-roboto-unhinted puts the font the editor uses.
inline constexpr const char* kSystemFontPath = "/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Bold.ttf";

// Writes every asset into `folder` (made if missing). False, with the reason in `error`, when the
// font cannot be read or a file cannot be written.
bool writeEditorArt(const std::string& folder, const std::string& fontPath, std::string& error);

} // namespace art
