// SPDX-License-Identifier: ISC
#pragma once

#include <memory>

#include "graphics/EditorFactory.h"
#include "graphics/IGraphics.h"

namespace plug::graphics {

// One open editor of a plug-in, from the host's "show" to its "hide".
//
// Opening makes a new graphics context through the plug-in's factory, gives it the size and scale
// of the last editor that closed, shows it in the platform view, runs the plug-in's layout (the
// window counts as open from then on), attaches it to the plug-in, and draws the first frame.
// Closing (destruction) detaches it from the plug-in, remembers its size and scale, closes the
// window, lets the plug-in drop its references to controls (OnEditorClose) and destroys the context
// with all its controls.
//
// User-interface thread. The plug-in and the view must outlive the window.
class EditorWindow {
public:
  // Null when the plug-in installed no factory or the factory made no context.
  static std::unique_ptr<EditorWindow> Open(IEditorDelegate& delegate, IPlatformView& view);
  ~EditorWindow();
  EditorWindow(const EditorWindow&) = delete;
  EditorWindow& operator=(const EditorWindow&) = delete;

  IGraphics& Graphics() const { return *mGraphics; }

private:
  EditorWindow(IEditorDelegate& delegate, std::unique_ptr<IGraphics> graphics);

  IEditorDelegate& mDelegate;
  std::unique_ptr<IGraphics> mGraphics;
};

} // namespace plug::graphics
