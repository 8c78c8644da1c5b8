// SPDX-License-Identifier: ISC
#pragma once

// Where the editor places its controls on the 1968 × 864 design, and the sizes of the artwork
// frames that go with them. Design units are pixels of the artwork (one pixel per unit). The
// positions repeat the editor's control table (an editor test holds them equal); the frame sizes
// are ours to choose and are read back by the editor from the image files.

#include <array>

#include "core/quennet.param.h"
#include "editor/quennet.editor.h"

namespace art {

struct Rect {
  double l = 0, t = 0, r = 0, b = 0;
  constexpr double w() const { return r - l; }
  constexpr double h() const { return b - t; }
  constexpr double cx() const { return (l + r) / 2; }
  constexpr double cy() const { return (t + b) / 2; }
  constexpr Rect grown(double dx, double dy) const { return {l - dx, t - dy, r + dx, b + dy}; }
};

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

// Each slider position carries one of several parameters, only one shown at a time.
struct SliderPlace {
  Slider slider;
  std::array<int, 3> params; // -1 where unused
};

inline constexpr SliderPlace kGrainSlider{{304, 272}, {kGrainLength, kGrainSync, kGrainFrequency}};
inline constexpr SliderPlace kFrameSlider{{976, 272}, {kFrameLength, kFrameSync, -1}};

struct KnobPlace {
  int param;
  double x, y;
  constexpr Rect bounds() const { return {x, y, x + kKnobSize, y + kKnobSize}; }
};

inline constexpr std::array<KnobPlace, 14> kKnobs = {{
  {kVolume, 60, 332},
  {kMix, 60, 572},
  {kGrainOverlap, 676, 204},
  {kGrainFadeIn, 436, 572},
  {kGrainSkew, 580, 572},
  {kGrainFadeOut, 724, 572},
  {kFrameOverlap, 1348, 204},
  {kFrameFadeIn, 1108, 572},
  {kFrameSkew, 1252, 572},
  {kFrameFadeOut, 1396, 572},
  {kMidiAttack, 1612, 332},
  {kMidiDecay, 1788, 332},
  {kMidiSustain, 1612, 572},
  {kMidiRelease, 1788, 572},
}};

struct MenuPlace {
  int param;
  Rect bounds;
  // The band the editor centres the value text in.
  constexpr Rect textBounds() const { return {bounds.l, bounds.t + 24, bounds.r, bounds.b - 24}; }
};

inline constexpr MenuPlace kGrainModeMenu{kGrainMode, {488, 192, 616, 256}};
inline constexpr MenuPlace kPolyphonyMenu{kMidiPolyphony, {1700, 192, 1828, 256}};

inline constexpr double kSwitchX = 1156, kSwitchY = 204; // Frame Sync to Host
inline constexpr Rect kSwitchBounds{kSwitchX, kSwitchY, kSwitchX + kSwitchWidth, kSwitchY + kSwitchHeight};

inline constexpr Rect kGrainEnvelope{500, 378, 784, 542};
inline constexpr Rect kFrameEnvelope{1172, 378, 1456, 542};

inline constexpr Rect kLogo{32, 48, 216, 272};
inline constexpr Rect kVersionText{32, 240, 212, 268};
inline constexpr Rect kPresetMark{274, 52, 326, 96};
inline constexpr Rect kLearn{58, 774, 58 + kLearnWidth, 774 + kLearnHeight};
inline constexpr Rect kLed{1632, 56, 1632 + kLedSize, 56 + kLedSize};
inline constexpr int kCornerSize = static_cast<int>(kCornerResizerSize); // the resize handle in the bottom-right corner

// Text the editor draws on the background: sizes and colours (alpha, red, green, blue) of its styles.
inline constexpr double kReadoutTextSize = 40;
inline constexpr std::array<int, 4> kReadoutTextColour = {192, 64, 64, 64};
inline constexpr double kVersionTextSize = 24;
inline constexpr std::array<int, 4> kVersionTextColour = {128, 0, 0, 0};
inline constexpr std::array<int, 4> kEnvelopeCurveColour = {128, 176, 128, 112}; // added at weight 0.75

} // namespace art
