// SPDX-License-Identifier: ISC
#include "framework/IEditorDelegate.h"

namespace plug {

IEditorDelegate::IEditorDelegate() : mUIThread(std::this_thread::get_id())
{
}

void IEditorDelegate::AttachEditor(IEditorView* editor)
{
  mUIThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  mEditor.store(editor, std::memory_order_release);
}

void IEditorDelegate::DetachEditor()
{
  mEditor.store(nullptr, std::memory_order_release);
}

bool IEditorDelegate::HasOpenEditor() const
{
  const IEditorView* editor = GetEditor();
  return editor && OnUIThread() && editor->WindowIsOpen();
}

} // namespace plug
