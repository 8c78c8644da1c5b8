// SPDX-License-Identifier: ISC
#include "platform/X11Pixels.h"

#include <bit>

namespace plug {

namespace {

// An 8-bit channel value placed into a mask of any width and position.
unsigned long place(std::uint32_t channel, unsigned long mask)
{
  if (mask == 0)
    return 0;
  const int shift = std::countr_zero(mask);
  const int width = std::popcount(mask);
  unsigned long value = channel;
  if (width < 8)
    value >>= 8 - width;
  else if (width > 8)
    value = value * ((1ul << width) - 1) / 255; // 255 becomes all ones
  return (value << shift) & mask;
}

} // namespace

bool X11PixelFormat::Native() const
{
  return bitsPerPixel == 32 && redMask == 0xFF0000 && greenMask == 0x00FF00 && blueMask == 0x0000FF;
}

unsigned long X11PixelFormat::Pack(std::uint32_t argb) const
{
  return place((argb >> 16) & 0xFF, redMask) | place((argb >> 8) & 0xFF, greenMask) | place(argb & 0xFF, blueMask);
}

int X11PixelFormat::BytesPerLine(int width) const
{
  const long bits = static_cast<long>(width) * bitsPerPixel;
  return static_cast<int>((bits + 31) / 32 * 4);
}

void X11PixelFormat::Convert(const graphics::ImageView& image, const graphics::PixelRect& area,
                             std::vector<std::uint8_t>& out) const
{
  const int stride = BytesPerLine(area.w);
  const int bytes = bitsPerPixel / 8;
  out.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(area.h), 0);
  for (int y = 0; y < area.h; ++y) {
    std::uint8_t* row = out.data() + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < area.w; ++x) {
      const unsigned long pixel = Pack(image.Pixel(area.x + x, area.y + y));
      std::uint8_t* p = row + static_cast<std::ptrdiff_t>(x) * bytes;
      for (int b = 0; b < bytes; ++b) {
        const int byteIndex = msbFirst ? bytes - 1 - b : b;
        p[byteIndex] = static_cast<std::uint8_t>(pixel >> (8 * b));
      }
    }
  }
}

} // namespace plug
