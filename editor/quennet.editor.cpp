// SPDX-License-Identifier: ISC
// The plug-in's editor side: the factory and layout, the idle updates, the window sizes and the
// version check's message boxes. The plug-in itself knows nothing of graphics.

#include "editor/quennet.editor.h"

#include <memory>
#include <string>
#include <utility>

#include "core/quennet.h"
#include "editor/asset_folder.h"
#include "editor/quennet.controls.h"
#include "editor/quennet.layout.h"
#include "graphics/EditorFactory.h"
#include "graphics/IGraphics.h"
#include "graphics/ITextControl.h"
#include "services/version_check.h"
#include "services/version_check_thread.h"

namespace quennet {

using namespace plug::graphics;

namespace {

constexpr const char* kVersionLabel = "v.1.1.2";

// The layout table's places as the controls take them (design units).
IRECT rectOf(const layout::Rect& r)
{
  return IRECT(static_cast<float>(r.l), static_cast<float>(r.t), static_cast<float>(r.r), static_cast<float>(r.b));
}
float xOf(const layout::Point& p)
{
  return static_cast<float>(p.x);
}
float yOf(const layout::Point& p)
{
  return static_cast<float>(p.y);
}

// The version check's message boxes and browser on an editor's graphics context. Each box's
// completion holds the adapter, so the check's completions find it alive for as long as the box
// exists; boxes are dropped unanswered when the editor closes, and their completions never run.
class GraphicsVersionCheckUI final : public VersionCheckUI,
                                     public std::enable_shared_from_this<GraphicsVersionCheckUI> {
public:
  explicit GraphicsVersionCheckUI(IGraphics& g) : mG(g) {}

  void showMessageBox(const std::string& text, const std::string& caption, BoxType type, Completion completion) override
  {
    IMsgBoxCompletion done;
    if (completion)
      done = [self = shared_from_this(), completion = std::move(completion)](EMsgBoxResult result) {
        completion(result == EMsgBoxResult::kYes    ? Answer::kYes
                     : result == EMsgBoxResult::kNo ? Answer::kNo
                                                    : Answer::kOK);
      };
    mG.ShowMessageBox(text.c_str(), caption.c_str(), type == BoxType::kYesNo ? EMsgBoxType::kYesNo : EMsgBoxType::kOK,
                      std::move(done));
  }

  void openUrl(const std::string& url) override { mG.OpenURL(url.c_str()); }

private:
  IGraphics& mG;
};

} // namespace

// ---- Installation ----

QuennetEditor& QuennetEditor::install(Quennet& plugin)
{
  auto side = std::make_unique<QuennetEditor>(plugin);
  QuennetEditor& editor = *side;
  plugin.setEditorSide(std::move(side));
  return editor;
}

QuennetEditor::QuennetEditor(Quennet& plugin) : mPlugin(plugin)
{
  installEditorFactory();
}

QuennetEditor::~QuennetEditor() = default;

QuennetEditor& editorOf(Quennet& plugin)
{
  return dynamic_cast<QuennetEditor&>(*plugin.editorSide());
}

const QuennetEditor& editorOf(const Quennet& plugin)
{
  return dynamic_cast<const QuennetEditor&>(*plugin.editorSide());
}

// ---- Factory and layout ----

void QuennetEditor::installEditorFactory()
{
  SetMakeGraphicsFunc(mPlugin, [this] {
    std::unique_ptr<IGraphics> g = MakeGraphics(mPlugin, kEditorFactoryWidth, kEditorFactoryHeight, kEditorFps, 1.0f);
    g->SetAssetFolder(editorAssetFolder());
    createGraphics();
    return g;
  });
}

void QuennetEditor::createGraphics()
{
  SetLayoutFunc(mPlugin, [this](IGraphics* g) {
    if (g)
      layoutEditor(*g);
  });
}

// Runs once the new editor's window is open, before the editor is attached to the plug-in (so the
// slider rule at the end works on `g` itself).
void QuennetEditor::layoutEditor(IGraphics& g)
{
  const IBitmap knob = g.LoadBitmap("knob.png", 65);
  const IBitmap switchBitmap = g.LoadBitmap("switch.png", 2);
  const IBitmap handle = g.LoadBitmap("handle.png", 1);
  const IBitmap learn = g.LoadBitmap("learn.png", 2);
  const IBitmap led = g.LoadBitmap("led.png", 2);
  const IBitmap triangle = g.LoadBitmap("triangle.png", 1);
  g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf");
  g.EnableMouseOver(true);
  g.EnableMultiTouch(IGraphics::PlatformSupportsMultiTouch());
  g.AttachBackground("back.jpg");

  g.AttachControl(new ITWSizeContextControl(IRECT(0, 0, kEditorWidth, kEditorHeight)), kNoTag, "");
  g.SetScaleConstraints(kEditorMinScale, kEditorMaxScale);
  g.Resize(kEditorWidth, kEditorHeight, mPlugin.learn().preferredScale(), true);
  g.AttachControl(new ITWOnlineMenu(rectOf(layout::kLogo)), kNoTag, "");
  g.AttachCornerResizer(new ITWCornerResizer(IRECT(0, 0, static_cast<float>(g.Width()), static_cast<float>(g.Height())),
                                             kCornerResizerSize),
                        EUIResizerMode::kScale, false);
  // The version text lies in the logo area: it lets the mouse through to the online menu.
  IControl* version = g.AttachControl(
    new ITextControl(rectOf(layout::kVersionText), kVersionLabel, versionLabelText(), IColor(0, 0, 0, 0)), kNoTag, "");
  version->SetIgnoreMouse(true);
  g.AttachControl(new ITWPresetMenu(rectOf(layout::kPresetMark), triangle), kNoTag, "");

  // A new editor starts with learn disarmed.
  mPlugin.learn().doMidiLearn(false);

  EditorReferences refs;
  refs.graphics = &g;
  auto attach = [&g](auto* control) {
    g.AttachControl(control, kNoTag, "");
    return control;
  };
  auto attachHidden = [&g](auto* control) {
    g.AttachControl(control, kNoTag, "");
    control->Hide(true);
    return control;
  };
  const layout::Point grainSlider = layout::kGrainSlider.at;
  const layout::Point frameSlider = layout::kFrameSlider.at;
  refs.midiLearnSwitch = attach(new ITWSwitchMidiLearn(xOf(layout::kLearnSwitch), yOf(layout::kLearnSwitch), learn));
  attach(new ITWKnobControl(xOf(layout::knobAt(kVolume)), yOf(layout::knobAt(kVolume)), knob, kVolume));
  attach(new ITWKnobControl(xOf(layout::knobAt(kMix)), yOf(layout::knobAt(kMix)), knob, kMix));
  refs.grainLengthSlider = attachHidden(new ITWSliderControl(xOf(grainSlider), yOf(grainSlider), handle, kGrainLength));
  refs.grainSyncSlider = attachHidden(new ITWSliderControl(xOf(grainSlider), yOf(grainSlider), handle, kGrainSync));
  refs.grainFrequencySlider =
    attachHidden(new ITWSliderControl(xOf(grainSlider), yOf(grainSlider), handle, kGrainFrequency));
  attach(new ITWMenuControl(rectOf(layout::kGrainModeMenu.bounds), kGrainMode));
  attach(
    new ITWKnobControl(xOf(layout::knobAt(kGrainOverlap)), yOf(layout::knobAt(kGrainOverlap)), knob, kGrainOverlap));
  refs.grainEnvelope = attach(new ITWEnvelopeControl(rectOf(layout::kGrainEnvelope), kGrainEnvelopeId));
  attach(new ITWKnobControl(xOf(layout::knobAt(kGrainFadeIn)), yOf(layout::knobAt(kGrainFadeIn)), knob, kGrainFadeIn));
  attach(new ITWKnobControl(xOf(layout::knobAt(kGrainSkew)), yOf(layout::knobAt(kGrainSkew)), knob, kGrainSkew));
  attach(
    new ITWKnobControl(xOf(layout::knobAt(kGrainFadeOut)), yOf(layout::knobAt(kGrainFadeOut)), knob, kGrainFadeOut));
  refs.frameLengthSlider = attachHidden(new ITWSliderControl(xOf(frameSlider), yOf(frameSlider), handle, kFrameLength));
  refs.frameSyncSlider = attachHidden(new ITWSliderControl(xOf(frameSlider), yOf(frameSlider), handle, kFrameSync));
  attach(
    new ITWSwitchControl(xOf(layout::kFrameSyncSwitch), yOf(layout::kFrameSyncSwitch), switchBitmap, kFrameSyncToHost));
  attach(
    new ITWKnobControl(xOf(layout::knobAt(kFrameOverlap)), yOf(layout::knobAt(kFrameOverlap)), knob, kFrameOverlap));
  refs.frameEnvelope = attach(new ITWEnvelopeControl(rectOf(layout::kFrameEnvelope), kFrameEnvelopeId));
  attach(new ITWKnobControl(xOf(layout::knobAt(kFrameFadeIn)), yOf(layout::knobAt(kFrameFadeIn)), knob, kFrameFadeIn));
  attach(new ITWKnobControl(xOf(layout::knobAt(kFrameSkew)), yOf(layout::knobAt(kFrameSkew)), knob, kFrameSkew));
  attach(
    new ITWKnobControl(xOf(layout::knobAt(kFrameFadeOut)), yOf(layout::knobAt(kFrameFadeOut)), knob, kFrameFadeOut));
  refs.midiLed = attachHidden(new IBitmapControl(xOf(layout::kMidiLed), yOf(layout::kMidiLed), led, kMidiLedId));
  attach(new ITWMenuControl(rectOf(layout::kPolyphonyMenu.bounds), kMidiPolyphony));
  attach(new ITWKnobControl(xOf(layout::knobAt(kMidiAttack)), yOf(layout::knobAt(kMidiAttack)), knob, kMidiAttack));
  attach(new ITWKnobControl(xOf(layout::knobAt(kMidiDecay)), yOf(layout::knobAt(kMidiDecay)), knob, kMidiDecay));
  attach(new ITWKnobControl(xOf(layout::knobAt(kMidiSustain)), yOf(layout::knobAt(kMidiSustain)), knob, kMidiSustain));
  attach(new ITWKnobControl(xOf(layout::knobAt(kMidiRelease)), yOf(layout::knobAt(kMidiRelease)), knob, kMidiRelease));
  mEditor = refs;

  mPlugin.learn().setEditorScale(g.GetDrawScale());
  if (g.WindowIsOpen())
    applySliderRule();
}

void QuennetEditor::onEditorClose()
{
  // A second editor that a host opened meanwhile stays attached when an older one closes; the
  // references are that editor's then and stay.
  if (mPlugin.GetEditor() != nullptr && mPlugin.GetEditor() == mEditor.graphics)
    return;
  mEditor = EditorReferences{};
  mPlugin.learn().setEditorScale(0.0f);
  // The editor that asked for a version check has gone: its answer is not shown.
  mVersionAnswerWanted = false;
}

IGraphics* QuennetEditor::openEditor() const
{
  return mEditor.graphics && mPlugin.HasOpenEditor() && mPlugin.GetEditor() == mEditor.graphics ? mEditor.graphics
                                                                                                : nullptr;
}

// ---- Idle updates ----

namespace {
// The modes as the parameters hold them, the dispatch's rules applied: what the editor shows, also
// before the audio thread has taken a change over (or while no audio runs at all).
int grainModeOf(const Quennet& plugin)
{
  return static_cast<int>(plugin.GetParam(kGrainMode)->GetValue());
}

bool frameSyncToHostOf(const Quennet& plugin)
{
  return plugin.GetParam(kFrameSyncToHost)->GetValue() >= 0.5;
}
} // namespace

void QuennetEditor::applySliderRule()
{
  const int mode = grainModeOf(mPlugin);
  const bool sync = mode == kGrainModeSync;
  const bool freq = mode == kGrainModeFreq;
  const bool midi = mode == kGrainModeMidi;
  const bool frameSync = frameSyncToHostOf(mPlugin);
  mEditor.grainLengthSlider->Hide(sync || freq || midi);
  mEditor.grainSyncSlider->Hide(!sync);
  mEditor.grainFrequencySlider->Hide(!freq);
  mEditor.frameLengthSlider->Hide(frameSync);
  mEditor.frameSyncSlider->Hide(!frameSync);
}

void QuennetEditor::updateLED()
{
  if (!openEditor())
    return;
  if (grainModeOf(mPlugin) != kGrainModeMidi) {
    mEditor.midiLed->Hide(true);
    return;
  }
  mEditor.midiLed->Hide(false);
  mEditor.midiLed->SetValueFromDelegate(mPlugin.noteActive() ? 1.0 : 0.0, 0);
}

void QuennetEditor::onIdle()
{
  // Taken whether or not an editor is open: what was asked for while none was needs no applying.
  const unsigned refresh = mPlugin.takeEditorRefresh();
  const bool resetLearnSwitch = mPlugin.learn().takeSwitchResetRequest();
  showVersionAnswer();
  IGraphics* g = openEditor();
  if (!g)
    return;
  mPlugin.learn().setEditorScale(g->GetDrawScale());
  // A learn completed (on whichever thread): the switch shows off again, unless it was armed anew.
  if (resetLearnSwitch && !mPlugin.learn().learnActive()) {
    mEditor.midiLearnSwitch->SetValueFromDelegate(0.0, 0);
    mEditor.midiLearnSwitch->SetDirty(true, -1);
  }
  if (refresh & Quennet::kRefreshSliders)
    applySliderRule();
  if (refresh & Quennet::kRefreshGrainEnvelope)
    mEditor.grainEnvelope->SetDirty(true, -1);
  if (refresh & Quennet::kRefreshFrameEnvelope)
    mEditor.frameEnvelope->SetDirty(true, -1);
  updateLED();
}

// ---- Sizes ----

void QuennetEditor::resizeUI()
{
  IGraphics* g = openEditor();
  const float scale = mPlugin.learn().preferredScale();
  if (!g || !(scale > 0.0f))
    return;
  g->Resize(kEditorWidth, kEditorHeight, scale, true);
  mPlugin.learn().setEditorScale(g->GetDrawScale());
}

void QuennetEditor::resizeUI(GUI::GUISize size)
{
  if (!openEditor())
    return;
  const float scale = GUI::scaleOf(size);
  if (scale > 0.0f) {
    mPlugin.learn().setPreferredScale(scale);
    resizeUI();
  }
}

// ---- Version check ----

int QuennetEditor::checkVersionAgainstWeb()
{
  IGraphics* g = openEditor();
  if (!g)
    return VersionCheck::kEmptyAnswer;
  mVersionAnswerWanted = true;
  if (mVersionCheckThread)
    return VersionCheck::kRequested;
  try {
    std::shared_ptr<const VersionCheck> check = mVersionCheck ? mVersionCheck : std::make_shared<const VersionCheck>();
    mVersionCheckThread = std::make_unique<VersionCheckThread>(std::move(check));
  } catch (...) {
    // No thread to be had: the same box as no connection.
    mVersionAnswerWanted = false;
    const auto ui = std::make_shared<GraphicsVersionCheckUI>(*g);
    return VersionCheck::report(VersionAnswer{}, *ui);
  }
  return VersionCheck::kRequested;
}

void QuennetEditor::showVersionAnswer()
{
  if (!mVersionCheckThread || !mVersionCheckThread->finished())
    return;
  // Joins the request's thread, which has ended.
  const std::unique_ptr<const VersionCheckThread> done = std::move(mVersionCheckThread);
  IGraphics* g = openEditor();
  if (!std::exchange(mVersionAnswerWanted, false) || !g)
    return;
  const auto ui = std::make_shared<GraphicsVersionCheckUI>(*g);
  VersionCheck::report(done->answer(), *ui);
  g->SetAllControlsDirty();
}

} // namespace quennet
