// SPDX-License-Identifier: ISC
#pragma once

#include <functional>
#include <memory>

#include "framework/IEditorDelegate.h"

namespace plug::graphics {

class IGraphics;

// How a plug-in's editors are made with this library, kept on the plug-in as its editor factory.
// The factory function makes the graphics context of a new editor; the layout function fills it
// once it is shown. The editor window (EditorWindow) calls both. User-interface thread.
class EditorFactory final : public IEditorFactory {
public:
  using MakeGraphicsFunc = std::function<std::unique_ptr<IGraphics>()>;
  using LayoutFunc = std::function<void(IGraphics*)>;

  MakeGraphicsFunc makeGraphics;
  LayoutFunc layout;
};

// The delegate's factory if this library made it, else null.
const EditorFactory* GetEditorFactory(const IEditorDelegate& delegate);

// Install either function on the delegate, keeping the other one where the delegate already has
// a factory of this library. Either may be replaced at any time, the layout function also from
// inside the factory function; the next editor opened uses what is installed then.
void SetMakeGraphicsFunc(IEditorDelegate& delegate, EditorFactory::MakeGraphicsFunc func);
void SetLayoutFunc(IEditorDelegate& delegate, EditorFactory::LayoutFunc func);

} // namespace plug::graphics
