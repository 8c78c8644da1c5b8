#pragma once

#include <limits>
#include <memory>

#include "dsp/EnvelopeCurve.h"
#include "dsp/EnvelopeTable.h"
#include "dsp/Sample.h"

// Records the beginning of one frame of audio and replays it as a train of enveloped,
// cross-faded grains until the frame runs out. Owned by a GrainSet, which alternates two
// boxes from frame to frame.
//
// Runs on the audio thread, a block of samples at a time (or one). Only setSampleRate allocates.
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
  void setGrainFadeIn(double amount)
  {
    mGrainCurve.setFadeIn(amount);
    mAhead.count = 0;
  }
  void setGrainFadeOut(double amount)
  {
    mGrainCurve.setFadeOut(amount);
    mAhead.count = 0;
  }
  void setFrameFadeIn(double amount)
  {
    mFrameCurve.setFadeIn(amount);
    mAhead.count = 0;
  }
  void setFrameFadeOut(double amount)
  {
    mFrameCurve.setFadeOut(amount);
    mAhead.count = 0;
  }

  // Envelope value 0 … 1 at relative position x, 0 ≤ x < 1, within the grain or the frame.
  double getGrainEnvelope(double x) const { return mGrainCurve.value(x, mGrainSkew); }
  double getFrameEnvelope(double x) const { return mFrameCurve.value(x, mFrameSkew); }

  // Tables of envelope values at whole positions that the owner shares among its boxes (either
  // may be null): the grain envelope in the integer grain modes, the frame envelope always.
  void shareEnvelopeTables(EnvelopeTable* grain, EnvelopeTable* frame)
  {
    mGrainTable = grain;
    mFrameTable = frame;
  }

  // Takes over the owner's settings as the effective lengths of the next frame.
  void setGrainBoxProperties();
  void resetGrain();
  void resetFrame();
  // As a new box at this rate: the recording and the readers' histories silent, the effective
  // lengths and counters as constructed. Settings stay. Clears only what frames have recorded;
  // allocates nothing.
  void reset();

  // Buffer read at position; tail selects the interpolation history of the cross-fade reader.
  Sample getSample(double position, bool tail);

  // One sample: records `in` and returns this sample period's output.
  Sample process(Sample in);
  // n samples, exactly as n calls of process(Sample) would give them.
  void process(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n);
  // n samples that nobody hears: records and advances exactly like process, computes no output.
  void record(const double* inLeft, const double* inRight, int n);

  // False once a NaN or an infinity has been recorded (until the next sample-rate change clears
  // the recording): only while this is true is every output certain to be finite.
  bool holdsOnlyFinite() const { return !mMayHoldNonFinite; }

  // Read-only views of the effective state.
  int getBufferSize() const { return mBufferSize; }
  double getGrainLength() const { return mGrainLength; }
  double getGrainSpan() const { return mGrainSpan; }
  double getGrainPosition() const { return mGrainPosition; }
  int getFrameLength() const { return mFrameLength; }
  int getFrameCounter() const { return mFrameCounter; }

private:
  // Samples per pass of the block loop: the positions and envelopes of a pass are worked out
  // into arrays of this size on the stack.
  static constexpr int kPass = 128;
  // Passes of at most this many samples go one sample at a time (step), which costs less for so few.
  static constexpr int kFewSamples = 4;
  // Samples whose envelopes a box going one sample at a time works out together (lookAhead).
  static constexpr int kAhead = 32;

  // The recording holds input samples, which arrive as floats from every host: floats lose nothing.
  struct StoredSample
  {
    float left;
    float right;
  };

  // A (left, right) pair in one SSE2 register: both channels take the same steps at once.
  using Pair = double __attribute__((vector_size(16)));

  // Four most recent (left, right) values fetched by one reader, oldest first.
  struct History
  {
    Pair y[4] = {};
  };

  // What one pass works out before and while it reads.
  struct Pass
  {
    alignas(64) double position[kPass];      // main reader
    alignas(64) double tailPosition[kPass]; // tail reader, for each cross-fade sample with a tail
    // Grain envelope positions: the main reader's for samples 0 … n - 1, then the tail reader's for
    // each cross-fade sample with a tail, in order; then the envelope at each.
    alignas(64) double grainAt[2 * kPass];
    alignas(64) double grainEnvelope[2 * kPass];
    int tails = 0;
    bool readsAhead = false; // a tail read lies ahead of the recording
    int frameStart = 0;      // frame counter of the first sample of the pass
    int recorded = 0;        // samples of the pass that are recorded, from the first
    StoredSample before[kPass]; // what the recording replaced, when a tail read lies ahead
    // Stretches of samples whose main reads follow one another in the buffer: run r starts at
    // sample runStart[r] and reads from buffer index runIndex[r] on; runStart[runs] = n.
    int runs = 0;
    int runStart[kPass + 1];
    int runIndex[kPass];
    bool grainShaped = false;
    bool frameShaped = false;
    alignas(64) double frameEnvelope[kPass];
    const double* frame = nullptr; // the frame envelope for the pass: frameEnvelope, or a stretch of a table
    alignas(64) double fetchedLeft[kPass + 4]; // the main reader's history before the pass, then each value it reads
    alignas(64) double fetchedRight[kPass + 4];
    // The grain cross-fade: runs of samples with a tail read (a run at a grain start may have no
    // read, just the start), each sample's share of the new grain and the previous grain's faded
    // share.
    int crossFades = 0;
    int crossFadeStart[kPass];
    int crossFadeLength[kPass];
    bool crossFadeCopies[kPass]; // the run begins a grain: the tail reader takes the main history
    alignas(64) double fade[kPass];
    alignas(64) double tailLeft[kPass];
    alignas(64) double tailRight[kPass];
  };

  // Silent and frozen: the frame is over, or the grain does not fit the buffer (which also
  // catches a NaN span from a NaN period).
  bool frozen() const { return mFrameCounter >= mFrameLength || !(mGrainSpan <= mBufferSize); }
  void run(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n);
  void steps(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n);
  Pair step(Pair in);
  double positionAfter(double p, int n, bool& grainStart) const;
  void envelopesAt(double p, double q, bool tail, double* grain, double& frame);
  void lookAhead();
  void grainEnvelopeAt(double p, double q, bool tail, double* value) const;
  double frameEnvelopeAt(int counter) const;
  void evaluateEnvelopes(Pass& pass, int n) const;
  void readMain(Pass& pass, const double* inLeft, const double* inRight, int n);
  void readTails(Pass& pass, int n);
  void storeInput(const double* inLeft, const double* inRight, int count);
  int runLength(int wanted) const;
  static Pair interpolate(History& history, Pair fetched, double t);
  Pair fetch(double position, History& history) const;
  void follow(double position, History& history) const;

  std::unique_ptr<StoredSample[]> mBuffer;
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
  // Fades and curve exponents, computed by the fade setters so that processing only takes powers.
  EnvelopeCurve mGrainCurve;
  EnvelopeCurve mFrameCurve;
  EnvelopeTable* mGrainTable = nullptr; // shared, not owned
  EnvelopeTable* mFrameTable = nullptr;
  // The envelopes of the next samples, worked out ahead while the box goes one sample at a time.
  // They depend only on the positions, the lengths, the curves and the skews: a change of curve or
  // length empties them (count 0); each sample checks its position and the skews.
  struct Ahead
  {
    int count = 0;      // samples worked out, from frame counter frameStart on
    int frameStart = 0;
    double grainSkew = 0.0;
    double frameSkew = 0.0;
    double position[kAhead]; // the main reader's position at each
    double grain[kAhead];    // the grain envelope there
    double tail[kAhead];     // the grain envelope at the tail reader, where it reads
    double frame[kAhead];    // the frame envelope
  };
  Ahead mAhead;
  bool mMayHoldNonFinite = false;
  int mRecordedExtent = 0; // buffer entries from here on have not been written since they were cleared
  double mSampleRate = -1.0; // Hz; -1 until the first real rate
  // Effective lengths, fixed at each frame start.
  double mGrainLength = 1.0;
  double mGrainSpan = 1.0; // grain plus cross-fade: the stretch of buffer one grain covers
  double mGrainPosition = 0.0;
  double mOverlapLength = 0.0; // whole samples
  double mOverlapStep = std::numeric_limits<double>::infinity();
  int mBufferSize = 0;
  int mMaxGrainSamples = 1; // integer grain lengths stay below this
  int mFrameLength = 1;
  int mFrameCounter = 0;
};
