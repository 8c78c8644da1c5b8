// SPDX-License-Identifier: ISC
#pragma once

// Where the editor's controls stand on the 1968 × 864 design, in design units (pixels of the
// artwork). One table for the editor's layout, the artwork generator (which paints the scales,
// labels and wells around these places) and the tests.

#include <array>

#include "core/quennet.param.h"

namespace quennet {

namespace layout {

struct Rect {
  double l = 0, t = 0, r = 0, b = 0;
  constexpr double w() const { return r - l; }
  constexpr double h() const { return b - t; }
  constexpr double cx() const { return (l + r) / 2; }
  constexpr double cy() const { return (t + b) / 2; }
  constexpr Rect grown(double dx, double dy) const { return {l - dx, t - dy, r + dx, b + dy}; }
};

// A control placed by its top-left corner; its size comes from its bitmap.
struct Point {
  double x = 0, y = 0;
};

struct KnobPlace {
  int param;
  Point at;
};

inline constexpr std::array<KnobPlace, 14> kKnobs = {{
  {kVolume, {60, 332}},
  {kMix, {60, 572}},
  {kGrainOverlap, {676, 204}},
  {kGrainFadeIn, {436, 572}},
  {kGrainSkew, {580, 572}},
  {kGrainFadeOut, {724, 572}},
  {kFrameOverlap, {1348, 204}},
  {kFrameFadeIn, {1108, 572}},
  {kFrameSkew, {1252, 572}},
  {kFrameFadeOut, {1396, 572}},
  {kMidiAttack, {1612, 332}},
  {kMidiDecay, {1788, 332}},
  {kMidiSustain, {1612, 572}},
  {kMidiRelease, {1788, 572}},
}};

// The place of a parameter's knob (the first knob's for a parameter without one).
constexpr Point knobAt(int param)
{
  for (const KnobPlace& knob : kKnobs)
    if (knob.param == param)
      return knob.at;
  return kKnobs[0].at;
}

// Each slider place carries one of several parameters, only one shown at a time.
struct SliderPlace {
  Point at;
  std::array<int, 3> params; // -1 where unused
};

inline constexpr SliderPlace kGrainSlider{{304, 272}, {kGrainLength, kGrainSync, kGrainFrequency}};
inline constexpr SliderPlace kFrameSlider{{976, 272}, {kFrameLength, kFrameSync, -1}};

struct MenuPlace {
  int param;
  Rect bounds;
  // The band the value text is centred in.
  constexpr Rect textBounds() const { return {bounds.l, bounds.t + 24, bounds.r, bounds.b - 24}; }
};

inline constexpr MenuPlace kGrainModeMenu{kGrainMode, {488, 192, 616, 256}};
inline constexpr MenuPlace kPolyphonyMenu{kMidiPolyphony, {1700, 192, 1828, 256}};

inline constexpr Point kFrameSyncSwitch{1156, 204};
inline constexpr Rect kGrainEnvelope{500, 378, 784, 542};
inline constexpr Rect kFrameEnvelope{1172, 378, 1456, 542};
inline constexpr Rect kLogo{32, 48, 216, 272}; // the online menu's area
inline constexpr Rect kVersionText{32, 240, 212, 268};
inline constexpr Rect kPresetMark{274, 52, 326, 96};
inline constexpr Point kLearnSwitch{58, 774};
inline constexpr Point kMidiLed{1632, 56};

} // namespace layout

} // namespace quennet
