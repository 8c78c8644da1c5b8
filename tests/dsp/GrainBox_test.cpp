// SPDX-License-Identifier: ISC
#include "dsp/GrainBox.h"

#include "ReferenceGrainEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace quennet;

namespace {
struct Settings {
  double sampleRate = 1000.0;
  bool frequencyMode = false;
  int grainSamples = 4;
  double grainPeriod = 1.0;
  double grainOverlap = 0.0;
  int frameSamples = 100;
};

void configure(GrainBox& box, const Settings& s)
{
  box.setSampleRate(s.sampleRate);
  box.setFrequencyMode(s.frequencyMode);
  box.setGrainSamples(s.grainSamples);
  box.setGrainPeriod(s.grainPeriod);
  box.setGrainOverlap(s.grainOverlap);
  box.setFrameSamples(s.frameSamples);
  box.resetFrame();
}

// Textbook Catmull-Rom between y1 and y2, written in its matrix form.
double catmullRom(double y0, double y1, double y2, double y3, double t)
{
  return 0.5 *
    (2.0 * y1 + (-y0 + y2) * t + (2.0 * y0 - 5.0 * y1 + 4.0 * y2 - y3) * t * t +
     (-y0 + 3.0 * y1 - 3.0 * y2 + y3) * t * t * t);
}
} // namespace

TEST(GrainBox, BufferHoldsOneAndAHalfMaximumGrains)
{
  struct Case {
    double rate;
    int bufferSize;
  };
  for (const Case& c : {Case{44100.0, 132300}, Case{48000.0, 144000}, Case{1000.0, 3000}, Case{22050.5, 66151}}) {
    SCOPED_TRACE(c.rate);
    GrainBox box;
    box.setSampleRate(c.rate);
    EXPECT_EQ(box.getBufferSize(), c.bufferSize);
  }
}

TEST(GrainBox, IgnoresUnusableAndUnchangedRates)
{
  GrainBox box;
  configure(box, Settings{});
  for (int n = 0; n < 5; ++n)
    box.process(Sample(1.0, 1.0));

  for (double rate : {1000.0, 0.0, -44100.0, std::numeric_limits<double>::quiet_NaN(), 1e12}) {
    SCOPED_TRACE(rate);
    box.setSampleRate(rate);
    EXPECT_EQ(box.getBufferSize(), 3000);
    EXPECT_EQ(box.getFrameCounter(), 5);
    EXPECT_EQ(box.getGrainPosition(), 1.0);
  }
}

TEST(GrainBox, SilentBeforeFirstSampleRate)
{
  GrainBox box;
  box.resetFrame();
  for (int n = 0; n < 10; ++n) {
    const Sample out = box.process(Sample(1.0, -1.0));
    EXPECT_EQ(out.left, 0.0);
    EXPECT_EQ(out.right, 0.0);
  }
  EXPECT_EQ(box.getFrameCounter(), 0);
}

// With skew 0 only the falling side is used, with skew 1 only the rising side; at x = 0.5 both
// give 1 - 0.5^exponent.
TEST(GrainBox, FadeAmountSetsCurveExponent)
{
  struct Case {
    double amount;
    double atHalf;
  };
  const Case cases[] = {
    {0.0, 1.0}, // side switched off
    {1e-9, 0.9999847412099991}, // exponent just below 16
    {0.25, 0.9375}, // exponent 4
    {0.5, 0.5}, // exponent 1
    {0.75, 0.2928932188134524}, // exponent 0.5
    {1.0, 0.1591035847462855}, // exponent 0.25
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.amount);
    GrainBox box;
    box.setGrainFadeOut(c.amount);
    box.setFrameFadeIn(c.amount);
    box.setGrainSkew(0.0);
    box.setFrameSkew(1.0);
    EXPECT_NEAR(box.getGrainEnvelope(0.5), c.atHalf, 1e-12);
    EXPECT_NEAR(box.getFrameEnvelope(0.5), c.atHalf, 1e-12);

    box.setGrainFadeIn(c.amount);
    box.setFrameFadeOut(c.amount);
    box.setGrainSkew(1.0);
    box.setFrameSkew(0.0);
    EXPECT_NEAR(box.getGrainEnvelope(0.5), c.atHalf, 1e-12);
    EXPECT_NEAR(box.getFrameEnvelope(0.5), c.atHalf, 1e-12);
  }
}

TEST(GrainBox, EnvelopeRisesToSkewAndFalls)
{
  GrainBox box;
  box.setGrainFadeIn(0.5);
  box.setGrainFadeOut(0.5);
  box.setGrainSkew(0.5);
  EXPECT_DOUBLE_EQ(box.getGrainEnvelope(0.0), 0.0);
  EXPECT_DOUBLE_EQ(box.getGrainEnvelope(0.25), 0.5);
  EXPECT_DOUBLE_EQ(box.getGrainEnvelope(0.5), 1.0);
  EXPECT_DOUBLE_EQ(box.getGrainEnvelope(0.75), 0.5);

  // Skew 0: no rising side, the grain starts at full level even with the fade-in on.
  box.setGrainSkew(0.0);
  EXPECT_DOUBLE_EQ(box.getGrainEnvelope(0.0), 1.0);

  // Skew 1 has no falling side; its end point stays at the peak instead of 0/0.
  box.setGrainSkew(1.0);
  EXPECT_DOUBLE_EQ(box.getGrainEnvelope(1.0), 1.0);
}

TEST(GrainBox, FirstGrainPassesInputAndLaterGrainsReplayIt)
{
  GrainBox box;
  configure(box, Settings{.grainSamples = 4, .frameSamples = 12});

  const double expected[] = {1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4};
  for (int n = 0; n < 12; ++n) {
    const Sample out = box.process(Sample(n + 1.0, -(n + 1.0)));
    EXPECT_EQ(out.left, expected[n]) << "sample " << n;
    EXPECT_EQ(out.right, -expected[n]) << "sample " << n;
  }

  // Frame over: silent and frozen.
  for (int n = 0; n < 5; ++n) {
    const Sample out = box.process(Sample(7.0, 7.0));
    EXPECT_EQ(out.left, 0.0);
    EXPECT_EQ(out.right, 0.0);
  }
  EXPECT_EQ(box.getFrameCounter(), 12);
}

TEST(GrainBox, IntegerGrainStaysBelowTwoSeconds)
{
  struct Case {
    int requested;
    int stored;
    double length;
  };
  for (const Case& c : {Case{88200, 88199, 88199.0}, Case{100000, 88199, 88199.0}, Case{88199, 88199, 88199.0},
                        Case{0, 0, 1.0}, Case{-5, -5, 1.0}}) {
    SCOPED_TRACE(c.requested);
    GrainBox box;
    configure(box, Settings{.sampleRate = 44100.0, .grainSamples = c.requested});
    EXPECT_EQ(box.getGrainSamples(), c.stored);
    EXPECT_EQ(box.getGrainLength(), c.length);
  }
}

TEST(GrainBox, FrequencyModeRestartsGrainsAtFractionalPositions)
{
  GrainBox box;
  const double length = 44100.0 / 110.0; // 400.909…
  configure(box,
            Settings{.sampleRate = 44100.0, .frequencyMode = true, .grainPeriod = 1.0 / 110.0, .frameSamples = 5000});
  EXPECT_NEAR(box.getGrainLength(), length, 1e-9);

  // Input n at sample n: the buffer holds a ramp, and the interpolated read of a ramp is exact.
  for (int n = 0; n < 1300; ++n) {
    const double position = box.getGrainPosition();
    const Sample out = box.process(Sample(n, 2.0 * n));
    // Grain k starts at sample ceil(k · length), at position k · length's fractional shortfall.
    for (int k = 1; k <= 3; ++k) {
      if (n == static_cast<int>(std::ceil(k * length))) {
        EXPECT_NEAR(position, k / 11.0, 1e-9) << "grain " << k;
      }
    }

    // Reads lag the position by two samples; the first three reads of a grain still see the end
    // of the previous one.
    const bool settled = (n >= 2 && n <= 400) || (n >= 404 && n <= 801);
    if (settled) {
      EXPECT_NEAR(out.left, position - 2.0, 1e-9) << "sample " << n;
      EXPECT_NEAR(out.right, 2.0 * (position - 2.0), 1e-9) << "sample " << n;
    }
    if (n < 2) {
      EXPECT_EQ(out.left, 0.0);
    }
  }
}

TEST(GrainBox, CubicReadIsCatmullRomTwoSamplesLate)
{
  GrainBox box;
  configure(box, Settings{.frequencyMode = true, .grainPeriod = 0.1});
  // Record an impulse at buffer index 2.
  for (double x : {0.0, 0.0, 1.0, 0.0, 0.0, 0.0})
    box.process(Sample(x, -x));

  // The tail reader's history is untouched (no overlap), so it starts from zeros.
  const double expected[] = {0.0, 0.0, -0.0625, 0.5625, 0.5625, -0.0625};
  for (int i = 0; i < 6; ++i) {
    const Sample s = box.getSample(i + 0.5, true);
    EXPECT_DOUBLE_EQ(s.left, expected[i]) << "position " << i + 0.5;
    EXPECT_DOUBLE_EQ(s.right, -expected[i]) << "position " << i + 0.5;
  }
}

// Grain 8 with 50 % overlap: cross-fade 4, span 12. Input n + 1 for the first 12 samples.
TEST(GrainBox, GrainCrossFadeMixesTailReaderLinearly)
{
  GrainBox box;
  configure(box, Settings{.grainSamples = 8, .grainOverlap = 50.0, .frameSamples = 12});
  EXPECT_EQ(box.getGrainSpan(), 12.0);

  // First grain: the tail reads the unrecorded (zeroed) buffer 8 … 11 while the head fades in.
  // Second grain: tail 9 … 12 fades out while the head 1 … 4 fades in, f = 0, 1/4, 2/4, 3/4.
  const double expected[] = {0, 0.5, 1.5, 3, 5, 6, 7, 8, 9, 8, 7, 6};
  for (int n = 0; n < 12; ++n)
    EXPECT_DOUBLE_EQ(box.process(Sample(n + 1.0, n + 1.0)).left, expected[n]) << "sample " << n;

  // Frame over: nothing is recorded, so the next frame's first cross-fade still hears 9 … 12.
  for (int n = 0; n < 10; ++n)
    EXPECT_EQ(box.process(Sample(5000.0, 5000.0)).left, 0.0);
  box.resetFrame();
  const double next[] = {9, 102 * 0.25 + 0.75 * 10, 103 * 0.5 + 0.5 * 11, 104 * 0.75 + 0.25 * 12, 105, 106};
  for (int n = 0; n < 6; ++n)
    EXPECT_DOUBLE_EQ(box.process(Sample(101.0 + n, 101.0 + n)).left, next[n]) << "sample " << n;
}

// 110 Hz at 44100 Hz with 50 % overlap: cross-fade floor(200.45) = 200 samples. The tail reader
// continues the main reader's interpolation history, so on a ramp it reads exactly q - 2.
TEST(GrainBox, FractionalCrossFadeContinuesMainHistory)
{
  GrainBox box;
  const double length = 44100.0 / 110.0;
  configure(box,
            Settings{.sampleRate = 44100.0,
                     .frequencyMode = true,
                     .grainPeriod = 1.0 / 110.0,
                     .grainOverlap = 50.0,
                     .frameSamples = 5000});
  EXPECT_NEAR(box.getGrainSpan(), length + 200.0, 1e-9);

  for (int n = 0; n < 700; ++n) {
    const double p = box.getGrainPosition();
    const double out = box.process(Sample(n, n)).left;
    const double f = p / 200.0;
    if (n >= 2 && n < 200) {
      // First grain: the tail reads zeros from the freshly cleared buffer.
      EXPECT_NEAR(out, (p - 2.0) * f, 1e-9) << "sample " << n;
    } else if (n == 401) {
      // Head: last three values of the previous grain and buffer[0]; tail: 398, 399, 400, 401.
      const double q = length + p;
      const double head = catmullRom(398, 399, 400, 0, p);
      const double tail = catmullRom(398, 399, 400, 401, q - 401.0);
      EXPECT_NEAR(out, head * f + (1.0 - f) * tail, 1e-9);
    } else if (n >= 404 && n < 600) {
      const double q = length + p;
      EXPECT_NEAR(out, (p - 2.0) * f + (1.0 - f) * (q - 2.0), 1e-9) << "sample " << n;
    }
  }
}

TEST(GrainBox, EnvelopesShapeEachGrainAndTheFrame)
{
  // Grain 4, linear fade-out from the start: 1 - p / 4 in every grain.
  GrainBox grain;
  grain.setGrainFadeOut(0.5);
  configure(grain, Settings{.grainSamples = 4, .frameSamples = 8});
  const double grainExpected[] = {1, 0.75, 0.5, 0.25, 1, 0.75, 0.5, 0.25};
  for (double e : grainExpected)
    EXPECT_DOUBLE_EQ(grain.process(Sample(2.0, 2.0)).left, 2.0 * e);

  // Frame 4, linear fade-in to the end: counter / 4.
  GrainBox frame;
  frame.setFrameFadeIn(0.5);
  frame.setFrameSkew(1.0);
  configure(frame, Settings{.grainSamples = 100, .frameSamples = 4});
  for (double e : {0.0, 0.25, 0.5, 0.75, 0.0})
    EXPECT_DOUBLE_EQ(frame.process(Sample(2.0, 2.0)).left, 2.0 * e);
}

TEST(GrainBox, SilentWhenGrainDoesNotFit)
{
  struct Case {
    const char* name;
    bool frequencyMode;
    int grainSamples;
    double grainPeriod;
    double grainOverlap;
    bool sounds;
  };
  // At 1000 Hz the buffer holds 3000 samples.
  const Case cases[] = {
    {"2.5 s grain fits", true, 0, 2.5, 0.0, true},
    {"2.5 s grain plus 50 % does not", true, 0, 2.5, 50.0, false},
    {"10 s grain", true, 0, 10.0, 0.0, false},
    {"infinite period", true, 0, 1.0 / 1e-310, 0.0, false},
    {"largest integer grain plus 50 %", false, 5000, 1.0, 50.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GrainBox box;
    configure(box,
              Settings{.frequencyMode = c.frequencyMode,
                       .grainSamples = c.grainSamples,
                       .grainPeriod = c.grainPeriod,
                       .grainOverlap = c.grainOverlap,
                       .frameSamples = 5000});
    bool anySound = false;
    for (int n = 0; n < 50; ++n) {
      const Sample out = box.process(Sample(1.0, 1.0));
      EXPECT_FALSE(std::isnan(out.left));
      anySound = anySound || out.left != 0.0;
    }
    EXPECT_EQ(anySound, c.sounds);
    EXPECT_EQ(box.getFrameCounter(), c.sounds ? 50 : 0);
  }
}

// floor(overlap × length × 0.01) in that order: 29 × 100 × 0.01 gives 29, while 29 × 0.01 × 100
// would round below 29 and floor to 28.
TEST(GrainBox, CrossFadeLengthIsAWholeNumberOfSamples)
{
  struct Case {
    int grain;
    double overlap;
    double span;
  };
  for (const Case& c : {Case{8, 50.0, 12.0}, Case{100, 29.0, 129.0}, Case{1999, 50.0, 2998.0}, Case{7, 50.0, 10.0},
                        Case{7, 0.0, 7.0}}) {
    SCOPED_TRACE(testing::Message() << c.grain << " samples, " << c.overlap << " %");
    GrainBox box;
    configure(box, Settings{.grainSamples = c.grain, .grainOverlap = c.overlap});
    EXPECT_EQ(box.getGrainLength(), c.grain);
    EXPECT_EQ(box.getGrainSpan(), c.span);
  }
}

TEST(GrainBox, NegativeOverlapMeansNoCrossFade)
{
  GrainBox box;
  configure(box, Settings{.grainSamples = 4, .grainOverlap = -300.0, .frameSamples = 8});
  EXPECT_EQ(box.getGrainSpan(), 4.0);
  const double expected[] = {1, 2, 3, 4, 1, 2, 3, 4};
  for (int n = 0; n < 8; ++n)
    EXPECT_EQ(box.process(Sample(n + 1.0, n + 1.0)).left, expected[n]);
}

TEST(GrainBox, FrameOfZeroOrLessSoundsOneSample)
{
  for (int frameSamples : {0, -7}) {
    SCOPED_TRACE(frameSamples);
    GrainBox box;
    configure(box, Settings{.frameSamples = frameSamples});
    EXPECT_EQ(box.getFrameLength(), 1);
    EXPECT_EQ(box.process(Sample(3.0, 3.0)).left, 3.0);
    EXPECT_EQ(box.process(Sample(3.0, 3.0)).left, 0.0);
  }
}

TEST(GrainBox, SampleRateChangeClearsRecordingAndRestartsCounting)
{
  GrainBox box;
  configure(box, Settings{.grainSamples = 8, .grainOverlap = 50.0, .frameSamples = 100});
  for (int n = 0; n < 20; ++n)
    box.process(Sample(n + 1.0, n + 1.0));

  box.setSampleRate(2000.0);
  EXPECT_EQ(box.getBufferSize(), 6000);
  EXPECT_EQ(box.getFrameCounter(), 0);
  EXPECT_EQ(box.getGrainPosition(), 0.0);

  // Same settings at the new rate: the first cross-fade's tail now reads zeros.
  box.resetFrame();
  const double expected[] = {0, 102 * 0.25, 103 * 0.5, 104 * 0.75, 105};
  for (int n = 0; n < 5; ++n)
    EXPECT_DOUBLE_EQ(box.process(Sample(101.0 + n, 101.0 + n)).left, expected[n]);
}

TEST(GrainBox, ExtremeSkewsNeverProduceNaN)
{
  for (double grainSkew : {0.0, 1.0})
    for (double frameSkew : {0.0, 1.0}) {
      SCOPED_TRACE(testing::Message() << "grain skew " << grainSkew << ", frame skew " << frameSkew);
      GrainBox box;
      box.setGrainFadeIn(0.2);
      box.setGrainFadeOut(0.2);
      box.setFrameFadeIn(0.2);
      box.setFrameFadeOut(0.2);
      box.setGrainSkew(grainSkew);
      box.setFrameSkew(frameSkew);
      configure(box,
                Settings{.sampleRate = 44100.0,
                         .frequencyMode = true,
                         .grainPeriod = 1.0 / 3001.0,
                         .grainOverlap = 50.0,
                         .frameSamples = 3000});
      for (int frame = 0; frame < 3; ++frame) {
        for (int n = 0; n < 3000; ++n) {
          const Sample out = box.process(Sample(std::sin(n * 0.1), std::cos(n * 0.1)));
          ASSERT_TRUE(std::isfinite(out.left) && std::isfinite(out.right)) << "sample " << n;
        }
        box.resetFrame();
      }
    }
}

// ---------------------------------------------------------------------------------------------
// Blocks against the per-sample box as it first shipped (tests/support/ReferenceGrainEngine.h)

namespace {
// Stereo input that floats hold exactly (the recording holds floats), as every host delivers it:
// multiples of 2^-20 below 2 in magnitude.
std::vector<Sample> floatMaterial(int frames, unsigned seed)
{
  auto quantise = [](double x) { return std::ldexp(std::round(std::ldexp(x, 20)), -20); };
  std::vector<Sample> in(static_cast<size_t>(frames));
  unsigned state = seed;
  for (int n = 0; n < frames; ++n) {
    state = state * 1664525u + 1013904223u;
    const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    in[static_cast<size_t>(n)] =
      Sample(quantise(std::sin(0.031 * n) + 0.3 * noise), quantise(0.5 * std::cos(0.017 * n) - 0.2 * noise));
  }
  return in;
}

struct BoxCase {
  const char* name;
  double rate;
  bool frequencyMode;
  int grainSamples;
  double grainPeriod;
  double grainOverlap;
  int frameSamples;
  double grainFadeIn, grainFadeOut, grainSkew;
  double frameFadeIn, frameFadeOut, frameSkew;
  bool exact; // no power other than exponent 1 (or none): the same numbers to the bit
};

template <typename Box>
void configureBox(Box& box, const BoxCase& c)
{
  box.setSampleRate(c.rate);
  box.setFrequencyMode(c.frequencyMode);
  box.setGrainSamples(c.grainSamples);
  box.setGrainPeriod(c.grainPeriod);
  box.setGrainOverlap(c.grainOverlap);
  box.setFrameSamples(c.frameSamples);
  box.setGrainFadeIn(c.grainFadeIn);
  box.setGrainFadeOut(c.grainFadeOut);
  box.setGrainSkew(c.grainSkew);
  box.setFrameFadeIn(c.frameFadeIn);
  box.setFrameFadeOut(c.frameFadeOut);
  box.setFrameSkew(c.frameSkew);
  box.resetFrame();
}

// Both boxes through the same input, the block one in blocks of `blockSize`; every `restartEvery`
// samples a grain restart and every `frameEvery` a frame restart, at block edges as the owner
// makes them. Compares every output sample, and the positions after every block.
void compareWithReference(const BoxCase& c, int blockSize, int restartEvery, int frameEvery)
{
  SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << blockSize);
  reference::GrainBox ref;
  GrainBox box;
  configureBox(ref, c);
  configureBox(box, c);
  const std::vector<Sample> in = floatMaterial(6000, 17u);
  std::vector<double> inL(in.size()), inR(in.size()), outL(in.size()), outR(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    inL[i] = in[i].left;
    inR[i] = in[i].right;
  }
  const double tolerance = c.exact ? 0.0 : 1e-13;
  for (int start = 0; start < static_cast<int>(in.size()); start += blockSize) {
    if (restartEvery > 0 && start > 0 && start % restartEvery < blockSize) {
      ref.resetGrain();
      box.resetGrain();
    }
    if (frameEvery > 0 && start > 0 && start % frameEvery < blockSize) {
      ref.resetFrame();
      box.resetFrame();
    }
    const int n = std::min(blockSize, static_cast<int>(in.size()) - start);
    box.process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
    for (int i = start; i < start + n; ++i) {
      const Sample expected = ref.process(in[static_cast<size_t>(i)]);
      ASSERT_NEAR(outL[static_cast<size_t>(i)], expected.left, tolerance) << "sample " << i;
      ASSERT_NEAR(outR[static_cast<size_t>(i)], expected.right, tolerance) << "sample " << i;
    }
    ASSERT_EQ(box.getGrainPosition(), ref.getGrainPosition()) << "after sample " << start + n;
    ASSERT_EQ(box.getFrameCounter(), ref.getFrameCounter());
  }
}

const BoxCase kBoxCases[] = {
  {"integer grains, no fades", 48000.0, false, 960, 1.0, 0.0, 4000, 0, 0, 0.5, 0, 0, 0.5, true},
  {"integer grains, linear fades, cross-fades", 48000.0, false, 300, 1.0, 50.0, 2500, 0.5, 0.5, 0.3, 0.5, 0.0, 0.7,
   true},
  {"integer grains longer than the frame", 1000.0, false, 1500, 1.0, 33.0, 700, 0.2, 0.2, 0.5, 0.75, 1.0, 0.5, false},
  {"fractional grains at 110 Hz", 48000.0, true, 0, 1.0 / 110.0, 0.0, 2400, 0, 0, 0.5, 0, 0, 0.5, true},
  {"fractional grains, general fades, cross-fades", 44100.0, true, 0, 1.0 / 441.7, 40.0, 3001, 0.2, 0.3, 0.5, 0.1, 0.8,
   0.25, false},
  {"short fractional grains (shorter than a pass)", 8000.0, true, 0, 1.0 / 730.0, 50.0, 1000, 0.25, 0.0, 0.0, 0.0, 0.0,
   0.5, false},
  {"fractional grains below one sample", 1000.0, true, 0, 1.0 / 1500.0, 20.0, 500, 0.5, 0.5, 0.5, 0, 0, 0.5, true},
  {"peak at the end, fades 0.75 and 1", 48000.0, true, 0, 1.0 / 97.3, 10.0, 5000, 0.75, 1.0, 1.0, 1.0, 0.75, 0.0,
   false},
};
} // namespace

TEST(GrainBox, BlocksGiveThePerSampleNumbers)
{
  for (const BoxCase& c : kBoxCases)
    for (int blockSize : {1, 7, 128, 301})
      compareWithReference(c, blockSize, 0, 0);
}

TEST(GrainBox, BlocksGiveThePerSampleNumbersAcrossGrainAndFrameRestarts)
{
  for (const BoxCase& c : kBoxCases)
    for (int blockSize : {13, 256})
      compareWithReference(c, blockSize, 1111, 2222);
}

TEST(GrainBox, BlocksFollowLengthsChangedWithoutAFrameStart)
{
  // The owner may take over new lengths without restarting the frame: the position may then lie
  // beyond the new grain, and reads fall outside the recorded stretch for a while.
  for (bool frequencyMode : {false, true})
    for (int blockSize : {1, 50, 128}) {
      SCOPED_TRACE(testing::Message() << "frequency mode " << frequencyMode << ", blocks of " << blockSize);
      const BoxCase c{"", 1000.0, frequencyMode, 400, 0.4, 25.0, 3000, 0.5, 0.5, 0.5, 0, 0, 0.5, true};
      reference::GrainBox ref;
      GrainBox box;
      configureBox(ref, c);
      configureBox(box, c);
      const std::vector<Sample> in = floatMaterial(2000, 5u);
      for (int start = 0; start < 2000; start += blockSize) {
        if (start >= 330 && start < 330 + blockSize) {
          ref.setGrainSamples(100);
          box.setGrainSamples(100);
          ref.setGrainPeriod(0.1);
          box.setGrainPeriod(0.1);
          ref.setGrainBoxProperties();
          box.setGrainBoxProperties();
        }
        const int n = std::min(blockSize, 2000 - start);
        double inL[128], inR[128], outL[128], outR[128];
        for (int i = 0; i < n; ++i) {
          inL[i] = in[static_cast<size_t>(start + i)].left;
          inR[i] = in[static_cast<size_t>(start + i)].right;
        }
        box.process(inL, inR, outL, outR, n);
        for (int i = 0; i < n; ++i) {
          const Sample expected = ref.process(in[static_cast<size_t>(start + i)]);
          ASSERT_EQ(outL[i], expected.left) << "sample " << start + i;
          ASSERT_EQ(outR[i], expected.right) << "sample " << start + i;
        }
        ASSERT_EQ(box.getGrainPosition(), ref.getGrainPosition());
      }
    }
}

TEST(GrainBox, RecordingWithoutOutputLeavesTheSameState)
{
  // Stretches recorded without output, then heard: the same numbers as heard all along. Stretches
  // of one sample, a few, a pass and more than a pass, crossing grain starts and cross-fades.
  for (const BoxCase& c : kBoxCases)
    for (int stretch : {1, 3, 100, 129, 300}) {
      SCOPED_TRACE(testing::Message() << c.name << ", stretches of " << stretch);
      reference::GrainBox ref;
      GrainBox box;
      configureBox(ref, c);
      configureBox(box, c);
      const std::vector<Sample> in = floatMaterial(3000, 9u);
      std::vector<double> inL(in.size()), inR(in.size()), outL(in.size()), outR(in.size());
      for (size_t i = 0; i < in.size(); ++i) {
        inL[i] = in[i].left;
        inR[i] = in[i].right;
      }
      bool restarted = false;
      for (int start = 0; start < 3000; start += stretch) {
        const int n = std::min(stretch, 3000 - start);
        const bool heard = (start / stretch) % 3 == 2;
        if (heard)
          box.process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
        else
          box.record(inL.data() + start, inR.data() + start, n);
        for (int i = start; i < start + n; ++i) {
          const Sample expected = ref.process(in[static_cast<size_t>(i)]);
          if (heard) {
            ASSERT_NEAR(outL[static_cast<size_t>(i)], expected.left, c.exact ? 0.0 : 1e-13) << "sample " << i;
            ASSERT_NEAR(outR[static_cast<size_t>(i)], expected.right, c.exact ? 0.0 : 1e-13) << "sample " << i;
          }
        }
        ASSERT_EQ(box.getGrainPosition(), ref.getGrainPosition());
        ASSERT_EQ(box.getFrameCounter(), ref.getFrameCounter());
        if (start >= 1500 && !restarted) {
          restarted = true;
          ref.resetFrame();
          box.resetFrame();
        }
      }
    }
}

TEST(GrainBox, UnheardStretchesKeepTheHistoriesForInterpolatedReadsLater)
{
  // Interpolation switched off for an unheard stretch that crosses grain starts, then on again
  // (the owner may switch it at any sample): the recording, the positions and the readers'
  // histories are what heard samples would have left, so the interpolated reads after it match.
  const BoxCase c{"", 1000.0, true, 0, 0.0371, 40.0, 3000, 0.5, 0.5, 0.5, 0, 0, 0.5, true};
  reference::GrainBox ref;
  GrainBox box;
  configureBox(ref, c);
  configureBox(box, c);
  const std::vector<Sample> in = floatMaterial(1500, 4u);
  for (int n = 0; n < 1500; ++n) {
    const bool interpolated = n < 500 || n >= 800;
    ref.setFrequencyMode(interpolated);
    box.setFrequencyMode(interpolated);
    const Sample expected = ref.process(in[static_cast<size_t>(n)]);
    if (n >= 500 && n < 800) {
      if (n == 500) {
        std::vector<double> left, right;
        for (int k = 500; k < 800; ++k) {
          left.push_back(in[static_cast<size_t>(k)].left);
          right.push_back(in[static_cast<size_t>(k)].right);
        }
        box.record(left.data(), right.data(), 300);
      }
      continue;
    }
    const Sample out = box.process(in[static_cast<size_t>(n)]);
    ASSERT_EQ(out.left, expected.left) << "sample " << n;
    ASSERT_EQ(out.right, expected.right) << "sample " << n;
  }
}

TEST(GrainBox, RecordingANaNIsReported)
{
  GrainBox box;
  configure(box, Settings{.grainSamples = 10, .frameSamples = 100});
  double in[4] = {0.5, 0.25, 1e300, 0.0}; // 1e300 is infinite as a float
  double out[4];
  box.process(in, in, out, out, 2);
  EXPECT_TRUE(box.holdsOnlyFinite());
  box.record(in + 2, in + 2, 2);
  EXPECT_FALSE(box.holdsOnlyFinite());
  // A new rate clears the recording.
  box.setSampleRate(2000.0);
  EXPECT_TRUE(box.holdsOnlyFinite());
}

TEST(GrainBox, RecordingHoldsFloats)
{
  // Input samples arrive as floats from every host; the recording keeps them as floats.
  GrainBox box;
  configure(box, Settings{.grainSamples = 4, .frameSamples = 10});
  const Sample out = box.process(Sample(0.1, -1e-50));
  EXPECT_EQ(out.left, static_cast<double>(0.1f));
  EXPECT_EQ(out.right, 0.0);
  EXPECT_TRUE(std::signbit(out.right));
}

// ---------------------------------------------------------------------------------------------
// Few samples at a time against long blocks

namespace {
// Something the owner does between two samples.
struct BoxEvent {
  int at; // before this sample
  enum Kind {
    kGrainRestart,
    kFrameRestart,
    kSkews, // new skews through the setters
    kFades, // new fade amounts through the setters
    kLengths, // new lengths taken over without a frame start
  } kind;
};

const BoxEvent kBoxEvents[] = {{700, BoxEvent::kGrainRestart},  {1300, BoxEvent::kSkews},
                               {1900, BoxEvent::kFrameRestart}, {2450, BoxEvent::kFades},
                               {3100, BoxEvent::kLengths},      {3500, BoxEvent::kGrainRestart},
                               {4200, BoxEvent::kFrameRestart}, {4205, BoxEvent::kSkews}};

// The box through `in` in blocks of `blockSize`, split where the events come.
std::vector<Sample> runInBlocks(const BoxCase& c, const std::vector<Sample>& in, int blockSize)
{
  GrainBox box;
  configureBox(box, c);
  std::vector<double> inL(in.size()), inR(in.size()), outL(in.size()), outR(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    inL[i] = in[i].left;
    inR[i] = in[i].right;
  }
  const int total = static_cast<int>(in.size());
  size_t next = 0;
  for (int start = 0; start < total;) {
    while (next < std::size(kBoxEvents) && kBoxEvents[next].at == start) {
      switch (kBoxEvents[next++].kind) {
        case BoxEvent::kGrainRestart: box.resetGrain(); break;
        case BoxEvent::kFrameRestart: box.resetFrame(); break;
        case BoxEvent::kSkews:
          box.setGrainSkew(1.0 - c.grainSkew);
          box.setFrameSkew(0.5 * c.frameSkew + 0.1);
          break;
        case BoxEvent::kFades:
          box.setGrainFadeIn(c.grainFadeOut);
          box.setGrainFadeOut(0.3);
          box.setFrameFadeOut(0.6);
          break;
        case BoxEvent::kLengths:
          box.setGrainSamples(c.grainSamples / 2 + 1);
          box.setGrainPeriod(c.grainPeriod * 0.7);
          box.setFrameSamples(c.frameSamples + 300);
          box.setGrainBoxProperties();
          break;
      }
    }
    const int until = next < std::size(kBoxEvents) ? kBoxEvents[next].at : total;
    const int n = std::min(blockSize, until - start);
    box.process(inL.data() + start, inR.data() + start, outL.data() + start, outR.data() + start, n);
    start += n;
  }
  std::vector<Sample> out(in.size());
  for (size_t i = 0; i < in.size(); ++i)
    out[i] = Sample(outL[i], outR[i]);
  return out;
}
} // namespace

TEST(GrainBox, FewSamplesAtATimeGiveTheBlockNumbersToTheBit)
{
  // A box called with a sample or a few at a time goes sample by sample and works its envelopes
  // out ahead: the same numbers as long blocks, also with general fade powers, across grain and
  // frame restarts, skews and fades changed in the middle of a frame, and lengths changed without
  // a frame start.
  const std::vector<Sample> in = floatMaterial(5000, 23u);
  for (const BoxCase& c : kBoxCases) {
    const std::vector<Sample> expected = runInBlocks(c, in, 128);
    for (int blockSize : {1, 2, 3, 4, 5}) {
      SCOPED_TRACE(testing::Message() << c.name << ", blocks of " << blockSize);
      const std::vector<Sample> out = runInBlocks(c, in, blockSize);
      for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(out[i].left, expected[i].left) << "sample " << i;
        ASSERT_EQ(out[i].right, expected[i].right) << "sample " << i;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Reset

TEST(GrainBox, ResetGivesANewBox)
{
  // A box that has played, reset, sounds like a new box with the same settings: its recording is
  // silent (a cross-fade at the frame start reads ahead of the recording, into what the box held),
  // its readers' histories are empty, and until the next frame start it has the lengths of a new box.
  const BoxCase c{"", 48000.0, true, 0, 1.0 / 233.0, 50.0, 3000, 0.2, 0.3, 0.4, 0.25, 0.1, 0.5, false};
  const std::vector<Sample> before = floatMaterial(4000, 3u);
  const std::vector<Sample> after = floatMaterial(6000, 8u);
  GrainBox fresh;
  GrainBox used;
  configureBox(fresh, c);
  configureBox(used, c);
  for (const Sample& s : before)
    used.process(s);
  ASSERT_GT(used.getFrameCounter(), 0);

  used.reset();
  fresh.reset(); // back to the lengths of a box that never started a frame, like `used`
  EXPECT_EQ(used.getFrameCounter(), 0);
  EXPECT_EQ(used.getFrameLength(), 1);
  EXPECT_EQ(used.getGrainSpan(), 1.0);
  EXPECT_TRUE(used.holdsOnlyFinite());
  // Before the next frame start both sound for one sample (a new box's frame of one), then not.
  for (size_t i = 0; i < 2; ++i) {
    const Sample expected = fresh.process(after[i]);
    const Sample out = used.process(after[i]);
    EXPECT_EQ(out.left, expected.left) << "sample " << i;
    EXPECT_EQ(out.right, expected.right) << "sample " << i;
  }

  used.resetFrame();
  fresh.resetFrame();
  for (size_t i = 2; i < after.size(); ++i) {
    const Sample expected = fresh.process(after[i]);
    const Sample out = used.process(after[i]);
    ASSERT_EQ(out.left, expected.left) << "sample " << i;
    ASSERT_EQ(out.right, expected.right) << "sample " << i;
  }
}

TEST(GrainBox, ResetSilencesWhatTheTailReaderWouldReadAhead)
{
  // Grains of 10 with a cross-fade of 5: at a frame start the tail reader reads positions 10 … 14,
  // which the new frame has not recorded yet. An infinity recorded there before the reset is gone.
  GrainBox box;
  configure(box, Settings{.grainSamples = 10, .grainOverlap = 50.0, .frameSamples = 100});
  for (int n = 0; n < 15; ++n)
    box.process(Sample(n == 12 ? std::numeric_limits<double>::infinity() : 0.5, 0.5));
  ASSERT_FALSE(box.holdsOnlyFinite());

  box.reset();
  EXPECT_TRUE(box.holdsOnlyFinite());
  box.resetFrame();
  for (int p = 0; p < 5; ++p) {
    // The new grain fades in over a silent tail: 0.25 · f, f = p / 5.
    const Sample s = box.process(Sample(0.25, 0.25));
    EXPECT_EQ(s.left, 0.25 * (p * 0.2)) << "sample " << p;
    EXPECT_EQ(s.right, 0.25 * (p * 0.2)) << "sample " << p;
  }
}

TEST(GrainBox, FramesLongerThanTheRecordingRecordOnlyItsStart)
{
  // At 1000 Hz the recording holds 3000 entries. Frames of 10000 samples with grains of 100 record
  // their first 100 samples and play the rest; unheard or heard, the box has then written only
  // those, and a reset clears only those (never beyond the recording's end).
  for (bool heard : {true, false}) {
    SCOPED_TRACE(heard ? "heard" : "unheard");
    GrainBox box;
    configure(box, Settings{.grainSamples = 100, .frameSamples = 10000});
    std::vector<double> in(10000, 0.25), out(10000);
    for (int start = 0; start < 10000; start += 500)
      if (heard)
        box.process(in.data() + start, in.data() + start, out.data() + start, out.data() + start, 500);
      else
        box.record(in.data() + start, in.data() + start, 500);
    EXPECT_EQ(box.getFrameCounter(), 10000);
    EXPECT_EQ(box.getRecordedExtent(), 100);
    box.reset();
    EXPECT_EQ(box.getRecordedExtent(), 0);
  }
}
