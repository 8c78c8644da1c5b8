// SPDX-License-Identifier: ISC
#pragma once

#include <memory>

#include "framework/VST3/Com.h"
#include "travesty/view.h"

namespace plug {
class X11View;
}
namespace plug::graphics {
class EditorWindow;
}

namespace plug::vst3 {

class IPluginVST3;

// The plug-in's editor as a VST3 view (IPlugView) embedded in the host's window on X11
// (kPlatformTypeX11EmbedWindowID): an X11View child window in the window the host gives, with the
// plug-in's editor (EditorWindow) in it.
//
// - Run loop: the view has no thread of its own. While attached it registers with the host's run
//   loop (IRunLoop, which the host's IPlugFrame offers) a 20 ms timer, which handles the window's
//   events and pumps our run loop (every instance's 20 ms timer: host changes reach the controls,
//   OnIdle; and the editors' frames), and a handler for the X connection's descriptor, which
//   handles the window's events as soon as they arrive. A host without a run loop gets no editor.
// - Size: the user's choice wins. A size the editor takes (its size menu, the corner handle, the
//   preferred scale on opening) goes to the host through IPlugFrame::resizeView, and the editor
//   stays at it whether or not the host follows; a size the host gives (onSize, after the user
//   resized the host's window) shows the editor at the scale that fits; checkSizeConstraint keeps
//   the editor's proportions and scale limits.
// - Input comes from the X server directly; the host's onWheel and onKey calls are not needed.
//
// Every call comes from the host's user-interface thread. The view keeps a reference to the bridge,
// so that the plug-in outlives its editor.
class VST3View final : public RefCount<VST3View> {
public:
  // The view for createView("editor"), with one reference.
  static v3_plugin_view** Create(IPluginVST3& bridge);

  VST3View(const VST3View&) = delete;
  VST3View& operator=(const VST3View&) = delete;

  // The object model (Ref and Unref from RefCount).
  v3_result QueryInterface(const v3_tuid iid, void** obj);

  // IPlugView.
  v3_result IsPlatformTypeSupported(const char* type) const;
  v3_result Attached(void* parent, const char* type);
  v3_result Removed();
  v3_result GetSize(v3_view_rect* rect) const;
  v3_result OnSize(const v3_view_rect* rect);
  v3_result SetFrame(v3_plugin_frame** frame);
  v3_result CheckSizeConstraint(v3_view_rect* rect) const;

  // The host's run loop.
  void OnTimer();
  void OnFdIsSet(int fd);

  // For tests acting as the host.
  X11View* View() const { return mX11.get(); }
  graphics::EditorWindow* Window() const { return mWindow.get(); }

private:
  friend class RefCount<VST3View>; // the last Unref deletes the view

  explicit VST3View(IPluginVST3& bridge);
  ~VST3View();

  void editorResized(int width, int height);
  void closeEditor();

  Interface<v3_plugin_view_cpp, VST3View> mView;
  Interface<v3_timer_handler_cpp, VST3View> mTimer;
  Interface<v3_event_handler_cpp, VST3View> mEvents;

  IPluginVST3& mBridge;
  v3_plugin_frame** mFrame = nullptr;
  v3_run_loop** mRunLoop = nullptr; // while attached
  bool mTimerRegistered = false;
  bool mEventsRegistered = false;
  int mDescriptor = -1;

  std::unique_ptr<X11View> mX11;
  std::unique_ptr<graphics::EditorWindow> mWindow;
  // The size the host was last told or gave, in pixels.
  int mWidth = 0;
  int mHeight = 0;
  bool mAskingHost = false; // inside resizeView
};

} // namespace plug::vst3
