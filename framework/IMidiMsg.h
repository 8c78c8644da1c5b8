// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

namespace plug {

// One short MIDI message as the framework passes it around: 8 bytes.
struct IMidiMsg {
  enum EStatusMsg {
    kNone = 0,
    kNoteOff = 8,
    kNoteOn = 9,
    kPolyAftertouch = 10,
    kControlChange = 11,
    kProgramChange = 12,
    kChannelAftertouch = 13,
    kPitchWheel = 14,
  };

  int mOffset = 0; // sample offset within the block
  std::uint8_t mStatus = 0;
  std::uint8_t mData1 = 0;
  std::uint8_t mData2 = 0;

  // The high nibble of a channel message (0x80 ... 0xEF); system messages and data bytes have no kind.
  EStatusMsg StatusMsg() const
  {
    const int kind = mStatus >> 4;
    return kind >= kNoteOff && kind <= kPitchWheel ? static_cast<EStatusMsg>(kind) : kNone;
  }
  int Channel() const { return mStatus & 0x0F; }

  // Note number of note-off, note-on and polyphonic aftertouch; -1 otherwise.
  int NoteNumber() const
  {
    const EStatusMsg kind = StatusMsg();
    return kind == kNoteOff || kind == kNoteOn || kind == kPolyAftertouch ? mData1 : -1;
  }
  // Velocity of note-off and note-on; -1 otherwise.
  int Velocity() const
  {
    const EStatusMsg kind = StatusMsg();
    return kind == kNoteOff || kind == kNoteOn ? mData2 : -1;
  }
  int ControlChangeIdx() const { return mData1; }
  double ControlChange() const { return mData2 / 127.0; }
};

static_assert(sizeof(IMidiMsg) == 8);

} // namespace plug
