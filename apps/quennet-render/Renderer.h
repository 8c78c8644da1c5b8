// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "apps/quennet-render/MidiFile.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

namespace render {

// How the renderer plays host.
struct HostSettings {
  double sampleRate = 48000.0; // Hz
  int blockSize = 512; // frames per processing call
  bool transport = true; // false: no transport at all, the processing call's defaults apply
  double tempo = 120.0; // beats per minute
  std::int64_t position = 0; // song position of the first frame, in samples
};

// The most MIDI events one block takes. A host's event buffer has a size too: a file that puts
// more events into one block (a hostile one: 33 million at one tick) has the rest wait for the
// blocks after it, in order, rather than making the renderer hold them all at once (8 bytes each).
constexpr std::size_t kMaxMidiEventsPerBlock = std::size_t{1} << 20;

// Drives a plug-in through its processing call as a host does, one block after the other: the
// caller cuts the stream into blocks of blockSize frames (only the last may be shorter); each MIDI
// event goes to the block that holds its frame, at its offset within that block, in file order;
// with a transport the song position advances with the stream and the transport is playing.
//
// The block's event buffer grows to the busiest block met so far, up to kMaxMidiEventsPerBlock;
// events beyond the end of the stream are never read.
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
  // Events that came in a block already holding kMaxMidiEventsPerBlock, and so at the start of a
  // later one.
  std::int64_t lateMidiEvents() const { return mLateEvents; }

private:
  void fillTransport();

  plug::IPlugin& mPlugin;
  HostSettings mSettings;
  MidiFile* mMidi;
  TimedMidiEvent mNextEvent; // the first event not yet delivered
  bool mHasNextEvent = false;
  std::vector<plug::HostMidiEvent> mBlockEvents; // the busiest block so far
  std::int64_t mStart = 0; // first frame of the next block
  std::int64_t mLateEvents = 0;
  plug::HostTransport mTransport;
};

} // namespace render
