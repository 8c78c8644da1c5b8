// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"

using namespace quennet;

namespace {

class QuennetTest : public ::testing::Test {
protected:
  std::unique_ptr<Quennet> make()
  {
    plug::IPlugin* plugin = plug::MakePlug({});
    return std::unique_ptr<Quennet>(static_cast<Quennet*>(plugin));
  }

  // Stores a plain value the way the host-change path does, then lets the audio thread apply it.
  static void change(Quennet& q, int paramIdx, double plainValue)
  {
    q.SetParameterFromHostPlain(paramIdx, plainValue);
    renderEmptyBlock(q);
  }

  static void prepare(Quennet& q, double rate)
  {
    q.SetSampleRate(rate);
    q.PrepareToPlay(rate, 512);
  }

  TempHome home;
};

// Second-order Butterworth high-pass by the bilinear transform of s^2 / (s^2 + sqrt2 s + 1),
// prewarped to the cutoff: an independent route to the same coefficients.
struct Biquad {
  double b0, b1, a1, a2;
};
Biquad butterworthHighpass(double cutoff, double rate)
{
  const double k = std::tan(M_PI * cutoff / rate);
  const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
  return {norm, -2.0 * norm, 2.0 * (k * k - 1.0) * norm, (1.0 - std::sqrt(2.0) * k + k * k) * norm};
}

} // namespace

TEST_F(QuennetTest, AfterConstructionEveryMemberHoldsItsParameterDefault)
{
  auto q = make();
  ASSERT_TRUE(q);
  EXPECT_EQ(q->GetCurrentPresetIdx(), 0);
  EXPECT_DOUBLE_EQ(q->volume(), 1.0);
  EXPECT_DOUBLE_EQ(q->mix(), 1.0);
  EXPECT_FALSE(q->grainSyncMode());
  EXPECT_FALSE(q->grainFreqMode());
  EXPECT_FALSE(q->midiMode());
  EXPECT_FALSE(q->frameSyncToHost());
  EXPECT_EQ(q->grainSyncIndex(), 10);
  EXPECT_EQ(q->frameSyncIndex(), 10);
  EXPECT_EQ(q->polyphony(), 4);
  EXPECT_EQ(q->sampleRate(), 0.0);
  EXPECT_EQ(q->noteCounter(), 0);
  EXPECT_FALSE(q->noteActive());
  for (int v = 0; v < Quennet::kNumVoices; ++v) {
    EXPECT_EQ(q->voiceNote(v), 36);
    EXPECT_EQ(q->voiceAge(v), 0);
    EXPECT_EQ(q->envelope(v).mStage, ADSR::kStageIdle);
  }
  EXPECT_EQ(q->highpassLeft().antiDenormal, 1e-13);
  EXPECT_EQ(q->highpassLeft().x1, 0.0);
  EXPECT_EQ(q->highpassRight().cutoff, 16.0);
  for (int i = 0; i < kNumParams; ++i)
    EXPECT_EQ(q->GetParam(i)->GetValue(), q->GetParam(i)->GetDefault()) << "parameter " << i;
}

TEST_F(QuennetTest, FirstResetAlwaysActsAndMillisecondLengthsFollowTheRate)
{
  auto q = make();
  prepare(*q, 48000.0);
  EXPECT_EQ(q->sampleRate(), 48000.0);
  // Frame Length 160 ms at 48 kHz, set before any rate was known.
  EXPECT_EQ(q->voice(0).getFramePeriod(), 7680);
  prepare(*q, 44100.0);
  EXPECT_EQ(q->voice(0).getFramePeriod(), 7056);
  EXPECT_EQ(q->voice(7).getFramePeriod(), 7056);
}

TEST_F(QuennetTest, ResetAtAnUnchangedRateKeepsEverythingANewRateRestartsFiltersAndNotes)
{
  auto q = make();
  prepare(*q, 48000.0);
  change(*q, kGrainMode, kGrainModeMidi);

  StereoBuffer noise(1001);
  for (size_t i = 0; i < noise.frames(); ++i)
    noise.left[i] = noise.right[i] = static_cast<float>((i * 7919 % 200) / 100.0 - 1.0);
  RenderOptions options;
  options.midi = {{0, 0x90, 60, 100}};
  renderThrough(*q, noise, options);
  ASSERT_EQ(q->voiceNote(0), 60);
  const Highpass before = q->highpassLeft();
  ASSERT_NE(before.x1, 0.0);

  q->OnReset(); // same rate: nothing happens
  EXPECT_EQ(q->highpassLeft().x1, before.x1);
  EXPECT_EQ(q->highpassLeft().antiDenormal, before.antiDenormal);
  EXPECT_EQ(q->voiceNote(0), 60);
  EXPECT_EQ(q->noteCounter(), 1);

  prepare(*q, 44100.0);
  EXPECT_EQ(q->highpassLeft().antiDenormal, 1e-13);
  EXPECT_EQ(q->highpassLeft().x1, 0.0);
  EXPECT_EQ(q->highpassRight().y1, 0.0);
  EXPECT_EQ(q->highpassLeft().sampleRate, 44100.0);
  EXPECT_EQ(q->noteCounter(), 0);
  for (int v = 0; v < Quennet::kNumVoices; ++v) {
    EXPECT_EQ(q->voiceNote(v), 36);
    EXPECT_EQ(q->voiceAge(v), 0);
  }
}

TEST_F(QuennetTest, HighpassCoefficientsAreA16HzButterworth)
{
  for (double rate : {44100.0, 48000.0}) {
    SCOPED_TRACE(rate);
    auto q = make();
    prepare(*q, rate);
    const Biquad expected = butterworthHighpass(16.0, rate);
    for (const Highpass& h : {q->highpassLeft(), q->highpassRight()}) {
      EXPECT_NEAR(h.gain0, expected.b0, 1e-14);
      EXPECT_NEAR(h.gain1, expected.b1, 1e-14);
      EXPECT_NEAR(h.feedback1, -expected.a1, 1e-14);
      EXPECT_NEAR(h.feedback2, -expected.a2, 1e-14);
    }
  }
}

TEST_F(QuennetTest, GrainModeAndPolyphonyEndAllNotesEvenWhenUnchanged)
{
  for (int paramIdx : {static_cast<int>(kGrainMode), static_cast<int>(kMidiPolyphony)}) {
    SCOPED_TRACE(paramIdx);
    auto q = make();
    prepare(*q, 48000.0);
    change(*q, kGrainMode, kGrainModeMidi);
    renderEmptyBlock(*q, {{0, 0x90, 60, 100}, {0, 0x90, 64, 100}});
    ASSERT_EQ(q->envelope(0).mStage, ADSR::kStageAttack);
    ASSERT_TRUE(q->noteActive());

    change(*q, paramIdx, q->GetParam(paramIdx)->GetValue());
    EXPECT_FALSE(q->noteActive());
    for (int v = 0; v < Quennet::kNumVoices; ++v) {
      EXPECT_EQ(q->envelope(v).mStage, ADSR::kStageIdle);
      EXPECT_EQ(q->envelope(v).mLevel, 0.0);
    }
  }
}

TEST_F(QuennetTest, DispatchReachesTheRightVoices)
{
  auto q = make();
  prepare(*q, 44100.0);
  const double periodOfVoice1 = q->voice(1).getBoxA().getGrainPeriod();

  change(*q, kGrainMode, kGrainModeFreq);
  change(*q, kGrainFrequency, 440.0);
  EXPECT_TRUE(q->grainFreqMode());
  EXPECT_DOUBLE_EQ(q->voice(0).getBoxA().getGrainPeriod(), 1.0 / 440.0);
  EXPECT_DOUBLE_EQ(q->voice(1).getBoxA().getGrainPeriod(), periodOfVoice1) << "Grain Frequency reaches voice 0 only";

  change(*q, kFrameOverlap, 50.0);
  for (int v = 0; v < Quennet::kNumVoices; ++v)
    EXPECT_EQ(q->voice(v).getFrameOverlapSamples(), 3528) << "voice " << v;

  // A host's normalised 0.5 on the two-state parameter counts as on.
  q->SetParameterFromHost(kFrameSyncToHost, 0.5);
  renderEmptyBlock(*q);
  EXPECT_TRUE(q->frameSyncToHost());

  change(*q, kMidiSustain, 0.25);
  change(*q, kMidiPolyphony, 8);
  EXPECT_EQ(q->polyphony(), 8);
  change(*q, kGrainSync, 4);
  EXPECT_EQ(q->grainSyncIndex(), 4);
  change(*q, kVolume, 0.5);
  change(*q, kMix, 0.25);
  EXPECT_DOUBLE_EQ(q->volume(), 0.5);
  EXPECT_DOUBLE_EQ(q->mix(), 0.25);
}

TEST_F(QuennetTest, AReservedParameterIsAcceptedAndChangesNothing)
{
  auto q = make();
  prepare(*q, 48000.0);
  StereoBuffer input(2000);
  for (size_t i = 0; i < input.frames(); ++i)
    input.left[i] = input.right[i] = static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
  auto reference = make();
  prepare(*reference, 48000.0);

  q->SetParameterFromHost(25, 1.0);
  EXPECT_EQ(q->GetParam(25)->GetValue(), 1.0) << "the framework keeps the value";
  const StereoBuffer a = renderThrough(*q, input);
  const StereoBuffer b = renderThrough(*reference, input);
  EXPECT_EQ(a.left, b.left);
  EXPECT_EQ(a.right, b.right);
}

TEST_F(QuennetTest, ChangesFromAnotherThreadReachTheEngineAtTheNextRenderCall)
{
  auto q = make();
  prepare(*q, 48000.0);
  q->SetParameterFromHostPlain(kVolume, 0.5);
  EXPECT_DOUBLE_EQ(q->GetParam(kVolume)->GetValue(), 0.5) << "the value is stored at once";
  EXPECT_DOUBLE_EQ(q->volume(), 1.0) << "the engine follows on the audio thread";
  renderEmptyBlock(*q);
  EXPECT_DOUBLE_EQ(q->volume(), 0.5);
}
