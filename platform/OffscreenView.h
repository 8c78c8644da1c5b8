// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/IPlatformView.h"

namespace plug {

// A platform view without a window: a screen of its own that shows exactly what the graphics context
// presented, and a record of everything it was asked for. The tests look at its pixels and records;
// the editor picture is written from it as a PNG.
class OffscreenView final : public graphics::IPlatformView {
public:
  // IPlatformView.
  void PresentRect(const graphics::ImageView& image, const graphics::PixelRect& area) override;
  // Resizes the screen at once; its pixels are cleared to transparent black.
  void RequestResize(int width, int height) override;
  void SetMouseCursor(graphics::ECursor cursor) override;
  void HideMouseCursor(bool hide) override;
  // Records the address; reports success unless told to fail.
  bool OpenURL(const char* url) override;

  int Width() const { return mWidth; }
  int Height() const { return mHeight; }
  // Premultiplied ARGB word at a screen pixel (0 outside).
  std::uint32_t Pixel(int x, int y) const;
  // The same, not premultiplied.
  graphics::IColor Color(int x, int y) const;
  // The screen as a PNG; false when it cannot be written.
  bool WritePng(const std::string& path) const;

  // Records.
  const std::vector<graphics::PixelRect>& Presented() const { return mPresented; }
  void ClearPresented() { mPresented.clear(); }
  const std::vector<std::pair<int, int>>& Resizes() const { return mResizes; }
  const std::vector<graphics::ECursor>& Cursors() const { return mCursors; }
  graphics::ECursor Cursor() const { return mCursor; }
  bool CursorHidden() const { return mCursorHidden; }
  int CursorHides() const { return mCursorHides; }
  const std::vector<std::string>& OpenedURLs() const { return mURLs; }
  void SetOpenURLFails(bool fails) { mOpenURLFails = fails; }

private:
  int mWidth = 0;
  int mHeight = 0;
  std::vector<std::uint32_t> mScreen;
  std::vector<graphics::PixelRect> mPresented;
  std::vector<std::pair<int, int>> mResizes;
  std::vector<graphics::ECursor> mCursors;
  graphics::ECursor mCursor = graphics::ECursor::kArrow;
  bool mCursorHidden = false;
  int mCursorHides = 0;
  std::vector<std::string> mURLs;
  bool mOpenURLFails = false;
};

} // namespace plug
