// SPDX-License-Identifier: ISC
// The plug-in's audio path and MIDI voices, driven through the render call as a host drives them.
//
// Parameter changes from the test thread take effect at the start of the next render call, so
// every setting below is followed by a render call before the engine is inspected.

#include "core/quennet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "TempHome.h"
#include "TestHost.h"

using namespace quennet;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.14159265358979323846;

// One plug-in instance with its own home folder (the constructor reads and creates the
// configuration file there), prepared for playback.
class Rig {
public:
  explicit Rig(double sampleRate = 48000.0, int maxBlockSize = 512)
  {
    mPlugin.reset(static_cast<Quennet*>(plug::MakePlug({})));
    if (mPlugin && sampleRate > 0.0)
      mPlugin->PrepareToPlay(sampleRate, maxBlockSize);
  }

  Quennet& operator*() { return *mPlugin; }
  Quennet* operator->() { return mPlugin.get(); }
  explicit operator bool() const { return mPlugin != nullptr; }

  // Host change of a plain value; the engine takes it over at the next render call.
  void set(int paramIdx, double plain) { mPlugin->SetParameterFromHostPlain(paramIdx, plain); }
  // A render call without audio: applies pending changes and delivers MIDI.
  void apply(const std::vector<plug::HostMidiEvent>& midi = {}) { renderEmptyBlock(*mPlugin, midi); }

  StereoBuffer render(const StereoBuffer& input, const RenderOptions& options = {})
  {
    return renderThrough(*mPlugin, input, options);
  }
  StereoBuffer renderSilence(size_t frames, const RenderOptions& options = {})
  {
    return renderThrough(*mPlugin, StereoBuffer(frames), options);
  }

private:
  TempHome mHome; // outlives the plug-in
  std::unique_ptr<Quennet> mPlugin;
};

plug::HostMidiEvent noteOn(int note, int velocity = 100, int channel = 0)
{
  return {0, static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(note),
          static_cast<std::uint8_t>(velocity)};
}

plug::HostMidiEvent noteOff(int note, int channel = 0)
{
  return {0, static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 64};
}

plug::HostMidiEvent controlChange(int controller, int value, int channel = 0)
{
  return {0, static_cast<std::uint8_t>(0xB0 | channel), static_cast<std::uint8_t>(controller),
          static_cast<std::uint8_t>(value)};
}

// A second-order Butterworth high-pass made independently of the plug-in's formulas: the
// bilinear transform with the corner pre-warped, K = tan(pi fc / fs).
class ReferenceHighpass {
public:
  ReferenceHighpass(double cutoff, double sampleRate)
  {
    const double k = std::tan(kPi * cutoff / sampleRate);
    const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
    mB0 = norm;
    mB1 = -2.0 * norm;
    mB2 = norm;
    mA1 = 2.0 * (k * k - 1.0) * norm;
    mA2 = (1.0 - std::sqrt(2.0) * k + k * k) * norm;
  }

  double operator()(double x)
  {
    const double y = mB0 * x + mB1 * mX1 + mB2 * mX2 - mA1 * mY1 - mA2 * mY2;
    mX2 = mX1;
    mX1 = x;
    mY2 = mY1;
    mY1 = y;
    return y;
  }

  double b0() const { return mB0; }

private:
  double mB0, mB1, mB2, mA1, mA2;
  double mX1 = 0.0, mX2 = 0.0, mY1 = 0.0, mY2 = 0.0;
};

// Periodic with a period that divides 960 samples, the default grain (20 ms at 48 kHz): the
// default grain voice replays every grain exactly what it recorded, so its output equals its input.
StereoBuffer grainPeriodicInput(size_t frames)
{
  StereoBuffer in(frames);
  for (size_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n);
    in.left[n] = static_cast<float>(0.25 + 0.3 * std::sin(2.0 * kPi * t / 960.0) +
                                    0.2 * std::sin(2.0 * kPi * t / 48.0) + 0.1 * std::sin(2.0 * kPi * t / 3.0));
    in.right[n] =
      static_cast<float>(-0.3 + 0.4 * std::cos(2.0 * kPi * t / 960.0) + 0.15 * std::sin(2.0 * kPi * t / 96.0));
  }
  return in;
}

// Deterministic broadband material.
StereoBuffer noiseInput(size_t frames, unsigned seed = 12345u)
{
  StereoBuffer in(frames);
  unsigned state = seed;
  auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>((state >> 8) * (1.0 / 16777216.0) - 0.5);
  };
  for (size_t n = 0; n < frames; ++n) {
    in.left[n] = next() + 0.3f * static_cast<float>(std::sin(0.01 * static_cast<double>(n)));
    in.right[n] = next();
  }
  return in;
}

RenderOptions blocksOf(int blockSize, double startPosition = 0.0)
{
  RenderOptions options;
  options.blockSize = blockSize;
  options.startPosition = startPosition;
  return options;
}

bool allFinite(const StereoBuffer& b)
{
  for (size_t n = 0; n < b.frames(); ++n)
    if (!std::isfinite(b.left[n]) || !std::isfinite(b.right[n]))
      return false;
  return true;
}

// The grain position of voice 0's first frame, which always runs on box B.
double firstFrameGrainPosition(Quennet& q)
{
  return q.voice(0).getBoxB().getGrainPosition();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Mix, volume and the output high-pass

TEST(QuennetProcess, MixAndVolumeAgainstAnIndependentHighpass)
{
  struct Case {
    double mix, volume;
  };
  const Case cases[] = {{1.0, 1.0}, {0.5, 1.0}, {0.25, 1.5}, {0.0, 1.0}, {0.0, 0.5}, {1.0, 0.0}, {0.7, 0.0}};
  const StereoBuffer in = grainPeriodicInput(48000);

  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mix " << c.mix << ", volume " << c.volume);
    Rig q;
    ASSERT_TRUE(q);
    q.set(kMix, c.mix);
    q.set(kVolume, c.volume);
    const StereoBuffer out = q.render(in);
    ASSERT_DOUBLE_EQ(q->mix(), c.mix);
    ASSERT_DOUBLE_EQ(q->volume(), c.volume);

    ReferenceHighpass left(16.0, 48000.0);
    ReferenceHighpass right(16.0, 48000.0);
    for (size_t n = 0; n < in.frames(); ++n) {
      const double inL = in.left[n];
      const double inR = in.right[n];
      const double wetL = left(inL);
      const double wetR = right(inR);
      if (c.volume == 0.0) {
        ASSERT_EQ(out.left[n], 0.0f) << "frame " << n;
        ASSERT_EQ(out.right[n], 0.0f) << "frame " << n;
      } else if (c.mix == 0.0) {
        // Exactly the dry input times the volume, whatever the wet signal is.
        ASSERT_EQ(out.left[n], static_cast<float>(inL * c.volume)) << "frame " << n;
        ASSERT_EQ(out.right[n], static_cast<float>(inR * c.volume)) << "frame " << n;
      } else {
        const double expectedL = ((wetL - inL) * c.mix + inL) * c.volume;
        const double expectedR = ((wetR - inR) * c.mix + inR) * c.volume;
        ASSERT_NEAR(out.left[n], expectedL, 1e-6 * (1.0 + std::fabs(expectedL))) << "frame " << n;
        ASSERT_NEAR(out.right[n], expectedR, 1e-6 * (1.0 + std::fabs(expectedR))) << "frame " << n;
      }
    }
  }
}

TEST(QuennetProcess, DcInTheWetSignalDecaysAndDcInTheDryShareStays)
{
  struct Case {
    double mix, volume;
    double settled; // output once the high-pass has settled, 0.5 s in
  };
  // 0.5 of DC in: the wet share is high-passed away, the dry share (1 - mix) passes unfiltered.
  const Case cases[] = {{1.0, 1.0, 0.0}, {0.5, 1.0, 0.25}, {0.5, 2.0, 0.5}, {0.0, 1.0, 0.5}, {0.2, 0.5, 0.2}};
  StereoBuffer in(48000);
  std::fill(in.left.begin(), in.left.end(), 0.5f);
  std::fill(in.right.begin(), in.right.end(), 0.5f);
  const double b0 = ReferenceHighpass(16.0, 48000.0).b0();

  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mix " << c.mix << ", volume " << c.volume);
    Rig q;
    q.set(kMix, c.mix);
    q.set(kVolume, c.volume);
    const StereoBuffer out = q.render(in);
    // The first sample: the step enters the filter with weight b0 (just below 1).
    const double first = ((0.5 * b0 - 0.5) * c.mix + 0.5) * c.volume;
    EXPECT_NEAR(out.left[0], first, 1e-6);
    EXPECT_NEAR(out.right[0], first, 1e-6);
    for (size_t n = 24000; n < out.frames(); ++n) {
      ASSERT_NEAR(out.left[n], c.settled, 1e-6) << "frame " << n;
      ASSERT_NEAR(out.right[n], c.settled, 1e-6) << "frame " << n;
    }
  }
}

TEST(QuennetProcess, FilterOffsetAlternatesEverySample)
{
  Rig q;
  const struct {
    size_t frames;
    double offset; // after that many more samples
  } steps[] = {{0, 1e-13}, {1, -1e-13}, {1, 1e-13}, {3, -1e-13}, {512, -1e-13}, {1001, 1e-13}};
  for (const auto& step : steps) {
    if (step.frames > 0)
      q.render(noiseInput(step.frames));
    EXPECT_EQ(q->highpassLeft().antiDenormal, step.offset);
    EXPECT_EQ(q->highpassRight().antiDenormal, step.offset);
  }
  // Silence keeps the filter memories tiny but well away from subnormal numbers.
  q.renderSilence(96000);
  for (const Highpass& record : {q->highpassLeft(), q->highpassRight()}) {
    const Highpass* h = &record;
    EXPECT_LT(std::fabs(h->y1), 1e-11);
    EXPECT_EQ(std::fpclassify(h->y1), FP_NORMAL);
  }
}

TEST(QuennetProcess, NaNInputPoisonsOnlyItsOwnSample)
{
  // A NaN within the first grain is recorded and replayed by the voice every 960 samples for the
  // rest of the frame; each replay is a NaN wet sample that must reach the filters as 0.
  const size_t kBad = 100;
  for (double mix : {1.0, 0.5}) {
    SCOPED_TRACE(testing::Message() << "mix " << mix);
    StereoBuffer withNaN = noiseInput(20000);
    StereoBuffer withZero = withNaN;
    withNaN.left[kBad] = std::numeric_limits<float>::quiet_NaN();
    withNaN.right[kBad + 7] = std::numeric_limits<float>::quiet_NaN();
    withZero.left[kBad] = 0.0f;
    withZero.right[kBad + 7] = 0.0f;

    Rig a;
    a.set(kMix, mix);
    const StereoBuffer outA = a.render(withNaN);
    Rig b;
    b.set(kMix, mix);
    const StereoBuffer outB = b.render(withZero);

    // The dry share carries the NaN on its own sample only.
    EXPECT_TRUE(std::isnan(outA.left[kBad]));
    EXPECT_TRUE(std::isnan(outA.right[kBad + 7]));
    for (size_t n = 0; n < outA.frames(); ++n) {
      if (n != kBad) {
        ASSERT_TRUE(std::isfinite(outA.left[n])) << "frame " << n;
        ASSERT_NEAR(outA.left[n], outB.left[n], 1e-6) << "frame " << n;
      }
      if (n != kBad + 7) {
        ASSERT_TRUE(std::isfinite(outA.right[n])) << "frame " << n;
        ASSERT_NEAR(outA.right[n], outB.right[n], 1e-6) << "frame " << n;
      }
    }
    for (const Highpass& h : {a->highpassLeft(), a->highpassRight()})
      EXPECT_TRUE(std::isfinite(h.x1) && std::isfinite(h.x2) && std::isfinite(h.y1) && std::isfinite(h.y2));
  }
}

// ---------------------------------------------------------------------------------------------
// Tempo sync

TEST(QuennetProcess, SyncedLengthsFollowRateTempoAndNoteValue)
{
  struct Case {
    const char* name;
    double rate, tempo;
    int grainMode, grainSync, frameSync;
    bool frameSyncToHost;
    std::int64_t grainSamples, frameSamples;
  };
  const Case cases[] = {
    {"1/4 at 120 BPM", 48000.0, 120.0, kGrainModeSync, 10, 10, false, 24000, 24000},
    {"1/64 truncated, 1/1. frame", 44100.0, 100.0, kGrainModeSync, 0, 16, true, 1653, 158760},
    {"4/1 grain, 1/64 frame", 48000.0, 120.0, kGrainModeSync, 19, 0, true, 384000, 1500},
    {"dotted and half at 137 BPM", 96000.0, 137.0, kGrainModeSync, 12, 13, true, 63065, 84087},
    {"frame sync alone", 48000.0, 90.0, kGrainModeMsec, 7, 15, true, 16000, 128000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig q(c.rate);
    q.set(kGrainMode, c.grainMode);
    q.set(kGrainSync, c.grainSync);
    q.set(kFrameSync, c.frameSync);
    q.set(kFrameSyncToHost, c.frameSyncToHost ? 1.0 : 0.0);
    RenderOptions options;
    options.tempo = c.tempo;
    q.renderSilence(64, options);

    EXPECT_EQ(q->grainSyncSamples(), c.grainSamples);
    EXPECT_EQ(q->frameSyncSamples(), c.frameSamples);
    if (c.grainMode == kGrainModeSync) {
      // Box A has not started a frame yet, so it still holds the length as handed over.
      EXPECT_EQ(q->voice(0).getBoxA().getGrainSamples(), c.grainSamples);
      EXPECT_NE(q->voice(1).getBoxA().getGrainSamples(), c.grainSamples) << "grain sync reaches voice 0 only";
    }
    for (int v = 0; v < Quennet::kNumVoices; ++v)
      if (c.frameSyncToHost)
        EXPECT_EQ(q->voice(v).getFramePeriod(), c.frameSamples) << "voice " << v;
      else
        EXPECT_NE(q->voice(v).getFramePeriod(), c.frameSamples) << "voice " << v;
  }
}

TEST(QuennetProcess, GrainRestartsFollowTheSongPosition)
{
  // "1/4" at 120 BPM and 48 kHz: 24000 samples. The frame (5 s) outlasts every case, so only the
  // grain restarts move voice 0's grain position: a restart on the last sample leaves it at 1,
  // where the grain's own wrap-around (one sample later) would leave it at 0.
  struct Case {
    const char* name;
    std::optional<double> startPosition; // none: the host gives no transport
    size_t frames;
    int blockSize;
    std::int64_t counterAfter;
    double grainPositionAfter;
  };
  const Case cases[] = {
    {"just before the first restart", 0.0, 23999, 512, 23999, 23999.0},
    {"restart at position 23999", 0.0, 24000, 512, 0, 1.0},
    {"restart at position 23999, one block", 0.0, 24000, 24000, 0, 1.0},
    {"second restart at 47999", 0.0, 48000, 512, 0, 1.0},
    {"between restarts", 0.0, 47999, 333, 23999, 0.0},
    {"block at 100000 starts at 4000", 100000.0, 1, 512, 4001, 1.0},
    {"from 100000 the restart is at 119999", 100000.0, 20000, 20000, 0, 1.0},
    {"from 100000, just before it", 100000.0, 19999, 20000, 23999, 19999.0},
    {"fractional position is floored", 100000.75, 20000, 20000, 0, 1.0},
    {"no position: not yet at 24000 frames", std::nullopt, 24000, 24000, 23999, 0.0},
    {"no position: one sample later", std::nullopt, 24001, 24001, 0, 1.0},
    {"a NaN position counts as none", kNaN, 24001, 24001, 0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig q(48000.0, c.blockSize);
    q.set(kGrainMode, kGrainModeSync);
    q.set(kGrainSync, 10);
    q.set(kFrameLength, 5000.0);
    RenderOptions options;
    options.blockSize = c.blockSize;
    if (c.startPosition)
      options.startPosition = *c.startPosition;
    else
      options.tempo = std::nullopt;
    q.renderSilence(c.frames, options);

    EXPECT_EQ(q->grainSyncSamples(), 24000);
    EXPECT_EQ(q->grainSyncCounter(), c.counterAfter);
    EXPECT_EQ(firstFrameGrainPosition(*q), c.grainPositionAfter);
  }
}

TEST(QuennetProcess, FrameSyncRestartsAllEightVoicesTogether)
{
  // "1/1." at 100 BPM and 44.1 kHz: 6 beats of 26460 samples. Every voice sounds in mode "MIDI"
  // with polyphony 8, so every voice's boxes show where its frames started.
  Rig q(44100.0);
  q.set(kGrainMode, kGrainModeMidi);
  q.set(kMidiPolyphony, 8);
  q.set(kFrameSyncToHost, 1.0);
  q.set(kFrameSync, 16);
  RenderOptions options;
  options.tempo = 100.0;
  options.blockSize = 441;
  q.renderSilence(158760, options);

  EXPECT_EQ(q->frameSyncSamples(), 158760);
  EXPECT_EQ(q->frameSyncCounter(), 0);
  for (int v = 0; v < Quennet::kNumVoices; ++v) {
    SCOPED_TRACE(testing::Message() << "voice " << v);
    EXPECT_EQ(q->voice(v).getFramePeriod(), 158760);
    // The first frame ran on box B from position 0; the restart at position 158759 moved the
    // voice to box A one sample before the frame would have ended by itself.
    EXPECT_EQ(q->voice(v).getBoxB().getFrameCounter(), 158759);
    EXPECT_EQ(q->voice(v).getBoxA().getFrameCounter(), 1);
  }
}

TEST(QuennetProcess, UnusableTempoOrRateSkipsTheSyncForThatBlock)
{
  // A valid block first (lengths 24000, counters at 1000), then a block of 500 frames at
  // position 1000 with a bad tempo or rate: the lengths keep their values, the counters carry on.
  struct Case {
    const char* name;
    double tempo;
    double rate; // prepared before the bad block
  };
  const Case cases[] = {
    {"tempo 0", 0.0, 48000.0},
    {"negative tempo", -120.0, 48000.0},
    {"NaN tempo", kNaN, 48000.0},
    {"infinite tempo", kInf, 48000.0},
    {"minus infinite tempo", -kInf, 48000.0},
    {"tempo 1e-300 (infinite beat)", 1e-300, 48000.0},
    {"tempo 0.001 (beyond 32 bits)", 0.001, 48000.0},
    {"tempo 3e6 (below one sample)", 3e6, 48000.0},
    {"tempo 1e300", 1e300, 48000.0},
    {"sample rate 0", 120.0, 0.0},
    {"negative sample rate", 120.0, -48000.0},
  };
  const StereoBuffer in = noiseInput(500);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig q;
    q.set(kGrainMode, kGrainModeSync);
    q.set(kFrameSyncToHost, 1.0);
    q.renderSilence(1000);
    ASSERT_EQ(q->grainSyncSamples(), 24000);
    ASSERT_EQ(q->frameSyncCounter(), 1000);

    if (c.rate != 48000.0)
      q->PrepareToPlay(c.rate, 512);
    RenderOptions options;
    options.tempo = c.tempo;
    options.startPosition = 1000.0;
    const StereoBuffer out = q.render(in, options);

    EXPECT_TRUE(allFinite(out));
    EXPECT_EQ(q->grainSyncSamples(), 24000);
    EXPECT_EQ(q->frameSyncSamples(), 24000);
    EXPECT_EQ(q->grainSyncCounter(), 1500);
    EXPECT_EQ(q->frameSyncCounter(), 1500);
    EXPECT_EQ(q->voice(3).getFramePeriod(), 24000);
  }
}

TEST(QuennetProcess, NoSyncRestartBeforeAUsableLength)
{
  for (double tempo : {0.0, kNaN, 1e300}) {
    SCOPED_TRACE(testing::Message() << "tempo " << tempo);
    Rig q;
    q.set(kGrainMode, kGrainModeSync);
    q.set(kFrameSyncToHost, 1.0);
    RenderOptions options;
    options.tempo = tempo;
    const StereoBuffer out = q.render(noiseInput(3000), options);
    EXPECT_TRUE(allFinite(out));
    EXPECT_EQ(q->grainSyncSamples(), 0);
    EXPECT_EQ(q->frameSyncSamples(), 0);
    // Never restarted: the counters only count.
    EXPECT_EQ(q->grainSyncCounter(), 3000);
    EXPECT_EQ(q->frameSyncCounter(), 3000);
  }
}

TEST(QuennetProcess, OutputDoesNotDependOnTheHostBlockSize)
{
  struct Setting {
    int paramIdx;
    double value;
  };
  struct Case {
    const char* name;
    std::vector<Setting> settings;
    std::vector<TimedMidi> midi; // at frame 0 only: events are not split at their offsets
  };
  const std::vector<Setting> fadesAndOverlaps = {
    {kGrainOverlap, 30.0}, {kGrainFadeIn, 0.3},   {kGrainFadeOut, 0.6}, {kGrainSkew, 0.2},
    {kFrameLength, 50.0},  {kFrameOverlap, 50.0}, {kFrameFadeIn, 0.2},  {kFrameFadeOut, 0.4},
    {kFrameSkew, -0.3},    {kMix, 0.8},           {kVolume, 1.2},
  };
  auto with = [&](std::vector<Setting> extra) {
    std::vector<Setting> all = fadesAndOverlaps;
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
  };
  const Case cases[] = {
    {"defaults", {}, {}},
    {"FREQ with fades and overlaps", with({{kGrainMode, kGrainModeFreq}, {kGrainFrequency, 220.0}}), {}},
    {"SYNC with frame sync",
     with({{kGrainMode, kGrainModeSync}, {kGrainSync, 4}, {kFrameSyncToHost, 1.0}, {kFrameSync, 7}}),
     {}},
    {"MIDI chord",
     with(
       {{kGrainMode, kGrainModeMidi}, {kMidiPolyphony, 8}, {kMidiAttack, 0.3}, {kMidiDecay, 0.4}, {kMidiSustain, 0.5}}),
     {{0, 0x90, 48, 100}, {0, 0x91, 55, 90}, {0, 0x92, 64, 80}}},
  };
  const StereoBuffer in = noiseInput(72000);
  const int blockSizes[] = {1, 7, 1000, 4097};

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto run = [&](int blockSize) {
      Rig q;
      for (const Setting& s : c.settings)
        q.set(s.paramIdx, s.value);
      RenderOptions options;
      options.blockSize = blockSize;
      options.midi = c.midi;
      return q.render(in, options);
    };
    const StereoBuffer reference = run(512);
    ASSERT_TRUE(allFinite(reference));
    for (int blockSize : blockSizes) {
      SCOPED_TRACE(testing::Message() << "block size " << blockSize);
      const StereoBuffer out = run(blockSize);
      for (size_t n = 0; n < in.frames(); ++n) {
        ASSERT_EQ(out.left[n], reference.left[n]) << "frame " << n;
        ASSERT_EQ(out.right[n], reference.right[n]) << "frame " << n;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// MIDI notes and voices

namespace {
// Mode "MIDI" with the given polyphony, ready for notes.
void midiMode(Rig& q, int polyphony)
{
  q.set(kGrainMode, kGrainModeMidi);
  q.set(kMidiPolyphony, polyphony);
  q.apply();
}

std::vector<int> heldVoices(Quennet& q)
{
  std::vector<int> voices;
  for (int v = 0; v < Quennet::kNumVoices; ++v)
    if (q.envelope(v).mStage != ADSR::kStageIdle)
      voices.push_back(v);
  return voices;
}
} // namespace

TEST(QuennetMidi, VoiceAllocation)
{
  struct Step {
    std::vector<plug::HostMidiEvent> midi;
    size_t framesAfter; // audio rendered after the messages
    int note; // the note whose voice is checked
    int expectedVoice;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  // Polyphony 4. A release (setting 0.05) ends after about 400 samples at 48 kHz.
  const Case cases[] = {
    {"four notes take voices 0 to 3", {{{noteOn(60), noteOn(62), noteOn(64), noteOn(65)}, 0, 65, 3}}},
    {"a fifth note takes the oldest",
     {{{noteOn(60), noteOn(62), noteOn(64), noteOn(65)}, 100, 65, 3}, {{noteOn(67)}, 0, 67, 0}}},
    {"a voice whose release has ended is taken before the oldest",
     {{{noteOn(60), noteOn(62), noteOn(64), noteOn(65)}, 100, 65, 3},
      {{noteOff(62)}, 4800, 62, 1},
      {{noteOn(69)}, 0, 69, 1}}},
    {"a releasing voice is still busy",
     {{{noteOn(60), noteOn(62), noteOn(64), noteOn(65)}, 100, 65, 3},
      {{noteOff(62)}, 10, 62, 1},
      {{noteOn(69)}, 0, 69, 0}}},
    {"the same note retriggers its own voice",
     {{{noteOn(60), noteOn(62)}, 2000, 62, 1}, {{noteOn(60)}, 0, 60, 0}, {{noteOn(64)}, 0, 64, 2}}},
    {"any channel",
     {{{noteOn(60, 100, 15), noteOn(62, 100, 9), noteOn(64, 100, 3), noteOn(65, 100, 0)}, 100, 65, 3},
      {{noteOn(67, 100, 7)}, 0, 67, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig q;
    midiMode(q, 4);
    int step = 0;
    for (const Step& s : c.steps) {
      SCOPED_TRACE(testing::Message() << "step " << step++);
      q.apply(s.midi);
      if (s.framesAfter > 0)
        q.renderSilence(s.framesAfter);
      int voice = -1;
      for (int v = 0; v < 4 && voice < 0; ++v)
        if (q->voiceNote(v) == s.note)
          voice = v;
      EXPECT_EQ(voice, s.expectedVoice);
    }
  }
}

TEST(QuennetMidi, ModeMidiSumsTheVoicesWeightedByTheirLevelBeforeTheUpdate)
{
  // The expected output is assembled from the engine's own parts, set up as the parameters set
  // up the plug-in's voices: each note's grain voice weighted by its envelope's level as it was
  // before that sample's update, summed, then through the reference high-pass.
  const double kRate = 48000.0;
  const double attack = 0.1, decay = 0.3, sustain = 0.6, release = 0.2;
  Rig q(kRate, 480);
  q.set(kMidiAttack, attack);
  q.set(kMidiDecay, decay);
  q.set(kMidiSustain, sustain);
  q.set(kMidiRelease, release);
  midiMode(q, 3);
  const StereoBuffer in = noiseInput(9600);
  RenderOptions options;
  options.blockSize = 480;
  options.midi = {{0, 0x90, 69, 100}, {0, 0x90, 57, 100}, {2400, 0x80, 69, 0}, {4800, 0x90, 76, 100}};
  const StereoBuffer out = q.render(in, options);
  ASSERT_EQ(q->voiceNote(0), 76);

  struct Voice {
    GrainSet grains;
    ADSR envelope;
  };
  Voice voices[3];
  for (Voice& v : voices) {
    v.grains.setSampleRate(kRate);
    v.grains.setGrainMode(kGrainModeMidi);
    v.grains.setGrainLength(20.0);
    v.grains.setGrainFrequency(110.0, false);
    v.grains.setFrameLength(160.0);
    v.envelope.setSampleRate(kRate);
    v.envelope.setAttack(attack);
    v.envelope.setDecay(decay);
    v.envelope.setSustain(sustain);
    v.envelope.setRelease(release);
  }
  auto start = [&](Voice& v, double hertz) {
    v.grains.setGrainFrequency(hertz, true);
    v.grains.resetFrame();
    v.grains.resetGrain();
    v.envelope.start();
  };
  ReferenceHighpass left(16.0, kRate);
  ReferenceHighpass right(16.0, kRate);
  for (size_t n = 0; n < in.frames(); ++n) {
    if (n == 0) {
      start(voices[0], 440.0);
      start(voices[1], 220.0);
    }
    if (n == 2400)
      voices[0].envelope.stop(false);
    if (n == 4800)
      start(voices[0], 659.255); // voice 0's release has ended by then
    double wetL = 0.0;
    double wetR = 0.0;
    for (Voice& v : voices) {
      const Sample s = v.grains.process(Sample(in.left[n], in.right[n]));
      wetL += v.envelope.mLevel * s.left;
      wetR += v.envelope.mLevel * s.right;
      v.envelope.update();
    }
    const double expectedL = left(wetL);
    const double expectedR = right(wetR);
    ASSERT_NEAR(out.left[n], expectedL, 1e-6) << "frame " << n;
    ASSERT_NEAR(out.right[n], expectedR, 1e-6) << "frame " << n;
  }
}

TEST(QuennetMidi, RetriggerRestartsTheVoiceAndOneNoteOffReleasesIt)
{
  Rig q;
  midiMode(q, 4);
  q.apply({noteOn(60), noteOn(62)});
  q.renderSilence(2000); // attack 0: both voices are at their sustain level
  ASSERT_EQ(q->envelope(0).mStage, ADSR::kStageDecaySustain);
  ASSERT_EQ(q->envelope(1).mStage, ADSR::kStageDecaySustain);

  q.apply({noteOn(60)});
  EXPECT_EQ(q->noteCounter(), 3);
  EXPECT_EQ(q->voiceAge(0), 3);
  EXPECT_EQ(q->voiceAge(1), 2);
  EXPECT_EQ(q->envelope(0).mStage, ADSR::kStageAttack);
  EXPECT_EQ(q->envelope(1).mStage, ADSR::kStageDecaySustain);
  EXPECT_EQ(heldVoices(*q), (std::vector<int>{0, 1}));

  q.apply({noteOff(60)});
  EXPECT_EQ(q->envelope(0).mStage, ADSR::kStageRelease);
  EXPECT_EQ(q->envelope(1).mStage, ADSR::kStageDecaySustain);
  EXPECT_TRUE(q->noteActive()); // voice 1 still sounds
  q.apply({noteOff(62)});
  EXPECT_TRUE(q->noteActive()); // voice 0 is still releasing
  q.renderSilence(4800);
  EXPECT_TRUE(heldVoices(*q).empty());
  q.apply({noteOff(62)});
  EXPECT_FALSE(q->noteActive());
}

TEST(QuennetMidi, ReleaseMessagesOnAnyChannel)
{
  struct Case {
    const char* name;
    plug::HostMidiEvent on;
    plug::HostMidiEvent off;
  };
  const Case cases[] = {
    {"note-off", noteOn(60), noteOff(60)},
    {"note-on with velocity 0", noteOn(60), noteOn(60, 0)},
    {"note-off on another channel", noteOn(60, 100, 2), noteOff(60, 11)},
    {"velocity 0 on channel 16", noteOn(60, 127, 0), noteOn(60, 0, 15)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig q;
    midiMode(q, 4);
    q.apply({c.on});
    q.renderSilence(1000);
    ASSERT_EQ(q->envelope(0).mStage, ADSR::kStageDecaySustain);
    ASSERT_TRUE(q->noteActive());
    q.apply({c.off});
    EXPECT_EQ(q->envelope(0).mStage, ADSR::kStageRelease);
    EXPECT_FALSE(q->noteActive());
    EXPECT_EQ(q->noteCounter(), 1); // velocity 0 never starts a note
  }
}

TEST(QuennetMidi, VelocityDoesNotChangeTheSound)
{
  const StereoBuffer in = noiseInput(9600);
  auto play = [&](int velocity) {
    Rig q;
    midiMode(q, 4);
    RenderOptions options;
    options.midi = {{0, 0x90, 57, static_cast<std::uint8_t>(velocity)}, {4000, 0x80, 57, 0}};
    return q.render(in, options);
  };
  const StereoBuffer soft = play(1);
  const StereoBuffer loud = play(127);
  EXPECT_EQ(soft.left, loud.left);
  EXPECT_EQ(soft.right, loud.right);
}

TEST(QuennetMidi, NotesOutsideModeMidiOrTheNoteRangeAreIgnored)
{
  struct Case {
    int mode;
    int note; // a host may hand over any byte
  };
  const Case cases[] = {
    {kGrainModeMsec, 60}, {kGrainModeSync, 60}, {kGrainModeFreq, 60}, {kGrainModeMidi, 128}, {kGrainModeMidi, 255}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", note " << c.note);
    Rig q;
    q.set(kGrainMode, c.mode);
    q.apply({noteOn(c.note), noteOff(c.note)});
    EXPECT_EQ(q->noteCounter(), 0);
    EXPECT_FALSE(q->noteActive());
    EXPECT_TRUE(heldVoices(*q).empty());
  }
}

TEST(QuennetMidi, AfterAResetNote36TakesVoice0)
{
  Rig q;
  midiMode(q, 4);
  q.apply({noteOn(60), noteOn(36)}); // 36 lands on voice 1 before the reset
  ASSERT_EQ(q->voiceNote(1), 36);

  q->PrepareToPlay(44100.0, 512); // a new rate resets the plug-in
  for (int v = 0; v < Quennet::kNumVoices; ++v) {
    EXPECT_EQ(q->voiceNote(v), 36);
    EXPECT_EQ(q->voiceAge(v), 0);
  }
  EXPECT_EQ(q->noteCounter(), 0);
  q.apply({noteOn(36)});
  EXPECT_EQ(heldVoices(*q), (std::vector<int>{0}));
  EXPECT_EQ(q->voiceAge(0), 1);
}

TEST(QuennetMidi, ResetAtAnUnchangedRateKeepsTheNotes)
{
  Rig q;
  midiMode(q, 4);
  q.apply({noteOn(60), noteOn(64)});
  q.renderSilence(1000);
  // A block longer than any before resets; at the same rate nothing changes.
  q.renderSilence(4096, blocksOf(4096));
  EXPECT_EQ(q->voiceNote(0), 60);
  EXPECT_EQ(q->voiceNote(1), 64);
  EXPECT_EQ(q->noteCounter(), 2);
  EXPECT_EQ(heldVoices(*q), (std::vector<int>{0, 1}));
}

TEST(QuennetMidi, ChannelModeControllers)
{
  struct Case {
    int controller;
    bool endsNotes;
  };
  const Case cases[] = {{120, true}, {123, true}, {121, false}, {122, false}, {124, false}, {127, false}};
  for (const Case& c : cases) {
    for (int channel : {0, 6, 15}) {
      SCOPED_TRACE(testing::Message() << "CC " << c.controller << " on channel " << channel + 1);
      Rig q;
      midiMode(q, 4);
      q.apply({noteOn(60), noteOn(62), noteOn(64), noteOn(65)});
      q.renderSilence(1000);
      q.apply({noteOff(62)}); // three sustained, one releasing
      q.apply({controlChange(c.controller, 0, channel)});
      if (c.endsNotes) {
        EXPECT_TRUE(heldVoices(*q).empty());
        for (int v = 0; v < Quennet::kNumVoices; ++v)
          EXPECT_EQ(q->envelope(v).mLevel, 0.0) << "voice " << v;
        EXPECT_FALSE(q->noteActive());
        // Which note each voice last played is kept.
        EXPECT_EQ(q->voiceNote(0), 60);
        EXPECT_EQ(q->voiceNote(1), 62);
      } else {
        EXPECT_EQ(q->envelope(0).mStage, ADSR::kStageDecaySustain);
        EXPECT_EQ(q->envelope(1).mStage, ADSR::kStageRelease);
        EXPECT_EQ(q->envelope(3).mStage, ADSR::kStageDecaySustain);
        EXPECT_TRUE(q->noteActive());
      }
    }
  }
}

TEST(QuennetMidi, NoteFrequenciesAreTheEqualTemperedTable)
{
  // 440 * 2^((n - 69) / 12) to three decimals; the top four notes to seven significant digits.
  Rig q;
  midiMode(q, 1);
  for (int note = 0; note < 128; ++note) {
    SCOPED_TRACE(testing::Message() << "note " << note);
    const double exact = 440.0 * std::pow(2.0, (note - 69) / 12.0);
    const double expected = note >= 124 ? std::round(exact * 100.0) / 100.0 : std::round(exact * 1000.0) / 1000.0;
    q.apply({noteOn(note)});
    for (const GrainBox* box : {&q->voice(0).getBoxA(), &q->voice(0).getBoxB()})
      ASSERT_NEAR(1.0 / box->getGrainPeriod(), expected, expected * 1e-12);
  }
  EXPECT_DOUBLE_EQ(1.0 / q->voice(0).getBoxA().getGrainPeriod(), 12543.85);
}

TEST(QuennetMidi, ModeMidiWithoutSoundingNotesGivesTheDryShare)
{
  Rig q;
  midiMode(q, 4);
  q.set(kMix, 0.3);
  q.set(kVolume, 1.5);
  const StereoBuffer in = noiseInput(96000);
  RenderOptions options;
  options.midi = {{48000, 0x90, 60, 100}, {52800, 0x80, 60, 0}};
  options.blockSize = 480;
  const StereoBuffer out = q.render(in, options);

  auto dryShare = [&](size_t n, bool left) { return (left ? in.left[n] : in.right[n]) * (1.0 - 0.3) * 1.5; };
  // Before the first note the envelopes are idle at level 0: the wet signal is only the offsets.
  for (size_t n = 0; n < 48000; ++n) {
    ASSERT_NEAR(out.left[n], dryShare(n, true), 1e-6) << "frame " << n;
    ASSERT_NEAR(out.right[n], dryShare(n, false), 1e-6) << "frame " << n;
  }
  // While the note sounds the voice is heard.
  double largest = 0.0;
  for (size_t n = 48000; n < 52800; ++n)
    largest = std::max(largest, std::fabs(out.left[n] - dryShare(n, true)));
  EXPECT_GT(largest, 0.01);
  // Half a second after the release has ended (and the high-pass has settled) only the dry share is left.
  for (size_t n = 72000; n < 96000; ++n) {
    ASSERT_NEAR(out.left[n], dryShare(n, true), 1e-6) << "frame " << n;
    ASSERT_NEAR(out.right[n], dryShare(n, false), 1e-6) << "frame " << n;
  }
  // Voices beyond the polyphony are never processed.
  EXPECT_GT(q->voice(3).getBoxB().getFrameCounter(), 0);
  EXPECT_EQ(q->voice(4).getBoxB().getFrameCounter(), 0);
}

TEST(QuennetMidi, RecordingsInMemoryAsFarAsTheAudioThreadWritesThem)
{
  // Voice 0 plays in every mode, with grains up to the longest: its whole recording is in memory
  // once prepared. The note voices record at most a period of the lowest note (8.176 Hz) with a
  // grain overlap of a half: at 48 kHz ceil(1.5 · 48000 / 8.176) = 8807 entries.
  Rig q;
  EXPECT_EQ(q->voice(0).getBoxA().getResidentEntries(), q->voice(0).getBoxA().getBufferSize());
  EXPECT_EQ(q->voice(0).getBoxB().getResidentEntries(), q->voice(0).getBoxB().getBufferSize());
  for (int v = 1; v < Quennet::kNumVoices; ++v)
    for (const GrainBox* box : {&q->voice(v).getBoxA(), &q->voice(v).getBoxB()}) {
      EXPECT_GE(box->getResidentEntries(), 8807);
      EXPECT_LT(box->getResidentEntries(), box->getBufferSize() / 10);
    }

  // The lowest note in every voice, with the longest cross-fade and frames long enough to record
  // whole grains: no voice records beyond what is in memory, and the lowest voices fill it.
  midiMode(q, 8);
  q.set(kGrainOverlap, 50.0);
  q.set(kFrameLength, 1000.0);
  std::vector<plug::HostMidiEvent> notes;
  for (int note = 0; note < 8; ++note)
    notes.push_back(noteOn(note));
  q.apply(notes);
  q.render(noiseInput(48000));
  for (int v = 1; v < Quennet::kNumVoices; ++v)
    for (const GrainBox* box : {&q->voice(v).getBoxA(), &q->voice(v).getBoxB()})
      EXPECT_LE(box->getRecordedExtent(), box->getResidentEntries()) << "voice " << v;
  EXPECT_GT(q->voice(1).getBoxB().getRecordedExtent(), 8000) << "note 1 (8.662 Hz) records 8313 entries";
}

TEST(QuennetRender, PreparingTakesOverTheSettingsMadeBeforeIt)
{
  // Changes made while no audio runs reach the engine when the host prepares it, so that the
  // first block of audio does no more than any other.
  Rig q(0.0);
  q.set(kGrainMode, kGrainModeFreq);
  q.set(kMix, 0.25);
  EXPECT_FALSE(q->grainFreqMode()) << "not taken over before";
  q->PrepareToPlay(48000.0, 512);
  EXPECT_TRUE(q->grainFreqMode());
  EXPECT_EQ(q->mix(), 0.25);
}

TEST(QuennetRender, AnActivationStartsOverAsANewInstance)
{
  // Whatever an instance played before (notes held, grains and filters running), after an
  // activation it sounds as a new one, to the bit: the activation's own pass through the audio
  // path, which warms the caches for the first block, leaves nothing behind.
  const StereoBuffer before = noiseInput(20000, 3u);
  const StereoBuffer after = noiseInput(30000, 7u);
  for (int preset = 0; preset < 10; ++preset) {
    SCOPED_TRACE(preset);
    Rig fresh;
    Rig used;
    for (Rig* rig : {&fresh, &used})
      (*rig)->RestorePreset(preset);
    used.apply({noteOn(48), noteOn(60)});
    used.render(before);
    used->Activate();
    fresh.apply();

    RenderOptions options;
    options.midi = {{100, 0x90, 55, 100}, {9000, 0x90, 67, 90}, {21000, 0x80, 55, 0}};
    const StereoBuffer a = fresh.render(after, options);
    const StereoBuffer b = used.render(after, options);
    ASSERT_TRUE(a.left == b.left && a.right == b.right);
  }
}

// ---------------------------------------------------------------------------------------------
// The processing call as the plug-in sees it

TEST(QuennetRender, ZeroFrameBlockDeliversItsMidi)
{
  Rig q;
  midiMode(q, 4);
  q.apply({noteOn(60), noteOn(64, 90, 5)});
  EXPECT_EQ(q->noteCounter(), 2);
  EXPECT_EQ(heldVoices(*q), (std::vector<int>{0, 1}));
  EXPECT_TRUE(q->noteActive());
}

TEST(QuennetRender, LongerBlockResetsBeforeItIsProcessed)
{
  Rig q(0.0); // not prepared: the rate is only set
  q->SetSampleRate(48000.0);
  q.set(kGrainMode, kGrainModeSync);
  // The first block is longer than any before: the plug-in takes over 48 kHz before the block's
  // tempo sync, which needs the rate.
  q.renderSilence(512);
  EXPECT_EQ(q->sampleRate(), 48000.0);
  EXPECT_EQ(q->grainSyncSamples(), 24000);

  q->SetSampleRate(44100.0);
  q.renderSilence(512, blocksOf(512, 512.0));
  EXPECT_EQ(q->sampleRate(), 48000.0) << "no reset without a longer block";
  q.renderSilence(1024, blocksOf(1024, 1024.0));
  EXPECT_EQ(q->sampleRate(), 44100.0);
  EXPECT_EQ(q->grainSyncSamples(), 22050);
}

TEST(QuennetRender, BypassCopiesInputAndStillDeliversMidi)
{
  Rig q;
  midiMode(q, 4);
  q.set(kFrameSyncToHost, 1.0);
  q.renderSilence(1000);
  ASSERT_EQ(q->frameSyncCounter(), 1000);
  const double offset = q->highpassLeft().antiDenormal;

  const StereoBuffer in = noiseInput(333);
  StereoBuffer out(333);
  const float* inputs[2] = {in.left.data(), in.right.data()};
  float* outputs[2] = {out.left.data(), out.right.data()};
  const plug::HostMidiEvent midi[] = {noteOn(60), controlChange(1, 20)};
  plug::HostTransport transport;
  transport.hasTempo = transport.hasSamplePosition = true;
  transport.tempo = 120.0;
  transport.samplePosition = 1000.0;
  MidiCollector sent;
  plug::HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nFrames = 333;
  block.midi = midi;
  block.nMidi = 2;
  block.transport = &transport;
  block.bypass = true;
  block.midiOutput = &sent;
  q->RenderAudio(block);

  EXPECT_EQ(out.left, in.left);
  EXPECT_EQ(out.right, in.right);
  EXPECT_EQ(q->noteCounter(), 1);
  EXPECT_EQ(heldVoices(*q), (std::vector<int>{0}));
  ASSERT_EQ(sent.messages.size(), 2u);
  EXPECT_EQ(sent.messages[0].mStatus, 0x90);
  EXPECT_EQ(sent.messages[1].mStatus, 0xB0);
  // The audio path did not run: no sync step, no filter step.
  EXPECT_EQ(q->frameSyncCounter(), 1000);
  EXPECT_EQ(q->highpassLeft().antiDenormal, offset);
  EXPECT_EQ(q->envelope(0).mLevel, 0.0);
}

TEST(QuennetRender, EveryIncomingMessageGoesToTheMidiOutput)
{
  Rig q;
  midiMode(q, 4);
  const std::vector<TimedMidi> midi = {
    {0, 0x90, 60, 100}, {3, 0xB0, 7, 127},   {3, 0xB3, 123, 0},    {100, 0xE0, 0, 64},
    {511, 0xC4, 5, 0},  {512, 0xA0, 60, 30}, {600, 0xD2, 40, 0},   {700, 0xF8, 0, 0},
    {700, 0x80, 60, 0}, {1023, 0x9F, 62, 0}, {1500, 0xB0, 121, 0}, {1501, 0xFE, 0, 0},
  };
  MidiCollector sent;
  RenderOptions options;
  options.midi = midi;
  options.midiOut = &sent;
  q.renderSilence(2048, options);

  ASSERT_EQ(sent.messages.size(), midi.size());
  for (size_t i = 0; i < midi.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "message " << i);
    EXPECT_EQ(sent.messages[i].mOffset, midi[i].frame % 512);
    EXPECT_EQ(sent.messages[i].mStatus, midi[i].status);
    EXPECT_EQ(sent.messages[i].mData1, midi[i].data1);
    EXPECT_EQ(sent.messages[i].mData2, midi[i].data2);
  }

  // A zero-frame block passes its messages on as well.
  MidiCollector more;
  plug::HostMidiEvent event = controlChange(64, 127, 1);
  plug::HostBlock block;
  block.midi = &event;
  block.nMidi = 1;
  block.midiOutput = &more;
  q->RenderAudio(block);
  ASSERT_EQ(more.messages.size(), 1u);
  EXPECT_EQ(more.messages[0].mStatus, 0xB1);
  EXPECT_EQ(more.messages[0].mData1, 64);
}

TEST(QuennetRender, NoteFromTheEditorPlaysAtTheNextBlock)
{
  Rig q;
  midiMode(q, 4);
  plug::IMidiMsg msg;
  msg.mStatus = 0x90;
  msg.mData1 = 72;
  msg.mData2 = 100;
  ASSERT_TRUE(q->SendMidiMsgFromUI(msg));
  q.renderSilence(64);
  EXPECT_EQ(q->voiceNote(0), 72);
  EXPECT_EQ(q->noteCounter(), 1);
}
