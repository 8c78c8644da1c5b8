// SPDX-License-Identifier: ISC
#pragma once

#include <memory>

namespace plug {
class IPlugin;
class X11View;
} // namespace plug
namespace plug::graphics {
class EditorWindow;
}

namespace jack_app {

// The plug-in's editor in a top-level window of its own: the X11 view made on the screen's root
// window, titled "Quennet", and the window manager's close button (WM_DELETE_WINDOW) reported
// instead of ending the connection, so that the program can end cleanly. The window follows the
// editor's size; resizing it shows the editor at the scale that fits.
//
// Main thread (the plug-in's user-interface thread).
class EditorTopLevel {
public:
  static constexpr const char* kTitle = "Quennet";

  // Null when no X display can be opened or the plug-in has no editor.
  static std::unique_ptr<EditorTopLevel> Open(plug::IPlugin& plugin);
  ~EditorTopLevel();
  EditorTopLevel(const EditorTopLevel&) = delete;
  EditorTopLevel& operator=(const EditorTopLevel&) = delete;

  // The X connection's descriptor, to wait on.
  int ConnectionFd() const;
  // Handles the window's events; false once the user closed the window or it went.
  bool ProcessEvents();

private:
  EditorTopLevel() = default;

  std::unique_ptr<plug::X11View> mView;
  std::unique_ptr<plug::graphics::EditorWindow> mWindow;
  unsigned long mDeleteWindow = 0; // the WM_DELETE_WINDOW atom
  bool mClosed = false;
};

} // namespace jack_app
