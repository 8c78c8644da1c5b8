#include "apps/quennet-render/SmfCheck.h"

#include <cstdint>
#include <limits>

namespace render {

namespace {

std::uint32_t be32(const std::vector<unsigned char>& d, size_t at)
{
  return (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) | d[at + 3];
}

unsigned be16(const std::vector<unsigned char>& d, size_t at)
{
  return (unsigned{d[at]} << 8) | d[at + 1];
}

// A variable-length quantity of at most four bytes inside [at, end).
bool readVarLength(const std::vector<unsigned char>& d, size_t& at, size_t end, std::uint32_t& value)
{
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= end)
      return false;
    const unsigned char byte = d[at++];
    value = (value << 7) | (byte & 0x7F);
    if (!(byte & 0x80))
      return true;
  }
  return false;
}

std::string checkTrack(const std::vector<unsigned char>& d, size_t at, size_t end, int number)
{
  const std::string where = "track " + std::to_string(number) + ": ";
  unsigned running = 0;  // running status; 0: none
  bool ended = false;
  std::uint64_t pulses = 0;
  while (at < end) {
    if (ended)
      return where + "events after End of Track";
    std::uint32_t delta = 0;
    if (!readVarLength(d, at, end, delta))
      return where + "a time runs past the end of the track";
    pulses += delta;
    // libsmf keeps times in an int.
    if (pulses > static_cast<std::uint64_t>(std::numeric_limits<int>::max() / 2))
      return where + "the track is too long";
    if (at >= end)
      return where + "an event is missing after its time";

    unsigned status = d[at];
    if (status & 0x80) {
      ++at;
    } else if (running == 0) {
      return where + "a data byte without a status";
    } else {
      status = running;
    }

    if (status == 0xFF) {  // meta event
      if (at >= end)
        return where + "a meta event is cut off";
      const unsigned type = d[at++];
      std::uint32_t length = 0;
      if (type & 0x80 || !readVarLength(d, at, end, length) || length > end - at)
        return where + "a meta event is cut off";
      if (type == 0x51 && (length != 3 || (d[at] | d[at + 1] | d[at + 2]) == 0))
        return where + "a tempo event is malformed";
      if (type == 0x2F)
        ended = true;
      at += length;
      running = 0;
    } else if (status == 0xF7) {
      return where + "escaped system-exclusive events (F7) are not supported";
    } else if (status == 0xF0) {  // system exclusive
      std::uint32_t length = 0;
      if (!readVarLength(d, at, end, length) || length > end - at)
        return where + "a system-exclusive message is cut off";
      at += length;
      running = 0;
    } else if (status > 0xF0) {
      return where + "a system message that does not belong in a file";
    } else {  // channel message
      const unsigned dataBytes = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
      if (dataBytes > end - at)
        return where + "an event is cut off at the end of the track";
      for (unsigned i = 0; i < dataBytes; ++i)
        if (d[at + i] & 0x80)
          return where + "an event lacks a data byte";
      at += dataBytes;
      running = status;
    }
  }
  if (!ended)
    return where + "no End of Track";
  return "";
}

} // namespace

std::string findSmfProblem(const std::vector<unsigned char>& d)
{
  if (d.size() < 14 || d[0] != 'M' || d[1] != 'T' || d[2] != 'h' || d[3] != 'd')
    return "no MIDI file header";
  const std::uint32_t headerLength = be32(d, 4);
  if (headerLength < 6 || headerLength > d.size() - 8)
    return "the header is malformed";
  const unsigned format = be16(d, 8);
  const unsigned tracks = be16(d, 10);
  const unsigned division = be16(d, 12);
  if (format > 1)
    return "format " + std::to_string(format) + " is not supported (only 0 and 1)";
  if (tracks == 0 || (format == 0 && tracks != 1))
    return "the header gives a wrong number of tracks";
  if (division & 0x8000)
    return "SMPTE time code timing is not supported";
  if (division == 0)
    return "zero pulses per quarter note";

  size_t at = 8 + headerLength;
  unsigned found = 0;
  while (found < tracks) {
    if (d.size() - at < 8)
      return "the header promises " + std::to_string(tracks) + " tracks, the file holds " + std::to_string(found);
    const std::uint32_t length = be32(d, at + 4);
    if (length > d.size() - at - 8)
      return "a chunk runs past the end of the file";
    const bool track = d[at] == 'M' && d[at + 1] == 'T' && d[at + 2] == 'r' && d[at + 3] == 'k';
    if (track) {
      const std::string problem = checkTrack(d, at + 8, at + 8 + length, static_cast<int>(found) + 1);
      if (!problem.empty())
        return problem;
      ++found;
    }
    at += 8 + length;  // chunks of other kinds are skipped, as the format says
  }
  return "";
}

} // namespace render
