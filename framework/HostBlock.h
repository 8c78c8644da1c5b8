// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

#include "framework/IMidiMsg.h"

namespace plug {

// What a host tells about its transport for one block. Each group of fields counts only when its
// flag is set; a host that gives no transport at all passes no HostTransport.
struct HostTransport {
  bool hasTempo = false;
  double tempo = 120.0; // beats per minute

  bool hasSamplePosition = false;
  double samplePosition = 0.0; // samples since the song start

  bool hasTickPosition = false;
  std::int64_t tickPosition = 0; // host ticks since the song start

  bool hasMeter = false;
  int numerator = 4;
  int denominator = 4;

  bool isPlaying = false;

  bool hasLoop = false;
  bool loopEnabled = false;
  std::int64_t loopStartTicks = 0;
  std::int64_t loopEndTicks = 0;
};

// Host ticks per quarter note.
constexpr double kTicksPerQuarterNote = 960000.0;

// One MIDI event as a host delivers it: a frame within the block, status and two data bytes.
struct HostMidiEvent {
  int frame = 0;
  std::uint8_t status = 0;
  std::uint8_t data1 = 0;
  std::uint8_t data2 = 0;
};

// Where the plug-in's outgoing MIDI goes, when the host offers an output.
class HostMidiOutput {
public:
  virtual ~HostMidiOutput() = default;
  virtual void SendMidi(const IMidiMsg& msg) = 0;
};

// One render call, as every host bridge (AAX, LV2, the offline renderer) fills it.
struct HostBlock {
  const float* const* inputs = nullptr; // two channels
  float* const* outputs = nullptr; // two channels; may alias the inputs
  int nInputChannels = 2;
  int nOutputChannels = 2;
  int nFrames = 0;
  const HostMidiEvent* midi = nullptr;
  int nMidi = 0;
  const HostTransport* transport = nullptr;
  bool bypass = false;
  HostMidiOutput* midiOutput = nullptr; // null: the host takes no MIDI from the plug-in
};

} // namespace plug
