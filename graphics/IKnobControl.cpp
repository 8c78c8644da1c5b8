#include "graphics/IKnobControl.h"

#include <algorithm>

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
  const IRECT& r = GetTargetRECT();
  const double gearing = mGearing * (mod.Fine() ? 10.0 : 1.0);
  // Up and right increase the value: the vertical extent is negative, as screen y grows downwards.
  const double extent = mDirection == EDirection::kVertical ? r.T - r.B : r.R - r.L;
  if (extent == 0.0)
    return;
  const double moved = mDirection == EDirection::kVertical ? dY : dX;
  mMouseDragValue = std::clamp(mMouseDragValue + moved / extent / gearing, 0.0, 1.0);
  SetValue(SnapToParamStep(mMouseDragValue));
  SetDirty(true);
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
