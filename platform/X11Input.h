// SPDX-License-Identifier: ISC
#pragma once

#include <X11/Xlib.h>

#include <cstdint>

#include "graphics/IGraphicsTypes.h"

namespace plug::graphics {
class IViewContent;
}

namespace plug {

// Turns the X server's pointer, crossing and key events of an editor window into the graphics
// context's event calls. Needs no connection: the events are plain structures, so the rules can be
// checked without a display.
//
// - Buttons: 1 is the left button, 3 the right; a left press with the Super (Mod4) key held counts
//   as a right press, the way a Command-click does on other systems. Button 2 and the side buttons
//   are ignored. Shift and Control are passed on (fine adjustment).
// - While a button is held the window has the pointer (the server's implicit grab): moves go to the
//   context as drags wherever the pointer is, and other buttons are ignored until that button is
//   released. A release outside the window ends the hover as a leave would.
// - Double-clicks are told by the server's timestamps (milliseconds, 32 bits that wrap after about
//   49 days; unwrapped here), which the context compares.
// - Wheel: buttons 4 (away from the user) and 5 are one notch each.
// - Entering the window hovers like a move; leaving ends the hover, except while a button is held.
// - Keys: Escape, and Return or keypad Enter, for menus and message boxes.
//
// User-interface thread.
class X11Input {
public:
  explicit X11Input(graphics::IViewContent& graphics) : mGraphics(graphics) {}

  // The window's size in pixels, to tell a release outside it.
  void SetWindowSize(int width, int height)
  {
    mWidth = width;
    mHeight = height;
  }

  void OnButtonPress(const XButtonEvent& event);
  void OnButtonRelease(const XButtonEvent& event);
  void OnMotion(const XMotionEvent& event);
  void OnEnter(const XCrossingEvent& event);
  void OnLeave(const XCrossingEvent& event);
  // True when the key was used.
  bool OnKey(KeySym key);

  bool ButtonHeld() const { return mHeldButton != 0; }

  // Modifiers of an X state mask, with the given buttons.
  static graphics::IMouseMod ModFor(unsigned int state, bool left, bool right);

private:
  bool outside(int x, int y) const { return x < 0 || y < 0 || x >= mWidth || y >= mHeight; }
  double unwrappedMs(Time time);

  graphics::IViewContent& mGraphics;
  unsigned int mHeldButton = 0; // the X button whose press started the gesture; 0: none
  bool mHeldRight = false; // that press counts as a right press
  int mWidth = 0;
  int mHeight = 0;
  std::uint32_t mLastTime = 0;
  double mWrapsMs = 0.0; // 2^32 ms for every wrap of the server's clock seen
};

} // namespace plug
