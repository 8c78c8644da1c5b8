// SPDX-License-Identifier: ISC
#include "graphics/ICornerResizerControl.h"

#include <algorithm>

#include "graphics/IGraphics.h"

namespace plug::graphics {

ICornerResizerControl::ICornerResizerControl(const IRECT& graphicsBounds, float size, const IColor& color,
                                             const IColor& mouseOverColor, const IColor& dragColor)
    : IControl(
        IRECT(graphicsBounds.R - size, graphicsBounds.B - size, graphicsBounds.R, graphicsBounds.B).GetPadded(-1.0f)),
      mSize(size),
      mInitialGraphicsBounds(graphicsBounds),
      mColor(color),
      mMouseOverColor(mouseOverColor),
      mDragColor(dragColor)
{
}

void ICornerResizerControl::OnMouseDown(float x, float y, const IMouseMod&)
{
  IGraphics* ui = GetUI();
  if (!ui)
    return;
  mResizing = true;
  mPressScale = ui->GetDrawScale();
  mPressX = x * mPressScale;
  mPressY = y * mPressScale;
  SetDirty(false);
}

void ICornerResizerControl::OnMouseUp(float, float, const IMouseMod&)
{
  mResizing = false;
  SetDirty(false);
}

void ICornerResizerControl::OnMouseDrag(float x, float y, float, float, const IMouseMod&)
{
  IGraphics* ui = GetUI();
  if (!ui || !mResizing || mPressX <= 0.0f || mPressY <= 0.0f)
    return;
  const float scale = ui->GetDrawScale();
  const float ratio = std::min(x * scale / mPressX, y * scale / mPressY);
  ui->Resize(ui->Width(), ui->Height(), mPressScale * ratio, true);
}

void ICornerResizerControl::OnMouseDblClick(float, float, const IMouseMod&)
{
  if (IGraphics* ui = GetUI())
    ui->Resize(static_cast<int>(mInitialGraphicsBounds.W()), static_cast<int>(mInitialGraphicsBounds.H()), 1.0f, true);
}

void ICornerResizerControl::OnMouseOver(float x, float y, const IMouseMod& mod)
{
  if (IGraphics* ui = GetUI(); ui && !GetMouseIsOver()) {
    mPreviousCursor = ui->GetMouseCursor();
    ui->SetMouseCursor(ECursor::kSizeNWSE);
  }
  IControl::OnMouseOver(x, y, mod);
}

void ICornerResizerControl::OnMouseOut()
{
  if (IGraphics* ui = GetUI(); ui && GetMouseIsOver())
    ui->SetMouseCursor(mPreviousCursor);
  IControl::OnMouseOut();
}

void ICornerResizerControl::OnRescale()
{
  IGraphics* ui = GetUI();
  if (!ui)
    return;
  const float w = static_cast<float>(ui->Width());
  const float h = static_cast<float>(ui->Height());
  const float side = mSize / ui->GetDrawScale();
  SetTargetAndDrawRECTs(IRECT(w - side, h - side, w, h));
}

void ICornerResizerControl::Draw(IGraphics& g)
{
  const IColor& color = mResizing ? mDragColor : GetMouseIsOver() ? mMouseOverColor : mColor;
  const IRECT& r = GetRECT();
  g.FillTriangle(color, r.L, r.B, r.R, r.T, r.R, r.B);
}

} // namespace plug::graphics
