// SPDX-License-Identifier: ISC
#pragma once

#include <limits>

#include "dsp/EnvelopeCurve.h"
#include "dsp/ZeroedPages.h"

namespace quennet {

// An envelope curve's values at the whole positions of a stretch: value(k / length) for
// k = 0 … length - 1. Whole positions come back in every grain of the integer grain modes and in
// every frame, so their powers are worked out once per setting instead of once per sample; the
// values are the ones the curve gives for those positions in a block (EnvelopeCurve::values).
//
// One table serves every grain box that asks for the same curve, skew and length (the owner
// shares it). Audio thread, except reserve.
class EnvelopeTable {
public:
  // Room for `capacity` positions. Allocates: call while preparing, not on the audio thread.
  void reserve(int capacity);

  // The values for this curve, skew and length, at least those of positions below `needed` (all
  // by default), worked out as far as they were not for the last call; null when the length is
  // not a whole number from 1 to the capacity.
  const double* values(const EnvelopeCurve& curve, double skew, double length,
                       int needed = std::numeric_limits<int>::max());

private:
  ZeroedPages mMemory;
  double* mValues = nullptr; // mCapacity values
  int mCapacity = 0;
  int mLength = 0; // 0: nothing worked out
  int mFilled = 0; // values worked out, from position 0
  double mSkew = 0.0;
  EnvelopeCurve mCurve;
};

} // namespace quennet
