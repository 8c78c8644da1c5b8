// SPDX-License-Identifier: ISC
// MIDI at its frame: a note in the middle of a host block sounds from its own frame on, and cutting
// a block at its events changes nothing else in the sound.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <random>

#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"

using namespace quennet;

namespace {

StereoBuffer noise(size_t frames)
{
  StereoBuffer buffer(frames);
  std::mt19937 random(2024u);
  std::uniform_real_distribution<float> sample(-0.8f, 0.8f);
  for (size_t i = 0; i < frames; ++i) {
    buffer.left[i] = sample(random);
    buffer.right[i] = sample(random);
  }
  return buffer;
}

class MidiTiming : public ::testing::Test {
protected:
  std::unique_ptr<Quennet> makePlugin(int preset)
  {
    std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
    plugin->changePreset(preset);
    plugin->PrepareToPlay(48000.0, 512);
    return plugin;
  }

  TempHome home;
};

constexpr int kMidiStandard = 3;
constexpr int kMidiSynced = 4;

TEST_F(MidiTiming, ANoteAtFrame480OfA512FrameBlockStartsAtFrame480)
{
  const StereoBuffer input = noise(4 * 512);
  for (int preset : {kMidiStandard, kMidiSynced}) {
    SCOPED_TRACE(testing::Message() << "preset " << preset);
    RenderOptions silent;
    silent.startPosition = 96000.0;
    const StereoBuffer without = renderThrough(*makePlugin(preset), input, silent);

    // The note in the third block, at frame 480 of it.
    const long noteFrame = 2 * 512 + 480;
    RenderOptions withNote = silent;
    withNote.midi = {{noteFrame, 0x90, 60, 100}};
    const StereoBuffer with = renderThrough(*makePlugin(preset), input, withNote);

    for (long i = 0; i < noteFrame; ++i)
      ASSERT_EQ(with.left[static_cast<size_t>(i)], without.left[static_cast<size_t>(i)]) << "frame " << i;
    // Interpolated reads need a few samples of history before the grain is heard.
    EXPECT_NE(with.left[static_cast<size_t>(noteFrame) + 8], without.left[static_cast<size_t>(noteFrame) + 8])
      << "the note sounds from its frame on";

    // The same as a host that cut its blocks at the note itself.
    RenderOptions cutAtNote = withNote;
    cutAtNote.blockSize = 2 * 512 + 480;
    const StereoBuffer cut = renderThrough(*makePlugin(preset), input, cutAtNote);
    EXPECT_EQ(with.left, cut.left);
    EXPECT_EQ(with.right, cut.right);
  }
}

// Events that change nothing (a controller nobody learned, a note-off for no note) cut the block
// into pieces; the sound must be that of the uncut block in every preset, with and without the
// host's position (the grid then starts at -1 and must run on through the pieces).
TEST_F(MidiTiming, CuttingABlockAtItsEventsChangesNothingElse)
{
  const StereoBuffer input = noise(3 * 512 + 77);
  for (int preset = 0; preset < 10; ++preset) {
    for (std::optional<double> tempo : {std::optional<double>{137.0}, std::optional<double>{}}) {
      SCOPED_TRACE(testing::Message() << "preset " << preset << (tempo ? ", with transport" : ", no transport"));
      RenderOptions plain;
      plain.tempo = tempo;
      plain.startPosition = 12345.0;
      const StereoBuffer uncut = renderThrough(*makePlugin(preset), input, plain);

      RenderOptions withEvents = plain;
      for (long frame : {3L, 4L, 5L, 200L, 511L, 512L, 600L, 700L, 701L, 1100L, 1500L, 1600L})
        withEvents.midi.push_back({frame, static_cast<std::uint8_t>(frame % 2 ? 0xB0 : 0x80), 1, 0});
      const StereoBuffer cut = renderThrough(*makePlugin(preset), input, withEvents);
      EXPECT_EQ(cut.left, uncut.left);
      EXPECT_EQ(cut.right, uncut.right);
    }
  }
}

} // namespace
