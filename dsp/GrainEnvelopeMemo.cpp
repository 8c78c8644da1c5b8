// SPDX-License-Identifier: ISC
#include "dsp/GrainEnvelopeMemo.h"

namespace quennet {

void GrainEnvelopeMemo::reserve()
{
  if (mGrain)
    return;
  constexpr std::size_t kBytes = 2 * kCapacity * sizeof(double);
  if (mMemory.allocate(kBytes))
    mMemory.keepResident(kBytes);
  mGrain = static_cast<double*>(mMemory.data());
  mTail = mGrain ? mGrain + kCapacity : nullptr;
  mFilled = 0;
}

double* GrainEnvelopeMemo::grainToFill(const Key& key, int start, int n)
{
  if (!mGrain || start < 0 || n > kCapacity - start)
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
