// SPDX-License-Identifier: ISC
#include "graphics/ISwitchControl.h"

#include <algorithm>

#include "graphics/IGraphics.h"

namespace plug::graphics {

ISwitchControlBase::ISwitchControlBase(const IRECT& bounds, int paramIdx, int numStates)
    : IControl(bounds, paramIdx), mNumStates(std::max(2, numStates))
{
}

void ISwitchControlBase::OnMouseDown(float, float, const IMouseMod&)
{
  double value = GetValue() + 1.0 / (mNumStates - 1);
  if (value > 1.001)
    value = 0.0;
  SetValue(value);
  SetDirty(true);
}

IBSwitchControl::IBSwitchControl(float x, float y, const IBitmap& bitmap, int paramIdx)
    : ISwitchControlBase(IRECT::MakeXYWH(x, y, static_cast<float>(bitmap.FW()), static_cast<float>(bitmap.FH())),
                         paramIdx, bitmap.N()),
      IBitmapBase(bitmap)
{
}

void IBSwitchControl::Draw(IGraphics& g)
{
  g.DrawBitmap(mBitmap, GetRECT(), FrameForValue(GetValue()), &mBlend);
}

} // namespace plug::graphics
