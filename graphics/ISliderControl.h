// SPDX-License-Identifier: ISC
#pragma once

#include "graphics/IBitmapControl.h"
#include "graphics/IControl.h"

namespace plug::graphics {

// A slider whose handle moves along a track. A click without Shift or Control puts the handle's
// centre at the pointer (SnapToMouse); a drag then moves the value relatively: the track's whole
// length sweeps 1 ÷ gearing of the range, ten times finer with Shift or Control, clamped to 0 … 1
// and kept on the parameter's steps when it is stepped. The cursor is hidden while dragging unless
// that option is switched off.
class ISliderControlBase : public IControl {
public:
  // `handleSize`: the handle's extent along the track, design units.
  ISliderControlBase(const IRECT& bounds, int paramIdx = kNoParameter, EDirection direction = EDirection::kVertical,
                     double gearing = 1.0, float handleSize = 0.0f);

  void OnMouseDown(float x, float y, const IMouseMod& mod) override;
  void OnMouseUp(float x, float y, const IMouseMod& mod) override;
  void OnMouseDrag(float x, float y, float dX, float dY, const IMouseMod& mod) override;
  // Moves the value by the wheel's notches (IControl::WheelValue).
  void OnMouseWheel(float x, float y, const IMouseMod& mod, float d) override;

  // Sets value `valIdx` (kNoValIdx: every value) from a point inside `bounds`, the handle centred on
  // it, clamped to lo … hi, and marks the control dirty with the action triggered.
  virtual void SnapToMouse(float x, float y, EDirection direction, const IRECT& bounds, int valIdx = kNoValIdx,
                           double lo = 0.0, double hi = 1.0);

  const IRECT& GetTrack() const { return mTrack; }
  float GetHandleSize() const { return mHandleSize; }
  void SetHideCursorOnDrag(bool hide) { mHideCursorOnDrag = hide; }

protected:
  EDirection mDirection;
  double mGearing;
  float mHandleSize;
  IRECT mTrack; // the bounds the slider was made with
  bool mHideCursorOnDrag = true;
  bool mMouseDown = false;
  double mMouseDragValue = 0.0; // follows the mouse unsnapped, so small moves add up to a step
};

// A slider drawn as its handle bitmap (frame 1) at the value's place along the track, over an
// optional track bitmap.
class IBSliderControl : public ISliderControlBase, public IBitmapBase {
public:
  // At (x, y): a vertical slider is one handle wide and `trackLength` long, a horizontal one
  // `trackLength` wide and one handle high.
  IBSliderControl(float x, float y, float trackLength, const IBitmap& handleBitmap,
                  const IBitmap& trackBitmap = IBitmap(), int paramIdx = kNoParameter,
                  EDirection direction = EDirection::kVertical, double gearing = 1.0);

  void Draw(IGraphics& g) override;

protected:
  IBitmap mTrackBitmap;
};

} // namespace plug::graphics
