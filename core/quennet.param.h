// SPDX-License-Identifier: ISC
#pragma once

#include <array>
#include <initializer_list>
#include <span>

#include "framework/IParam.h"
#include "framework/TextString.h"

namespace quennet {

// Quennet's parameters. The index is a parameter's identity everywhere: host slot, state chunk,
// MIDI learn map, factory presets and editor controls, so the order below must never change.
enum EParams {
  kVolume = 0, // output gain, linear factor 0 … 2
  kMix, // dry/wet balance, 0 dry … 1 wet
  kGrainMode, // eGrainMode: "M.SEC", "SYNC", "FREQ", "MIDI"
  kGrainLength, // milliseconds, 0.2 … 2000 (mode "M.SEC")
  kGrainSync, // index into labelSyncRate / ppqScaler (mode "SYNC")
  kGrainFrequency, // hertz, 16 … 5000 (mode "FREQ")
  kGrainOverlap, // percent of the grain length, 0 … 50
  kGrainFadeIn, // amount 0 … 1
  kGrainSkew, // peak position −1 … 1
  kGrainFadeOut, // amount 0 … 1
  kFrameLength, // milliseconds, 0.2 … 5000
  kFrameSync, // index into labelSyncRate / ppqScaler (frame synced to the host)
  kFrameSyncToHost, // bool
  kFrameOverlap, // percent of the frame length, 0 … 50
  kFrameFadeIn, // amount 0 … 1
  kFrameSkew, // peak position −1 … 1
  kFrameFadeOut, // amount 0 … 1
  kMidiPolyphony, // voices used in mode "MIDI", 1 … 8
  kMidiAttack, // envelope settings 0 … 1
  kMidiDecay,
  kMidiSustain,
  kMidiRelease,
  // Slots 22 … 28 are reserved: never initialised, but part of the host's list and of the state.
  kNumParams = 29
};

inline constexpr int kNumPresets = 10;

// Grain Mode texts; the index is the eGrainMode value handed to the grain engine.
extern const std::initializer_list<const char*> labelGrainMode;

// The twenty note values of Grain Sync and Frame Sync, shortest first ("T" triplet, "." dotted).
extern const std::initializer_list<const char*> labelSyncRate;

// Length of each labelSyncRate note value in quarter notes (beats), same indices.
inline constexpr std::array<double, 20> ppqScaler = {
  0.0625, // 1/64
  0.125, // 1/32
  1.0 / 6.0, // 1/16T
  0.1875, // 1/32.
  0.25, // 1/16
  1.0 / 3.0, // 1/8T
  0.375, // 1/16.
  0.5, // 1/8
  2.0 / 3.0, // 1/4T
  0.75, // 1/8.
  1.0, // 1/4
  4.0 / 3.0, // 1/2T
  1.5, // 1/4.
  2.0, // 1/2
  3.0, // 1/2.
  4.0, // 1/1
  6.0, // 1/1.
  8.0, // 2/1
  12.0, // 2/1.
  16.0, // 4/1
};

// Display function of Volume: the gain in decibels with one decimal, "-oo" for silence.
void setDisplayTextForDB(double value, plug::TextString& text);

// Display function of Mix: "Dry", "Wet", or the dry and wet percentages as "dry:wet".
void setDisplayTextForMix(double value, plug::TextString& text);

// Makes parameters 0 … 21 in index order, each with its symbol; slots 22 … 28 are left untouched. Every entry from
// kVolume to kMidiRelease must point at a parameter that no initialiser has been called on.
// Called once, while the plug-in is constructed.
void initQuennetParameters(std::span<plug::IParam* const, kNumParams> params);

// One factory preset: its name and a value for every parameter slot (reserved slots 0).
struct FactoryPreset {
  const char* name;
  std::array<double, kNumParams> values;
};

// The ten factory presets, in slot order. Slot 0 holds the parameter defaults.
extern const std::array<FactoryPreset, kNumPresets> kFactoryPresets;

// Which slots the preset builder reads as a double (parameters of kind double); every other slot,
// reserved ones included, is read as an int.
inline constexpr std::array<bool, kNumParams> kFactoryPresetTakesDouble = {
  true,  true,  false, true,  false, true,  true,  true, true, true, // Volume … Grain Fade-Out
  true,  false, false, true,  true,  true,  true, // Frame Length … Frame Fade-Out
  false, true,  true,  true,  true, // MIDI Polyphony … MIDI Release
  false, false, false, false, false, false, false, // reserved
};

} // namespace quennet
