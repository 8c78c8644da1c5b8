#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace render {

// A short MIDI message at an absolute frame of the rendered stream.
struct TimedMidiEvent {
  std::int64_t frame = 0;
  std::uint8_t status = 0;
  std::uint8_t data1 = 0;
  std::uint8_t data2 = 0;
};

// The channel messages of a Standard MIDI File (format 0 or 1, timed in pulses per quarter note),
// in file order: by time, events at the same time in track order. Frame 0 is the file's time 0;
// each event's time comes from the file's own tempo map (120 BPM until its first tempo event),
// rounded to the nearest frame at `sampleRate`. Meta events and system-exclusive messages are
// skipped. Throws BadInput for a missing, unreadable or broken file.
std::vector<TimedMidiEvent> readMidiFile(const std::string& path, int sampleRate);

} // namespace render
