// SPDX-License-Identifier: ISC
// Bitmaps from PNG and JPEG files: frames, premultiplied pixels, and damaged files.

#include "graphics/IBitmap.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

std::uint32_t pixel(cairo_surface_t* s, int x, int y)
{
  cairo_surface_flush(s);
  const unsigned char* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
  return reinterpret_cast<const std::uint32_t*>(row)[x];
}

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
  std::ofstream(path, std::ios::binary)
    .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> readBytes(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(IBitmap, FramesOfAPngStackedVertically)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("f.png"), 6, 4, {0xFF0000, 0x00FF00, 0x0000FF}));
  const IBitmap b = IBitmap::Load(dir.file("f.png"), "f.png", 3, false);
  ASSERT_TRUE(b.IsValid());
  EXPECT_EQ(b.W(), 6);
  EXPECT_EQ(b.H(), 12);
  EXPECT_EQ(b.FW(), 6);
  EXPECT_EQ(b.FH(), 4);
  EXPECT_EQ(b.N(), 3);
  EXPECT_EQ(b.GetName(), "f.png");
  EXPECT_EQ(pixel(b.GetFrameSurface(1), 3, 2), rgb(255, 0, 0));
  EXPECT_EQ(pixel(b.GetFrameSurface(2), 0, 0), rgb(0, 255, 0));
  EXPECT_EQ(pixel(b.GetFrameSurface(3), 5, 3), rgb(0, 0, 255));
  EXPECT_EQ(b.GetFrameSurface(9), b.GetFrameSurface(3)) << "frames out of range are clamped";
  EXPECT_EQ(b.GetFrameSurface(0), b.GetFrameSurface(1));

  const IBitmap side = IBitmap::Load(dir.file("f.png"), "f.png", 2, true);
  EXPECT_EQ(side.FW(), 3);
  EXPECT_EQ(side.FH(), 12);
  EXPECT_EQ(pixel(side.GetFrameSurface(2), 0, 9), rgb(0, 0, 255));
}

TEST(IBitmap, TranslucentPixelsArePremultiplied)
{
  TempDir dir;
  // Straight RGBA: red at alpha 128, and fully transparent.
  const unsigned char rgba[] = {255, 0, 0, 128, 10, 20, 30, 0};
  ASSERT_TRUE(stbi_write_png(dir.file("a.png").c_str(), 2, 1, 4, rgba, 8));
  const IBitmap b = IBitmap::Load(dir.file("a.png"), "a.png", 1, false);
  ASSERT_TRUE(b.IsValid());
  EXPECT_EQ(pixel(b.GetFrameSurface(1), 0, 0), 0x80800000u); // 255 · 128 / 255 = 128
  EXPECT_EQ(pixel(b.GetFrameSurface(1), 1, 0), 0u);
}

TEST(IBitmap, Jpeg)
{
  TempDir dir;
  std::vector<unsigned char> rgb(16 * 16 * 3);
  for (std::size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = 200;
    rgb[i + 1] = 120;
    rgb[i + 2] = 40;
  }
  ASSERT_TRUE(stbi_write_jpg(dir.file("b.jpg").c_str(), 16, 16, 3, rgb.data(), 95));
  const IBitmap b = IBitmap::Load(dir.file("b.jpg"), "b.jpg", 1, false);
  ASSERT_TRUE(b.IsValid());
  const std::uint32_t p = pixel(b.GetFrameSurface(1), 8, 8);
  EXPECT_EQ(p >> 24, 255u);
  EXPECT_NEAR(static_cast<int>((p >> 16) & 0xFF), 200, 3);
  EXPECT_NEAR(static_cast<int>((p >> 8) & 0xFF), 120, 3);
  EXPECT_NEAR(static_cast<int>(p & 0xFF), 40, 3);
}

TEST(IBitmap, DamagedFilesGivePlaceholdersWithAReason)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("good.png"), 16, 16, {0xFF0000, 0x00FF00}));
  const std::vector<unsigned char> good = readBytes(dir.file("good.png"));
  std::vector<unsigned char> jpeg(64 * 64 * 3, 90);
  ASSERT_TRUE(stbi_write_jpg(dir.file("good.jpg").c_str(), 64, 64, 3, jpeg.data(), 90));
  const std::vector<unsigned char> goodJpeg = readBytes(dir.file("good.jpg"));

  // A PNG header claiming 100000 × 100000 pixels (IHDR width and height at bytes 16 … 23).
  std::vector<unsigned char> huge = good;
  for (int i : {16, 20}) {
    huge[i] = 0x00;
    huge[i + 1] = 0x01;
    huge[i + 2] = 0x86;
    huge[i + 3] = 0xA0;
  }
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    int frames;
  };
  const std::vector<Case> cases = {
    {"empty", {}, 1},
    {"text", {'h', 'e', 'l', 'l', 'o'}, 1},
    {"PNG cut after its header", std::vector<unsigned char>(good.begin(), good.begin() + 40), 1},
    {"PNG cut in half", std::vector<unsigned char>(good.begin(), good.begin() + static_cast<long>(good.size() / 2)), 1},
    {"JPEG cut in half",
     std::vector<unsigned char>(goodJpeg.begin(), goodJpeg.begin() + static_cast<long>(goodJpeg.size() / 2)), 1},
    {"absurd size", huge, 1},
    {"more frames than pixel rows", good, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(dir.file("bad.png"), c.bytes);
    std::string error;
    const IBitmap b = IBitmap::Load(dir.file("bad.png"), "bad.png", c.frames, false, &error);
    // A cut JPEG may still decode (its missing part grey): what matters is that nothing breaks.
    if (std::string(c.name) == "JPEG cut in half")
      continue;
    EXPECT_FALSE(b.IsValid());
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(b.N(), c.frames);
    EXPECT_EQ(b.FH(), IBitmap::kPlaceholderFrameSize);
    EXPECT_EQ(b.GetFrameSurface(1), nullptr);
  }
  std::string error;
  EXPECT_FALSE(IBitmap::Load(dir.file("none.png"), "none.png", 1, false, &error).IsValid());
  EXPECT_NE(error.find("No such file"), std::string::npos);
  EXPECT_FALSE(IBitmap::Load(dir.path().string(), "folder", 1, false, &error).IsValid());
}
