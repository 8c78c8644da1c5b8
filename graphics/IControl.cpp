// SPDX-License-Identifier: ISC
#include "graphics/IControl.h"

#include <algorithm>
#include <cmath>

#include "framework/IEditorDelegate.h"
#include "framework/IParam.h"
#include "graphics/IGraphics.h"

namespace plug::graphics {

IControl::IControl(const IRECT& bounds, int paramIdx, IActionFunction action)
    : mVals{{paramIdx, 0.0}}, mAction(std::move(action)), mRECT(bounds), mTargetRECT(bounds)
{
}

void IControl::OnMouseDown(float, float, const IMouseMod&)
{
}
void IControl::OnMouseUp(float, float, const IMouseMod&)
{
}
void IControl::OnMouseDrag(float, float, float, float, const IMouseMod&)
{
}
void IControl::OnMouseDblClick(float, float, const IMouseMod&)
{
}

void IControl::OnMouseOver(float, float, const IMouseMod&)
{
  if (!mMouseIsOver) {
    mMouseIsOver = true;
    SetDirty(false);
  }
}

void IControl::OnMouseOut()
{
  if (mMouseIsOver) {
    mMouseIsOver = false;
    SetDirty(false);
  }
}

int IControl::GetParamIdx(int valIdx) const
{
  if (valIdx < 0 || valIdx >= NVals())
    return kNoParameter;
  return mVals[static_cast<std::size_t>(valIdx)].paramIdx;
}

const IParam* IControl::GetParam(int valIdx) const
{
  const int paramIdx = GetParamIdx(valIdx);
  IEditorDelegate* delegate = GetDelegate();
  return paramIdx >= 0 && delegate ? delegate->GetParam(paramIdx) : nullptr;
}

double IControl::GetValue(int valIdx) const
{
  if (valIdx < 0 || valIdx >= NVals())
    return 0.0;
  return mVals[static_cast<std::size_t>(valIdx)].value;
}

void IControl::SetValue(double value, int valIdx)
{
  if (valIdx < 0 || valIdx >= NVals() || std::isnan(value))
    return;
  mVals[static_cast<std::size_t>(valIdx)].value = std::clamp(value, 0.0, 1.0);
}

void IControl::SetValueFromDelegate(double value, int valIdx)
{
  const double before = GetValue(valIdx);
  SetValue(value, valIdx);
  if (GetValue(valIdx) != before)
    SetDirty(false);
}

void IControl::SetValueFromUserInput(double value, int valIdx)
{
  SetValue(value, valIdx);
  SetDirty(true, valIdx);
}

void IControl::SetDirty(bool triggerAction, int valIdx)
{
  mDirty.store(true, std::memory_order_relaxed);
  if (!triggerAction)
    return;
  if (mGraphics && !mGraphics->OnUIThread()) {
    // Values belong to the user-interface thread: the next frame sends them.
    const int previous = mPendingAction.exchange(valIdx + 2, std::memory_order_acq_rel);
    if (previous != 0 && previous != valIdx + 2)
      mPendingAction.store(kNoValIdx + 2, std::memory_order_release);
    return;
  }
  runAction(valIdx);
}

void IControl::runAction(int valIdx)
{
  if (IEditorDelegate* delegate = GetDelegate()) {
    for (int i = 0; i < NVals(); ++i) {
      if (valIdx != kNoValIdx && i != valIdx)
        continue;
      const int paramIdx = GetParamIdx(i);
      if (paramIdx >= 0)
        delegate->SendParameterValueFromUI(paramIdx, GetValue(i));
    }
  }
  if (mAction)
    mAction(this);
}

void IControl::applyPendingAction()
{
  const int pending = mPendingAction.exchange(0, std::memory_order_acq_rel);
  if (pending != 0)
    runAction(pending - 2);
}

void IControl::Hide(bool hide)
{
  if (mHidden.exchange(hide, std::memory_order_relaxed) != hide)
    mDirty.store(true, std::memory_order_relaxed);
}

void IControl::SetRECT(const IRECT& bounds)
{
  if (bounds != mRECT) {
    mRECT = bounds;
    SetDirty(false);
  }
}

void IControl::SetTargetAndDrawRECTs(const IRECT& bounds)
{
  SetRECT(bounds);
  mTargetRECT = bounds;
}

IEditorDelegate* IControl::GetDelegate() const
{
  return mGraphics ? &mGraphics->GetDelegate() : nullptr;
}

double IControl::SnapToParamStep(double normalized, int valIdx) const
{
  const IParam* param = GetParam(valIdx);
  if (!param || !param->GetStepped())
    return normalized;
  return std::clamp(param->NormalizedFromValue(param->ValueFromNormalized(normalized)), 0.0, 1.0);
}

double IControl::WheelValue(float d, const IMouseMod& mod, int valIdx) const
{
  const double value = GetValue(valIdx);
  if (!std::isfinite(d))
    return value;
  const IParam* param = GetParam(valIdx);
  if (param && param->GetStepped() && param->GetStep() > 0.0) {
    const double plain = param->ValueFromNormalized(value) + static_cast<double>(d) * param->GetStep();
    return std::clamp(param->NormalizedFromValue(param->ConstrainValue(plain)), 0.0, 1.0);
  }
  const double perNotch = mod.Fine() ? 0.001 : 0.01;
  return std::clamp(value + static_cast<double>(d) * perNotch, 0.0, 1.0);
}

void IControl::DragValue(double& dragValue, float dX, float dY, const IRECT& bounds, EDirection direction,
                         double gearing, const IMouseMod& mod)
{
  // Up and right increase the value: the vertical extent is negative, as screen y grows downwards.
  const double extent = direction == EDirection::kVertical ? bounds.T - bounds.B : bounds.R - bounds.L;
  if (extent == 0.0)
    return;
  const double moved = direction == EDirection::kVertical ? dY : dX;
  dragValue = std::clamp(dragValue + moved / extent / (gearing * (mod.Fine() ? 10.0 : 1.0)), 0.0, 1.0);
  SetValue(SnapToParamStep(dragValue));
  SetDirty(true);
}

void IControl::attach(IGraphics* graphics, int tag, const std::string& group)
{
  mGraphics = graphics;
  mTag = tag;
  mGroup = group;
  for (int i = 0; i < NVals(); ++i)
    if (const IParam* param = GetParam(i))
      SetValue(param->GetNormalized(), i);
  mDirty.store(true, std::memory_order_relaxed);
}

} // namespace plug::graphics
