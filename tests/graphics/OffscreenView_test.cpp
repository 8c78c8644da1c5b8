// SPDX-License-Identifier: ISC
// The off-screen view: its screen shows only what was presented, it records what the context asked
// of the window system, and writes its screen as a PNG.

#include "platform/OffscreenView.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

TEST(OffscreenView, TheScreenShowsOnlyWhatWasPresented)
{
  Screen s(100, 100, 1.0f);
  auto* c = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(10, 10, 20, 20))));
  s.frame();
  EXPECT_EQ(s.at(15, 15), IColor(255, 255, 0, 0));

  // Drawn into the context's image but not presented: the screen keeps the old picture.
  c->SetRECT(IRECT(50, 50, 60, 60));
  c->SetDirty(false);
  const ImageView image = s.g.GetImage();
  s.view.PresentRect(image, {0, 0, 1, 1});
  EXPECT_EQ(s.at(55, 55), IColor(255, 60, 60, 60));
  s.frame();
  EXPECT_EQ(s.at(55, 55), IColor(255, 255, 0, 0));
  EXPECT_EQ(s.at(15, 15), IColor(255, 60, 60, 60));
}

TEST(OffscreenView, RecordsCursorsUrlsAndResizes)
{
  Screen s(100, 50, 2.0f);
  EXPECT_EQ(s.view.Resizes().front(), std::make_pair(200, 100)) << "opening asks for the picture's size";
  s.g.SetMouseCursor(ECursor::kHand);
  s.g.SetMouseCursor(ECursor::kHand);
  s.g.SetMouseCursor(ECursor::kArrow);
  EXPECT_EQ(s.view.Cursors().back(), ECursor::kArrow);
  EXPECT_EQ(std::count(s.view.Cursors().begin(), s.view.Cursors().end(), ECursor::kHand), 1)
    << "only changes reach the view";

  EXPECT_TRUE(s.g.OpenURL("https://tarnwellmusic.example/"));
  s.view.SetOpenURLFails(true);
  EXPECT_FALSE(s.g.OpenURL("https://tarnwellmusic.example/music/vst.html"));
  EXPECT_FALSE(s.g.OpenURL(""));
  EXPECT_EQ(
    s.view.OpenedURLs(),
    (std::vector<std::string>{"https://tarnwellmusic.example/", "https://tarnwellmusic.example/music/vst.html"}));

  // Closing shows a hidden cursor again and leaves the arrow.
  s.g.SetMouseCursor(ECursor::kSizeNWSE);
  s.g.HideMouseCursor(true);
  s.g.CloseWindow();
  EXPECT_FALSE(s.view.CursorHidden());
  EXPECT_EQ(s.view.Cursor(), ECursor::kArrow);
  EXPECT_FALSE(s.g.WindowIsOpen());
  EXPECT_FALSE(s.g.OpenURL("https://tarnwellmusic.example/")) << "no window, no browser";
}

TEST(OffscreenView, WritesItsScreenAsPng)
{
  TempDir dir;
  Screen s(40, 30, 1.0f);
  s.attach(new RecordingControl(IRECT(0, 0, 20, 30), kNoParameter, IColor(255, 10, 200, 30)));
  s.frame();
  ASSERT_TRUE(s.view.WritePng(dir.file("shot.png")));
  cairo_surface_t* png = cairo_image_surface_create_from_png(dir.file("shot.png").c_str());
  ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(png), 40);
  EXPECT_EQ(cairo_image_surface_get_height(png), 30);
  const auto* row = reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(png));
  EXPECT_EQ(row[5], rgb(10, 200, 30));
  EXPECT_EQ(row[30], rgb(60, 60, 60));
  cairo_surface_destroy(png);
  EXPECT_FALSE(s.view.WritePng(dir.file("no/such/folder/shot.png")));
}
