#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "apps/quennet-render/MidiFile.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

namespace render {

// How the renderer plays host.
struct HostSettings {
  double sampleRate = 48000.0;  // Hz
  int blockSize = 512;          // frames per processing call
  bool transport = true;        // false: no transport at all, the processing call's defaults apply
  double tempo = 120.0;         // beats per minute
  std::int64_t position = 0;    // song position of the first frame, in samples
};

// Drives a plug-in through its processing call as a host does: the stream is cut into blocks of
// blockSize frames (only the last may be shorter); each MIDI event goes to the block that holds
// its frame, at its offset within that block, in the given order; with a transport the song
// position advances with the stream and the transport is playing.
//
// Everything is allocated by the constructor; run() allocates nothing of its own.
class Renderer {
public:
  // Called after every block with its first frame and length; may throw to stop the render.
  using BlockDone = std::function<void(std::int64_t start, int frames)>;

  // `frames`: length of the whole stream. Events at or beyond it are never delivered.
  Renderer(plug::IPlugin& plugin, const HostSettings& settings, const std::vector<TimedMidiEvent>& midi,
           std::int64_t frames);

  // Prepares the plug-in for the sample rate and block size (it resets and allocates here), then
  // renders input into output (each `frames` long; they may be the same buffers).
  void run(const float* inputLeft, const float* inputRight, float* outputLeft, float* outputRight,
           const BlockDone& blockDone);

private:
  void fillTransport(std::int64_t start);

  plug::IPlugin& mPlugin;
  HostSettings mSettings;
  std::int64_t mFrames;
  std::vector<plug::HostMidiEvent> mEvents;  // block-relative frames, in delivery order
  std::vector<std::int64_t> mEventBlock;     // the first frame of the block each event goes to
  plug::HostTransport mTransport;
};

} // namespace render
