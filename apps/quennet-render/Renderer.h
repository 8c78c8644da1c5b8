#pragma once

#include <cstdint>
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

// Drives a plug-in through its processing call as a host does, one block after the other: the
// caller cuts the stream into blocks of blockSize frames (only the last may be shorter); each MIDI
// event goes to the block that holds its frame, at its offset within that block, in file order;
// with a transport the song position advances with the stream and the transport is playing.
//
// Everything is allocated by the constructor; prepare() and process() allocate nothing of their
// own (the plug-in sizes its buffers in prepare()).
class Renderer {
public:
  // `midi` may be null; it is read from its start and must outlive the renderer.
  Renderer(plug::IPlugin& plugin, const HostSettings& settings, MidiFile* midi);

  // Prepares the plug-in for the sample rate and block size (it resets and allocates here).
  void prepare();
  // The stream's next block: `frames` (1 … blockSize) frames of input into output (which may be
  // the same buffers).
  void process(const float* inputLeft, const float* inputRight, float* outputLeft, float* outputRight, int frames);

  std::int64_t framesDone() const { return mStart; }

private:
  void fillTransport();

  plug::IPlugin& mPlugin;
  HostSettings mSettings;
  MidiFile* mMidi;
  TimedMidiEvent mNextEvent;  // the first event not yet delivered
  bool mHasNextEvent = false;
  std::vector<plug::HostMidiEvent> mBlockEvents;  // sized for the busiest block of the file
  std::int64_t mStart = 0;  // first frame of the next block
  plug::HostTransport mTransport;
};

} // namespace render
