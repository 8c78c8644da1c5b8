// SPDX-License-Identifier: ISC
// The bitmap slider's base behaviour: a click puts the handle under the mouse, drags move the value
// relatively over the track, and the handle is drawn where the value puts it.

#include "graphics/ISliderControl.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

// A vertical slider at (100, 50): track 200 units long, handle 20 × 20, so a click maps over 180 units.
IBSliderControl* makeSlider(Screen& s, int param, const IBitmap& handle = IBitmap::Placeholder("h", 1, false))
{
  return static_cast<IBSliderControl*>(
    s.attach(new IBSliderControl(100, 50, 200, handle, IBitmap(), param, EDirection::kVertical, 1.0)));
}

} // namespace

TEST(IBSliderControl, GeometryFromTheTrackLengthAndTheHandle)
{
  Screen s;
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("handle.png"), 20, 20, {0x00FF00}));
  s.g.SetAssetFolder(dir.path().string());
  IBSliderControl* slider = makeSlider(s, TestPlugin::kLevel, s.g.LoadBitmap("handle.png"));
  EXPECT_EQ(slider->GetRECT(), IRECT(100, 50, 120, 250));
  EXPECT_FLOAT_EQ(slider->GetHandleSize(), 20.0f);

  // The handle travels over track − handle = 180 units: at 1 it is at the top, at 0.5 90 lower.
  slider->SetValueFromDelegate(1.0);
  s.frame();
  EXPECT_EQ(s.at(110, 55), IColor(255, 0, 255, 0));
  EXPECT_NE(s.at(110, 75), IColor(255, 0, 255, 0));
  slider->SetValueFromDelegate(0.5);
  s.frame();
  EXPECT_EQ(s.at(110, 145), IColor(255, 0, 255, 0));
  EXPECT_NE(s.at(110, 55), IColor(255, 0, 255, 0));
}

TEST(IBSliderControl, ClicksAndDrags)
{
  struct Case {
    const char* name;
    int param;
    double start;
    float pressY, releaseY;
    IMouseMod mod;
    double expected;
  };
  const IMouseMod left = UiDriver::left();
  const Case cases[] = {
    {"a click on the handle's top position gives 1", TestPlugin::kLevel, 0.0, 60, 60, left, 1.0},
    {"a click 90 units lower gives 0.5", TestPlugin::kLevel, 0.0, 150, 150, left, 0.5},
    {"below the last position gives 0", TestPlugin::kLevel, 0.5, 248, 248, left, 0.0},
    {"with Shift a click does not jump", TestPlugin::kLevel, 0.3, 60, 60, UiDriver::leftShift(), 0.3},
    // After the jump to 0.5, dragging up by half the track (100 units) adds 0.5.
    {"drag up half the track", TestPlugin::kLevel, 0.0, 150, 50, left, 1.0},
    {"drag down a quarter", TestPlugin::kLevel, 0.0, 150, 200, left, 0.25},
    {"with Control ten times finer", TestPlugin::kLevel, 0.5, 150, 50, UiDriver::leftControl(), 0.55},
    // Mode has five steps 0.25 apart: the click snaps to a step, the drag moves in whole steps.
    {"stepped: a click lands on a step", TestPlugin::kMode, 0.0, 135, 135, left, 0.5},
    {"stepped: a drag moves in whole steps", TestPlugin::kMode, 0.0, 150, 100, left, 0.75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s;
    IBSliderControl* slider = makeSlider(s, c.param);
    slider->SetValue(c.start);
    s.ui.drag(110, c.pressY, 110, c.releaseY, 5, c.mod);
    EXPECT_NEAR(slider->GetValue(), c.expected, 1e-9);
    EXPECT_NEAR(s.plugin.GetParam(c.param)->GetNormalized(), c.expected, 1e-9);
  }
}

TEST(IBSliderControl, TheCursorHidesWhileDraggingUnlessSwitchedOff)
{
  Screen s;
  IBSliderControl* slider = makeSlider(s, TestPlugin::kLevel);
  s.ui.press(110, 100);
  EXPECT_TRUE(s.view.CursorHidden());
  s.ui.release(110, 100);
  EXPECT_FALSE(s.view.CursorHidden());
  slider->SetHideCursorOnDrag(false);
  s.ui.press(110, 100);
  EXPECT_FALSE(s.view.CursorHidden());
  s.ui.release(110, 100);
  EXPECT_EQ(s.view.CursorHides(), 1);
}

TEST(IBSliderControl, WheelNotchesMoveTheValueWithoutJumping)
{
  Screen s;
  IBSliderControl* slider = makeSlider(s, TestPlugin::kLevel);
  slider->SetValue(0.3);
  EXPECT_TRUE(s.g.OnMouseWheel(110, 60, IMouseMod(), 3.0f)) << "over the handle's top position";
  EXPECT_NEAR(slider->GetValue(), 0.33, 1e-9) << "no snap to the pointer";
  EXPECT_NEAR(s.plugin.GetParam(TestPlugin::kLevel)->GetNormalized(), 0.33, 1e-9);

  IBSliderControl* stepped = makeSlider(s, TestPlugin::kMode);
  stepped->SetTargetAndDrawRECTs(stepped->GetRECT().GetTranslated(200, 0));
  stepped->SetValue(0.5);
  s.g.OnMouseWheel(310, 150, IMouseMod(), -1.0f);
  EXPECT_NEAR(stepped->GetValue(), 0.25, 1e-9);
}
