// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "framework/IMidiMsg.h"

namespace plug {

class IParam;

// Where a parameter change comes from.
enum EParamSource {
  kReset = 0,
  kHost = 1,
  kPresetRecall = 2,
  kUI = 3,
  kDelegate = 4,
};

// The editor as the framework sees it; the editor library implements it. Called on the
// user-interface thread only.
class IEditorView {
public:
  virtual ~IEditorView() = default;
  virtual bool WindowIsOpen() const = 0;
  // Every value slot of every attached control bound to the parameter takes the normalised value
  // without triggering an action (nothing goes back to the host or the dispatch).
  virtual void SetParameterValueFromDelegate(int paramIdx, double normalizedValue) = 0;
  virtual void ForwardMidiMsg(const IMidiMsg& msg) = 0;
};

// How the plug-in's editors are made, as the framework keeps it: an object of the library that draws
// them (the graphics library's editor factory), which only that library looks into. The framework
// never makes an editor itself; it holds the factory so that each format's editor glue finds it on
// the plug-in. User-interface thread.
class IEditorFactory {
public:
  virtual ~IEditorFactory() = default;
};

// The plug-in side of the editor: the hooks the editor and the framework call, and the editor
// the plug-in currently shows.
class IEditorDelegate {
public:
  IEditorDelegate();
  virtual ~IEditorDelegate() = default;

  IEditorDelegate(const IEditorDelegate&) = delete;
  IEditorDelegate& operator=(const IEditorDelegate&) = delete;

  virtual IParam* GetParam(int paramIdx) = 0;
  virtual int NParams() const = 0;

  // Shows a value on the editor's controls. Off the user-interface thread the update is queued
  // and applied by the 20 ms timer, so controls are only ever touched on their own thread.
  virtual void SendParameterValueFromDelegate(int paramIdx, double value, bool normalized) = 0;

  // After an editor-side change; nothing to do by default.
  virtual void OnParamChangeUI(int /*paramIdx*/, EParamSource /*source*/) {}
  // MIDI that reached the processor, handed over on the user-interface thread.
  virtual void OnMidiMsgUI(const IMidiMsg& /*msg*/) {}

  // Edits made in the editor (user-interface thread): a control's new normalised value, and the
  // start and end of a gesture on a parameter. The plug-in base passes them on to the host and the
  // dispatch; a delegate without a host ignores them.
  virtual void SendParameterValueFromUI(int /*paramIdx*/, double /*normalizedValue*/) {}
  virtual void BeginInformHostOfParamChangeFromUI(int /*paramIdx*/) {}
  virtual void EndInformHostOfParamChangeFromUI(int /*paramIdx*/) {}

  // How an editor is built (user-interface thread). The factory may be replaced at any time; the
  // next editor opened uses what is installed then.
  void SetEditorFactory(std::unique_ptr<IEditorFactory> factory) { mEditorFactory = std::move(factory); }
  IEditorFactory* GetEditorFactory() const { return mEditorFactory.get(); }

  // The editor is closing (user-interface thread): it is already detached and no longer open, its
  // controls still exist and are destroyed right after. The place to drop references to them.
  virtual void OnEditorClose() {}

  // Size (design units) and scale of the last editor that closed, given to the next one before its
  // layout runs. A scale of 0 means no editor has closed yet.
  struct EditorSize {
    int width = 0;
    int height = 0;
    float scale = 0.0f;
  };
  void SetLastEditorSize(const EditorSize& size) { mLastEditorSize = size; }
  const EditorSize& GetLastEditorSize() const { return mLastEditorSize; }

  // The editor attaches itself when its window opens and detaches when it closes, on the
  // user-interface thread.
  void AttachEditor(IEditorView* editor);
  void DetachEditor();
  IEditorView* GetEditor() const { return mEditor.load(std::memory_order_acquire); }
  bool HasOpenEditor() const;

  // The user-interface thread: the thread that constructed the instance, or that attached the editor.
  bool OnUIThread() const { return std::this_thread::get_id() == mUIThread.load(std::memory_order_relaxed); }

private:
  std::atomic<IEditorView*> mEditor{nullptr};
  std::atomic<std::thread::id> mUIThread;
  std::unique_ptr<IEditorFactory> mEditorFactory;
  EditorSize mLastEditorSize;
};

} // namespace plug
