// SPDX-License-Identifier: ISC
#include "graphics/EditorFactory.h"

#include <utility>

namespace plug::graphics {

namespace {
// The delegate's factory of this library, installed first if it has none (or another library's).
EditorFactory& editorFactoryOf(IEditorDelegate& delegate)
{
  if (auto* factory = dynamic_cast<EditorFactory*>(delegate.GetEditorFactory()))
    return *factory;
  auto factory = std::make_unique<EditorFactory>();
  EditorFactory& installed = *factory;
  delegate.SetEditorFactory(std::move(factory));
  return installed;
}
} // namespace

const EditorFactory* GetEditorFactory(const IEditorDelegate& delegate)
{
  return dynamic_cast<const EditorFactory*>(delegate.GetEditorFactory());
}

void SetMakeGraphicsFunc(IEditorDelegate& delegate, EditorFactory::MakeGraphicsFunc func)
{
  editorFactoryOf(delegate).makeGraphics = std::move(func);
}

void SetLayoutFunc(IEditorDelegate& delegate, EditorFactory::LayoutFunc func)
{
  editorFactoryOf(delegate).layout = std::move(func);
}

} // namespace plug::graphics
