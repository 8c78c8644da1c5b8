// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/quennet-render/FilePlace.h"
#include "apps/quennet-render/SmfReader.h"

namespace render {

// A short MIDI message at an absolute frame of the rendered stream.
struct TimedMidiEvent {
  std::int64_t frame = 0;
  std::uint8_t status = 0;
  std::uint8_t data1 = 0;
  std::uint8_t data2 = 0;
};

// The largest MIDI file the renderer reads, in bytes. A file beyond it is refused before it is
// read; a FIFO or device is read only up to one byte more.
constexpr std::size_t kMaxMidiFileBytes = std::size_t{64} << 20;

// The channel messages of a Standard MIDI File (format 0 or 1, timed in pulses per quarter note),
// in file order: by time, events at the same time in track order. Frame 0 is the file's time 0;
// each event's time comes from the file's own tempo map (120 BPM until its first tempo event),
// exact in integers and rounded to the nearest frame at `sampleRate`. Meta events and
// system-exclusive messages are skipped.
//
// The file is read and checked whole by the constructor; the events are then worked out as they
// are asked for, so memory stays at the file's size however many events it holds, and the events
// after the end of a render are never looked at.
class MidiFile {
public:
  // Throws BadInput for a missing, unreadable, too large or broken file.
  MidiFile(const std::string& path, int sampleRate);
  // The same from bytes already read; `name` is what messages call the file.
  MidiFile(std::vector<std::uint8_t> bytes, const std::string& name, int sampleRate);
  MidiFile(const MidiFile&) = delete;
  MidiFile& operator=(const MidiFile&) = delete;

  // Where the file is, to keep outputs off it; none for bytes handed over.
  const std::optional<FilePlace>& place() const { return mPlace; }

  // Starts again from the first event.
  void rewind();
  // The next channel message; false after the last. Frames never decrease; an event too late
  // for 64 bits gets the largest frame.
  bool next(TimedMidiEvent& event);

  // A file's bytes and where it is.
  struct ReadFile {
    std::vector<std::uint8_t> bytes;
    FilePlace place;
  };

private:
  MidiFile(ReadFile file, const std::string& name, int sampleRate);

  __extension__ using Scaled = unsigned __int128; // microseconds · ppqn

  std::vector<std::uint8_t> mBytes;
  std::optional<FilePlace> mPlace;
  SmfReader mReader;
  int mSampleRate = 0;
  // The tempo map so far: since mTempoPulses, mMicrosPerQuarter; before it, mScaledAtTempo
  // microseconds · ppqn in all.
  std::uint64_t mTempoPulses = 0;
  std::uint32_t mMicrosPerQuarter = 500000;
  Scaled mScaledAtTempo = 0;
};

} // namespace render
