#include "dsp/EnvelopeTable.h"

#include <algorithm>
#include <cmath>
#include <new>

void EnvelopeTable::reserve(int capacity)
{
  if (capacity <= mCapacity)
    return;
  // Zeroed here, so that every page is in memory before the audio thread fills it.
  mValues.reset(new (std::nothrow) double[static_cast<std::size_t>(capacity)]());
  mCapacity = mValues ? capacity : 0;
  mLength = 0;
}

const double* EnvelopeTable::values(const EnvelopeCurve& curve, double skew, double length)
{
  // The same as last time first: that length was checked then (grain boxes ask once per sample
  // when they go one sample at a time).
  if (mLength > 0 && length == mLength && skew == mSkew && curve == mCurve)
    return mValues.get();
  if (!(length >= 1.0 && length <= mCapacity && length == std::trunc(length)))
    return nullptr;
  const int n = static_cast<int>(length);

  // The positions exactly as a grain box forms them (whole position / length), in blocks.
  constexpr int kBlock = 256;
  double x[kBlock];
  for (int start = 0; start < n; start += kBlock)
  {
    const int m = std::min(kBlock, n - start);
    for (int i = 0; i < m; ++i)
      x[i] = static_cast<double>(start + i) / length;
    curve.values(x, mValues.get() + start, m, skew);
  }
  mLength = n;
  mSkew = skew;
  mCurve = curve;
  return mValues.get();
}
