// SPDX-License-Identifier: ISC
#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

// Stereo float audio, one vector per channel.
struct StereoBuffer {
  std::vector<float> left;
  std::vector<float> right;

  explicit StereoBuffer(size_t frames = 0) : left(frames, 0.0f), right(frames, 0.0f) {}
  size_t frames() const { return left.size(); }
};

// A MIDI event at an absolute frame of the stream.
struct TimedMidi {
  long frame;
  std::uint8_t status;
  std::uint8_t data1;
  std::uint8_t data2;
};

// Collects what the plug-in sends to the host's MIDI output.
struct MidiCollector : plug::HostMidiOutput {
  std::vector<plug::IMidiMsg> messages;
  void SendMidi(const plug::IMidiMsg& msg) override { messages.push_back(msg); }
};

// Drives a plug-in through the render call as a host does: the stream is cut into blocks of
// `blockSize` frames (the last may be shorter); each event goes to the block holding its frame.
// With a transport, the song position advances with the stream from `startPosition`.
struct RenderOptions {
  int blockSize = 512;
  std::optional<double> tempo = 120.0; // no value: the host gives no transport
  double startPosition = 0.0;
  std::vector<TimedMidi> midi;
  MidiCollector* midiOut = nullptr;
};

inline StereoBuffer renderThrough(plug::IPlugin& plugin, const StereoBuffer& input, const RenderOptions& options = {})
{
  StereoBuffer output(input.frames());
  const long total = static_cast<long>(input.frames());
  size_t nextEvent = 0;
  for (long start = 0; start < total || (start == 0 && total == 0); start += options.blockSize) {
    const int n = static_cast<int>(std::min<long>(options.blockSize, total - start));
    std::vector<plug::HostMidiEvent> events;
    while (nextEvent < options.midi.size() && options.midi[nextEvent].frame < start + n) {
      const TimedMidi& e = options.midi[nextEvent++];
      events.push_back({static_cast<int>(e.frame - start), e.status, e.data1, e.data2});
    }
    plug::HostTransport transport;
    if (options.tempo) {
      transport.hasTempo = true;
      transport.tempo = *options.tempo;
      transport.hasSamplePosition = true;
      transport.samplePosition = options.startPosition + static_cast<double>(start);
      transport.isPlaying = true;
    }
    const float* in[2] = {input.left.data() + start, input.right.data() + start};
    float* out[2] = {output.left.data() + start, output.right.data() + start};
    plug::HostBlock block;
    block.inputs = in;
    block.outputs = out;
    block.nFrames = n;
    block.midi = events.data();
    block.nMidi = static_cast<int>(events.size());
    block.transport = options.tempo ? &transport : nullptr;
    block.midiOutput = options.midiOut;
    plugin.RenderAudio(block);
    if (total == 0)
      break;
  }
  return output;
}

// A render call of zero frames: delivers pending changes and MIDI without audio.
inline void renderEmptyBlock(plug::IPlugin& plugin, const std::vector<plug::HostMidiEvent>& midi = {})
{
  plug::HostBlock block;
  block.nFrames = 0;
  block.midi = midi.data();
  block.nMidi = static_cast<int>(midi.size());
  plugin.RenderAudio(block);
}
