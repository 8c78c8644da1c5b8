// SPDX-License-Identifier: ISC
// The render call's fixed order, seen by a small plug-in that records every hook the call reaches.

#include "framework/IPlugin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

const plug::Config& recorderConfig()
{
  static const plug::Config config = [] {
    plug::Config c;
    c.nParams = 1;
    c.nPresets = 1;
    c.channelIOStr = "2-2";
    c.pluginName = "Recorder";
    c.plugDoesMidiIn = true;
    c.plugDoesMidiOut = true;
    return c;
  }();
  return config;
}

// Sent by ProcessBlock, so that the MIDI output shows what the block itself sent.
constexpr std::uint8_t kBlockMarker = 0xF8;

// Logs, in order, what the render call does to it. ProcessBlock writes 2 · input + 0.25, keeps
// the time information and the input it saw, and sends one clock message per block.
class Recorder final : public plug::IPlugin {
public:
  struct Block {
    int frames;
    plug::ITransportInfo transport;
    std::vector<double> left, right; // the input as ProcessBlock saw it
  };

  Recorder() : plug::IPlugin(recorderConfig()) {}
  ~Recorder() override { StopTimer(); }

  std::vector<std::string> log;
  std::vector<plug::IMidiMsg> midi; // as ProcessMidiMsg received them
  std::vector<Block> blocks;
  std::vector<int> resetBlockSizes; // the block size OnReset saw
  std::vector<plug::IMidiMsg> editorMidi; // what the timer handed to the editor side
  bool onRenderThreadEverywhere = true;

  void ProcessMidiMsg(const plug::IMidiMsg& msg) override
  {
    note("midi " + std::to_string(msg.mData1));
    midi.push_back(msg);
    SendMidiMsg(msg);
  }

  void OnReset() override
  {
    note("reset");
    resetBlockSizes.push_back(GetBlockSize());
  }

  void ProcessBlock(double** inputs, double** outputs, int nFrames) override
  {
    note("block " + std::to_string(nFrames));
    Block b{nFrames, GetTransportInfo(), {}, {}};
    for (int i = 0; i < nFrames; ++i) {
      b.left.push_back(inputs[0][i]);
      b.right.push_back(inputs[1][i]);
    }
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < nFrames; ++i)
        outputs[c][i] = 2.0 * inputs[c][i] + 0.25;
    blocks.push_back(std::move(b));
    plug::IMidiMsg marker;
    marker.mStatus = kBlockMarker;
    SendMidiMsg(marker);
  }

  void OnMidiMsgUI(const plug::IMidiMsg& msg) override { editorMidi.push_back(msg); }

protected:
  void OnRenderStart() override { note("start"); }

private:
  void note(std::string what)
  {
    onRenderThreadEverywhere = onRenderThreadEverywhere && OnRenderThread();
    log.push_back(std::move(what));
  }
};

// Stereo float buffers and the block that points at them.
struct Buffers {
  std::vector<float> inL, inR, outL, outR;
  const float* in[2];
  float* out[2];

  explicit Buffers(int frames)
      : inL(static_cast<size_t>(frames)),
        inR(static_cast<size_t>(frames)),
        outL(static_cast<size_t>(frames), 9.0f),
        outR(static_cast<size_t>(frames), 9.0f),
        in{inL.data(), inR.data()},
        out{outL.data(), outR.data()}
  {
    for (int i = 0; i < frames; ++i) {
      inL[static_cast<size_t>(i)] = 0.1f * static_cast<float>(i) - 1.3f;
      inR[static_cast<size_t>(i)] = 0.7f - 0.03f * static_cast<float>(i);
    }
  }

  plug::HostBlock block(int frames)
  {
    plug::HostBlock b;
    b.inputs = in;
    b.outputs = out;
    b.nFrames = frames;
    return b;
  }
};

struct MidiOut : plug::HostMidiOutput {
  std::vector<plug::IMidiMsg> messages;
  void SendMidi(const plug::IMidiMsg& msg) override { messages.push_back(msg); }
};

plug::HostMidiEvent event(int frame, std::uint8_t status, std::uint8_t data1, std::uint8_t data2 = 64)
{
  return {frame, status, data1, data2};
}

plug::IMidiMsg message(std::uint8_t status, std::uint8_t data1, std::uint8_t data2 = 64)
{
  plug::IMidiMsg msg;
  msg.mStatus = status;
  msg.mData1 = data1;
  msg.mData2 = data2;
  return msg;
}

using Log = std::vector<std::string>;

} // namespace

TEST(RenderAudio, MidiReachesThePlugInAtItsFrame)
{
  struct Case {
    const char* name;
    std::vector<plug::HostMidiEvent> midi;
    Log expected;
    std::vector<int> pieceStarts; // frame of the block where each ProcessBlock call began
  };
  const Case cases[] = {
    {"events inside the block",
     {event(3, 0x80, 2), event(40, 0x90, 1), event(63, 0xB5, 3, 127)},
     {"start", "block 3", "midi 2", "block 37", "midi 1", "block 23", "midi 3", "block 1"},
     {0, 3, 40, 63}},
    {"events at the first frame and together",
     {event(0, 0x90, 1), event(10, 0x90, 2), event(10, 0x90, 3)},
     {"start", "midi 1", "block 10", "midi 2", "midi 3", "block 54"},
     {0, 10}},
    {"an event out of order goes with the piece at hand",
     {event(20, 0x90, 1), event(5, 0x90, 2), event(30, 0x90, 3)},
     {"start", "block 20", "midi 1", "midi 2", "block 10", "midi 3", "block 34"},
     {0, 20, 30}},
    {"an event beyond the block follows its audio",
     {event(50, 0x90, 1), event(64, 0x90, 2), event(900, 0x90, 3)},
     {"start", "block 50", "midi 1", "block 14", "midi 2", "midi 3"},
     {0, 50}},
    {"an event before the block comes first",
     {event(-7, 0x90, 1), event(1, 0x90, 2)},
     {"start", "midi 1", "block 1", "midi 2", "block 63"},
     {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder p;
    p.PrepareToPlay(48000.0, 64);
    p.log.clear();
    Buffers buffers(64);
    plug::HostTransport transport;
    transport.hasTempo = true;
    transport.tempo = 150.0;
    transport.hasSamplePosition = true;
    transport.samplePosition = 1000.0;
    transport.hasTickPosition = true;
    transport.tickPosition = 2 * 960000;
    transport.isPlaying = true;
    plug::HostBlock block = buffers.block(64);
    block.midi = c.midi.data();
    block.nMidi = static_cast<int>(c.midi.size());
    block.transport = &transport;
    p.RenderAudio(block);

    EXPECT_EQ(p.log, c.expected);
    ASSERT_EQ(p.midi.size(), c.midi.size());
    for (size_t i = 0; i < c.midi.size(); ++i)
      EXPECT_EQ(p.midi[i].mOffset, c.midi[i].frame) << "the offset stays the frame in the host's block";
    ASSERT_EQ(p.blocks.size(), c.pieceStarts.size());
    for (size_t k = 0; k < p.blocks.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "piece " << k);
      const int start = c.pieceStarts[k];
      const Recorder::Block& piece = p.blocks[k];
      EXPECT_EQ(piece.left.front(), static_cast<double>(buffers.inL[static_cast<size_t>(start)]));
      EXPECT_EQ(piece.right.back(), static_cast<double>(buffers.inR[static_cast<size_t>(start + piece.frames - 1)]));
      // 150 BPM at 48 kHz: 2.5 quarter notes a second, 1/19200 of a quarter note a frame.
      EXPECT_EQ(piece.transport.mSamplePos, 1000.0 + start);
      EXPECT_DOUBLE_EQ(piece.transport.mPPQPos, 2.0 + start / 19200.0);
      EXPECT_EQ(piece.transport.mTempo, 150.0);
      EXPECT_TRUE(piece.transport.mTransportIsRunning);
    }
    // The pieces' outputs make up the whole block.
    for (size_t i = 0; i < 64; ++i)
      ASSERT_EQ(buffers.outL[i], static_cast<float>(2.0 * static_cast<double>(buffers.inL[i]) + 0.25)) << "frame " << i;
    EXPECT_TRUE(p.onRenderThreadEverywhere);
    EXPECT_FALSE(p.OnRenderThread());
  }
}

TEST(RenderAudio, PiecesWithoutAHostPositionGoOnFromMinusOne)
{
  // A host without positions starts each block at -1; its pieces carry on as the block's frames.
  Recorder p;
  p.PrepareToPlay(48000.0, 32);
  Buffers buffers(32);
  const plug::HostMidiEvent midi[] = {event(12, 0x90, 1)};
  plug::HostBlock block = buffers.block(32);
  block.midi = midi;
  block.nMidi = 1;
  p.RenderAudio(block);
  ASSERT_EQ(p.blocks.size(), 2u);
  EXPECT_EQ(p.blocks[0].transport.mSamplePos, -1.0);
  EXPECT_EQ(p.blocks[1].transport.mSamplePos, 11.0);
  EXPECT_EQ(p.blocks[1].transport.mPPQPos, -1.0) << "no quarter-note position was given";
}

TEST(RenderAudio, ZeroFrameBlockStillDeliversMidi)
{
  Recorder p;
  p.PrepareToPlay(48000.0, 64);
  p.log.clear();
  const plug::HostMidiEvent midi[] = {event(0, 0x90, 7), event(0, 0x90, 8)};
  plug::HostBlock block; // no buffers at all
  block.nFrames = 0;
  block.midi = midi;
  block.nMidi = 2;
  p.RenderAudio(block);

  ASSERT_GE(p.log.size(), 3u);
  EXPECT_EQ((Log{p.log.begin(), p.log.begin() + 3}), (Log{"start", "midi 7", "midi 8"}));
  EXPECT_TRUE(p.resetBlockSizes.size() == 1u) << "a zero-frame block is no growth";
}

TEST(RenderAudio, LongerBlockResetsBeforeItIsProcessed)
{
  Recorder p;
  p.PrepareToPlay(48000.0, 256);
  EXPECT_EQ(p.log, (Log{"reset"}));
  EXPECT_EQ(p.resetBlockSizes, (std::vector<int>{256}));

  struct Step {
    int frames;
    Log expected;
  };
  const Step steps[] = {
    {256, {"start", "midi 1", "block 256"}},          {100, {"start", "midi 1", "block 100"}},
    {512, {"start", "midi 1", "reset", "block 512"}}, {300, {"start", "midi 1", "block 300"}},
    {512, {"start", "midi 1", "block 512"}},          {513, {"start", "midi 1", "reset", "block 513"}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.frames << " frames");
    p.log.clear();
    Buffers buffers(s.frames);
    const plug::HostMidiEvent midi[] = {event(0, 0x90, 1)};
    plug::HostBlock block = buffers.block(s.frames);
    block.midi = midi;
    block.nMidi = 1;
    p.RenderAudio(block);
    EXPECT_EQ(p.log, s.expected);
    // Converted faithfully even in the part of the scratch buffers that just grew.
    EXPECT_EQ(p.blocks.back().left.back(), static_cast<double>(buffers.inL.back()));
    EXPECT_EQ(buffers.outR.back(), static_cast<float>(2.0 * static_cast<double>(buffers.inR.back()) + 0.25));
  }
  // OnReset already sees the new block size.
  EXPECT_EQ(p.resetBlockSizes, (std::vector<int>{256, 512, 513}));
}

TEST(RenderAudio, FirstBlockWithoutPreparationResets)
{
  Recorder p;
  Buffers buffers(32);
  p.RenderAudio(buffers.block(32));
  EXPECT_EQ(p.log, (Log{"start", "reset", "block 32"}));
}

TEST(RenderAudio, BypassCopiesInputStillDeliversMidiAndSkipsProcessing)
{
  struct Case {
    const char* name;
    bool inPlace;
    int inputChannels;
  };
  const Case cases[] = {{"separate buffers", false, 2}, {"in place", true, 2}, {"one input channel", false, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder p;
    p.PrepareToPlay(44100.0, 128);
    p.log.clear();
    ASSERT_TRUE(p.SendMidiMsgFromUI(message(0x90, 50)));

    Buffers buffers(100);
    const std::vector<float> inL = buffers.inL;
    const std::vector<float> inR = buffers.inR;
    float* inPlace[2] = {buffers.inL.data(), buffers.inR.data()};
    const plug::HostMidiEvent midi[] = {event(5, 0x90, 60)};
    MidiOut out;
    plug::HostBlock block = buffers.block(100);
    if (c.inPlace)
      block.outputs = inPlace;
    block.nInputChannels = c.inputChannels;
    block.midi = midi;
    block.nMidi = 1;
    block.bypass = true;
    block.midiOutput = &out;
    p.RenderAudio(block);

    // The editor's MIDI waits: it belongs to the processing that bypass skips.
    EXPECT_EQ(p.log, (Log{"start", "midi 60"}));
    EXPECT_TRUE(p.blocks.empty());
    const std::vector<float>& outL = c.inPlace ? buffers.inL : buffers.outL;
    const std::vector<float>& outR = c.inPlace ? buffers.inR : buffers.outR;
    EXPECT_EQ(outL, inL);
    if (c.inputChannels == 2)
      EXPECT_EQ(outR, inR);
    else
      EXPECT_EQ(outR, std::vector<float>(100, 0.0f)) << "an output without input is cleared";
    ASSERT_EQ(out.messages.size(), 1u);
    EXPECT_EQ(out.messages[0].mData1, 60);

    p.log.clear();
    block.bypass = false;
    p.RenderAudio(block);
    EXPECT_EQ(p.log, (Log{"start", "midi 50", "block 5", "midi 60", "block 95"}));
  }
}

TEST(RenderAudio, TimeInformation)
{
  plug::HostTransport full;
  full.hasTempo = true;
  full.tempo = 93.5;
  full.hasSamplePosition = true;
  full.samplePosition = 123456.0;
  full.hasTickPosition = true;
  full.tickPosition = 3 * 960000 + 480000;
  full.hasMeter = true;
  full.numerator = 7;
  full.denominator = 8;
  full.isPlaying = true;
  full.hasLoop = true;
  full.loopEnabled = true;
  full.loopStartTicks = 960000;
  full.loopEndTicks = 4 * 960000 + 240000;

  plug::HostTransport tempoOnly;
  tempoOnly.hasTempo = true;
  tempoOnly.tempo = 140.0;
  tempoOnly.samplePosition = 999.0; // without its flag: not given
  tempoOnly.tickPosition = 960000;
  tempoOnly.numerator = 3;

  struct Case {
    const char* name;
    const plug::HostTransport* transport;
    double tempo, samplePos, ppqPos, cycleStart, cycleEnd;
    int numerator, denominator;
    bool running, loop;
  };
  // Each case follows the full one, so values of an earlier block must not linger.
  const Case cases[] = {
    {"host gives everything", &full, 93.5, 123456.0, 3.5, 1.0, 4.25, 7, 8, true, true},
    {"host gives no transport", nullptr, 120.0, -1.0, -1.0, -1.0, -1.0, 4, 4, false, false},
    {"host gives only the tempo", &tempoOnly, 140.0, -1.0, -1.0, -1.0, -1.0, 4, 4, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder p;
    p.PrepareToPlay(48000.0, 16);
    Buffers buffers(16);
    plug::HostBlock block = buffers.block(16);
    block.transport = &full;
    p.RenderAudio(block);
    block.transport = c.transport;
    p.RenderAudio(block);

    ASSERT_EQ(p.blocks.size(), 2u);
    const plug::ITransportInfo& t = p.blocks[1].transport;
    EXPECT_EQ(t.mTempo, c.tempo);
    EXPECT_EQ(t.mSamplePos, c.samplePos);
    EXPECT_EQ(t.mPPQPos, c.ppqPos);
    EXPECT_EQ(t.mLastBar, -1.0);
    EXPECT_EQ(t.mCycleStart, c.cycleStart);
    EXPECT_EQ(t.mCycleEnd, c.cycleEnd);
    EXPECT_EQ(t.mNumerator, c.numerator);
    EXPECT_EQ(t.mDenominator, c.denominator);
    EXPECT_EQ(t.mTransportIsRunning, c.running);
    EXPECT_EQ(t.mTransportLoopEnabled, c.loop);
  }
}

TEST(RenderAudio, EditorMidiArrivesAfterTheFirstFramesHostMidiAndBeforeAudio)
{
  Recorder p;
  p.PrepareToPlay(48000.0, 32);
  p.log.clear();
  ASSERT_TRUE(p.SendMidiMsgFromUI(message(0x90, 20)));
  ASSERT_TRUE(p.SendMidiMsgFromUI(message(0x80, 21)));
  Buffers buffers(32);
  const plug::HostMidiEvent midi[] = {event(0, 0x90, 10), event(9, 0x90, 11)};
  plug::HostBlock block = buffers.block(32);
  block.midi = midi;
  block.nMidi = 2;
  p.RenderAudio(block);
  EXPECT_EQ(p.log, (Log{"start", "midi 10", "midi 20", "midi 21", "block 9", "midi 11", "block 23"}));

  // Drained: the next block has none.
  p.log.clear();
  p.RenderAudio(buffers.block(32));
  EXPECT_EQ(p.log, (Log{"start", "block 32"}));
}

TEST(RenderAudio, HostMidiReachesTheEditorThroughTheTimer)
{
  Recorder p;
  p.PrepareToPlay(48000.0, 32);
  const plug::HostMidiEvent midi[] = {event(1, 0x90, 30), event(2, 0xB0, 31)};
  Buffers buffers(32);
  plug::HostBlock block = buffers.block(32);
  block.midi = midi;
  block.nMidi = 2;
  p.RenderAudio(block);
  block.bypass = true; // bypass does not stop MIDI
  block.nMidi = 1;
  p.RenderAudio(block);
  ASSERT_TRUE(p.editorMidi.empty()) << "only the timer hands messages to the editor";

  p.OnTimer();
  ASSERT_EQ(p.editorMidi.size(), 3u);
  EXPECT_EQ(p.editorMidi[0].mData1, 30);
  EXPECT_EQ(p.editorMidi[0].mOffset, 1);
  EXPECT_EQ(p.editorMidi[1].mData1, 31);
  EXPECT_EQ(p.editorMidi[2].mData1, 30);
}

TEST(RenderAudio, WhatThePluginSentGoesToTheHostOutputOnce)
{
  Recorder p;
  p.PrepareToPlay(48000.0, 32);
  Buffers buffers(32);
  const plug::HostMidiEvent midi[] = {event(4, 0x91, 40, 1), event(4, 0xE2, 0, 64), event(30, 0x81, 40, 0)};
  MidiOut out;
  plug::HostBlock block = buffers.block(32);
  block.midi = midi;
  block.nMidi = 3;
  block.midiOutput = &out;
  p.RenderAudio(block);

  // In the order sent: each piece's marker, the events between the pieces.
  ASSERT_EQ(out.messages.size(), 6u);
  const int fromHost[] = {1, 2, 4}; // where the host's events lie among the sent messages
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(testing::Message() << "message " << i);
    const plug::IMidiMsg& sent = out.messages[static_cast<size_t>(fromHost[i])];
    EXPECT_EQ(sent.mOffset, midi[i].frame);
    EXPECT_EQ(sent.mStatus, midi[i].status);
    EXPECT_EQ(sent.mData1, midi[i].data1);
    EXPECT_EQ(sent.mData2, midi[i].data2);
  }
  for (size_t marker : {0u, 3u, 5u})
    EXPECT_EQ(out.messages[marker].mStatus, kBlockMarker);

  // The outgoing list is emptied every call, also when the host takes nothing.
  out.messages.clear();
  block.nMidi = 0;
  p.RenderAudio(block);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_EQ(out.messages[0].mStatus, kBlockMarker);

  block.midiOutput = nullptr;
  block.nMidi = 3;
  p.RenderAudio(block);
  block.midiOutput = &out;
  block.nMidi = 0;
  out.messages.clear();
  p.RenderAudio(block);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_EQ(out.messages[0].mStatus, kBlockMarker);
}

TEST(RenderAudio, InPlaceBuffersAndFloatConversion)
{
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "separate buffers");
    Recorder p;
    p.PrepareToPlay(48000.0, 50);
    Buffers buffers(50);
    const std::vector<float> inL = buffers.inL;
    const std::vector<float> inR = buffers.inR;
    float* io[2] = {buffers.inL.data(), buffers.inR.data()};
    plug::HostBlock block = buffers.block(50);
    if (inPlace)
      block.outputs = io;
    p.RenderAudio(block);

    ASSERT_EQ(p.blocks.size(), 1u);
    const std::vector<float>& outL = inPlace ? buffers.inL : buffers.outL;
    const std::vector<float>& outR = inPlace ? buffers.inR : buffers.outR;
    for (size_t i = 0; i < 50; ++i) {
      SCOPED_TRACE(testing::Message() << "frame " << i);
      EXPECT_EQ(p.blocks[0].left[i], static_cast<double>(inL[i]));
      EXPECT_EQ(p.blocks[0].right[i], static_cast<double>(inR[i]));
      EXPECT_EQ(outL[i], static_cast<float>(2.0 * static_cast<double>(inL[i]) + 0.25));
      EXPECT_EQ(outR[i], static_cast<float>(2.0 * static_cast<double>(inR[i]) + 0.25));
    }
  }
}

TEST(RenderAudio, MissingInputsReadAsSilence)
{
  Recorder p;
  p.PrepareToPlay(48000.0, 20);
  Buffers buffers(20);
  plug::HostBlock block = buffers.block(20);
  block.nInputChannels = 1;
  p.RenderAudio(block);
  ASSERT_EQ(p.blocks.size(), 1u);
  EXPECT_EQ(p.blocks[0].right, std::vector<double>(20, 0.0));
  EXPECT_EQ(buffers.outR, std::vector<float>(20, 0.25f));

  block.inputs = nullptr;
  p.RenderAudio(block);
  EXPECT_EQ(p.blocks[1].left, std::vector<double>(20, 0.0));
}
