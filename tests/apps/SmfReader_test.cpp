// SPDX-License-Identifier: ISC
// The renderer's Standard MIDI File reader on files built byte by byte: what it refuses and why,
// what it skips, and the order in which it merges the tracks.

#include "apps/quennet-render/SmfReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "SmfBytes.h"

namespace {

using render::SmfEvent;
using render::SmfReader;

// A string literal with its zero bytes, without the terminating one.
template <size_t N>
std::string bytes(const char (&literal)[N])
{
  return std::string(literal, N - 1);
}

// One track chunk from the bytes after the header: times and events as they stand.
std::string track(const std::string& body)
{
  return smfChunk("MTrk", body);
}

const std::string kEnd = bytes("\x00\xFF\x2F\x00"); // End of Track at delta 0

// Events of the merged stream in a form that compares and prints well: "pulses:track:bytes" for
// channel messages, "pulses:track:tempo=µs" for tempo changes.
std::vector<std::string> eventsOf(SmfReader& reader)
{
  std::vector<std::string> events;
  SmfEvent event;
  while (reader.next(event)) {
    char text[64];
    if (event.kind == SmfEvent::Kind::Tempo)
      std::snprintf(text, sizeof text, "%llu:%d:tempo=%u", static_cast<unsigned long long>(event.pulses), event.track,
                    event.microsPerQuarter);
    else
      std::snprintf(text, sizeof text, "%llu:%d:%02X %02X %02X", static_cast<unsigned long long>(event.pulses),
                    event.track, event.status, event.data1, event.data2);
    events.push_back(text);
  }
  return events;
}

std::vector<std::string> read(const std::string& file, std::string* problem = nullptr)
{
  SmfReader reader;
  std::string reason;
  if (!reader.open(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), reason)) {
    if (problem)
      *problem = reason;
    else
      ADD_FAILURE() << "refused: " << reason;
    return {};
  }
  return eventsOf(reader);
}

TEST(SmfReader, RefusesBrokenFilesWithTheReason)
{
  const std::string header = smfHeader(0, 1, 480);
  struct Case {
    const char* name;
    std::string file;
    std::string problem;
  };
  const Case cases[] = {
    {"empty", "", "no MIDI file header"},
    {"a wave file", bytes("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0"), "no MIDI file header"},
    {"header too short", smfChunk("MThd", bytes("\0\0\0\1\1")) + track(kEnd), "the header is malformed"},
    {"header past the end", bytes("MThd\0\0\0\x40\0\0\0\1\1\xE0"), "the header is malformed"},
    {"format 2", smfHeader(2, 1, 480) + track(kEnd), "format 2 is not supported (only 0 and 1)"},
    {"no tracks", smfHeader(1, 0, 480), "the header gives a wrong number of tracks"},
    {"format 0 with two tracks", smfHeader(0, 2, 480) + track(kEnd) + track(kEnd),
     "the header gives a wrong number of tracks"},
    {"SMPTE timing", smfHeader(0, 1, 0xE728) + track(kEnd), "SMPTE time code timing is not supported"},
    {"zero pulses per quarter", smfHeader(0, 1, 0) + track(kEnd), "zero pulses per quarter note"},
    {"a track missing", smfHeader(1, 2, 480) + track(kEnd), "the header promises 2 tracks, the file holds 1"},
    {"the only track missing", header, "the header promises 1 track, the file holds 0"},
    {"a track only", smfHeader(1, 3, 480) + track(kEnd) + smfChunk("XFIH", "info"),
     "the header promises 3 tracks, the file holds 1"},
    {"track past the end", header + bytes("MTrk\0\0\1\0") + kEnd, "a chunk runs past the end of the file"},
    {"unknown chunk past the end", header + bytes("XFIH\0\0\1\0abc"), "a chunk runs past the end of the file"},
    {"time of five bytes", header + track(bytes("\x80\x80\x80\x80\x00\x90\x3C\x40") + kEnd),
     "track 1: a time longer than four bytes"},
    {"data byte first", header + track(bytes("\x00\x3C\x40") + kEnd), "track 1: a data byte without a status"},
    {"running status across a meta event", header + track(bytes("\x00\x90\x3C\x40\x00\xFF\x01\x00\x00\x3C\x00") + kEnd),
     "track 1: a data byte without a status"},
    {"running status across a system-exclusive message",
     header + track(bytes("\x00\x90\x3C\x40\x00\xF0\x01\xF7\x00\x3C\x00") + kEnd),
     "track 1: a data byte without a status"},
    {"meta type above 127", header + track(bytes("\x00\xFF\x81\x00") + kEnd),
     "track 1: a meta event's type is above 127"},
    {"meta length of five bytes", header + track(bytes("\x00\xFF\x01\x80\x80\x80\x80\x00") + kEnd),
     "track 1: a meta event's length is longer than four bytes"},
    {"system-exclusive length of five bytes", header + track(bytes("\x00\xF0\x81\x81\x81\x81\x01") + kEnd),
     "track 1: a system-exclusive message's length is longer than four bytes"},
    {"broken before a cut-off end", header + track(bytes("\x00\x3C\x40\x00\x90")),
     "track 1: a data byte without a status"},
    {"tempo of two bytes", header + track(bytes("\x00\xFF\x51\x02\x07\xA1") + kEnd),
     "track 1: a tempo event is malformed"},
    {"tempo zero", header + track(bytes("\x00\xFF\x51\x03\x00\x00\x00") + kEnd), "track 1: a tempo event is malformed"},
    {"timing clock", header + track(bytes("\x00\xF8") + kEnd),
     "track 1: a system message that does not belong in a file"},
    {"note lacks its velocity", header + track(bytes("\x00\x90\x3C\x90\x3C\x40") + kEnd),
     "track 1: an event lacks a data byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string problem;
    EXPECT_TRUE(read(c.file, &problem).empty());
    EXPECT_EQ(problem, c.problem);
  }
}

// Files that players take although a track lacks its End of Track or has bytes after it: the
// track ends at its End of Track, or with its chunk at its last complete event.
TEST(SmfReader, TracksEndAtEndOfTrackOrAtTheirLastCompleteEvent)
{
  const std::string header = smfHeader(0, 1, 480);
  const std::string note = bytes("\x00\x90\x3C\x40"); // at pulse 0
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> events;
  };
  const Case cases[] = {
    {"no End of Track", header + track(note), {"0:0:90 3C 40"}},
    {"empty track", header + track(""), {}},
    {"events after End of Track", header + track(note + kEnd + bytes("\x00\x90\x3E\x40")), {"0:0:90 3C 40"}},
    {"garbage after End of Track", header + track(note + kEnd + bytes("\xF8\x80\x80\x80\x80\x3C")), {"0:0:90 3C 40"}},
    {"a time cut off", header + track(note + bytes("\x81")), {"0:0:90 3C 40"}},
    {"a time without its event", header + track(note + bytes("\x10")), {"0:0:90 3C 40"}},
    {"a note cut off", header + track(note + bytes("\x10\x90\x3C")), {"0:0:90 3C 40"}},
    {"a running-status note cut off", header + track(note + bytes("\x10\x3E")), {"0:0:90 3C 40"}},
    {"a status byte alone", header + track(note + bytes("\x10\xC0")), {"0:0:90 3C 40"}},
    {"a meta type missing", header + track(note + bytes("\x00\xFF")), {"0:0:90 3C 40"}},
    {"a meta event longer than the track",
     header + track(note + bytes("\x00\xFF\x01\x10text") + kEnd),
     {"0:0:90 3C 40"}},
    {"a meta length cut off", header + track(note + bytes("\x00\xFF\x01\x81")), {"0:0:90 3C 40"}},
    {"a tempo event cut off", header + track(note + bytes("\x00\xFF\x51\x03\x07")), {"0:0:90 3C 40"}},
    {"system exclusive cut off", header + track(note + bytes("\x00\xF0\x10\x43\x10") + kEnd), {"0:0:90 3C 40"}},
    {"escaped system exclusive cut off", header + track(note + bytes("\x00\xF7\x05\x43")), {"0:0:90 3C 40"}},
    {"the second track cut off, the first played on",
     smfHeader(1, 2, 96) + track(bytes("\x00\xFF\x51\x03\x07\xA1\x20\x60\x91\x30\x01")) +
       track(bytes("\x10\xC2\x05\x00\xC2")),
     {"0:0:tempo=500000", "16:1:C2 05 00", "96:0:91 30 01"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string problem;
    SmfReader reader;
    ASSERT_TRUE(reader.open(reinterpret_cast<const std::uint8_t*>(c.file.data()), c.file.size(), problem)) << problem;
    EXPECT_EQ(eventsOf(reader), c.events);
    reader.rewind();
    EXPECT_EQ(eventsOf(reader), c.events);
  }
}

TEST(SmfReader, ReadsChannelMessagesAndTempoAndSkipsTheRest)
{
  // Running status, one- and two-byte messages, system-exclusive messages of both kinds, text and
  // other meta events; a header chunk two bytes longer than usual, unknown chunks before and
  // between the tracks, and a track chunk beyond the header's count (broken, yet never read).
  const std::string conductor = bytes("\x00\xFF\x03\x04name" // track name
                                      "\x00\xFF\x58\x04\x04\x02\x18\x08" // 4/4
                                      "\x00\xFF\x51\x03\x07\xA1\x20" // 500000 µs
                                      "\x83\x60\xFF\x51\x03\x09\x27\xC0" // at 480: 600000 µs
                                      "\x00\xFF\x2F\x00");
  const std::string notes = bytes("\x00\x90\x3C\x64" // note on
                                  "\x0A\x40\x50" // running status: note on at 10
                                  "\x00\xF0\x03\x7E\x09\xF7" // system exclusive
                                  "\x00\xC1\x05" // program change
                                  "\x00\xD1\x22" // channel pressure
                                  "\x05\x21" // running status, one data byte: at 15
                                  "\x00\xF7\x02\xF0\xF7" // escaped bytes
                                  "\x00\xE2\x00\x40" // pitch bend
                                  "\x81\x00\xB0\x7B\x00" // all notes off at 143
                                  "\x00\xFF\x7F\x02\x00\x01" // sequencer-specific meta event
                                  "\x00\xFF\x2F\x00");
  const std::string file = smfChunk("MThd", bytes("\0\1\0\2\0\x60\0\0")) + smfChunk("XFIH", "made by hand") +
    track(conductor) + smfChunk("MTxt", "") + track(notes) + track(bytes("\x00\x90"));
  EXPECT_EQ(read(file),
            (std::vector<std::string>{
              "0:0:tempo=500000",
              "0:1:90 3C 64",
              "10:1:90 40 50",
              "10:1:C1 05 00",
              "10:1:D1 22 00",
              "15:1:D1 21 00",
              "15:1:E2 00 40",
              "143:1:B0 7B 00",
              "480:0:tempo=600000",
            }));
}

TEST(SmfReader, MergesTracksByTimeThenTrackThenFileOrder)
{
  const std::string file = smfFile(1, 480, 3,
                                   {
                                     {2, 0, bytes("\x92\x30\x01")},
                                     {1, 0, bytes("\x91\x30\x01")},
                                     {0, 0, smfTempo(400000)},
                                     {2, 5, bytes("\x92\x31\x02")},
                                     {2, 5, bytes("\x92\x32\x03")},
                                     {0, 5, bytes("\x90\x31\x04")},
                                     {1, 7, bytes("\x91\x33\x05")},
                                     {0, 0x0FFFFFFF, bytes("\x80\x31\x00")}, // the largest time a delta can give
                                   });
  SmfReader reader;
  std::string problem;
  ASSERT_TRUE(reader.open(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), problem)) << problem;
  EXPECT_EQ(reader.format(), 1);
  EXPECT_EQ(reader.tracks(), 3);
  EXPECT_EQ(reader.ppqn(), 480);
  const std::vector<std::string> expected = {
    "0:0:tempo=400000", "0:1:91 30 01", "0:2:92 30 01", "5:0:90 31 04",
    "5:2:92 31 02",     "5:2:92 32 03", "7:1:91 33 05", "268435455:0:80 31 00",
  };
  EXPECT_EQ(eventsOf(reader), expected);
  reader.rewind();
  EXPECT_EQ(eventsOf(reader), expected);
}

TEST(SmfReader, SixtyFiveThousandTracksMergeInOrder)
{
  // Every track holds one note, later the lower its number: the merged stream runs through the
  // tracks backwards.
  constexpr int kTracks = 65535;
  std::vector<SmfTimedEvent> events;
  for (int t = 0; t < kTracks; ++t)
    events.push_back({t, static_cast<std::uint32_t>(kTracks - t), bytes("\x90\x3C\x40")});
  const std::string file = smfFile(1, 96, kTracks, events);
  SmfReader reader;
  std::string problem;
  ASSERT_TRUE(reader.open(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), problem)) << problem;
  SmfEvent event;
  int count = 0;
  int expectedTrack = kTracks - 1;
  while (reader.next(event)) {
    ASSERT_EQ(event.track, expectedTrack);
    ASSERT_EQ(event.pulses, static_cast<std::uint64_t>(kTracks - expectedTrack));
    --expectedTrack;
    ++count;
  }
  EXPECT_EQ(count, kTracks);
}

} // namespace
