// SPDX-License-Identifier: ISC
// The bitmap control: the frame for its value, e.g. an LED with an unlit and a lit frame.

#include "graphics/IBitmapControl.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

TEST(IBitmapControl, ShowsTheFrameOfItsValue)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("led.png"), 10, 10, {0x301010, 0xFF4020}));
  Screen s;
  s.g.SetAssetFolder(dir.path().string());
  auto* led = s.attach(new IBitmapControl(50, 50, s.g.LoadBitmap("led.png", 2), -32));
  EXPECT_EQ(led->GetRECT(), IRECT(50, 50, 60, 60));
  EXPECT_EQ(led->GetParam(), nullptr) << "a negative index is no parameter";
  s.frame();
  EXPECT_EQ(s.at(55, 55), IColor(255, 0x30, 0x10, 0x10));

  led->SetValueFromDelegate(1.0);
  s.frame();
  EXPECT_EQ(s.at(55, 55), IColor(255, 0xFF, 0x40, 0x20));
  EXPECT_TRUE(s.plugin.host.changes.empty());

  led->Hide(true);
  s.frame();
  EXPECT_EQ(s.at(55, 55), IColor(255, 60, 60, 60));
}

TEST(IBitmapControl, DrawsWithItsBlend)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("glow.png"), 10, 10, {0x404040}));
  Screen s;
  s.g.SetAssetFolder(dir.path().string());
  s.attach(new IBitmapControl(50, 50, s.g.LoadBitmap("glow.png"), kNoParameter, EBlend::kAdd));
  s.frame();
  EXPECT_EQ(s.at(55, 55), IColor(255, 60 + 64, 60 + 64, 60 + 64)) << "added to the grey below";
}
