// SPDX-License-Identifier: ISC
// The audio path under hostile conditions: extreme sample rates with changes mid-stream, block
// sizes from 0 to 8192, silence, full-scale noise, denormal input, NaN and infinity in the
// input, every parameter at its extremes, every factory preset.
// Finite input always gives finite output; after non-finite input the wet path and the filters
// are clean again within one frame (the longest frame span in use) once the input is finite.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"

using namespace quennet;

namespace {

enum class Input { Silence, Noise, Denormal, NaNBurst, InfinityBurst };

struct Case {
  std::string name;
  std::vector<double> sampleRates; // changed in order, mid-stream
  std::vector<int> blockSizes; // cycled through
  Input input;
  int preset; // factory preset, or -1 to keep the defaults
  std::vector<std::pair<int, double>> settings; // plain values applied after the preset
};

// Test names show the case's name, not its bytes.
void PrintTo(const Case& c, std::ostream* os)
{
  *os << c.name;
}

StereoBuffer makeInput(Input kind, size_t frames, size_t badFrom, size_t badTo)
{
  StereoBuffer buffer(frames);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  for (size_t i = 0; i < frames; ++i) {
    float left = 0.0f;
    float right = 0.0f;
    switch (kind) {
      case Input::Silence: break;
      case Input::Denormal:
        left = std::numeric_limits<float>::denorm_min() * static_cast<float>(1 + i % 5);
        right = -left;
        break;
      default:
        left = noise(random);
        right = noise(random);
        break;
    }
    if (i >= badFrom && i < badTo) {
      if (kind == Input::NaNBurst)
        left = right = std::numeric_limits<float>::quiet_NaN();
      if (kind == Input::InfinityBurst)
        left = right = (i % 2 ? 1.0f : -1.0f) * std::numeric_limits<float>::infinity();
    }
    buffer.left[i] = left;
    buffer.right[i] = right;
  }
  return buffer;
}

// Every parameter at its minimum, or at its maximum (reserved slots included).
std::vector<std::pair<int, double>> allAt(bool maximum)
{
  std::vector<std::pair<int, double>> settings;
  for (int i = 0; i < kNumParams; ++i)
    settings.push_back(
      {i, maximum ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity()});
  return settings;
}

// Frames the longest frame of the current settings lasts: period plus overlap, at most the
// longest frame length there is (5000 ms, or "4/1" at a slow tempo).
size_t longestFrameSpan(const Quennet& q, double rate)
{
  size_t span = 0;
  for (int v = 0; v < Quennet::kNumVoices; ++v)
    span = std::max(span, static_cast<size_t>(std::max(q.voice(v).getFrameSpan(), 1)));
  return std::min(span, static_cast<size_t>(rate * 10.0)) + 16;
}

class Torture : public ::testing::TestWithParam<Case> {};

} // namespace

TEST_P(Torture, OutputStaysFiniteAndRecovers)
{
  const Case& c = GetParam();
  TempHome home;
  std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
  ASSERT_TRUE(plugin);
  if (c.preset >= 0)
    plugin->changePreset(c.preset);
  for (const auto& [paramIdx, value] : c.settings)
    plugin->SetParameterFromHostPlain(paramIdx, value);

  for (double rate : c.sampleRates) {
    SCOPED_TRACE(rate);
    plugin->SetSampleRate(rate);
    plugin->PrepareToPlay(rate, 1);
    renderEmptyBlock(*plugin); // applies the settings before measuring the frame span

    const size_t settle = longestFrameSpan(*plugin, rate);
    const size_t badFrom = static_cast<size_t>(rate * 0.05);
    const size_t badTo = badFrom + 300;
    const size_t frames = badTo + settle + static_cast<size_t>(rate * 0.02);
    const StereoBuffer input = makeInput(c.input, frames, badFrom, badTo);

    // Notes in case the mode is "MIDI", so that the voices sound.
    const plug::HostMidiEvent firstNote{0, 0x90, 57, 100};
    const plug::HostMidiEvent secondNote{0, 0x90, 69, 100};
    StereoBuffer output(frames);
    size_t done = 0;
    for (size_t block = 0; done < frames; ++block) {
      const size_t n = std::min<size_t>(static_cast<size_t>(c.blockSizes[block % c.blockSizes.size()]), frames - done);
      const float* in[2] = {input.left.data() + done, input.right.data() + done};
      float* out[2] = {output.left.data() + done, output.right.data() + done};
      plug::HostTransport transport;
      transport.hasTempo = true;
      transport.tempo = 120.0;
      transport.hasSamplePosition = true;
      transport.samplePosition = static_cast<double>(done);
      plug::HostBlock hostBlock;
      hostBlock.inputs = in;
      hostBlock.outputs = out;
      hostBlock.nFrames = static_cast<int>(n);
      hostBlock.transport = &transport;
      if (block == 0) {
        hostBlock.midi = &firstNote;
        hostBlock.nMidi = 1;
      } else if (done <= badFrom / 2 && badFrom / 2 < done + n) {
        hostBlock.midi = &secondNote;
        hostBlock.nMidi = 1;
      }
      plugin->RenderAudio(hostBlock);
      done += n;
    }

    const bool badInput = c.input == Input::NaNBurst || c.input == Input::InfinityBurst;
    for (size_t i = 0; i < frames; ++i) {
      const bool mayBeBad = badInput && i >= badFrom && i < badTo + settle;
      if (mayBeBad)
        continue;
      ASSERT_TRUE(std::isfinite(output.left[i]) && std::isfinite(output.right[i]))
        << c.name << ": sample " << i << " of " << frames;
    }
    for (const Highpass& h : {plugin->highpassLeft(), plugin->highpassRight()})
      EXPECT_TRUE(std::isfinite(h.y1) && std::isfinite(h.y2) && std::isfinite(h.x1) && std::isfinite(h.x2));
  }
}

namespace {
std::vector<Case> cases()
{
  std::vector<Case> list = {
    {"RatesUpAndDown", {8000, 22050, 44100, 96000, 192000, 384000, 44100}, {512, 1, 333}, Input::Noise, 0, {}},
    {"BlockSizes", {48000}, {0, 1, 2, 3, 7, 64, 1000, 4096, 8192}, Input::Noise, 7, {}},
    {"Silence", {44100}, {256}, Input::Silence, 9, {}},
    {"DenormalInput", {48000}, {128}, Input::Denormal, 5, {}},
    {"NaNInput", {48000}, {100}, Input::NaNBurst, 3, {}},
    {"InfinityInput", {48000}, {100}, Input::InfinityBurst, 8, {}},
    {"NaNInputFreq", {44100}, {64}, Input::NaNBurst, 2, {}},
    {"EverythingAtMinimum", {48000}, {512}, Input::Noise, -1, allAt(false)},
    {"EverythingAtMaximum", {48000}, {512}, Input::Noise, -1, allAt(true)},
    {"MidiModeAtMaximum",
     {96000},
     {480},
     Input::Noise,
     -1,
     {{kGrainMode, 3},
      {kMidiPolyphony, 8},
      {kGrainOverlap, 50},
      {kFrameOverlap, 50},
      {kMidiRelease, 1.0},
      {kMidiAttack, 1.0},
      {kGrainSkew, 1.0},
      {kFrameSkew, -1.0}}},
    {"SyncAtSlowestTempoSettings",
     {8000},
     {4096},
     Input::Noise,
     -1,
     {{kGrainMode, 1}, {kGrainSync, 19}, {kFrameSyncToHost, 1}, {kFrameSync, 19}, {kFrameOverlap, 50}}},
  };
  for (int preset = 0; preset < kNumPresets; ++preset)
    list.push_back({"Preset" + std::to_string(preset), {44100}, {512}, Input::Noise, preset, {}});
  return list;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(Cases, Torture, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& param) { return param.param.name; });
