// SPDX-License-Identifier: ISC
#include "graphics/EditorWindow.h"

namespace plug::graphics {

EditorWindow::EditorWindow(IEditorDelegate& delegate, std::unique_ptr<IGraphics> graphics)
    : mDelegate(delegate), mGraphics(std::move(graphics))
{
}

std::unique_ptr<EditorWindow> EditorWindow::Open(IEditorDelegate& delegate, IPlatformView& view)
{
  const EditorFactory* factory = GetEditorFactory(delegate);
  if (!factory || !factory->makeGraphics)
    return nullptr;
  std::unique_ptr<IGraphics> graphics = factory->makeGraphics();
  if (!graphics)
    return nullptr;

  const IEditorDelegate::EditorSize& last = delegate.GetLastEditorSize();
  if (last.scale > 0.0f)
    graphics->Resize(last.width, last.height, last.scale, false);
  graphics->OpenWindow(view);
  // The factory may install the layout function: read it only now.
  factory = GetEditorFactory(delegate);
  if (factory && factory->layout)
    factory->layout(graphics.get());
  delegate.AttachEditor(graphics.get());
  graphics->UpdateFrame();
  return std::unique_ptr<EditorWindow>(new EditorWindow(delegate, std::move(graphics)));
}

EditorWindow::~EditorWindow()
{
  // A host that opened a second window meanwhile has the plug-in attached to that one.
  if (mDelegate.GetEditor() == mGraphics.get())
    mDelegate.DetachEditor();
  mDelegate.SetLastEditorSize({mGraphics->Width(), mGraphics->Height(), mGraphics->GetDrawScale()});
  mGraphics->CloseWindow();
  mDelegate.OnEditorClose();
  mGraphics.reset();
}

} // namespace plug::graphics
