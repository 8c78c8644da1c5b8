// SPDX-License-Identifier: ISC
#include "framework/VST3/BlockEvents.h"

#include <algorithm>
#include <cmath>

namespace plug::vst3 {

namespace {

// A normalised amount 0 ... 1 as a 7-bit MIDI value; NaN counts as 0.
std::uint8_t sevenBits(double value)
{
  if (!(value > 0.0))
    return 0;
  return static_cast<std::uint8_t>(std::lround(std::min(value, 1.0) * 127.0));
}

bool validChannel(int channel)
{
  return channel >= 0 && channel < 16;
}

bool validNote(int pitch)
{
  return pitch >= 0 && pitch < 128;
}

} // namespace

void BlockEvents::Clear(int nFrames)
{
  mEvents.clear();
  mFrames = std::max(nFrames, 0);
}

int BlockEvents::frameOf(std::int32_t sampleOffset) const
{
  const int last = mFrames > 0 ? mFrames - 1 : 0;
  return std::clamp(static_cast<int>(sampleOffset), 0, last);
}

void BlockEvents::add(std::int32_t sampleOffset, std::uint8_t status, std::uint8_t data1, std::uint8_t data2)
{
  if (Size() >= kCapacity)
    return;
  mEvents.push_back(HostMidiEvent{frameOf(sampleOffset), status, data1, data2});
}

void BlockEvents::ReadEventList(v3_event_list** list)
{
  if (!list || !*list)
    return;
  v3_event_list* events = v3_cpp_obj(list);
  const std::uint32_t count = std::min<std::uint32_t>(events->get_event_count(list), kMaxRead);
  for (std::uint32_t i = 0; i < count && Size() < kCapacity; ++i) {
    v3_event event{};
    if (events->get_event(list, static_cast<std::int32_t>(i), &event) != V3_OK || event.bus_index != 0)
      continue;
    switch (event.type) {
      case V3_EVENT_NOTE_ON: {
        const v3_event_note_on& note = event.note_on;
        if (!validChannel(note.channel) || !validNote(note.pitch))
          break;
        // A note-on stays a note-on: velocity 0 would mean a note-off in MIDI.
        const std::uint8_t velocity = std::max<std::uint8_t>(sevenBits(note.velocity), 1);
        add(event.sample_offset, static_cast<std::uint8_t>(0x90 | note.channel), static_cast<std::uint8_t>(note.pitch),
            velocity);
        break;
      }
      case V3_EVENT_NOTE_OFF: {
        const v3_event_note_off& note = event.note_off;
        if (!validChannel(note.channel) || !validNote(note.pitch))
          break;
        add(event.sample_offset, static_cast<std::uint8_t>(0x80 | note.channel), static_cast<std::uint8_t>(note.pitch),
            sevenBits(note.velocity));
        break;
      }
      case V3_EVENT_LEGACY_MIDI_CC_OUT: {
        // Some hosts pass controllers this way too; numbers from 128 on are other messages.
        const v3_event_legacy_midi_cc_out& cc = event.midi_cc_out;
        if (cc.cc_number >= 128 || !validChannel(cc.channel))
          break;
        const int value = std::clamp<int>(cc.value, 0, 127);
        add(event.sample_offset, static_cast<std::uint8_t>(0xB0 | cc.channel), cc.cc_number,
            static_cast<std::uint8_t>(value));
        break;
      }
      default: break; // pressure, expression, chords, scales, system exclusive: not for this plug-in
    }
  }
}

void BlockEvents::ReadControllerQueue(int controller, v3_param_value_queue** queue)
{
  if (!queue || !*queue || controller < 0 || controller >= 128)
    return;
  v3_param_value_queue* points = v3_cpp_obj(queue);
  const std::int32_t count = std::min<std::int32_t>(points->get_point_count(queue), kMaxRead);
  for (std::int32_t i = 0; i < count && Size() < kCapacity; ++i) {
    std::int32_t offset = 0;
    double value = 0.0;
    if (points->get_point(queue, i, &offset, &value) != V3_OK || std::isnan(value))
      continue;
    add(offset, 0xB0, static_cast<std::uint8_t>(controller), sevenBits(value));
  }
}

void BlockEvents::Sort()
{
  // Insertion sort: stable, allocation-free, and linear for the usual list that is sorted already.
  for (std::size_t i = 1; i < mEvents.size(); ++i) {
    const HostMidiEvent event = mEvents[i];
    std::size_t j = i;
    while (j > 0 && mEvents[j - 1].frame > event.frame) {
      mEvents[j] = mEvents[j - 1];
      --j;
    }
    mEvents[j] = event;
  }
}

} // namespace plug::vst3
