// SPDX-License-Identifier: ISC
#pragma once

// Microtuning client: takes note frequencies from an MTS-ESP tuning master through the shared
// MTS-ESP library, loaded at run time when it is installed. Without the library, or without a
// connected master, every query falls back to the client's own table (twelve-tone equal
// temperament, note 69 at 440 Hz, until tuning messages change it).
//
// Frequencies are in Hz. Note numbers are reduced to 0 … 127 by their low seven bits; channels
// are signed characters of which only 0 … 15 count as valid (−1 means "no channel").

#include <string>
#include <vector>

namespace quennet {

// Process-wide state of the MTS-ESP library: the entry points and the master's table pointers,
// fetched once when the library is loaded. The tables belong to the library, which rewrites their
// contents while we read them; every query reads the current values.
class TuningLibrary {
public:
  // Entry points of the library (C linkage on its side).
  using RegisterClientFn = void (*)();
  using DeregisterClientFn = void (*)();
  using HasMasterFn = bool (*)();
  using ShouldFilterNoteFn = bool (*)(signed char note, signed char channel);
  using GetTuningTableFn = const double* (*)();
  using GetMultiChannelTuningTableFn = const double* (*)(signed char channel);
  using UseMultiChannelTuningFn = bool (*)(signed char channel);
  using GetScaleNameFn = const char* (*)();

  static constexpr int kNumNotes = 128;
  static constexpr int kNumChannels = 16;

  // The one library state of the process. Its constructor runs during static initialisation and
  // loads the library from the fixed install locations.
  static TuningLibrary global;

  TuningLibrary() noexcept;
  ~TuningLibrary();
  TuningLibrary(const TuningLibrary&) = delete;
  TuningLibrary& operator=(const TuningLibrary&) = delete;

  // Closes any library already open, then opens the first of `paths` that loads (names bound
  // immediately), looks up the nine entry points and fetches the table pointers once.
  // Returns whether a library was opened. The program only ever loads the fixed install paths
  // (from the constructor of `global`); tests call this on `global` to put a library of their own
  // in place. Only for use while no client query runs: the queries read these members unlocked.
  bool load(const std::vector<std::string>& paths) noexcept;
  // Closes the library and leaves every entry point and table absent. Same restriction as load().
  void unload() noexcept;

  // A master is present: the master table exists and the library reports a connected master.
  // Asked afresh at every call, so a master that starts after loading is seen. Audio thread safe.
  bool isOnline() const noexcept;

  // The queries below are what the client operations build on; each answers "absent" (false,
  // null) when its entry point or table is missing. All are allocation-free and lock-free.
  bool shouldFilterNote(int note, signed char channel) const noexcept;
  bool shouldFilterNoteMultiChannel(int note, signed char channel) const noexcept;
  bool useMultiChannelTuning(signed char channel) const noexcept;
  const double* masterTable() const noexcept { return mMasterTable; }
  const double* channelTable(int channel) const noexcept { return mChannelTables[channel & 15]; }
  const char* scaleName() const noexcept; // null when the entry is absent
  bool hasScaleName() const noexcept { return mGetScaleName != nullptr; }
  bool hasFilter() const noexcept { return mShouldFilterNote != nullptr; }
  void registerClient() const noexcept;
  void deregisterClient() const noexcept;

  // 1 / (equal-tempered frequency of `note`), in 1/Hz.
  double inverseFrequency(int note) const noexcept { return mInverseFrequencies[note & 127]; }

private:
  bool loadFrom(const char* const* paths, int count) noexcept;

  RegisterClientFn mRegisterClient = nullptr;
  DeregisterClientFn mDeregisterClient = nullptr;
  HasMasterFn mHasMaster = nullptr;
  ShouldFilterNoteFn mShouldFilterNote = nullptr;
  ShouldFilterNoteFn mShouldFilterNoteMultiChannel = nullptr;
  GetTuningTableFn mGetTuningTable = nullptr;
  GetMultiChannelTuningTableFn mGetMultiChannelTuningTable = nullptr;
  UseMultiChannelTuningFn mUseMultiChannelTuning = nullptr;
  GetScaleNameFn mGetScaleName = nullptr;
  double mInverseFrequencies[kNumNotes] = {};
  const double* mMasterTable = nullptr; // 128 frequencies, Hz
  const double* mChannelTables[kNumChannels] = {}; // per MIDI channel, 128 frequencies each
  void* mLibraryHandle = nullptr;
};

// One plug-in instance's client. Created by MTS_RegisterClient, destroyed by MTS_DeregisterClient.
// Used by one instance only; its note queries run on that instance's audio thread.
class TuningClient {
public:
  TuningClient() noexcept;

  bool shouldFilterNote(signed char note, signed char channel) noexcept;
  double noteToFrequency(signed char note, signed char channel) noexcept;
  double retuningAsRatio(signed char note, signed char channel) noexcept;
  double retuningInSemitones(signed char note, signed char channel) noexcept;
  int freqToNote(double frequency, signed char channel) const noexcept;
  const char* scaleName() const noexcept;

  // Reads `length` bytes of MIDI data as a stream of system-exclusive messages and applies the
  // MIDI Tuning Standard messages 0x00 to 0x09 to the client's own table and scale name.
  void parseMIDIData(const unsigned char* data, int length) noexcept;

private:
  // Whether the per-channel table of the library applies to a query on `channel`.
  bool usesChannelTable(signed char channel) const noexcept;
  // The master's frequency for note n (0 … 127) on `channel`; a master must be present.
  double masterFrequency(int n, signed char channel) const noexcept;
  void setQueryChannel(signed char channel) noexcept;
  double retuningRatio(signed char note, signed char channel) noexcept;

  double mRetuning[TuningLibrary::kNumNotes]; // Hz
  char mScaleName[17];
  bool mFilterChannelValid = false;
  bool mTuningChannelValid = false;
  bool mFrequencyQueried = false;
  bool mTuningReceived = false;
};

// Client operations. A null client is accepted everywhere and answers equal temperament, no
// filtering, no master and the empty scale name. The plug-in calls MTS_RegisterClient and
// MTS_DeregisterClient on construction and destruction, and MTS_HasMaster, MTS_ShouldFilterNote
// and MTS_NoteToFrequency on the audio thread at each note-on: these three allocate nothing and
// lock nothing.

// Returns null only if the client could not be allocated.
TuningClient* MTS_RegisterClient() noexcept;
void MTS_DeregisterClient(TuningClient* client) noexcept;
bool MTS_HasMaster(const TuningClient* client) noexcept;
// True when the master wants the note ignored.
bool MTS_ShouldFilterNote(TuningClient* client, signed char note, signed char channel) noexcept;
double MTS_NoteToFrequency(TuningClient* client, signed char note, signed char channel) noexcept;
// Frequency of the note relative to its equal-tempered frequency: a ratio, or semitones.
double MTS_RetuningAsRatio(TuningClient* client, signed char note, signed char channel) noexcept;
double MTS_RetuningInSemitones(TuningClient* client, signed char note, signed char channel) noexcept;
// Nearest note (0 … 127) to `frequency` in the current tuning; in equal temperament without a
// client. Between two notes the boundary is their geometric mean.
int MTS_FrequencyToNote(const TuningClient* client, double frequency, signed char channel) noexcept;
// Never null.
const char* MTS_GetScaleName(const TuningClient* client) noexcept;
void MTS_ParseMIDIData(TuningClient* client, const char* data, int length) noexcept;
void MTS_ParseMIDIDataU(TuningClient* client, const unsigned char* data, int length) noexcept;

} // namespace quennet
