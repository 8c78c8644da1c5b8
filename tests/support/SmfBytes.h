// SPDX-License-Identifier: ISC
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// Standard MIDI Files built byte by byte, well-formed or broken on purpose.

// A variable-length quantity: seven bits per byte, most significant first, the high bit set on
// all bytes but the last.
inline std::string smfVarLength(std::uint32_t value)
{
  std::string bytes(1, static_cast<char>(value & 0x7F));
  for (value >>= 7; value != 0; value >>= 7)
    bytes.insert(bytes.begin(), static_cast<char>(0x80 | (value & 0x7F)));
  return bytes;
}

inline std::string smfBigEndian(std::uint32_t value, int bytes)
{
  std::string text;
  for (int i = bytes - 1; i >= 0; --i)
    text.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return text;
}

inline std::string smfChunk(const std::string& tag, const std::string& body)
{
  return tag + smfBigEndian(static_cast<std::uint32_t>(body.size()), 4) + body;
}

inline std::string smfHeader(int format, int tracks, int division)
{
  return smfChunk("MThd",
                  smfBigEndian(static_cast<std::uint32_t>(format), 2) +
                    smfBigEndian(static_cast<std::uint32_t>(tracks), 2) +
                    smfBigEndian(static_cast<std::uint32_t>(division), 2));
}

inline const std::string kSmfEndOfTrack("\xFF\x2F\x00", 3);

// A tempo meta event (without its time).
inline std::string smfTempo(std::uint32_t microsPerQuarter)
{
  return std::string("\xFF\x51\x03", 3) + smfBigEndian(microsPerQuarter, 3);
}

// One event of a track at an absolute time: the bytes as they stand in the file after the time.
struct SmfTimedEvent {
  int track = 0;
  std::uint32_t pulses = 0;
  std::string bytes;
};

// A whole file: each track's events in time order (the given order among equal times), every
// track closed by End of Track at its last event.
inline std::string smfFile(int format, int ppqn, int tracks, const std::vector<SmfTimedEvent>& events)
{
  std::string file = smfHeader(format, tracks, ppqn);
  std::vector<std::vector<SmfTimedEvent>> byTrack(static_cast<std::size_t>(tracks));
  for (const SmfTimedEvent& e : events)
    byTrack[static_cast<std::size_t>(e.track)].push_back(e);
  for (std::vector<SmfTimedEvent>& own : byTrack) {
    std::stable_sort(own.begin(), own.end(),
                     [](const SmfTimedEvent& a, const SmfTimedEvent& b) { return a.pulses < b.pulses; });
    std::string body;
    std::uint32_t now = 0;
    for (const SmfTimedEvent& e : own) {
      body += smfVarLength(e.pulses - now) + e.bytes;
      now = e.pulses;
    }
    body += smfVarLength(0) + kSmfEndOfTrack;
    file += smfChunk("MTrk", body);
  }
  return file;
}
