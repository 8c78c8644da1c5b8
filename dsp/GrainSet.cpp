// SPDX-License-Identifier: ISC
#include "dsp/GrainSet.h"

#include <cmath>
#include <limits>

namespace quennet {

namespace {
constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

// floor(value) as an int. Values beyond the int range saturate instead of overflowing the
// conversion; they only arise from absurd settings (and NaN only from NaN settings).
int floorToInt(double value)
{
  const double f = std::floor(value);
  if (f >= static_cast<double>(kIntMax))
    return kIntMax;
  if (f <= static_cast<double>(kIntMin))
    return kIntMin;
  if (std::isnan(f))
    return 0;
  return static_cast<int>(f);
}
} // namespace

void GrainSet::setSampleRate(double sampleRate)
{
  if (!(sampleRate > 0.0) || sampleRate > GrainBox::kMaxSampleRate)
    return;
  mSampleRate = sampleRate;
  mGrainMemo.reserve(mGrainMemoCapacity);
  forBothBoxes([&](GrainBox& box) {
    box.setSampleRate(sampleRate);
    box.shareGrainEnvelopeMemo(&mGrainMemo);
  });
  // Millisecond lengths follow the new rate, also for settings made before the first rate.
  setGrainSetProperties();
}

void GrainSet::setGrainLength(double milliseconds)
{
  mGrainSeconds = milliseconds * 0.001;
  setGrainSetProperties();
}

void GrainSet::setGrainLengthSync(int samples)
{
  mGrainLengthSync = samples;
  setGrainSetProperties();
}

void GrainSet::setGrainFrequency(double hertz, bool fromMidi)
{
  if (fromMidi && mMidiMode) {
    // A note sets this voice's period only; mGrainFrequency keeps the parameter's value.
    if (hertz > 0.0)
      forBothBoxes([&](GrainBox& box) { box.setGrainPeriod(1.0 / hertz); });
    return;
  }
  mGrainFrequency = hertz;
  setGrainSetProperties();
}

void GrainSet::setGrainMode(eGrainMode mode)
{
  mGrainSyncMode = mode == kGrainModeSync;
  mMidiMode = mode == kGrainModeMidi;
  const bool frequencyMode = mode == kGrainModeFreq || mode == kGrainModeMidi;
  forBothBoxes([&](GrainBox& box) { box.setFrequencyMode(frequencyMode); });
  setGrainSetProperties();
}

void GrainSet::setGrainOverlap(double percent)
{
  forBothBoxes([&](GrainBox& box) { box.setGrainOverlap(percent); });
}

void GrainSet::setGrainFadeIn(double amount)
{
  forBothBoxes([&](GrainBox& box) { box.setGrainFadeIn(amount); });
}

void GrainSet::setGrainFadeOut(double amount)
{
  forBothBoxes([&](GrainBox& box) { box.setGrainFadeOut(amount); });
}

void GrainSet::setGrainSkew(double skew)
{
  forBothBoxes([&](GrainBox& box) { box.setGrainSkew((skew + 1.0) * 0.5); });
}

void GrainSet::setFrameLength(double milliseconds)
{
  mFrameSeconds = milliseconds * 0.001;
  setGrainSetProperties();
}

void GrainSet::setFrameLengthSync(int samples)
{
  mFrameLengthSync = samples;
  setGrainSetProperties();
}

void GrainSet::setFrameLengthSyncEnabled(bool enabled)
{
  mFrameSyncEnabled = enabled;
  setGrainSetProperties();
}

void GrainSet::setFrameOverlap(double percent)
{
  mFrameOverlap = percent;
  setGrainSetProperties();
}

void GrainSet::setFrameFadeIn(double amount)
{
  forBothBoxes([&](GrainBox& box) { box.setFrameFadeIn(amount); });
}

void GrainSet::setFrameFadeOut(double amount)
{
  forBothBoxes([&](GrainBox& box) { box.setFrameFadeOut(amount); });
}

void GrainSet::setFrameSkew(double skew)
{
  forBothBoxes([&](GrainBox& box) { box.setFrameSkew((skew + 1.0) * 0.5); });
}

void GrainSet::setGrainSetProperties()
{
  const int a = mFrameSyncEnabled ? mFrameLengthSync : floorToInt(mFrameSeconds * mSampleRate);
  const int b = floorToInt(a * mFrameOverlap * 0.01);
  mFramePeriod = a;
  mFrameOverlapSamples = b;
  mFrameFadeStep = b >= 2 ? 1.0 / b : 1.0;

  const int c = mGrainSyncMode ? mGrainLengthSync : floorToInt(mGrainSeconds * mSampleRate);
  const int g = c > 0 ? c : 1;

  // Each box sounds for the period plus the overlap, so its last b samples are the ones that are
  // cross-faded into the next frame. Summed wide: a tempo-synced period may come close to INT_MAX.
  const long long span = b > 0 ? static_cast<long long>(a) + b : a;
  mFrameSpan = span > kIntMax ? kIntMax : static_cast<int>(span);

  const bool periodFromParameter = !mMidiMode && mGrainFrequency > 0.0;
  forBothBoxes([&](GrainBox& box) {
    if (periodFromParameter)
      box.setGrainPeriod(1.0 / mGrainFrequency);
    box.setGrainSamples(g);
    box.setFrameSamples(mFrameSpan);
  });
}

void GrainSet::resetGrain()
{
  forBothBoxes([](GrainBox& box) { box.resetGrain(); });
}

void GrainSet::resetFrame()
{
  mFrameCounter = 0;
}

void GrainSet::reset()
{
  forBothBoxes([](GrainBox& box) { box.reset(); });
  mCurrentBox = nullptr;
  mPreviousBox = nullptr;
  mFrameCounter = 0;
  // A note's period goes with the note: the boxes take the parameter's again (as outside mode
  // "MIDI" they have anyway), which is what an idle voice of a new set records with.
  if (mGrainFrequency > 0.0)
    forBothBoxes([&](GrainBox& box) { box.setGrainPeriod(1.0 / mGrainFrequency); });
}

void GrainSet::startFrame()
{
  // Before the first frame no box is current, and the first frame goes to box B.
  if (mCurrentBox == &mBoxB) {
    mCurrentBox = &mBoxA;
    mPreviousBox = &mBoxB;
  } else {
    mCurrentBox = &mBoxB;
    mPreviousBox = &mBoxA;
  }
  mCurrentBox->resetFrame();
}

// The next samples up to `wanted` that belong to one stretch of the frame: the cross-fade (at
// most kPass at a time) or the rest of the frame, never past the frame's end.
inline int GrainSet::runLength(int wanted, bool crossFade) const
{
  // A counter at or past the period (the period shrank) ends the frame after one sample.
  const int untilNextFrame = mFramePeriod - mFrameCounter > 1 ? mFramePeriod - mFrameCounter : 1;
  int n = wanted < untilNextFrame ? wanted : untilNextFrame;
  if (crossFade) {
    if (mFrameOverlapSamples - mFrameCounter < n)
      n = mFrameOverlapSamples - mFrameCounter;
    if (kPass < n)
      n = kPass;
  }
  return n;
}

inline void GrainSet::advanceFrameCounter(int n)
{
  // Counts to the period, then 0: the next sample starts a new frame.
  mFrameCounter = mFrameCounter + n < mFramePeriod ? mFrameCounter + n : 0;
}

Sample GrainSet::process(Sample in)
{
  Sample out;
  process(&in.left, &in.right, &out.left, &out.right, 1);
  return out;
}

void GrainSet::process(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  for (int i = 0; i < n;) {
    if (mFrameCounter == 0)
      startFrame();
    const bool crossFade = mFrameCounter < mFrameOverlapSamples;
    const int m = runLength(n - i, crossFade);
    if (crossFade)
      processCrossFade(inLeft + i, inRight + i, outLeft + i, outRight + i, m);
    else
      mCurrentBox->process(inLeft + i, inRight + i, outLeft + i, outRight + i, m);
    advanceFrameCounter(m);
    i += m;
  }
}

// n samples of the frame cross-fade (n ≤ kPass): the previous box first, then the current one; f
// runs 0, 1/b, … (b - 1)/b.
void GrainSet::processCrossFade(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  alignas(64) double previousLeft[kPass];
  alignas(64) double previousRight[kPass];
  mPreviousBox->process(inLeft, inRight, previousLeft, previousRight, n);
  mCurrentBox->process(inLeft, inRight, outLeft, outRight, n);
  for (int j = 0; j < n; ++j) {
    const double f = (mFrameCounter + j) * mFrameFadeStep;
    outLeft[j] = previousLeft[j] * (1.0 - f) + outLeft[j] * f;
    outRight[j] = previousRight[j] * (1.0 - f) + outRight[j] * f;
  }
}

void GrainSet::record(const double* inLeft, const double* inRight, int n)
{
  for (int i = 0; i < n;) {
    if (mFrameCounter == 0)
      startFrame();
    const bool crossFade = mFrameCounter < mFrameOverlapSamples;
    const int m = runLength(n - i, crossFade);
    if (crossFade)
      mPreviousBox->record(inLeft + i, inRight + i, m);
    mCurrentBox->record(inLeft + i, inRight + i, m);
    advanceFrameCounter(m);
    i += m;
  }
}

} // namespace quennet
