// SPDX-License-Identifier: ISC
#include "tools/editor-art/EditorArt.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "framework/IPlugin.h"
#include "framework/TextString.h"
#include "tools/editor-art/ArtCanvas.h"
#include "tools/editor-art/ArtLayout.h"
#include "tools/editor-art/ArtNames.h"

namespace art {

const std::array<Asset, 8> kAssets = {{
  {"back.jpg", 1, kDesignWidth, kDesignHeight},
  {"knob.png", kKnobFrames, kKnobSize, kKnobSize},
  {"switch.png", 2, kSwitchWidth, kSwitchHeight},
  {"handle.png", 1, kHandleWidth, kHandleHeight},
  {"learn.png", 2, kLearnWidth, kLearnHeight},
  {"unlearn.png", 2, kLearnWidth, kLearnHeight},
  {"led.png", 2, kLedSize, kLedSize},
  {"triangle.png", 1, kTriangleWidth, kTriangleHeight},
}};

namespace {

// Palette: a dark, slightly cool slate with one warm accent. The light "display" colour sits
// behind everything the editor writes in dark grey (readouts, menu values, the version).
constexpr Colour kBackTop = rgb(30, 32, 37);
constexpr Colour kBackBottom = rgb(19, 21, 24);
constexpr Colour kPanelTop = rgb(43, 46, 53);
constexpr Colour kPanelBottom = rgb(35, 38, 44);
constexpr Colour kPanelEdge = rgb(58, 62, 70);
constexpr Colour kPanelHighlight = rgb(70, 75, 84);
constexpr Colour kRule = rgb(64, 68, 77);
constexpr Colour kAccent = rgb(236, 158, 78);
constexpr Colour kAccentLight = rgb(250, 192, 120);
constexpr Colour kAccentDark = rgb(200, 112, 44);
constexpr Colour kLabel = rgb(208, 212, 218);
constexpr Colour kHint = rgb(122, 128, 138);
constexpr Colour kDisplay = rgb(232, 227, 212);
constexpr Colour kDisplayShade = rgb(208, 202, 186);
constexpr Colour kBezel = rgb(14, 15, 18);
constexpr Colour kGroove = rgb(11, 12, 14);
constexpr Colour kTickMinor = rgb(104, 110, 120);
constexpr Colour kTickMajor = rgb(168, 174, 184);
constexpr Colour kScopeFill = rgb(12, 14, 18);
constexpr Colour kScopeGrid = rgb(27, 30, 37);
constexpr Colour kInk = rgb(40, 42, 48);
constexpr Colour kUnlearn = rgb(226, 86, 72);
constexpr Colour kUnlearnLight = rgb(244, 128, 110);

// Text sizes, design units (the em size).
constexpr double kTitleSize = 30;
constexpr double kTitleTracking = 3;
constexpr double kLabelSize = 28;
constexpr double kHintSize = 20;
constexpr double kKnobLabelGap = 26; // from a knob's bottom edge to its label's baseline
constexpr double kTopRowLabelBaseline = 284; // labels of the menus and the switch
constexpr double kBottomRowLabelBaseline = kKnobs[1].y + kKnobSize + kKnobLabelGap; // lowest row of knobs

// The light displays behind the slider readouts and the menu values, centred on the text bands:
// at least as wide as the widest band, and wider where a value's text needs it.
constexpr double kDisplayMinWidth = kGrainModeMenu.bounds.w() + 20;
constexpr double kDisplayPadding = 12; // on each side of the widest text
constexpr double kDisplayHeight = 48;

// The panels behind the controls: the output column under the logo, the grain and the frame
// engines side by side, the MIDI voices on the right.
constexpr Rect kOutputPanel{32, 284, 216, 744};
constexpr Rect kGrainPanel{248, 120, 864, 744};
constexpr Rect kFramePanel{920, 120, 1536, 744};
constexpr Rect kMidiPanel{1592, 120, 1928, 744};

struct Section {
  const char* fallbackTitle; // when the parameters share no first word
  Rect panel;
  std::vector<int> params;
};

// Each panel's title comes from the words its parameters' names share.
const std::array<Section, 4>& sections()
{
  static const std::array<Section, 4> list = {{
    {"Output", kOutputPanel, {kVolume, kMix}},
    {"Grain",
     kGrainPanel,
     {kGrainMode, kGrainLength, kGrainSync, kGrainFrequency, kGrainOverlap, kGrainFadeIn, kGrainSkew, kGrainFadeOut}},
    {"Frame",
     kFramePanel,
     {kFrameLength, kFrameSync, kFrameSyncToHost, kFrameOverlap, kFrameFadeIn, kFrameSkew, kFrameFadeOut}},
    {"MIDI", kMidiPanel, {kMidiPolyphony, kMidiAttack, kMidiDecay, kMidiSustain, kMidiRelease}},
  }};
  return list;
}

// The group word a control's label drops: "Grain" for the grain panel's controls.
std::string sectionWord(const ParamTable& params, int param)
{
  for (const Section& s : sections())
    for (int p : s.params)
      if (p == param)
        return params.commonFirstWord(s.params);
  return "";
}

std::string labelOf(const ParamTable& params, int param)
{
  return params.shortName(param, sectionWord(params, param));
}

// A label centred under a control, `gap` units below its bottom edge (to the baseline).
void labelUnder(cairo_t* cr, const std::string& text, Rect control, double gap)
{
  drawText(cr, text, control.cx(), control.b + gap, kLabelSize, kLabel, Align::Centre);
}

void circle(cairo_t* cr, double x, double y, double r, Colour c)
{
  cairo_new_sub_path(cr);
  cairo_arc(cr, x, y, r, 0, 2 * M_PI);
  setColour(cr, c);
  cairo_fill(cr);
}

void radialCircle(cairo_t* cr, double x, double y, double r, Colour inner, Colour outer, double fx = 0, double fy = 0)
{
  cairo_pattern_t* p = cairo_pattern_create_radial(x + fx, y + fy, 0, x, y, r);
  cairo_pattern_add_color_stop_rgba(p, 0, inner.r, inner.g, inner.b, inner.a);
  cairo_pattern_add_color_stop_rgba(p, 1, outer.r, outer.g, outer.b, outer.a);
  cairo_new_sub_path(cr);
  cairo_arc(cr, x, y, r, 0, 2 * M_PI);
  cairo_set_source(cr, p);
  cairo_fill(cr);
  cairo_pattern_destroy(p);
}

void downTriangle(cairo_t* cr, double cx, double cy, double halfWidth, double height, Colour c)
{
  cairo_move_to(cr, cx - halfWidth, cy - height / 2);
  cairo_line_to(cr, cx + halfWidth, cy - height / 2);
  cairo_line_to(cr, cx, cy + height / 2);
  cairo_close_path(cr);
  setColour(cr, c);
  cairo_fill(cr);
}

// A recessed light display the editor writes its dark grey values into.
void displayBox(cairo_t* cr, Rect r)
{
  fillRounded(cr, r.grown(3, 3), 9, kBezel);
  fillRoundedGradient(cr, r, 7, kDisplayShade, kDisplay);
  // The top edge in shadow, as if the glass sat below the panel.
  cairo_save(cr);
  roundedRect(cr, r, 7);
  cairo_clip(cr);
  cairo_pattern_t* shade = cairo_pattern_create_linear(0, r.t, 0, r.t + 8);
  cairo_pattern_add_color_stop_rgba(shade, 0, 0, 0, 0, 0.22);
  cairo_pattern_add_color_stop_rgba(shade, 1, 0, 0, 0, 0);
  cairo_rectangle(cr, r.l, r.t, r.w(), 8);
  cairo_set_source(cr, shade);
  cairo_fill(cr);
  cairo_pattern_destroy(shade);
  cairo_restore(cr);
}

void panel(cairo_t* cr, const Section& s, const std::string& title)
{
  const Rect r = s.panel;
  fillRounded(cr, r.grown(2, 2), 16, rgb(12, 13, 15, 0.6)); // soft drop edge
  fillRoundedGradient(cr, r, 14, kPanelTop, kPanelBottom);
  strokeRounded(cr, r, 14, 1.5, kPanelEdge);
  line(cr, r.l + 14, r.t + 1.5, r.r - 14, r.t + 1.5, 1.5, kPanelHighlight);

  const double x = r.l + 24, baseline = r.t + 40;
  drawText(cr, upper(title), x, baseline, kTitleSize, kAccent, Align::Left, kTitleTracking);
  // A rule from the title to the panel's right edge, where there is room for one.
  const double start = x + textWidth(cr, upper(title), kTitleSize, kTitleTracking) + 18, end = r.r - 24;
  const double middle = baseline - 0.36 * kTitleSize;
  if (end - start >= 40)
    line(cr, start, middle, end, middle, 2, kRule);
}

// The slider's groove and scale: marks where the handle's centre line stands at every tenth
// of the range, so the scale and the handle agree at both ends.
void sliderTrack(cairo_t* cr, const Slider& s)
{
  const double x = s.centreX();
  const double top = s.markY(1.0), bottom = s.markY(0.0);
  fillRounded(cr, {x - 7, top - 9, x + 7, bottom + 9}, 7, kGroove);
  line(cr, x - 5, bottom + 8, x + 5, bottom + 8, 1, rgb(64, 68, 77)); // lit lower lip
  const Rect b = s.bounds();
  for (int i = 0; i <= 10; ++i) {
    const double y = s.markY(i / 10.0);
    const bool major = i % 5 == 0;
    const double length = major ? 16 : 9;
    const Colour c = major ? kTickMajor : kTickMinor;
    line(cr, b.l - 6 - length, y, b.l - 6, y, 2, c);
    line(cr, b.r + 6, y, b.r + 6 + length, y, 2, c);
  }
}

// The widest text a readout or menu can show, at the editor's readout size: the ends of each
// slider parameter's range, every display text, and the menus' entries.
double widestValueText(cairo_t* cr, const ParamTable& params)
{
  std::vector<std::string> texts;
  for (const SliderPlace* place : {&kGrainSlider, &kFrameSlider})
    for (int p : place->params) {
      if (p < 0)
        continue;
      for (double value : {params[p].GetMin(), params[p].GetMax()}) {
        plug::TextString text;
        params[p].GetDisplay(value, false, text, true);
        texts.emplace_back(text.Get());
      }
      for (int i = 0; i < params[p].NDisplayTexts(); ++i)
        texts.emplace_back(params[p].GetDisplayTextAtIdx(i));
    }
  for (int i = 0; i < params[kGrainMode].NDisplayTexts(); ++i)
    texts.emplace_back(params[kGrainMode].GetDisplayTextAtIdx(i));
  texts.push_back(std::to_string(static_cast<int>(params[kMidiPolyphony].GetMax())));
  double widest = 0;
  for (const std::string& text : texts)
    widest = std::max(widest, textWidth(cr, text, kReadoutTextSize));
  return widest;
}

Rect displayAround(Rect band, double width)
{
  return {band.cx() - width / 2, band.cy() - kDisplayHeight / 2, band.cx() + width / 2, band.cy() + kDisplayHeight / 2};
}

void readoutBox(cairo_t* cr, const Slider& s, double width)
{
  displayBox(cr, displayAround(s.readoutBand(), width));
}

void menuBox(cairo_t* cr, const MenuPlace& m, double width)
{
  const Rect box = displayAround(m.textBounds(), width);
  displayBox(cr, box);
  // A small mark beside the box: it opens a list.
  downTriangle(cr, box.r + 16, box.cy(), 7, 9, kHint);
}

void envelopeScope(cairo_t* cr, Rect box)
{
  fillRounded(cr, box.grown(10, 10), 12, rgb(24, 26, 30));
  strokeRounded(cr, box.grown(10, 10), 12, 1.5, kPanelEdge);
  cairo_rectangle(cr, box.l, box.t, box.w(), box.h());
  setColour(cr, kScopeFill);
  cairo_fill(cr);
  // Quarters across, and the level of the envelope's peak (90 % of the height).
  for (int i = 1; i < 4; ++i) {
    const double x = box.l + box.w() * i / 4;
    line(cr, x, box.t, x, box.b, 1.5, kScopeGrid);
  }
  const double peak = box.b - box.h() * 0.9;
  const double dashes[] = {6, 6};
  cairo_set_dash(cr, dashes, 2, 0);
  line(cr, box.l, peak, box.r, peak, 1.5, kScopeGrid);
  cairo_set_dash(cr, nullptr, 0, 0);
  line(cr, box.l, box.cy() + box.h() * 0.05, box.r, box.cy() + box.h() * 0.05, 1.5, kScopeGrid);
}

// The logo: a "Q" drawn as a ring of grains that swell and fade like a grain envelope, the
// product's name under it, and room at the bottom for the version the editor writes.
void logo(cairo_t* cr)
{
  const Rect r = kLogo;
  fillRounded(cr, r.grown(3, 3), 16, kBezel);
  fillRoundedGradient(cr, r, 14, kDisplay, kDisplayShade);

  const double cx = r.cx(), cy = r.t + 76, radius = 42;
  const int grains = 20;
  for (int k = 0; k < grains; ++k) {
    const double phase = static_cast<double>(k) / grains;
    const double angle = -M_PI / 2 + 2 * M_PI * phase;
    const double swell = std::sin(M_PI * phase); // 0 at the top, fullest at the bottom
    const double size = 2.8 + 5.2 * swell * swell;
    circle(cr, cx + radius * std::cos(angle), cy + radius * std::sin(angle), size, kInk);
  }
  // The tail of the Q: three grains leaving the ring towards the lower right.
  for (int k = 0; k < 3; ++k) {
    const double d = radius + 5 + 13 * k;
    const double a = M_PI / 4;
    circle(cr, cx + d * std::cos(a), cy + d * std::sin(a), 6.5 - 1.4 * k, kAccentDark);
  }

  const std::string name = upper(plug::PlugConfig().pluginName);
  drawText(cr, name, cx, r.t + 170, 34, kInk, Align::Centre, 2);
  line(cr, r.l + 30, r.t + 184, r.r - 30, r.t + 184, 1.5, rgb(168, 162, 148));
}

void presetMark(cairo_t* cr)
{
  const Rect r = kPresetMark;
  fillRounded(cr, r, 9, kBackBottom);
  strokeRounded(cr, r, 9, 2, kPanelEdge);
  downTriangle(cr, r.cx(), r.cy(), 11, 12, kHint);
  drawText(cr, "Presets", r.r + 16, r.cy() + 10, kTitleSize, kLabel);
}

void ledSocket(cairo_t* cr)
{
  const double cx = kLed.cx(), cy = kLed.cy();
  circle(cr, cx, cy, 16, kBezel);
  cairo_arc(cr, cx, cy, 15.5, 0, 2 * M_PI);
  setColour(cr, rgb(62, 66, 74));
  cairo_set_line_width(cr, 1.5);
  cairo_stroke(cr);
  radialCircle(cr, cx, cy, 10, rgb(96, 62, 34), rgb(58, 36, 20), -3, -3);
  drawText(cr, "Activity", kLed.r + 14, cy + 10, kLabelSize, kLabel);
}

void learnLabel(cairo_t* cr)
{
  const double x = kLearn.r + 18;
  drawText(cr, "MIDI CC", x, kLearn.cy() - 2, kLabelSize, kLabel);
  drawText(cr, "right-click: learn / unlearn", x, kLearn.cy() + 22, kHintSize, kHint);
}

void drawBackground(cairo_t* cr, const ParamTable& params)
{
  cairo_pattern_t* back = cairo_pattern_create_linear(0, 0, 0, kDesignHeight);
  cairo_pattern_add_color_stop_rgb(back, 0, kBackTop.r, kBackTop.g, kBackTop.b);
  cairo_pattern_add_color_stop_rgb(back, 1, kBackBottom.r, kBackBottom.g, kBackBottom.b);
  cairo_rectangle(cr, 0, 0, kDesignWidth, kDesignHeight);
  cairo_set_source(cr, back);
  cairo_fill(cr);
  cairo_pattern_destroy(back);

  for (const Section& s : sections()) {
    const std::string word = params.commonFirstWord(s.params);
    panel(cr, s, word.empty() ? s.fallbackTitle : word);
  }

  for (const KnobPlace& k : kKnobs)
    labelUnder(cr, labelOf(params, k.param), k.bounds(), kKnobLabelGap);

  const double displayWidth = std::max(kDisplayMinWidth, widestValueText(cr, params) + 2 * kDisplayPadding);

  // One slider of several shows at a time at each place; the area is named after the length the
  // alternatives all set, and the readout above the handle shows the current one's value.
  for (const SliderPlace* place : {&kGrainSlider, &kFrameSlider}) {
    sliderTrack(cr, place->slider);
    readoutBox(cr, place->slider, displayWidth);
    labelUnder(cr, labelOf(params, place->params[0]), place->slider.bounds(),
               kBottomRowLabelBaseline - place->slider.bounds().b);
  }

  for (const MenuPlace* menu : {&kGrainModeMenu, &kPolyphonyMenu}) {
    menuBox(cr, *menu, displayWidth);
    labelUnder(cr, labelOf(params, menu->param), menu->bounds, kTopRowLabelBaseline - menu->bounds.b);
  }
  labelUnder(cr, labelOf(params, kFrameSyncToHost), kSwitchBounds, kTopRowLabelBaseline - kSwitchBounds.b);

  envelopeScope(cr, kGrainEnvelope);
  envelopeScope(cr, kFrameEnvelope);

  logo(cr);
  presetMark(cr);
  ledSocket(cr);
  learnLabel(cr);

  // The maker, on the footer line, right-aligned with the MIDI panel and clear of the corner
  // handle even at the smallest size (where the handle covers the last 104 units).
  drawText(cr, plug::PlugConfig().mfrName, kMidiPanel.r, kLearn.cy() - 2, kHintSize, kHint, Align::Right, 1);
}

// One knob frame, 120 units square: a ring with the value arc over 270 degrees, and a cap
// with a pointer.
void drawKnob(cairo_t* cr, double value)
{
  const double c = kKnobSize / 2.0;
  const double start = 0.75 * M_PI, sweep = 1.5 * M_PI;
  const double angle = start + sweep * value;

  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_width(cr, 8);
  cairo_arc(cr, c, c, 52, start, start + sweep);
  setColour(cr, kGroove);
  cairo_stroke(cr);
  if (value > 0) {
    cairo_set_line_width(cr, 6);
    cairo_arc(cr, c, c, 52, start, angle);
    setColour(cr, kAccent);
    cairo_stroke(cr);
  }

  radialCircle(cr, c, c + 3, 45, rgb(0, 0, 0, 0.55), rgb(0, 0, 0, 0));
  // The cap: a brushed rim lit from above and a flat top.
  cairo_pattern_t* rim = cairo_pattern_create_linear(0, c - 40, 0, c + 40);
  cairo_pattern_add_color_stop_rgb(rim, 0, 0.40, 0.42, 0.46);
  cairo_pattern_add_color_stop_rgb(rim, 1, 0.15, 0.16, 0.18);
  cairo_arc(cr, c, c, 40, 0, 2 * M_PI);
  cairo_set_source(cr, rim);
  cairo_fill(cr);
  cairo_pattern_destroy(rim);
  radialCircle(cr, c, c, 34, rgb(66, 70, 78), rgb(46, 49, 55), 0, -10);

  cairo_set_line_width(cr, 5);
  cairo_move_to(cr, c + 12 * std::cos(angle), c + 12 * std::sin(angle));
  cairo_line_to(cr, c + 33 * std::cos(angle), c + 33 * std::sin(angle));
  setColour(cr, rgb(240, 242, 245));
  cairo_stroke(cr);
}

// The slider's handle: a fader cap with grip lines and a lit centre line.
void drawHandle(cairo_t* cr)
{
  const Rect r{1, 1, kHandleWidth - 1.0, kHandleHeight - 1.0};
  fillRounded(cr, r.grown(1, 1), 7, rgb(8, 9, 11));
  fillRoundedGradient(cr, r, 6, rgb(198, 202, 210), rgb(118, 122, 131));
  const double mid = kHandleHeight / 2.0;
  for (double dy : {-12.0, -7.0, 7.0, 12.0})
    line(cr, 9, mid + dy, kHandleWidth - 9.0, mid + dy, 1.5, rgb(88, 92, 101, 0.8));
  line(cr, 3, mid, kHandleWidth - 3.0, mid, 4, kAccentDark);
}

// The Frame Sync to Host switch: off, a dark slot with the thumb left; on, lit with the thumb right.
void drawSwitch(cairo_t* cr, bool on, const std::string& offText, const std::string& onText)
{
  const Rect r{2, 2, kSwitchWidth - 2.0, kSwitchHeight - 2.0};
  const double radius = r.h() / 2;
  if (on)
    fillRoundedGradient(cr, r, radius, kAccentLight, kAccentDark);
  else
    fillRounded(cr, r, radius, kGroove);
  strokeRounded(cr, r.grown(2, 2), radius + 2, 2, on ? kAccentLight : kPanelEdge);

  const double thumbX = on ? r.r - radius : r.l + radius;
  radialCircle(cr, thumbX, r.cy() + 2, radius - 1, rgb(0, 0, 0, 0.45), rgb(0, 0, 0, 0));
  cairo_pattern_t* thumb = cairo_pattern_create_linear(0, r.t, 0, r.b);
  const Colour top = on ? rgb(250, 250, 250) : rgb(150, 154, 162);
  const Colour bottom = on ? rgb(212, 212, 214) : rgb(92, 96, 104);
  cairo_pattern_add_color_stop_rgb(thumb, 0, top.r, top.g, top.b);
  cairo_pattern_add_color_stop_rgb(thumb, 1, bottom.r, bottom.g, bottom.b);
  cairo_arc(cr, thumbX, r.cy(), radius - 5, 0, 2 * M_PI);
  cairo_set_source(cr, thumb);
  cairo_fill(cr);
  cairo_pattern_destroy(thumb);

  const double textX = on ? (r.l + r.r - 2 * radius) / 2 : (r.l + 2 * radius + r.r) / 2;
  drawText(cr, on ? onText : offText, textX, r.cy() + 7, 20, on ? rgb(52, 30, 10) : kHint, Align::Centre, 1);
}

// The learn switch in one of its modes: off, a dark key with the mode's name; on, lit in the
// mode's colour.
void drawLearn(cairo_t* cr, bool on, const std::string& text, Colour light, Colour dark)
{
  const Rect r{2, 2, kLearnWidth - 2.0, kLearnHeight - 2.0};
  if (on) {
    fillRoundedGradient(cr, r, 10, light, dark);
    strokeRounded(cr, r.grown(2, 2), 12, 2, light);
  } else {
    fillRoundedGradient(cr, r, 10, rgb(46, 49, 56), rgb(30, 32, 37));
    strokeRounded(cr, r.grown(2, 2), 12, 2, kPanelEdge);
  }
  drawText(cr, text, r.cx(), r.cy() + 8, 22, on ? rgb(40, 22, 12) : rgb(186, 192, 202), Align::Centre, 1);
}

void drawLed(cairo_t* cr, bool on)
{
  const double c = kLedSize / 2.0;
  if (on) {
    radialCircle(cr, c, c, 20, rgb(255, 180, 90, 0.65), rgb(255, 150, 60, 0));
    radialCircle(cr, c, c, 10, rgb(255, 250, 230), rgb(255, 168, 72), -2, -2);
  } else {
    circle(cr, c, c, 11.5, kBezel);
    radialCircle(cr, c, c, 10, rgb(96, 62, 34), rgb(58, 36, 20), -3, -3);
  }
  circle(cr, c - 3.5, c - 3.5, 2.5, rgb(255, 255, 255, on ? 0.9 : 0.25)); // specular glint
}

// The preset mark shown while the mouse is over it: the mark's outline and arrow lit.
void drawTriangle(cairo_t* cr)
{
  const Rect r{0, 0, kTriangleWidth, kTriangleHeight};
  fillRounded(cr, r, 9, rgb(236, 158, 78, 0.16));
  strokeRounded(cr, r, 9, 2, kAccent);
  downTriangle(cr, r.cx(), r.cy(), 12, 13, kAccentLight);
}

using Painter = std::function<void(cairo_t*, int frame)>;

// Draws `frames` frames of w × h stacked vertically into one image and writes it.
bool writeFrames(const std::filesystem::path& file, int w, int h, int frames, const Painter& paint, std::string& error)
{
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h * frames);
  cairo_t* cr = cairo_create(surface);
  for (int f = 0; f < frames; ++f) {
    cairo_save(cr);
    cairo_translate(cr, 0, static_cast<double>(f) * h);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_clip(cr);
    paint(cr, f);
    cairo_restore(cr);
  }
  bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  if (!ok)
    error = std::string("cannot draw ") + file.string() + ": " + cairo_status_to_string(cairo_status(cr));
  cairo_destroy(cr);
  if (ok)
    ok = file.extension() == ".jpg" ? writeJpeg(surface, file.string(), 95, error)
                                    : writePng(surface, file.string(), error);
  cairo_surface_destroy(surface);
  return ok;
}

} // namespace

bool writeEditorArt(const std::string& folder, const std::string& fontPath, std::string& error)
{
  if (!Font::load(fontPath, error))
    return false;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "cannot make the folder " + folder + ": " + ec.message();
    return false;
  }
  const std::filesystem::path dir(folder);
  const ParamTable params;
  const std::string off = upper(params[kFrameSyncToHost].GetDisplayTextAtIdx(0));
  const std::string on = upper(params[kFrameSyncToHost].GetDisplayTextAtIdx(1));

  const std::map<std::string, Painter> painters = {
    {"back.jpg", [&](cairo_t* cr, int) { drawBackground(cr, params); }},
    {"knob.png", [](cairo_t* cr, int f) { drawKnob(cr, f / (kKnobFrames - 1.0)); }},
    {"switch.png", [&](cairo_t* cr, int f) { drawSwitch(cr, f == 1, off, on); }},
    {"handle.png", [](cairo_t* cr, int) { drawHandle(cr); }},
    {"learn.png", [](cairo_t* cr, int f) { drawLearn(cr, f == 1, "LEARN", kAccentLight, kAccentDark); }},
    {"unlearn.png", [](cairo_t* cr, int f) { drawLearn(cr, f == 1, "UNLEARN", kUnlearnLight, kUnlearn); }},
    {"led.png", [](cairo_t* cr, int f) { drawLed(cr, f == 1); }},
    {"triangle.png", [](cairo_t* cr, int) { drawTriangle(cr); }},
  };
  for (const Asset& asset : kAssets)
    if (!writeFrames(dir / asset.file, asset.width, asset.height, asset.frames, painters.at(asset.file), error))
      return false;
  return true;
}

} // namespace art
