// SPDX-License-Identifier: ISC
#include "dsp/GrainEnvelopeMemo.h"

namespace quennet {

void GrainEnvelopeMemo::reserve(int capacity)
{
  if (capacity <= mCapacity)
    return;
  const std::size_t bytes = 2 * static_cast<std::size_t>(capacity) * sizeof(double);
  if (mMemory.allocate(bytes))
    mMemory.keepResident(bytes);
  mGrain = static_cast<double*>(mMemory.data());
  mTail = mGrain ? mGrain + capacity : nullptr;
  mCapacity = mGrain ? capacity : 0;
  mFilled = 0;
}

double* GrainEnvelopeMemo::grainToFill(const Key& key, int start, int n)
{
  if (start < 0 || n > mCapacity - start)
    return nullptr;
  if (!(key == mKey)) {
    if (start != 0)
      return nullptr;
    mKey = key;
    mFilled = 0;
  }
  if (start != mFilled)
    return nullptr;
  mFilled = start + n;
  return mGrain + start;
}

} // namespace quennet
