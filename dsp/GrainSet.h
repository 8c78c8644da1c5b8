// SPDX-License-Identifier: ISC
#pragma once

#include "dsp/GrainBox.h"
#include "dsp/Sample.h"

namespace quennet {

// One grain voice: turns the user's grain and frame settings into sample counts for its two
// grain boxes and runs the frame cycle, switching boxes every frame period and cross-fading the
// old box's tail linearly into the new frame.
//
// process runs on the audio thread, a block of samples at a time (or one), and allocates nothing;
// setSampleRate allocates the boxes' buffers. The setters come from the parameter dispatch; every
// one writes both boxes alike (forBothBoxes), so the boxes always share their settings.
class GrainSet {
public:
  GrainSet() = default;
  // The box pointers refer into this object.
  GrainSet(const GrainSet&) = delete;
  GrainSet& operator=(const GrainSet&) = delete;

  // Hz. Rates the boxes ignore (≤ 0, beyond GrainBox::kMaxSampleRate) are ignored here too.
  void setSampleRate(double sampleRate);
  // The frame counters whose grain envelope the boxes remember (GrainEnvelopeMemo), from the next
  // setSampleRate on, which allocates the room.
  void setGrainEnvelopeMemoCapacity(int frameCounters) { mGrainMemoCapacity = frameCounters; }
  // The first `entries` entries of both boxes' recordings in memory from now on (see
  // GrainBox::keepRecordingResident). Allocates: not on the audio thread.
  void keepRecordingResident(int entries)
  {
    forBothBoxes([&](GrainBox& box) { box.keepRecordingResident(entries); });
  }
  void setGrainLength(double milliseconds);
  void setGrainLengthSync(int samples);
  // fromMidi: the frequency comes from a note; in the MIDI mode it then sets only the boxes' period.
  void setGrainFrequency(double hertz, bool fromMidi);
  void setGrainMode(eGrainMode mode);
  void setGrainOverlap(double percent);
  void setGrainFadeIn(double amount);
  void setGrainFadeOut(double amount);
  void setGrainSkew(double skew); // -1 … 1
  void setFrameLength(double milliseconds);
  void setFrameLengthSync(int samples);
  void setFrameLengthSyncEnabled(bool enabled);
  void setFrameOverlap(double percent);
  void setFrameFadeIn(double amount);
  void setFrameFadeOut(double amount);
  void setFrameSkew(double skew); // -1 … 1

  // Envelope tables the owner shares among voices (see GrainBox::shareEnvelopeTables).
  void shareEnvelopeTables(EnvelopeTable* grain, EnvelopeTable* frame)
  {
    forBothBoxes([&](GrainBox& box) { box.shareEnvelopeTables(grain, frame); });
  }

  // Derives the sample counts; the boxes take them over at their next frame start.
  void setGrainSetProperties();
  // The shared envelope tables of the next frame worked out now (GrainBox::prepareEnvelopes).
  void prepareEnvelopes()
  {
    forBothBoxes([](GrainBox& box) { box.prepareEnvelopes(); });
  }
  void resetGrain();
  // The next process call starts a new frame on the other box.
  void resetFrame();
  // As a new set with these settings: both boxes reset (silent recordings, no frame running), the
  // first frame to box B, and a note's grain period dropped for the one the settings give.
  // Allocates nothing.
  void reset();

  // One sample: the block below with n = 1.
  Sample process(Sample in);
  // n samples, exactly as n calls of process(Sample) would give them.
  void process(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n);
  // n samples that nobody hears (a voice whose envelope is idle): the boxes record and advance
  // exactly as process would make them, and no output is computed.
  void record(const double* inLeft, const double* inRight, int n);

  // False once a box may hold a recorded NaN or infinity; see GrainBox::holdsOnlyFinite.
  bool holdsOnlyFinite() const { return mBoxA.holdsOnlyFinite() && mBoxB.holdsOnlyFinite(); }

  // Read-only views of the derived counts and the boxes.
  int getFramePeriod() const { return mFramePeriod; }
  int getFrameOverlapSamples() const { return mFrameOverlapSamples; }
  int getFrameSpan() const { return mFrameSpan; }
  double getFrameFadeStep() const { return mFrameFadeStep; }
  const GrainBox& getBoxA() const { return mBoxA; }
  const GrainBox& getBoxB() const { return mBoxB; }

private:
  // Samples per frame cross-fade pass: the previous box's output waits in arrays of this size.
  static constexpr int kPass = 128;

  template <typename Fn>
  void forBothBoxes(Fn&& fn)
  {
    fn(mBoxA);
    fn(mBoxB);
  }
  void startFrame();
  void processCrossFade(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n);
  int runLength(int wanted, bool crossFade) const;
  void advanceFrameCounter(int n);

  GrainBox mBoxA;
  GrainBox mBoxB;
  GrainEnvelopeMemo mGrainMemo; // both boxes' grain envelope by frame counter
  int mGrainMemoCapacity = GrainEnvelopeMemo::kDefaultCapacity;
  GrainBox* mCurrentBox = nullptr; // box of the running frame
  GrainBox* mPreviousBox = nullptr; // box of the frame before, heard during the frame overlap
  // Settings as the user gives them.
  double mGrainSeconds = 0.0; // s
  double mGrainFrequency = 110.0; // Hz; kept in the MIDI mode for the return to FREQ
  double mFrameSeconds = 0.0; // s
  double mFrameOverlap = 0.0; // percent
  int mGrainLengthSync = 0; // samples
  int mFrameLengthSync = 1; // samples
  bool mGrainSyncMode = false;
  bool mMidiMode = false;
  bool mFrameSyncEnabled = false;
  double mSampleRate = 1.0; // Hz
  // Derived counts, in samples.
  double mFrameFadeStep = 1.0; // per-sample step of the frame cross-fade
  int mFrameSpan = 1; // how long each box sounds per frame
  int mFrameOverlapSamples = 0;
  int mFramePeriod = 0; // distance between frame starts
  int mFrameCounter = 0; // 0: the next sample starts a frame
};

} // namespace quennet
