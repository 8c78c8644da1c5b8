// SPDX-License-Identifier: ISC
#pragma once

#include <cmath>

#include "graphics/IGraphics.h"

// Drives a graphics context the way its platform view does for a user: mouse events in pixels with
// timestamps, keys. Positions are given in design units (converted at the context's current scale)
// or, with the ...Px forms, in pixels, as the menus and message boxes are laid out. Every press
// happens a second after the previous one unless a double-click is asked for, so separate clicks
// never pair up by accident.
class UiDriver {
public:
  using IMouseMod = plug::graphics::IMouseMod;

  explicit UiDriver(plug::graphics::IGraphics& g) : mG(g) {}

  static IMouseMod left() { return IMouseMod(true); }
  static IMouseMod right() { return IMouseMod(false, true); }
  static IMouseMod leftShift() { return IMouseMod(true, false, true); }
  static IMouseMod leftControl() { return IMouseMod(true, false, false, true); }

  float px(float design) const { return design * mG.GetDrawScale(); }

  void movePx(float x, float y, const IMouseMod& mod = IMouseMod()) { mG.OnMouseMove(x, y, mod); }
  void pressPx(float x, float y, const IMouseMod& mod = left())
  {
    mTimeMs += 1000.0;
    mG.OnMouseDown(x, y, mod, mTimeMs);
  }
  void releasePx(float x, float y, const IMouseMod& mod = left()) { mG.OnMouseUp(x, y, mod); }
  void clickPx(float x, float y, const IMouseMod& mod = left())
  {
    movePx(x, y);
    pressPx(x, y, mod);
    releasePx(x, y, mod);
  }

  void move(float x, float y, const IMouseMod& mod = IMouseMod()) { movePx(px(x), px(y), mod); }
  void press(float x, float y, const IMouseMod& mod = left()) { pressPx(px(x), px(y), mod); }
  void release(float x, float y, const IMouseMod& mod = left()) { releasePx(px(x), px(y), mod); }
  void click(float x, float y, const IMouseMod& mod = left()) { clickPx(px(x), px(y), mod); }

  // Two presses 100 ms apart at the same place.
  void doubleClick(float x, float y, const IMouseMod& mod = left())
  {
    click(x, y, mod);
    mTimeMs += 100.0;
    mG.OnMouseDown(px(x), px(y), mod, mTimeMs);
    release(x, y, mod);
  }

  // Press at (x0, y0), move to (x1, y1) in `steps` equal moves with the button held, release there.
  // Positions in design units at the scale of the press.
  void drag(float x0, float y0, float x1, float y1, int steps = 4, const IMouseMod& mod = left())
  {
    const float s = mG.GetDrawScale();
    dragPx(x0 * s, y0 * s, x1 * s, y1 * s, steps, mod);
  }
  void dragPx(float x0, float y0, float x1, float y1, int steps = 4, const IMouseMod& mod = left())
  {
    movePx(x0, y0);
    pressPx(x0, y0, mod);
    for (int i = 1; i <= steps; ++i)
      movePx(x0 + (x1 - x0) * static_cast<float>(i) / static_cast<float>(steps),
             y0 + (y1 - y0) * static_cast<float>(i) / static_cast<float>(steps), mod);
    releasePx(x1, y1, mod);
  }

  bool key(plug::graphics::EKey k) { return mG.OnKeyDown(k); }

private:
  plug::graphics::IGraphics& mG;
  double mTimeMs = 0.0;
};
