// SPDX-License-Identifier: ISC
// Controls in a context: which control gets the mouse, hover, double-clicks, how values travel to
// and from the plug-in, and marking dirty or hiding from another thread.

#include "graphics/IControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

RecordingControl* rec(IControl* c)
{
  return static_cast<RecordingControl*>(c);
}

} // namespace

TEST(IControlMouse, TheTopmostVisibleControlGetsPressDragAndRelease)
{
  Screen s(400, 300, 0.5f);
  auto* below = rec(s.attach(new RecordingControl(IRECT(0, 0, 200, 200))));
  auto* above = rec(s.attach(new RecordingControl(IRECT(100, 100, 300, 300))));

  s.ui.drag(150, 150, 390, 20, 2); // ends far outside the control: it keeps the mouse
  EXPECT_EQ(above->events, (std::vector<std::string>{"down", "drag", "drag", "up"}));
  EXPECT_TRUE(below->events.empty());
  // Positions arrive in design units; deltas too.
  EXPECT_FLOAT_EQ(above->points[0].x, 150.0f);
  EXPECT_FLOAT_EQ(above->points[0].y, 150.0f);
  EXPECT_FLOAT_EQ(above->drags[0].x, 120.0f);
  EXPECT_FLOAT_EQ(above->drags[0].y, -65.0f);
  EXPECT_FLOAT_EQ(above->points.back().x, 390.0f);

  above->events.clear();
  above->Hide(true);
  s.ui.click(150, 150);
  EXPECT_TRUE(above->events.empty()) << "hidden controls get no mouse";
  EXPECT_EQ(below->events, (std::vector<std::string>{"down", "up"}));

  below->events.clear();
  above->Hide(false);
  above->SetIgnoreMouse(true);
  s.ui.click(150, 150);
  EXPECT_TRUE(above->events.empty());
  EXPECT_EQ(below->events, (std::vector<std::string>{"down", "up"}));

  below->events.clear();
  s.ui.click(350, 50);
  EXPECT_TRUE(below->events.empty()) << "a press on nothing goes nowhere";
}

TEST(IControlMouse, TheWheelGoesToTheControlUnderThePointerWhenNothingElseHasTheMouse)
{
  Screen s(400, 300, 0.5f);
  auto* below = rec(s.attach(new RecordingControl(IRECT(0, 0, 200, 200), TestPlugin::kLevel)));
  auto* above = rec(s.attach(new RecordingControl(IRECT(100, 100, 300, 300))));

  EXPECT_TRUE(s.g.OnMouseWheel(25, 25, IMouseMod(false, false, true), -2.0f)); // pixels: design 50, 50
  EXPECT_EQ(below->events, std::vector<std::string>{"wheel"});
  EXPECT_EQ(below->wheels, std::vector<float>{-2.0f});
  EXPECT_FLOAT_EQ(below->points[0].x, 50.0f) << "design units";
  EXPECT_EQ(s.plugin.host.touched, std::vector<int>{TestPlugin::kLevel}) << "a gesture for the host";
  EXPECT_EQ(s.plugin.host.released, std::vector<int>{TestPlugin::kLevel});

  EXPECT_TRUE(s.g.OnMouseWheel(75, 75, IMouseMod(), 1.0f));
  EXPECT_EQ(above->wheels, std::vector<float>{1.0f}) << "the topmost control";
  EXPECT_EQ(below->wheels.size(), 1u);

  EXPECT_FALSE(s.g.OnMouseWheel(190, 20, IMouseMod(), 1.0f)) << "nothing under the pointer";
  EXPECT_FALSE(s.g.OnMouseWheel(75, 75, IMouseMod(), 0.0f)) << "no turn";

  s.ui.press(150, 150);
  EXPECT_FALSE(s.g.OnMouseWheel(75, 75, IMouseMod(), 1.0f)) << "a button is held";
  s.ui.release(150, 150);
  EXPECT_EQ(above->wheels.size(), 1u);

  IPopupMenu menu;
  menu.AddItem("One");
  s.g.CreatePopupMenu(*above, menu, IRECT(10, 10, 10, 10));
  EXPECT_FALSE(s.g.OnMouseWheel(75, 75, IMouseMod(), 1.0f)) << "a menu is open";
  EXPECT_EQ(above->wheels.size(), 1u);
}

TEST(IControlMouse, HoverSetsAndClearsTheFlag)
{
  Screen s(400, 300, 1.0f);
  auto* a = rec(s.attach(new RecordingControl(IRECT(0, 0, 100, 100))));
  auto* b = rec(s.attach(new RecordingControl(IRECT(200, 0, 300, 100))));

  s.ui.move(50, 50);
  EXPECT_TRUE(a->events.empty()) << "mouse-over handling is off until enabled";
  s.g.EnableMouseOver(true);

  s.frame();
  const int draws = a->draws;
  s.ui.move(50, 50);
  EXPECT_TRUE(a->GetMouseIsOver());
  EXPECT_TRUE(a->IsDirty()) << "a change of the flag redraws";
  s.frame();
  EXPECT_EQ(a->draws, draws + 1);
  s.ui.move(60, 60);
  EXPECT_FALSE(a->IsDirty()) << "no change, no redraw";

  s.ui.move(250, 50);
  EXPECT_FALSE(a->GetMouseIsOver());
  EXPECT_TRUE(b->GetMouseIsOver());
  EXPECT_EQ(a->events, (std::vector<std::string>{"over", "out"}));

  // During a drag the hover stays with the pressed control.
  s.ui.drag(250, 50, 50, 50);
  EXPECT_EQ(a->events, (std::vector<std::string>{"over", "out", "over"})) << "re-evaluated at the release";
  EXPECT_EQ(b->events, (std::vector<std::string>{"over", "down", "drag", "drag", "drag", "drag", "up", "out"}));

  s.g.OnMouseLeave();
  EXPECT_FALSE(a->GetMouseIsOver());
  b->Hide(true);
  s.ui.move(250, 50);
  EXPECT_FALSE(b->GetMouseIsOver()) << "hidden controls are not hovered";
}

TEST(IControlMouse, DoubleClicks)
{
  struct Press {
    double ms;
    float x;
    bool right;
  };
  struct Case {
    const char* name;
    std::vector<Press> presses;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
    {"two quick presses", {{0, 50, false}, {300, 50, false}}, {"down", "up", "dblclick", "up"}},
    {"a third press starts again",
     {{0, 50, false}, {200, 50, false}, {350, 50, false}},
     {"down", "up", "dblclick", "up", "down", "up"}},
    {"too slow", {{0, 50, false}, {450, 50, false}}, {"down", "up", "down", "up"}},
    {"too far apart", {{0, 50, false}, {100, 60, false}}, {"down", "up", "down", "up"}},
    {"different buttons", {{0, 50, false}, {100, 50, true}}, {"down", "up", "down", "up"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s;
    auto* control = rec(s.attach(new RecordingControl(IRECT(0, 0, 100, 100))));
    for (const Press& p : c.presses) {
      const IMouseMod mod(!p.right, p.right);
      s.g.OnMouseDown(p.x, 50, mod, p.ms);
      s.g.OnMouseUp(p.x, 50, mod);
    }
    EXPECT_EQ(control->events, c.expected);
  }
}

TEST(IControlValues, UserInputGoesToThePluginAndDelegateValuesDoNot)
{
  Screen s;
  auto* bound = s.attach(new RecordingControl(IRECT(0, 0, 10, 10), TestPlugin::kLevel));
  auto* unbound = s.attach(new RecordingControl(IRECT(20, 0, 30, 10)));

  bound->SetValueFromUserInput(0.25);
  EXPECT_DOUBLE_EQ(s.plugin.GetParam(TestPlugin::kLevel)->GetValue(), 2.5);
  ASSERT_EQ(s.plugin.host.changes.size(), 1u);
  EXPECT_EQ(s.plugin.host.changes[0].paramIdx, TestPlugin::kLevel);
  EXPECT_DOUBLE_EQ(s.plugin.host.changes[0].normalizedValue, 0.25);
  EXPECT_EQ(s.plugin.dispatched, std::vector<int>{TestPlugin::kLevel});

  bound->SetValueFromDelegate(0.75);
  bound->SetDirty(false);
  EXPECT_DOUBLE_EQ(bound->GetValue(), 0.75);
  EXPECT_EQ(s.plugin.host.changes.size(), 1u) << "nothing goes back to the host";
  EXPECT_EQ(s.plugin.dispatched.size(), 1u);

  unbound->SetValueFromUserInput(1.0);
  EXPECT_EQ(s.plugin.host.changes.size(), 1u) << "no parameter, nothing sent";

  // Values are normalised and clamped; NaN changes nothing.
  bound->SetValue(1.5);
  EXPECT_DOUBLE_EQ(bound->GetValue(), 1.0);
  bound->SetValue(std::nan(""));
  EXPECT_DOUBLE_EQ(bound->GetValue(), 1.0);
}

TEST(IControlValues, TheActionFunctionRunsAfterTheValueIsSent)
{
  Screen s;
  std::vector<double> seen;
  struct Plain : IControl {
    using IControl::IControl;
    void Draw(IGraphics&) override {}
  };
  TestPlugin& plugin = s.plugin;
  auto* c = s.attach(new Plain(IRECT(0, 0, 10, 10), TestPlugin::kLevel,
                               [&](IControl*) { seen.push_back(plugin.GetParam(TestPlugin::kLevel)->GetValue()); }));
  c->SetValueFromUserInput(0.5);
  c->SetDirty(false);
  EXPECT_EQ(seen, std::vector<double>{5.0});
}

TEST(IControlValues, AttachedControlsShowTheParametersAndFollowThePlugin)
{
  Screen s;
  s.plugin.GetParam(TestPlugin::kMode)->SetValue(2.0);
  auto* mode = s.attach(new RecordingControl(IRECT(0, 0, 10, 10), TestPlugin::kMode));
  auto* level = s.attach(new RecordingControl(IRECT(20, 0, 30, 10), TestPlugin::kLevel));
  EXPECT_DOUBLE_EQ(mode->GetValue(), 0.5) << "attaching takes the parameter's value";

  s.plugin.AttachEditor(&s.g);
  s.frame();
  s.plugin.SendParameterValueFromDelegate(TestPlugin::kLevel, 7.5, false);
  EXPECT_DOUBLE_EQ(level->GetValue(), 0.75);
  EXPECT_TRUE(level->IsDirty());
  EXPECT_FALSE(mode->IsDirty());
  EXPECT_TRUE(s.plugin.host.changes.empty());
  s.plugin.DetachEditor();
}

TEST(IControlValues, PressAndReleaseTouchAndReleaseTheParameterForTheHost)
{
  Screen s;
  s.attach(new RecordingControl(IRECT(0, 0, 10, 10), TestPlugin::kSwitch));
  s.attach(new RecordingControl(IRECT(20, 0, 30, 10)));
  s.ui.press(5, 5);
  EXPECT_EQ(s.plugin.host.touched, std::vector<int>{TestPlugin::kSwitch});
  EXPECT_TRUE(s.plugin.host.released.empty());
  s.ui.release(5, 5);
  EXPECT_EQ(s.plugin.host.released, std::vector<int>{TestPlugin::kSwitch});

  s.ui.click(25, 5);
  EXPECT_EQ(s.plugin.host.touched.size(), 1u) << "a control without a parameter touches nothing";
}

// Another thread hides, shows and marks a control dirty (with its action) while this thread draws:
// the flags land in the next frames, and the action runs here, not there.
TEST(IControlThreads, HideShowAndDirtyFromAnotherThread)
{
  Screen s;
  auto* c = rec(s.attach(new RecordingControl(IRECT(0, 0, 100, 100), TestPlugin::kLevel)));
  c->SetValue(0.5);
  s.frame();

  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 2000; ++i) {
      c->Hide(i % 2 == 0);
      c->SetDirty(false);
    }
    done.store(true);
  });
  while (!done.load())
    s.frame();
  worker.join();
  // The last show and dirty mark come from another thread with no frame in between.
  std::thread([&] {
    c->Hide(false);
    c->SetDirty(true);
  }).join();
  EXPECT_TRUE(s.plugin.dispatched.empty()) << "the action waits for the user-interface thread";
  s.frame();
  EXPECT_EQ(s.plugin.dispatched, std::vector<int>{TestPlugin::kLevel});
  EXPECT_FALSE(c->IsHidden());
  EXPECT_EQ(s.at(50, 50), IColor(255, 255, 0, 0));
}
