// SPDX-License-Identifier: ISC
// The plug-in's editor as a whole: opening at the preferred scale, the layout and the references the
// plug-in keeps, the idle updates, the window sizes, and what happens once the editor has closed.

#include "editor/quennet.editor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "EditorSupport.h"
#include "editor/asset_folder.h"
#include "graphics/ITextControl.h"
#include "services/version_check.h"
#include "tools/editor-art/ArtLayout.h"

using namespace quennet;

using namespace editor_test;

namespace {

// Which of the five length sliders a state shows, by parameter.
std::set<int> visibleSliders(const EditorScreen& s)
{
  std::set<int> visible;
  for (ITWSliderControl* slider : {s.refs().grainLengthSlider, s.refs().grainSyncSlider, s.refs().grainFrequencySlider,
                                   s.refs().frameLengthSlider, s.refs().frameSyncSlider})
    if (!slider->IsHidden())
      visible.insert(slider->GetParamIdx());
  return visible;
}

// Every control bound to a parameter shows that parameter's value, the menus their entries, and the
// sliders and the LED follow the modes the parameters hold (the LED from the first tick on: a new
// editor starts with it hidden). Empty when all agree; else what differs.
std::string disagreements(const EditorScreen& s, bool ledShown = true)
{
  std::string found;
  for (int i = 0; i < s.g().NControls(); ++i) {
    const IControl* control = s.g().GetControl(i);
    const int paramIdx = control->GetParamIdx();
    if (paramIdx < 0)
      continue;
    const double shown = control->GetValue();
    const double value = std::clamp(s.plugin->GetParam(paramIdx)->GetNormalized(), 0.0, 1.0);
    if (std::fabs(shown - value) > 1e-9)
      found += "control of parameter " + std::to_string(paramIdx) + " shows " + std::to_string(shown) + ", not " +
        std::to_string(value) + "\n";
  }
  const int mode = static_cast<int>(s.value(kGrainMode));
  const bool frameSync = s.value(kFrameSyncToHost) >= 0.5;
  std::set<int> expected = {frameSync ? kFrameSync : kFrameLength};
  if (mode == kGrainModeMsec)
    expected.insert(kGrainLength);
  if (mode == kGrainModeSync)
    expected.insert(kGrainSync);
  if (mode == kGrainModeFreq)
    expected.insert(kGrainFrequency);
  if (visibleSliders(s) != expected)
    found += "the sliders shown do not follow mode " + std::to_string(mode) + "\n";
  if (ledShown && s.refs().midiLed->IsHidden() != (mode != kGrainModeMidi))
    found += "the LED does not follow mode " + std::to_string(mode) + "\n";
  if (const ITWMenuControl* menu = s.find<ITWMenuControl>(kGrainMode); menu->CurrentEntry() != mode)
    found += "the Grain Mode menu shows entry " + std::to_string(menu->CurrentEntry()) + "\n";
  return found;
}

} // namespace

// ---- Opening and the layout ----

TEST(Editor, OpensAtThePreferredScale)
{
  struct Case {
    const char* ini;
    float scale;
    int width, height;
  };
  const Case cases[] = {
    {"", 0.5f, 984, 432}, // no "Editor"/"Scale": the default
    {"[Editor]\nScale=0.750000\n", 0.75f, 1476, 648},
    {"[Editor]\nScale=0\n", 0.25f, 492, 216}, // the layout's resize is clamped
    {"[Editor]\nScale=abc\n", 0.25f, 492, 216},
    {"[Editor]\nScale=0.1\n", 0.25f, 492, 216},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    EditorScreen s({c.ini});
    EXPECT_EQ(s.g().Width(), kEditorWidth);
    EXPECT_EQ(s.g().Height(), kEditorHeight);
    EXPECT_FLOAT_EQ(s.g().GetDrawScale(), c.scale);
    EXPECT_EQ(s.view.Width(), c.width);
    EXPECT_EQ(s.view.Height(), c.height);
  }
}

TEST(Editor, OpeningDisarmsLearnAndShowsTheSwitchOffInLearnMode)
{
  PluginInHome p;
  p.plugin->doMidiUnlearn(true);
  plug::OffscreenView view;
  auto window = EditorWindow::Open(*p.plugin, view);
  EXPECT_FALSE(p.plugin->learn().learnActive());
  EXPECT_FALSE(p.plugin->learn().unlearnMode());
  ITWSwitchMidiLearn* learnSwitch = editorOf(*p.plugin).editorReferences().midiLearnSwitch;
  ASSERT_NE(learnSwitch, nullptr);
  EXPECT_EQ(learnSwitch->GetValue(), 0.0);
  EXPECT_TRUE(learnSwitch->IsLearnMode());
}

TEST(Editor, ShowsTheSliderOfTheModeRightAfterTheLayout)
{
  struct Case {
    int grainMode;
    bool frameSync;
    std::set<int> visible;
  };
  const Case cases[] = {
    {kGrainModeMsec, false, {kGrainLength, kFrameLength}},
    {kGrainModeSync, false, {kGrainSync, kFrameLength}},
    {kGrainModeFreq, true, {kGrainFrequency, kFrameSync}},
    {kGrainModeMidi, false, {kFrameLength}},
    {kGrainModeMidi, true, {kFrameSync}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.grainMode << ", frame sync " << c.frameSync);
    PluginInHome p;
    p.set(kGrainMode, c.grainMode);
    p.set(kFrameSyncToHost, c.frameSync ? 1.0 : 0.0);
    plug::OffscreenView view;
    auto window = EditorWindow::Open(*p.plugin, view); // no tick: the layout itself applied the rule
    std::set<int> visible;
    const auto& r = editorOf(*p.plugin).editorReferences();
    for (ITWSliderControl* slider :
         {r.grainLengthSlider, r.grainSyncSlider, r.grainFrequencySlider, r.frameLengthSlider, r.frameSyncSlider})
      if (!slider->IsHidden())
        visible.insert(slider->GetParamIdx());
    EXPECT_EQ(visible, c.visible);
    EXPECT_TRUE(r.midiLed->IsHidden()) << "the LED waits for the first idle tick";
  }
}

TEST(Editor, KeepsReferencesToItsNineControlsWhileOpen)
{
  EditorScreen s;
  const auto& r = s.refs();
  EXPECT_EQ(r.graphics, &s.g());
  struct Ref {
    const IControl* control;
    int param;
    IRECT bounds;
  };
  // Sliders reach from their readout band (62 units above) to the end of their 372-unit track.
  const Ref refs[] = {
    {r.midiLearnSwitch, kMidiLearnId, IRECT(58, 774, 186, 822)},
    {r.grainLengthSlider, kGrainLength, IRECT(280, 210, 392, 644)},
    {r.grainSyncSlider, kGrainSync, IRECT(280, 210, 392, 644)},
    {r.grainFrequencySlider, kGrainFrequency, IRECT(280, 210, 392, 644)},
    {r.frameLengthSlider, kFrameLength, IRECT(952, 210, 1064, 644)},
    {r.frameSyncSlider, kFrameSync, IRECT(952, 210, 1064, 644)},
    {r.grainEnvelope, kGrainEnvelopeId, IRECT(500, 378, 784, 542)},
    {r.frameEnvelope, kFrameEnvelopeId, IRECT(1172, 378, 1456, 542)},
    {r.midiLed, kMidiLedId, IRECT(1632, 56, 1672, 96)},
  };
  for (const Ref& ref : refs) {
    SCOPED_TRACE(ref.param);
    ASSERT_NE(ref.control, nullptr);
    EXPECT_EQ(ref.control->GetParamIdx(), ref.param);
    EXPECT_EQ(ref.control->GetRECT(), ref.bounds);
    EXPECT_EQ(ref.control->GetUI(), &s.g());
  }
  EXPECT_EQ(r.grainLengthSlider->GetOriginalBounds(), IRECT(304, 272, 368, 644));
  EXPECT_EQ(r.grainLengthSlider->GetValueTextBounds(), IRECT(280, 210, 392, 238));
  EXPECT_EQ(r.grainLengthSlider->GetTrackLength(), 372);

  // The control table: 30 controls besides the corner resizer, in table order.
  EXPECT_EQ(s.g().NControls(), 30);
  EXPECT_NE(dynamic_cast<ITWSizeContextControl*>(s.g().GetControl(0)), nullptr);
  EXPECT_NE(dynamic_cast<ITWOnlineMenu*>(s.g().GetControl(1)), nullptr);
  auto* version = dynamic_cast<ITextControl*>(s.g().GetControl(2));
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version->GetStr(), "v.1.1.2");
  EXPECT_NE(dynamic_cast<ITWPresetMenu*>(s.g().GetControl(3)), nullptr);
  EXPECT_EQ(s.g().GetControl(4), r.midiLearnSwitch);
  EXPECT_EQ(dynamic_cast<ITWKnobControl*>(s.g().GetControl(29))->GetParamIdx(), kMidiRelease);
  EXPECT_NE(dynamic_cast<ITWCornerResizer*>(s.g().GetCornerResizer()), nullptr);
  EXPECT_EQ(s.g().GetCornerResizer()->GetRECT(), IRECT(1943, 839, 1967, 863));
}

// The artwork program draws labels, tracks, boxes and frames around the places of the layout table
// with frame sizes of its own: every control the editor makes from the artwork's bitmaps must cover
// exactly what the artwork drew for it.
TEST(Editor, TheArtworkFramesEachControlWhereTheEditorPlacesIt)
{
  EditorScreen s;
  const auto& r = s.refs();
  auto rect = [](const art::Rect& a) {
    return IRECT(static_cast<float>(a.l), static_cast<float>(a.t), static_cast<float>(a.r), static_cast<float>(a.b));
  };
  std::map<int, IRECT> byParam; // knobs, menus and the switch
  for (int i = 0; i < s.g().NControls(); ++i)
    if (IControl* c = s.g().GetControl(i); c->GetParamIdx() >= 0 && !dynamic_cast<ITWSliderControl*>(c))
      byParam[c->GetParamIdx()] = c->GetRECT();

  for (const art::KnobPlace& knob : art::kKnobs)
    EXPECT_EQ(byParam.at(knob.param), rect(knob.bounds())) << knob.param;
  for (const art::MenuPlace& menu : {art::kGrainModeMenu, art::kPolyphonyMenu})
    EXPECT_EQ(byParam.at(menu.param), rect(menu.bounds)) << menu.param;
  EXPECT_EQ(byParam.at(kFrameSyncToHost), rect(art::kSwitchBounds));

  const std::pair<const ITWSliderControl*, art::SliderPlace> sliders[] = {{r.grainLengthSlider, art::kGrainSlider},
                                                                          {r.grainSyncSlider, art::kGrainSlider},
                                                                          {r.grainFrequencySlider, art::kGrainSlider},
                                                                          {r.frameLengthSlider, art::kFrameSlider},
                                                                          {r.frameSyncSlider, art::kFrameSlider}};
  for (const auto& [slider, place] : sliders) {
    SCOPED_TRACE(slider->GetParamIdx());
    EXPECT_NE(std::find(place.params.begin(), place.params.end(), slider->GetParamIdx()), place.params.end());
    EXPECT_EQ(slider->GetOriginalBounds(), rect(place.slider.bounds()));
    EXPECT_EQ(slider->GetValueTextBounds(), rect(place.slider.readoutBand()));
    EXPECT_EQ(slider->GetTrackLength(), art::kTrackLength);
  }

  EXPECT_EQ(r.grainEnvelope->GetRECT(), rect(art::kGrainEnvelope));
  EXPECT_EQ(r.frameEnvelope->GetRECT(), rect(art::kFrameEnvelope));
  EXPECT_EQ(r.midiLed->GetRECT(), rect(art::kLed));
  EXPECT_EQ(r.midiLearnSwitch->GetRECT(), rect(art::kLearn));
  EXPECT_EQ(s.g().GetControl(1)->GetRECT(), rect(art::kLogo)) << "the online menu";
  EXPECT_EQ(s.g().GetControl(2)->GetRECT(), rect(art::kVersionText));
  EXPECT_EQ(s.g().GetControl(3)->GetRECT(), rect(art::kPresetMark));
}

// A host that is not processing (its transport stopped, a session just opened): it sets the
// parameters, as automation or a restored state does, and no audio runs to hand them to the engine.
// What the editor shows follows the parameters all the same: opened afterwards, and while open.
TEST(Editor, WithNoAudioRunningTheEditorShowsTheParametersThemselves)
{
  struct Case {
    double grainMode;
    double frameSync;
  };
  const Case cases[] = {{kGrainModeSync, 0.0}, {kGrainModeMidi, 1.0}, {kGrainModeFreq, 1.0}, {kGrainModeMsec, 0.0}};
  EditorScreen s;
  s.close();
  // Every other parameter too: a value of its own, from its range.
  auto setAll = [&](const Case& c, double share) {
    for (int i = 0; i < kNumParams; ++i) {
      const plug::IParam& param = *s.plugin->GetParam(i);
      if (param.Type() == plug::IParam::kTypeNone)
        continue;
      s.plugin->SetParameterFromHost(i, share);
    }
    s.plugin->SetParameterFromHostPlain(kGrainMode, c.grainMode);
    s.plugin->SetParameterFromHostPlain(kFrameSyncToHost, c.frameSync);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.grainMode << ", frame sync " << c.frameSync);
    setAll(c, 0.3);
    s.open();
    EXPECT_EQ(disagreements(s, false), "") << "as it opens";
    s.tick();
    EXPECT_EQ(disagreements(s), "") << "after its first tick";
    s.close();
  }
  s.open();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "open: mode " << c.grainMode << ", frame sync " << c.frameSync);
    setAll(c, 0.7);
    s.tick();
    EXPECT_EQ(disagreements(s), "");
  }
  EXPECT_EQ(s.plugin->midiMode(), false) << "no audio ran: the engine still has the first values";
}

// 600 host changes while no editor is open (no timer ticks then, as in a host that pumps the timer
// only for an open editor): the next editor shows the current values, never older ones, and a drag
// continues from them.
TEST(Editor, HostChangesWithNoEditorOpenNeverComeBackAsStaleValues)
{
  EditorScreen s;
  s.close();
  for (int i = 0; i < 600; ++i)
    s.plugin->SetParameterFromHost(i % (kMidiRelease + 1), static_cast<double>(i % 97) / 96.0);
  s.plugin->SetParameterFromHost(kVolume, 0.25);
  s.open();
  EXPECT_EQ(disagreements(s, false), "") << "as it opens";
  for (int tick = 0; tick < 3; ++tick) {
    s.tick();
    EXPECT_EQ(disagreements(s), "") << "after tick " << tick;
  }
  ITWKnobControl* volume = s.find<ITWKnobControl>(kVolume);
  ASSERT_DOUBLE_EQ(volume->GetValue(), 0.25);
  // Up by 40 design units: four knob heights sweep the whole range.
  const double knobHeight = volume->GetTargetRECT().H();
  s.ui->drag(120, 392, 120, 352, 4);
  EXPECT_NEAR(s.normalized(kVolume), 0.25 + 40.0 / (4.0 * knobHeight), 1e-9) << "from the value shown";
  s.tick();
  EXPECT_EQ(disagreements(s), "");
}

TEST(Editor, ClosingClearsTheReferencesAndNothingTouchesTheClosedEditor)
{
  EditorScreen s;
  s.close();
  const auto& r = s.refs();
  for (const void* ref :
       {static_cast<const void*>(r.graphics), static_cast<const void*>(r.midiLearnSwitch),
        static_cast<const void*>(r.grainLengthSlider), static_cast<const void*>(r.grainSyncSlider),
        static_cast<const void*>(r.grainFrequencySlider), static_cast<const void*>(r.frameLengthSlider),
        static_cast<const void*>(r.frameSyncSlider), static_cast<const void*>(r.grainEnvelope),
        static_cast<const void*>(r.frameEnvelope), static_cast<const void*>(r.midiLed)})
    EXPECT_EQ(ref, nullptr);

  // Every path that updates the editor, with none open (the sanitizers see any use of a control).
  s.set(kGrainMode, kGrainModeMidi);
  s.set(kGrainFadeIn, 0.5);
  s.set(kFrameSkew, 0.5);
  s.plugin->doMidiLearn(true);
  s.plugin->SendParameterValueFromUI(kMix, 0.5);
  s.renderAndTick({cc(20, 64), noteOn(60)});
  EXPECT_EQ(s.plugin->learn().controllerParam(20), kMix) << "the learn completed without an editor";
  editorOf(*s.plugin).updateLED();
  editorOf(*s.plugin).resizeUI();
  editorOf(*s.plugin).resizeUI(GUI::kSize800);
  EXPECT_FLOAT_EQ(s.plugin->learn().preferredScale(), 0.5f) << "sizes need an open editor";
  EXPECT_EQ(editorOf(*s.plugin).checkVersionAgainstWeb(), VersionCheck::kEmptyAnswer);
  s.tick();

  // The next editor shows the state it finds.
  s.open();
  EXPECT_EQ(visibleSliders(s), std::set<int>{kFrameLength});
  s.tick();
  EXPECT_FALSE(s.refs().midiLed->IsHidden());
}

TEST(Editor, ThePlugInAsHostsMakeItHasItsEditorAndThePlugInAloneHasNone)
{
  TempHome home;
  plug::RunLoop::Main().SetClock(testClock());
  std::unique_ptr<Quennet> made(static_cast<Quennet*>(plug::MakePlug({})));
  ASSERT_NE(made, nullptr);
  ASSERT_NE(dynamic_cast<QuennetEditor*>(made->editorSide()), nullptr);
  plug::OffscreenView view;
  EXPECT_NE(EditorWindow::Open(*made, view), nullptr);

  // Without an editor side no editor opens, and the editor's requests go nowhere.
  Quennet alone{plug::InstanceInfo{}};
  EXPECT_EQ(alone.editorSide(), nullptr);
  EXPECT_EQ(EditorWindow::Open(alone, view), nullptr);
  alone.SetParameterFromHostPlain(kGrainMode, kGrainModeMidi);
  alone.OnIdle();
  EXPECT_EQ(alone.takeEditorRefresh(), 0u) << "the idle tick took the refresh that nothing shows";
  EXPECT_TRUE(alone.loadConfig());
}

TEST(Editor, AnOlderEditorClosingLeavesTheNewerOnesReferences)
{
  EditorScreen s;
  plug::OffscreenView otherView;
  auto newer = EditorWindow::Open(*s.plugin, otherView);
  EXPECT_EQ(s.refs().graphics, &newer->Graphics());
  s.close();
  EXPECT_EQ(s.refs().graphics, &newer->Graphics());
  s.set(kGrainMode, kGrainModeSync);
  s.tick();
  EXPECT_FALSE(s.refs().grainSyncSlider->IsHidden());
  newer.reset();
  EXPECT_EQ(s.refs().graphics, nullptr);
}

TEST(Editor, LoadsItsArtworkWithTheFramesTheLayoutAssumes)
{
  EditorScreen s;
  struct Asset {
    const char* file;
    int frames, width, height;
  };
  const Asset assets[] = {
    {"back.jpg", 1, 1968, 864}, {"knob.png", 65, 120, 120},  {"switch.png", 2, 120, 40}, {"handle.png", 1, 64, 40},
    {"learn.png", 2, 128, 48},  {"unlearn.png", 2, 128, 48}, {"led.png", 2, 40, 40},     {"triangle.png", 1, 52, 44},
  };
  for (const Asset& a : assets) {
    SCOPED_TRACE(a.file);
    const IBitmap bitmap = s.g().LoadBitmap(a.file, a.frames);
    EXPECT_TRUE(bitmap.IsValid());
    EXPECT_EQ(bitmap.N(), a.frames);
    EXPECT_EQ(bitmap.FW(), a.width);
    EXPECT_EQ(bitmap.FH(), a.height);
  }
}

TEST(Editor, AssetsComeFromTheModulesFolderOrTheBuildsResources)
{
  TempDir bundle("quennet-bundle");
  writeFile(bundle.file("back.jpg"), "x");
  TempDir empty("quennet-empty");
  const std::string resources = QUENNET_TEST_RESOURCES;
  EXPECT_EQ(chooseAssetFolder(bundle.file("quennet.so"), resources), bundle.path().string());
  EXPECT_EQ(chooseAssetFolder(empty.file("quennet.so"), resources), resources);
  EXPECT_EQ(chooseAssetFolder("quennet.so", resources), resources) << "never the current directory";
  EXPECT_EQ(chooseAssetFolder(empty.file("quennet.so"), empty.file("none")), empty.path().string());
  // This test program lives outside the resources: it finds the build's.
  EXPECT_EQ(editorAssetFolder(), resources);
}

TEST(Editor, MissingAssetsShowPlaceholdersNotACrash)
{
  PluginInHome p;
  TempDir empty("quennet-no-assets");
  SetMakeGraphicsFunc(*p.plugin, [&] {
    auto g = MakeGraphics(*p.plugin, kEditorFactoryWidth, kEditorFactoryHeight, kEditorFps, 1.0f);
    g->SetAssetFolder(empty.path().string());
    editorOf(*p.plugin).createGraphics();
    return g;
  });
  plug::OffscreenView view;
  testing::internal::CaptureStderr();
  auto window = EditorWindow::Open(*p.plugin, view);
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(window, nullptr);
  EXPECT_NE(err.find("knob.png"), std::string::npos) << err;
  EXPECT_NE(err.find("back.jpg"), std::string::npos) << err;
  // The Volume knob is a magenta crossed box.
  const IColor edge = view.Color(static_cast<int>(61 * 0.5f), static_cast<int>(356 * 0.5f));
  EXPECT_GT(edge.R, 200);
  EXPECT_LT(edge.G, 60);
  EXPECT_GT(edge.B, 200);
}

// ---- Idle updates ----

TEST(Editor, ModeMidiHidesTheGrainSlidersAtOnceAndLightsTheLedWithinOneTick)
{
  EditorScreen s;
  EXPECT_EQ(visibleSliders(s), (std::set<int>{kGrainLength, kFrameLength}));
  s.set(kGrainMode, kGrainModeMidi);
  s.tick();
  EXPECT_EQ(visibleSliders(s), std::set<int>{kFrameLength}) << "all three at the same tick";
  EXPECT_FALSE(s.refs().midiLed->IsHidden());
  EXPECT_EQ(s.refs().midiLed->GetValue(), 0.0);
  const IColor dark = s.at(1652, 76);

  s.renderAndTick({noteOn(60)});
  EXPECT_EQ(s.refs().midiLed->GetValue(), 1.0) << "lit at the next tick";
  const IColor lit = s.at(1652, 76);
  EXPECT_GT(lit.R + lit.G + lit.B, dark.R + dark.G + dark.B + 60) << "the picture shows it";

  s.renderAndTick({noteOff(60)});
  EXPECT_EQ(s.refs().midiLed->GetValue(), 0.0);

  s.set(kGrainMode, kGrainModeFreq);
  s.tick();
  EXPECT_TRUE(s.refs().midiLed->IsHidden());
  EXPECT_EQ(visibleSliders(s), (std::set<int>{kGrainFrequency, kFrameLength}));
}

TEST(Editor, EachEnvelopeDisplayFollowsOnlyItsOwnParameters)
{
  struct Case {
    int param;
    double value;
    bool grain, frame;
  };
  const Case cases[] = {
    {kGrainFadeIn, 0.3, true, false},  {kGrainSkew, 0.4, true, false},    {kGrainFadeOut, 0.6, true, false},
    {kFrameFadeIn, 0.3, false, true},  {kFrameSkew, -0.4, false, true},   {kFrameFadeOut, 0.6, false, true},
    {kGrainOverlap, 20, false, false}, {kFrameOverlap, 20, false, false}, {kVolume, 0.5, false, false},
  };
  EditorScreen s;
  s.tick(); // what the construction asked for
  for (const Case& c : cases) {
    SCOPED_TRACE(c.param);
    s.g().UpdateFrame(); // nothing left to draw
    s.set(c.param, c.value);
    s.plugin->OnIdle();
    EXPECT_EQ(s.refs().grainEnvelope->IsDirty(), c.grain);
    EXPECT_EQ(s.refs().frameEnvelope->IsDirty(), c.frame);
  }
}

TEST(Editor, ACompletedLearnTurnsTheSwitchOffAtTheNextTick)
{
  EditorScreen s;
  ITWSwitchMidiLearn* learnSwitch = s.refs().midiLearnSwitch;
  s.ui->click(100, 798);
  EXPECT_TRUE(s.plugin->learn().learnActive());
  EXPECT_EQ(learnSwitch->GetValue(), 1.0);
  s.plugin->SendParameterValueFromUI(kGrainOverlap, 0.5); // as a knob turned while armed does

  renderEmptyBlock(*s.plugin, {cc(21, 100)}); // the controller completes the learn on the audio thread
  EXPECT_FALSE(s.plugin->learn().learnActive());
  EXPECT_EQ(learnSwitch->GetValue(), 1.0) << "the audio thread touches no control";
  s.tick();
  EXPECT_EQ(learnSwitch->GetValue(), 0.0);
  EXPECT_TRUE(learnSwitch->IsLearnMode());
  EXPECT_NE(readFile(s.home.configFile()).find("CC21=6"), std::string::npos);
}

// ---- Sizes ----

TEST(Editor, SizeMenuOffersSixSizesAndSavesThePreferredScale)
{
  struct Case {
    int item;
    float scale;
    int width, height;
  };
  const Case cases[] = {
    {0, 0.25f, 492, 216},        {1, 0.375f, 738, 324}, {2, 0.5f, 984, 432},
    {3, 0.70710677f, 1392, 611}, {4, 1.0f, 1968, 864},  {5, 2.0f, 3936, 1728},
  };
  EditorScreen s;
  s.ui->click(1000, 800, UiDriver::right());
  EXPECT_EQ(s.menuItems(),
            (std::vector<std::string>{"Set Windows Size to 50%", "Set Windows Size to 75%", "Set Windows Size to 100%",
                                      "Set Windows Size to 200%", "Set Windows Size to 400%",
                                      "Set Windows Size to 800%", "-", "Save Window Size"}));
  s.ui->key(EKey::kEscape);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    s.ui->click(1000, 800, UiDriver::right());
    ASSERT_TRUE(s.choose(c.item));
    EXPECT_EQ(s.g().GetDrawScale(), c.scale);
    EXPECT_EQ(s.plugin->learn().preferredScale(), c.scale);
    EXPECT_EQ(s.view.Width(), c.width);
    EXPECT_EQ(s.view.Height(), c.height);
    EXPECT_EQ(s.g().Width(), kEditorWidth);
  }
  // The next editor of this instance opens at the preferred scale.
  s.close();
  s.open();
  EXPECT_EQ(s.g().GetDrawScale(), 2.0f);
}

TEST(Editor, OnlyARightClickOnTheBareBackgroundOpensTheSizeMenu)
{
  struct Case {
    const char* where;
    float x, y;
    bool right;
    bool opens;
  };
  const Case cases[] = {
    {"background, right", 1000, 800, true, true},
    {"background, left", 1000, 800, false, false},
    {"Volume knob, right", 120, 392, true, false},
    {"Grain Length slider, right", 336, 600, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where);
    EditorScreen s;
    const double volume = s.value(kVolume);
    s.ui->click(c.x, c.y, c.right ? UiDriver::right() : UiDriver::left());
    const bool open =
      s.g().GetPopupMenuPanel() != nullptr && &s.g().GetPopupMenuPanel()->Control() == s.g().GetControl(0);
    EXPECT_EQ(open, c.opens);
    EXPECT_EQ(s.value(kVolume), volume);
  }
}

TEST(Editor, SaveWindowSizeWritesTheScaleAndNamesTheFile)
{
  struct Case {
    int sizeItem; // chosen first; -1: none
    const char* stored;
  };
  const Case cases[] = {{-1, "Scale=0.500000"}, {3, "Scale=0.707107"}, {0, "Scale=0.250000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EditorScreen s;
    if (c.sizeItem >= 0) {
      s.ui->click(1000, 800, UiDriver::right());
      s.choose(c.sizeItem);
    }
    s.ui->click(1000, 800, UiDriver::right());
    s.choose(ITWSizeContextControl::kSaveItem);
    EXPECT_NE(readFile(s.home.configFile()).find(std::string("[Editor]\n") + c.stored), std::string::npos)
      << readFile(s.home.configFile());
    const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->GetCaption(), "Save Window Size");
    EXPECT_EQ(box->GetText(),
              "The current window size was saved to the INI configuration file:\n" + s.home.configFile());
    EXPECT_EQ(box->GetType(), EMsgBoxType::kOK);
    s.ui->key(EKey::kReturn);
    EXPECT_EQ(s.g().NMessageBoxes(), 0);
  }
}

// The settings file cannot be written (a folder stands where it was): the box says so instead of
// naming the file as saved.
TEST(Editor, SaveWindowSizeReportsAFileThatCouldNotBeWritten)
{
  EditorScreen s;
  s.ui->click(1000, 800, UiDriver::right());
  s.choose(GUI::kSize75);
  std::filesystem::remove(s.home.configFile());
  std::filesystem::create_directory(s.home.configFile());
  s.ui->click(1000, 800, UiDriver::right());
  s.choose(ITWSizeContextControl::kSaveItem);
  const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->GetCaption(), "Save Window Size");
  EXPECT_EQ(box->GetText(),
            "The current window size could not be saved to the INI configuration file:\n" + s.home.configFile());
}

TEST(Editor, SaveWindowSizeWithoutASettingsFileSaysSo)
{
  EditorScreen s({.ini = "", .inMemory = true});
  ASSERT_TRUE(s.plugin->learn().configPath().empty());
  s.ui->click(1000, 800, UiDriver::right());
  s.choose(ITWSizeContextControl::kSaveItem);
  const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->GetCaption(), "Save Window Size");
  EXPECT_EQ(box->GetText().rfind("The current window size could not be saved", 0), 0u) << box->GetText();
}

TEST(Editor, CornerDragScalesByTheSmallerRatioAndDoubleClickGoesBackToFull)
{
  EditorScreen s({"[Editor]\nScale=1.0\n"});
  ASSERT_EQ(s.g().GetDrawScale(), 1.0f);
  // Dragging until the mouse is twice as far from the top-left corner doubles the scale, up to 4.
  struct Step {
    float toX, toY; // the pointer's end, as multiples of the press point on screen
    float scale;
  };
  const Step steps[] = {
    {2.0f, 2.0f, 2.0f}, {3.0f, 2.0f, 4.0f}, {1.5f, 1.5f, 4.0f}, {0.2f, 0.5f, 0.8f}, {0.1f, 0.1f, 0.25f}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.scale);
    const IRECT handle = s.g().GetCornerResizer()->GetRECT();
    const float s0 = s.g().GetDrawScale();
    const float x0 = handle.MW() * s0;
    const float y0 = handle.MH() * s0;
    s.ui->dragPx(x0, y0, x0 * step.toX, y0 * step.toY, 1);
    EXPECT_NEAR(s.g().GetDrawScale(), step.scale, 1e-4);
    EXPECT_EQ(s.g().Width(), kEditorWidth);
    // The handle keeps 26 screen pixels.
    EXPECT_NEAR(s.g().GetCornerResizer()->GetRECT().W() * s.g().GetDrawScale(), 26.0f, 1e-3);
  }
  EXPECT_EQ(s.plugin->learn().preferredScale(), 1.0f) << "a drag is not a preference";

  const IRECT handle = s.g().GetCornerResizer()->GetRECT();
  s.ui->doubleClick(handle.MW(), handle.MH());
  EXPECT_EQ(s.g().GetDrawScale(), 1.0f);
  EXPECT_EQ(s.view.Width(), 1968);
  EXPECT_EQ(s.view.Height(), 864);
}

// ---- Menus and boxes on screen ----

// Every menu and a message box, at the smallest, the default and the full size: each lies inside
// the window. The pictures go to the build's pictures/editor folder for a look.
TEST(Editor, MenusAndBoxesStayInsideTheWindowAtEverySize)
{
  struct Opener {
    const char* name;
    float x, y;
    bool right;
  };
  const Opener openers[] = {
    {"note-values", 336, 224, false}, {"presets", 300, 74, false},     {"sizes", 1900, 840, true},
    {"grain-mode", 552, 224, false},  {"polyphony", 1764, 224, false}, {"online", 120, 150, false},
  };
  std::filesystem::create_directories(QUENNET_TEST_PICTURES);
  for (const char* scale : {"0.25", "0.5", "1"}) {
    EditorScreen s({std::string("[Editor]\nScale=") + scale + "\n"});
    s.set(kGrainMode, kGrainModeSync);
    s.tick();
    const IRECT window(0, 0, static_cast<float>(s.view.Width()), static_cast<float>(s.view.Height()));
    auto inside = [&](const IRECT& r) {
      return r.L >= window.L && r.T >= window.T && r.R <= window.R && r.B <= window.B;
    };
    for (const Opener& o : openers) {
      SCOPED_TRACE(std::string(o.name) + " at " + scale);
      s.ui->click(o.x, o.y, o.right ? UiDriver::right() : UiDriver::left());
      const PopupMenuPanel* menu = s.g().GetPopupMenuPanel();
      ASSERT_NE(menu, nullptr);
      EXPECT_TRUE(inside(menu->Bounds()));
      s.tick();
      s.view.WritePng(std::string(QUENNET_TEST_PICTURES) + "/menu-" + o.name + "-" + scale + ".png");
      s.ui->key(EKey::kEscape);
    }
    s.ui->click(1000, 800, UiDriver::right());
    s.choose(ITWSizeContextControl::kSaveItem);
    const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(inside(box->Bounds()));
    EXPECT_TRUE(box->AllLinesShown());
    s.tick();
    s.view.WritePng(std::string(QUENNET_TEST_PICTURES) + "/box-save-" + scale + ".png");
  }
}
