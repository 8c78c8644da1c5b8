// SPDX-License-Identifier: ISC
#include "apps/quennet-render/SmfReader.h"

#include <algorithm>

namespace render {

namespace {

constexpr std::uint8_t kMeta = 0xFF;
constexpr std::uint8_t kMetaEndOfTrack = 0x2F;
constexpr std::uint8_t kMetaTempo = 0x51;
constexpr std::uint8_t kSysEx = 0xF0;
constexpr std::uint8_t kSysExEscape = 0xF7;

std::uint32_t be32(const std::uint8_t* d)
{
  return (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
}

unsigned be16(const std::uint8_t* d)
{
  return (unsigned{d[0]} << 8) | d[1];
}

bool isChunk(const std::uint8_t* d, const char* tag)
{
  return d[0] == tag[0] && d[1] == tag[1] && d[2] == tag[2] && d[3] == tag[3];
}

enum class Number { Read, CutOff, TooLong };

// A variable-length quantity of at most four bytes (28 bits) inside [at, end).
Number readVarLength(const std::uint8_t* d, std::size_t& at, std::size_t end, std::uint32_t& value)
{
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= end)
      return Number::CutOff;
    const std::uint8_t byte = d[at++];
    value = (value << 7) | (byte & 0x7F);
    if (!(byte & 0x80))
      return Number::Read;
  }
  return Number::TooLong;
}

} // namespace

SmfReader::Step SmfReader::fail(std::string* problem, const char* reason)
{
  if (problem)
    *problem = reason;
  return Step::Problem;
}

// One event of a track. A track's time can grow by at most 2^28 pulses per two bytes of the
// file, so 64 bits cannot overflow for any file that fits in memory.
//
// A track ends at its End of Track event (bytes after it are ignored) or, without one, with its
// chunk: an event that the chunk's end cuts off is dropped, as players do.
SmfReader::Step SmfReader::step(Cursor& c, SmfEvent& event, std::string* problem) const
{
  const std::uint8_t* d = mData;
  if (c.ended || c.at >= c.end)
    return Step::End;
  const auto cutOff = [&c] {
    c.at = c.end;
    return Step::End;
  };

  std::uint32_t delta = 0;
  switch (readVarLength(d, c.at, c.end, delta)) {
    case Number::Read: break;
    case Number::CutOff: return cutOff();
    case Number::TooLong: return fail(problem, "a time longer than four bytes");
  }
  c.pulses += delta;
  if (c.at >= c.end)
    return cutOff();

  std::uint8_t status = d[c.at];
  if (status & 0x80)
    ++c.at;
  else if (c.running == 0)
    return fail(problem, "a data byte without a status");
  else
    status = c.running;

  if (status == kMeta) {
    c.running = 0;
    if (c.at >= c.end)
      return cutOff();
    if (d[c.at] & 0x80)
      return fail(problem, "a meta event's type is above 127");
    const std::uint8_t type = d[c.at++];
    std::uint32_t length = 0;
    switch (readVarLength(d, c.at, c.end, length)) {
      case Number::Read: break;
      case Number::CutOff: return cutOff();
      case Number::TooLong: return fail(problem, "a meta event's length is longer than four bytes");
    }
    if (length > c.end - c.at)
      return cutOff();
    const std::size_t body = c.at;
    c.at += length;
    if (type == kMetaEndOfTrack) {
      c.ended = true;
      return Step::Skipped;
    }
    if (type != kMetaTempo)
      return Step::Skipped;
    const std::uint32_t micros =
      length == 3 ? (std::uint32_t{d[body]} << 16) | (std::uint32_t{d[body + 1]} << 8) | d[body + 2] : 0;
    if (micros == 0)
      return fail(problem, "a tempo event is malformed");
    event = SmfEvent{};
    event.kind = SmfEvent::Kind::Tempo;
    event.pulses = c.pulses;
    event.microsPerQuarter = micros;
    return Step::Event;
  }
  if (status == kSysEx || status == kSysExEscape) {
    c.running = 0;
    std::uint32_t length = 0;
    switch (readVarLength(d, c.at, c.end, length)) {
      case Number::Read: break;
      case Number::CutOff: return cutOff();
      case Number::TooLong: return fail(problem, "a system-exclusive message's length is longer than four bytes");
    }
    if (length > c.end - c.at)
      return cutOff();
    c.at += length;
    return Step::Skipped;
  }
  if (status > kSysEx)
    return fail(problem, "a system message that does not belong in a file");

  // Program change and channel pressure carry one data byte, the other channel messages two.
  const std::size_t dataBytes = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
  for (std::size_t i = 0; i < dataBytes && c.at + i < c.end; ++i)
    if (d[c.at + i] & 0x80)
      return fail(problem, "an event lacks a data byte");
  if (dataBytes > c.end - c.at)
    return cutOff();
  event = SmfEvent{};
  event.kind = SmfEvent::Kind::Channel;
  event.pulses = c.pulses;
  event.status = status;
  event.data1 = d[c.at];
  event.data2 = dataBytes == 2 ? d[c.at + 1] : 0;
  c.at += dataBytes;
  c.running = status;
  return Step::Event;
}

bool SmfReader::open(const std::uint8_t* data, std::size_t size, std::string& problem)
{
  mData = data;
  mTracks.clear();
  mCursors.clear();
  mPending.clear();
  mHeap.clear();
  if (size < 14 || !isChunk(data, "MThd")) {
    problem = "no MIDI file header";
    return false;
  }
  const std::uint32_t headerLength = be32(data + 4);
  if (headerLength < 6 || headerLength > size - 8) {
    problem = "the header is malformed";
    return false;
  }
  const unsigned format = be16(data + 8);
  const unsigned tracks = be16(data + 10);
  const unsigned division = be16(data + 12);
  if (format > 1) {
    problem = "format " + std::to_string(format) + " is not supported (only 0 and 1)";
    return false;
  }
  if (tracks == 0 || (format == 0 && tracks != 1)) {
    problem = "the header gives a wrong number of tracks";
    return false;
  }
  if (division & 0x8000) {
    problem = "SMPTE time code timing is not supported";
    return false;
  }
  if (division == 0) {
    problem = "zero pulses per quarter note";
    return false;
  }
  mFormat = static_cast<int>(format);
  mPpqn = static_cast<int>(division);

  // The chunks, each checked event by event as it is found.
  std::size_t at = 8 + std::size_t{headerLength};
  mTracks.reserve(tracks);
  while (mTracks.size() < tracks) {
    if (size - at < 8) {
      problem = "the header promises " + std::to_string(tracks) + (tracks == 1 ? " track" : " tracks") +
        ", the file holds " + std::to_string(mTracks.size());
      return false;
    }
    const std::uint32_t length = be32(data + at + 4);
    if (length > size - at - 8) {
      problem = "a chunk runs past the end of the file";
      return false;
    }
    if (isChunk(data + at, "MTrk")) {
      Cursor track;
      track.at = at + 8;
      track.end = at + 8 + length;
      Cursor check = track;
      SmfEvent ignored;
      std::string reason;
      Step result = Step::Skipped;
      while (result == Step::Event || result == Step::Skipped)
        result = step(check, ignored, &reason);
      if (result == Step::Problem) {
        problem = "track " + std::to_string(mTracks.size() + 1) + ": " + reason;
        return false;
      }
      mTracks.push_back(track);
    }
    at += 8 + std::size_t{length}; // chunks of other kinds are skipped, as the format says
  }
  rewind();
  return true;
}

bool SmfReader::before(int a, int b) const
{
  const std::uint64_t pa = mPending[static_cast<std::size_t>(a)].pulses;
  const std::uint64_t pb = mPending[static_cast<std::size_t>(b)].pulses;
  return pa != pb ? pa < pb : a < b;
}

bool SmfReader::advance(int track)
{
  Cursor& cursor = mCursors[static_cast<std::size_t>(track)];
  SmfEvent& pending = mPending[static_cast<std::size_t>(track)];
  for (;;) {
    switch (step(cursor, pending, nullptr)) {
      case Step::Event: pending.track = track; return true;
      case Step::Skipped: continue;
      case Step::End:
      case Step::Problem: return false; // open() has seen every track end well
    }
  }
}

void SmfReader::rewind()
{
  mCursors = mTracks;
  mPending.assign(mTracks.size(), SmfEvent{});
  mHeap.clear();
  mHeap.reserve(mTracks.size());
  // The heap keeps the track with the earliest pending event on top: O(log tracks) per event.
  const auto later = [this](int a, int b) { return before(b, a); };
  for (int t = 0; t < tracks(); ++t)
    if (advance(t)) {
      mHeap.push_back(t);
      std::push_heap(mHeap.begin(), mHeap.end(), later);
    }
}

bool SmfReader::next(SmfEvent& event)
{
  if (mHeap.empty())
    return false;
  const auto later = [this](int a, int b) { return before(b, a); };
  std::pop_heap(mHeap.begin(), mHeap.end(), later);
  const int track = mHeap.back();
  event = mPending[static_cast<std::size_t>(track)];
  if (advance(track))
    std::push_heap(mHeap.begin(), mHeap.end(), later);
  else
    mHeap.pop_back();
  return true;
}

} // namespace render
