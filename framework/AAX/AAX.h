// SPDX-License-Identifier: ISC
#pragma once

// Our stand-in for the AAX host interface: the result codes, identifiers and structures that the
// bridge exchanges with an AAX host. Only what the bridge relies on is modelled; tests act as the host.

#include <cstdint>
#include <string>
#include <vector>

namespace plug::aax {

using AAX_Result = std::int32_t;
using AAX_CTypeID = std::uint32_t;

constexpr AAX_Result AAX_SUCCESS = 0;
constexpr AAX_Result AAX_ERROR_INVALID_PARAMETER_ID = -20001;
constexpr AAX_Result AAX_ERROR_NULL_OBJECT = -20004;
constexpr AAX_Result AAX_ERROR_INVALID_CHUNK_INDEX = -20006;
constexpr AAX_Result AAX_ERROR_INVALID_CHUNK_ID = -20007;

// A state chunk as the host stores it with a project: an id, a byte count and the bytes.
struct AAX_SPlugInChunk {
  AAX_CTypeID fChunkID = 0;
  std::int32_t fSize = 0; // bytes used in fData
  std::vector<std::uint8_t> fData; // the host sizes it from GetChunkSize before GetChunk
};

// The names an effect gives the channels of its input and output stems, in channel order; the
// host shows them in its routing and meters.
struct AAX_StemChannelNames {
  std::vector<std::string> input;
  std::vector<std::string> output;
};

// What the host knows about its transport for one block.
struct AAX_Transport {
  double tempo = 120.0; // beats per minute
  std::int64_t tickPosition = 0; // ticks of 1/960000 quarter note
  std::int64_t samplePosition = 0;
  bool isPlaying = false;
  std::int32_t numerator = 4;
  std::int32_t denominator = 4;
  bool loopEnabled = false;
  std::int64_t loopStartTicks = 0;
  std::int64_t loopEndTicks = 0;
};

// One incoming MIDI packet of the block.
struct AAX_MidiPacket {
  std::uint32_t timestamp = 0; // frame within the block
  std::uint8_t data[3] = {0, 0, 0};
};

// The algorithm's context for one render call.
struct AAX_RenderContext {
  const float* const* inputs = nullptr; // two channels
  float* const* outputs = nullptr; // two channels
  std::int32_t bufferSize = 0;
  const AAX_MidiPacket* midiPackets = nullptr; // the "Quennet Midi" input node
  std::int32_t numMidiPackets = 0;
  const AAX_Transport* transport = nullptr; // null when the host gives none
  bool bypass = false; // the "Master Bypass" parameter
};

} // namespace plug::aax
