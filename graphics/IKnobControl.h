// SPDX-License-Identifier: ISC
#pragma once

#include "graphics/IBitmapControl.h"
#include "graphics/IControl.h"

namespace plug::graphics {

// A knob turned by dragging. Moving the mouse by the height (or width) of the target rectangle
// changes the value by 1 ÷ gearing; Shift or Control makes it ten times finer. The value is
// clamped to 0 … 1 and kept on the parameter's steps when the parameter is stepped. The cursor is
// hidden while the button is down.
class IKnobControlBase : public IControl {
public:
  IKnobControlBase(const IRECT& bounds, int paramIdx = kNoParameter, EDirection direction = EDirection::kVertical,
                   double gearing = 4.0);

  void OnMouseDown(float x, float y, const IMouseMod& mod) override;
  void OnMouseUp(float x, float y, const IMouseMod& mod) override;
  void OnMouseDrag(float x, float y, float dX, float dY, const IMouseMod& mod) override;
  // Moves the value by the wheel's notches (IControl::WheelValue).
  void OnMouseWheel(float x, float y, const IMouseMod& mod, float d) override;

  double GetGearing() const { return mGearing; }
  void SetGearing(double gearing) { mGearing = gearing; }

protected:
  EDirection mDirection;
  double mGearing;
  bool mMouseDown = false;
  double mMouseDragValue = 0.0; // follows the mouse unsnapped, so small moves add up to a step
};

// A knob drawn as one of its bitmap's frames: frame 1 + ⌊0.5 + v × (N − 1)⌋ for value v.
class IBKnobControl : public IKnobControlBase, public IBitmapBase {
public:
  // At (x, y), one frame in size.
  IBKnobControl(float x, float y, const IBitmap& bitmap, int paramIdx = kNoParameter,
                EDirection direction = EDirection::kVertical, double gearing = 4.0);

  void Draw(IGraphics& g) override;
};

} // namespace plug::graphics
