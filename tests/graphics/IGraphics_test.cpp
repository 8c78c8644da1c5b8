// SPDX-License-Identifier: ISC
// The graphics context on real pixels: what the drawing calls put where at a scale, what a frame
// redraws and presents, how often frames come, resizing, and placeholders for missing assets.

#include "graphics/IGraphics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "GraphicsTestSupport.h"
#include "graphics/IBitmapControl.h"
#include "base/RunLoop.h"

using namespace gtest_graphics;

namespace {

struct Probe {
  int x, y; // pixels
  IColor expected;
  int tolerance;
};

::testing::AssertionResult matches(const IColor& got, const Probe& p)
{
  const int d = std::max({std::abs(got.A - p.expected.A), std::abs(got.R - p.expected.R),
                          std::abs(got.G - p.expected.G), std::abs(got.B - p.expected.B)});
  if (d <= p.tolerance)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "pixel (" << p.x << ", " << p.y << ") is " << got.A << "," << got.R << ","
                                       << got.G << "," << got.B << ", expected " << p.expected.A << "," << p.expected.R
                                       << "," << p.expected.G << "," << p.expected.B;
}

const IColor kGrey(255, 60, 60, 60); // the context's colour where nothing is drawn
const IColor kWhite(255, 255, 255, 255);
const IColor kRed(255, 255, 0, 0);
const IColor kGreen(255, 0, 255, 0);
const IColor kBlue(255, 0, 0, 255);

} // namespace

TEST(IGraphicsDrawing, TableOfDrawingChecks)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("frames.png"), 10, 10, {0xFF0000, 0x00FF00, 0x0000FF}));

  struct Case {
    const char* name;
    float scale;
    PaintControl::Paint paint;
    std::vector<Probe> probes;
  };
  const IBlend add(EBlend::kAdd, 0.75f);
  const IBlend half(EBlend::kDefault, 0.5f);
  const std::vector<Case> cases = {
    {"frame 3 of a stacked bitmap, counted from 1",
     1.0f,
     [](IGraphics& g, const IRECT&) { g.DrawBitmap(g.LoadBitmap("frames.png", 3), IRECT(20, 20, 30, 30), 3); },
     {{25, 25, kBlue, 0}, {20, 20, kBlue, 0}, {29, 29, kBlue, 0}, {30, 30, kGrey, 0}, {19, 25, kGrey, 0}}},
    {"frame 2, at scale 0.5",
     0.5f,
     [](IGraphics& g, const IRECT&) { g.DrawBitmap(g.LoadBitmap("frames.png", 3), IRECT(20, 20, 30, 30), 2); },
     {{12, 12, kGreen, 0}, {10, 10, kGreen, 0}, {14, 14, kGreen, 0}, {15, 15, kGrey, 0}}},
    {"the bitmap is clipped to its rectangle",
     1.0f,
     [](IGraphics& g, const IRECT&) { g.DrawBitmap(g.LoadBitmap("frames.png", 3), IRECT(20, 20, 25, 30), 1); },
     {{24, 25, kRed, 0}, {25, 25, kGrey, 0}}},
    {"a rectangle at design (100, 100) lands at pixel (50, 50) at scale 0.5",
     0.5f,
     [](IGraphics& g, const IRECT&) { g.FillRect(kWhite, IRECT(100, 100, 140, 140)); },
     {{50, 50, kWhite, 0}, {69, 69, kWhite, 0}, {49, 49, kGrey, 0}, {70, 70, kGrey, 0}}},
    // Additive: 100 + 176 · 128/255 · 0.75 = 166.3; 50 + 128 · 0.3765 = 98.2; 20 + 112 · 0.3765 = 62.2;
    // 230 + 66.3 saturates at 255.
    {"additive blend on a known background",
     1.0f,
     [add](IGraphics& g, const IRECT&) {
       g.FillRect(IColor(255, 100, 50, 20), IRECT(0, 0, 50, 50));
       g.FillRect(IColor(255, 230, 50, 20), IRECT(50, 0, 100, 50));
       g.FillRect(IColor(128, 176, 128, 112), IRECT(0, 0, 100, 50), &add);
     },
     {{25, 25, IColor(255, 166, 98, 62), 1}, {75, 25, IColor(255, 255, 98, 62), 1}}},
    // Source over at weight 0.5: half of white over black.
    {"default blend with a weight",
     1.0f,
     [half](IGraphics& g, const IRECT&) {
       g.FillRect(IColor(255, 0, 0, 0), IRECT(0, 0, 50, 50));
       g.FillRect(kWhite, IRECT(0, 0, 50, 50), &half);
     },
     {{25, 25, IColor(255, 128, 128, 128), 1}}},
    {"a line of thickness 4 at scale 0.5 is 2 pixels wide",
     0.5f,
     [](IGraphics& g, const IRECT&) { g.DrawLine(kWhite, 20, 100, 180, 100, nullptr, 4.0f); },
     {{50, 49, kWhite, 0}, {50, 50, kWhite, 0}, {50, 48, kGrey, 0}, {50, 51, kGrey, 0}}},
    {"a triangle fills the lower-right half of its square",
     1.0f,
     [](IGraphics& g, const IRECT&) { g.FillTriangle(kRed, 100, 200, 200, 100, 200, 200); },
     {{190, 190, kRed, 0}, {110, 110, kGrey, 0}, {199, 101, kRed, 128}}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s(400, 300, c.scale);
    s.g.SetAssetFolder(dir.path().string());
    s.attach(new PaintControl(IRECT(0, 0, 400, 300), c.paint));
    s.frame();
    for (const Probe& p : c.probes)
      EXPECT_TRUE(matches(s.view.Color(p.x, p.y), p));
  }
}

TEST(IGraphicsDrawing, ScaledFramesNeverShowTheirNeighbours)
{
  TempDir dir;
  ASSERT_TRUE(writeFramesPng(dir.file("two.png"), 16, 16, {0xFF0000, 0x0000FF}));
  for (float scale : {0.25f, 0.5f, 0.70710677f, 1.5f, 4.0f}) {
    SCOPED_TRACE(scale);
    Screen s(200, 100, scale);
    s.g.SetAssetFolder(dir.path().string());
    s.attach(new PaintControl(IRECT(0, 0, 200, 100), [](IGraphics& g, const IRECT&) {
      g.DrawBitmap(g.LoadBitmap("two.png", 2), IRECT(33, 21, 49, 37), 1);
    }));
    s.frame();
    // Anything bluer than the grey around it would come from frame 2.
    for (int y = 0; y < s.view.Height(); ++y)
      for (int x = 0; x < s.view.Width(); ++x)
        ASSERT_LE(s.view.Color(x, y).B, 60) << x << ", " << y;
    // The middle of the frame is pure red.
    EXPECT_EQ(s.at(41 * scale, 29 * scale), kRed);
  }
}

TEST(IGraphicsDrawing, TextIsCentredInItsRectangle)
{
  for (float scale : {0.5f, 1.0f}) {
    SCOPED_TRACE(scale);
    Screen s(400, 300, scale);
    ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
    const IRECT box(100, 100, 300, 200);
    s.attach(new PaintControl(IRECT(0, 0, 400, 300), [&](IGraphics& g, const IRECT&) {
      g.FillRect(kWhite, IRECT(0, 0, 400, 300));
      g.DrawText(IText(40, IColor(255, 0, 0, 0), "Roboto-Bold.ttf"), "HH", box);
    }));
    s.frame();
    // Ink box: pixels at least half dark.
    int l = 1 << 20, t = 1 << 20, r = -1, b = -1;
    for (int y = 0; y < s.view.Height(); ++y)
      for (int x = 0; x < s.view.Width(); ++x)
        if (s.view.Color(x, y).R < 128) {
          l = std::min(l, x);
          r = std::max(r, x + 1);
          t = std::min(t, y);
          b = std::max(b, y + 1);
        }
    ASSERT_GE(r, 0) << "no text drawn";
    EXPECT_NEAR(0.5 * (l + r), 200.0 * scale, 1.0);
    EXPECT_NEAR(0.5 * (t + b), 150.0 * scale, 1.0);
    // Capitals of a 40-unit Roboto are 28.4 units high.
    EXPECT_NEAR(b - t, 28.4 * scale, 1.5);
  }
}

TEST(IGraphicsDrawing, TheBackgroundFillsTheWholeDesignUnderTheControls)
{
  TempDir dir;
  // 40 × 20 pixels for a 400 × 200 design: stretched to fit.
  ASSERT_TRUE(writeFramesPng(dir.file("back.png"), 40, 20, {0x3050A0}));
  Screen s(400, 200, 0.5f);
  s.g.SetAssetFolder(dir.path().string());
  s.g.AttachBackground("back.png");
  s.attach(new RecordingControl(IRECT(100, 100, 140, 140)));
  s.frame();
  for (const auto& [x, y] : {std::pair{0, 0}, {199, 99}, {100, 10}, {10, 90}})
    EXPECT_EQ(s.at(x, y), IColor(255, 0x30, 0x50, 0xA0)) << x << ", " << y;
  EXPECT_EQ(s.at(60, 60), kRed);
}

TEST(IGraphicsDrawing, AHiddenControlDrawsNothing)
{
  Screen s;
  auto* below =
    static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(0, 0, 100, 100), kNoParameter, kBlue)));
  auto* hidden = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(20, 20, 60, 60))));
  hidden->Hide(true);
  s.frame();
  EXPECT_EQ(hidden->draws, 0);
  EXPECT_EQ(s.at(40, 40), kBlue);

  hidden->Hide(false);
  s.frame();
  EXPECT_EQ(s.at(40, 40), kRed);
  hidden->Hide(true);
  s.frame();
  EXPECT_EQ(s.at(40, 40), kBlue) << "hiding redraws what lies below";
  EXPECT_EQ(below->draws, 3);
}

TEST(IGraphicsRedraw, OnlyWhatChangedIsRedrawnAndPresented)
{
  Screen s(400, 300, 0.5f);
  auto* a = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(20, 20, 60, 60))));
  auto* b = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(200, 200, 260, 260))));
  s.frame();
  ASSERT_EQ(a->draws, 1);
  ASSERT_EQ(b->draws, 1);
  ASSERT_EQ(s.view.Presented().size(), 1u);
  EXPECT_EQ(s.view.Presented()[0], (PixelRect{0, 0, 200, 150})) << "the first frame shows everything";

  s.view.ClearPresented();
  s.frame();
  EXPECT_TRUE(s.view.Presented().empty()) << "nothing changed, nothing drawn";

  a->SetDirty(false);
  s.frame();
  EXPECT_EQ(a->draws, 2);
  EXPECT_EQ(b->draws, 1);
  // a's pixels 10 … 30, one more on each side for antialiasing.
  ASSERT_EQ(s.view.Presented().size(), 1u);
  EXPECT_EQ(s.view.Presented()[0], (PixelRect{9, 9, 22, 22}));

  // Everything dirty: one frame redraws and presents the whole picture.
  s.view.ClearPresented();
  s.g.SetAllControlsDirty();
  s.frame();
  EXPECT_EQ(a->draws, 3);
  EXPECT_EQ(b->draws, 2);
  ASSERT_EQ(s.view.Presented().size(), 1u);
  EXPECT_EQ(s.view.Presented()[0], (PixelRect{0, 0, 200, 150}));

  // A control that moves clears where it was.
  s.view.ClearPresented();
  b->SetRECT(IRECT(300, 20, 360, 80));
  s.frame();
  EXPECT_EQ(s.at(115, 115), IColor(255, 60, 60, 60));
  EXPECT_EQ(s.at(165, 25), kRed);
  EXPECT_EQ(s.view.Presented().size(), 2u);
}

TEST(IGraphicsRedraw, AtMostSixtyFramesASecond)
{
  static plug::ManualClock clock;
  plug::RunLoop::Main().SetClock(clock);
  {
    Screen s;
    auto* c = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(0, 0, 10, 10))));
    const int before = c->draws;
    // Something changes every millisecond for a second.
    for (int ms = 0; ms < 1000; ++ms) {
      c->SetDirty(false);
      clock.Advance(1.0);
      plug::RunLoop::Main().Pump();
    }
    const int frames = c->draws - before;
    EXPECT_LE(frames, 60);
    EXPECT_GE(frames, 59);
  }
  static plug::SteadyClock steady;
  plug::RunLoop::Main().SetClock(steady);
}

TEST(IGraphicsSize, ResizeClampsToTheScaleConstraintsAndAsksTheView)
{
  Screen s(1968, 864, 1.0f);
  s.g.SetScaleConstraints(0.25f, 4.0f);
  struct Case {
    float scale;
    float expected;
    int width, height; // pixels
  };
  const Case cases[] = {{0.5f, 0.5f, 984, 432},    {0.70710677f, 0.70710677f, 1392, 611},
                        {0.0f, 0.25f, 492, 216},   {0.1f, 0.25f, 492, 216},
                        {10.0f, 4.0f, 7872, 3456}, {2.0f, 2.0f, 3936, 1728}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scale);
    s.g.Resize(1968, 864, c.scale, true);
    EXPECT_FLOAT_EQ(s.g.GetDrawScale(), c.expected);
    EXPECT_EQ(s.g.WindowWidth(), c.width);
    EXPECT_EQ(s.g.WindowHeight(), c.height);
    EXPECT_EQ(s.view.Resizes().back(), std::make_pair(c.width, c.height));
  }
  const std::size_t asked = s.view.Resizes().size();
  s.g.Resize(1968, 864, 0.5f, false);
  EXPECT_EQ(s.view.Resizes().size(), asked) << "without a platform resize the view is not asked";
  EXPECT_EQ(s.g.WindowWidth(), 984);
}

TEST(IGraphicsSize, AResizeRedrawsEverythingAtTheNewScale)
{
  Screen s(400, 300, 1.0f);
  s.attach(new RecordingControl(IRECT(100, 100, 200, 200)));
  s.frame();
  s.g.Resize(400, 300, 0.5f, true);
  s.frame();
  EXPECT_EQ(s.view.Width(), 200);
  EXPECT_EQ(s.at(50, 50), kRed);
  EXPECT_EQ(s.at(99, 99), kRed);
  EXPECT_EQ(s.at(100, 100), kGrey);
}

TEST(IGraphicsAssets, MissingAndBrokenFilesGiveVisiblePlaceholders)
{
  TempDir dir;
  std::ofstream(dir.file("broken.png")) << "not an image at all";
  Screen s(400, 300, 1.0f);
  s.g.SetAssetFolder(dir.path().string());

  testing::internal::CaptureStderr();
  const IBitmap missing = s.g.LoadBitmap("missing.png", 2);
  const IBitmap broken = s.g.LoadBitmap("broken.png", 1);
  s.g.LoadBitmap("missing.png", 2); // reported once
  const bool fontLoaded = s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf");
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_FALSE(missing.IsValid());
  EXPECT_EQ(missing.N(), 2);
  EXPECT_EQ(missing.FW(), IBitmap::kPlaceholderFrameSize);
  EXPECT_FALSE(broken.IsValid());
  EXPECT_FALSE(fontLoaded);
  EXPECT_NE(err.find("missing.png"), std::string::npos) << err;
  EXPECT_NE(err.find("broken.png"), std::string::npos) << err;
  EXPECT_NE(err.find("Roboto-Bold.ttf"), std::string::npos) << err;
  EXPECT_EQ(err.find("missing.png"), err.rfind("missing.png")) << "one message per file";

  s.attach(new IBitmapControl(10, 10, missing));
  s.attach(new PaintControl(IRECT(100, 100, 300, 200), [](IGraphics& g, const IRECT& r) {
    g.FillRect(kWhite, r);
    g.DrawText(IText(40, IColor(255, 0, 0, 0)), "Text", r);
  }));
  s.frame();
  // The placeholder's magenta border and cross.
  EXPECT_EQ(s.at(10, 10), IColor(255, 255, 0, 255));
  EXPECT_EQ(s.at(34, 34), IColor(255, 255, 0, 255));
  // Text without its font still shows: some dark pixels inside the box.
  int dark = 0;
  for (int y = 100; y < 200; ++y)
    for (int x = 100; x < 300; ++x)
      dark += s.view.Color(x, y).R < 128;
  EXPECT_GT(dark, 100);
}
