// SPDX-License-Identifier: ISC
#pragma once

// Control interface of the fake MTS-ESP library that the tests build (module fake_mts, plus the
// variants fake_mts_minimal and fake_mts_no_multi_filter that leave some entry points out).
//
// The module exports the nine MTS-ESP entry points with C linkage; the functions below, also
// exported by the module, decide their answers. The module is not linked into the tests: a test
// opens it with dlopen at the same path the tuning client loads, which yields the same handle and
// so the same state, and binds these functions with fake_mts::Controls.
//
// State after fake_mts_reset() (and at load): no master connected; master and channel tables hold
// twelve-tone equal temperament (note 69 = 440 Hz); nothing filtered; no channel uses its own
// table; scale name ""; tables returned non-null; all counters 0.
//
// Variants: fake_mts_minimal exports only MTS_HasMaster and MTS_GetTuningTable;
// fake_mts_no_multi_filter exports everything but MTS_ShouldFilterNoteMultiChannel.

#include <dlfcn.h>

extern "C" {

void fake_mts_reset(void);

// MTS_HasMaster answers `connected`.
void fake_mts_set_master(bool connected);
// Whether MTS_GetTuningTable and MTS_GetMultiChannelTuningTable return null. The client fetches
// the pointers when it loads the library, so set this before loading.
void fake_mts_set_null_tables(bool null_tables);

// Table contents, read by the client at every query. Out-of-range notes or channels are ignored.
void fake_mts_set_master_frequency(int note, double hz);
void fake_mts_set_channel_frequency(int channel, int note, double hz);

// MTS_ShouldFilterNote(note, any channel) answers `filtered`.
void fake_mts_set_filter(int note, bool filtered);
// MTS_ShouldFilterNoteMultiChannel(note, channel) answers `filtered`.
void fake_mts_set_channel_filter(int channel, int note, bool filtered);
// MTS_UseMultiChannelTuning(channel) answers `use`. A channel outside 0 … 15 sets the answer for
// every such channel (false after reset), to stand for a library that does not check.
void fake_mts_set_use_multichannel(int channel, bool use);
// MTS_GetScaleName returns a copy of `name` (at most 63 characters kept).
void fake_mts_set_scale_name(const char* name);

// Calls received since the last reset.
int fake_mts_register_count(void);
int fake_mts_deregister_count(void);
int fake_mts_filter_count(void); // MTS_ShouldFilterNote
int fake_mts_multi_filter_count(void); // MTS_ShouldFilterNoteMultiChannel
int fake_mts_use_multichannel_count(void); // MTS_UseMultiChannelTuning
// Arguments of the last MTS_ShouldFilterNote or MTS_ShouldFilterNoteMultiChannel call
// (-1000 before any).
int fake_mts_last_filter_note(void);
int fake_mts_last_filter_channel(void);

} // extern "C"

namespace fake_mts {

// Opens the fake module at `path` and binds its control functions. Keeps the module open until
// destroyed. Check ok() before use.
struct Controls {
  explicit Controls(const char* path) : handle(dlopen(path, RTLD_NOW))
  {
    if (handle == nullptr)
      return;
    bind(reset, "fake_mts_reset");
    bind(setMaster, "fake_mts_set_master");
    bind(setNullTables, "fake_mts_set_null_tables");
    bind(setMasterFrequency, "fake_mts_set_master_frequency");
    bind(setChannelFrequency, "fake_mts_set_channel_frequency");
    bind(setFilter, "fake_mts_set_filter");
    bind(setChannelFilter, "fake_mts_set_channel_filter");
    bind(setUseMultichannel, "fake_mts_set_use_multichannel");
    bind(setScaleName, "fake_mts_set_scale_name");
    bind(registerCount, "fake_mts_register_count");
    bind(deregisterCount, "fake_mts_deregister_count");
    bind(filterCount, "fake_mts_filter_count");
    bind(multiFilterCount, "fake_mts_multi_filter_count");
    bind(useMultichannelCount, "fake_mts_use_multichannel_count");
    bind(lastFilterNote, "fake_mts_last_filter_note");
    bind(lastFilterChannel, "fake_mts_last_filter_channel");
  }
  ~Controls()
  {
    if (handle != nullptr)
      dlclose(handle);
  }
  Controls(const Controls&) = delete;
  Controls& operator=(const Controls&) = delete;

  bool ok() const { return handle != nullptr && complete; }

  void* handle = nullptr;
  bool complete = true;
  decltype(&fake_mts_reset) reset = nullptr;
  decltype(&fake_mts_set_master) setMaster = nullptr;
  decltype(&fake_mts_set_null_tables) setNullTables = nullptr;
  decltype(&fake_mts_set_master_frequency) setMasterFrequency = nullptr;
  decltype(&fake_mts_set_channel_frequency) setChannelFrequency = nullptr;
  decltype(&fake_mts_set_filter) setFilter = nullptr;
  decltype(&fake_mts_set_channel_filter) setChannelFilter = nullptr;
  decltype(&fake_mts_set_use_multichannel) setUseMultichannel = nullptr;
  decltype(&fake_mts_set_scale_name) setScaleName = nullptr;
  decltype(&fake_mts_register_count) registerCount = nullptr;
  decltype(&fake_mts_deregister_count) deregisterCount = nullptr;
  decltype(&fake_mts_filter_count) filterCount = nullptr;
  decltype(&fake_mts_multi_filter_count) multiFilterCount = nullptr;
  decltype(&fake_mts_use_multichannel_count) useMultichannelCount = nullptr;
  decltype(&fake_mts_last_filter_note) lastFilterNote = nullptr;
  decltype(&fake_mts_last_filter_channel) lastFilterChannel = nullptr;

private:
  template <typename Fn>
  void bind(Fn& fn, const char* name)
  {
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
    if (fn == nullptr)
      complete = false;
  }
};

} // namespace fake_mts
