// SPDX-License-Identifier: ISC
#include "graphics/IKnobControl.h"

#include "graphics/IGraphics.h"

namespace plug::graphics {

IKnobControlBase::IKnobControlBase(const IRECT& bounds, int paramIdx, EDirection direction, double gearing)
    : IControl(bounds, paramIdx), mDirection(direction), mGearing(gearing > 0.0 ? gearing : 1.0)
{
}

void IKnobControlBase::OnMouseDown(float, float, const IMouseMod&)
{
  mMouseDown = true;
  mMouseDragValue = GetValue();
  if (IGraphics* ui = GetUI())
    ui->HideMouseCursor(true);
}

void IKnobControlBase::OnMouseUp(float, float, const IMouseMod&)
{
  mMouseDown = false;
  if (IGraphics* ui = GetUI())
    ui->HideMouseCursor(false);
  SetDirty(false);
}

void IKnobControlBase::OnMouseDrag(float, float, float dX, float dY, const IMouseMod& mod)
{
  if (!mMouseDown) {
    // A drag after the second press of a double-click, which went to OnMouseDblClick.
    mMouseDown = true;
    mMouseDragValue = GetValue();
  }
  DragValue(mMouseDragValue, dX, dY, GetTargetRECT(), mDirection, mGearing, mod);
}

void IKnobControlBase::OnMouseWheel(float, float, const IMouseMod& mod, float d)
{
  if (mMouseDown)
    return;
  SetValue(WheelValue(d, mod));
  SetDirty(true);
}

IBKnobControl::IBKnobControl(float x, float y, const IBitmap& bitmap, int paramIdx, EDirection direction,
                             double gearing)
    : IKnobControlBase(IRECT::MakeXYWH(x, y, static_cast<float>(bitmap.FW()), static_cast<float>(bitmap.FH())),
                       paramIdx, direction, gearing),
      IBitmapBase(bitmap)
{
}

void IBKnobControl::Draw(IGraphics& g)
{
  g.DrawBitmap(mBitmap, GetRECT(), FrameForValue(GetValue()), &mBlend);
}

} // namespace plug::graphics
