// SPDX-License-Identifier: ISC
#pragma once

#include "graphics/IBitmap.h"
#include "graphics/IControl.h"

namespace plug::graphics {

// The bitmap of a bitmap-drawn control, and which of its frames shows a value.
class IBitmapBase {
public:
  explicit IBitmapBase(const IBitmap& bitmap) : mBitmap(bitmap) {}
  virtual ~IBitmapBase() = default;

  const IBitmap& GetBitmap() const { return mBitmap; }
  // The caller redraws the control.
  void SetBitmap(const IBitmap& bitmap) { mBitmap = bitmap; }

  // Frame 1 + ⌊0.5 + v × (N − 1)⌋ of N for the normalised value v: frame 1 at 0, frame N at 1.
  int FrameForValue(double value) const;

protected:
  IBitmap mBitmap;
};

// Shows the frame of its bitmap that matches its value (an LED, a picture); takes no mouse action.
class IBitmapControl : public IControl, public IBitmapBase {
public:
  // At (x, y), one frame in size.
  IBitmapControl(float x, float y, const IBitmap& bitmap, int paramIdx = kNoParameter, EBlend blend = EBlend::kDefault);
  IBitmapControl(const IRECT& bounds, const IBitmap& bitmap, int paramIdx = kNoParameter,
                 EBlend blend = EBlend::kDefault);

  void Draw(IGraphics& g) override;
};

} // namespace plug::graphics
