// SPDX-License-Identifier: ISC
// Arbitrary MIDI messages, including controllers mapped to parameters, into the processing call
// with audio: nothing crashes, and finite input gives finite output.

#include <cstdint>
#include <cstdlib>

#include "FuzzPlugin.h"

using namespace quennet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  useScratchHome();
  static Quennet* plugin = [] {
    // The plug-in alone: no editor side, nothing of the graphics library.
    auto* q = new Quennet(plug::InstanceInfo{});
    // Controllers 0 ... 28 move parameters 0 ... 28, reserved slots included.
    for (int cc = 0; cc <= 28; ++cc)
      q->learn().setControllerParam(cc, cc);
    q->PrepareToPlay(44100.0, 128);
    return q;
  }();
  if (size < 2)
    return 0;

  // The first byte picks the block length, then four bytes per event: frame, status, data, data.
  const int frames = data[0] % 129;
  constexpr int kMaxEvents = 256;
  plug::HostMidiEvent events[kMaxEvents];
  int nEvents = 0;
  for (std::size_t i = 1; i + 3 < size && nEvents < kMaxEvents; i += 4)
    events[nEvents++] = {data[i] % (frames + 1), data[i + 1], static_cast<std::uint8_t>(data[i + 2] & 0x7F),
                         static_cast<std::uint8_t>(data[i + 3] & 0x7F)};

  static float in[2][128];
  static float out[2][128];
  static long phase = 0;
  for (int i = 0; i < 128; ++i, ++phase)
    in[0][i] = in[1][i] = static_cast<float>(0.8 * std::sin(0.031 * static_cast<double>(phase)));
  const float* inputs[2] = {in[0], in[1]};
  float* outputs[2] = {out[0], out[1]};
  plug::HostTransport transport;
  transport.hasTempo = true;
  transport.tempo = 60.0 + data[0];
  transport.hasSamplePosition = true;
  transport.samplePosition = static_cast<double>(phase);
  plug::HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nFrames = frames;
  block.midi = events;
  block.nMidi = nEvents;
  block.transport = &transport;
  plugin->RenderAudio(block);
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < frames; ++i)
      if (!std::isfinite(out[c][i]))
        std::abort();
  if (!parametersSane(*plugin))
    std::abort();
  return 0;
}
