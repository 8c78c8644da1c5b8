// SPDX-License-Identifier: ISC
#include "platform/X11Input.h"

#include <X11/keysym.h>

#include "graphics/IPlatformView.h"

namespace plug {

using graphics::EKey;
using graphics::IMouseMod;

namespace {
constexpr unsigned int kWheelAway = Button4;
constexpr unsigned int kWheelTowards = Button5;
} // namespace

IMouseMod X11Input::ModFor(unsigned int state, bool left, bool right)
{
  return IMouseMod(left, right, (state & ShiftMask) != 0, (state & ControlMask) != 0);
}

void X11Input::OnButtonPress(const XButtonEvent& event)
{
  if (event.button == kWheelAway || event.button == kWheelTowards) {
    if (mHeldButton == 0)
      mGraphics.OnMouseWheel(static_cast<float>(event.x), static_cast<float>(event.y),
                             ModFor(event.state, false, false), event.button == kWheelAway ? 1.0f : -1.0f);
    return;
  }
  if (mHeldButton != 0 || (event.button != Button1 && event.button != Button3))
    return;
  mHeldButton = event.button;
  mHeldRight = event.button == Button3 || (event.state & Mod4Mask) != 0;
  mGraphics.OnMouseDown(static_cast<float>(event.x), static_cast<float>(event.y),
                        ModFor(event.state, !mHeldRight, mHeldRight), unwrappedMs(event.time));
}

double X11Input::unwrappedMs(Time time)
{
  // The server's clock only runs forwards: a step back by more than half the range is a wrap.
  const auto now = static_cast<std::uint32_t>(time);
  if (now < mLastTime && mLastTime - now > 0x80000000u)
    mWrapsMs += 4294967296.0;
  mLastTime = now;
  return mWrapsMs + static_cast<double>(now);
}

void X11Input::OnButtonRelease(const XButtonEvent& event)
{
  if (mHeldButton == 0 || event.button != mHeldButton)
    return;
  mHeldButton = 0;
  mGraphics.OnMouseUp(static_cast<float>(event.x), static_cast<float>(event.y),
                      ModFor(event.state, !mHeldRight, mHeldRight));
  // The pointer left while the button was held: that leave was kept back until now.
  if (outside(event.x, event.y))
    mGraphics.OnMouseLeave();
}

void X11Input::OnMotion(const XMotionEvent& event)
{
  const bool held = mHeldButton != 0;
  mGraphics.OnMouseMove(static_cast<float>(event.x), static_cast<float>(event.y),
                        ModFor(event.state, held && !mHeldRight, held && mHeldRight));
}

void X11Input::OnEnter(const XCrossingEvent& event)
{
  if (mHeldButton == 0)
    mGraphics.OnMouseMove(static_cast<float>(event.x), static_cast<float>(event.y), ModFor(event.state, false, false));
}

void X11Input::OnLeave(const XCrossingEvent& event)
{
  // Leaving into a window of our own (there is none) or because a grab began is no leave.
  if (mHeldButton == 0 && event.detail != NotifyInferior && event.mode != NotifyGrab)
    mGraphics.OnMouseLeave();
}

bool X11Input::OnKey(KeySym key)
{
  switch (key) {
    case XK_Escape: return mGraphics.OnKeyDown(EKey::kEscape);
    case XK_Return:
    case XK_KP_Enter: return mGraphics.OnKeyDown(EKey::kReturn);
    default: return false;
  }
}

} // namespace plug
