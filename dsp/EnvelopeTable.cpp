// SPDX-License-Identifier: ISC
#include "dsp/EnvelopeTable.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace quennet {

void EnvelopeTable::reserve(int capacity)
{
  if (capacity <= mCapacity)
    return;
  // In memory here, so that the audio thread finds every page when it fills the table.
  const std::size_t bytes = static_cast<std::size_t>(capacity) * sizeof(double);
  if (mMemory.allocate(bytes))
    mMemory.keepResident(bytes);
  mValues = static_cast<double*>(mMemory.data());
  mCapacity = mValues ? capacity : 0;
  mLength = 0;
}

const double* EnvelopeTable::values(const EnvelopeCurve& curve, double skew, double length, int needed)
{
  // The same as last time first: that length was checked then (grain boxes ask every pass).
  if (!(mLength > 0 && length == mLength && skew == mSkew && curve == mCurve)) {
    if (!(length >= 1.0 && length <= mCapacity && length == std::trunc(length)))
      return nullptr;
    mLength = static_cast<int>(length);
    mSkew = skew;
    mCurve = curve;
    mFilled = 0;
  }
  // Worked out as far as asked, a block at a time: a new table costs the passes of its first frame
  // or grain a little each instead of one pass all of it.
  constexpr int kBlock = 256;
  const int until = std::min(mLength, needed);
  if (until <= mFilled)
    return mValues;
  double x[kBlock];
  for (int start = mFilled; start < until; start += kBlock) {
    const int m = std::min(kBlock, mLength - start);
    // The positions exactly as a grain box forms them (whole position / length).
    for (int i = 0; i < m; ++i)
      x[i] = static_cast<double>(start + i) / length;
    curve.values(x, mValues + start, m, skew);
    mFilled = start + m;
  }
  return mValues;
}

} // namespace quennet
