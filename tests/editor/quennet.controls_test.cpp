// SPDX-License-Identifier: ISC
// The editor's controls on an open editor, driven by mouse gestures: each gesture's value goes
// through the editor change path to the plug-in's parameter and to the host.

#include "editor/quennet.controls.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "EditorSupport.h"

using namespace quennet;

using namespace editor_test;

namespace {

// The last value the host was told for a parameter, or -1.
double lastHostValue(const HostRecorder& host, int paramIdx)
{
  for (auto it = host.changes.rbegin(); it != host.changes.rend(); ++it)
    if (it->paramIdx == paramIdx)
      return it->normalizedValue;
  return -1.0;
}

// Sets a parameter from its normalised value as the host does, and lets the editor show it.
void setNormalized(EditorScreen& s, int paramIdx, double normalized)
{
  s.plugin->SetParameterFromHost(paramIdx, normalized);
  s.renderAndTick();
}

constexpr float kGrainSliderX = 336; // the handle's centre line
constexpr float kFrameSliderX = 1008;
constexpr float kSliderTop = 272; // T0
constexpr float kHandleHalf = 20;
constexpr float kReadoutY = 224; // inside the readout band 210 … 238

} // namespace

// ---- Sliders ----

TEST(Controls, SliderGestures)
{
  struct Case {
    const char* name;
    int grainMode;
    int param;
    float x;
    double start; // normalised
    IMouseMod mod;
    float pressY;
    float releaseY; // == pressY: a click
    double expected;
  };
  const IMouseMod left = UiDriver::left(), shift = UiDriver::leftShift(), control = UiDriver::leftControl();
  const float top = kSliderTop + kHandleHalf; // the handle's centre at value 1
  const Case cases[] = {
    {"click at the top centre", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, left, top, top, 1.0},
    {"click 176 below: half", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, left, top + 176, top + 176, 0.5},
    {"click quantised to 0.01", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, left, top + 8, top + 8, 0.98},
    {"click at the track's end", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, left, 643, 643, 0.0},
    {"shift-click does not jump", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, shift, top + 176, top + 176, 0.3},
    {"drag by a quarter of the slider", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, left, top, top + 93, 0.75},
    {"shift drag is 100 times finer", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.5, shift, top + 176, top - 10,
     0.505},
    {"control drag is 100 times finer", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.5, control, top + 176, top + 362,
     0.495},
    {"readout of a continuous slider: a drag, no jump", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, left,
     kReadoutY, kReadoutY + 37.2f, 0.2},
    {"frequency slider: click", kGrainModeFreq, kGrainFrequency, kGrainSliderX, 0.3, left, top + 176, top + 176, 0.5},
    {"frame length slider: click", kGrainModeMsec, kFrameLength, kFrameSliderX, 0.3, left, top, top, 1.0},
    {"right click does nothing", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, UiDriver::right(), top, top, 0.3},
    {"right drag does nothing", kGrainModeMsec, kGrainLength, kGrainSliderX, 0.3, UiDriver::right(), top, top + 93,
     0.3},
    {"right click on a note-value readout opens nothing", kGrainModeSync, kGrainSync, kGrainSliderX, 10.0 / 19.0,
     UiDriver::right(), kReadoutY, kReadoutY, 10.0 / 19.0},
    {"stepped track never snaps", kGrainModeSync, kGrainSync, kGrainSliderX, 10.0 / 19.0, left, top, top, 10.0 / 19.0},
    {"stepped drag in whole steps", kGrainModeSync, kGrainSync, kGrainSliderX, 10.0 / 19.0, left, top + 176, top + 236,
     7.0 / 19.0},
  };
  EditorScreen s;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.set(kGrainMode, c.grainMode);
    setNormalized(s, c.param, c.start);
    s.host.changes.clear();
    if (c.pressY == c.releaseY)
      s.ui->click(c.x, c.pressY, c.mod);
    else
      s.ui->drag(c.x, c.pressY, c.x, c.releaseY, 4, c.mod);
    EXPECT_NEAR(s.normalized(c.param), c.expected, 1e-6);
    if (c.expected != c.start) {
      EXPECT_NEAR(lastHostValue(s.host, c.param), c.expected, 1e-6) << "the host hears the edit";
    }
    EXPECT_EQ(s.g().GetPopupMenuPanel(), nullptr);
    EXPECT_FALSE(s.view.CursorHidden()) << "a slider keeps the cursor";
  }
}

TEST(Controls, SyncSliderReadoutOpensTheNoteValues)
{
  struct Case {
    const char* name;
    int param;
    float x;
  };
  const Case cases[] = {{"Grain Sync", kGrainSync, kGrainSliderX}, {"Frame Sync", kFrameSync, kFrameSliderX}};
  EditorScreen s;
  s.set(kGrainMode, kGrainModeSync);
  s.set(kFrameSyncToHost, 1.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.set(c.param, 7); // "1/8"
    s.tick();
    s.ui->click(c.x, kReadoutY);
    std::vector<std::string> expected;
    int i = 0;
    for (const char* text : labelSyncRate)
      expected.push_back((i++ == 7 ? "*" : "") + std::string(text));
    EXPECT_EQ(s.menuItems(), expected);
    EXPECT_EQ(s.value(c.param), 7.0) << "opening the list changes nothing";
    ASSERT_TRUE(s.choose(10)); // "1/4"
    EXPECT_NEAR(s.normalized(c.param), 10.0 / 19.0, 1e-12);
    EXPECT_EQ(s.value(c.param), 10.0);
    EXPECT_NEAR(lastHostValue(s.host, c.param), 10.0 / 19.0, 1e-12);

    // A dismissed list changes nothing.
    s.ui->click(c.x, kReadoutY);
    s.ui->key(EKey::kEscape);
    EXPECT_EQ(s.value(c.param), 10.0);
  }
}

// ---- Knobs and the switch ----

namespace {

// How many fully opaque pixels of knob.png's frame `frame` the screen shows unchanged at (x, y);
// `opaque` receives how many there are. Scale 1: one pixel per design unit.
int matchingKnobPixels(const EditorScreen& s, int frame, int x, int y, int& opaque)
{
  const IBitmap knob = IBitmap::Load(std::string(QUENNET_TEST_RESOURCES) + "/knob.png", "knob", 65, false);
  cairo_surface_t* surface = knob.GetFrameSurface(frame);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  int matching = 0;
  opaque = 0;
  for (int row = 0; row < knob.FH(); ++row)
    for (int col = 0; col < knob.FW(); ++col) {
      const std::uint32_t pixel = reinterpret_cast<const std::uint32_t*>(data + row * stride)[col];
      if ((pixel >> 24) != 0xFF)
        continue;
      ++opaque;
      matching += s.view.Pixel(x + col, y + row) == pixel;
    }
  return matching;
}

} // namespace

TEST(Controls, KnobsDragAndShowTheirFrame)
{
  EditorScreen s({"[Editor]\nScale=1\n"});
  auto* volume = s.find<ITWKnobControl>(kVolume);
  ASSERT_NE(volume, nullptr);

  // Four knob heights up sweep the range; the knob hides the cursor while dragged.
  setNormalized(s, kVolume, 0.0);
  s.ui->move(120, 392);
  s.ui->press(120, 392);
  EXPECT_TRUE(s.view.CursorHidden());
  s.ui->move(120, 392 - 480);
  s.ui->release(120, 392 - 480);
  EXPECT_FALSE(s.view.CursorHidden());
  EXPECT_DOUBLE_EQ(s.normalized(kVolume), 1.0);
  EXPECT_DOUBLE_EQ(lastHostValue(s.host, kVolume), 1.0);

  struct Case {
    double value;
    int frame;
  };
  for (const Case c : {Case{1.0, 65}, Case{0.5, 33}, Case{0.0, 1}}) {
    SCOPED_TRACE(c.frame);
    setNormalized(s, kVolume, c.value);
    int opaque = 0;
    EXPECT_EQ(matchingKnobPixels(s, c.frame, 60, 332, opaque), opaque);
    EXPECT_GT(opaque, 5000);
  }
  int opaque = 0;
  const int matching = matchingKnobPixels(s, 65, 60, 332, opaque);
  EXPECT_LT(matching, opaque - 100) << "frames 1 and 65 differ";

  // Fine adjustment: ten times the gearing; a double-click changes nothing.
  setNormalized(s, kVolume, 0.5);
  s.ui->drag(120, 392, 120, 272, 4, UiDriver::leftShift());
  EXPECT_NEAR(s.normalized(kVolume), 0.525, 1e-9);
  s.ui->doubleClick(120, 392);
  EXPECT_NEAR(s.normalized(kVolume), 0.525, 1e-9);
}

TEST(Controls, FrameSyncSwitchToggles)
{
  EditorScreen s;
  for (double expected : {1.0, 0.0, 1.0}) {
    s.ui->click(1216, 224);
    EXPECT_EQ(s.value(kFrameSyncToHost), expected);
    EXPECT_EQ(lastHostValue(s.host, kFrameSyncToHost), expected);
    s.renderAndTick();
    EXPECT_EQ(s.refs().frameSyncSlider->IsHidden(), expected == 0.0);
    EXPECT_EQ(s.refs().frameLengthSlider->IsHidden(), expected == 1.0);
  }
}

// ---- Envelope displays ----

TEST(Controls, EnvelopeOutlineHasOneSegmentPerUnitOfWidth)
{
  struct Case {
    IRECT box;
    int segments;
  };
  const Case cases[] = {
    {IRECT(500, 378, 784, 542), 284},
    {IRECT(0, 0, 2, 10), 2},
    {IRECT(0, 0, 1, 10), 1},
    {IRECT(0, 0, 0.5f, 10), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.box.W());
    std::vector<std::vector<float>> lines;
    envelope::trace(c.box, 0.0, 0.5, 0.0, [&](float x1, float y1, float x2, float y2) {
      lines.push_back({x1, y1, x2, y2});
    });
    ASSERT_EQ(static_cast<int>(lines.size()), c.segments);
    EXPECT_EQ(lines.front()[0], c.box.L);
    EXPECT_EQ(lines.front()[1], c.box.B);
    EXPECT_EQ(lines.back()[2], c.box.R);
    EXPECT_EQ(lines.back()[3], c.box.B);
    for (std::size_t i = 1; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i][0], lines[i - 1][2]);
      EXPECT_EQ(lines[i][1], lines[i - 1][3]);
    }
  }
  std::vector<float> xs;
  envelope::trace(IRECT(500, 378, 784, 542), 0.0, 0.5, 0.0, [&](float, float, float x2, float) { xs.push_back(x2); });
  EXPECT_EQ(xs[0], 500.0f);
  EXPECT_EQ(xs[282], 782.0f) << "the last point before the closing line lies at R - 2";
}

TEST(Controls, EnvelopeOutlinesOnThePicture)
{
  // Expected rows worked out by hand: the box is 164 high, the peak 147.6 above its bottom (542).
  struct Column {
    int dx; // from the box's left edge
    double y; // where the outline crosses the column
  };
  struct Case {
    const char* name;
    bool grain;
    double fadeIn, skew, fadeOut;
    std::vector<Column> columns;
  };
  const Case cases[] = {
    {"defaults: flat at 90 %", true, 0, 0, 0, {{40, 394.4}, {142, 394.4}, {270, 394.4}}},
    {"fade-out 0.5: straight down from the middle", true, 0, 0, 0.5, {{100, 394.4}, {213, 468.2}, {255, 511.9}}},
    {"skew -1: falls from the left edge", true, 0, -1, 0.5, {{71, 431.3}, {142, 468.2}}},
    {"fade-in 1: slow start", true, 1, 0, 0, {{71, 518.5}, {200, 394.4}}},
    {"fade-in 0.01: at the top almost at once", true, 0.01, 0, 0, {{71, 394.4}}},
    {"frame display, skew 1, fade-in 0.5: a straight rise", false, 0.5, 1, 0, {{71, 505.1}, {142, 468.2}}},
  };
  EditorScreen s({"[Editor]\nScale=1\n"});
  auto column = [&](int x, int top, int bottom) {
    std::vector<IColor> pixels;
    for (int y = top; y <= bottom; ++y)
      pixels.push_back(s.view.Color(x, y));
    return pixels;
  };
  // The picture behind both displays, without them.
  s.refs().grainEnvelope->Hide(true);
  s.refs().frameEnvelope->Hide(true);
  s.tick();
  const int top = 370, bottom = 550;
  std::vector<std::vector<IColor>> behind(2000);
  for (const Case& c : cases)
    for (const Column& col : c.columns) {
      const int x = (c.grain ? 500 : 1172) + col.dx;
      behind[static_cast<std::size_t>(x)] = column(x, top, bottom);
    }
  s.refs().grainEnvelope->Hide(false);
  s.refs().frameEnvelope->Hide(false);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.set(c.grain ? kGrainFadeIn : kFrameFadeIn, c.fadeIn);
    s.set(c.grain ? kGrainSkew : kFrameSkew, c.skew);
    s.set(c.grain ? kGrainFadeOut : kFrameFadeOut, c.fadeOut);
    s.tick();
    for (const Column& col : c.columns) {
      SCOPED_TRACE(col.dx);
      const int x = (c.grain ? 500 : 1172) + col.dx;
      const std::vector<IColor> now = column(x, top, bottom);
      const std::vector<IColor>& before = behind[static_cast<std::size_t>(x)];
      int brightest = -1, added = 0;
      for (std::size_t i = 0; i < now.size(); ++i)
        if (now[i].R - before[i].R > added) {
          added = now[i].R - before[i].R;
          brightest = top + static_cast<int>(i);
        }
      // The centre of a 3-unit line covers its row fully.
      EXPECT_NEAR(brightest + 0.5, col.y, 2.0);
      // Added, not painted over: red 176 at alpha 128 and weight 0.75 adds about 66.
      EXPECT_GE(added, 62);
      if (col.y == 394.4) {
        EXPECT_LE(added, 70);
      }
    }
  }

  // Each display draws only from its own three parameters.
  s.set(kFrameFadeIn, 0);
  s.set(kFrameSkew, 0);
  s.set(kFrameFadeOut, 0);
  s.set(kGrainFadeIn, 0);
  s.set(kGrainSkew, 0);
  s.set(kGrainFadeOut, 0);
  s.tick();
  const std::vector<IColor> grainBefore = column(700, top, bottom), frameBefore = column(1372, top, bottom);
  s.set(kGrainFadeOut, 1.0);
  s.tick();
  EXPECT_NE(column(700, top, bottom), grainBefore);
  EXPECT_EQ(column(1372, top, bottom), frameBefore);
  s.set(kFrameFadeOut, 1.0);
  s.tick();
  EXPECT_NE(column(1372, top, bottom), frameBefore);
}

// ---- Learn switch and menus ----

TEST(Controls, LearnSwitchArmsLearnOrUnlearn)
{
  struct Step {
    const char* gesture;
    bool right;
    double value;
    bool learnMode, learnActive, unlearn;
  };
  const Step steps[] = {
    {"right-click while off: unlearn mode", true, 0, false, false, false},
    {"left click arms unlearn", false, 1, false, true, true},
    {"right-click while on changes nothing", true, 1, false, true, true},
    {"left click disarms", false, 0, false, false, true},
    {"right-click: learn mode again", true, 0, true, false, true},
    {"left click arms learn", false, 1, true, true, false},
  };
  EditorScreen s;
  ITWSwitchMidiLearn* learnSwitch = s.refs().midiLearnSwitch;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.gesture);
    s.ui->click(122, 798, step.right ? UiDriver::right() : UiDriver::left());
    EXPECT_EQ(learnSwitch->GetValue(), step.value);
    EXPECT_EQ(learnSwitch->IsLearnMode(), step.learnMode);
    EXPECT_EQ(learnSwitch->GetBitmap().GetName(), step.learnMode ? "learn.png" : "unlearn.png");
    EXPECT_EQ(s.plugin->learn().learnActive(), step.learnActive);
    EXPECT_EQ(s.plugin->learn().unlearnMode(), step.unlearn);
    EXPECT_TRUE(s.host.changes.empty()) << "the switch has no parameter";
  }
}

TEST(Controls, ParameterMenusShowAndChooseTheirEntries)
{
  struct Case {
    int param;
    double start; // plain
    const char* shown;
    float x;
    std::vector<std::string> items;
    int choose;
    double normalized, plain;
  };
  const Case cases[] = {
    {kGrainMode, 3, "MIDI", 552, {"M.SEC", "SYNC", "FREQ", "*MIDI"}, 1, 1.0 / 3.0, 1},
    {kMidiPolyphony, 4, "4", 1764, {"1", "2", "3", "*4", "5", "6", "7", "8"}, 7, 1.0, 8},
  };
  EditorScreen s;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.param);
    s.set(c.param, c.start);
    auto* menu = s.find<ITWMenuControl>(c.param);
    ASSERT_NE(menu, nullptr);
    EXPECT_STREQ(menu->GetMenu().GetItemText(menu->CurrentEntry()), c.shown);
    s.ui->click(c.x, 224, UiDriver::right()); // any button
    EXPECT_EQ(s.menuItems(), c.items);
    s.ui->key(EKey::kEscape);
    EXPECT_EQ(s.value(c.param), c.start) << "dismissed: nothing changes";
    s.host.changes.clear();
    s.ui->click(c.x, 224);
    ASSERT_TRUE(s.choose(c.choose));
    EXPECT_NEAR(s.normalized(c.param), c.normalized, 1e-12);
    EXPECT_EQ(s.value(c.param), c.plain);
    ASSERT_EQ(s.host.changes.size(), 1u) << "one change, sent once";
    EXPECT_EQ(s.host.changes[0].paramIdx, c.param);
    EXPECT_NEAR(s.host.changes[0].normalizedValue, c.normalized, 1e-12);
  }
}

TEST(Controls, PresetMenuSwitchesAndResetsPresets)
{
  EditorScreen s;
  s.ui->click(300, 74);
  EXPECT_EQ(s.menuItems(),
            (std::vector<std::string>{"*default", "Sync 2 Host", "Frequency", "MIDI Standard", "MIDI Synced",
                                      "Ring Modulator", "Synced Reversals", "Sequenced", "Slap Back", "Strange Mix",
                                      "-", "Reset Current Preset"}));
  ASSERT_TRUE(s.choose(3));
  EXPECT_EQ(s.plugin->GetCurrentPresetIdx(), 3);
  EXPECT_EQ(s.value(kGrainMode), kGrainModeMidi);
  EXPECT_EQ(s.value(kGrainFadeIn), 0.2);
  EXPECT_EQ(s.host.presetChanges, 1) << "the host's controls follow the preset";

  s.set(kGrainFadeIn, 0.9); // an edit of the preset
  s.ui->click(300, 74);
  EXPECT_EQ(s.menuItems()[3], "*MIDI Standard");
  ASSERT_TRUE(s.choose(11));
  EXPECT_EQ(s.plugin->GetCurrentPresetIdx(), 3);
  EXPECT_EQ(s.value(kGrainFadeIn), 0.2) << "the factory values again";
  EXPECT_NEAR(s.find<ITWKnobControl>(kGrainFadeIn)->GetValue(), 0.2, 1e-12) << "and the knob shows them";
  EXPECT_EQ(s.host.presetChanges, 2) << "and so do the host's controls after a reset";
}

TEST(Controls, DismissedMenusChangeNothingButRedraw)
{
  struct Case {
    const char* name;
    float x, y;
    bool redrawsAll;
  };
  const Case cases[] = {
    {"preset menu", 300, 74, true},
    {"online menu", 120, 150, true},
    {"Grain Mode menu", 552, 224, false},
  };
  EditorScreen s;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.g().UpdateFrame();
    std::vector<double> before;
    for (int i = 0; i < kNumParams; ++i)
      before.push_back(s.value(i));
    s.ui->click(c.x, c.y);
    ASSERT_NE(s.g().GetPopupMenuPanel(), nullptr);
    s.ui->click(1000, 800); // outside the menu
    EXPECT_EQ(s.g().GetPopupMenuPanel(), nullptr);
    for (int i = 0; i < kNumParams; ++i)
      EXPECT_EQ(s.value(i), before[static_cast<std::size_t>(i)]) << i;
    EXPECT_EQ(s.find<ITWKnobControl>(kMidiRelease)->IsDirty(), c.redrawsAll);
    EXPECT_TRUE(s.view.OpenedURLs().empty());
  }
}

TEST(Controls, HoverShowsTheHandOverThePresetsAndAHighlightOverTheLogo)
{
  EditorScreen s;
  // Mean of red + green + blue over a design rectangle.
  auto brightness = [&](const IRECT& r) {
    double sum = 0.0;
    int n = 0;
    for (float y = r.T; y < r.B; y += 2)
      for (float x = r.L; x < r.R; x += 2, ++n) {
        const IColor c = s.at(x, y);
        sum += c.R + c.G + c.B;
      }
    return sum / n;
  };
  const IRECT preset(274, 52, 326, 96), logo(32, 48, 216, 240);
  const double presetBefore = brightness(preset), logoBefore = brightness(logo);
  s.ui->move(300, 74);
  s.tick();
  EXPECT_EQ(s.view.Cursor(), ECursor::kHand);
  EXPECT_GT(std::abs(brightness(preset) - presetBefore), 5.0) << "the preset mark shows";

  s.ui->move(120, 150);
  s.tick();
  EXPECT_EQ(s.view.Cursor(), ECursor::kArrow) << "the logo keeps the arrow";
  EXPECT_NEAR(brightness(preset), presetBefore, 1e-9) << "the preset mark is gone";
  EXPECT_GT(brightness(logo), logoBefore + 10.0) << "the logo lights up";

  s.ui->move(1000, 800);
  s.tick();
  EXPECT_EQ(s.view.Cursor(), ECursor::kArrow);
  EXPECT_NEAR(brightness(logo), logoBefore, 1e-9);

  const IRECT corner = s.g().GetCornerResizer()->GetRECT();
  s.ui->move(corner.MW(), corner.MH());
  EXPECT_EQ(s.view.Cursor(), ECursor::kSizeNWSE);
  s.ui->move(1000, 800);
  EXPECT_EQ(s.view.Cursor(), ECursor::kArrow);
}

TEST(Controls, OnlineMenuLinksToTheMakersSite)
{
  EditorScreen s;
  s.ui->click(120, 250); // over the version text, which lets the mouse through
  EXPECT_EQ(s.menuItems(), (std::vector<std::string>{"Check Online for Update", "Visit tarnwellmusic.example"}));
  ASSERT_TRUE(s.choose(1));
  EXPECT_EQ(s.view.OpenedURLs(), std::vector<std::string>{"https://tarnwellmusic.example/"});
  EXPECT_EQ(s.g().NMessageBoxes(), 0);
}
