#include "dsp/GrainSet.h"

#include <cmath>
#include <limits>

namespace
{
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
  mBoxA.setSampleRate(sampleRate);
  mBoxB.setSampleRate(sampleRate);
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
  if (fromMidi && mMidiMode)
  {
    // A note sets this voice's period only; mGrainFrequency keeps the parameter's value.
    if (hertz > 0.0)
    {
      mBoxA.mGrainPeriod = 1.0 / hertz;
      mBoxB.mGrainPeriod = 1.0 / hertz;
    }
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
  mBoxA.mFrequencyMode = frequencyMode;
  mBoxB.mFrequencyMode = frequencyMode;
  setGrainSetProperties();
}

void GrainSet::setGrainOverlap(double percent)
{
  mBoxA.mGrainOverlap = percent;
  mBoxB.mGrainOverlap = percent;
}

void GrainSet::setGrainFadeIn(double amount)
{
  mBoxA.setGrainFadeIn(amount);
  mBoxB.setGrainFadeIn(amount);
}

void GrainSet::setGrainFadeOut(double amount)
{
  mBoxA.setGrainFadeOut(amount);
  mBoxB.setGrainFadeOut(amount);
}

void GrainSet::setGrainSkew(double skew)
{
  mBoxA.mGrainSkew = (skew + 1.0) * 0.5;
  mBoxB.mGrainSkew = (skew + 1.0) * 0.5;
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
  mBoxA.setFrameFadeIn(amount);
  mBoxB.setFrameFadeIn(amount);
}

void GrainSet::setFrameFadeOut(double amount)
{
  mBoxA.setFrameFadeOut(amount);
  mBoxB.setFrameFadeOut(amount);
}

void GrainSet::setFrameSkew(double skew)
{
  mBoxA.mFrameSkew = (skew + 1.0) * 0.5;
  mBoxB.mFrameSkew = (skew + 1.0) * 0.5;
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

  if (!mMidiMode && mGrainFrequency > 0.0)
  {
    mBoxA.mGrainPeriod = 1.0 / mGrainFrequency;
    mBoxB.mGrainPeriod = 1.0 / mGrainFrequency;
  }

  // Each box sounds for the period plus the overlap, so its last b samples are the ones that are
  // cross-faded into the next frame. Summed wide: a tempo-synced period may come close to INT_MAX.
  const long long span = b > 0 ? static_cast<long long>(a) + b : a;
  mFrameSpan = span > kIntMax ? kIntMax : static_cast<int>(span);

  mBoxA.mGrainSamples = g;
  mBoxA.mFrameSamples = mFrameSpan;
  mBoxB.mGrainSamples = g;
  mBoxB.mFrameSamples = mFrameSpan;
}

void GrainSet::resetGrain()
{
  mBoxA.resetGrain();
  mBoxB.resetGrain();
}

void GrainSet::resetFrame()
{
  mFrameCounter = 0;
}

void GrainSet::reset()
{
  mBoxA.reset();
  mBoxB.reset();
  mCurrentBox = nullptr;
  mPreviousBox = nullptr;
  mFrameCounter = 0;
  // A note's period goes with the note: the boxes take the parameter's again (as outside mode
  // "MIDI" they have anyway), which is what an idle voice of a new set records with.
  if (mGrainFrequency > 0.0)
  {
    mBoxA.mGrainPeriod = 1.0 / mGrainFrequency;
    mBoxB.mGrainPeriod = 1.0 / mGrainFrequency;
  }
}

void GrainSet::startFrame()
{
  // Before the first frame no box is current, and the first frame goes to box B.
  if (mCurrentBox == &mBoxB)
  {
    mCurrentBox = &mBoxA;
    mPreviousBox = &mBoxB;
  }
  else
  {
    mCurrentBox = &mBoxB;
    mPreviousBox = &mBoxA;
  }
  mCurrentBox->resetFrame();
}

// The next samples up to `wanted` that belong to one stretch of the frame: the cross-fade (at
// most kPass at a time) or the rest of the frame, never past the frame's end.
int GrainSet::runLength(int wanted, bool crossFade) const
{
  // A counter at or past the period (the period shrank) ends the frame after one sample.
  const int untilNextFrame = mFramePeriod - mFrameCounter > 1 ? mFramePeriod - mFrameCounter : 1;
  int n = wanted < untilNextFrame ? wanted : untilNextFrame;
  if (crossFade)
  {
    if (mFrameOverlapSamples - mFrameCounter < n)
      n = mFrameOverlapSamples - mFrameCounter;
    if (kPass < n)
      n = kPass;
  }
  return n;
}

void GrainSet::advanceFrameCounter(int n)
{
  // Counts to the period, then 0: the next sample starts a new frame.
  mFrameCounter = mFrameCounter + n < mFramePeriod ? mFrameCounter + n : 0;
}

Sample GrainSet::process(Sample in)
{
  if (mFrameCounter == 0)
    startFrame();
  Sample out;
  if (mFrameCounter < mFrameOverlapSamples)
  {
    // The previous box first; the same mix as a block's cross-fade.
    const double f = mFrameCounter * mFrameFadeStep;
    const Sample previous = mPreviousBox->process(in);
    const Sample current = mCurrentBox->process(in);
    out.left = previous.left * (1.0 - f) + current.left * f;
    out.right = previous.right * (1.0 - f) + current.right * f;
  }
  else
  {
    out = mCurrentBox->process(in);
  }
  advanceFrameCounter(1);
  return out;
}

void GrainSet::process(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  if (n <= kFewSamples)
  {
    // A few samples cost less one at a time than through the passes' bookkeeping.
    for (int i = 0; i < n; ++i)
    {
      const Sample out = process(Sample(inLeft[i], inRight[i]));
      outLeft[i] = out.left;
      outRight[i] = out.right;
    }
    return;
  }
  for (int i = 0; i < n;)
  {
    if (mFrameCounter == 0)
      startFrame();
    const bool crossFade = mFrameCounter < mFrameOverlapSamples;
    const int m = runLength(n - i, crossFade);
    if (crossFade)
    {
      // The previous box is processed first; f runs 0, 1/b, … (b - 1)/b.
      alignas(64) double previousLeft[kPass];
      alignas(64) double previousRight[kPass];
      mPreviousBox->process(inLeft + i, inRight + i, previousLeft, previousRight, m);
      mCurrentBox->process(inLeft + i, inRight + i, outLeft + i, outRight + i, m);
      for (int j = 0; j < m; ++j)
      {
        const double f = (mFrameCounter + j) * mFrameFadeStep;
        outLeft[i + j] = previousLeft[j] * (1.0 - f) + outLeft[i + j] * f;
        outRight[i + j] = previousRight[j] * (1.0 - f) + outRight[i + j] * f;
      }
    }
    else
    {
      mCurrentBox->process(inLeft + i, inRight + i, outLeft + i, outRight + i, m);
    }
    advanceFrameCounter(m);
    i += m;
  }
}

void GrainSet::record(const double* inLeft, const double* inRight, int n)
{
  for (int i = 0; i < n;)
  {
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
