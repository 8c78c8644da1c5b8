// SPDX-License-Identifier: ISC
#pragma once

#include <limits>

#include "dsp/EnvelopeCurve.h"
#include "dsp/EnvelopeTable.h"
#include "dsp/GrainEnvelopeMemo.h"
#include "dsp/Sample.h"
#include "dsp/ZeroedPages.h"

namespace quennet {

// Records the beginning of one frame of audio and replays it as a train of enveloped,
// cross-faded grains until the frame runs out. Owned by a GrainSet, which alternates two
// boxes from frame to frame.
//
// Runs on the audio thread, a block of samples at a time (or one). Only setSampleRate and
// keepRecordingResident allocate.
// Lengths and positions are in samples at the current rate unless stated otherwise.
//
// Every sample follows one walk (walk() in GrainBox.cpp): the main reader's position steps by 1
// and wraps at the grain length, the tail reader follows it by a grain length during the grain
// cross-fade. Blocks, single samples, unheard stretches and the envelopes worked out ahead all take
// their positions from it.
class GrainBox {
public:
  // Highest rate accepted: floor(2 × rate) plus half of it again must fit an int.
  static constexpr double kMaxSampleRate = 715827882.0;

  GrainBox();

  // Reallocates and clears the recording; ignores rates ≤ 0, above kMaxSampleRate and the current rate.
  // The recording is reserved whole, but takes memory only where it is written.
  void setSampleRate(double sampleRate);
  // The first `entries` entries of the recording in memory from now on (as far as it reaches), so
  // that recording there never waits for a fresh page. Allocates: not on the audio thread.
  void keepRecordingResident(int entries);

  // Settings, written by the owner. Lengths and period take effect at the next frame start; the
  // skews, the fades and the choice of interpolation at the next sample.
  void setGrainSamples(int samples) { mGrainSamples = samples; } // integer-mode grain length
  void setFrameSamples(int samples) { mFrameSamples = samples; } // frame period plus frame overlap
  void setGrainPeriod(double seconds) { mGrainPeriod = seconds; } // fractional-mode grain period
  void setGrainOverlap(double percent) { mGrainOverlap = percent; } // of the grain length
  void setGrainSkew(double skew); // envelope peak position, 0 … 1
  void setFrameSkew(double skew); // envelope peak position, 0 … 1
  void setFrequencyMode(bool on) { mFrequencyMode = on; } // grain length from the period, interpolated reads
  // Fade amounts 0 … 1; 0 switches that side of the envelope off (flat at 1).
  void setGrainFadeIn(double amount);
  void setGrainFadeOut(double amount);
  void setFrameFadeIn(double amount);
  void setFrameFadeOut(double amount);

  int getGrainSamples() const { return mGrainSamples; }
  int getFrameSamples() const { return mFrameSamples; }
  double getGrainPeriod() const { return mGrainPeriod; }
  double getGrainOverlap() const { return mGrainOverlap; }
  double getGrainSkew() const { return mGrainSkew; }
  double getFrameSkew() const { return mFrameSkew; }
  bool getFrequencyMode() const { return mFrequencyMode; }

  // Envelope value 0 … 1 at relative position x, 0 ≤ x < 1, within the grain or the frame.
  double getGrainEnvelope(double x) const { return mGrainCurve.value(x, mGrainSkew); }
  double getFrameEnvelope(double x) const { return mFrameCurve.value(x, mFrameSkew); }

  // Tables of envelope values at whole positions that the owner shares among its boxes (either
  // may be null): the grain envelope in the integer grain modes, the frame envelope always.
  void shareEnvelopeTables(EnvelopeTable* grain, EnvelopeTable* frame);
  // The grain envelope memo the owner's two boxes share (may be null).
  void shareGrainEnvelopeMemo(GrainEnvelopeMemo* memo) { mGrainMemo = memo; }

  // Takes over the owner's settings as the effective lengths of the next frame.
  void setGrainBoxProperties();
  // Works out the shared envelope tables the next frame will read, so that its first pass need
  // not: for the owner to call while no audio runs.
  void prepareEnvelopes();
  void resetGrain();
  void resetFrame();
  // As a new box at this rate: the recording and the readers' histories silent, the effective
  // lengths and counters as constructed. Settings stay. Clears only what frames have recorded;
  // allocates nothing.
  void reset();

  // Buffer read at position; tail selects the interpolation history of the cross-fade reader.
  Sample getSample(double position, bool tail);

  // One sample: records `in` and returns this sample period's output; the block below with n = 1.
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
  // Recording entries written since the recording was last cleared, and those kept in memory.
  int getRecordedExtent() const { return mRecordedExtent; }
  int getResidentEntries() const { return static_cast<int>(mRecording.resident() / sizeof(StoredSample)); }
  double getGrainLength() const { return mGrainLength; }
  double getGrainSpan() const { return mGrainSpan; }
  double getGrainPosition() const { return mGrainPosition; }
  int getFrameLength() const { return mFrameLength; }
  int getFrameCounter() const { return mFrameCounter; }

private:
  // Samples per pass: the positions and envelopes of a pass are worked out into arrays of this
  // size on the stack.
  static constexpr int kPass = 128;
  // Passes of at most this many samples take their envelopes from the ones worked out ahead.
  static constexpr int kFewSamples = 4;
  // Samples whose envelopes a box going a few samples at a time works out together.
  static constexpr int kAhead = 32;

  // The recording holds input samples, which arrive as floats from every host: floats lose nothing.
  struct StoredSample {
    float left;
    float right;
  };

  // A (left, right) pair in one vector register: both channels take the same steps at once.
  using Pair = double __attribute__((vector_size(16)));

  // Four most recent (left, right) values fetched by one reader, oldest first.
  struct History {
    Pair y[4] = {};
  };

  template <int kMax>
  struct Plan;
  template <int kMax>
  struct Envelopes;
  template <int kMax>
  struct Pass;
  // The effective lengths a frame start takes over from the settings.
  struct Lengths {
    double grain = 1.0;
    double overlap = 0.0;
    double span = 1.0;
    int frame = 1;
  };
  Lengths nextLengths() const;
  // The grain cross-fade along a stretch of the walk (crossFadeAlong).
  struct CrossFade {
    bool grainStart = false; // the stretch's first sample starts a grain in the cross-fade
    int fading = 0; // samples in the cross-fade, from the first
    int reading = 0; // samples with a tail read, from the first
  };

  // Silent and frozen: the frame is over, or the grain does not fit the buffer (which also
  // catches a NaN span from a NaN period).
  bool frozen() const { return mFrameCounter >= mFrameLength || !(mGrainSpan <= mBufferSize); }
  template <typename Visit>
  double walk(double position, int n, Visit&& visit) const;
  CrossFade crossFadeAlong(double position, int count) const;
  template <int kMax>
  int passLength(int wanted) const;
  template <int kMax>
  int plan(Plan<kMax>& plan, int n) const;
  template <int kMax>
  int runPass(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n);
  template <int kMax>
  void envelopesFor(const Plan<kMax>& plan, Envelopes<kMax>& envelopes);
  void lookAhead();
  template <int kMax>
  void evaluateEnvelopes(const Plan<kMax>& plan, Envelopes<kMax>& envelopes) const;
  template <int kMax>
  void evaluateGrainEnvelope(const Plan<kMax>& plan, Envelopes<kMax>& envelopes) const;
  GrainEnvelopeMemo::Key memoKey() const;
  template <int kMax>
  void readMain(const Plan<kMax>& plan, Pass<kMax>& pass, const double* inLeft, const double* inRight);
  template <int kMax>
  void readTails(const Plan<kMax>& plan, Pass<kMax>& pass, const Envelopes<kMax>& envelopes);
  void storeInput(const double* inLeft, const double* inRight, int count);
  int recordedIn(int n) const;
  Pair fetch(double position, History& history) const;
  Pair stored(int index) const;
  void invalidateAhead() { mAhead.count = 0; }

  ZeroedPages mRecording;
  StoredSample* mBuffer = nullptr; // the recording, mBufferSize entries
  History mMainHistory;
  History mTailHistory;

  // Settings.
  int mGrainSamples = 0;
  int mFrameSamples = 1;
  double mGrainPeriod = 1.0; // s
  double mGrainOverlap = 0.0;
  double mGrainSkew = 0.0;
  double mFrameSkew = 0.0;
  bool mFrequencyMode = false;
  // Fades and curve exponents, computed by the fade setters so that processing only takes powers.
  EnvelopeCurve mGrainCurve;
  EnvelopeCurve mFrameCurve;
  EnvelopeTable* mGrainTable = nullptr; // shared, not owned
  EnvelopeTable* mFrameTable = nullptr;
  GrainEnvelopeMemo* mGrainMemo = nullptr; // shared, not owned

  // The envelopes of the next samples, worked out ahead while the box goes a few samples at a
  // time. They depend only on the walk, the lengths, the curves and the skews: whatever changes
  // one of them (a grain or frame start, a setter) empties them.
  struct Ahead {
    int count = 0; // samples worked out, from frame counter frameStart on
    int frameStart = 0;
    bool grainShaped = false; // as in a pass; the values are 1 where an envelope is flat
    bool frameShaped = false;
    double grain[kAhead]; // the grain envelope at the main reader
    double tail[kAhead]; // the grain envelope at the tail reader, where it reads
    double frame[kAhead]; // the frame envelope
  };
  Ahead mAhead;

  bool mMayHoldNonFinite = false;
  int mRecordedExtent = 0; // buffer entries from here on have not been written since they were cleared
  double mSampleRate = -1.0; // Hz; -1 until the first real rate
  // Effective lengths, fixed at each frame start.
  double mGrainLength = 1.0;
  double mGrainSpan = 1.0; // grain plus cross-fade: the stretch of buffer one grain covers
  int mRecordedLength = 1; // ceil(mGrainSpan): the samples a frame records, from its start
  double mGrainPosition = 0.0;
  // The walk has gone undisturbed since the frame started at position 0 with the effective
  // lengths: each frame counter has the position of every such frame (what the memo relies on).
  bool mWalkFromFrameStart = true;
  double mOverlapLength = 0.0; // whole samples
  double mOverlapStep = std::numeric_limits<double>::infinity();
  int mBufferSize = 0;
  int mMaxGrainSamples = 1; // integer grain lengths stay below this
  int mFrameLength = 1;
  int mFrameCounter = 0;
};

} // namespace quennet
