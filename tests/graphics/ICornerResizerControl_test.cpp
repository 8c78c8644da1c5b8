// SPDX-License-Identifier: ISC
// The corner handle: cursor on hover, resizing by the ratio of screen positions, the double-click,
// the handle's place after each change of scale.

#include "graphics/ICornerResizerControl.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

// The editor's own arrangement: 1968 × 864 at scale 0.5, scales 0.25 … 4, a 26-unit handle.
struct Editor : Screen {
  Editor() : Screen(1968, 864, 0.5f)
  {
    g.SetScaleConstraints(0.25f, 4.0f);
    g.EnableMouseOver(true);
    g.AttachCornerResizer(new ICornerResizerControl(IRECT(0, 0, 1968, 864), 26), EUIResizerMode::kScale, false);
  }
  const IRECT& handle() const { return g.GetCornerResizer()->GetRECT(); }
};

} // namespace

TEST(ICornerResizerControl, MadeAsTheSquareInTheCornerShrunkByOne)
{
  Editor e;
  EXPECT_EQ(e.handle(), IRECT(1943, 839, 1967, 863));
}

TEST(ICornerResizerControl, HoverShowsTheDiagonalCursorAndLeavingRestoresThePrevious)
{
  Editor e;
  e.g.SetMouseCursor(ECursor::kHand);
  e.ui.move(1955, 851);
  EXPECT_EQ(e.view.Cursor(), ECursor::kSizeNWSE);
  e.ui.move(1000, 400);
  EXPECT_EQ(e.view.Cursor(), ECursor::kHand);
}

TEST(ICornerResizerControl, DraggingScalesByTheSmallerRatioOfScreenPositions)
{
  struct Case {
    const char* name;
    float toX, toY; // pixels, from a press at the handle's centre (977.5, 425.5)
    float expected;
  };
  const Case cases[] = {
    {"twice as far in both directions doubles", 1955.0f, 851.0f, 1.0f},
    {"the smaller ratio wins", 1955.0f, 638.25f, 0.75f},
    {"shrinking stops at 0.25", 200.0f, 100.0f, 0.25f},
    {"growing stops at 4", 20000.0f, 20000.0f, 4.0f},
    {"above the window's top clamps too", 977.5f, -50.0f, 0.25f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Editor e;
    e.ui.dragPx(977.5f, 425.5f, c.toX, c.toY, 6);
    EXPECT_FLOAT_EQ(e.g.GetDrawScale(), c.expected);
    EXPECT_EQ(e.g.Width(), 1968) << "the design keeps its size";
    EXPECT_EQ(e.g.Height(), 864);
    EXPECT_EQ(e.view.Resizes().back(), std::make_pair(e.g.WindowWidth(), e.g.WindowHeight()));
  }
}

TEST(ICornerResizerControl, AfterARescaleTheHandleCoversTheLast26ScreenPixels)
{
  Editor e;
  e.ui.dragPx(977.5f, 425.5f, 1955.0f, 851.0f, 2);
  ASSERT_FLOAT_EQ(e.g.GetDrawScale(), 1.0f);
  EXPECT_EQ(e.handle(), IRECT(1942, 838, 1968, 864));
  e.g.Resize(1968, 864, 0.25f, true);
  EXPECT_EQ(e.handle(), IRECT(1864, 760, 1968, 864));
}

TEST(ICornerResizerControl, ADoubleClickGoesBackToTheInitialSizeAtScale1)
{
  Editor e;
  e.g.Resize(1000, 500, 2.0f, true);
  const IRECT h = e.handle();
  e.ui.doubleClick(h.MW(), h.MH());
  EXPECT_FLOAT_EQ(e.g.GetDrawScale(), 1.0f);
  EXPECT_EQ(e.g.Width(), 1968);
  EXPECT_EQ(e.g.Height(), 864);
}

TEST(ICornerResizerControl, DrawsTheLowerRightHalfInTheColourOfItsState)
{
  Editor e;
  e.g.AttachCornerResizer(new ICornerResizerControl(IRECT(0, 0, 1968, 864), 26, IColor(255, 0, 0, 255),
                                                    IColor(255, 0, 255, 0), IColor(255, 255, 0, 0)));
  e.frame();
  // Handle pixels 971.5 … 983.5 at scale 0.5: a point near the bottom-right is inside the triangle,
  // one near the top-left is not.
  EXPECT_EQ(e.at(981, 429), IColor(255, 0, 0, 255));
  EXPECT_EQ(e.at(974, 422), IColor(255, 60, 60, 60));
  e.ui.move(1960, 856);
  e.frame();
  EXPECT_EQ(e.at(981, 429), IColor(255, 0, 255, 0));
  e.ui.press(1960, 856);
  e.frame();
  EXPECT_EQ(e.at(981, 429), IColor(255, 255, 0, 0));
  EXPECT_TRUE(e.g.GetCornerResizer()->IsResizing());
  e.ui.release(1960, 856);
  EXPECT_FALSE(e.g.GetCornerResizer()->IsResizing());
}
