// SPDX-License-Identifier: ISC
#include "editor/quennet.controls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/quennet.h"
#include "editor/quennet.editor.h"
#include "framework/IParam.h"
#include "framework/TextString.h"
#include "graphics/IGraphics.h"

namespace quennet {

using namespace plug::graphics;

namespace {

constexpr const char* kFontID = "Roboto-Bold.ttf";

// The parameter's normalised value, clamped to 0 … 1 (0 without the parameter).
double normalizedValueOf(plug::IEditorDelegate* plugin, int paramIdx)
{
  const plug::IParam* param = plugin && paramIdx >= 0 ? plugin->GetParam(paramIdx) : nullptr;
  return param ? std::clamp(param->GetNormalized(), 0.0, 1.0) : 0.0;
}

} // namespace

IText versionLabelText()
{
  return IText(24.0f, IColor(128, 0, 0, 0), kFontID);
}

IText valueReadoutText()
{
  return IText(40.0f, IColor(192, 64, 64, 64), kFontID);
}

Quennet* quennetOf(const IControl& control)
{
  return dynamic_cast<Quennet*>(control.GetDelegate());
}

// The editor side of the plug-in a control belongs to, or null.
QuennetEditor* editorSideOf(const IControl& control)
{
  Quennet* plugin = quennetOf(control);
  return plugin ? dynamic_cast<QuennetEditor*>(plugin->editorSide()) : nullptr;
}

// ---- Knob and switch ----

ITWKnobControl::ITWKnobControl(float x, float y, const IBitmap& bitmap, int paramIdx)
    : IBKnobControl(x, y, bitmap, paramIdx, EDirection::kVertical, 4.0)
{
}

ITWSwitchControl::ITWSwitchControl(float x, float y, const IBitmap& bitmap, int paramIdx)
    : IBSwitchControl(x, y, bitmap, paramIdx)
{
}

// ---- Slider ----

namespace {
int trackLengthFor(const IBitmap& handle)
{
  return handle.FH() / 2 + ITWSliderControl::kTrackTravel;
}
} // namespace

ITWSliderControl::ITWSliderControl(float x, float y, const IBitmap& handle, int paramIdx)
    : IBSliderControl(x, y, static_cast<float>(trackLengthFor(handle)), handle, IBitmap(), paramIdx,
                      EDirection::kVertical, 1.0),
      mParamIdx(paramIdx),
      mTrackLength(trackLengthFor(handle))
{
  mOriginalBounds = GetRECT();
  const IRECT& r = mOriginalBounds;
  mValueTextBounds = IRECT(r.L - 24.0f, r.T - 62.0f, r.R + 24.0f, r.T - 34.0f);
  SetTargetAndDrawRECTs(IRECT(r.L - 24.0f, r.T - 62.0f, r.R + 24.0f, r.B));
  SetHideCursorOnDrag(false);
  mText = valueReadoutText();
}

bool ITWSliderControl::isSyncSlider() const
{
  return mParamIdx == kGrainSync || mParamIdx == kFrameSync;
}

void ITWSliderControl::OnMouseDown(float x, float y, const IMouseMod& mod)
{
  // A right click asks for a value prompt, which these sliders do not have.
  mRightPress = mod.R && !mod.L;
  if (mRightPress)
    return;
  if (isSyncSlider() && mValueTextBounds.Contains(x, y)) {
    mMenu.Clear();
    int position = 0;
    for (const char* text : labelSyncRate) {
      mMenu.AddItem(text, position);
      ++position;
    }
    const double n = normalizedValueOf(GetDelegate(), mParamIdx);
    mMenu.CheckItemAlone(static_cast<int>(std::floor(n * 19.0)));
    if (IGraphics* ui = GetUI())
      ui->CreatePopupMenu(*this, mMenu, IRECT(x, y, x, y), 0);
    return;
  }
  mMouseDown = true;
  const plug::IParam* param = GetParam();
  if (!mod.Fine() && !(param && param->GetStepped()))
    SnapToMouse(x, y, mDirection, mTrack, kNoValIdx, 0.0, 1.0);
  mMouseDragValue = GetValue();
  IControl::OnMouseDown(x, y, mod);
}

void ITWSliderControl::SnapToMouse(float x, float y, EDirection, const IRECT&, int valIdx, double lo, double hi)
{
  const IRECT& r = mOriginalBounds;
  if (r == IRECT() || !r.Contains(x, y))
    return;
  const double half = static_cast<double>(mHandleSize) * 0.5;
  double v = 1.0 - ((static_cast<double>(y) - r.T) - half) / (mTrackLength - half);
  v = std::clamp(std::round(v / 0.01) * 0.01, lo, hi);
  for (int i = 0; i < NVals(); ++i)
    if (valIdx < 0 || i == valIdx)
      SetValue(v, i);
  SetDirty(true, valIdx);
}

void ITWSliderControl::OnMouseDrag(float x, float y, float dX, float dY, const IMouseMod& mod)
{
  if (mRightPress)
    return;
  const plug::IParam* param = GetParam();
  if (!param || param->GetStepped()) {
    ISliderControlBase::OnMouseDrag(x, y, dX, dY, mod);
    return;
  }
  if (!mMouseDown) {
    // A drag after the second press of a double-click, which went to OnMouseDblClick.
    mMouseDown = true;
    mMouseDragValue = GetValue();
  }
  const double gearing = mod.Fine() ? 100.0 : 1.0;
  const IRECT& r = mOriginalBounds;
  mMouseDragValue = std::clamp(mMouseDragValue + dY / (static_cast<double>(r.T) - r.B) / gearing, 0.0, 1.0);
  // Through the parameter's own constraint: its step, its range.
  mMouseDragValue = std::clamp(param->NormalizedFromValue(param->ValueFromNormalized(mMouseDragValue)), 0.0, 1.0);
  SetValue(mMouseDragValue);
  SetDirty(true);
}

void ITWSliderControl::OnPopupMenuSelection(IPopupMenu* menu, int)
{
  // One change, sent once: SetValueFromUserInput marks the slider dirty with the action triggered.
  if (menu)
    SetValueFromUserInput(menu->GetChosenItemIdx() / 19.0);
}

void ITWSliderControl::Draw(IGraphics& g)
{
  const float v = static_cast<float>(GetValue());
  const IRECT& r = mOriginalBounds;
  const float w = static_cast<float>(mBitmap.FW());
  const float h = static_cast<float>(mBitmap.FH());
  const float offset = (r.B - r.T - h) * (1.0f - v);
  g.DrawBitmap(mBitmap, IRECT(r.L, r.T + offset, r.L + w, r.T + offset + h), 1, &mBlend);
  if (const plug::IParam* param = GetParam()) {
    plug::TextString text;
    param->GetDisplay(param->GetValue(), false, text, true);
    g.DrawText(mText, text.Get(), mValueTextBounds);
  }
}

// ---- Envelope display ----

ITWEnvelopeControl::ITWEnvelopeControl(const IRECT& bounds, int kind) : IControl(bounds, kind), mKind(kind)
{
  mBlend = IBlend(EBlend::kAdd, 0.75f);
  SetIgnoreMouse(true);
}

void ITWEnvelopeControl::OnInit()
{
  mPlugin = GetDelegate();
}

void ITWEnvelopeControl::GetParams(int& fadeIn, int& skew, int& fadeOut) const
{
  const bool grain = mKind == kGrainEnvelopeId;
  fadeIn = grain ? kGrainFadeIn : kFrameFadeIn;
  skew = grain ? kGrainSkew : kFrameSkew;
  fadeOut = grain ? kGrainFadeOut : kFrameFadeOut;
}

void ITWEnvelopeControl::Draw(IGraphics& g)
{
  int fadeIn = 0, skew = 0, fadeOut = 0;
  GetParams(fadeIn, skew, fadeOut);
  // Normalised values: the fades as they are (0 … 1), the skew −1 … 1 as the peak's place 0 … 1.
  const double h = normalizedValueOf(mPlugin, fadeIn);
  const double s = normalizedValueOf(mPlugin, skew);
  const double k = normalizedValueOf(mPlugin, fadeOut);
  envelope::trace(GetRECT(), h, s, k, [&](float x1, float y1, float x2, float y2) {
    g.DrawLine(mCurveColor, x1, y1, x2, y2, &mBlend, kLineThickness);
  });
}

// ---- MIDI learn switch ----

ITWSwitchMidiLearn::ITWSwitchMidiLearn(float x, float y, const IBitmap& learnBitmap)
    : IBSwitchControl(x, y, learnBitmap, kMidiLearnId)
{
}

void ITWSwitchMidiLearn::OnMouseDown(float x, float y, const IMouseMod& mod)
{
  Quennet* plugin = quennetOf(*this);
  if (mod.L) {
    IBSwitchControl::OnMouseDown(x, y, mod);
    const bool on = GetValue() > 0.0;
    if (plugin) {
      if (mLearnMode)
        plugin->doMidiLearn(on);
      else
        plugin->doMidiUnlearn(on);
    }
  } else if (mod.R && GetValue() == 0.0) {
    mLearnMode = !mLearnMode;
    if (IGraphics* ui = GetUI())
      SetBitmap(ui->LoadBitmap(mLearnMode ? "learn.png" : "unlearn.png", 2));
    SetDirty(false);
  }
}

// ---- Menu of a parameter's entries ----

ITWMenuControl::ITWMenuControl(const IRECT& bounds, int paramIdx)
    : IControl(bounds, paramIdx),
      mParamIdx(paramIdx),
      mTextBounds(bounds.L, bounds.T + 24.0f, bounds.R, bounds.B - 24.0f)
{
  mText = valueReadoutText();
}

void ITWMenuControl::OnInit()
{
  mMenu.Clear();
  mNumItems = 0;
  if (mParamIdx == kMidiPolyphony) {
    mNumItems = 8;
    for (int i = 0; i < mNumItems; ++i)
      mMenu.AddItem(std::to_string(i + 1).c_str(), i);
  } else if (mParamIdx == kGrainMode) {
    mNumItems = 4;
    const plug::IParam* param = GetParam();
    for (int i = 0; i < mNumItems; ++i)
      mMenu.AddItem(param ? param->GetDisplayTextAtIdx(i) : "", i);
  }
}

int ITWMenuControl::CurrentEntry() const
{
  const double n = normalizedValueOf(GetDelegate(), mParamIdx);
  return static_cast<int>(std::floor((mNumItems - 1) * n));
}

void ITWMenuControl::Draw(IGraphics& g)
{
  const int entry = CurrentEntry();
  if (entry < 0 || entry >= mNumItems)
    return;
  const char* text = mMenu.GetItemText(entry);
  g.DrawText(mText, text ? text : "", mTextBounds);
}

void ITWMenuControl::OnMouseDown(float x, float y, const IMouseMod&)
{
  if (mParamIdx != kMidiPolyphony && mParamIdx != kGrainMode)
    return;
  mMenu.CheckItemAlone(CurrentEntry());
  if (IGraphics* ui = GetUI())
    ui->CreatePopupMenu(*this, mMenu, IRECT(x, y, x, y), 0);
}

void ITWMenuControl::OnPopupMenuSelection(IPopupMenu* menu, int)
{
  // One change, sent once: SetValueFromUserInput marks the control dirty with the action triggered.
  if (menu && mNumItems > 1)
    SetValueFromUserInput(static_cast<double>(menu->GetChosenItemIdx()) / (mNumItems - 1));
}

// ---- Menu areas ----

void ITWControlBase::OnMouseOver(float x, float y, const IMouseMod& mod)
{
  if (IGraphics* ui = GetUI())
    ui->SetMouseCursor(ECursor::kHand);
  IControl::OnMouseOver(x, y, mod);
}

void ITWControlBase::OnMouseOut()
{
  if (IGraphics* ui = GetUI())
    ui->SetMouseCursor(ECursor::kArrow);
  IControl::OnMouseOut();
}

ITWPresetMenu::ITWPresetMenu(const IRECT& bounds, const IBitmap& bitmap) : ITWControlBase(bounds), mBitmap(bitmap)
{
}

void ITWPresetMenu::OnMouseDown(float x, float y, const IMouseMod&)
{
  Quennet* plugin = quennetOf(*this);
  IGraphics* ui = GetUI();
  if (!plugin || !ui)
    return;
  mMenu.Clear();
  const int current = plugin->GetCurrentPresetIdx();
  for (int i = 0; i < kNumPresets; ++i)
    mMenu.AddItem(plugin->GetPresetName(i), i, i == current ? IPopupMenu::kChecked : IPopupMenu::kNoFlags);
  mMenu.AddSeparator(kNumPresets);
  mMenu.AddItem("Reset Current Preset", kNumPresets + 1);
  ui->CreatePopupMenu(*this, mMenu, IRECT(x, y, x, y), 0);
}

void ITWPresetMenu::OnPopupMenuSelection(IPopupMenu* menu, int)
{
  Quennet* plugin = quennetOf(*this);
  if (menu && plugin) {
    const int chosen = menu->GetChosenItemIdx();
    if (chosen <= kNumPresets - 1) {
      plugin->changePreset(chosen);
    } else {
      plugin->initPreset(plugin->GetCurrentPresetIdx()); // tells the host's controls too
    }
  }
  if (IGraphics* ui = GetUI())
    ui->SetAllControlsDirty();
}

void ITWPresetMenu::Draw(IGraphics& g)
{
  if (GetMouseIsOver())
    g.DrawBitmap(mBitmap, GetRECT(), 1);
}

ITWOnlineMenu::ITWOnlineMenu(const IRECT& bounds) : ITWControlBase(bounds)
{
}

void ITWOnlineMenu::OnInit()
{
  mMenu.Clear();
  mMenu.AddItem("Check Online for Update", 0);
  mMenu.AddItem((std::string("Visit ") + kSiteName).c_str(), 1);
}

void ITWOnlineMenu::OnMouseDown(float x, float y, const IMouseMod&)
{
  if (IGraphics* ui = GetUI())
    ui->CreatePopupMenu(*this, mMenu, IRECT(x, y, x, y), 0);
}

// The logo area keeps the arrow cursor: the highlight alone shows it can be clicked.
void ITWOnlineMenu::OnMouseOver(float x, float y, const IMouseMod& mod)
{
  if (!mMouseOver) {
    mMouseOver = true;
    SetDirty(false);
  }
  IControl::OnMouseOver(x, y, mod);
}

void ITWOnlineMenu::OnMouseOut()
{
  if (mMouseOver) {
    mMouseOver = false;
    SetDirty(false);
  }
  IControl::OnMouseOut();
}

void ITWOnlineMenu::OnPopupMenuSelection(IPopupMenu* menu, int)
{
  if (menu) {
    const int chosen = menu->GetChosenItemIdx();
    if (chosen == 0) {
      if (QuennetEditor* editor = editorSideOf(*this))
        editor->checkVersionAgainstWeb();
    } else if (chosen == 1) {
      if (IGraphics* ui = GetUI())
        ui->OpenURL(kHomePage);
    }
  }
  if (IGraphics* ui = GetUI())
    ui->SetAllControlsDirty();
}

void ITWOnlineMenu::Draw(IGraphics& g)
{
  if (mMouseOver)
    g.FillRect(IColor(64, 255, 255, 255), GetRECT());
}

// ---- Window sizes ----

ITWSizeContextControl::ITWSizeContextControl(const IRECT& bounds) : IControl(bounds)
{
}

void ITWSizeContextControl::OnInit()
{
  mMenu.Clear();
  for (int i = 0; i < static_cast<int>(GUI::kSizes.size()); ++i)
    mMenu.AddItem(GUI::kSizes[static_cast<std::size_t>(i)].text, i);
  mMenu.AddSeparator(6);
  mMenu.AddItem("Save Window Size", kSaveItem);
}

void ITWSizeContextControl::OnMouseDown(float x, float y, const IMouseMod& mod)
{
  if (!mod.R)
    return;
  if (IGraphics* ui = GetUI())
    ui->CreatePopupMenu(*this, mMenu, IRECT(x, y, x, y), 0);
  SetDirty(true);
}

void ITWSizeContextControl::OnPopupMenuSelection(IPopupMenu* menu, int)
{
  Quennet* plugin = quennetOf(*this);
  IGraphics* ui = GetUI();
  if (!menu || !plugin || !ui)
    return;
  const int chosen = menu->GetChosenItemIdx();
  if (chosen >= 0 && chosen < static_cast<int>(GUI::kSizes.size())) {
    if (QuennetEditor* editor = editorSideOf(*this))
      editor->resizeUI(static_cast<GUI::GUISize>(chosen));
  } else if (chosen == kSaveItem) {
    // What is saved is this window's scale, however it was reached.
    plugin->learn().setEditorScale(ui->GetDrawScale());
    const bool saved = plugin->saveConfig();
    const std::string& path = plugin->learn().configPath();
    const std::string message = path.empty()
      ? std::string("The current window size could not be saved: the settings are kept in memory only, "
                    "as there is no INI configuration file.")
      : saved ? "The current window size was saved to the INI configuration file:\n" + path
              : "The current window size could not be saved to the INI configuration file:\n" + path;
    ui->ShowMessageBox(message.c_str(), "Save Window Size", EMsgBoxType::kOK);
  }
}

// ---- Corner handle ----

ITWCornerResizer::ITWCornerResizer(const IRECT& graphicsBounds, float size)
    : ICornerResizerControl(graphicsBounds, size)
{
}

void ITWCornerResizer::Draw(IGraphics& g)
{
  const IColor& color = GetMouseIsOver() || IsResizing() ? mActiveColor : mNormalColor;
  const IRECT& r = GetRECT();
  g.FillTriangle(color, r.L, r.B, r.R, r.T, r.R, r.B);
}

} // namespace quennet
