// SPDX-License-Identifier: ISC
#include "dsp/ADSR.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace quennet;

namespace {
// Per-sample coefficients at 44100 Hz, 10^(2.3 - 4.5 v) · ln 10 / 44100, worked out separately.
constexpr double kAttack0At44100 = 0.010417825993333631; // v = 0
constexpr double kDecay0At44100 = 0.001311526587865752; // mapped decay 0.2
constexpr double kAttackTarget = 10.0 / 9.0;
constexpr double kReleaseTarget = -1.0 / 9.0;

// Updates until the envelope leaves stage `stage`; -1 if it has not after `limit` updates.
int updatesToLeave(ADSR& env, int stage, int limit = 10000000)
{
  for (int n = 1; n <= limit; ++n) {
    env.update();
    if (env.mStage != stage)
      return n;
  }
  return -1;
}

ADSR makeEnvelope(double attack, double decay, double sustain, double release, double rate = 44100.0)
{
  ADSR env;
  env.setSampleRate(rate);
  env.setAttack(attack);
  env.setDecay(decay);
  env.setSustain(sustain);
  env.setRelease(release);
  return env;
}
} // namespace

TEST(ADSR, StartsIdleAndSilent)
{
  ADSR env;
  EXPECT_EQ(env.mStage, ADSR::kStageIdle);
  EXPECT_EQ(env.mLevel, 0.0);
  env.update();
  EXPECT_EQ(env.mLevel, 0.0);
}

// Attack 0 at 44100 Hz: level 10/9 · (1 - (1 - c)^n) passes 1 at n = ceil(ln 0.1 / ln(1 - c)) = 220.
TEST(ADSR, AttackZeroReachesExactlyOneAfter220Samples)
{
  ADSR env = makeEnvelope(0.0, 0.0, 1.0, 0.05);
  env.start();
  EXPECT_EQ(env.mStage, ADSR::kStageAttack);
  env.update();
  EXPECT_NEAR(env.mLevel, kAttackTarget * kAttack0At44100, 1e-15);

  EXPECT_EQ(updatesToLeave(env, ADSR::kStageAttack), 219);
  EXPECT_EQ(env.mStage, ADSR::kStageDecaySustain);
  EXPECT_EQ(env.mLevel, 1.0);

  // Sustain 1: held at 1 until note-off.
  for (int n = 0; n < 1000; ++n)
    env.update();
  EXPECT_EQ(env.mLevel, 1.0);
  EXPECT_EQ(env.mStage, ADSR::kStageDecaySustain);
}

TEST(ADSR, AttackSettingIsClampedAndOthersAreNot)
{
  struct Case {
    double attack;
    double firstStep;
  };
  const Case cases[] = {
    {-3.0, kAttackTarget * kAttack0At44100},
    {5.0, kAttackTarget * kAttack0At44100 * std::pow(10.0, -4.5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attack);
    ADSR env = makeEnvelope(c.attack, 0.0, 1.0, 0.05);
    env.start();
    env.update();
    EXPECT_NEAR(env.mLevel, c.firstStep, 1e-15);
  }
}

// Decay setting 0 maps to 0.2: level = s + (1 - s)(1 - c)^m after the attack.
TEST(ADSR, DecayApproachesSustain)
{
  ADSR env = makeEnvelope(0.0, 0.0, 0.5, 0.05);
  env.start();
  ASSERT_EQ(updatesToLeave(env, ADSR::kStageAttack), 220);
  for (int m = 1; m <= 3000; ++m) {
    env.update();
    if (m % 750 == 0) {
      EXPECT_NEAR(env.mLevel, 0.5 + 0.5 * std::pow(1.0 - kDecay0At44100, m), 1e-12) << "update " << m;
    }
  }
  EXPECT_EQ(env.mStage, ADSR::kStageDecaySustain);

  // A sustain change while sustaining retargets at once.
  env.setSustain(0.25);
  const double before = env.mLevel;
  env.update();
  EXPECT_NEAR(env.mLevel, before + (0.25 - before) * kDecay0At44100, 1e-15);
}

TEST(ADSR, DecayToSustainZeroFreesTheVoice)
{
  ADSR env = makeEnvelope(0.0, 0.0, 0.0, 0.5);
  env.start();
  ASSERT_EQ(updatesToLeave(env, ADSR::kStageAttack), 220);
  // (1 - c)^m leaves the normal double range after about 540 000 updates.
  const int updates = updatesToLeave(env, ADSR::kStageDecaySustain, 1000000);
  EXPECT_GT(updates, 500000);
  EXPECT_LT(updates, 600000);
  EXPECT_EQ(env.mStage, ADSR::kStageIdle);
  EXPECT_EQ(env.mLevel, 0.0);
}

// Release 0 from level 1 aims at -1/9: the same 220 samples as the attack.
TEST(ADSR, ReleaseEndsAtZero)
{
  ADSR env = makeEnvelope(0.0, 0.0, 1.0, 0.0);
  env.start();
  ASSERT_EQ(updatesToLeave(env, ADSR::kStageAttack), 220);
  env.stop(false);
  EXPECT_EQ(env.mStage, ADSR::kStageRelease);
  env.update();
  EXPECT_NEAR(env.mLevel, 1.0 + (kReleaseTarget - 1.0) * kAttack0At44100, 1e-15);
  EXPECT_EQ(updatesToLeave(env, ADSR::kStageRelease), 219);
  EXPECT_EQ(env.mStage, ADSR::kStageIdle);
  EXPECT_EQ(env.mLevel, 0.0);
}

TEST(ADSR, ReleaseOfExactlyOneHoldsFullLevel)
{
  ADSR env = makeEnvelope(0.0, 0.0, 0.3, 1.0);
  env.start();
  ASSERT_EQ(updatesToLeave(env, ADSR::kStageAttack), 220);
  for (int n = 0; n < 5000; ++n) {
    env.update();
    ASSERT_EQ(env.mLevel, 1.0);
  }
  env.stop(false);
  for (int n = 0; n < 5000; ++n) {
    env.update();
    ASSERT_EQ(env.mLevel, 1.0);
  }
  EXPECT_EQ(env.mStage, ADSR::kStageRelease);

  env.stop(true);
  EXPECT_EQ(env.mStage, ADSR::kStageIdle);
  EXPECT_EQ(env.mLevel, 0.0);
}

TEST(ADSR, StopOnIdleStaysIdle)
{
  ADSR env = makeEnvelope(0.0, 0.0, 1.0, 0.05);
  env.stop(false);
  EXPECT_EQ(env.mStage, ADSR::kStageIdle);
  env.update();
  EXPECT_EQ(env.mLevel, 0.0);
}

TEST(ADSR, RetriggerRisesFromCurrentLevel)
{
  ADSR env = makeEnvelope(0.0, 0.0, 1.0, 0.5);
  env.start();
  ASSERT_EQ(updatesToLeave(env, ADSR::kStageAttack), 220);
  env.stop(false);
  for (int n = 0; n < 1000; ++n)
    env.update();
  const double level = env.mLevel;
  ASSERT_GT(level, 0.5);
  ASSERT_LT(level, 1.0);

  env.start();
  EXPECT_EQ(env.mLevel, level);
  env.update();
  EXPECT_NEAR(env.mLevel, level + (kAttackTarget - level) * kAttack0At44100, 1e-15);

  // A release change while releasing takes effect on the next sample.
  env.stop(false);
  env.setRelease(0.0);
  const double before = env.mLevel;
  env.update();
  EXPECT_NEAR(env.mLevel, before + (kReleaseTarget - before) * kAttack0At44100, 1e-15);
}

TEST(ADSR, SampleRateChangeStopsEveryStage)
{
  struct Case {
    const char* name;
    int updatesAfterStart;
    bool release;
    int stage;
  };
  const Case cases[] = {
    {"attack", 10, false, ADSR::kStageAttack},
    {"decay", 300, false, ADSR::kStageDecaySustain},
    {"release", 300, true, ADSR::kStageRelease},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ADSR env = makeEnvelope(0.0, 0.5, 0.5, 0.5);
    env.start();
    for (int n = 0; n < c.updatesAfterStart; ++n)
      env.update();
    if (c.release)
      env.stop(false);
    ASSERT_EQ(env.mStage, c.stage);

    env.setSampleRate(48000.0);
    EXPECT_EQ(env.mStage, ADSR::kStageIdle);
    EXPECT_EQ(env.mLevel, 0.0);

    // At 48000 Hz the attack takes ceil(ln 0.1 / ln(1 - 10^2.3 · ln 10 / 48000)) = 240 samples.
    env.start();
    EXPECT_EQ(updatesToLeave(env, ADSR::kStageAttack), 240);
  }
}

TEST(ADSR, UnusableRatesKeepTheEnvelopeFinite)
{
  // A rate of 0 or below keeps the previous rate.
  ADSR env = makeEnvelope(0.0, 0.0, 0.5, 0.0);
  env.setSampleRate(0.0);
  env.setSampleRate(-48000.0);
  env.start();
  EXPECT_EQ(updatesToLeave(env, ADSR::kStageAttack), 220);

  // At 10 Hz every stage would overshoot; it reaches its target in one sample instead.
  ADSR slow = makeEnvelope(0.0, 0.0, 0.5, 0.0, 10.0);
  slow.start();
  slow.update();
  EXPECT_EQ(slow.mLevel, 1.0);
  for (int n = 0; n < 100; ++n) {
    slow.update();
    ASSERT_EQ(slow.mLevel, 0.5);
  }
  slow.stop(false);
  slow.update();
  EXPECT_EQ(slow.mStage, ADSR::kStageIdle);
  EXPECT_EQ(slow.mLevel, 0.0);
}

// A block of levels is the level before each update, update after update, through every stage:
// checked against single updates, one envelope at a time and eight side by side.
TEST(ADSR, RenderGivesTheLevelsOfSingleUpdates)
{
  struct Case {
    const char* name;
    double attack, decay, sustain, release;
    int noteOffAt; // samples after the start; -1: never
  };
  const Case cases[] = {
    {"fast attack, sustain 1 held", 0.0, 0.0, 1.0, 0.05, -1},
    {"decay to a sustain, then release", 0.1, 0.3, 0.6, 0.2, 3000},
    {"sustain 0: the decay frees the voice", 0.0, 0.0, 0.0, 0.3, -1},
    {"release held at 1", 0.05, 0.2, 0.5, 1.0, 1000},
    {"released during the attack", 0.4, 0.1, 0.8, 0.0, 100},
    {"idle", 0.0, 0.0, 1.0, 0.05, -2},
  };
  for (int blockSize : {1, 37, 256}) {
    SCOPED_TRACE(testing::Message() << "blocks of " << blockSize);
    ADSR single[6];
    ADSR alone[6];
    ADSR sideBySide[6];
    for (int k = 0; k < 6; ++k) {
      const Case& c = cases[k];
      for (ADSR* e : {&single[k], &alone[k], &sideBySide[k]}) {
        *e = makeEnvelope(c.attack, c.decay, c.sustain, c.release, 8000.0);
        if (c.noteOffAt != -2)
          e->start();
      }
    }
    for (int start = 0; start < 12000; start += blockSize) {
      for (int k = 0; k < 6; ++k)
        if (cases[k].noteOffAt >= start && cases[k].noteOffAt < start + blockSize)
          for (ADSR* e : {&single[k], &alone[k], &sideBySide[k]})
            e->stop(false);
      std::vector<std::vector<double>> levelsAlone(6, std::vector<double>(static_cast<size_t>(blockSize)));
      std::vector<std::vector<double>> levelsSide(6, std::vector<double>(static_cast<size_t>(blockSize)));
      ADSR* envelopes[6];
      double* levels[6];
      for (int k = 0; k < 6; ++k) {
        alone[k].render(levelsAlone[static_cast<size_t>(k)].data(), blockSize);
        envelopes[k] = &sideBySide[k];
        levels[k] = levelsSide[static_cast<size_t>(k)].data();
      }
      ADSR::render(envelopes, levels, 6, blockSize);
      for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(cases[k].name);
        for (int i = 0; i < blockSize; ++i) {
          const double expected = single[k].mLevel;
          single[k].update();
          ASSERT_EQ(levelsAlone[static_cast<size_t>(k)][static_cast<size_t>(i)], expected) << "sample " << start + i;
          ASSERT_EQ(levelsSide[static_cast<size_t>(k)][static_cast<size_t>(i)], expected) << "sample " << start + i;
        }
        ASSERT_EQ(alone[k].mLevel, single[k].mLevel);
        ASSERT_EQ(alone[k].mStage, single[k].mStage);
        ASSERT_EQ(sideBySide[k].mStage, single[k].mStage);
      }
    }
  }
}

TEST(ADSR, SteadyWhenAnUpdateWouldChangeNothing)
{
  ADSR env = makeEnvelope(0.0, 0.0, 1.0, 0.05);
  EXPECT_TRUE(env.isSteady()) << "idle";
  env.start();
  EXPECT_FALSE(env.isSteady()) << "attack";
  while (env.mStage == ADSR::kStageAttack)
    env.update();
  EXPECT_TRUE(env.isSteady()) << "at the sustain level 1";
  env.stop(false);
  EXPECT_FALSE(env.isSteady()) << "release";

  ADSR decaying = makeEnvelope(0.0, 0.5, 0.5, 0.05);
  decaying.start();
  while (decaying.mStage == ADSR::kStageAttack)
    decaying.update();
  EXPECT_FALSE(decaying.isSteady()) << "still above the sustain level";

  ADSR held = makeEnvelope(0.0, 0.5, 0.5, 1.0);
  held.start();
  while (held.mStage == ADSR::kStageAttack)
    held.update();
  EXPECT_TRUE(held.isSteady()) << "release 1 holds full level in the decay";
  held.stop(false);
  EXPECT_TRUE(held.isSteady()) << "and in the release";
}
