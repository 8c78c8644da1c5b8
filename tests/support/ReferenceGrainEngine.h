// SPDX-License-Identifier: ISC
#pragma once

// The grain engine as it first shipped: grain box, grain set and envelope, evaluated one sample
// at a time in double precision exactly as written down, with the recording held in doubles.
// The product's engine works a block at a time; the tests compare it against this copy, which
// must never be optimised. Kept apart in namespace `reference`.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "dsp/Sample.h"

namespace reference {

// The product's stereo pair and grain modes, shared with the engine under test; the classes
// declared here hide the product's classes of the same names.
using namespace quennet;

class GrainBox {
public:
  static constexpr double kMaxSampleRate = 715827882.0;

  void setSampleRate(double sampleRate)
  {
    if (!(sampleRate > 0.0) || sampleRate > kMaxSampleRate || sampleRate == mSampleRate)
      return;
    mSampleRate = sampleRate;
    mMaxGrainSamples = static_cast<int>(std::floor(2.0 * sampleRate));
    mBufferSize = mMaxGrainSamples + mMaxGrainSamples / 2;
    mBuffer.reset();
    mBuffer.reset(new (std::nothrow) Sample[static_cast<std::size_t>(mBufferSize)]());
    if (!mBuffer)
      mBufferSize = 0;
    mGrainPosition = 0.0;
    mFrameCounter = 0;
  }

  void setGrainFadeIn(double amount)
  {
    mGrainFadeInOn = amount > 0.0;
    mGrainFadeInExponent = fadeExponent(amount);
  }
  void setGrainFadeOut(double amount)
  {
    mGrainFadeOutOn = amount > 0.0;
    mGrainFadeOutExponent = fadeExponent(amount);
  }
  void setFrameFadeIn(double amount)
  {
    mFrameFadeInOn = amount > 0.0;
    mFrameFadeInExponent = fadeExponent(amount);
  }
  void setFrameFadeOut(double amount)
  {
    mFrameFadeOutOn = amount > 0.0;
    mFrameFadeOutExponent = fadeExponent(amount);
  }

  double getGrainEnvelope(double x) const
  {
    return getEnvelope(x, mGrainSkew, mGrainFadeInOn, mGrainFadeInExponent, mGrainFadeOutOn, mGrainFadeOutExponent);
  }
  double getFrameEnvelope(double x) const
  {
    return getEnvelope(x, mFrameSkew, mFrameFadeInOn, mFrameFadeInExponent, mFrameFadeOutOn, mFrameFadeOutExponent);
  }

  void setGrainBoxProperties()
  {
    if (mFrequencyMode) {
      mGrainLength = mSampleRate * mGrainPeriod;
    } else {
      if (mGrainSamples >= mMaxGrainSamples)
        mGrainSamples = mMaxGrainSamples - 1;
      mGrainLength = mGrainSamples;
    }
    if (mGrainLength < 1.0)
      mGrainLength = 1.0;
    mOverlapLength = std::floor(mGrainOverlap * mGrainLength * 0.01);
    if (!(mOverlapLength >= 0.0))
      mOverlapLength = 0.0;
    mOverlapStep = 1.0 / mOverlapLength;
    mGrainSpan = mGrainLength + mOverlapLength;
    mFrameLength = mFrameSamples > 0 ? mFrameSamples : 1;
  }

  void resetGrain() { mGrainPosition = 0.0; }
  void resetFrame()
  {
    setGrainBoxProperties();
    mGrainPosition = 0.0;
    mFrameCounter = 0;
  }

  Sample getSample(double position, bool tail)
  {
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
    for (int c = 0; c < 2; ++c) {
      double* y = channels[c];
      y[0] = y[1];
      y[1] = y[2];
      y[2] = y[3];
      y[3] = fetched[c];
      const double c1 = 0.5 * (y[2] - y[0]);
      const double c2 = y[0] - 2.5 * y[1] + 2.0 * y[2] - 0.5 * y[3];
      const double c3 = 0.5 * (y[3] - y[0]) + 1.5 * (y[1] - y[2]);
      result[c] = y[1] + c1 * t + c2 * (t * t) + c3 * (t * t * t);
    }
    return Sample(result[0], result[1]);
  }

  Sample process(Sample in)
  {
    if (mFrameCounter >= mFrameLength)
      return Sample();
    if (!(mGrainSpan <= mBufferSize))
      return Sample();
    if (mFrameCounter < mGrainSpan)
      mBuffer[mFrameCounter] = in;

    const double p = mGrainPosition;
    Sample out;
    if (p < mOverlapLength) {
      if (p < 1.0)
        mTailHistory = mMainHistory;
      const Sample head = getSample(p, false);
      const double headEnvelope = getGrainEnvelope(p / mGrainSpan);
      out = Sample(head.left * headEnvelope, head.right * headEnvelope);
      const double q = mGrainLength + p;
      if (q < mGrainSpan) {
        const double f = p * mOverlapStep;
        const Sample tail = getSample(q, true);
        const double tailEnvelope = getGrainEnvelope(q / mGrainSpan);
        out.left = out.left * f + (1.0 - f) * tail.left * tailEnvelope;
        out.right = out.right * f + (1.0 - f) * tail.right * tailEnvelope;
      }
    } else {
      const Sample head = getSample(p, false);
      const double headEnvelope = getGrainEnvelope(p / mGrainSpan);
      out = Sample(head.left * headEnvelope, head.right * headEnvelope);
    }
    const double frameEnvelope =
      getFrameEnvelope(static_cast<double>(mFrameCounter) / static_cast<double>(mFrameLength));
    double next = p + 1.0;
    if (next >= mGrainLength)
      next -= mGrainLength;
    mGrainPosition = next;
    ++mFrameCounter;
    return Sample(out.left * frameEnvelope, out.right * frameEnvelope);
  }

  // Read-only views, for the comparisons.
  double getGrainPosition() const { return mGrainPosition; }
  int getFrameCounter() const { return mFrameCounter; }

  // The product's setters, so that one test helper configures both boxes.
  void setGrainSamples(int samples) { mGrainSamples = samples; }
  void setFrameSamples(int samples) { mFrameSamples = samples; }
  void setGrainPeriod(double seconds) { mGrainPeriod = seconds; }
  void setGrainOverlap(double percent) { mGrainOverlap = percent; }
  void setGrainSkew(double skew) { mGrainSkew = skew; }
  void setFrameSkew(double skew) { mFrameSkew = skew; }
  void setFrequencyMode(bool on) { mFrequencyMode = on; }

  int mGrainSamples = 0;
  int mFrameSamples = 1;
  double mGrainPeriod = 1.0;
  double mGrainOverlap = 0.0;
  double mGrainSkew = 0.0;
  double mFrameSkew = 0.0;
  bool mFrequencyMode = false;

private:
  struct History {
    double left[4] = {0.0, 0.0, 0.0, 0.0};
    double right[4] = {0.0, 0.0, 0.0, 0.0};
  };

  static double fadeExponent(double amount)
  {
    const double t = amount <= 0.5 ? 1.0 - 2.0 * amount : 0.5 - amount;
    return std::pow(2.0, 4.0 * t);
  }

  static double getEnvelope(double x, double skew, bool fadeInOn, double fadeInExponent, bool fadeOutOn,
                            double fadeOutExponent)
  {
    if (skew > x) {
      if (!fadeInOn)
        return 1.0;
      return 1.0 - std::pow(1.0 - x / skew, fadeInExponent);
    }
    if (!fadeOutOn)
      return 1.0;
    if (!(skew < 1.0))
      return 1.0;
    return 1.0 - std::pow((x - skew) / (1.0 - skew), fadeOutExponent);
  }

  std::unique_ptr<Sample[]> mBuffer;
  History mMainHistory;
  History mTailHistory;
  bool mGrainFadeInOn = false;
  bool mGrainFadeOutOn = false;
  bool mFrameFadeInOn = false;
  bool mFrameFadeOutOn = false;
  double mSampleRate = -1.0;
  double mGrainLength = 1.0;
  double mGrainSpan = 1.0;
  double mGrainPosition = 0.0;
  double mOverlapLength = 0.0;
  double mOverlapStep = std::numeric_limits<double>::infinity();
  double mGrainFadeInExponent = 0.0;
  double mGrainFadeOutExponent = 0.0;
  double mFrameFadeInExponent = 0.0;
  double mFrameFadeOutExponent = 0.0;
  int mBufferSize = 0;
  int mMaxGrainSamples = 1;
  int mFrameLength = 1;
  int mFrameCounter = 0;
};

class GrainSet {
public:
  GrainSet() = default;
  GrainSet(const GrainSet&) = delete;
  GrainSet& operator=(const GrainSet&) = delete;

  void setSampleRate(double sampleRate)
  {
    if (!(sampleRate > 0.0) || sampleRate > GrainBox::kMaxSampleRate)
      return;
    mSampleRate = sampleRate;
    mBoxA.setSampleRate(sampleRate);
    mBoxB.setSampleRate(sampleRate);
    setGrainSetProperties();
  }
  void setGrainLength(double milliseconds)
  {
    mGrainSeconds = milliseconds * 0.001;
    setGrainSetProperties();
  }
  void setGrainLengthSync(int samples)
  {
    mGrainLengthSync = samples;
    setGrainSetProperties();
  }
  void setGrainFrequency(double hertz, bool fromMidi)
  {
    if (fromMidi && mMidiMode) {
      if (hertz > 0.0) {
        mBoxA.mGrainPeriod = 1.0 / hertz;
        mBoxB.mGrainPeriod = 1.0 / hertz;
      }
      return;
    }
    mGrainFrequency = hertz;
    setGrainSetProperties();
  }
  void setGrainMode(eGrainMode mode)
  {
    mGrainSyncMode = mode == kGrainModeSync;
    mMidiMode = mode == kGrainModeMidi;
    const bool frequencyMode = mode == kGrainModeFreq || mode == kGrainModeMidi;
    mBoxA.mFrequencyMode = frequencyMode;
    mBoxB.mFrequencyMode = frequencyMode;
    setGrainSetProperties();
  }
  void setGrainOverlap(double percent)
  {
    mBoxA.mGrainOverlap = percent;
    mBoxB.mGrainOverlap = percent;
  }
  void setGrainFadeIn(double amount)
  {
    mBoxA.setGrainFadeIn(amount);
    mBoxB.setGrainFadeIn(amount);
  }
  void setGrainFadeOut(double amount)
  {
    mBoxA.setGrainFadeOut(amount);
    mBoxB.setGrainFadeOut(amount);
  }
  void setGrainSkew(double skew)
  {
    mBoxA.mGrainSkew = (skew + 1.0) * 0.5;
    mBoxB.mGrainSkew = (skew + 1.0) * 0.5;
  }
  void setFrameLength(double milliseconds)
  {
    mFrameSeconds = milliseconds * 0.001;
    setGrainSetProperties();
  }
  void setFrameLengthSync(int samples)
  {
    mFrameLengthSync = samples;
    setGrainSetProperties();
  }
  void setFrameLengthSyncEnabled(bool enabled)
  {
    mFrameSyncEnabled = enabled;
    setGrainSetProperties();
  }
  void setFrameOverlap(double percent)
  {
    mFrameOverlap = percent;
    setGrainSetProperties();
  }
  void setFrameFadeIn(double amount)
  {
    mBoxA.setFrameFadeIn(amount);
    mBoxB.setFrameFadeIn(amount);
  }
  void setFrameFadeOut(double amount)
  {
    mBoxA.setFrameFadeOut(amount);
    mBoxB.setFrameFadeOut(amount);
  }
  void setFrameSkew(double skew)
  {
    mBoxA.mFrameSkew = (skew + 1.0) * 0.5;
    mBoxB.mFrameSkew = (skew + 1.0) * 0.5;
  }

  void setGrainSetProperties()
  {
    const int a = mFrameSyncEnabled ? mFrameLengthSync : floorToInt(mFrameSeconds * mSampleRate);
    const int b = floorToInt(a * mFrameOverlap * 0.01);
    mFramePeriod = a;
    mFrameOverlapSamples = b;
    mFrameFadeStep = b >= 2 ? 1.0 / b : 1.0;
    const int c = mGrainSyncMode ? mGrainLengthSync : floorToInt(mGrainSeconds * mSampleRate);
    const int g = c > 0 ? c : 1;
    if (!mMidiMode && mGrainFrequency > 0.0) {
      mBoxA.mGrainPeriod = 1.0 / mGrainFrequency;
      mBoxB.mGrainPeriod = 1.0 / mGrainFrequency;
    }
    const long long span = b > 0 ? static_cast<long long>(a) + b : a;
    mFrameSpan = span > kIntMax ? kIntMax : static_cast<int>(span);
    mBoxA.mGrainSamples = g;
    mBoxA.mFrameSamples = mFrameSpan;
    mBoxB.mGrainSamples = g;
    mBoxB.mFrameSamples = mFrameSpan;
  }

  void resetGrain()
  {
    mBoxA.resetGrain();
    mBoxB.resetGrain();
  }
  void resetFrame() { mFrameCounter = 0; }

  Sample process(Sample in)
  {
    if (mFrameCounter == 0) {
      if (mCurrentBox == &mBoxB) {
        mCurrentBox = &mBoxA;
        mPreviousBox = &mBoxB;
      } else {
        mCurrentBox = &mBoxB;
        mPreviousBox = &mBoxA;
      }
      mCurrentBox->resetFrame();
    }
    Sample out;
    if (mFrameCounter < mFrameOverlapSamples) {
      const double f = mFrameCounter * mFrameFadeStep;
      const Sample previous = mPreviousBox->process(in);
      const Sample current = mCurrentBox->process(in);
      out.left = previous.left * (1.0 - f) + current.left * f;
      out.right = previous.right * (1.0 - f) + current.right * f;
    } else {
      out = mCurrentBox->process(in);
    }
    mFrameCounter = mFrameCounter + 1 < mFramePeriod ? mFrameCounter + 1 : 0;
    return out;
  }

private:
  static constexpr int kIntMax = std::numeric_limits<int>::max();
  static constexpr int kIntMin = std::numeric_limits<int>::min();

  static int floorToInt(double value)
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

  GrainBox mBoxA;
  GrainBox mBoxB;
  GrainBox* mCurrentBox = nullptr;
  GrainBox* mPreviousBox = nullptr;
  double mGrainSeconds = 0.0;
  double mGrainFrequency = 110.0;
  double mFrameSeconds = 0.0;
  double mFrameOverlap = 0.0;
  int mGrainLengthSync = 0;
  int mFrameLengthSync = 1;
  bool mGrainSyncMode = false;
  bool mMidiMode = false;
  bool mFrameSyncEnabled = false;
  double mSampleRate = 1.0;
  double mFrameFadeStep = 1.0;
  int mFrameSpan = 1;
  int mFrameOverlapSamples = 0;
  int mFramePeriod = 0;
  int mFrameCounter = 0;
};

class ADSR {
public:
  enum Stage { kStageIdle = 0, kStageAttack = 1, kStageDecaySustain = 2, kStageRelease = 3 };

  void setSampleRate(double sampleRate)
  {
    mStage = kStageIdle;
    if (sampleRate > 0.0)
      mRateScale = kLn10 / sampleRate;
    mLevel = 0.0;
  }
  void reset()
  {
    mStage = kStageIdle;
    mLevel = 0.0;
  }
  void start()
  {
    mStage = kStageAttack;
    mTarget = kAttackTarget;
    mCoefficient = coefficientFor(mAttack);
  }
  void stop(bool immediately)
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
  void update()
  {
    if (mStage <= kStageIdle)
      return;
    mLevel = mLevel + (mTarget - mLevel) * mCoefficient;
    if (mStage == kStageDecaySustain || mStage == kStageRelease) {
      if (mRelease == 1.0) {
        mLevel = 1.0;
      } else if (mLevel < std::numeric_limits<double>::min()) {
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
  void setAttack(double value)
  {
    mAttack = value < 0.0 ? 0.0 : (value > 1.0 ? 1.0 : value);
    if (mStage == kStageAttack)
      mCoefficient = coefficientFor(mAttack);
  }
  void setDecay(double value)
  {
    mDecay = 0.8 * value + 0.2;
    if (mStage == kStageDecaySustain)
      mCoefficient = coefficientFor(mDecay);
  }
  void setSustain(double value)
  {
    mSustain = value;
    if (mStage == kStageDecaySustain)
      mTarget = value;
  }
  void setRelease(double value)
  {
    mRelease = value;
    if (mStage == kStageRelease)
      mCoefficient = coefficientFor(mRelease);
  }

  double mLevel = 0.0;
  int mStage = kStageIdle;

private:
  static constexpr double kLn10 = 2.302585092994046;
  static constexpr double kAttackTarget = 1.1111111111111112;
  static constexpr double kReleaseTarget = -0.1111111111111111;

  double coefficientFor(double setting) const
  {
    const double coefficient = std::pow(10.0, 2.3 - 4.5 * setting) * mRateScale;
    return coefficient > 1.0 ? 1.0 : coefficient;
  }

  double mAttack = 0.0;
  double mDecay = 0.0;
  double mSustain = 0.0;
  double mRelease = 0.0;
  double mTarget = 0.0;
  double mCoefficient = 0.0;
  double mRateScale = 0.002302585092994046;
};

} // namespace reference
