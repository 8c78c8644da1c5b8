#include "dsp/GrainBox.h"

#include <cmath>
#include <new>

namespace
{
// Exponent of one envelope side for a fade amount 0 … 1: 2^(4t) falls from 16 (amount near 0)
// through 4 (0.25) and 1 (0.5, a straight line) to 0.5 (0.75) and 0.25 (1). The two halves
// have different slopes in the power of two (-8 and -4) and meet at 0.5.
double fadeExponent(double amount)
{
  const double t = amount <= 0.5 ? 1.0 - 2.0 * amount : 0.5 - amount;
  return std::pow(2.0, 4.0 * t);
}
} // namespace

GrainBox::GrainBox() = default;

void GrainBox::setSampleRate(double sampleRate)
{
  if (!(sampleRate > 0.0) || sampleRate > kMaxSampleRate || sampleRate == mSampleRate)
    return;

  mSampleRate = sampleRate;
  mMaxGrainSamples = static_cast<int>(std::floor(2.0 * sampleRate));
  // Room for a grain of just under two seconds plus a 50 % grain overlap.
  mBufferSize = mMaxGrainSamples + mMaxGrainSamples / 2;

  mBuffer.reset();
  // Called from the audio thread's reset: a failed allocation must not throw into the host.
  // Without a buffer the box reports size 0, and every grain "does not fit": silence.
  mBuffer.reset(new (std::nothrow) Sample[static_cast<std::size_t>(mBufferSize)]());
  if (!mBuffer)
    mBufferSize = 0;

  mGrainPosition = 0.0;
  mFrameCounter = 0;
}

void GrainBox::setGrainFadeIn(double amount)
{
  mGrainFadeInOn = amount > 0.0;
  mGrainFadeInExponent = fadeExponent(amount);
}

void GrainBox::setGrainFadeOut(double amount)
{
  mGrainFadeOutOn = amount > 0.0;
  mGrainFadeOutExponent = fadeExponent(amount);
}

void GrainBox::setFrameFadeIn(double amount)
{
  mFrameFadeInOn = amount > 0.0;
  mFrameFadeInExponent = fadeExponent(amount);
}

void GrainBox::setFrameFadeOut(double amount)
{
  mFrameFadeOutOn = amount > 0.0;
  mFrameFadeOutExponent = fadeExponent(amount);
}

double GrainBox::getEnvelope(double x, double skew, bool fadeInOn, double fadeInExponent,
                             bool fadeOutOn, double fadeOutExponent) const
{
  if (skew > x)
  {
    if (!fadeInOn)
      return 1.0;
    return 1.0 - std::pow(1.0 - x / skew, fadeInExponent);
  }
  if (!fadeOutOn)
    return 1.0;
  // A peak at the very end leaves no falling side: stay at the peak instead of dividing 0 by 0
  // (reachable only from x >= 1, which process never asks for).
  if (!(skew < 1.0))
    return 1.0;
  return 1.0 - std::pow((x - skew) / (1.0 - skew), fadeOutExponent);
}

double GrainBox::getGrainEnvelope(double x) const
{
  return getEnvelope(x, mGrainSkew, mGrainFadeInOn, mGrainFadeInExponent, mGrainFadeOutOn,
                     mGrainFadeOutExponent);
}

double GrainBox::getFrameEnvelope(double x) const
{
  return getEnvelope(x, mFrameSkew, mFrameFadeInOn, mFrameFadeInExponent, mFrameFadeOutOn,
                     mFrameFadeOutExponent);
}

void GrainBox::setGrainBoxProperties()
{
  if (mFrequencyMode)
  {
    // Fractional and unlimited here: a grain that does not fit the buffer plays silence.
    mGrainLength = mSampleRate * mGrainPeriod;
  }
  else
  {
    if (mGrainSamples >= mMaxGrainSamples)
      mGrainSamples = mMaxGrainSamples - 1;
    mGrainLength = mGrainSamples;
  }
  if (mGrainLength < 1.0)
    mGrainLength = 1.0;

  mOverlapLength = std::floor(mGrainOverlap * mGrainLength * 0.01);
  // A negative overlap percentage, or an infinite grain with no overlap (0 × inf), would give a
  // cross-fade of negative or NaN length and break the span that every read is checked against.
  if (!(mOverlapLength >= 0.0))
    mOverlapLength = 0.0;
  mOverlapStep = 1.0 / mOverlapLength;
  mGrainSpan = mGrainLength + mOverlapLength;

  mFrameLength = mFrameSamples > 0 ? mFrameSamples : 1;
}

void GrainBox::resetGrain()
{
  mGrainPosition = 0.0;
}

void GrainBox::resetFrame()
{
  setGrainBoxProperties();
  mGrainPosition = 0.0;
  mFrameCounter = 0;
}

Sample GrainBox::getSample(double position, bool tail)
{
  // Beyond the grain's stretch, or outside the buffer, there is nothing recorded to read.
  if (!(position < mGrainSpan) || !(position >= 0.0) || !(position < mBufferSize))
    return Sample();

  const int i = static_cast<int>(std::floor(position));
  if (!mFrequencyMode)
    return mBuffer[i];

  const double t = position - i;
  History& h = tail ? mTailHistory : mMainHistory;
  double* const channels[2] = {h.left, h.right};
  const double fetched[2] = {mBuffer[i].left, mBuffer[i].right};
  double result[2];
  for (int c = 0; c < 2; ++c)
  {
    double* y = channels[c];
    y[0] = y[1];
    y[1] = y[2];
    y[2] = y[3];
    y[3] = fetched[c];
    // Catmull-Rom between y1 and y2: the output lags the read position by two samples.
    const double c1 = 0.5 * (y[2] - y[0]);
    const double c2 = y[0] - 2.5 * y[1] + 2.0 * y[2] - 0.5 * y[3];
    const double c3 = 0.5 * (y[3] - y[0]) + 1.5 * (y[1] - y[2]);
    result[c] = y[1] + c1 * t + c2 * (t * t) + c3 * (t * t * t);
  }
  return Sample(result[0], result[1]);
}

Sample GrainBox::process(Sample in)
{
  // Frame over: silent and frozen until the next resetFrame.
  if (mFrameCounter >= mFrameLength)
    return Sample();
  // The grain does not fit the buffer (also catches a NaN span from a NaN period).
  if (!(mGrainSpan <= mBufferSize))
    return Sample();

  if (mFrameCounter < mGrainSpan)
    mBuffer[mFrameCounter] = in;

  const double p = mGrainPosition;
  Sample out;
  if (p < mOverlapLength)
  {
    // First sample of a grain: the tail reader carries on from where the main reader stopped.
    if (p < 1.0)
      mTailHistory = mMainHistory;

    const Sample head = getSample(p, false);
    const double headEnvelope = getGrainEnvelope(p / mGrainSpan);
    out = Sample(head.left * headEnvelope, head.right * headEnvelope);

    // Linear cross-fade from the previous grain's continuation (buffer mGrainLength … mGrainSpan)
    // into the new grain.
    const double q = mGrainLength + p;
    if (q < mGrainSpan)
    {
      const double f = p * mOverlapStep;
      const Sample tail = getSample(q, true);
      const double tailEnvelope = getGrainEnvelope(q / mGrainSpan);
      out.left = out.left * f + (1.0 - f) * tail.left * tailEnvelope;
      out.right = out.right * f + (1.0 - f) * tail.right * tailEnvelope;
    }
  }
  else
  {
    const Sample head = getSample(p, false);
    const double headEnvelope = getGrainEnvelope(p / mGrainSpan);
    out = Sample(head.left * headEnvelope, head.right * headEnvelope);
  }

  const double frameEnvelope =
    getFrameEnvelope(static_cast<double>(mFrameCounter) / static_cast<double>(mFrameLength));

  // The fractional remainder carries over, so fractional grains repeat at the exact period on average.
  double next = p + 1.0;
  if (next >= mGrainLength)
    next -= mGrainLength;
  mGrainPosition = next;

  ++mFrameCounter;

  return Sample(out.left * frameEnvelope, out.right * frameEnvelope);
}
