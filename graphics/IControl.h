// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "graphics/IGraphicsTypes.h"

namespace plug {
class IEditorDelegate;
class IParam;
struct IMidiMsg;
} // namespace plug

namespace plug::graphics {

class IGraphics;
class IPopupMenu;
class IControl;

// Called after a control's value changed by a user action (SetDirty with the action triggered).
using IActionFunction = std::function<void(IControl*)>;

// A rectangle of the editor that draws itself and may react to the mouse, with one or more values
// (normalised, 0 … 1), each optionally bound to a plug-in parameter.
//
// Geometry is in design units. The draw rectangle is where the control draws (and what is redrawn
// when it is dirty); the target rectangle is where it takes the mouse. Controls are created with new
// and handed to a context with IGraphics::AttachControl, which owns them from then on.
//
// Threads: everything runs on the user-interface thread, except SetDirty and Hide, which any thread
// may call: they only set atomic flags, and the context applies them (and a triggered action) on its
// next frame.
class IControl {
public:
  explicit IControl(const IRECT& bounds, int paramIdx = kNoParameter, IActionFunction action = nullptr);
  virtual ~IControl() = default;
  IControl(const IControl&) = delete;
  IControl& operator=(const IControl&) = delete;

  // Mouse callbacks, positions in design units. Mouse down and up come in pairs; between them the
  // control has the mouse (drags go to it wherever the pointer is). The second press of a
  // double-click comes as OnMouseDblClick instead of OnMouseDown (then also followed by OnMouseUp).
  virtual void OnMouseDown(float x, float y, const IMouseMod& mod);
  virtual void OnMouseUp(float x, float y, const IMouseMod& mod);
  virtual void OnMouseDrag(float x, float y, float dX, float dY, const IMouseMod& mod);
  virtual void OnMouseDblClick(float x, float y, const IMouseMod& mod);
  // The wheel turned `d` notches over the control (positive: away from the user) while no button
  // was held. Nothing by default.
  virtual void OnMouseWheel(float /*x*/, float /*y*/, const IMouseMod& /*mod*/, float /*d*/) {}
  // The pointer moved over the control (no button held); sets the hover flag and redraws when the
  // flag changes. Only while the context's mouse-over handling is on.
  virtual void OnMouseOver(float x, float y, const IMouseMod& mod);
  // The pointer left the control; clears the hover flag and redraws when it changes.
  virtual void OnMouseOut();

  // Attached: the context and the delegate are reachable, and values bound to parameters hold the
  // parameters' current values.
  virtual void OnInit() {}
  // The context's draw scale changed.
  virtual void OnRescale() {}
  // MIDI that reached the plug-in, handed to every control on the user-interface thread.
  virtual void OnMidi(const IMidiMsg& /*msg*/) {}
  // A pop-up menu this control opened has closed: with the menu when an item was chosen (its chosen
  // index is set), with null when it was dismissed.
  virtual void OnPopupMenuSelection(IPopupMenu* /*menu*/, int /*valIdx*/) {}
  virtual void Draw(IGraphics& g) = 0;

  // Values.
  int NVals() const { return static_cast<int>(mVals.size()); }
  // The parameter of a value, or a negative number for none.
  int GetParamIdx(int valIdx = 0) const;
  // The parameter of a value, or null.
  const IParam* GetParam(int valIdx = 0) const;
  double GetValue(int valIdx = 0) const;
  // Clamped to 0 … 1; a NaN leaves the value as it is. Marks nothing dirty.
  void SetValue(double value, int valIdx = 0);
  // From the plug-in side: takes the value and redraws, triggering no action.
  virtual void SetValueFromDelegate(double value, int valIdx = 0);
  // From the user: takes the value and marks the control dirty with the action triggered.
  virtual void SetValueFromUserInput(double value, int valIdx = 0);
  // Redraw at the next frame. With the action triggered, each value of `valIdx` (kNoValIdx: every
  // value) bound to a parameter goes to the plug-in as an edit from the editor, then the action
  // function runs. Any thread; off the user-interface thread the action waits for the next frame.
  virtual void SetDirty(bool triggerAction = true, int valIdx = kNoValIdx);
  bool IsDirty() const { return mDirty.load(std::memory_order_relaxed); }

  // A hidden control neither draws nor receives the mouse. Any thread.
  void Hide(bool hide);
  bool IsHidden() const { return mHidden.load(std::memory_order_relaxed); }
  // A control that ignores the mouse lets it through to what lies below.
  void SetIgnoreMouse(bool ignore) { mIgnoreMouse = ignore; }
  bool GetIgnoreMouse() const { return mIgnoreMouse; }
  bool GetMouseIsOver() const { return mMouseIsOver; }

  // Geometry, design units.
  const IRECT& GetRECT() const { return mRECT; }
  void SetRECT(const IRECT& bounds);
  const IRECT& GetTargetRECT() const { return mTargetRECT; }
  void SetTargetRECT(const IRECT& bounds) { mTargetRECT = bounds; }
  void SetTargetAndDrawRECTs(const IRECT& bounds);

  // Style used by the control's own drawing.
  const IText& GetText() const { return mText; }
  const IBlend& GetBlend() const { return mBlend; }
  void SetBlend(const IBlend& blend) { mBlend = blend; }

  int GetTag() const { return mTag; }
  const std::string& GetGroup() const { return mGroup; }

  // Null until attached.
  IGraphics* GetUI() const { return mGraphics; }
  IEditorDelegate* GetDelegate() const;

protected:
  // A normalised value moved to the nearest step of the value's parameter when that parameter is
  // stepped; unchanged otherwise.
  double SnapToParamStep(double normalized, int valIdx = 0) const;
  // Value `valIdx` moved by `d` wheel notches: one step of a stepped parameter per notch, else a
  // hundredth of the range (a thousandth with Shift or Control); clamped to 0 … 1.
  double WheelValue(float d, const IMouseMod& mod, int valIdx = 0) const;
  // One move of the relative drag that knobs and sliders share. `dragValue` follows the pointer
  // unsnapped, so that small moves add up to a step: the pointer's travel along `direction` over the
  // extent of `bounds` sweeps 1 ÷ gearing of the range, ten times finer with Shift or Control (up
  // and right increase), clamped to 0 … 1. The value becomes `dragValue` on the parameter's step,
  // marked dirty with the action triggered. Bounds without extent move nothing.
  void DragValue(double& dragValue, float dX, float dY, const IRECT& bounds, EDirection direction, double gearing,
                 const IMouseMod& mod);

  IText mText;
  IBlend mBlend;

private:
  friend class IGraphics;

  struct Val {
    int paramIdx;
    double value;
  };

  // Called by the context.
  void attach(IGraphics* graphics, int tag, const std::string& group);
  void runAction(int valIdx);
  // A triggered action asked for off the user-interface thread; runs it.
  void applyPendingAction();

  std::vector<Val> mVals;
  IActionFunction mAction;
  IRECT mRECT;
  IRECT mTargetRECT;
  IRECT mLastDrawnRECT; // what the last frame drew, to clear it when the control moves
  IGraphics* mGraphics = nullptr;
  int mTag = kNoTag;
  std::string mGroup;
  bool mIgnoreMouse = false;
  bool mMouseIsOver = false;
  std::atomic<bool> mDirty{true};
  std::atomic<bool> mHidden{false};
  std::atomic<int> mPendingAction{0}; // 0: none; else the value index + 2
};

} // namespace plug::graphics
