// SPDX-License-Identifier: ISC
#include "dsp/GrainSet.h"

#include "ReferenceGrainEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

using namespace quennet;

TEST(GrainSet, DerivesFrameCountsFromSettings)
{
  struct Case {
    const char* name;
    bool sync;
    double frameMs;
    int frameSync;
    double overlap;
    int period;
    int overlapSamples;
    int span;
    double fadeStep;
  };
  const Case cases[] = {
    {"160 ms, 50 %", false, 160.0, 0, 50.0, 7056, 3528, 10584, 1.0 / 3528.0},
    {"160 ms, no overlap", false, 160.0, 0, 0.0, 7056, 0, 7056, 1.0},
    {"synced 1000, one overlap sample", true, 0.0, 1000, 0.1, 1000, 1, 1001, 1.0},
    {"synced 1000, two overlap samples", true, 0.0, 1000, 0.2, 1000, 2, 1002, 0.5},
    {"synced 100, 29 % (product taken left to right)", true, 0.0, 100, 29.0, 100, 29, 129, 1.0 / 29.0},
    {"synced 0", true, 0.0, 0, 50.0, 0, 0, 0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GrainSet set;
    set.setSampleRate(44100.0);
    set.setFrameLength(c.frameMs);
    set.setFrameLengthSync(c.frameSync);
    set.setFrameLengthSyncEnabled(c.sync);
    set.setFrameOverlap(c.overlap);
    EXPECT_EQ(set.getFramePeriod(), c.period);
    EXPECT_EQ(set.getFrameOverlapSamples(), c.overlapSamples);
    EXPECT_EQ(set.getFrameSpan(), c.span);
    EXPECT_DOUBLE_EQ(set.getFrameFadeStep(), c.fadeStep);
    EXPECT_EQ(set.getBoxA().getFrameSamples(), c.span);
    EXPECT_EQ(set.getBoxB().getFrameSamples(), c.span);
  }
}

TEST(GrainSet, MillisecondLengthsFollowTheSampleRate)
{
  GrainSet set;
  set.setGrainMode(kGrainModeMsec);
  set.setGrainLength(20.0);
  set.setFrameLength(160.0);
  set.setFrameOverlap(50.0);
  // Still at the construction-time rate: no millisecond length reaches a whole sample.
  EXPECT_EQ(set.getFramePeriod(), 0);
  EXPECT_EQ(set.getBoxA().getGrainSamples(), 1);

  struct Case {
    double rate;
    int period;
    int overlapSamples;
    int grainSamples;
  };
  for (const Case& c : {Case{44100.0, 7056, 3528, 882}, Case{48000.0, 7680, 3840, 960}}) {
    SCOPED_TRACE(c.rate);
    set.setSampleRate(c.rate);
    EXPECT_EQ(set.getFramePeriod(), c.period);
    EXPECT_EQ(set.getFrameOverlapSamples(), c.overlapSamples);
    EXPECT_EQ(set.getBoxA().getGrainSamples(), c.grainSamples);
    EXPECT_EQ(set.getBoxB().getGrainSamples(), c.grainSamples);
  }

  // A rate the boxes refuse leaves the counts alone.
  set.setSampleRate(0.0);
  EXPECT_EQ(set.getFramePeriod(), 7680);
}

TEST(GrainSet, GrainModeSelectsGrainTiming)
{
  struct Case {
    eGrainMode mode;
    bool frequencyMode;
    int grainSamples;
  };
  for (const Case& c : {Case{kGrainModeMsec, false, 882}, Case{kGrainModeSync, false, 1234},
                        Case{kGrainModeFreq, true, 882}, Case{kGrainModeMidi, true, 882}}) {
    SCOPED_TRACE(c.mode);
    GrainSet set;
    set.setSampleRate(44100.0);
    set.setGrainLength(20.0);
    set.setGrainLengthSync(1234);
    set.setGrainMode(c.mode);
    EXPECT_EQ(set.getBoxA().getFrequencyMode(), c.frequencyMode);
    EXPECT_EQ(set.getBoxB().getFrequencyMode(), c.frequencyMode);
    EXPECT_EQ(set.getBoxA().getGrainSamples(), c.grainSamples);
    EXPECT_EQ(set.getBoxB().getGrainSamples(), c.grainSamples);
  }

  // A grain of 0 samples or less becomes 1.
  GrainSet set;
  set.setGrainMode(kGrainModeSync);
  set.setGrainLengthSync(-3);
  EXPECT_EQ(set.getBoxA().getGrainSamples(), 1);
}

TEST(GrainSet, MidiNotesSetThePeriodAndTheParameterIsKept)
{
  GrainSet set;
  set.setSampleRate(44100.0);
  set.setGrainMode(kGrainModeFreq);
  EXPECT_DOUBLE_EQ(set.getBoxA().getGrainPeriod(), 1.0 / 110.0);

  // Outside the MIDI mode a note's frequency acts like the parameter.
  set.setGrainFrequency(330.0, true);
  EXPECT_DOUBLE_EQ(set.getBoxA().getGrainPeriod(), 1.0 / 330.0);

  set.setGrainMode(kGrainModeMidi);
  set.setGrainFrequency(220.0, false); // parameter: stored only
  EXPECT_DOUBLE_EQ(set.getBoxA().getGrainPeriod(), 1.0 / 330.0);
  set.setGrainFrequency(440.0, true); // note
  EXPECT_DOUBLE_EQ(set.getBoxA().getGrainPeriod(), 1.0 / 440.0);
  EXPECT_DOUBLE_EQ(set.getBoxB().getGrainPeriod(), 1.0 / 440.0);
  set.setGrainFrequency(0.0, true); // no frequency: period unchanged
  set.setGrainFrequency(-5.0, true);
  EXPECT_DOUBLE_EQ(set.getBoxA().getGrainPeriod(), 1.0 / 440.0);

  // Back to FREQ: the stored parameter value applies at once.
  set.setGrainMode(kGrainModeFreq);
  EXPECT_DOUBLE_EQ(set.getBoxA().getGrainPeriod(), 1.0 / 220.0);
  EXPECT_DOUBLE_EQ(set.getBoxB().getGrainPeriod(), 1.0 / 220.0);
}

TEST(GrainSet, SkewsMapOntoZeroToOne)
{
  struct Case {
    double skew;
    double boxSkew;
  };
  for (const Case& c : {Case{-1.0, 0.0}, Case{0.0, 0.5}, Case{1.0, 1.0}, Case{-0.5, 0.25}}) {
    SCOPED_TRACE(c.skew);
    GrainSet set;
    set.setGrainSkew(c.skew);
    set.setFrameSkew(c.skew);
    for (const GrainBox* box : {&set.getBoxA(), &set.getBoxB()}) {
      EXPECT_EQ(box->getGrainSkew(), c.boxSkew);
      EXPECT_EQ(box->getFrameSkew(), c.boxSkew);
    }
  }
}

namespace {
// 1000 Hz, synced grain of 3 samples, synced frame period 10 with 50 % overlap: cross-fade 5,
// span 15. Envelopes flat.
void configureShortFrames(GrainSet& set, double frameOverlap)
{
  set.setSampleRate(1000.0);
  set.setGrainMode(kGrainModeSync);
  set.setGrainLengthSync(3);
  set.setFrameLengthSyncEnabled(true);
  set.setFrameLengthSync(10);
  set.setFrameOverlap(frameOverlap);
}
} // namespace

// Input n + 1 at sample n. Each box records the first 3 samples of its frame and loops them,
// so at its frame counter k it plays input (frame start + k mod 3).
TEST(GrainSet, BoxesAlternateWithLinearFrameCrossFade)
{
  GrainSet set;
  configureShortFrames(set, 50.0);
  ASSERT_EQ(set.getFrameSpan(), 15);

  const auto input = [](int n) { return n + 1.0; };
  for (int n = 0; n < 45; ++n) {
    const int frame = n / 10;
    const int j = n % 10;
    const double current = input(10 * frame + j % 3);
    double expected = current;
    if (j < 5) {
      double previous;
      if (frame == 0)
        previous = j == 0 ? input(0) : 0.0; // box A, never started: one sample, then frame over
      else
        previous = input(10 * (frame - 1) + (10 + j) % 3);
      const double f = j / 5.0;
      expected = previous * (1.0 - f) + current * f;
    }
    const Sample out = set.process(Sample(input(n), -input(n)));
    EXPECT_NEAR(out.left, expected, 1e-12) << "sample " << n;
    EXPECT_NEAR(out.right, -expected, 1e-12) << "sample " << n;

    if (n == 0) {
      // The first frame went to B; A was only heard through the cross-fade.
      EXPECT_EQ(set.getBoxB().getFrameLength(), 15);
      EXPECT_EQ(set.getBoxA().getFrameLength(), 1);
    }
    if (n == 10) {
      EXPECT_EQ(set.getBoxA().getFrameLength(), 15);
      EXPECT_EQ(set.getBoxA().getFrameCounter(), 1);
      EXPECT_EQ(set.getBoxB().getFrameCounter(), 11);
    }
    if (n == 20) {
      EXPECT_EQ(set.getBoxB().getFrameCounter(), 1);
      EXPECT_EQ(set.getBoxA().getFrameCounter(), 11);
    }
  }
}

TEST(GrainSet, WithoutOverlapThePreviousBoxIsLeftAlone)
{
  GrainSet set;
  configureShortFrames(set, 0.0);
  for (int n = 0; n < 10; ++n)
    EXPECT_EQ(set.process(Sample(n + 1.0, n + 1.0)).left, n % 3 + 1.0);
  EXPECT_EQ(set.getBoxA().getFrameCounter(), 0);
  EXPECT_EQ(set.getBoxA().getFrameLength(), 1);

  for (int n = 10; n < 20; ++n)
    EXPECT_EQ(set.process(Sample(n + 1.0, n + 1.0)).left, 11.0 + (n - 10) % 3);
  EXPECT_EQ(set.getBoxB().getFrameCounter(), 10);
}

TEST(GrainSet, ResetFrameStartsTheOtherBoxAtTheNextSample)
{
  GrainSet set;
  configureShortFrames(set, 0.0);
  for (int n = 0; n < 4; ++n)
    set.process(Sample(1.0, 1.0));
  set.resetFrame();
  EXPECT_EQ(set.process(Sample(7.0, 7.0)).left, 7.0);
  EXPECT_EQ(set.getBoxA().getFrameCounter(), 1);
  EXPECT_EQ(set.getBoxA().getFrameLength(), 10);
  EXPECT_EQ(set.getBoxB().getFrameCounter(), 4);
}

TEST(GrainSet, ResetGrainRestartsBothBoxes)
{
  GrainSet set;
  configureShortFrames(set, 50.0);
  set.setGrainLengthSync(8);
  for (int n = 0; n < 12; ++n)
    set.process(Sample(1.0, 1.0));
  ASSERT_NE(set.getBoxA().getGrainPosition(), 0.0);
  ASSERT_NE(set.getBoxB().getGrainPosition(), 0.0);
  set.resetGrain();
  EXPECT_EQ(set.getBoxA().getGrainPosition(), 0.0);
  EXPECT_EQ(set.getBoxB().getGrainPosition(), 0.0);
}

TEST(GrainSet, FramePeriodBelowTwoStartsAFrameEverySample)
{
  for (int period : {0, 1}) {
    SCOPED_TRACE(period);
    GrainSet set;
    configureShortFrames(set, 0.0);
    set.setFrameLengthSync(period);
    for (int n = 0; n < 6; ++n) {
      EXPECT_EQ(set.process(Sample(n + 1.0, n + 1.0)).left, n + 1.0);
      // Odd samples run on B, even ones on A.
      const GrainBox& current = n % 2 == 0 ? set.getBoxB() : set.getBoxA();
      EXPECT_EQ(current.getFrameCounter(), 1);
    }
  }
}

TEST(GrainSet, RateChangeMidStreamTakesEffectAtTheNextFrame)
{
  GrainSet set;
  set.setSampleRate(44100.0);
  set.setGrainMode(kGrainModeMsec);
  set.setGrainLength(20.0);
  set.setFrameLength(160.0);
  set.setFrameOverlap(50.0);
  for (int n = 0; n < 1000; ++n)
    set.process(Sample(0.5, 0.5));
  EXPECT_EQ(set.getBoxB().getGrainLength(), 882.0);

  set.setSampleRate(48000.0);
  EXPECT_EQ(set.getBoxA().getBufferSize(), 144000);
  EXPECT_EQ(set.getBoxB().getBufferSize(), 144000);
  // The frame in progress runs to the new period; then box A starts with the new lengths.
  for (int n = 1000; n < 7681; ++n) {
    const Sample out = set.process(Sample(0.5, 0.5));
    ASSERT_TRUE(std::isfinite(out.left));
  }
  EXPECT_EQ(set.getBoxA().getGrainLength(), 960.0);
  EXPECT_EQ(set.getBoxA().getFrameLength(), 7680 + 3840);
  EXPECT_EQ(set.getBoxA().getFrameCounter(), 1);
}

// ---------------------------------------------------------------------------------------------
// Blocks against the per-sample grain set as it first shipped (tests/support/ReferenceGrainEngine.h)

namespace {
// Stereo input that floats hold exactly: multiples of 2^-20.
void material(std::vector<double>& left, std::vector<double>& right, int frames)
{
  auto quantise = [](double x) { return std::ldexp(std::round(std::ldexp(x, 20)), -20); };
  left.resize(static_cast<size_t>(frames));
  right.resize(static_cast<size_t>(frames));
  for (int n = 0; n < frames; ++n) {
    left[static_cast<size_t>(n)] = quantise(std::sin(0.043 * n) + 0.25 * std::sin(0.91 * n));
    right[static_cast<size_t>(n)] = quantise(0.7 * std::cos(0.029 * n) - 0.2 * std::sin(1.7 * n));
  }
}

struct SetCase {
  const char* name;
  eGrainMode mode;
  double grainMs, grainHz, grainOverlap;
  double frameMs, frameOverlap;
  double grainFade, frameFade; // both sides of each envelope
  bool exact;
};

template <typename Set>
void configureSet(Set& set, const SetCase& c)
{
  set.setSampleRate(48000.0);
  set.setGrainMode(c.mode);
  set.setGrainLength(c.grainMs);
  set.setGrainLengthSync(777);
  set.setGrainFrequency(c.grainHz, false);
  set.setGrainFrequency(c.grainHz * 1.5, true); // the note, in mode MIDI
  set.setGrainOverlap(c.grainOverlap);
  set.setGrainFadeIn(c.grainFade);
  set.setGrainFadeOut(c.grainFade);
  set.setGrainSkew(0.1);
  set.setFrameLength(c.frameMs);
  set.setFrameOverlap(c.frameOverlap);
  set.setFrameFadeIn(c.frameFade);
  set.setFrameFadeOut(c.frameFade);
  set.setFrameSkew(-0.4);
}

const SetCase kSetCases[] = {
  {"M.SEC, frame cross-fades", kGrainModeMsec, 20.0, 110.0, 0.0, 50.0, 50.0, 0.0, 0.0, true},
  {"SYNC, linear fades and both cross-fades", kGrainModeSync, 20.0, 110.0, 33.0, 31.0, 40.0, 0.5, 0.5, true},
  {"FREQ, general fades", kGrainModeFreq, 20.0, 173.0, 25.0, 50.0, 50.0, 0.2, 0.3, false},
  {"MIDI, short frames", kGrainModeMidi, 20.0, 220.0, 0.0, 1.3, 50.0, 0.2, 0.0, false},
  {"frames of one sample", kGrainModeMsec, 5.0, 110.0, 10.0, 0.01, 0.0, 0.5, 0.0, true},
};

// Blocks of `blockSize` through the set; between blocks, now and then, a frame or grain restart
// or a new frame length as the owner makes them. Every sample is compared with the reference.
void compareSetWithReference(const SetCase& c, int blockSize, bool recordSome)
{
  SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << blockSize << (recordSome ? ", some unheard" : ""));
  reference::GrainSet ref;
  GrainSet set;
  configureSet(ref, c);
  configureSet(set, c);
  std::vector<double> inL, inR;
  material(inL, inR, 12000);
  std::vector<double> outL(inL.size()), outR(inL.size());
  const double tolerance = c.exact ? 0.0 : 1e-13;
  int block = 0;
  for (int start = 0; start < 12000; start += blockSize, ++block) {
    if (block % 11 == 5) {
      ref.resetFrame();
      set.resetFrame();
    }
    if (block % 7 == 3) {
      ref.resetGrain();
      set.resetGrain();
    }
    if (block % 13 == 12) {
      // A shorter frame period while a frame runs: the counter may now lie past it.
      ref.setFrameLength(c.frameMs * 0.3);
      set.setFrameLength(c.frameMs * 0.3);
    }
    const int n = std::min(blockSize, 12000 - start);
    const bool heard = !recordSome || block % 3 != 1;
    if (heard)
      set.process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
    else
      set.record(inL.data() + start, inR.data() + start, n);
    for (int i = start; i < start + n; ++i) {
      const Sample expected = ref.process(Sample(inL[static_cast<size_t>(i)], inR[static_cast<size_t>(i)]));
      if (heard) {
        ASSERT_NEAR(outL[static_cast<size_t>(i)], expected.left, tolerance) << "sample " << i;
        ASSERT_NEAR(outR[static_cast<size_t>(i)], expected.right, tolerance) << "sample " << i;
      }
    }
  }
}
} // namespace

TEST(GrainSet, BlocksGiveThePerSampleNumbers)
{
  for (const SetCase& c : kSetCases)
    for (int blockSize : {1, 64, 129, 512})
      compareSetWithReference(c, blockSize, false);
}

TEST(GrainSet, RecordingWithoutOutputLeavesTheSameState)
{
  // What an idle MIDI voice does: it records unheard stretches, and sounds as if heard all along.
  for (const SetCase& c : kSetCases)
    for (int blockSize : {3, 100, 512})
      compareSetWithReference(c, blockSize, true);
}

TEST(GrainSet, SharedEnvelopeTablesGiveThePerSampleNumbers)
{
  // Two voices sharing tables, as the plug-in's voices do: the values at whole positions come
  // from the tables (refilled whenever the voices' lengths or curves differ).
  EnvelopeTable grainTable;
  EnvelopeTable frameTable;
  grainTable.reserve(4096);
  frameTable.reserve(4096);
  const SetCase cases[] = {
    {"M.SEC, general fades, table-sized frames", kGrainModeMsec, 15.0, 110.0, 30.0, 40.0, 50.0, 0.2, 0.7, false},
    {"SYNC, linear fades", kGrainModeSync, 20.0, 110.0, 33.0, 31.0, 40.0, 0.5, 0.5, true},
    {"M.SEC, frames beyond the table", kGrainModeMsec, 10.0, 110.0, 50.0, 300.0, 10.0, 0.3, 0.2, false},
  };
  for (const SetCase& c : cases)
    for (int blockSize : {64, 512}) {
      SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << blockSize);
      reference::GrainSet ref[2];
      GrainSet sets[2];
      for (int v = 0; v < 2; ++v) {
        configureSet(ref[v], c);
        configureSet(sets[v], c);
        sets[v].shareEnvelopeTables(&grainTable, &frameTable);
      }
      // The second voice with other lengths, so that the tables change hands.
      ref[1].setGrainLength(c.grainMs * 0.7);
      sets[1].setGrainLength(c.grainMs * 0.7);
      ref[1].setFrameLength(c.frameMs * 0.8);
      sets[1].setFrameLength(c.frameMs * 0.8);
      std::vector<double> inL, inR;
      material(inL, inR, 8000);
      std::vector<double> outL(inL.size()), outR(inL.size());
      const double tolerance = c.exact ? 0.0 : 1e-13;
      for (int start = 0; start < 8000; start += blockSize)
        for (int v = 0; v < 2; ++v) {
          const int n = std::min(blockSize, 8000 - start);
          sets[v].process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
          for (int i = start; i < start + n; ++i) {
            const Sample expected = ref[v].process(Sample(inL[static_cast<size_t>(i)], inR[static_cast<size_t>(i)]));
            ASSERT_NEAR(outL[static_cast<size_t>(i)], expected.left, tolerance) << "voice " << v << ", sample " << i;
            ASSERT_NEAR(outR[static_cast<size_t>(i)], expected.right, tolerance) << "voice " << v << ", sample " << i;
          }
        }
    }
}

TEST(GrainSet, RememberedGrainEnvelopesFollowEveryChange)
{
  // The fractional modes take each frame's grain envelope from the frames before it (the same
  // positions at the same frame counters). Every change that moves a position or a value, made
  // in the middle of a frame, must be noticed then and at the frames after.
  const auto skew = [](auto& set) { set.setGrainSkew(0.35); };
  const auto fade = [](auto& set) { set.setGrainFadeIn(0.6); };
  const auto note = [](auto& set) { set.setGrainFrequency(331.0, true); };
  const auto overlap = [](auto& set) { set.setGrainOverlap(12.0); };
  const auto grainRestart = [](auto& set) { set.resetGrain(); };
  const auto shorterFrame = [](auto& set) { set.setFrameLength(17.0); };
  const SetCase cases[] = {
    {"FREQ, general fades", kGrainModeFreq, 20.0, 173.0, 25.0, 30.0, 50.0, 0.2, 0.3, false},
    {"MIDI, grain cross-fades", kGrainModeMidi, 20.0, 220.0, 40.0, 25.0, 20.0, 0.2, 0.0, false},
  };
  std::vector<double> inL, inR;
  material(inL, inR, 9000);
  for (const SetCase& c : cases)
    for (int blockSize : {1, 100, 512}) {
      const auto run = [&](const char* name, auto change) {
        SCOPED_TRACE(testing::Message() << c.name << ", " << name << ", blocks of " << blockSize);
        reference::GrainSet ref;
        GrainSet set;
        configureSet(ref, c);
        configureSet(set, c);
        std::vector<double> outL(inL.size()), outR(inL.size());
        for (int start = 0; start < 9000;) {
          // In the third frame or so, after the first ones were remembered.
          if (start == 4000) {
            change(ref);
            change(set);
          }
          const int n = std::min(blockSize, (start < 4000 ? 4000 : 9000) - start);
          set.process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
          for (int i = start; i < start + n; ++i) {
            const Sample expected = ref.process(Sample(inL[static_cast<size_t>(i)], inR[static_cast<size_t>(i)]));
            ASSERT_NEAR(outL[static_cast<size_t>(i)], expected.left, 1e-13) << "sample " << i;
            ASSERT_NEAR(outR[static_cast<size_t>(i)], expected.right, 1e-13) << "sample " << i;
          }
          start += n;
        }
      };
      run("grain skew", skew);
      run("grain fade-in", fade);
      run("a new note", note);
      run("grain overlap", overlap);
      run("grain restart", grainRestart);
      run("shorter frames", shorterFrame);
    }
}

TEST(GrainSet, FewSamplesAtATimeGiveTheBlockNumbersToTheBit)
{
  // Blocks of one to five samples go sample by sample: the same numbers as blocks of 512, with
  // general fade powers, shared tables, restarts and a shorter frame in the middle of one.
  EnvelopeTable grainTable;
  EnvelopeTable frameTable;
  grainTable.reserve(4096);
  frameTable.reserve(4096);
  std::vector<double> inL, inR;
  material(inL, inR, 9000);
  for (const SetCase& c : kSetCases) {
    auto run = [&](int blockSize) {
      GrainSet set;
      configureSet(set, c);
      set.shareEnvelopeTables(&grainTable, &frameTable);
      std::vector<double> outL(inL.size()), outR(inL.size());
      for (int start = 0; start < 9000;) {
        // Restarts and a new length at fixed samples, whatever the block size.
        if (start == 2000)
          set.resetFrame();
        if (start == 3500)
          set.resetGrain();
        if (start == 5000)
          set.setFrameLength(c.frameMs * 0.3);
        const int until = start < 2000 ? 2000 : start < 3500 ? 3500 : start < 5000 ? 5000 : 9000;
        const int n = std::min(blockSize, until - start);
        set.process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
        start += n;
      }
      return std::make_pair(outL, outR);
    };
    const auto expected = run(512);
    for (int blockSize : {1, 2, 3, 4, 5}) {
      SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << blockSize);
      const auto out = run(blockSize);
      for (size_t i = 0; i < inL.size(); ++i) {
        ASSERT_EQ(out.first[i], expected.first[i]) << "sample " << i;
        ASSERT_EQ(out.second[i], expected.second[i]) << "sample " << i;
      }
    }
  }
}

TEST(GrainSet, ResetGivesANewSet)
{
  // A voice that has played (frame and grain cross-fades, general fades, a note's period), reset
  // and given a note again, sounds like a new voice with the same settings and note: nothing it
  // recorded before is heard, not even through the first frame's cross-fade.
  for (const SetCase& c : kSetCases) {
    SCOPED_TRACE(c.name);
    GrainSet fresh;
    GrainSet used;
    configureSet(fresh, c);
    configureSet(used, c);
    std::vector<double> inL, inR;
    material(inL, inR, 10000);
    std::vector<double> outL(inL.size()), outR(inL.size());
    used.process(inL.data(), inR.data(), outL.data(), outR.data(), 4321);

    used.reset();
    if (c.mode == kGrainModeMidi) {
      // The note's period went with the reset; the parameter's is back.
      EXPECT_EQ(used.getBoxA().getGrainPeriod(), 1.0 / c.grainHz);
      EXPECT_EQ(used.getBoxB().getGrainPeriod(), 1.0 / c.grainHz);
    }
    used.setGrainFrequency(c.grainHz * 1.5, true); // the same note as configureSet's
    std::vector<double> expectedL(inL.size()), expectedR(inL.size());
    // New material, so that only what is remembered could tell the two apart.
    std::reverse(inL.begin(), inL.end());
    fresh.process(inL.data(), inR.data(), expectedL.data(), expectedR.data(), 10000);
    used.process(inL.data(), inR.data(), outL.data(), outR.data(), 10000);
    for (size_t i = 0; i < inL.size(); ++i) {
      ASSERT_EQ(outL[i], expectedL[i]) << "sample " << i;
      ASSERT_EQ(outR[i], expectedR[i]) << "sample " << i;
    }
  }
}
