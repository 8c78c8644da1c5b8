// SPDX-License-Identifier: ISC
#include "graphics/IBitmapControl.h"

#include <algorithm>
#include <cmath>

#include "graphics/IGraphics.h"

namespace plug::graphics {

int IBitmapBase::FrameForValue(double value) const
{
  const int n = mBitmap.N();
  const double v = std::clamp(value, 0.0, 1.0);
  return std::clamp(1 + static_cast<int>(std::floor(0.5 + v * (n - 1))), 1, n);
}

IBitmapControl::IBitmapControl(float x, float y, const IBitmap& bitmap, int paramIdx, EBlend blend)
    : IBitmapControl(IRECT::MakeXYWH(x, y, static_cast<float>(bitmap.FW()), static_cast<float>(bitmap.FH())), bitmap,
                     paramIdx, blend)
{
}

IBitmapControl::IBitmapControl(const IRECT& bounds, const IBitmap& bitmap, int paramIdx, EBlend blend)
    : IControl(bounds, paramIdx), IBitmapBase(bitmap)
{
  mBlend = IBlend(blend);
}

void IBitmapControl::Draw(IGraphics& g)
{
  g.DrawBitmap(mBitmap, GetRECT(), FrameForValue(GetValue()), &mBlend);
}

} // namespace plug::graphics
