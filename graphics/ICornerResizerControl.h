// SPDX-License-Identifier: ISC
#pragma once

#include "graphics/IControl.h"

namespace plug::graphics {

// The handle in the bottom-right corner that resizes the editor by scale. Hovering shows the
// diagonal resize cursor (the previous cursor returns on leaving). Dragging sets the scale to the
// scale at the press times the smaller of x ÷ x0 and y ÷ y0, both measured on screen from the
// window's top-left corner (x0, y0 the press point); the design size stays as it is and the context
// clamps the scale. A double-click returns to the initial bounds at scale 1. After each change of
// scale the handle covers the last `size` screen pixels of the window in each direction.
class ICornerResizerControl : public IControl {
public:
  // Made from the context's bounds: the size × size square in their bottom-right corner, shrunk by
  // one unit on every side.
  ICornerResizerControl(const IRECT& graphicsBounds, float size, const IColor& color = IColor(64, 0, 0, 0),
                        const IColor& mouseOverColor = IColor(255, 0, 0, 0),
                        const IColor& dragColor = IColor(255, 0, 0, 0));

  void OnMouseDown(float x, float y, const IMouseMod& mod) override;
  void OnMouseUp(float x, float y, const IMouseMod& mod) override;
  void OnMouseDrag(float x, float y, float dX, float dY, const IMouseMod& mod) override;
  void OnMouseDblClick(float x, float y, const IMouseMod& mod) override;
  void OnMouseOver(float x, float y, const IMouseMod& mod) override;
  void OnMouseOut() override;
  void OnRescale() override;
  // The lower-right half of the square in the colour of its state.
  void Draw(IGraphics& g) override;

  bool IsResizing() const { return mResizing; }
  float GetSize() const { return mSize; }
  const IRECT& GetInitialGraphicsBounds() const { return mInitialGraphicsBounds; }

protected:
  float mSize; // screen pixels
  IRECT mInitialGraphicsBounds;
  IColor mColor;
  IColor mMouseOverColor;
  IColor mDragColor;

private:
  bool mResizing = false;
  float mPressScale = 1.0f;
  float mPressX = 0.0f; // screen pixels
  float mPressY = 0.0f;
  ECursor mPreviousCursor = ECursor::kArrow;
};

} // namespace plug::graphics
