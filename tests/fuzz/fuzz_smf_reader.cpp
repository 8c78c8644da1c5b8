// SPDX-License-Identifier: ISC
// Arbitrary bytes through quennet-render's Standard MIDI File reader and its tempo map: nothing
// is read outside the bytes, a refused file comes with a reason, and an accepted one gives its
// events in the order a player meets them, at frames that never go back.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/MidiFile.h"
#include "apps/quennet-render/SmfReader.h"

namespace {

void checkMergedStream(const std::uint8_t* data, std::size_t size)
{
  render::SmfReader reader;
  std::string problem;
  if (!reader.open(data, size, problem)) {
    if (problem.empty())
      std::abort();
    return;
  }
  if (reader.ppqn() < 1 || reader.ppqn() > 32767 || reader.tracks() < 1 || reader.format() > 1)
    std::abort();
  for (int pass = 0; pass < 2; ++pass) {
    render::SmfEvent event;
    std::uint64_t pulses = 0;
    int track = 0;
    std::size_t count = 0;
    while (reader.next(event)) {
      // By time, then track; every event takes at least two bytes of the file.
      if (event.pulses < pulses || (event.pulses == pulses && event.track < track) || ++count > size / 2)
        std::abort();
      if (event.track < 0 || event.track >= reader.tracks())
        std::abort();
      if (event.kind == render::SmfEvent::Kind::Channel &&
          (event.status < 0x80 || event.status >= 0xF0 || event.data1 > 0x7F || event.data2 > 0x7F))
        std::abort();
      if (event.kind == render::SmfEvent::Kind::Tempo &&
          (event.microsPerQuarter == 0 || event.microsPerQuarter >= (1u << 24)))
        std::abort();
      pulses = event.pulses;
      track = event.track;
    }
    reader.rewind();
  }
}

void checkFrames(const std::uint8_t* data, std::size_t size)
{
  // The first byte picks a sample rate between 1000 and 384000 Hz.
  const int rate = size > 0 ? 1000 + static_cast<int>(data[0]) * 1500 : 48000;
  try {
    render::MidiFile midi(std::vector<std::uint8_t>(data, data + size), "fuzz.mid", rate);
    render::TimedMidiEvent event;
    std::int64_t frame = 0;
    while (midi.next(event)) {
      if (event.frame < frame || event.status < 0x80 || event.status >= 0xF0)
        std::abort();
      frame = event.frame;
    }
  } catch (const render::BadInput&) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  checkMergedStream(data, size);
  checkFrames(data, size);
  return 0;
}
