// SPDX-License-Identifier: ISC
// The X server's pointer, crossing and key events turned into the graphics context's calls, on an
// off-screen context: no display needed (the events are plain structures).

// GoogleTest before Xlib, whose macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"
#include "graphics/PopupMenuPanel.h"
#include "platform/X11Input.h"

#include <X11/keysym.h>

using namespace gtest_graphics;
using plug::X11Input;

namespace {

// A context of 400 × 300 at scale 1 with one recording control at 100, 100 … 200, 200, and the
// translator for a window of the picture's size.
struct Fixture {
  Fixture()
  {
    s.g.EnableMouseOver(true);
    control = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(100, 100, 200, 200))));
    input.SetWindowSize(400, 300);
  }

  static XButtonEvent button(int type, unsigned int number, int x, int y, unsigned int state = 0, Time time = 1000)
  {
    XButtonEvent e{};
    e.type = type;
    e.button = number;
    e.x = x;
    e.y = y;
    e.state = state;
    e.time = time;
    return e;
  }
  void press(unsigned int number, int x, int y, unsigned int state = 0, Time time = 1000)
  {
    input.OnButtonPress(button(ButtonPress, number, x, y, state, time));
  }
  void release(unsigned int number, int x, int y, unsigned int state = 0)
  {
    input.OnButtonRelease(button(ButtonRelease, number, x, y, state));
  }
  void motion(int x, int y, unsigned int state = 0)
  {
    XMotionEvent e{};
    e.type = MotionNotify;
    e.x = x;
    e.y = y;
    e.state = state;
    input.OnMotion(e);
  }
  XCrossingEvent crossing(int type, int x, int y, int mode = NotifyNormal, int detail = NotifyAncestor)
  {
    XCrossingEvent e{};
    e.type = type;
    e.x = x;
    e.y = y;
    e.mode = mode;
    e.detail = detail;
    return e;
  }

  gtest_graphics::Screen s{400, 300, 1.0f};
  RecordingControl* control = nullptr;
  X11Input input{s.g};
};

} // namespace

TEST(X11Input, ButtonsAndModifiersBecomeMouseEvents)
{
  struct Case {
    const char* name;
    unsigned int button;
    unsigned int state;
    bool left, right, shift, control;
  };
  const Case cases[] = {
    {"left", Button1, 0, true, false, false, false},
    {"right", Button3, 0, false, true, false, false},
    {"left with Super counts as right", Button1, Mod4Mask, false, true, false, false},
    {"Shift is fine adjustment", Button1, ShiftMask, true, false, true, false},
    {"so is Control", Button1, ControlMask, true, false, false, true},
    {"right with Shift and Control", Button3, ShiftMask | ControlMask, false, true, true, true},
    {"Caps Lock and Num Lock change nothing", Button1, LockMask | Mod2Mask, true, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.s.g.EnableMouseOver(false);
    // The context passes the modifiers on to a press as given; a knob would see them the same way.
    struct ModRecorder : RecordingControl {
      using RecordingControl::RecordingControl;
      void OnMouseDown(float x, float y, const IMouseMod& m) override
      {
        mods.push_back(m);
        RecordingControl::OnMouseDown(x, y, m);
      }
      void OnMouseUp(float x, float y, const IMouseMod& m) override
      {
        mods.push_back(m);
        RecordingControl::OnMouseUp(x, y, m);
      }
      std::vector<IMouseMod> mods;
    };
    auto* recorder = static_cast<ModRecorder*>(f.s.attach(new ModRecorder(IRECT(250, 50, 350, 150))));
    f.press(c.button, 300, 100, c.state);
    f.release(c.button, 300, 100, c.state);
    ASSERT_EQ(recorder->events, (std::vector<std::string>{"down", "up"}));
    for (const IMouseMod& m : recorder->mods) {
      EXPECT_EQ(m.L, c.left);
      EXPECT_EQ(m.R, c.right);
      EXPECT_EQ(m.S, c.shift);
      EXPECT_EQ(m.C, c.control);
    }
  }
}

TEST(X11Input, OtherButtonsAreIgnored)
{
  Fixture f;
  for (unsigned int b : {2u, 6u, 7u, 8u, 9u}) {
    f.press(b, 150, 150);
    f.release(b, 150, 150);
  }
  EXPECT_TRUE(f.control->events.empty());
  EXPECT_FALSE(f.input.ButtonHeld());
}

TEST(X11Input, WhileAButtonIsHeldTheWindowKeepsThePointer)
{
  Fixture f;
  f.press(Button1, 150, 150);
  EXPECT_TRUE(f.input.ButtonHeld());
  f.press(Button3, 150, 150); // another button during the gesture
  f.motion(170, 140, Button1Mask);
  f.motion(-50, 400, Button1Mask); // far outside the window: still a drag
  f.input.OnLeave(f.crossing(LeaveNotify, -50, 400));
  f.release(Button3, -50, 400); // not the button that started it
  EXPECT_EQ(f.control->events, (std::vector<std::string>{"down", "drag", "drag"}));
  EXPECT_FLOAT_EQ(f.control->drags[1].x, -220.0f);
  EXPECT_FLOAT_EQ(f.control->drags[1].y, 260.0f);

  f.release(Button1, -50, 400);
  EXPECT_EQ(f.control->events, (std::vector<std::string>{"down", "drag", "drag", "up"}));
  EXPECT_FALSE(f.input.ButtonHeld());
}

TEST(X11Input, HoverFollowsEnterMoveAndLeaveAndAReleaseOutsideEndsIt)
{
  Fixture f;
  f.input.OnEnter(f.crossing(EnterNotify, 150, 150));
  EXPECT_EQ(f.control->events, std::vector<std::string>{"over"});
  EXPECT_TRUE(f.control->GetMouseIsOver());
  f.input.OnLeave(f.crossing(LeaveNotify, 420, 150));
  EXPECT_FALSE(f.control->GetMouseIsOver());

  f.motion(150, 150);
  EXPECT_TRUE(f.control->GetMouseIsOver());
  f.input.OnLeave(f.crossing(LeaveNotify, 150, 150, NotifyNormal, NotifyInferior));
  EXPECT_TRUE(f.control->GetMouseIsOver()) << "into a window inside ours is no leave";

  f.press(Button1, 150, 150);
  f.input.OnLeave(f.crossing(LeaveNotify, 420, 150));
  f.input.OnEnter(f.crossing(EnterNotify, 150, 150));
  f.input.OnLeave(f.crossing(LeaveNotify, 420, 150));
  EXPECT_TRUE(f.control->GetMouseIsOver()) << "no leave while the button is held";
  f.release(Button1, 420, 150);
  EXPECT_FALSE(f.control->GetMouseIsOver()) << "the release outside ends the hover";

  f.motion(150, 150);
  f.press(Button1, 150, 150);
  f.release(Button1, 150, 150);
  EXPECT_TRUE(f.control->GetMouseIsOver()) << "a release inside keeps it";
}

TEST(X11Input, DoubleClicksAreToldByTheServersTimestamps)
{
  struct Case {
    const char* name;
    Time first, second;
    unsigned int secondButton;
    std::vector<std::string> events;
  };
  const Case cases[] = {
    {"200 ms apart", 5000, 5200, Button1, {"down", "up", "dblclick", "up"}},
    {"400 ms apart", 5000, 5400, Button1, {"down", "up", "dblclick", "up"}},
    {"401 ms apart", 5000, 5401, Button1, {"down", "up", "down", "up"}},
    {"left then right", 5000, 5100, Button3, {"down", "up", "down", "up"}},
    {"272 ms apart across the wrap of the server's 32-bit clock",
     0xFFFFFF00ul,
     0x10ul,
     Button1,
     {"down", "up", "dblclick", "up"}},
    {"more than 24 days apart", 0x10ul, 0x10ul + 0x80000001ul, Button1, {"down", "up", "down", "up"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.s.g.EnableMouseOver(false);
    f.press(Button1, 150, 150, 0, c.first);
    f.release(Button1, 150, 150);
    f.press(c.secondButton, 150, 150, 0, c.second);
    f.release(c.secondButton, 150, 150);
    EXPECT_EQ(f.control->events, c.events);
  }
}

TEST(X11Input, WheelButtonsAreNotches)
{
  Fixture f;
  f.press(Button4, 150, 150, ShiftMask);
  f.release(Button4, 150, 150, ShiftMask);
  f.press(Button5, 150, 150);
  f.release(Button5, 150, 150);
  EXPECT_EQ(f.control->wheels, (std::vector<float>{1.0f, -1.0f}));
  EXPECT_FALSE(f.input.ButtonHeld()) << "the wheel holds nothing";

  f.press(Button1, 150, 150);
  f.press(Button4, 150, 150);
  f.release(Button1, 150, 150);
  EXPECT_EQ(f.control->wheels.size(), 2u) << "not while a button is held";
}

TEST(X11Input, EscapeAndReturnCloseMenus)
{
  Fixture f;
  IPopupMenu menu;
  menu.AddItem("One");
  menu.AddItem("Two");
  EXPECT_FALSE(f.input.OnKey(XK_Escape)) << "no menu open: the key is not used";

  f.s.g.CreatePopupMenu(*f.control, menu, IRECT(10, 10, 10, 10));
  EXPECT_FALSE(f.input.OnKey(XK_a));
  EXPECT_TRUE(f.input.OnKey(XK_Escape));
  EXPECT_FALSE(f.s.g.IsPopupMenuOpen());
  EXPECT_EQ(f.control->selections, std::vector<int>{-1});

  for (KeySym enter : {XK_Return, XK_KP_Enter}) {
    f.s.g.CreatePopupMenu(*f.control, menu, IRECT(10, 10, 10, 10));
    const IRECT item = f.s.g.GetPopupMenuPanel()->ItemRect(1);
    f.motion(static_cast<int>(item.MW()), static_cast<int>(item.MH()));
    EXPECT_TRUE(f.input.OnKey(enter));
    EXPECT_FALSE(f.s.g.IsPopupMenuOpen());
  }
  EXPECT_EQ(f.control->selections, (std::vector<int>{-1, 1, 1}));
}
