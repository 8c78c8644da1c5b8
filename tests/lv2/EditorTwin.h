// SPDX-License-Identifier: ISC
#pragma once

// The plug-in's editor off-screen, in the test's own process: the picture a host's window must
// show, and the place where a gesture lands (a pop-up menu's items). The test repeats on it what it
// does to the host's window, then compares the pictures.

#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "UiDriver.h"
#include "core/quennet.h"
#include "framework/HostBlock.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "graphics/PopupMenuPanel.h"
#include "platform/OffscreenView.h"

class EditorTwin {
public:
  // Needs a HOME of the test's (the plug-in reads its settings file): the default scale 0.5.
  EditorTwin() : mPlugin(static_cast<quennet::Quennet*>(plug::MakePlug({})))
  {
    mPlugin->PrepareToPlay(48000.0, 512);
    mWindow = plug::graphics::EditorWindow::Open(*mPlugin, mView);
    if (mWindow)
      mDriver = std::make_unique<UiDriver>(mWindow->Graphics());
    settle();
  }

  bool valid() const { return mWindow != nullptr; }
  quennet::Quennet& plugin() { return *mPlugin; }
  plug::graphics::IGraphics& graphics() { return mWindow->Graphics(); }
  UiDriver& ui() { return *mDriver; }
  const plug::OffscreenView& view() const { return mView; }

  // What a running host does between gestures: a render call (the plug-in takes over changes made on
  // other threads), an idle tick (editor refreshes), a frame.
  void settle()
  {
    if (!mWindow)
      return;
    plug::HostBlock block;
    block.nFrames = 0;
    mPlugin->RenderAudio(block);
    mPlugin->OnTimer();
    mWindow->Graphics().UpdateFrame();
  }

  // The centre of an open pop-up menu's item, in pixels; (-1, -1) when no menu is open.
  std::pair<int, int> menuItemCentre(int item)
  {
    const plug::graphics::PopupMenuPanel* panel = graphics().GetPopupMenuPanel();
    if (!panel)
      return {-1, -1};
    const plug::graphics::IRECT r = panel->ItemRect(item);
    return {static_cast<int>(std::floor(r.MW())), static_cast<int>(std::floor(r.MH()))};
  }

  // The fraction of the picture's pixels whose colour differs by more than `tolerance` in some
  // channel from what `screen` (0xRRGGBB at a picture position) shows.
  double mismatch(const std::function<std::uint32_t(int, int)>& screen, int tolerance = 8) const
  {
    const int w = mView.Width();
    const int h = mView.Height();
    if (w < 1 || h < 1)
      return 1.0;
    long different = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const std::uint32_t a = mView.Pixel(x, y);
        const std::uint32_t b = screen(x, y);
        for (int shift : {0, 8, 16})
          if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > tolerance) {
            ++different;
            break;
          }
      }
    return static_cast<double>(different) / (static_cast<double>(w) * h);
  }

private:
  std::unique_ptr<quennet::Quennet> mPlugin;
  plug::OffscreenView mView;
  std::unique_ptr<plug::graphics::EditorWindow> mWindow;
  std::unique_ptr<UiDriver> mDriver;
};

// A screen area read with XGetImage, as 0xRRGGBB by position; writes PNG pictures of it.
struct ScreenGrab {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const
  {
    return x >= 0 && y >= 0 && x < width && y < height ? pixels[static_cast<size_t>(y) * width + x] : 0;
  }

  bool writePng(const std::string& path) const
  {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_surface_flush(s);
    unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride)[x] = at(x, y);
    cairo_surface_mark_dirty(s);
    const bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(s);
    return ok;
  }
};
