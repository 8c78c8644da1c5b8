// SPDX-License-Identifier: ISC
#pragma once

#include "graphics/IBitmapControl.h"
#include "graphics/IControl.h"

namespace plug::graphics {

// A switch that steps through its states: each click adds 1 ÷ (states − 1) to the value, and a value
// above 1.001 wraps to 0 (the margin absorbs the rounding of the sum). Two states toggle 0 and 1.
class ISwitchControlBase : public IControl {
public:
  ISwitchControlBase(const IRECT& bounds, int paramIdx = kNoParameter, int numStates = 2);

  void OnMouseDown(float x, float y, const IMouseMod& mod) override;

  int GetNumStates() const { return mNumStates; }

protected:
  int mNumStates;
};

// A switch drawn as the frame of its bitmap that matches the value; one state per frame.
class IBSwitchControl : public ISwitchControlBase, public IBitmapBase {
public:
  // At (x, y), one frame in size.
  IBSwitchControl(float x, float y, const IBitmap& bitmap, int paramIdx = kNoParameter);

  void Draw(IGraphics& g) override;
};

} // namespace plug::graphics
