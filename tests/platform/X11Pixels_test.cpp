// SPDX-License-Identifier: ISC
// The picture's premultiplied ARGB words as pixels of the X visuals a server may offer.

#include "platform/X11Pixels.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using plug::X11PixelFormat;

namespace {

X11PixelFormat format(int depth, int bpp, unsigned long r, unsigned long g, unsigned long b, bool msb = false)
{
  X11PixelFormat f;
  f.depth = depth;
  f.bitsPerPixel = bpp;
  f.redMask = r;
  f.greenMask = g;
  f.blueMask = b;
  f.msbFirst = msb;
  return f;
}

} // namespace

TEST(X11PixelFormat, OnlyCairosOwnLayoutIsSentAsItIs)
{
  EXPECT_TRUE(format(24, 32, 0xFF0000, 0xFF00, 0xFF).Native());
  EXPECT_TRUE(format(32, 32, 0xFF0000, 0xFF00, 0xFF, true).Native()) << "Xlib swaps the bytes for the server";
  EXPECT_FALSE(format(24, 32, 0xFF, 0xFF00, 0xFF0000).Native()) << "blue and red swapped";
  EXPECT_FALSE(format(24, 24, 0xFF0000, 0xFF00, 0xFF).Native()) << "packed";
  EXPECT_FALSE(format(16, 16, 0xF800, 0x7E0, 0x1F).Native());
}

TEST(X11PixelFormat, PackPutsEachChannelIntoItsMask)
{
  struct Case {
    const char* name;
    X11PixelFormat f;
    std::uint32_t argb;
    unsigned long pixel;
  };
  const Case cases[] = {
    {"RGB 8-8-8", format(24, 32, 0xFF0000, 0xFF00, 0xFF), 0xFF804020, 0x804020},
    {"alpha is dropped", format(24, 32, 0xFF0000, 0xFF00, 0xFF), 0x12804020, 0x804020},
    {"BGR 8-8-8", format(24, 32, 0xFF, 0xFF00, 0xFF0000), 0xFF804020, 0x204080},
    // 0xFF >> 3 = 31, 0x80 >> 2 = 32, 0x40 >> 3 = 8: 31 << 11 | 32 << 5 | 8.
    {"RGB 5-6-5", format(16, 16, 0xF800, 0x7E0, 0x1F), 0xFFFF8040, 0xFC08},
    {"RGB 5-5-5", format(15, 16, 0x7C00, 0x3E0, 0x1F), 0xFFFFFFFF, 0x7FFF},
    // 10 bits: full is 1023, 0x80 is 128 × 1023 / 255 = 513.
    {"RGB 10-10-10", format(30, 32, 0x3FF00000, 0xFFC00, 0x3FF), 0xFFFF8000, 0x3FF00000ul | 513ul << 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.f.Pack(c.argb), c.pixel);
  }
}

TEST(X11PixelFormat, ConvertWritesTheAreaInRowsPaddedTo32Bits)
{
  // A 4 × 3 picture; pixel (x, y) has red 16·x and green 16·y.
  std::vector<std::uint32_t> words;
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x)
      words.push_back(0xFF000000u | static_cast<std::uint32_t>(16 * x) << 16 | static_cast<std::uint32_t>(16 * y) << 8);
  const plug::graphics::ImageView image{reinterpret_cast<const std::uint8_t*>(words.data()), 4, 3, 16};
  const plug::graphics::PixelRect area{1, 1, 3, 2}; // x 1 … 3, y 1 … 2

  std::vector<std::uint8_t> out;
  const X11PixelFormat packed = format(24, 24, 0xFF0000, 0xFF00, 0xFF);
  packed.Convert(image, area, out);
  ASSERT_EQ(packed.BytesPerLine(3), 12) << "9 bytes padded to 12";
  ASSERT_EQ(out.size(), 24u);
  // Least significant byte first: blue, green, red.
  EXPECT_EQ((std::vector<std::uint8_t>(out.begin(), out.begin() + 9)),
            (std::vector<std::uint8_t>{0, 16, 16, 0, 16, 32, 0, 16, 48}));
  EXPECT_EQ(out[12 + 2], 16) << "second row starts after the padding: red of (1, 2)";
  EXPECT_EQ(out[12 + 1], 32) << "green of (1, 2)";

  const X11PixelFormat msb16 = format(16, 16, 0xF800, 0x7E0, 0x1F, true);
  msb16.Convert(image, area, out);
  ASSERT_EQ(msb16.BytesPerLine(3), 8);
  ASSERT_EQ(out.size(), 16u);
  // (1, 1): red 16 >> 3 = 2, green 16 >> 2 = 4: 2 << 11 | 4 << 5 = 0x1080, high byte first.
  EXPECT_EQ(out[0], 0x10);
  EXPECT_EQ(out[1], 0x80);
}
