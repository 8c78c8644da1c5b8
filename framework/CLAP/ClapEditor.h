// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <memory>

#include <clap/ext/gui.h>

namespace plug {
class X11View;
}
namespace plug::graphics {
class EditorWindow;
}

namespace plug::clap {

class IPluginCLAP;

// The plug-in's editor through clap.gui: an X11 window embedded in the host's (CLAP_WINDOW_API_X11,
// not floating).
//
// - The editor opens at create(), in a window of its own on its own X connection that is not yet
//   shown, so that its size is known before the host asks (get_size comes before set_parent);
//   set_parent moves the window into the host's, show and hide map and unmap it.
// - Events and frames: the host's timer (timer-support, 20 ms) handles the window's events and
//   pumps the run loop that carries every instance's 20 ms timer and the editor's frames; the X
//   connection is also watched through posix-fd-support when the host has it, so input is handled
//   as it comes.
// - Size: the user's choice in the editor (size menu, corner handle) wins: the window takes it and
//   the host is asked to follow (request_resize), whatever it answers. A size the host gives
//   (set_size, after adjust_size) shows the editor at the scale that fits, its proportions kept.
//
// Every call comes from the host's main thread, which is the plug-in's user-interface thread.
class ClapEditor {
public:
  // The clap.gui extension of every instance of this module.
  static const clap_plugin_gui_t* Extension();

  // Null without a display, without the host's timer support, or when the plug-in has no editor.
  static std::unique_ptr<ClapEditor> Create(IPluginCLAP& bridge);
  ~ClapEditor();
  ClapEditor(const ClapEditor&) = delete;
  ClapEditor& operator=(const ClapEditor&) = delete;

  bool SetParent(unsigned long parent);
  bool Show();
  bool Hide();
  void Size(std::uint32_t& width, std::uint32_t& height) const;
  void AdjustSize(std::uint32_t& width, std::uint32_t& height) const;
  bool SetSize(std::uint32_t width, std::uint32_t height);
  void ResizeHints(clap_gui_resize_hints_t& hints) const;

  // The host's timer: the window's events, then the run loop. The fd: the window's events.
  void Idle();
  void ProcessEvents();

  // For tests acting as the host.
  X11View* View() const { return mView.get(); }
  graphics::EditorWindow* Window() const { return mWindow.get(); }

private:
  explicit ClapEditor(IPluginCLAP& bridge);
  void closeEditor();

  IPluginCLAP& mBridge;
  std::unique_ptr<X11View> mView;
  std::unique_ptr<graphics::EditorWindow> mWindow;
};

} // namespace plug::clap
