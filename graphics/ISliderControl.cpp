// SPDX-License-Identifier: ISC
#include "graphics/ISliderControl.h"

#include <algorithm>

#include "graphics/IGraphics.h"

namespace plug::graphics {

ISliderControlBase::ISliderControlBase(const IRECT& bounds, int paramIdx, EDirection direction, double gearing,
                                       float handleSize)
    : IControl(bounds, paramIdx),
      mDirection(direction),
      mGearing(gearing > 0.0 ? gearing : 1.0),
      mHandleSize(std::max(0.0f, handleSize)),
      mTrack(bounds)
{
}

void ISliderControlBase::OnMouseDown(float x, float y, const IMouseMod& mod)
{
  mMouseDown = true;
  if (!mod.Fine())
    SnapToMouse(x, y, mDirection, mTrack);
  mMouseDragValue = GetValue();
  if (mHideCursorOnDrag)
    if (IGraphics* ui = GetUI())
      ui->HideMouseCursor(true);
}

void ISliderControlBase::OnMouseUp(float, float, const IMouseMod&)
{
  mMouseDown = false;
  if (mHideCursorOnDrag)
    if (IGraphics* ui = GetUI())
      ui->HideMouseCursor(false);
  SetDirty(false);
}

void ISliderControlBase::OnMouseDrag(float, float, float dX, float dY, const IMouseMod& mod)
{
  if (!mMouseDown) {
    // A drag after the second press of a double-click, which went to OnMouseDblClick.
    mMouseDown = true;
    mMouseDragValue = GetValue();
  }
  DragValue(mMouseDragValue, dX, dY, mTrack, mDirection, mGearing, mod);
}

void ISliderControlBase::OnMouseWheel(float, float, const IMouseMod& mod, float d)
{
  if (mMouseDown)
    return;
  SetValue(WheelValue(d, mod));
  SetDirty(true);
}

void ISliderControlBase::SnapToMouse(float x, float y, EDirection direction, const IRECT& bounds, int valIdx, double lo,
                                     double hi)
{
  double value = 0.0;
  const double half = 0.5 * mHandleSize;
  if (direction == EDirection::kVertical) {
    const double span = bounds.H() - mHandleSize;
    value = span > 0.0 ? 1.0 - ((y - bounds.T) - half) / span : 0.0;
  } else {
    const double span = bounds.W() - mHandleSize;
    value = span > 0.0 ? ((x - bounds.L) - half) / span : 0.0;
  }
  value = std::clamp(value, lo, hi);
  for (int i = 0; i < NVals(); ++i)
    if (valIdx == kNoValIdx || i == valIdx)
      SetValue(SnapToParamStep(value, i), i);
  SetDirty(true, valIdx);
}

IBSliderControl::IBSliderControl(float x, float y, float trackLength, const IBitmap& handleBitmap,
                                 const IBitmap& trackBitmap, int paramIdx, EDirection direction, double gearing)
    : ISliderControlBase(
        direction == EDirection::kVertical ? IRECT::MakeXYWH(x, y, static_cast<float>(handleBitmap.FW()), trackLength)
                                           : IRECT::MakeXYWH(x, y, trackLength, static_cast<float>(handleBitmap.FH())),
        paramIdx, direction, gearing,
        static_cast<float>(direction == EDirection::kVertical ? handleBitmap.FH() : handleBitmap.FW())),
      IBitmapBase(handleBitmap),
      mTrackBitmap(trackBitmap)
{
}

void IBSliderControl::Draw(IGraphics& g)
{
  if (mTrackBitmap.W() > 0)
    g.DrawBitmap(mTrackBitmap, mTrack, 1, &mBlend);
  const float v = static_cast<float>(GetValue());
  const float w = static_cast<float>(mBitmap.FW());
  const float h = static_cast<float>(mBitmap.FH());
  IRECT handle;
  if (mDirection == EDirection::kVertical) {
    const float offset = (mTrack.H() - h) * (1.0f - v);
    handle = IRECT::MakeXYWH(mTrack.L, mTrack.T + offset, w, h);
  } else {
    const float offset = (mTrack.W() - w) * v;
    handle = IRECT::MakeXYWH(mTrack.L + offset, mTrack.T, w, h);
  }
  g.DrawBitmap(mBitmap, handle, 1, &mBlend);
}

} // namespace plug::graphics
