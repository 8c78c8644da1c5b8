// SPDX-License-Identifier: ISC
// The plug-in's audio path against the engine as it first shipped (tests/support, evaluated one
// sample at a time): every output sample stays within 1e-9 of it, on every factory preset, at
// several block sizes, tempo-synchronised from a song position, with eight MIDI voices under
// their envelopes, and across mode changes in the middle of a stream.
//
// The plug-in runs through the render call for its parameter changes, MIDI and transport, and
// its audio path is then called on double buffers, so that the comparison is not hidden behind
// the conversion to float. The input is float material, as every host delivers it.

#include "core/quennet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ReferenceQuennet.h"
#include "TempHome.h"

using namespace quennet;

namespace {

constexpr double kTolerance = 1e-9;

// Stereo material that floats hold exactly, as every host delivers it (the grain buffers store
// floats): noise and two tones, in multiples of 2^-20.
struct Material {
  std::vector<double> left, right;

  explicit Material(size_t frames, unsigned seed = 2024u) : left(frames), right(frames)
  {
    unsigned state = seed;
    auto noise = [&state] {
      state = state * 1664525u + 1013904223u;
      return static_cast<double>(state >> 8) * (1.0 / 16777216.0) - 0.5;
    };
    auto quantise = [](double x) { return std::ldexp(std::round(std::ldexp(x, 20)), -20); };
    for (size_t n = 0; n < frames; ++n) {
      const double t = static_cast<double>(n) / 48000.0;
      left[n] = quantise(0.4 * std::sin(2.0 * M_PI * 110.0 * t) + 0.2 * noise());
      right[n] = quantise(0.3 * std::sin(2.0 * M_PI * 233.0 * t + 1.0) + 0.2 * noise());
    }
  }
};

struct Event {
  long frame; // delivered before the audio of the block that holds it
  std::uint8_t status, data1, data2;
};

// A parameter change (or a preset, with index -1) at the start of the block holding `frame`.
struct Change {
  long frame;
  int index; // parameter, or -1: `value` is a factory preset
  double value;
};

// Transport of a block: tempo and song position of its first frame; no tempo means no transport.
struct Transport {
  bool present = true;
  double tempo = 120.0;
  double startPosition = 0.0;
  long jumpAt = -1; // from this frame on the song position restarts at `jumpTo` (a loop)
  double jumpTo = 0.0;
  long tempoChangeAt = -1;
  double newTempo = 120.0;
};

// How the plug-in's audio path gets its arrays: apart, the same for input and output, or crossed
// (left output over right input and the other way round).
enum class Buffers { kApart, kInPlace, kCrossed };

struct Scenario {
  std::string name;
  Buffers buffers = Buffers::kApart;
  int blockSize = 512;
  size_t frames = 48000;
  std::vector<Change> changes;
  std::vector<Event> midi;
  Transport transport;
  long rateChangeAt = -1; // from the block holding this frame on, the host runs at `newRate`
  double newRate = 48000.0;
  bool splitAtEvents = false; // blocks end where notes, changes and the rate change come
};

struct Deviation {
  double max = 0.0;
  size_t differing = 0; // samples not bit-identical
  long firstBad = -1; // first sample beyond the tolerance
};

// The plug-in and the reference side by side, fed the same blocks.
class Pair {
public:
  explicit Pair(double rate = 48000.0) : mPlugin(static_cast<Quennet*>(plug::MakePlug({})))
  {
    // The constructed plug-in's settings, applied in index order as its dispatch does.
    for (int i = 0; i < kNumParams; ++i)
      mReference.setParam(i, mPlugin->GetParam(i)->GetValue());
    mPlugin->PrepareToPlay(rate, 512);
    mReference.reset(rate);
  }

  // Also keeps the plug-in's output when asked.
  Deviation run(const Scenario& s, const Material& in, Material* kept = nullptr)
  {
    Deviation d;
    if (kept) {
      kept->left.assign(s.frames, 0.0);
      kept->right.assign(s.frames, 0.0);
    }
    std::vector<double> out[2], ref[2];
    for (auto* v : {&out[0], &out[1], &ref[0], &ref[1]})
      v->assign(static_cast<size_t>(s.blockSize), 0.0);
    size_t nextChange = 0, nextEvent = 0;
    bool rateChanged = false;
    int n = 0;
    for (long start = 0; start < static_cast<long>(s.frames); start += n) {
      long end = std::min<long>(start + s.blockSize, static_cast<long>(s.frames));
      if (s.splitAtEvents) {
        // The block ends where the next note, change or rate change comes, so that it comes at
        // its frame whatever the block size.
        for (const Event& e : s.midi)
          if (e.frame > start && e.frame < end)
            end = e.frame;
        for (const Change& c : s.changes)
          if (c.frame > start && c.frame < end)
            end = c.frame;
        if (s.rateChangeAt > start && s.rateChangeAt < end)
          end = s.rateChangeAt;
      }
      n = static_cast<int>(end - start);
      if (s.rateChangeAt >= 0 && !rateChanged && s.rateChangeAt < start + n) {
        // The host prepares for the new rate between two blocks, as hosts do.
        rateChanged = true;
        mPlugin->PrepareToPlay(s.newRate, 512);
        mReference.reset(s.newRate);
      }
      std::uint32_t pending = 0;
      while (nextChange < s.changes.size() && s.changes[nextChange].frame < start + n) {
        const Change& c = s.changes[nextChange++];
        if (c.index < 0) {
          mPlugin->RestorePreset(static_cast<int>(c.value));
          pending = (1u << kNumParams) - 1u;
        } else {
          mPlugin->SetParameterFromHostPlain(c.index, c.value);
          pending |= 1u << c.index;
        }
      }
      std::vector<plug::HostMidiEvent> events;
      while (nextEvent < s.midi.size() && s.midi[nextEvent].frame < start + n) {
        const Event& e = s.midi[nextEvent++];
        events.push_back({0, e.status, e.data1, e.data2});
      }

      const Transport& t = s.transport;
      const double tempo = t.tempoChangeAt >= 0 && start >= t.tempoChangeAt ? t.newTempo : t.tempo;
      const double position = t.jumpAt >= 0 && start >= t.jumpAt ? t.jumpTo + static_cast<double>(start - t.jumpAt)
                                                                 : t.startPosition + static_cast<double>(start);
      plug::HostTransport transport;
      transport.hasTempo = transport.hasSamplePosition = transport.isPlaying = true;
      transport.tempo = tempo;
      transport.samplePosition = position;

      // Changes, MIDI and transport through the render call, then the audio path on doubles.
      plug::HostBlock block;
      block.nFrames = 0;
      block.midi = events.data();
      block.nMidi = static_cast<int>(events.size());
      block.transport = t.present ? &transport : nullptr;
      mPlugin->RenderAudio(block);
      double* inputs[2] = {const_cast<double*>(in.left.data()) + start, const_cast<double*>(in.right.data()) + start};
      double* outputs[2] = {out[0].data(), out[1].data()};
      if (s.buffers == Buffers::kApart) {
        mPlugin->ProcessBlock(inputs, outputs, n);
      } else {
        // The input copied into the output arrays, which then serve as both.
        const int into = s.buffers == Buffers::kCrossed ? 1 : 0;
        std::copy_n(inputs[0], n, out[into].data());
        std::copy_n(inputs[1], n, out[1 - into].data());
        double* shared[2] = {out[into].data(), out[1 - into].data()};
        double* written[2] = {out[0].data(), out[1].data()};
        mPlugin->ProcessBlock(shared, written, n);
      }

      for (int i = 0; i < kNumParams; ++i)
        if (pending & (1u << i))
          mReference.setParam(i, mPlugin->GetParam(i)->GetValue());
      for (const plug::HostMidiEvent& e : events)
        mReference.midi(e.status, e.data1, e.data2);
      mReference.process(inputs[0], inputs[1], ref[0].data(), ref[1].data(), n, t.present ? tempo : 120.0,
                         t.present ? position : -1.0);

      if (kept) {
        std::copy_n(out[0].begin(), n, kept->left.begin() + start);
        std::copy_n(out[1].begin(), n, kept->right.begin() + start);
      }
      for (int c = 0; c < 2; ++c)
        for (int i = 0; i < n; ++i) {
          const double a = out[c][static_cast<size_t>(i)];
          const double b = ref[c][static_cast<size_t>(i)];
          if (std::isnan(a) && std::isnan(b))
            continue;
          const double diff =
            std::isnan(a) || std::isnan(b) ? std::numeric_limits<double>::infinity() : std::fabs(a - b);
          if (a != b || std::signbit(a) != std::signbit(b))
            ++d.differing;
          if (diff > d.max)
            d.max = diff;
          if (diff > kTolerance && d.firstBad < 0)
            d.firstBad = start + i;
        }
    }
    return d;
  }

private:
  TempHome mHome; // outlives the plug-in
  std::unique_ptr<Quennet> mPlugin;
  reference::Engine mReference;
};

void expectMatches(const Scenario& s, const Material& in, Material* kept = nullptr)
{
  SCOPED_TRACE(s.name + ", blocks of " + std::to_string(s.blockSize));
  Pair pair;
  const Deviation d = pair.run(s, in, kept);
  EXPECT_LE(d.max, kTolerance) << "first sample beyond the tolerance: " << d.firstBad;
  // Shown in the XML report (--gtest_output=xml): how far from bit-identical each case is.
  char summary[96];
  std::snprintf(summary, sizeof summary, "max deviation %.3g, %zu samples not bit-identical", d.max, d.differing);
  testing::Test::RecordProperty(s.name + " / " + std::to_string(s.blockSize), summary);
}

Event noteOn(long frame, int note)
{
  return {frame, 0x90, static_cast<std::uint8_t>(note), 100};
}
Event noteOff(long frame, int note)
{
  return {frame, 0x80, static_cast<std::uint8_t>(note), 0};
}

} // namespace

TEST(QuennetProcessReference, EveryFactoryPresetAtBlockSizes1And64And512)
{
  const Material in(36000);
  for (int preset = 0; preset < kNumPresets; ++preset)
    for (int blockSize : {1, 64, 512}) {
      Scenario s;
      s.name = std::string("preset ") + kFactoryPresets[static_cast<size_t>(preset)].name;
      s.blockSize = blockSize;
      s.frames = in.left.size();
      s.changes = {{0, -1, static_cast<double>(preset)}};
      // A chord that the MIDI presets play; the others ignore the notes.
      s.midi = {noteOn(0, 48), noteOn(0, 55), noteOn(100, 60), noteOn(700, 64), noteOff(20000, 55), noteOff(30000, 48)};
      expectMatches(s, in);
    }
}

TEST(QuennetProcessReference, EveryBlockSizeGivesTheNumbersOfLongBlocksToTheBit)
{
  // A block of any size gives the numbers of long blocks to the bit (a few frames go one frame at
  // a time, the voices' boxes working their envelopes out ahead), on every factory preset (the
  // MIDI ones with a chord), and tempo-synchronised through a tempo change and a loop.
  // The blocks end where notes come (a host delivering events at their frames splits its block
  // there), and notes come where the tempo changes and the loop jumps, so every block size sees
  // the same notes and transport at the same frames.
  constexpr long kEvery = 7680;
  const Material in(3 * kEvery, 11u);
  Transport looping;
  looping.tempo = 133.0;
  looping.startPosition = 77777.0;
  looping.tempoChangeAt = kEvery;
  looping.newTempo = 97.0;
  looping.jumpAt = 2 * kEvery;
  looping.jumpTo = 50000.0;
  for (int preset = 0; preset < kNumPresets; ++preset) {
    Scenario s;
    s.name = std::string("preset ") + kFactoryPresets[static_cast<size_t>(preset)].name;
    s.frames = in.left.size();
    s.transport = looping;
    s.changes = {{0, -1, static_cast<double>(preset)}, {0, kGrainSync, 2.0}};
    s.midi = {noteOn(0, 48),
              noteOn(0, 55),
              noteOn(kEvery, 60),
              noteOff(kEvery, 55),
              noteOn(2 * kEvery, 67),
              noteOn(2 * kEvery + 333, 52),
              noteOff(2 * kEvery + 4000, 60)};
    s.splitAtEvents = true;
    s.blockSize = 512;
    Material expected(0);
    expectMatches(s, in, &expected);
    // Single frames, a few (once their own path), odd sizes, and both sides of the passes of the
    // grain boxes (128) and of the audio path (256).
    for (int blockSize : {1, 3, 4, 5, 127, 128, 129, 256, 257}) {
      s.blockSize = blockSize;
      Material out(0);
      expectMatches(s, in, &out);
      SCOPED_TRACE(s.name + ", blocks of " + std::to_string(blockSize));
      for (size_t i = 0; i < in.left.size(); ++i) {
        ASSERT_EQ(out.left[i], expected.left[i]) << "frame " << i;
        ASSERT_EQ(out.right[i], expected.right[i]) << "frame " << i;
      }
    }
  }
}

TEST(QuennetProcessReference, TempoSyncFromASongPositionThroughTempoChangesAndLoops)
{
  const Material in(60000, 7u);
  struct Case {
    const char* name;
    int preset;
    int blockSize;
    Transport transport;
  };
  Transport rolling;
  rolling.tempo = 137.0;
  rolling.startPosition = 123457.0;
  Transport changing = rolling;
  changing.tempoChangeAt = 20000;
  changing.newTempo = 91.5;
  changing.jumpAt = 40000; // a loop back to an earlier bar
  changing.jumpTo = 96000.0;
  Transport none;
  none.present = false;
  const Case cases[] = {
    {"Sync 2 Host, rolling from a position", 1, 64, rolling},
    {"Synced Reversals, rolling from a position", 6, 97, rolling},
    {"Sequenced, tempo change and loop", 7, 64, changing},
    {"Slap Back, tempo change and loop", 8, 512, changing},
    {"MIDI Synced, tempo change and loop", 4, 333, changing},
    {"Synced Reversals without transport", 6, 128, none},
  };
  for (const Case& c : cases) {
    Scenario s;
    s.name = c.name;
    s.blockSize = c.blockSize;
    s.frames = in.left.size();
    s.transport = c.transport;
    s.changes = {{0, -1, static_cast<double>(c.preset)}, {0, kGrainSync, 2.0}}; // 1/16T: grain restarts in every block
    s.midi = {noteOn(0, 50), noteOn(0, 57), noteOn(0, 62)};
    expectMatches(s, in);
  }
}

TEST(QuennetProcessReference, EightMidiVoicesWithEnvelopes)
{
  const Material in(72000, 99u);
  struct Case {
    const char* name;
    double attack, decay, sustain, release;
    int blockSize;
  };
  const Case cases[] = {
    {"slow attack, sustain, medium release", 0.3, 0.4, 0.6, 0.35, 64},
    {"fast attack and release, sustain 0", 0.0, 0.1, 0.0, 0.05, 512},
    {"release held at 1", 0.1, 0.2, 0.5, 1.0, 100},
    {"short everything, single-sample blocks", 0.0, 0.0, 0.3, 0.0, 1},
  };
  for (const Case& c : cases) {
    Scenario s;
    s.name = c.name;
    s.blockSize = c.blockSize;
    s.frames = in.left.size();
    s.changes = {{0, -1, 3.0}, // "MIDI Standard"
                 {0, kMidiPolyphony, 8.0},
                 {0, kMidiAttack, c.attack},
                 {0, kMidiDecay, c.decay},
                 {0, kMidiSustain, c.sustain},
                 {0, kMidiRelease, c.release},
                 {0, kGrainOverlap, 30.0},
                 {0, kFrameFadeIn, 0.25},
                 {0, kFrameFadeOut, 0.75},
                 {0, kGrainSkew, 0.3}};
    // Eight notes arriving one after another, releases, a retrigger and a ninth note that
    // steals the oldest voice.
    const int notes[8] = {36, 43, 48, 52, 55, 60, 64, 67};
    for (int v = 0; v < 8; ++v)
      s.midi.push_back(noteOn(1000 + 1500 * v, notes[v]));
    s.midi.push_back(noteOff(20000, 43));
    s.midi.push_back(noteOff(26000, 52));
    s.midi.push_back(noteOn(30000, 48));
    s.midi.push_back(noteOn(38000, 72));
    s.midi.push_back(noteOff(45000, 60));
    s.midi.push_back(noteOff(50000, 36));
    s.midi.push_back({60000, 0xB0, 123, 0}); // all notes off
    s.midi.push_back(noteOn(64000, 50));
    expectMatches(s, in);
  }
}

TEST(QuennetProcessReference, ModeChangesMidStream)
{
  const Material in(96000, 31u);
  for (int blockSize : {1, 64, 512}) {
    Scenario s;
    s.name = "modes";
    s.blockSize = blockSize;
    s.frames = in.left.size();
    s.transport.startPosition = 5000.0;
    s.changes = {
      {0, -1, 9.0}, // "Strange Mix"
      {7000, kGrainMode, kGrainModeFreq},
      {9000, kGrainFadeIn, 0.5},
      {12000, kGrainMode, kGrainModeSync},
      {15000, kFrameSyncToHost, 1.0},
      {20000, kGrainMode, kGrainModeMidi},
      {24000, kFrameFadeIn, 1.0},
      {30000, kMidiPolyphony, 6.0},
      {36000, kGrainMode, kGrainModeMsec},
      {38000, kFrameSyncToHost, 0.0},
      {40000, kGrainFadeOut, 0.0},
      {44000, kFrameOverlap, 0.0},
      {50000, -1, 5.0}, // "Ring Modulator"
      {56000, kGrainMode, kGrainModeMidi},
      {62000, kGrainFrequency, 440.0},
      {66000, kGrainMode, kGrainModeFreq},
      {70000, -1, 3.0}, // "MIDI Standard"
      {80000, kMix, 0.3},
      {84000, kVolume, 1.7},
    };
    s.midi = {noteOn(21000, 60), noteOn(22000, 64), noteOn(31000, 67), noteOn(57000, 45),
              noteOn(71000, 52), noteOn(71000, 59), noteOff(90000, 52)};
    expectMatches(s, in);
  }
}

TEST(QuennetProcessReference, NonFiniteInputReachesTheSameSamples)
{
  // Recorded NaN and infinity replay in the grains; idle voices record them too.
  Material in(48000, 5u);
  for (size_t n : {100u, 5000u, 17000u})
    in.left[n] = std::numeric_limits<double>::quiet_NaN();
  for (size_t n : {2000u, 26000u})
    in.right[n] = std::numeric_limits<double>::infinity();
  for (int preset : {0, 2, 3}) {
    Scenario s;
    s.name = std::string("non-finite input, ") + kFactoryPresets[static_cast<size_t>(preset)].name;
    s.blockSize = 256;
    s.frames = in.left.size();
    s.changes = {{0, -1, static_cast<double>(preset)}, {0, kMidiPolyphony, 8.0}};
    s.midi = {noteOn(0, 60), noteOn(3000, 67), noteOff(9000, 60), noteOn(30000, 62)};
    expectMatches(s, in);
  }
}

TEST(QuennetProcessReference, InputAndOutputMayShareArrays)
{
  const Material in(20000, 3u);
  for (Buffers buffers : {Buffers::kInPlace, Buffers::kCrossed}) {
    Scenario s;
    s.name = buffers == Buffers::kInPlace ? "in place" : "crossed";
    s.buffers = buffers;
    s.blockSize = 300;
    s.frames = in.left.size();
    s.changes = {{0, -1, 9.0}}; // "Strange Mix": wet and dry both heard
    expectMatches(s, in);
  }
}

TEST(QuennetProcessReference, SampleRateChangeInTheMiddleOfAStream)
{
  // The host moves from 48 kHz to 44.1 kHz and back in the middle of a stream: new buffers, new
  // envelope rates, millisecond lengths in the new rate; every block size the same as the engine
  // evaluated sample by sample.
  const Material in(60000, 13u);
  struct Case {
    const char* name;
    int preset;
    double newRate;
  };
  const Case cases[] = {
    {"Strange Mix to 44.1 kHz", 9, 44100.0},
    {"Frequency to 96 kHz", 2, 96000.0},
    {"MIDI Standard to 44.1 kHz", 3, 44100.0},
    {"Synced Reversals to 88.2 kHz", 6, 88200.0},
  };
  for (const Case& c : cases)
    for (int blockSize : {1, 5, 129, 512}) {
      Scenario s;
      s.name = c.name;
      s.blockSize = blockSize;
      s.frames = in.left.size();
      s.changes = {{0, -1, static_cast<double>(c.preset)}, {0, kMidiPolyphony, 8.0}};
      s.midi = {noteOn(0, 48), noteOn(0, 55), noteOn(25000, 60), noteOn(40000, 64)};
      s.rateChangeAt = 20005;
      s.newRate = c.newRate;
      expectMatches(s, in);
    }
}
