// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

namespace plug {

// The length of the short MIDI message that `bytes` (`size` of them) start with, or 0 when they do
// not start with a well-formed one: a channel message, or a system common or real-time message,
// with every data byte below 0x80. System exclusive (F0 ... F7) is no short message, and a lone end
// of exclusive (F7) or an undefined status (F4, F5, F9, FD) is no message at all.
// Format-neutral: every bridge that receives raw MIDI bytes from a host checks them with this.
inline std::uint32_t ShortMidiMessageLength(const std::uint8_t* bytes, std::uint32_t size)
{
  if (size == 0)
    return 0;
  const std::uint8_t status = bytes[0];
  std::uint32_t length = 0;
  if (status < 0x80)
    return 0; // a data byte
  if (status < 0xC0 || (status >= 0xE0 && status < 0xF0))
    length = 3; // note off/on, poly pressure, controller, pitch bend
  else if (status < 0xE0)
    length = 2; // program change, channel pressure
  else
    switch (status) {
      case 0xF1: // time code quarter frame
      case 0xF3: length = 2; break; // song select
      case 0xF2: length = 3; break; // song position
      case 0xF6: // tune request
      case 0xF8:
      case 0xFA:
      case 0xFB:
      case 0xFC:
      case 0xFE:
      case 0xFF: length = 1; break; // real time
      default: return 0; // F0, F4, F5, F7, F9, FD
    }
  if (size < length)
    return 0;
  for (std::uint32_t i = 1; i < length; ++i)
    if (bytes[i] >= 0x80)
      return 0;
  return length;
}

} // namespace plug
