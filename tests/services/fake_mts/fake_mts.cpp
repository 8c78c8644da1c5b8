// SPDX-License-Identifier: ISC
// Fake MTS-ESP library for the tuning client's tests: the nine entry points with answers that
// the tests set through the fake_mts_* control functions (see fake_mts.h).
// Compile definitions leave entry points out: FAKE_MTS_MINIMAL keeps only MTS_HasMaster and
// MTS_GetTuningTable; FAKE_MTS_NO_MULTI_FILTER drops MTS_ShouldFilterNoteMultiChannel.

#include "fake_mts.h"

#include <cmath>
#include <cstring>

#define FAKE_MTS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kNotes = 128;
constexpr int kChannels = 16;

struct State {
  bool master = false;
  bool nullTables = false;
  double masterTable[kNotes] = {};
  double channelTables[kChannels][kNotes] = {};
  bool filter[kNotes] = {};
  bool channelFilter[kChannels][kNotes] = {};
  bool useMultichannel[kChannels] = {};
  bool useMultichannelOther = false; // answer for channels outside 0 … 15
  char scaleName[64] = {};
  int registerCount = 0;
  int deregisterCount = 0;
  int filterCount = 0;
  int multiFilterCount = 0;
  int useMultichannelCount = 0;
  int lastFilterNote = -1000;
  int lastFilterChannel = -1000;

  State() { reset(); }

  void reset()
  {
    master = false;
    nullTables = false;
    for (int n = 0; n < kNotes; ++n) {
      masterTable[n] = 440.0 * std::pow(2.0, (n - 69) / 12.0);
      for (int c = 0; c < kChannels; ++c) {
        channelTables[c][n] = masterTable[n];
        channelFilter[c][n] = false;
      }
      filter[n] = false;
    }
    for (bool& use : useMultichannel)
      use = false;
    useMultichannelOther = false;
    std::memset(scaleName, 0, sizeof scaleName);
    registerCount = deregisterCount = filterCount = multiFilterCount = useMultichannelCount = 0;
    lastFilterNote = lastFilterChannel = -1000;
  }
};

State state;

bool validNote(int note)
{
  return note >= 0 && note < kNotes;
}
bool validChannel(int channel)
{
  return channel >= 0 && channel < kChannels;
}

} // namespace

// ---- MTS-ESP entry points ----

#ifndef FAKE_MTS_MINIMAL
FAKE_MTS_EXPORT void MTS_RegisterClient(void)
{
  ++state.registerCount;
}

FAKE_MTS_EXPORT void MTS_DeregisterClient(void)
{
  ++state.deregisterCount;
}
#endif

FAKE_MTS_EXPORT bool MTS_HasMaster(void)
{
  return state.master;
}

#ifndef FAKE_MTS_MINIMAL
FAKE_MTS_EXPORT bool MTS_ShouldFilterNote(signed char note, signed char channel)
{
  ++state.filterCount;
  state.lastFilterNote = note;
  state.lastFilterChannel = channel;
  return validNote(note) && state.filter[static_cast<int>(note)];
}
#endif

#if !defined(FAKE_MTS_MINIMAL) && !defined(FAKE_MTS_NO_MULTI_FILTER)
FAKE_MTS_EXPORT bool MTS_ShouldFilterNoteMultiChannel(signed char note, signed char channel)
{
  ++state.multiFilterCount;
  state.lastFilterNote = note;
  state.lastFilterChannel = channel;
  return validNote(note) && validChannel(channel) &&
    state.channelFilter[static_cast<int>(channel)][static_cast<int>(note)];
}
#endif

FAKE_MTS_EXPORT const double* MTS_GetTuningTable(void)
{
  return state.nullTables ? nullptr : state.masterTable;
}

#ifndef FAKE_MTS_MINIMAL
FAKE_MTS_EXPORT const double* MTS_GetMultiChannelTuningTable(signed char channel)
{
  if (state.nullTables || !validChannel(channel))
    return nullptr;
  return state.channelTables[static_cast<int>(channel)];
}

FAKE_MTS_EXPORT bool MTS_UseMultiChannelTuning(signed char channel)
{
  ++state.useMultichannelCount;
  return validChannel(channel) ? state.useMultichannel[static_cast<int>(channel)] : state.useMultichannelOther;
}

FAKE_MTS_EXPORT const char* MTS_GetScaleName(void)
{
  return state.scaleName;
}
#endif

// ---- controls ----

FAKE_MTS_EXPORT void fake_mts_reset(void)
{
  state.reset();
}

FAKE_MTS_EXPORT void fake_mts_set_master(bool connected)
{
  state.master = connected;
}

FAKE_MTS_EXPORT void fake_mts_set_null_tables(bool null_tables)
{
  state.nullTables = null_tables;
}

FAKE_MTS_EXPORT void fake_mts_set_master_frequency(int note, double hz)
{
  if (validNote(note))
    state.masterTable[note] = hz;
}

FAKE_MTS_EXPORT void fake_mts_set_channel_frequency(int channel, int note, double hz)
{
  if (validChannel(channel) && validNote(note))
    state.channelTables[channel][note] = hz;
}

FAKE_MTS_EXPORT void fake_mts_set_filter(int note, bool filtered)
{
  if (validNote(note))
    state.filter[note] = filtered;
}

FAKE_MTS_EXPORT void fake_mts_set_channel_filter(int channel, int note, bool filtered)
{
  if (validChannel(channel) && validNote(note))
    state.channelFilter[channel][note] = filtered;
}

FAKE_MTS_EXPORT void fake_mts_set_use_multichannel(int channel, bool use)
{
  if (validChannel(channel))
    state.useMultichannel[channel] = use;
  else
    state.useMultichannelOther = use;
}

FAKE_MTS_EXPORT void fake_mts_set_scale_name(const char* name)
{
  std::memset(state.scaleName, 0, sizeof state.scaleName);
  if (name != nullptr)
    std::strncpy(state.scaleName, name, sizeof state.scaleName - 1);
}

FAKE_MTS_EXPORT int fake_mts_register_count(void)
{
  return state.registerCount;
}

FAKE_MTS_EXPORT int fake_mts_deregister_count(void)
{
  return state.deregisterCount;
}

FAKE_MTS_EXPORT int fake_mts_filter_count(void)
{
  return state.filterCount;
}

FAKE_MTS_EXPORT int fake_mts_multi_filter_count(void)
{
  return state.multiFilterCount;
}

FAKE_MTS_EXPORT int fake_mts_use_multichannel_count(void)
{
  return state.useMultichannelCount;
}

FAKE_MTS_EXPORT int fake_mts_last_filter_note(void)
{
  return state.lastFilterNote;
}

FAKE_MTS_EXPORT int fake_mts_last_filter_channel(void)
{
  return state.lastFilterChannel;
}
