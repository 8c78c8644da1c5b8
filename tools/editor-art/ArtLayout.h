// SPDX-License-Identifier: ISC
#pragma once

// The editor's control places (its layout table) with the sizes of the artwork frames that go with
// them. Design units are pixels of the artwork (one pixel per unit). The frame sizes are ours to
// choose and are read back by the editor from the image files.

#include <array>
#include <cstddef>

#include "core/quennet.param.h"
#include "editor/quennet.editor.h"
#include "editor/quennet.layout.h"

namespace art {

using namespace quennet;
using layout::Rect;

inline constexpr int kDesignWidth = kEditorWidth;
inline constexpr int kDesignHeight = kEditorHeight;

// Frame sizes, design units; frames are stacked vertically.
inline constexpr int kKnobSize = 120; // square; knobs in a row stand 144 apart
inline constexpr int kKnobFrames = 65;
inline constexpr int kHandleWidth = 64;
inline constexpr int kHandleHeight = 40;
inline constexpr int kSwitchWidth = 120;
inline constexpr int kSwitchHeight = 40;
inline constexpr int kLearnWidth = 128;
inline constexpr int kLearnHeight = 48;
inline constexpr int kLedSize = 40;
inline constexpr int kTriangleWidth = 52; // the preset mark's rectangle, which the mark fills
inline constexpr int kTriangleHeight = 44;

// The slider's geometry follows from its handle: the control spans the handle's width and
// kTrackLength units down from its position, the handle's top travels over
// kTrackLength − kHandleHeight units, and the value readout sits in a band above.
inline constexpr int kTrackLength = kHandleHeight / 2 + 352;

struct Slider {
  double x, y; // the control's position

  constexpr Rect bounds() const { return {x, y, x + kHandleWidth, y + kTrackLength}; }
  constexpr Rect readoutBand() const { return {x - 24, y - 62, x + kHandleWidth + 24, y - 34}; }
  // Where the handle's frame is drawn for a normalised value.
  constexpr Rect handleAt(double value) const
  {
    const double offset = (kTrackLength - kHandleHeight) * (1.0 - value);
    return {x, y + offset, x + kHandleWidth, y + offset + kHandleHeight};
  }
  constexpr double centreX() const { return x + kHandleWidth / 2.0; }
  // The handle's centre line at a normalised value: the scale's marks sit here.
  constexpr double markY(double value) const { return handleAt(value).cy(); }
};

// Each slider place carries one of several parameters, only one shown at a time.
struct SliderPlace {
  Slider slider;
  std::array<int, 3> params; // -1 where unused
};

constexpr SliderPlace sliderPlace(const layout::SliderPlace& place)
{
  return {{place.at.x, place.at.y}, place.params};
}

inline constexpr SliderPlace kGrainSlider = sliderPlace(layout::kGrainSlider);
inline constexpr SliderPlace kFrameSlider = sliderPlace(layout::kFrameSlider);

struct KnobPlace {
  int param;
  double x, y;
  constexpr Rect bounds() const { return {x, y, x + kKnobSize, y + kKnobSize}; }
};

constexpr std::array<KnobPlace, layout::kKnobs.size()> knobPlaces()
{
  std::array<KnobPlace, layout::kKnobs.size()> knobs{};
  for (std::size_t i = 0; i < knobs.size(); ++i)
    knobs[i] = {layout::kKnobs[i].param, layout::kKnobs[i].at.x, layout::kKnobs[i].at.y};
  return knobs;
}

inline constexpr std::array<KnobPlace, layout::kKnobs.size()> kKnobs = knobPlaces();

using layout::kGrainModeMenu;
using layout::kPolyphonyMenu;
using layout::MenuPlace;

inline constexpr double kSwitchX = layout::kFrameSyncSwitch.x, kSwitchY = layout::kFrameSyncSwitch.y;
inline constexpr Rect kSwitchBounds{kSwitchX, kSwitchY, kSwitchX + kSwitchWidth, kSwitchY + kSwitchHeight};

using layout::kFrameEnvelope;
using layout::kGrainEnvelope;
using layout::kLogo;
using layout::kPresetMark;
using layout::kVersionText;
inline constexpr Rect kLearn{layout::kLearnSwitch.x, layout::kLearnSwitch.y, layout::kLearnSwitch.x + kLearnWidth,
                             layout::kLearnSwitch.y + kLearnHeight};
inline constexpr Rect kLed{layout::kMidiLed.x, layout::kMidiLed.y, layout::kMidiLed.x + kLedSize,
                           layout::kMidiLed.y + kLedSize};
inline constexpr int kCornerSize = static_cast<int>(kCornerResizerSize); // the resize handle in the bottom-right corner

// Text the editor draws on the background: sizes and colours (alpha, red, green, blue) of its styles.
inline constexpr double kReadoutTextSize = 40;
inline constexpr std::array<int, 4> kReadoutTextColour = {192, 64, 64, 64};
inline constexpr double kVersionTextSize = 24;
inline constexpr std::array<int, 4> kVersionTextColour = {128, 0, 0, 0};
inline constexpr std::array<int, 4> kEnvelopeCurveColour = {128, 176, 128, 112}; // added at weight 0.75

} // namespace art
