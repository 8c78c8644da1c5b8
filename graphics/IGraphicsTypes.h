// SPDX-License-Identifier: ISC
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>

// Small value types of the graphics library: rectangles, colours, blends, text styles, mouse
// modifiers, cursors, keys and message-box kinds. Coordinates are design units unless a name says
// pixels; a context shows design units at its draw scale (design units × scale = pixels).

namespace plug::graphics {

// A control with this in its parameter slot is bound to no parameter (any negative index is).
constexpr int kNoParameter = -1;
// AttachControl's tag when the caller gives none.
constexpr int kNoTag = -1;
// "Every value of the control" where an operation takes a value index.
constexpr int kNoValIdx = -1;

// Left, top, right, bottom. Containment includes the left and top edges and excludes the right and
// bottom ones, so a rectangle of zero width or height contains nothing.
struct IRECT {
  float L = 0.0f;
  float T = 0.0f;
  float R = 0.0f;
  float B = 0.0f;

  IRECT() = default;
  IRECT(float l, float t, float r, float b) : L(l), T(t), R(r), B(b) {}
  // The rectangle of size w × h with its top-left corner at (x, y).
  static IRECT MakeXYWH(float x, float y, float w, float h) { return IRECT(x, y, x + w, y + h); }

  float W() const { return R - L; }
  float H() const { return B - T; }
  float MW() const { return 0.5f * (L + R); }
  float MH() const { return 0.5f * (T + B); }
  bool Empty() const { return !(R > L && B > T); }

  bool Contains(float x, float y) const { return x >= L && x < R && y >= T && y < B; }
  bool Intersects(const IRECT& o) const { return !Empty() && !o.Empty() && L < o.R && o.L < R && T < o.B && o.T < B; }
  IRECT Union(const IRECT& o) const
  {
    if (Empty())
      return o;
    if (o.Empty())
      return *this;
    return IRECT(std::min(L, o.L), std::min(T, o.T), std::max(R, o.R), std::max(B, o.B));
  }
  IRECT Intersect(const IRECT& o) const
  {
    IRECT r(std::max(L, o.L), std::max(T, o.T), std::min(R, o.R), std::min(B, o.B));
    return r.Empty() ? IRECT() : r;
  }
  IRECT GetPadded(float d) const { return IRECT(L - d, T - d, R + d, B + d); }
  IRECT GetScaled(float s) const { return IRECT(L * s, T * s, R * s, B * s); }
  IRECT GetTranslated(float dx, float dy) const { return IRECT(L + dx, T + dy, R + dx, B + dy); }
  // The smallest rectangle of whole units that holds this one.
  IRECT GetOutside() const { return IRECT(std::floor(L), std::floor(T), std::ceil(R), std::ceil(B)); }

  bool operator==(const IRECT& o) const { return L == o.L && T == o.T && R == o.R && B == o.B; }
  bool operator!=(const IRECT& o) const { return !(*this == o); }
};

// Alpha, red, green, blue, each 0 … 255, not premultiplied.
struct IColor {
  int A = 255;
  int R = 0;
  int G = 0;
  int B = 0;

  IColor() = default;
  IColor(int a, int r, int g, int b) : A(a), R(r), G(g), B(b) {}

  bool operator==(const IColor& o) const { return A == o.A && R == o.R && G == o.G && B == o.B; }
  bool operator!=(const IColor& o) const { return !(*this == o); }
};

enum class EBlend {
  // Source over: the source's alpha (times the weight) covers the destination.
  kDefault,
  // The source, scaled by its alpha (times the weight), is added to the destination scaled by the
  // destination's alpha; each channel saturates at full.
  kAdd,
};

struct IBlend {
  EBlend mMethod = EBlend::kDefault;
  float mWeight = 1.0f; // 0 … 1

  IBlend() = default;
  IBlend(EBlend method, float weight = 1.0f) : mMethod(method), mWeight(std::clamp(weight, 0.0f, 1.0f)) {}
};

enum class EAlign { kNear, kCenter, kFar };
enum class EVAlign { kTop, kMiddle, kBottom };

// A text style. The size is in design units (the height of the font's em); the font is the
// identifier given to LoadFont, or empty for the context's first font.
struct IText {
  float mSize = 14.0f;
  IColor mFGColor = IColor(255, 0, 0, 0);
  char mFont[64] = {};
  EAlign mAlign = EAlign::kCenter;
  EVAlign mVAlign = EVAlign::kMiddle;

  IText() = default;
  IText(float size, const IColor& color, const char* font = nullptr, EAlign align = EAlign::kCenter,
        EVAlign valign = EVAlign::kMiddle)
      : mSize(size), mFGColor(color), mAlign(align), mVAlign(valign)
  {
    if (font)
      std::strncpy(mFont, font, sizeof(mFont) - 1);
  }
};

// Buttons and modifiers of a mouse event: left, right, Shift, Control.
struct IMouseMod {
  bool L = false;
  bool R = false;
  bool S = false;
  bool C = false;

  IMouseMod() = default;
  IMouseMod(bool l, bool r = false, bool s = false, bool c = false) : L(l), R(r), S(s), C(c) {}
  // Shift or Control: the fine-adjust modifier of knobs and sliders.
  bool Fine() const { return S || C; }
};

// Mouse cursors the platform view can show. The values are fixed: the editor stores them.
enum class ECursor {
  kArrow = 0,
  kIBeam = 1,
  kWait = 2,
  kCross = 3,
  kUpArrow = 4,
  kSizeNWSE = 5, // diagonal resize, north-west to south-east
  kSizeNESW = 6,
  kSizeWE = 7,
  kSizeNS = 8,
  kSizeAll = 9,
  kNo = 10,
  kHand = 11, // pointing hand
};

// Keys the context reacts to.
enum class EKey { kEscape, kReturn };

enum class EMsgBoxType { kOK, kYesNo };
enum class EMsgBoxResult { kOK, kYes, kNo };

enum class EDirection { kVertical, kHorizontal };

} // namespace plug::graphics
