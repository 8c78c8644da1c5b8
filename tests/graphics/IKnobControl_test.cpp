// SPDX-License-Identifier: ISC
// The bitmap knob: which of its 65 frames shows a value, and how drags change the value.

#include "graphics/IKnobControl.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

// 65 frames of 8 × 8 whose red channel tells the frame: 3 × (frame − 1).
std::string writeKnob(const TempDir& dir)
{
  std::vector<std::uint32_t> colours;
  for (std::uint32_t i = 0; i < 65; ++i)
    colours.push_back((3 * i) << 16 | 0x0080FF);
  const std::string path = dir.file("knob.png");
  writeFramesPng(path, 8, 8, colours);
  return path;
}

int frameShown(const Screen& s, float x, float y)
{
  return s.at(x, y).R / 3 + 1;
}

} // namespace

TEST(IBKnobControl, ShowsFrameOnePlusRoundedValueTimes64)
{
  TempDir dir;
  writeKnob(dir);
  Screen s;
  s.g.SetAssetFolder(dir.path().string());
  auto* knob = s.attach(new IBKnobControl(10, 10, s.g.LoadBitmap("knob.png", 65)));
  EXPECT_EQ(knob->GetRECT(), IRECT(10, 10, 18, 18)) << "one frame in size";
  struct Case {
    double value;
    int frame;
  };
  // 1 + floor(0.5 + v × 64)
  const Case cases[] = {{0.0, 1}, {1.0, 65}, {0.5, 33}, {0.25, 17}, {0.5 / 64 - 1e-9, 1}, {0.5 / 64, 2}, {0.999, 65}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    knob->SetValueFromDelegate(c.value);
    knob->SetDirty(false);
    s.frame();
    EXPECT_EQ(frameShown(s, 14, 14), c.frame);
  }
}

TEST(IBKnobControl, DragGestures)
{
  struct Case {
    const char* name;
    float scale;
    int param;
    double start;
    float dy; // design units, negative is up
    int steps;
    IMouseMod mod;
    double expected;
  };
  const IMouseMod left = UiDriver::left();
  // The knob is 40 units high with gearing 4: one knob height changes the value by 0.25.
  const Case cases[] = {
    {"up one knob height", 1.0f, TestPlugin::kLevel, 0.5, -40, 4, left, 0.75},
    {"down one knob height", 1.0f, TestPlugin::kLevel, 0.5, 40, 4, left, 0.25},
    {"the same in design units at scale 0.5", 0.5f, TestPlugin::kLevel, 0.5, -40, 4, left, 0.75},
    {"Shift is ten times finer", 1.0f, TestPlugin::kLevel, 0.5, -40, 4, UiDriver::leftShift(), 0.525},
    {"so is Control", 1.0f, TestPlugin::kLevel, 0.5, 40, 4, UiDriver::leftControl(), 0.475},
    {"clamped at the top", 1.0f, TestPlugin::kLevel, 0.9, -80, 4, left, 1.0},
    {"clamped at the bottom", 1.0f, TestPlugin::kLevel, 0.1, 160, 4, left, 0.0},
    // Mode has five steps (0.25 apart): 0.2 of travel in small moves adds up to the step at 0.25.
    {"stepped: small moves add up to a step", 1.0f, TestPlugin::kMode, 0.0, -32, 8, left, 0.25},
    {"stepped: less than half a step stays", 1.0f, TestPlugin::kMode, 0.0, -19, 8, left, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s(400, 300, c.scale);
    auto* knob = s.attach(
      new IBKnobControl(100, 100, IBitmap::Placeholder("knob", 1, false), c.param, EDirection::kVertical, 4.0));
    knob->SetTargetAndDrawRECTs(IRECT(100, 100, 140, 140));
    knob->SetValue(c.start);
    s.ui.drag(120, 120, 120, 120 + c.dy, c.steps, c.mod);
    EXPECT_NEAR(knob->GetValue(), c.expected, 1e-9);
    EXPECT_NEAR(s.plugin.GetParam(c.param)->GetNormalized(), c.expected, 1e-9) << "the plug-in has the value";
  }
}

TEST(IBKnobControl, TheCursorIsHiddenWhileTheButtonIsDown)
{
  Screen s;
  s.attach(new IBKnobControl(100, 100, IBitmap::Placeholder("knob", 1, false), TestPlugin::kLevel));
  s.ui.press(110, 110);
  EXPECT_TRUE(s.view.CursorHidden());
  s.ui.move(110, 90, UiDriver::left());
  EXPECT_TRUE(s.view.CursorHidden());
  s.ui.release(110, 90);
  EXPECT_FALSE(s.view.CursorHidden());
  EXPECT_EQ(s.plugin.host.touched, std::vector<int>{TestPlugin::kLevel});
  EXPECT_EQ(s.plugin.host.released, std::vector<int>{TestPlugin::kLevel});
}

TEST(IBKnobControl, HorizontalKnobsFollowTheMouseToTheRight)
{
  Screen s;
  auto* knob = s.attach(new IBKnobControl(100, 100, IBitmap::Placeholder("knob", 1, false), TestPlugin::kLevel,
                                          EDirection::kHorizontal, 1.0));
  knob->SetTargetAndDrawRECTs(IRECT(100, 100, 140, 140));
  s.ui.drag(110, 110, 130, 110);
  EXPECT_NEAR(knob->GetValue(), 0.5, 1e-9);
}

TEST(IBKnobControl, WheelNotches)
{
  struct Case {
    const char* name;
    int param;
    double start;
    float notches;
    IMouseMod mod;
    double expected;
  };
  const Case cases[] = {
    {"one notch up is a hundredth", TestPlugin::kLevel, 0.5, 1.0f, IMouseMod(), 0.51},
    {"two notches down", TestPlugin::kLevel, 0.5, -2.0f, IMouseMod(), 0.48},
    {"with Shift a thousandth", TestPlugin::kLevel, 0.5, 1.0f, IMouseMod(false, false, true), 0.501},
    {"with Control too", TestPlugin::kLevel, 0.5, -1.0f, IMouseMod(false, false, false, true), 0.499},
    {"clamped at the top", TestPlugin::kLevel, 0.995, 1.0f, IMouseMod(), 1.0},
    {"clamped at the bottom", TestPlugin::kLevel, 0.004, -1.0f, IMouseMod(), 0.0},
    // Mode has five entries: a notch is one entry (0.25 of the range), whatever the modifier.
    {"stepped: one entry up", TestPlugin::kMode, 0.25, 1.0f, IMouseMod(), 0.5},
    {"stepped: one entry down with Shift", TestPlugin::kMode, 0.25, -1.0f, IMouseMod(false, false, true), 0.0},
    {"stepped: stays on the last entry", TestPlugin::kMode, 1.0, 1.0f, IMouseMod(), 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s;
    auto* knob = s.attach(new IBKnobControl(100, 100, IBitmap::Placeholder("knob", 1, false), c.param));
    knob->SetValue(c.start);
    EXPECT_TRUE(s.g.OnMouseWheel(105, 105, c.mod, c.notches));
    EXPECT_NEAR(knob->GetValue(), c.expected, 1e-9);
    EXPECT_NEAR(s.plugin.GetParam(c.param)->GetNormalized(), c.expected, 1e-9) << "the plug-in has the value";
    EXPECT_EQ(s.plugin.host.touched, std::vector<int>{c.param}) << "one gesture for the host";
    EXPECT_EQ(s.plugin.host.released, std::vector<int>{c.param});
  }
}
