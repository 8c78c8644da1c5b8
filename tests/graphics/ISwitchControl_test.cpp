// SPDX-License-Identifier: ISC
// The bitmap switch: each click advances one state and wraps after the last.

#include "graphics/ISwitchControl.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

TEST(IBSwitchControl, ClicksAdvanceOneStateAndWrapAbove1001)
{
  struct Case {
    int frames;
    std::vector<double> values; // after each click, from 0
  };
  const Case cases[] = {
    {2, {1.0, 0.0, 1.0, 0.0}},
    {3, {0.5, 1.0, 0.0, 0.5}},
    // Six sixths add up to a hair off 1, which is not above 1.001: the wrap comes one click later.
    {7, {1 / 6.0, 2 / 6.0, 3 / 6.0, 4 / 6.0, 5 / 6.0, 1.0, 0.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frames);
    Screen s;
    auto* sw = s.attach(new IBSwitchControl(10, 10, IBitmap::Placeholder("switch", c.frames, false)));
    for (double expected : c.values) {
      s.ui.click(20, 20);
      EXPECT_NEAR(sw->GetValue(), expected, 1e-9);
    }
  }
}

TEST(IBSwitchControl, TogglesItsParameterAndShowsTheFrame)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("switch.png"), 12, 10, {0x202020, 0xF0C000}));
  Screen s;
  s.g.SetAssetFolder(dir.path().string());
  auto* sw = s.attach(new IBSwitchControl(10, 10, s.g.LoadBitmap("switch.png", 2), TestPlugin::kSwitch));
  EXPECT_EQ(sw->GetRECT(), IRECT(10, 10, 22, 20));
  s.frame();
  EXPECT_EQ(s.at(15, 15), IColor(255, 0x20, 0x20, 0x20));

  s.ui.click(15, 15);
  EXPECT_DOUBLE_EQ(s.plugin.GetParam(TestPlugin::kSwitch)->GetValue(), 1.0);
  s.frame();
  EXPECT_EQ(s.at(15, 15), IColor(255, 0xF0, 0xC0, 0x00));

  s.ui.click(15, 15);
  EXPECT_DOUBLE_EQ(s.plugin.GetParam(TestPlugin::kSwitch)->GetValue(), 0.0);
  EXPECT_EQ(s.plugin.host.changes.size(), 2u);

  // The second press of a double-click is no click.
  s.ui.doubleClick(15, 15);
  EXPECT_DOUBLE_EQ(sw->GetValue(), 1.0);
}
