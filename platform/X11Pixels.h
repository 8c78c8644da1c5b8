// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/IPlatformView.h"

namespace plug {

// How a window's visual stores a pixel, and the conversion of the graphics context's picture
// (premultiplied ARGB words) into it.
//
// The common case, a TrueColor visual with 8-bit red, green and blue at the places of Cairo's ARGB32
// and 32 bits per pixel, takes the picture's rows as they are (Native): Xlib swaps the bytes itself
// when the server's byte order differs. Other visuals (16-bit, BGR, packed 24-bit) get each pixel
// built from the masks. The picture is opaque; a pixel that is not comes out as drawn over black,
// which is what premultiplied values are.
struct X11PixelFormat {
  int depth = 24;
  int bitsPerPixel = 32;
  unsigned long redMask = 0xFF0000;
  unsigned long greenMask = 0x00FF00;
  unsigned long blueMask = 0x0000FF;
  bool msbFirst = false; // the byte order of the pixels written by Convert

  bool Native() const;
  // The pixel value of an ARGB word (alpha ignored).
  unsigned long Pack(std::uint32_t argb) const;
  // Bytes per row of `width` pixels, rows padded to 32 bits.
  int BytesPerLine(int width) const;
  // `area` of `image` (inside it) as pixels of this format, rows of BytesPerLine(area.w).
  void Convert(const graphics::ImageView& image, const graphics::PixelRect& area, std::vector<std::uint8_t>& out) const;
};

} // namespace plug
