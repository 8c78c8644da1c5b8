#include "graphics/IBitmap.h"

#include <cairo.h>
#include <stb_image.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "graphics/ReadFile.h"

namespace plug::graphics {

namespace {

constexpr int kMaxSide = 16384;                         // pixels; Cairo's own limit is 32767
constexpr std::size_t kMaxFileBytes = 64u * 1024 * 1024;

struct StbiDeleter {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};

} // namespace

// Every frame in a surface of its own: filtering a scaled frame then never reaches into its
// neighbours, however the frame is scaled.
struct IBitmap::Frames {
  std::vector<cairo_surface_t*> surfaces;

  Frames() = default;
  Frames(const Frames&) = delete;
  Frames& operator=(const Frames&) = delete;
  ~Frames()
  {
    for (cairo_surface_t* s : surfaces)
      cairo_surface_destroy(s);
  }
};

cairo_surface_t* IBitmap::GetFrameSurface(int frame) const
{
  if (!mFrames || mFrames->surfaces.empty())
    return nullptr;
  const int idx = std::clamp(frame, 1, static_cast<int>(mFrames->surfaces.size())) - 1;
  return mFrames->surfaces[static_cast<std::size_t>(idx)];
}

IBitmap IBitmap::Placeholder(const std::string& name, int nFrames, bool framesAreHorizontal)
{
  IBitmap b;
  b.mName = name;
  b.mN = std::max(1, nFrames);
  b.mFramesAreHorizontal = framesAreHorizontal;
  b.mW = kPlaceholderFrameSize * (framesAreHorizontal ? b.mN : 1);
  b.mH = kPlaceholderFrameSize * (framesAreHorizontal ? 1 : b.mN);
  return b;
}

IBitmap IBitmap::FromPixels(const std::string& name, const unsigned char* argb, int width, int height, int stride,
                            int nFrames, bool framesAreHorizontal)
{
  const int n = std::max(1, nFrames);
  const int frameW = framesAreHorizontal ? width / n : width;
  const int frameH = framesAreHorizontal ? height : height / n;
  if (!argb || frameW < 1 || frameH < 1)
    return Placeholder(name, n, framesAreHorizontal);

  auto frames = std::make_shared<Frames>();
  for (int i = 0; i < n; ++i) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, frameW, frameH);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(s);
      return Placeholder(name, n, framesAreHorizontal);
    }
    cairo_surface_flush(s);
    unsigned char* dst = cairo_image_surface_get_data(s);
    const int dstStride = cairo_image_surface_get_stride(s);
    const int x0 = framesAreHorizontal ? i * frameW : 0;
    const int y0 = framesAreHorizontal ? 0 : i * frameH;
    for (int y = 0; y < frameH; ++y)
      std::memcpy(dst + y * dstStride, argb + static_cast<std::ptrdiff_t>(y0 + y) * stride + x0 * 4,
                  static_cast<std::size_t>(frameW) * 4);
    cairo_surface_mark_dirty(s);
    frames->surfaces.push_back(s);
  }

  IBitmap b;
  b.mFrames = std::move(frames);
  b.mName = name;
  b.mN = n;
  b.mFramesAreHorizontal = framesAreHorizontal;
  b.mW = framesAreHorizontal ? frameW * n : frameW;
  b.mH = framesAreHorizontal ? frameH : frameH * n;
  return b;
}

IBitmap IBitmap::Load(const std::string& path, const std::string& name, int nFrames, bool framesAreHorizontal,
                      std::string* error)
{
  auto fail = [&](const std::string& reason) {
    if (error)
      *error = reason;
    return Placeholder(name, nFrames, framesAreHorizontal);
  };

  std::vector<unsigned char> bytes;
  std::string readError;
  if (!readFile(path, kMaxFileBytes, bytes, readError))
    return fail(readError);
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX))
    return fail("file too large");

  int w = 0, h = 0, channels = 0;
  const int ok = stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &channels);
  if (!ok)
    return fail(std::string("not a readable PNG or JPEG image (") + stbi_failure_reason() + ")");
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide)
    return fail("image of " + std::to_string(w) + " x " + std::to_string(h) + " pixels is out of range");

  std::unique_ptr<unsigned char, StbiDeleter> rgba(
    stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &channels, 4));
  if (!rgba)
    return fail(std::string("cannot decode the image (") + stbi_failure_reason() + ")");

  const int n = std::max(1, nFrames);
  if ((framesAreHorizontal ? w : h) < n)
    return fail("image is smaller than its " + std::to_string(n) + " frames");

  // stb gives straight RGBA bytes; Cairo wants premultiplied ARGB words.
  std::vector<std::uint32_t> argb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  const unsigned char* p = rgba.get();
  for (std::size_t i = 0; i < argb.size(); ++i, p += 4) {
    const std::uint32_t a = p[3];
    auto pre = [a](std::uint32_t c) { return (c * a + 127) / 255; };
    argb[i] = (a << 24) | (pre(p[0]) << 16) | (pre(p[1]) << 8) | pre(p[2]);
  }
  return FromPixels(name, reinterpret_cast<const unsigned char*>(argb.data()), w, h, w * 4, n, framesAreHorizontal);
}

} // namespace plug::graphics
