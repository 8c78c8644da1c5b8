// SPDX-License-Identifier: ISC
#pragma once

#include <memory>
#include <string>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;

namespace plug::graphics {

// A decoded image holding one or more frames of equal size, stacked vertically (or side by side),
// counted from 1. One image pixel is one design unit. Copies share the decoded pixels.
//
// A bitmap that could not be loaded is a placeholder: it has the frame count it was asked for and a
// nominal frame size, no pixels, and draws as a conspicuous crossed box.
class IBitmap {
public:
  static constexpr int kPlaceholderFrameSize = 48; // design units, each side

  IBitmap() = default;

  // Decodes a PNG or JPEG file (stb_image). On failure returns the placeholder and, if `error` is
  // given, a one-line reason. Never throws.
  static IBitmap Load(const std::string& path, const std::string& name, int nFrames, bool framesAreHorizontal,
                      std::string* error = nullptr);
  // From premultiplied ARGB pixels (native-endian 32-bit words, `stride` bytes per row).
  static IBitmap FromPixels(const std::string& name, const unsigned char* argb, int width, int height, int stride,
                            int nFrames, bool framesAreHorizontal);
  static IBitmap Placeholder(const std::string& name, int nFrames, bool framesAreHorizontal);

  // The whole image and one frame, in pixels (design units).
  int W() const { return mW; }
  int H() const { return mH; }
  int N() const { return mN; }
  int FW() const { return mFramesAreHorizontal ? mW / mN : mW; }
  int FH() const { return mFramesAreHorizontal ? mH : mH / mN; }
  bool GetFramesAreHorizontal() const { return mFramesAreHorizontal; }
  const std::string& GetName() const { return mName; }

  // False for the placeholder and the empty bitmap.
  bool IsValid() const { return mFrames != nullptr; }
  // Frame `frame` (1 … N, clamped) as an image surface of FW × FH pixels, or null when not valid.
  cairo_surface_t* GetFrameSurface(int frame) const;
  // The same frame scaled to w × h pixels with good filtering (a box filter when shrinking a lot).
  // The last size asked for is kept per frame, so a picture drawn at a steady scale is filtered
  // only once. User-interface thread.
  cairo_surface_t* GetScaledFrameSurface(int frame, int w, int h) const;

private:
  struct Frames;

  std::shared_ptr<const Frames> mFrames;
  std::string mName;
  int mW = 0;
  int mH = 0;
  int mN = 1;
  bool mFramesAreHorizontal = false;
};

} // namespace plug::graphics
