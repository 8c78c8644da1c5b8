// SPDX-License-Identifier: ISC
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>

#include "framework/IPluginBase.h"

// What the LV2 bridge and the generator of the bundle's Turtle must agree on: the plug-in's URI,
// the port order, which parameters get a control port, and how a control port's float becomes a
// plain parameter value. No LV2 header is needed here, so the generator stays free of them.
namespace plug::lv2 {

// The plug-in's identity in every LV2 host and in every saved session: never change it.
// Under the maker's reserved domain, like the AAX bundle identifier.
inline constexpr const char* kPluginURI = "http://tarnwellmusic.example/plugins/quennet";
// The editor, an X11 UI in the same bundle and binary.
inline constexpr const char* kUIURI = "http://tarnwellmusic.example/plugins/quennet#ui";
// The state property holding the state chunk (one little-endian double per parameter slot).
inline constexpr const char* kStateChunkURI = "http://tarnwellmusic.example/plugins/quennet#stateChunk";
// Bundle file names.
inline constexpr const char* kBinaryName = "quennet.so";
inline constexpr const char* kPluginTurtle = "quennet.ttl";
inline constexpr const char* kPresetsTurtle = "presets.ttl";

// Port indices. The control ports follow, one per parameter that has a kind (see HasControlPort),
// in parameter index order: for Quennet port kFirstControlPort + i is parameter i, i = 0 ... 21.
// The time input comes last (TimeInPort), so that the ports older versions had keep their
// indices.
enum Port : std::uint32_t {
  kAudioInLeft = 0,
  kAudioInRight = 1,
  kAudioOutLeft = 2,
  kAudioOutRight = 3,
  kEventsIn = 4, // MIDI (a time:Position here is read too)
  kEventsOut = 5, // MIDI through, state:StateChanged
  kFirstControlPort = 6,
};

// The time input: a sequence that supports time:Position and nothing else. Hosts such as Ardour
// send the transport on every cycle to such a port, but to a port that also takes MIDI only while
// a MIDI source is connected to it. Quennet's is port 28.
inline constexpr std::uint32_t TimeInPort(std::uint32_t numControlPorts)
{
  return kFirstControlPort + numControlPorts;
}

// The reserved parameter slots (never initialised) have no port; they live in the state only.
inline bool HasControlPort(const IParam& param)
{
  return param.Type() != IParam::kTypeNone;
}

// The plain value a host's float control stands for: the shortest decimal that reads back as the
// same float, as a double. A user who types 0.7 (or a preset that says 0.7) means 0.7, not the
// float's exact 0.699999988079071, and a parameter that is not stepped would keep that error.
// Allocation-free: safe on the audio thread. Non-finite values pass unchanged.
inline double PlainFromPortValue(float value)
{
  if (!std::isfinite(value))
    return static_cast<double>(value);
  char text[32];
  const std::to_chars_result printed = std::to_chars(text, text + sizeof(text), value);
  double plain = static_cast<double>(value);
  if (printed.ec == std::errc())
    std::from_chars(text, printed.ptr, plain);
  return plain;
}

} // namespace plug::lv2
