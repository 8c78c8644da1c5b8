// SPDX-License-Identifier: ISC
#pragma once

// What the graphics tests share: a small plug-in as the editor delegate, PNG files of known frames,
// a control that records its callbacks, and a context shown in an off-screen view.

#include <cairo.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Recorders.h"
#include "TempDir.h"
#include "UiDriver.h"
#include "framework/IPlugin.h"
#include "graphics/IControl.h"
#include "graphics/IGraphics.h"
#include "graphics/IPopupMenu.h"
#include "platform/OffscreenView.h"

namespace gtest_graphics {

using namespace plug::graphics;

// Parameters: 0 "Level" 0 … 10 continuous; 1 "Mode" five stepped entries; 2 "Switch" on/off.
// Records its dispatch and tells a recording host about edits.
class TestPlugin : public plug::IPlugin {
public:
  enum { kLevel = 0, kMode = 1, kSwitch = 2 };

  static plug::Config config()
  {
    plug::Config c;
    c.nParams = 3;
    c.nPresets = 1;
    c.plugHasUI = true;
    return c;
  }

  TestPlugin() : plug::IPlugin(config())
  {
    GetParam(kLevel)->InitDouble("Level", 0.0, 0.0, 10.0, 0.001);
    GetParam(kMode)->InitEnum("Mode", 0, {"A", "B", "C", "D", "E"});
    GetParam(kSwitch)->InitBool("Switch", false);
    SetHostNotifications(&host);
  }
  ~TestPlugin() override { StopTimer(); }

  void OnParamChange(int paramIdx) override { dispatched.push_back(paramIdx); }
  void ProcessBlock(double**, double**, int) override {}

  HostRecorder host;
  std::vector<int> dispatched;
};

// Premultiplied ARGB of an opaque colour.
constexpr std::uint32_t rgb(std::uint32_t r, std::uint32_t g, std::uint32_t b)
{
  return 0xFF000000u | r << 16 | g << 8 | b;
}

// A PNG of frames stacked vertically, each w × h pixels of one opaque colour (0xRRGGBB).
inline bool writeFramesPng(const std::string& path, int w, int h, const std::vector<std::uint32_t>& colours)
{
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h * static_cast<int>(colours.size()));
  cairo_t* cr = cairo_create(s);
  for (std::size_t i = 0; i < colours.size(); ++i) {
    const std::uint32_t c = colours[i];
    cairo_set_source_rgb(cr, ((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0);
    cairo_rectangle(cr, 0, static_cast<double>(h) * static_cast<double>(i), w, h);
    cairo_fill(cr);
  }
  cairo_destroy(cr);
  const bool ok = cairo_surface_write_to_png(s, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(s);
  return ok;
}

// Draws whatever it is given.
class PaintControl : public IControl {
public:
  using Paint = std::function<void(IGraphics&, const IRECT&)>;
  PaintControl(const IRECT& bounds, Paint paint) : IControl(bounds), mPaint(std::move(paint)) {}
  void Draw(IGraphics& g) override
  {
    ++draws;
    mPaint(g, GetRECT());
  }
  int draws = 0;

private:
  Paint mPaint;
};

// Records its callbacks and fills its rectangle with a colour (which shows whether it drew).
class RecordingControl : public IControl {
public:
  RecordingControl(const IRECT& bounds, int paramIdx = kNoParameter, IColor colour = IColor(255, 255, 0, 0))
      : IControl(bounds, paramIdx), mColour(colour)
  {
  }

  void OnMouseDown(float x, float y, const IMouseMod& mod) override { log("down", x, y, mod); }
  void OnMouseUp(float x, float y, const IMouseMod& mod) override { log("up", x, y, mod); }
  void OnMouseDrag(float x, float y, float dX, float dY, const IMouseMod& mod) override
  {
    log("drag", x, y, mod);
    drags.push_back({dX, dY});
  }
  void OnMouseDblClick(float x, float y, const IMouseMod& mod) override { log("dblclick", x, y, mod); }
  void OnMouseWheel(float x, float y, const IMouseMod& mod, float d) override
  {
    log("wheel", x, y, mod);
    wheels.push_back(d);
  }
  void OnMouseOver(float x, float y, const IMouseMod& mod) override
  {
    if (!GetMouseIsOver())
      events.push_back("over");
    IControl::OnMouseOver(x, y, mod);
  }
  void OnMouseOut() override
  {
    events.push_back("out");
    IControl::OnMouseOut();
  }
  void OnPopupMenuSelection(IPopupMenu* menu, int valIdx) override
  {
    selections.push_back(menu ? menu->GetChosenItemIdx() : -1);
    selectionValIdx = valIdx;
  }
  void Draw(IGraphics& g) override
  {
    ++draws;
    g.FillRect(mColour, GetRECT());
  }

  struct Point {
    float x, y;
  };
  std::vector<std::string> events;
  std::vector<Point> points; // of the down, up, drag, double-click and wheel events
  std::vector<Point> drags; // dX, dY
  std::vector<float> wheels; // notches
  std::vector<int> selections;
  int selectionValIdx = -2;
  int draws = 0;

private:
  void log(const char* what, float x, float y, const IMouseMod&)
  {
    events.push_back(what);
    points.push_back({x, y});
  }
  IColor mColour;
};

// A context of w × h design units at a scale, shown in an off-screen view, with a temporary asset
// folder that holds the project's font.
struct Screen {
  explicit Screen(int w = 400, int h = 300, float scale = 1.0f) : g(plugin, w, h, 60, scale), ui(g)
  {
    g.SetAssetFolder(QUENNET_TEST_RESOURCES);
    g.OpenWindow(view);
  }

  IControl* attach(IControl* c) { return g.AttachControl(c); }
  void frame() { g.UpdateFrame(); }
  IColor at(float x, float y) const { return view.Color(static_cast<int>(x), static_cast<int>(y)); }

  TestPlugin plugin;
  plug::OffscreenView view;
  IGraphics g;
  UiDriver ui;
};

} // namespace gtest_graphics
