#pragma once

#include <limits>
#include <memory>

#include "dsp/Sample.h"

// Records the beginning of one frame of audio and replays it as a train of enveloped,
// cross-faded grains until the frame runs out. Owned by a GrainSet, which alternates two
// boxes from frame to frame.
//
// Runs sample by sample on the audio thread. Only setSampleRate allocates.
// Lengths and positions are in samples at the current rate unless stated otherwise.
class GrainBox
{
public:
  // Highest rate accepted: floor(2 × rate) plus half of it again must fit an int.
  static constexpr double kMaxSampleRate = 715827882.0;

  GrainBox();

  // Reallocates and clears the recording; ignores rates ≤ 0, above kMaxSampleRate and the current rate.
  void setSampleRate(double sampleRate);

  // Fade amounts 0 … 1; 0 switches that side of the envelope off (flat at 1).
  void setGrainFadeIn(double amount);
  void setGrainFadeOut(double amount);
  void setFrameFadeIn(double amount);
  void setFrameFadeOut(double amount);

  // Envelope value 0 … 1 at relative position x, 0 ≤ x < 1, within the grain or the frame.
  double getGrainEnvelope(double x) const;
  double getFrameEnvelope(double x) const;

  // Takes over the owner's settings as the effective lengths of the next frame.
  void setGrainBoxProperties();
  void resetGrain();
  void resetFrame();

  // Buffer read at position; tail selects the interpolation history of the cross-fade reader.
  Sample getSample(double position, bool tail);

  Sample process(Sample in);

  // Read-only views of the effective state.
  int getBufferSize() const { return mBufferSize; }
  double getGrainLength() const { return mGrainLength; }
  double getGrainSpan() const { return mGrainSpan; }
  double getGrainPosition() const { return mGrainPosition; }
  int getFrameLength() const { return mFrameLength; }
  int getFrameCounter() const { return mFrameCounter; }

private:
  // Four most recent values fetched by one reader, oldest first.
  struct History
  {
    double left[4] = {0.0, 0.0, 0.0, 0.0};
    double right[4] = {0.0, 0.0, 0.0, 0.0};
  };

  double getEnvelope(double x, double skew, bool fadeInOn, double fadeInExponent, bool fadeOutOn,
                     double fadeOutExponent) const;

  std::unique_ptr<Sample[]> mBuffer;
  History mMainHistory;
  History mTailHistory;

public:
  // Written directly by the owner. Lengths and period are read at the next frame start;
  // the skews and mFrequencyMode's choice of interpolation at the next sample.
  int mGrainSamples = 0;     // integer-mode grain length, samples
  int mFrameSamples = 1;     // frame period plus frame overlap, samples
  double mGrainPeriod = 1.0; // fractional-mode grain period, seconds
  double mGrainOverlap = 0.0; // percent of the grain length
  double mGrainSkew = 0.0;   // envelope peak position, 0 … 1
  double mFrameSkew = 0.0;   // envelope peak position, 0 … 1
  bool mFrequencyMode = false; // grain length from mGrainPeriod, interpolated reads

private:
  bool mGrainFadeInOn = false;
  bool mGrainFadeOutOn = false;
  bool mFrameFadeInOn = false;
  bool mFrameFadeOutOn = false;
  double mSampleRate = -1.0; // Hz; -1 until the first real rate
  // Effective lengths, fixed at each frame start.
  double mGrainLength = 1.0;
  double mGrainSpan = 1.0; // grain plus cross-fade: the stretch of buffer one grain covers
  double mGrainPosition = 0.0;
  double mOverlapLength = 0.0; // whole samples
  double mOverlapStep = std::numeric_limits<double>::infinity();
  // Curve exponents, computed by the fade setters so that process only calls pow.
  double mGrainFadeInExponent = 0.0;
  double mGrainFadeOutExponent = 0.0;
  double mFrameFadeInExponent = 0.0;
  double mFrameFadeOutExponent = 0.0;
  int mBufferSize = 0;
  int mMaxGrainSamples = 1; // integer grain lengths stay below this
  int mFrameLength = 1;
  int mFrameCounter = 0;
};
