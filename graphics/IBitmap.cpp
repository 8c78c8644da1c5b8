// SPDX-License-Identifier: ISC
#include "graphics/IBitmap.h"

#include <cairo.h>
#include <stb_image.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "graphics/ReadFile.h"

namespace plug::graphics {

namespace {

constexpr int kMaxSide = 16384; // pixels; Cairo's own limit is 32767
constexpr std::size_t kMaxFileBytes = 64u * 1024 * 1024;

struct StbiDeleter {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};

} // namespace

// Every frame in a surface of its own: filtering a scaled frame then never reaches into its
// neighbours, however the frame is scaled.
struct IBitmap::Frames {
  struct Scaled {
    cairo_surface_t* surface = nullptr;
    int w = 0;
    int h = 0;
  };
  std::vector<cairo_surface_t*> surfaces;
  mutable std::vector<Scaled> scaled; // per frame, the last size drawn

  Frames() = default;
  Frames(const Frames&) = delete;
  Frames& operator=(const Frames&) = delete;
  ~Frames()
  {
    for (cairo_surface_t* s : surfaces)
      cairo_surface_destroy(s);
    for (const Scaled& s : scaled)
      if (s.surface)
        cairo_surface_destroy(s.surface);
  }
};

cairo_surface_t* IBitmap::GetFrameSurface(int frame) const
{
  if (!mFrames || mFrames->surfaces.empty())
    return nullptr;
  const int idx = std::clamp(frame, 1, static_cast<int>(mFrames->surfaces.size())) - 1;
  return mFrames->surfaces[static_cast<std::size_t>(idx)];
}

cairo_surface_t* IBitmap::GetScaledFrameSurface(int frame, int w, int h) const
{
  cairo_surface_t* source = GetFrameSurface(frame);
  if (!source || w < 1 || h < 1 || (w == FW() && h == FH()))
    return source;
  const std::size_t idx = static_cast<std::size_t>(std::clamp(frame, 1, mN) - 1);
  if (mFrames->scaled.size() < mFrames->surfaces.size())
    mFrames->scaled.resize(mFrames->surfaces.size());
  Frames::Scaled& cached = mFrames->scaled[idx];
  if (cached.surface && cached.w == w && cached.h == h)
    return cached.surface;
  if (cached.surface)
    cairo_surface_destroy(cached.surface);
  cached = {cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h), w, h};
  cairo_t* cr = cairo_create(cached.surface);
  cairo_scale(cr, static_cast<double>(w) / FW(), static_cast<double>(h) / FH());
  cairo_set_source_surface(cr, source, 0, 0);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(cached.surface);
  return cached.surface;
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
