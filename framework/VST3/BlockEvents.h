// SPDX-License-Identifier: ISC
#pragma once

#include <vector>

#include "framework/HostBlock.h"
#include "travesty/audio_processor.h"
#include "travesty/events.h"

namespace plug::vst3 {

// One host block's MIDI as the processing call takes it: the notes of the host's event list and the
// controllers that reach the plug-in as parameter changes (IMidiMapping), merged into one list of
// short MIDI messages sorted by frame (events of the same frame keep their order: the event list's
// first). Frames lie within the block; an event before it counts at frame 0, one after it at the
// last frame (frame 0 in a block of 0 frames).
//
// What a host writes is checked before it is used: events of other buses, of unknown types, with
// channels or pitches out of range are dropped, velocities and controller values are clamped. At
// most kCapacity events are kept per block; later ones are dropped. Audio thread: nothing here
// allocates after construction.
class BlockEvents {
public:
  static constexpr int kCapacity = 1024;
  // Entries of a host's list or queue looked at per block, kept or not: a host that claims more
  // cannot keep the audio thread busy.
  static constexpr int kMaxRead = 4 * kCapacity;

  BlockEvents() { mEvents.reserve(kCapacity); }

  // Starts a block of `nFrames` frames with no events.
  void Clear(int nFrames);
  // Note-ons, note-offs and controllers (legacy MIDI controller events) of bus 0.
  void ReadEventList(v3_event_list** list);
  // Every point of a controller parameter's queue, as controller `controller`'s message on
  // channel 1 at the point's frame; the normalised value v is the controller value round(127 v).
  void ReadControllerQueue(int controller, v3_param_value_queue** queue);
  // Sorts by frame, stably; call once every event of the block is in.
  void Sort();

  const HostMidiEvent* Data() const { return mEvents.data(); }
  int Size() const { return static_cast<int>(mEvents.size()); }

private:
  int frameOf(std::int32_t sampleOffset) const;
  void add(std::int32_t sampleOffset, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);

  std::vector<HostMidiEvent> mEvents;
  int mFrames = 0;
};

} // namespace plug::vst3
