// SPDX-License-Identifier: ISC
// Cost of the editor's frames: a whole redraw (after a resize, or a preset change that marks every
// control dirty) and the redraw of one knob being turned, at the editor's scales; and a pop-up menu
// whose highlight follows the mouse. The picture is the editor's own arrangement: a 1968 × 864
// background and fourteen 65-frame knobs of 100 × 100, drawn into an off-screen view (presenting
// copies the pixels, as an X11 view's upload would).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/IEditorDelegate.h"
#include "graphics/IBitmapControl.h"
#include "graphics/IGraphics.h"
#include "graphics/IKnobControl.h"
#include "graphics/IPopupMenu.h"
#include "platform/OffscreenView.h"

namespace {

using namespace plug::graphics;

class NoPlugin final : public plug::IEditorDelegate {
public:
  plug::IParam* GetParam(int) override { return nullptr; }
  int NParams() const override { return 0; }
  void SendParameterValueFromDelegate(int, double, bool) override {}
};

// Smooth shading with a little texture, so that scaling has real work to do.
IBitmap makeBitmap(const char* name, int w, int frameH, int frames)
{
  const int h = frameH * frames;
  std::vector<std::uint32_t> argb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  std::uint32_t noise = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      noise = noise * 1103515245u + 12345u;
      const std::uint32_t v =
        static_cast<std::uint32_t>(90 + (x * 80) / w + (y % frameH) * 60 / frameH) + (noise >> 28);
      argb[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] =
        0xFF000000u | v << 16 | (v - 10) << 8 | (v - 30);
    }
  return IBitmap::FromPixels(name, reinterpret_cast<const unsigned char*>(argb.data()), w, h, w * 4, frames, false);
}

struct Editor {
  explicit Editor(float scale) : g(delegate, 1968, 864, 60, scale)
  {
    g.SetScaleConstraints(0.25f, 4.0f);
    g.SetAssetFolder(QUENNET_BENCH_RESOURCES);
    g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf");
    g.OpenWindow(view);
    g.AttachControl(new IBitmapControl(0, 0, makeBitmap("back", 1968, 864, 1)));
    const IBitmap knob = makeBitmap("knob", 100, 100, 65);
    const float positions[][2] = {{60, 332},   {60, 572},   {676, 204},  {436, 572},  {580, 572},
                                  {724, 572},  {1348, 204}, {1108, 572}, {1252, 572}, {1396, 572},
                                  {1612, 332}, {1788, 332}, {1612, 572}, {1788, 572}};
    for (const auto& p : positions)
      knobs.push_back(static_cast<IBKnobControl*>(g.AttachControl(new IBKnobControl(p[0], p[1], knob))));
    g.UpdateFrame();
  }

  NoPlugin delegate;
  plug::OffscreenView view;
  IGraphics g;
  std::vector<IBKnobControl*> knobs;
};

void BM_WholeFrame(benchmark::State& state)
{
  Editor e(static_cast<float>(state.range(0)) / 1000.0f);
  for (auto _ : state) {
    e.g.SetAllControlsDirty();
    e.g.UpdateFrame();
  }
  state.counters["pixels"] = e.g.WindowWidth() * e.g.WindowHeight();
}

void BM_OneKnobTurned(benchmark::State& state)
{
  Editor e(static_cast<float>(state.range(0)) / 1000.0f);
  double v = 0.0;
  for (auto _ : state) {
    v = v >= 1.0 ? 0.0 : v + 0.01;
    e.knobs[3]->SetValueFromDelegate(v);
    e.g.UpdateFrame();
  }
}

void BM_MenuHighlightFollowsTheMouse(benchmark::State& state)
{
  Editor e(0.5f);
  IPopupMenu menu;
  for (int i = 0; i < 20; ++i)
    menu.AddItem("1/16T");
  e.g.CreatePopupMenu(*e.knobs[0], menu, IRECT(900, 300, 900, 300));
  e.g.UpdateFrame();
  float y = 0.0f;
  for (auto _ : state) {
    y = y > 400.0f ? 0.0f : y + 7.0f;
    e.g.OnMouseMove(460.0f, y, IMouseMod());
    e.g.UpdateFrame();
  }
}

// Scales in thousandths.
BENCHMARK(BM_WholeFrame)->Arg(250)->Arg(500)->Arg(707)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneKnobTurned)->Arg(250)->Arg(500)->Arg(1000)->Arg(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MenuHighlightFollowsTheMouse)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
