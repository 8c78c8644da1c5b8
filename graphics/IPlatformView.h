// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

#include "graphics/IGraphicsTypes.h"

namespace plug::graphics {

// A rectangle of whole pixels: x, y of the top-left corner, width and height.
struct PixelRect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;

  bool operator==(const PixelRect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

// The context's picture: premultiplied ARGB in native-endian 32-bit words (Cairo's ARGB32, which is
// also X11's 32-bit ZPixmap layout on little-endian machines), `stride` bytes per row.
struct ImageView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;

  std::uint32_t Pixel(int x, int y) const
  {
    return reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride)[x];
  }
};

// What a window system gives a graphics context: the context draws into its own image and asks the
// view to show the parts that changed; the view passes the user's mouse and key events back to the
// context's event entry points (IGraphics::OnMouseDown and the others, positions in pixels from the
// top-left corner of the picture).
//
// Implemented by the off-screen view (tests, pictures of the editor) and by the X11 view. Called on
// the user-interface thread only.
class IPlatformView {
public:
  virtual ~IPlatformView() = default;

  // The image changed inside `area` (within the image's bounds): show that part. The image is valid
  // only during the call; a view that redraws later (an expose event) asks the context again.
  virtual void PresentRect(const ImageView& image, const PixelRect& area) = 0;
  // The context's picture now has this size in pixels; the view sizes its window to it if it can.
  virtual void RequestResize(int width, int height) = 0;
  virtual void SetMouseCursor(ECursor cursor) = 0;
  // Hidden while a knob is dragged; shown again at the end of the drag.
  virtual void HideMouseCursor(bool hide) = 0;
  // Hands a web address to the system's browser; false when that failed.
  virtual bool OpenURL(const char* url) = 0;
};

// The graphics context as the view that shows it sees it: the picture and its sizes, and the entry
// points for the user's input. Implemented by IGraphics; views need nothing else of it. Called on
// the user-interface thread only.
class IViewContent {
public:
  virtual ~IViewContent() = default;

  // The picture as last drawn, WindowWidth() × WindowHeight() pixels.
  virtual ImageView GetImage() const = 0;
  // The design's size (units) and the picture's (pixels), and the scales the design may take.
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual int WindowWidth() const = 0;
  virtual int WindowHeight() const = 0;
  virtual float GetMinScale() const = 0;
  virtual float GetMaxScale() const = 0;
  // Redraws at a new size and scale; the view asked for it when `needsPlatformResize` is false.
  virtual void Resize(int width, int height, float scale, bool needsPlatformResize = true) = 0;
  // The colour the window shows beyond the picture.
  virtual IColor GetSurroundColor() const = 0;
  virtual bool IsPopupMenuOpen() const = 0;
  virtual int NMessageBoxes() const = 0;

  // Events: positions in pixels from the picture's top-left corner; `timeMs` from any steady clock.
  virtual void OnMouseDown(float x, float y, const IMouseMod& mod, double timeMs) = 0;
  virtual void OnMouseUp(float x, float y, const IMouseMod& mod) = 0;
  virtual void OnMouseMove(float x, float y, const IMouseMod& mod) = 0;
  virtual void OnMouseLeave() = 0;
  virtual bool OnMouseWheel(float x, float y, const IMouseMod& mod, float d) = 0;
  virtual bool OnKeyDown(EKey key) = 0;
};

} // namespace plug::graphics
