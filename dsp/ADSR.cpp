// SPDX-License-Identifier: ISC
#include "dsp/ADSR.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quennet {

namespace {
constexpr double kLn10 = 2.302585092994046;
constexpr double kAttackTarget = 1.1111111111111112; // 10/9: 10 % beyond the end point
constexpr double kReleaseTarget = -0.1111111111111111; // -1/9
constexpr double kSmallestNormal = std::numeric_limits<double>::min();
} // namespace

// 10^(2.3 - 4.5 v) × ln(10) / rate: a stage aiming 10 % beyond its end point lasts about
// 10^(4.5 v - 2.3) seconds (5 ms at v = 0, 158 s at v = 1).
double ADSR::coefficientFor(double setting) const
{
  const double coefficient = std::pow(10.0, 2.3 - 4.5 * setting) * mRateScale;
  // Only at rates below about 460 Hz can a step overshoot the target; beyond 2 the decay would
  // oscillate with growing amplitude to inf and NaN. Reaching the target in one sample is the limit.
  return coefficient > 1.0 ? 1.0 : coefficient;
}

void ADSR::setSampleRate(double sampleRate)
{
  mStage = kStageIdle;
  // A rate of 0 would make every coefficient infinite and the level NaN for good.
  if (sampleRate > 0.0)
    mRateScale = kLn10 / sampleRate;
  mLevel = 0.0;
}

void ADSR::reset()
{
  mStage = kStageIdle;
  mLevel = 0.0;
}

void ADSR::start()
{
  mStage = kStageAttack;
  mTarget = kAttackTarget;
  mCoefficient = coefficientFor(mAttack);
}

void ADSR::stop(bool immediately)
{
  mStage = kStageRelease;
  mTarget = kReleaseTarget;
  if (immediately) {
    mLevel = 0.0;
    mCoefficient = 0.0;
    mStage = kStageIdle;
    return;
  }
  mCoefficient = coefficientFor(mRelease);
  if (mLevel <= 0.0)
    mStage = kStageIdle;
}

inline void ADSR::advance()
{
  if (mStage <= kStageIdle)
    return;

  mLevel = mLevel + (mTarget - mLevel) * mCoefficient;

  if (mStage == kStageDecaySustain || mStage == kStageRelease) {
    if (mRelease == 1.0) {
      mLevel = 1.0;
    } else if (mLevel < kSmallestNormal) {
      // A decay towards a sustain of 0 never reaches 0 itself: once the step rounds to nothing the
      // level would sit on a subnormal value for good, keeping the voice busy on the slow
      // subnormal path. Below the normal range the voice counts as silent.
      mLevel = 0.0;
      mStage = kStageIdle;
    }
  } else if (mStage == kStageAttack) {
    if (mLevel >= 1.0) {
      mLevel = 1.0;
      mStage = kStageDecaySustain;
      mCoefficient = coefficientFor(mDecay);
      mTarget = mSustain;
    }
  }
}

void ADSR::update()
{
  advance();
}

bool ADSR::isSteady() const
{
  switch (mStage) {
    case kStageIdle: return true;
    case kStageDecaySustain:
    case kStageRelease:
      if (mRelease == 1.0)
        return mLevel == 1.0;
      // At the target the step is 0 · coefficient = 0, and level + 0 = level.
      return mStage == kStageDecaySustain && mLevel == mTarget && mLevel >= kSmallestNormal &&
        std::isfinite(mCoefficient);
    default: return false;
  }
}

void ADSR::render(double* levels, int n)
{
  ADSR* self = this;
  render(&self, &levels, 1, n);
}

void ADSR::render(ADSR* const* envelopes, double* const* levels, int count, int n)
{
  if (n <= 4) {
    // A few samples: each envelope on its own, nothing to overlap.
    for (int k = 0; k < count; ++k)
      for (int i = 0; i < n; ++i) {
        levels[k][i] = envelopes[k]->mLevel;
        envelopes[k]->advance();
      }
    return;
  }
  constexpr int kSideBySide = 8;
  for (int first = 0; first < count; first += kSideBySide) {
    // A steady envelope's levels are all the same; the others step side by side.
    ADSR* moving[kSideBySide];
    double* movingLevels[kSideBySide];
    int m = 0;
    for (int k = first; k < count && k < first + kSideBySide; ++k) {
      if (envelopes[k]->isSteady()) {
        std::fill(levels[k], levels[k] + n, envelopes[k]->mLevel);
        continue;
      }
      moving[m] = envelopes[k];
      movingLevels[m] = levels[k];
      ++m;
    }
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < m; ++k) {
        movingLevels[k][i] = moving[k]->mLevel;
        moving[k]->advance();
      }
  }
}

void ADSR::setAttack(double value)
{
  mAttack = value < 0.0 ? 0.0 : (value > 1.0 ? 1.0 : value);
  if (mStage == kStageAttack)
    mCoefficient = coefficientFor(mAttack);
}

void ADSR::setDecay(double value)
{
  mDecay = 0.8 * value + 0.2;
  if (mStage == kStageDecaySustain)
    mCoefficient = coefficientFor(mDecay);
}

void ADSR::setSustain(double value)
{
  mSustain = value;
  if (mStage == kStageDecaySustain)
    mTarget = value;
}

void ADSR::setRelease(double value)
{
  mRelease = value;
  if (mStage == kStageRelease)
    mCoefficient = coefficientFor(mRelease);
}

} // namespace quennet
