// SPDX-License-Identifier: ISC
#pragma once

// The editor's own controls. Positions are design units of the 1968 × 864 editor; every value a
// control handles is its parameter's normalised value (0 … 1). User-interface thread, except
// SetDirty and Hide (see IControl).

#include <cmath>

#include "dsp/EnvelopeCurve.h"
#include "graphics/IBitmapControl.h"
#include "graphics/ICornerResizerControl.h"
#include "graphics/IKnobControl.h"
#include "graphics/IPopupMenu.h"
#include "graphics/ISliderControl.h"
#include "graphics/ISwitchControl.h"

namespace quennet {

class Quennet;

// Numbers in the parameter slot of the controls that carry no parameter (any negative number means
// none); the envelope display chooses its parameters by its number.
inline constexpr int kGrainEnvelopeId = -30;
inline constexpr int kFrameEnvelopeId = -31;
inline constexpr int kMidiLedId = -32;
inline constexpr int kMidiLearnId = -33;

// The editor's text styles, in the font "Roboto-Bold.ttf".
plug::graphics::IText versionLabelText(); // 24 units, half-transparent black
plug::graphics::IText valueReadoutText(); // 40 units, dark grey at 75 %: slider readouts, menu values

// The plug-in an attached control belongs to, or null.
Quennet* quennetOf(const plug::graphics::IControl& control);

// The library's bitmap knob: vertical drag, gearing 4 (four knob heights sweep the range).
class ITWKnobControl final : public plug::graphics::IBKnobControl {
public:
  ITWKnobControl(float x, float y, const plug::graphics::IBitmap& bitmap, int paramIdx);
  ~ITWKnobControl() override = default;
};

// The library's two-frame bitmap switch.
class ITWSwitchControl final : public plug::graphics::IBSwitchControl {
public:
  ITWSwitchControl(float x, float y, const plug::graphics::IBitmap& bitmap, int paramIdx);
  ~ITWSwitchControl() override = default;
};

// A vertical slider with its value printed above the track. The control reaches from the readout
// band down to the track's end, so a click on the readout reaches it.
//
// Three lengths: the handle is drawn over (B0 − T0 − h) units, a click maps over
// (mTrackLength − h/2) units and a drag over (B0 − T0), where T0 … B0 is the track and h the
// handle's height. A click without Shift or Control puts a continuous value at the click (rounded
// to 0.01); a drag moves it by the track's length for the whole range, 100 times slower with the
// modifier. Stepped parameters (the two note-value sliders) never jump to a click and drag in whole
// steps; clicking their readout opens the list of note values. The right button does nothing.
class ITWSliderControl final : public plug::graphics::IBSliderControl {
public:
  static constexpr int kTrackTravel = 352; // design units a click maps over, below half a handle

  ITWSliderControl(float x, float y, const plug::graphics::IBitmap& handle, int paramIdx);
  ~ITWSliderControl() override = default;

  void OnMouseDown(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnMouseDrag(float x, float y, float dX, float dY, const plug::graphics::IMouseMod& mod) override;
  void OnPopupMenuSelection(plug::graphics::IPopupMenu* menu, int valIdx) override;
  void Draw(plug::graphics::IGraphics& g) override;
  // Ignores `direction` and `bounds`: the click maps over the track the slider was made with.
  void SnapToMouse(float x, float y, plug::graphics::EDirection direction, const plug::graphics::IRECT& bounds,
                   int valIdx = plug::graphics::kNoValIdx, double lo = 0.0, double hi = 1.0) override;

  const plug::graphics::IRECT& GetOriginalBounds() const { return mOriginalBounds; }
  const plug::graphics::IRECT& GetValueTextBounds() const { return mValueTextBounds; }
  int GetTrackLength() const { return mTrackLength; }
  const plug::graphics::IPopupMenu& GetMenu() const { return mMenu; }

private:
  bool isSyncSlider() const;

  plug::graphics::IPopupMenu mMenu; // the note values of the two sync sliders
  plug::graphics::IRECT mValueTextBounds;
  plug::graphics::IRECT mOriginalBounds; // the track: the bounds before the readout was added
  int mParamIdx;
  int mTrackLength; // handle height / 2 + kTrackTravel
  bool mRightPress = false; // the button held is the right one: no jump, no drag
};

// The shape of a grain or frame envelope as the grain engine makes it, for the displays.
namespace envelope {
// The outline in `bounds` (design units), one segment per unit of width: from the bottom-left corner
// up to the envelope at t = 0, along the envelope to x = R − 2, down to the bottom-right corner. The
// peak (value 1) lies at 90 % of the height. The curve is the engine's own (EnvelopeCurve) for the
// fade amounts (0 … 1) and the peak's place (0 … 1). `line(x1, y1, x2, y2)` gets each segment in
// order. Allocates nothing.
template <typename Line>
void trace(const plug::graphics::IRECT& bounds, double fadeIn, double peak, double fadeOut, Line&& line)
{
  EnvelopeCurve curve;
  curve.setFadeIn(fadeIn);
  curve.setFadeOut(fadeOut);
  const double width = static_cast<double>(bounds.R) - bounds.L;
  float prevX = bounds.L;
  float prevY = bounds.B;
  if (width - 1.0 > 0.0) {
    const double dt = 1.0 / width;
    const double amplitude = (static_cast<double>(bounds.B) - bounds.T) * 0.9;
    for (int i = 1;; ++i) {
      const double t = (i - 1) * dt;
      const float x = bounds.L + static_cast<float>(i - 1);
      const float y = static_cast<float>(bounds.B - curve.value(t, peak) * amplitude);
      line(prevX, prevY, x, y);
      prevX = x;
      prevY = y;
      if (!(width - 1.0 > i))
        break;
    }
  }
  line(prevX, prevY, bounds.R, bounds.B);
}
} // namespace envelope

// The outline of the grain or the frame envelope, drawn from the current values of its three
// parameters (fade-in, skew, fade-out) and added to the picture below at weight 0.75. Takes no mouse
// and sends nothing; redrawn when marked dirty.
class ITWEnvelopeControl final : public plug::graphics::IControl {
public:
  // `kind`: kGrainEnvelopeId for the grain parameters, anything else for the frame's.
  ITWEnvelopeControl(const plug::graphics::IRECT& bounds, int kind);
  ~ITWEnvelopeControl() override = default;

  void OnInit() override;
  void Draw(plug::graphics::IGraphics& g) override;

  int GetKind() const { return mKind; }
  // The three parameters it shows: fade-in, skew, fade-out.
  void GetParams(int& fadeIn, int& skew, int& fadeOut) const;

  static constexpr float kLineThickness = 3.0f;

private:
  plug::IEditorDelegate* mPlugin = nullptr;
  plug::graphics::IColor mCurveColor{128, 176, 128, 112};
  int mKind;
};

// The switch that arms MIDI learn or unlearn. A left click toggles it and arms (on) or disarms
// (off) the mode it shows; a right click while it is off swaps the mode, and its picture, between
// learn and unlearn. It carries no parameter: nothing reaches the host.
class ITWSwitchMidiLearn final : public plug::graphics::IBSwitchControl {
public:
  ITWSwitchMidiLearn(float x, float y, const plug::graphics::IBitmap& learnBitmap);
  ~ITWSwitchMidiLearn() override = default;

  void OnMouseDown(float x, float y, const plug::graphics::IMouseMod& mod) override;

  bool IsLearnMode() const { return mLearnMode; }

private:
  bool mLearnMode = true; // false: unlearn
};

// Shows its parameter's current entry as text and offers every entry in a pop-up menu: Grain Mode
// ("M.SEC" … "MIDI") and MIDI Polyphony ("1" … "8"); other parameters have no entries.
class ITWMenuControl final : public plug::graphics::IControl {
public:
  ITWMenuControl(const plug::graphics::IRECT& bounds, int paramIdx);
  ~ITWMenuControl() override = default;

  void OnMouseDown(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnInit() override;
  void OnPopupMenuSelection(plug::graphics::IPopupMenu* menu, int valIdx) override;
  void Draw(plug::graphics::IGraphics& g) override;

  // ⌊(entries − 1) × the parameter's normalised value⌋.
  int CurrentEntry() const;
  const plug::graphics::IPopupMenu& GetMenu() const { return mMenu; }
  const plug::graphics::IRECT& GetTextBounds() const { return mTextBounds; }

private:
  plug::graphics::IPopupMenu mMenu;
  int mNumItems = 0;
  int mParamIdx;
  plug::graphics::IRECT mTextBounds;
};

// A menu area: the pointing hand while the mouse is over it.
class ITWControlBase : public plug::graphics::IControl {
public:
  explicit ITWControlBase(const plug::graphics::IRECT& bounds) : IControl(bounds) {}

  void OnMouseOver(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnMouseOut() override;
};

// The preset list: the ten presets (the current one checked), then "Reset Current Preset", which
// reloads the current preset's factory values. Shows its mark only while hovered.
class ITWPresetMenu final : public ITWControlBase {
public:
  ITWPresetMenu(const plug::graphics::IRECT& bounds, const plug::graphics::IBitmap& bitmap);
  ~ITWPresetMenu() override = default;

  void OnMouseDown(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnPopupMenuSelection(plug::graphics::IPopupMenu* menu, int valIdx) override;
  void Draw(plug::graphics::IGraphics& g) override;

  const plug::graphics::IPopupMenu& GetMenu() const { return mMenu; }

private:
  plug::graphics::IBitmap mBitmap;
  plug::graphics::IPopupMenu mMenu;
};

// The logo area: "Check Online for Update" and a link to the maker's web site. Lights up while
// hovered and keeps the arrow cursor.
class ITWOnlineMenu final : public ITWControlBase {
public:
  static constexpr const char* kSiteName = "tarnwellmusic.example";
  static constexpr const char* kHomePage = "https://tarnwellmusic.example/";

  explicit ITWOnlineMenu(const plug::graphics::IRECT& bounds);
  ~ITWOnlineMenu() override = default;

  void OnMouseDown(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnMouseOver(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnMouseOut() override;
  void OnInit() override;
  void OnPopupMenuSelection(plug::graphics::IPopupMenu* menu, int valIdx) override;
  void Draw(plug::graphics::IGraphics& g) override;

  const plug::graphics::IPopupMenu& GetMenu() const { return mMenu; }

private:
  plug::graphics::IPopupMenu mMenu;
  bool mMouseOver = false;
};

// The window's background: a right click opens the menu of the six window sizes and "Save Window
// Size". Lies under every other control, so only clicks on the bare background reach it.
class ITWSizeContextControl final : public plug::graphics::IControl {
public:
  explicit ITWSizeContextControl(const plug::graphics::IRECT& bounds);
  ~ITWSizeContextControl() override = default;

  void OnMouseDown(float x, float y, const plug::graphics::IMouseMod& mod) override;
  void OnInit() override;
  void OnPopupMenuSelection(plug::graphics::IPopupMenu* menu, int valIdx) override;
  void Draw(plug::graphics::IGraphics&) override {}

  const plug::graphics::IPopupMenu& GetMenu() const { return mMenu; }

  static constexpr int kSaveItem = 7;

private:
  plug::graphics::IPopupMenu mMenu;
};

// The corner handle, drawn as a yellow triangle: faint, brighter while hovered or dragged.
class ITWCornerResizer final : public plug::graphics::ICornerResizerControl {
public:
  ITWCornerResizer(const plug::graphics::IRECT& graphicsBounds, float size);
  ~ITWCornerResizer() override = default;

  void Draw(plug::graphics::IGraphics& g) override;

private:
  plug::graphics::IColor mNormalColor{32, 255, 255, 0};
  plug::graphics::IColor mActiveColor{128, 255, 255, 0};
};

} // namespace quennet
