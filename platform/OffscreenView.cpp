// SPDX-License-Identifier: ISC
#include "platform/OffscreenView.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>

namespace plug {

using graphics::ECursor;
using graphics::IColor;
using graphics::ImageView;
using graphics::PixelRect;

void OffscreenView::PresentRect(const ImageView& image, const PixelRect& area)
{
  mPresented.push_back(area);
  const int x0 = std::max(0, area.x);
  const int y0 = std::max(0, area.y);
  const int x1 = std::min({area.x + area.w, image.width, mWidth});
  const int y1 = std::min({area.y + area.h, image.height, mHeight});
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      mScreen[static_cast<std::size_t>(y) * static_cast<std::size_t>(mWidth) + static_cast<std::size_t>(x)] =
        image.Pixel(x, y);
}

void OffscreenView::RequestResize(int width, int height)
{
  mResizes.emplace_back(width, height);
  mWidth = std::max(0, width);
  mHeight = std::max(0, height);
  mScreen.assign(static_cast<std::size_t>(mWidth) * static_cast<std::size_t>(mHeight), 0u);
}

void OffscreenView::SetMouseCursor(ECursor cursor)
{
  mCursor = cursor;
  mCursors.push_back(cursor);
}

void OffscreenView::HideMouseCursor(bool hide)
{
  if (hide && !mCursorHidden)
    ++mCursorHides;
  mCursorHidden = hide;
}

bool OffscreenView::OpenURL(const char* url)
{
  mURLs.emplace_back(url ? url : "");
  return !mOpenURLFails;
}

std::uint32_t OffscreenView::Pixel(int x, int y) const
{
  if (x < 0 || y < 0 || x >= mWidth || y >= mHeight)
    return 0;
  return mScreen[static_cast<std::size_t>(y) * static_cast<std::size_t>(mWidth) + static_cast<std::size_t>(x)];
}

IColor OffscreenView::Color(int x, int y) const
{
  const std::uint32_t p = Pixel(x, y);
  const int a = static_cast<int>(p >> 24);
  if (a == 0)
    return IColor(0, 0, 0, 0);
  auto un = [a](std::uint32_t c) {
    return static_cast<int>((c * 255 + static_cast<std::uint32_t>(a) / 2) / static_cast<std::uint32_t>(a));
  };
  return IColor(a, un((p >> 16) & 0xFF), un((p >> 8) & 0xFF), un(p & 0xFF));
}

bool OffscreenView::WritePng(const std::string& path) const
{
  if (mWidth < 1 || mHeight < 1)
    return false;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, mWidth, mHeight);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return false;
  }
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < mHeight; ++y)
    std::memcpy(data + static_cast<std::ptrdiff_t>(y) * stride,
                &mScreen[static_cast<std::size_t>(y) * static_cast<std::size_t>(mWidth)],
                static_cast<std::size_t>(mWidth) * 4);
  cairo_surface_mark_dirty(surface);
  const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

} // namespace plug
