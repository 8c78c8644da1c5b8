// SPDX-License-Identifier: ISC
// The text control: its text in its style over its background colour.

#include "graphics/ITextControl.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

// Columns of the control's rectangle that hold dark ink.
std::pair<int, int> inkColumns(const Screen& s, const IRECT& r)
{
  int l = 1 << 20, rr = -1;
  for (int y = static_cast<int>(r.T); y < static_cast<int>(r.B); ++y)
    for (int x = static_cast<int>(r.L); x < static_cast<int>(r.R); ++x)
      if (s.at(x, y).G < 100) {
        l = std::min(l, x);
        rr = std::max(rr, x + 1);
      }
  return {l, rr};
}

} // namespace

TEST(ITextControl, DrawsItsTextCentredOverItsBackground)
{
  Screen s(400, 100, 1.0f);
  ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
  const IRECT box(100, 20, 300, 80);
  auto* text = static_cast<ITextControl*>(s.attach(
    new ITextControl(box, "v.1.1.2", IText(24, IColor(255, 0, 0, 0), "Roboto-Bold.ttf"), IColor(255, 255, 255, 255))));
  s.frame();
  EXPECT_EQ(s.at(101, 21), IColor(255, 255, 255, 255)) << "the background colour";
  const auto [l, r] = inkColumns(s, box);
  ASSERT_GT(r, l);
  EXPECT_NEAR(0.5 * (l + r), 200.0, 1.5);

  // A longer text is redrawn wider.
  text->SetStr("version 1.1.2");
  EXPECT_TRUE(text->IsDirty());
  s.frame();
  const auto [l2, r2] = inkColumns(s, box);
  EXPECT_GT(r2 - l2, r - l);
  EXPECT_STREQ(text->GetStr(), "version 1.1.2");
}

TEST(ITextControl, ATransparentBackgroundLeavesWhatLiesBelow)
{
  Screen s(400, 100, 1.0f);
  s.attach(new RecordingControl(IRECT(0, 0, 400, 100), kNoParameter, IColor(255, 0, 0, 255)));
  s.attach(new ITextControl(IRECT(100, 20, 300, 80), "x", IText(24, IColor(255, 0, 0, 0))));
  s.frame();
  EXPECT_EQ(s.at(101, 21), IColor(255, 0, 0, 255));
}
