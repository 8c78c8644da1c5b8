// SPDX-License-Identifier: ISC
#include "core/quennet.param.h"

#include <cmath>

namespace quennet {

using plug::IParam;

constexpr std::initializer_list<const char*> labelGrainMode = {"M.SEC", "SYNC", "FREQ", "MIDI"};

constexpr std::initializer_list<const char*> labelSyncRate = {
  "1/64", "1/32", "1/16T", "1/32.", "1/16", "1/8T", "1/16.", "1/8", "1/4T", "1/8.",
  "1/4",  "1/2T", "1/4.",  "1/2",   "1/2.", "1/1",  "1/1.",  "2/1", "2/1.", "4/1",
};

void setDisplayTextForDB(double value, plug::TextString& text)
{
  if (value <= 0.0)
    text.Set("-oo");
  else
    text.SetFormatted(8, "%.1f", 20.0 * std::log10(value));
}

void setDisplayTextForMix(double value, plug::TextString& text)
{
  if (value == 0.0)
    text.Set("Dry");
  else if (value == 1.0)
    text.Set("Wet");
  else // each share is rounded on its own, so the two need not add up to 100
    text.SetFormatted(12, "%.0f:%.0f", (1.0 - value) * 100.0, value * 100.0);
}

void initQuennetParameters(std::span<IParam* const, kNumParams> params)
{
  const IParam::ShapeLinear linear{};
  const IParam::ShapePowCurve power4(4.0);

  // Each parameter's symbol is what hosts store it under in sessions and presets (the LV2 port
  // symbol): written out here, never derived from the name, so that renaming a parameter cannot
  // break a saved session.

  // Doubles: flags 0, no group, custom unit; display functions installed afterwards.
  const auto initDouble = [&](int index, const char* name, const char* symbol, double defaultVal, double minVal,
                              double maxVal, double step, const IParam::Shape& shape, const char* label = "") {
    params[index]->InitDouble(name, defaultVal, minVal, maxVal, step, label, 0, "", shape, IParam::kUnitCustom,
                              nullptr);
    params[index]->SetSymbol(symbol);
  };
  const auto initEnum = [&](int index, const char* name, const char* symbol, int defaultVal,
                            std::initializer_list<const char*> texts) {
    params[index]->InitEnum(name, defaultVal, texts, 0, "");
    params[index]->SetSymbol(symbol);
  };

  initDouble(kVolume, "Volume", "volume", 1.0, 0.0, 2.0, 0.1, linear);
  params[kVolume]->SetDisplayFunc(setDisplayTextForDB);
  initDouble(kMix, "Mix", "mix", 1.0, 0.0, 1.0, 0.01, linear);
  params[kMix]->SetDisplayFunc(setDisplayTextForMix);
  initEnum(kGrainMode, "Grain Mode", "grain_mode", 0, labelGrainMode);
  initDouble(kGrainLength, "Grain Length", "grain_length", 20.0, 0.2, 2000.0, 0.1, power4);
  initEnum(kGrainSync, "Grain Sync", "grain_sync", 10, labelSyncRate);
  initDouble(kGrainFrequency, "Grain Frequency", "grain_frequency", 110.0, 16.0, 5000.0, 0.1, power4, "Hz");
  initDouble(kGrainOverlap, "Grain Overlap", "grain_overlap", 0.0, 0.0, 50.0, 1.0, linear);
  initDouble(kGrainFadeIn, "Grain Fade-In", "grain_fade_in", 0.0, 0.0, 1.0, 0.01, linear);
  initDouble(kGrainSkew, "Grain Skew", "grain_skew", 0.0, -1.0, 1.0, 0.01, linear);
  initDouble(kGrainFadeOut, "Grain Fade-Out", "grain_fade_out", 0.0, 0.0, 1.0, 0.01, linear);
  initDouble(kFrameLength, "Frame Length", "frame_length", 160.0, 0.2, 5000.0, 0.1, power4);
  initEnum(kFrameSync, "Frame Sync", "frame_sync", 10, labelSyncRate);
  params[kFrameSyncToHost]->InitBool("Frame Sync to Host", false, "", 0, "", "off", "on");
  params[kFrameSyncToHost]->SetSymbol("frame_sync_to_host");
  initDouble(kFrameOverlap, "Frame Overlap", "frame_overlap", 0.0, 0.0, 50.0, 1.0, linear);
  initDouble(kFrameFadeIn, "Frame Fade-In", "frame_fade_in", 0.0, 0.0, 1.0, 0.01, linear);
  initDouble(kFrameSkew, "Frame Skew", "frame_skew", 0.0, -1.0, 1.0, 0.01, linear);
  initDouble(kFrameFadeOut, "Frame Fade-Out", "frame_fade_out", 0.0, 0.0, 1.0, 0.01, linear);
  params[kMidiPolyphony]->InitInt("MIDI Polyphony", 4, 1, 8, "", 0, "");
  params[kMidiPolyphony]->SetSymbol("midi_polyphony");
  initDouble(kMidiAttack, "MIDI Attack", "midi_attack", 0.0, 0.0, 1.0, 0.01, linear);
  initDouble(kMidiDecay, "MIDI Decay", "midi_decay", 0.0, 0.0, 1.0, 0.01, linear);
  initDouble(kMidiSustain, "MIDI Sustain", "midi_sustain", 1.0, 0.0, 1.0, 0.01, linear);
  initDouble(kMidiRelease, "MIDI Release", "midi_release", 0.05, 0.0, 1.0, 0.01, linear);
}

// Columns: Volume, Mix, Grain Mode, Grain Length, Grain Sync, Grain Frequency, Grain Overlap,
// Grain Fade-In, Grain Skew, Grain Fade-Out, Frame Length, Frame Sync, Frame Sync to Host, Frame Overlap,
// Frame Fade-In, Frame Skew, Frame Fade-Out, MIDI Polyphony, MIDI Attack, MIDI Decay, MIDI Sustain,
// MIDI Release, then the seven reserved slots.
constexpr std::array<FactoryPreset, kNumPresets> kFactoryPresets = {{
  {"default", {1.0, 1.0, 0.0, 20.0, 10.0, 110.0, 0.0,  0.0, 0.0, 0.0, 160.0, 10.0, 0.0, 0.0, 0.0,
               0.0, 0.0, 4.0, 0.0,  0.0,  1.0,   0.05, 0,   0,   0,   0,     0,    0,   0}},
  {"Sync 2 Host", {1.0, 1.0, 1.0, 20.0, 4.0, 110.0, 0.0,  0.0, 0.0, 0.0, 160.0, 10.0, 1.0, 0.0, 0.0,
                   0.0, 0.0, 4.0, 0.0,  0.0, 1.0,   0.05, 0,   0,   0,   0,     0,    0,   0}},
  {"Frequency", {1.0, 1.0, 2.0, 20.0, 10.0, 110.0, 0.0,  0.2, 0.0, 0.2, 50.0, 10.0, 0.0, 50.0, 0.0,
                 0.0, 0.0, 4.0, 0.0,  0.0,  1.0,   0.05, 0,   0,   0,   0,    0,    0,   0}},
  {"MIDI Standard", {1.0, 1.0, 3.0, 20.0, 10.0, 110.0, 0.0,  0.2, 0.0, 0.2, 50.0, 10.0, 0.0, 50.0, 0.0,
                     0.0, 0.0, 4.0, 0.0,  0.0,  1.0,   0.05, 0,   0,   0,   0,    0,    0,   0}},
  {"MIDI Synced", {1.0, 1.0, 3.0, 20.0, 10.0, 110.0, 0.0,  0.2, 0.0, 0.2, 50.0, 4.0, 1.0, 50.0, 0.0,
                   0.0, 0.0, 4.0, 0.0,  0.0,  1.0,   0.05, 0,   0,   0,   0,    0,   0,   0}},
  {"Ring Modulator", {1.0, 1.0, 0.0, 2000.0, 10.0, 110.0, 0.0,  0.0, 0.0, 0.0, 3.0, 10.0, 0.0, 0.0, 0.5,
                      0.0, 0.5, 4.0, 0.0,    0.0,  1.0,   0.05, 0,   0,   0,   0,   0,    0,   0}},
  {"Synced Reversals", {1.0, 1.0, 1.0, 20.0, 4.0, 110.0, 0.0,  0.0, -1.0, 0.5, 160.0, 10.0, 1.0, 50.0, 0.5,
                        0.4, 0.0, 4.0, 0.0,  0.0, 1.0,   0.05, 0,   0,    0,   0,     0,    0,   0}},
  {"Sequenced", {1.0,  1.0, 2.0, 20.0, 10.0, 110.0, 33.0, 0.2, 0.0, 0.2, 160.0, 4.0, 1.0, 0.0, 0.0,
                 -1.0, 0.5, 4.0, 0.0,  0.0,  1.0,   0.05, 0,   0,   0,   0,     0,   0,   0}},
  {"Slap Back", {1.0,  0.7, 1.0, 20.0, 8.0, 110.0, 33.0, 0.0, 0.0, 0.0, 160.0, 7.0, 1.0, 50.0, 0.0,
                 -1.0, 0.7, 4.0, 0.0,  0.0, 1.0,   0.05, 0,   0,   0,   0,     0,   0,   0}},
  {"Strange Mix", {1.0, 0.5, 0.0, 60.0, 10.0, 110.0, 50.0, 0.2, 0.0, 0.2, 160.0, 10.0, 0.0, 50.0, 0.0,
                   0.0, 0.0, 4.0, 0.0,  0.0,  1.0,   0.05, 0,   0,   0,   0,     0,    0,   0}},
}};

} // namespace quennet
