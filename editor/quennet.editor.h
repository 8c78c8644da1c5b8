// SPDX-License-Identifier: ISC
#pragma once

// The editor's fixed sizes.

#include <array>
#include <cstddef>
#include <memory>

#include "core/quennet.h"

namespace plug::graphics {
class IBitmapControl;
class IGraphics;
} // namespace plug::graphics

namespace quennet {

class ITWEnvelopeControl;
class ITWSliderControl;
class ITWSwitchMidiLearn;
class VersionCheck;
class VersionCheckThread;

// The editor as the factory makes it, and the design it lays out: 1968 × 864 units shown at a scale.
inline constexpr int kEditorFactoryWidth = 984;
inline constexpr int kEditorFactoryHeight = 432;
inline constexpr int kEditorFps = 60;
inline constexpr int kEditorWidth = 1968;
inline constexpr int kEditorHeight = 864;
inline constexpr float kEditorMinScale = 0.25f;
inline constexpr float kEditorMaxScale = 4.0f;
inline constexpr float kCornerResizerSize = 26.0f; // screen pixels

namespace GUI {

// The window sizes of the size menu.
enum GUISize : int {
  kSize50 = 0,
  kSize75 = 1,
  kSize100 = 2,
  kSize200 = 3,
  kSize400 = 4,
  kSize800 = 5,
};

struct SizeEntry {
  const char* text;
  float scale;
};

// A table, not a formula: 50 % and 75 % scale the 100 % window's sides, 200 % and 400 % double and
// quadruple its area, 800 % quadruples its sides. 200 % is the single-precision value nearest 1/√2.
inline constexpr std::array<SizeEntry, 6> kSizes = {{
  {"Set Windows Size to 50%", 0.25f},
  {"Set Windows Size to 75%", 0.375f},
  {"Set Windows Size to 100%", 0.5f},
  {"Set Windows Size to 200%", 0.70710677f},
  {"Set Windows Size to 400%", 1.0f},
  {"Set Windows Size to 800%", 2.0f},
}};

// The size's scale; 0 for a value outside the table.
inline float scaleOf(int size)
{
  return size >= 0 && size < static_cast<int>(kSizes.size()) ? kSizes[static_cast<std::size_t>(size)].scale : 0.0f;
}

} // namespace GUI

// The plug-in's editor side: installs the editor's factory and layout on the plug-in, keeps
// references to the controls the plug-in updates, applies the idle updates, the window sizes and
// the version check's message boxes. One per plug-in instance, owned by it. User-interface thread.
class QuennetEditor final : public Quennet::EditorSide {
public:
  // Makes the plug-in's editor side and hands it to the plug-in.
  static QuennetEditor& install(Quennet& plugin);
  explicit QuennetEditor(Quennet& plugin);
  ~QuennetEditor() override;

  // Installs the layout function that fills each new editor.
  void createGraphics();
  // Resizes an open editor to the preferred scale; does nothing without one.
  void resizeUI();
  // Makes a size of the size menu the preferred scale and resizes an open editor to it.
  void resizeUI(GUI::GUISize size);
  // The idle tick's LED rule.
  void updateLED();
  // Asks the maker's version service for the newest release, on a thread of its own, and returns
  // at once (VersionCheck::kRequested): the idle tick that finds the answer shows it in the message
  // boxes of the editor that asked, or drops it when that editor has closed. A check already on its
  // way serves a second request. Without an open editor nothing is asked (VersionCheck::kEmptyAnswer).
  int checkVersionAgainstWeb();
  // A check's request is on its way.
  bool versionCheckRunning() const { return mVersionCheckThread != nullptr; }
  // The service the version check asks (tests: a local server); null: the maker's.
  void setVersionCheck(std::shared_ptr<const VersionCheck> check) { mVersionCheck = std::move(check); }

  // The editor controls the plug-in updates. Valid only while the editor they belong to
  // (`graphics`) exists: set by its layout, cleared when it closes.
  struct EditorReferences {
    plug::graphics::IGraphics* graphics = nullptr;
    ITWSwitchMidiLearn* midiLearnSwitch = nullptr;
    ITWSliderControl* grainLengthSlider = nullptr;
    ITWSliderControl* grainSyncSlider = nullptr;
    ITWSliderControl* grainFrequencySlider = nullptr;
    ITWSliderControl* frameLengthSlider = nullptr;
    ITWSliderControl* frameSyncSlider = nullptr;
    ITWEnvelopeControl* grainEnvelope = nullptr;
    ITWEnvelopeControl* frameEnvelope = nullptr;
    plug::graphics::IBitmapControl* midiLed = nullptr;
  };
  const EditorReferences& editorReferences() const { return mEditor; }

  // Quennet::EditorSide.
  void onIdle() override;
  void onEditorClose() override;
  void onPreferredScaleChange() override { resizeUI(); }

private:
  void installEditorFactory();
  void layoutEditor(plug::graphics::IGraphics& g);
  // The editor the references belong to while it is attached and open, else null.
  plug::graphics::IGraphics* openEditor() const;
  void applySliderRule();
  void showVersionAnswer();

  Quennet& mPlugin;
  EditorReferences mEditor;
  std::shared_ptr<const VersionCheck> mVersionCheck;
  // The version check's request on its way, and whether an open editor still waits for its answer.
  std::unique_ptr<VersionCheckThread> mVersionCheckThread;
  bool mVersionAnswerWanted = false;
};

// The editor side of a plug-in that has one installed (every instance MakePlug makes).
QuennetEditor& editorOf(Quennet& plugin);
const QuennetEditor& editorOf(const Quennet& plugin);

} // namespace quennet
