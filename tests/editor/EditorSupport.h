// SPDX-License-Identifier: ISC
#pragma once

// What the editor tests share: the plug-in in a temporary home with its editor open in an off-screen
// view, the run loop on a clock the test advances, and ways to find controls, choose menu items and
// look at pixels.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "Recorders.h"
#include "TempHome.h"
#include "TestHost.h"
#include "UiDriver.h"
#include "core/quennet.h"
#include "editor/quennet.controls.h"
#include "editor/quennet.editor.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "graphics/PopupMenuPanel.h"
#include "platform/OffscreenView.h"
#include "base/RunLoop.h"

namespace editor_test {

using namespace plug::graphics;
using namespace quennet;

// The run loop's clock, advanced by hand; set before any instance puts its timer on the loop.
inline plug::ManualClock& testClock()
{
  static plug::ManualClock clock;
  return clock;
}

inline plug::HostMidiEvent noteOn(int note)
{
  return {0, 0x90, static_cast<std::uint8_t>(note), 100};
}
inline plug::HostMidiEvent noteOff(int note)
{
  return {0, 0x80, static_cast<std::uint8_t>(note), 0};
}
inline plug::HostMidiEvent cc(int controller, int value)
{
  return {0, 0xB0, static_cast<std::uint8_t>(controller), static_cast<std::uint8_t>(value)};
}

// Where the settings live: a file holding `ini` (none when empty), or with `inMemory` nowhere (a
// file stands where the configuration folder belongs).
struct Settings {
  std::string ini;
  bool inMemory = false;
};

// The plug-in, made on this thread (the user-interface thread) in a temporary home, with a
// recording host.
struct PluginInHome {
  explicit PluginInHome(const Settings& settings = {})
  {
    if (!settings.ini.empty())
      writeFile(home.configFile(), settings.ini);
    if (settings.inMemory)
      writeFile(home.path() + "/.config", "not a folder");
    plug::RunLoop::Main().SetClock(testClock());
    plugin = std::make_unique<Quennet>(plug::InstanceInfo{});
    QuennetEditor::install(*plugin);
    plugin->SetHostNotifications(&host);
  }
  ~PluginInHome()
  {
    if (plugin)
      plugin->SetHostNotifications(nullptr);
  }

  // A host's change of a plain value, applied by a render call as the audio thread does.
  void set(int paramIdx, double plainValue)
  {
    plugin->SetParameterFromHostPlain(paramIdx, plainValue);
    renderEmptyBlock(*plugin);
  }
  double value(int paramIdx) const { return plugin->GetParam(paramIdx)->GetValue(); }
  double normalized(int paramIdx) const { return plugin->GetParam(paramIdx)->GetNormalized(); }

  TempHome home;
  HostRecorder host;
  std::unique_ptr<Quennet> plugin;
};

// The plug-in's editor open in an off-screen view.
struct EditorScreen : PluginInHome {
  explicit EditorScreen(const Settings& settings = {}) : PluginInHome(settings) { open(); }
  ~EditorScreen() { close(); }

  void open()
  {
    window = EditorWindow::Open(*plugin, view);
    ui.emplace(window->Graphics());
  }
  void close()
  {
    ui.reset();
    window.reset();
  }

  IGraphics& g() const { return window->Graphics(); }
  const QuennetEditor::EditorReferences& refs() const { return editorOf(*plugin).editorReferences(); }

  // One 20 ms tick of the run loop: the plug-in's timer (its queued editor updates, OnIdle) and the
  // editor's frame.
  void tick()
  {
    testClock().Advance(plug::IPluginAPIBase::kTimerIntervalMs);
    plug::RunLoop::Main().Pump();
  }
  // Changes made in the editor reach the engine's mirrors at the next render call; then a tick.
  void renderAndTick(const std::vector<plug::HostMidiEvent>& midi = {})
  {
    renderEmptyBlock(*plugin, midi);
    tick();
  }

  // The first attached control of type T bound to `paramIdx` (any parameter when kNoParameter - 1).
  template <typename T>
  T* find(int paramIdx = kNoParameter - 1) const
  {
    for (int i = 0; i < g().NControls(); ++i)
      if (auto* control = dynamic_cast<T*>(g().GetControl(i)))
        if (paramIdx == kNoParameter - 1 || control->GetParamIdx() == paramIdx)
          return control;
    return nullptr;
  }

  // Clicks item `idx` of the open menu; false when no menu is open.
  bool choose(int idx)
  {
    const PopupMenuPanel* panel = g().GetPopupMenuPanel();
    if (!panel)
      return false;
    const IRECT r = panel->ItemRect(idx);
    ui->clickPx(r.MW(), r.MH());
    return true;
  }
  // The texts of the open menu's items, check marks as a leading "*" and separators as "-".
  std::vector<std::string> menuItems() const
  {
    std::vector<std::string> items;
    if (const PopupMenuPanel* panel = g().GetPopupMenuPanel()) {
      const IPopupMenu& menu = panel->Menu();
      for (int i = 0; i < menu.NItems(); ++i) {
        const IPopupMenu::Item* item = menu.GetItem(i);
        items.push_back(item->IsSeparator() ? "-" : (item->IsChecked() ? "*" : "") + item->text);
      }
    }
    return items;
  }

  // The pixel at a design position.
  IColor at(float x, float y) const
  {
    const float s = g().GetDrawScale();
    return view.Color(static_cast<int>(x * s), static_cast<int>(y * s));
  }

  plug::OffscreenView view;
  std::unique_ptr<EditorWindow> window;
  std::optional<UiDriver> ui;
};

} // namespace editor_test
