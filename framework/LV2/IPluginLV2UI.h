// SPDX-License-Identifier: ISC
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>

#include "framework/LV2/IPluginLV2.h"

namespace plug {
class X11View;
}
namespace plug::graphics {
class EditorWindow;
}

namespace plug::lv2 {

// The plug-in's editor as an LV2 X11 UI, in the same module as the plug-in (quennet.so). With
// instance-access the editor's delegate is the plug-in instance itself, so there is one copy of the
// plug-in's code and of its process-wide state (the run loop with every instance's 20 ms timer, the
// settings store's cache), and the editor works on the very parameters the host automates.
//
// - Opening: the host's parent window (ui:parent) gets an X11View, and the plug-in's editor opens in
//   it (EditorWindow); a plug-in without an editor factory has no UI (hosts then show their own
//   controls). The X connection is opened here, not before: a host that never opens
//   the editor never touches the display.
// - idle (ui:idleInterface) handles the window's events and pumps the run loop on the host's
//   user-interface thread: the plug-in's 20 ms timers (host changes reach the controls, OnIdle) and
//   the editor's frames. It returns non-zero once the window has gone with its parent.
// - Size: the window takes the editor's size, and the host hears of it (ui:resize feature); a size
//   the host gives (ui:resize extension data, or by resizing the window) gets the scale that fits.
// - Edits: every gesture in the editor goes to the host as a write on the parameter's control port
//   (write_function), with touch and release (ui:touch) around it; preset switches write every port.
// - port_event: a value the host set on a control port is shown on the editor's controls (the host
//   change path: no action, nothing written back), unless it is the editor's own write coming back
//   or a value the plug-in has already taken into account (the plug-in's own value, which may have
//   changed since, a learned controller's for instance, stays on show), or the user is in the middle
//   of a gesture on that control. What it shows is a preview: once a whole run of the instance has
//   read the ports after it, the controls show the parameter's value again, so that an event the
//   host delivers late (after the plug-in has moved on) does not stay on show.
//
// Every call comes from the host's user-interface thread and holds IPluginLV2::EditorMutex(). A
// host may end the UI and its instance in either order, each on any thread: an instance that ends
// first closes the editor (InstanceDestroyed), and the UI then only waits for its own end.
class IPluginLV2UI final : private IPluginLV2::EditorPorts {
public:
  // Null, with the reason in one line on stderr, when the UI is for another plug-in, the host lacks
  // a widget pointer, ui:parent, urid:map or instance-access, the instance is none of this module's,
  // no window can be made in the parent (no display, no such parent, no usable visual) or the
  // plug-in has no editor. The bundle path is not needed: the editor finds its artwork beside the
  // module.
  static IPluginLV2UI* Create(const char* pluginURI, const char* bundlePath, LV2UI_Write_Function write,
                              LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features);
  ~IPluginLV2UI() override;
  IPluginLV2UI(const IPluginLV2UI&) = delete;
  IPluginLV2UI& operator=(const IPluginLV2UI&) = delete;

  void PortEvent(std::uint32_t port, std::uint32_t bufferSize, std::uint32_t format, const void* buffer);
  // 0 while the editor is open.
  int Idle();
  // The host's size for the window; 0 when taken.
  int Resize(int width, int height);

  // For tests acting as the host.
  X11View* View() const { return mView.get(); }
  graphics::EditorWindow* Window() const { return mWindow.get(); }

private:
  // Writes per port recognised when the host reports them back.
  static constexpr std::size_t kRecentWrites = 8;

  IPluginLV2UI(IPluginLV2& instance, LV2UI_Write_Function write, LV2UI_Controller controller,
               const LV2UI_Resize* hostResize, const LV2UI_Touch* touch);

  // IPluginLV2::EditorPorts.
  void WriteControlPort(std::uint32_t port, float value) override;
  void TouchControlPort(std::uint32_t port, bool grabbed) override;
  void InstanceDestroyed() override;

  void closeEditor();
  bool isRecentWrite(std::uint32_t port, std::uint32_t bits) const;
  // Controls that show a port event's value until the instance has read the ports after it.
  void endPreviews();

  IPluginLV2* mInstance; // null once it has gone
  LV2UI_Write_Function mWrite;
  LV2UI_Controller mController;
  const LV2UI_Resize* mHostResize;
  const LV2UI_Touch* mTouch;
  std::unique_ptr<X11View> mView;
  std::unique_ptr<graphics::EditorWindow> mWindow;
  // Per control port: the latest values this UI wrote (float bits), newest at mRecentCount - 1.
  struct Recent {
    std::array<std::uint32_t, kRecentWrites> bits{};
    std::size_t count = 0;
    bool grabbed = false; // a gesture on the port is in progress: the user's value wins
    bool previewing = false; // the controls show a port event's value
    std::uint64_t previewRun = 0; // the instance's run count when it arrived
  };
  std::vector<Recent> mRecent; // by port index
};

// The descriptor of the UI, as lv2ui_descriptor(0) returns it.
const LV2UI_Descriptor* UIDescriptor();

} // namespace plug::lv2
