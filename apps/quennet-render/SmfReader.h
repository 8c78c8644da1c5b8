// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace render {

// What a Standard MIDI File holds for playing it: channel messages and tempo changes.
struct SmfEvent {
  enum class Kind : std::uint8_t { Channel, Tempo };
  Kind kind = Kind::Channel;
  std::uint64_t pulses = 0; // from the start of the file
  int track = 0; // 0-based, in the order of the track chunks
  // Channel messages: status and data bytes; a message with one data byte has data2 0.
  std::uint8_t status = 0;
  std::uint8_t data1 = 0;
  std::uint8_t data2 = 0;
  std::uint32_t microsPerQuarter = 0; // tempo changes: 1 … 2^24 - 1
};

// Reads a Standard MIDI File held in memory: format 0 or 1, timed in pulses per quarter note.
// open() checks the whole file in one pass (linear in its size, nothing read outside it);
// afterwards next() gives the events of all tracks merged into one stream, in the order a player
// meets them: by time, events at the same time in track order, each track's in file order.
// Meta events other than tempo and system-exclusive messages are skipped; chunks other than track
// chunks are skipped; so are track chunks beyond the number the header declares. A track ends at
// its End of Track event, bytes after it ignored; a track without one ends with its chunk, at its
// last complete event.
//
// The reader keeps a pointer to the bytes, which must outlive it. Never throws but for
// std::bad_alloc (one cursor per declared track, at most 65535).
class SmfReader {
public:
  // False and a short reason when the file is not one the reader plays, e.g. "no MIDI file
  // header" or "track 2: a data byte without a status".
  bool open(const std::uint8_t* data, std::size_t size, std::string& problem);

  int format() const { return mFormat; }
  int ppqn() const { return mPpqn; } // pulses per quarter note, 1 … 32767
  int tracks() const { return static_cast<int>(mTracks.size()); }

  // Starts the merged stream again from its first event.
  void rewind();
  // The next event of the merged stream; false after the last one.
  bool next(SmfEvent& event);

private:
  // One track on its way through its chunk.
  struct Cursor {
    std::size_t at = 0; // next byte of the chunk
    std::size_t end = 0; // one past the chunk's last byte
    std::uint64_t pulses = 0;
    std::uint8_t running = 0; // running status; 0: none
    bool ended = false; // End of Track seen: what follows in the chunk is ignored
  };
  enum class Step { Event, Skipped, End, Problem };

  static Step fail(std::string* problem, const char* reason);
  Step step(Cursor& cursor, SmfEvent& event, std::string* problem) const;
  bool advance(int track); // reads the track's next event into mPending[track]
  bool before(int a, int b) const;

  const std::uint8_t* mData = nullptr;
  int mFormat = 0;
  int mPpqn = 0;
  std::vector<Cursor> mTracks; // as open() found them, for rewind()
  std::vector<Cursor> mCursors; // the merge's position in each track
  std::vector<SmfEvent> mPending; // each track's next event, when it has one
  std::vector<int> mHeap; // tracks with a pending event, earliest on top
};

} // namespace render
