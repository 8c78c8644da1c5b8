// SPDX-License-Identifier: ISC
// Cost of the editor's X11 window on a private Xvfb: sending a whole picture to the server (the
// upload alone, XPutImage of the area), a whole frame drawn and sent, one turned knob drawn and
// sent, and a host's idle call with nothing to do. Each step waits until the server has handled
// it. The editor is the plug-in's own, at the scales of its 100 % and 400 % sizes.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "TempHome.h"
#include "XvfbServer.h"
#include "core/quennet.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "base/RunLoop.h"
#include "platform/X11View.h"

#include <X11/Xlib.h>

using namespace quennet;

namespace {

using plug::graphics::IGraphics;

// One X server for the whole run.
XvfbServer& server()
{
  static XvfbServer xvfb(2560, 1600);
  return xvfb;
}

// The plug-in's editor in an X11 view inside a top-level window of the host's connection.
struct Window {
  explicit Window(float scale)
  {
    host = XOpenDisplay(server().display().c_str());
    parent = XCreateSimpleWindow(host, DefaultRootWindow(host), 0, 0, 2400, 1200, 0, 0, 0);
    XMapWindow(host, parent);
    XSync(host, False);
    plugin.reset(static_cast<Quennet*>(plug::MakePlug({})));
    plugin->learn().setPreferredScale(scale);
    view = plug::X11View::Create(parent, server().display().c_str());
    editor = plug::graphics::EditorWindow::Open(*plugin, *view);
    view->Attach(&editor->Graphics());
    view->Map();
    view->Sync();
  }
  ~Window()
  {
    view->Attach(nullptr);
    editor.reset();
    view.reset();
    plugin.reset();
    XCloseDisplay(host);
  }
  IGraphics& g() { return editor->Graphics(); }

  TempHome home;
  Display* host = nullptr;
  ::Window parent = 0;
  std::unique_ptr<Quennet> plugin;
  std::unique_ptr<plug::X11View> view;
  std::unique_ptr<plug::graphics::EditorWindow> editor;
};

float scaleOf(const benchmark::State& state)
{
  return static_cast<float>(state.range(0)) / 1000.0f;
}

void BM_UploadWholePicture(benchmark::State& state)
{
  Window w(scaleOf(state));
  const plug::graphics::ImageView image = w.g().GetImage();
  for (auto _ : state) {
    w.view->PresentRect(image, {0, 0, image.width, image.height});
    w.view->Sync();
  }
  state.counters["pixels"] = static_cast<double>(image.width) * image.height;
}

void BM_WholeFrame(benchmark::State& state)
{
  Window w(scaleOf(state));
  for (auto _ : state) {
    w.g().SetAllControlsDirty();
    w.g().UpdateFrame();
    w.view->Sync();
  }
}

void BM_TurnedKnob(benchmark::State& state)
{
  Window w(scaleOf(state));
  int step = 0;
  for (auto _ : state) {
    // Volume, as a drag changes it: the knob's control takes the value and redraws.
    w.plugin->SendParameterValueFromDelegate(kVolume, (step++ % 64) / 64.0, true);
    w.g().UpdateFrame();
    w.view->Sync();
  }
}

void BM_IdleWithNothingToDo(benchmark::State& state)
{
  Window w(0.5f);
  for (auto _ : state) {
    w.view->ProcessEvents();
    plug::RunLoop::Main().Pump();
  }
}

} // namespace

// 0.5: the 100 % size (984 × 432); 1.0: the 400 % size (1968 × 864).
BENCHMARK(BM_UploadWholePicture)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFrame)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TurnedKnob)->Arg(500)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleWithNothingToDo)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
