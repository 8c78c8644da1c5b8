// SPDX-License-Identifier: ISC
// Composes the generated artwork the way the editor will show it, to judge it before the editor
// exists: the background with every control's frame at its place, readouts and menu values in
// the editor's text style, the envelope outlines, the version text and the corner handle, at the
// scales 0.25, 0.5 and 1.0, for a few settings. Not part of the product.
//
// preview-editor-art ASSET_FOLDER OUT_FOLDER writes preview-<setting>-<scale>.png into OUT_FOLDER.
#include <cairo.h>
#include <stb_image.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "framework/IPlugin.h"
#include "framework/TextString.h"
#include "tools/editor-art/ArtCanvas.h"
#include "tools/editor-art/ArtLayout.h"
#include "tools/editor-art/ArtNames.h"
#include "tools/editor-art/EditorArt.h"

namespace {

using namespace art;

struct Image {
  cairo_surface_t* surface = nullptr;
  int frames = 1;
  int frameHeight = 0;
};

// The loaded assets by file name; they own their surfaces.
struct Images : std::map<std::string, Image> {
  Images() = default;
  Images(const Images&) = delete;
  Images& operator=(const Images&) = delete;
  ~Images()
  {
    for (auto& entry : *this)
      cairo_surface_destroy(entry.second.surface);
  }
};

Images gImages;

bool loadImages(const std::filesystem::path& folder, std::string& error)
{
  for (const Asset& asset : kAssets) {
    const std::string path = (folder / asset.file).string();
    cairo_surface_t* surface = nullptr;
    if (std::filesystem::path(path).extension() == ".png") {
      surface = cairo_image_surface_create_from_png(path.c_str());
    } else {
      int w = 0, h = 0, n = 0;
      unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &n, 4);
      if (pixels) {
        surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
        unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            const unsigned char* p = pixels + (static_cast<std::ptrdiff_t>(y) * w + x) * 4;
            reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride)[x] =
              (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
          }
        cairo_surface_mark_dirty(surface);
        stbi_image_free(pixels);
      }
    }
    if (!surface || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
      if (surface)
        cairo_surface_destroy(surface);
      error = "cannot read " + path;
      return false;
    }
    gImages[asset.file] = {surface, asset.frames, cairo_image_surface_get_height(surface) / asset.frames};
  }
  return true;
}

// Frame `frame` (from 0) of an image with its top-left corner at (x, y).
void drawBitmap(cairo_t* cr, const std::string& name, double x, double y, int frame)
{
  const Image& image = gImages.at(name);
  const int w = cairo_image_surface_get_width(image.surface);
  cairo_save(cr);
  cairo_rectangle(cr, x, y, w, image.frameHeight);
  cairo_clip(cr);
  cairo_set_source_surface(cr, image.surface, x, y - static_cast<double>(frame) * image.frameHeight);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_restore(cr);
}

// The envelope outline as the editor draws it: one segment per design unit, added to the
// background at weight 0.75.
void drawEnvelope(cairo_t* cr, Rect box, double fadeIn, double skewNormalised, double fadeOut)
{
  const auto exponent = [](double a) { return std::pow(2.0, 4.0 * (a <= 0.5 ? 1.0 - 2.0 * a : 0.5 - a)); };
  const double p1 = exponent(fadeIn), p2 = exponent(fadeOut), s = skewNormalised;
  const auto envelope = [&](double t) {
    if (t < s)
      return fadeIn > 0 ? 1.0 - std::pow(1.0 - t / s, p1) : 1.0;
    return fadeOut > 0 ? 1.0 - std::pow((t - s) / (1.0 - s), p2) : 1.0;
  };
  const Colour c = argb(kEnvelopeCurveColour);
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_ADD);
  cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a * 0.75);
  cairo_set_line_width(cr, 3);
  const double width = box.w(), amplitude = box.h() * 0.9;
  double px = box.l, py = box.b;
  for (int i = 1; width - 1 > 0; ++i) {
    const double x = box.l + (i - 1), y = box.b - envelope((i - 1) / width) * amplitude;
    cairo_move_to(cr, px, py);
    cairo_line_to(cr, x, y);
    cairo_stroke(cr);
    px = x;
    py = y;
    if (!(width - 1 > i))
      break;
  }
  cairo_move_to(cr, px, py);
  cairo_line_to(cr, box.r, box.b);
  cairo_stroke(cr);
  cairo_restore(cr);
}

struct Setting {
  const char* name;
  std::vector<std::pair<int, double>> values; // plain values
  bool noteSounding;
  bool learnArmed;
  bool unlearnMode;
  bool hoverPreset;
  bool hoverLogo;
};

const std::vector<Setting> kSettings = {
  {"msec",
   {{kVolume, 1.0},
    {kMix, 0.7},
    {kGrainMode, 0},
    {kGrainLength, 120.0},
    {kGrainOverlap, 25},
    {kGrainFadeIn, 0.3},
    {kGrainSkew, -0.2},
    {kGrainFadeOut, 0.6},
    {kFrameLength, 2500.0},
    {kFrameSyncToHost, 0},
    {kFrameOverlap, 50},
    {kFrameFadeIn, 0.1},
    {kFrameSkew, 0.4},
    {kFrameFadeOut, 0.25},
    {kMidiPolyphony, 4},
    {kMidiAttack, 0.1},
    {kMidiDecay, 0.35},
    {kMidiSustain, 0.8},
    {kMidiRelease, 0.45}},
   false,
   false,
   false,
   false,
   false},
  {"midi",
   {{kVolume, 1.6},
    {kMix, 1.0},
    {kGrainMode, 3},
    {kGrainOverlap, 0},
    {kGrainFadeIn, 0},
    {kGrainSkew, 0},
    {kGrainFadeOut, 0},
    {kFrameSync, 12},
    {kFrameSyncToHost, 1},
    {kFrameOverlap, 10},
    {kFrameFadeIn, 1.0},
    {kFrameSkew, -1.0},
    {kFrameFadeOut, 0.5},
    {kMidiPolyphony, 8},
    {kMidiAttack, 0},
    {kMidiDecay, 1.0},
    {kMidiSustain, 0.0},
    {kMidiRelease, 1.0}},
   true,
   true,
   true,
   true,
   true},
  {"sync",
   {{kVolume, 0.0}, {kMix, 0.0}, {kGrainMode, 1}, {kGrainSync, 7}, {kGrainFrequency, 5000.0}, {kFrameLength, 5000.0}},
   false,
   true,
   false,
   false,
   false},
  {"freq", {{kGrainMode, 2}, {kGrainFrequency, 5000.0}, {kFrameLength, 0.2}}, false, false, false, false, false},
};

void compose(cairo_t* cr, const Setting& setting, double scale)
{
  ParamTable params;
  for (const auto& [param, value] : setting.values)
    params[param].SetValue(value);
  const auto normalised = [&](int p) { return params[p].GetNormalized(); };
  const Colour readout = argb(kReadoutTextColour);

  cairo_scale(cr, scale, scale);
  drawBitmap(cr, "back.jpg", 0, 0, 0);
  if (setting.hoverLogo) {
    cairo_rectangle(cr, kLogo.l, kLogo.t, kLogo.w(), kLogo.h());
    cairo_set_source_rgba(cr, 1, 1, 1, 64 / 255.0);
    cairo_fill(cr);
  }
  const int version = plug::PlugConfig().vendorVersion;
  char versionText[32];
  std::snprintf(versionText, sizeof(versionText), "v.%d.%d.%d", version >> 16, (version >> 8) & 0xFF, version & 0xFF);
  drawTextCentred(cr, versionText, kVersionText, kVersionTextSize, argb(kVersionTextColour));
  if (setting.hoverPreset)
    drawBitmap(cr, "triangle.png", kPresetMark.l, kPresetMark.t, 0);
  drawBitmap(cr, setting.unlearnMode ? "unlearn.png" : "learn.png", kLearn.l, kLearn.t, setting.learnArmed ? 1 : 0);

  for (const KnobPlace& k : kKnobs)
    drawBitmap(cr, "knob.png", k.x, k.y, static_cast<int>(std::floor(0.5 + normalised(k.param) * 64)));

  const int mode = static_cast<int>(params[kGrainMode].GetValue());
  const int grainSlider = mode < 3 ? kGrainSlider.params[static_cast<std::size_t>(mode)] : -1;
  const int frameSlider = params[kFrameSyncToHost].GetValue() > 0.5 ? kFrameSync : kFrameLength;
  for (const auto& [place, param] : {std::pair{&kGrainSlider, grainSlider}, std::pair{&kFrameSlider, frameSlider}}) {
    if (param < 0)
      continue;
    const Rect handle = place->slider.handleAt(normalised(param));
    drawBitmap(cr, "handle.png", handle.l, handle.t, 0);
    plug::TextString text;
    params[param].GetDisplay(params[param].GetValue(), false, text, true);
    drawTextCentred(cr, text.Get(), place->slider.readoutBand(), kReadoutTextSize, readout);
  }

  const int modeEntry = static_cast<int>(std::floor(3 * normalised(kGrainMode)));
  drawTextCentred(cr, params[kGrainMode].GetDisplayTextAtIdx(modeEntry), kGrainModeMenu.textBounds(), kReadoutTextSize,
                  readout);
  const int voices = static_cast<int>(std::floor(7 * normalised(kMidiPolyphony))) + 1;
  drawTextCentred(cr, std::to_string(voices), kPolyphonyMenu.textBounds(), kReadoutTextSize, readout);

  drawBitmap(cr, "switch.png", kSwitchX, kSwitchY, params[kFrameSyncToHost].GetValue() > 0.5 ? 1 : 0);
  drawEnvelope(cr, kGrainEnvelope, normalised(kGrainFadeIn), normalised(kGrainSkew), normalised(kGrainFadeOut));
  drawEnvelope(cr, kFrameEnvelope, normalised(kFrameFadeIn), normalised(kFrameSkew), normalised(kFrameFadeOut));
  if (mode == 3)
    drawBitmap(cr, "led.png", kLed.l, kLed.t, setting.noteSounding ? 1 : 0);

  // The corner handle covers the last 26 points on screen.
  const double size = kCornerSize / scale;
  const double r = kDesignWidth - 1, b = kDesignHeight - 1, l = kDesignWidth - size + 1, t = kDesignHeight - size + 1;
  cairo_move_to(cr, l, b);
  cairo_line_to(cr, r, t);
  cairo_line_to(cr, r, b);
  cairo_close_path(cr);
  cairo_set_source_rgba(cr, 1, 1, 0, 32 / 255.0);
  cairo_fill(cr);
}

} // namespace

int main(int argc, char** argv)
{
  if (argc != 3) {
    std::fprintf(stderr, "usage: preview-editor-art ASSET_FOLDER OUT_FOLDER\n");
    return 2;
  }
  std::string error;
  if (!Font::load(kSystemFontPath, error) || !loadImages(argv[1], error)) {
    std::fprintf(stderr, "preview-editor-art: %s\n", error.c_str());
    return 1;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[2], ec);
  for (const Setting& setting : kSettings) {
    for (double scale : {0.25, 0.5, 1.0}) {
      const int w = static_cast<int>(std::lround(kDesignWidth * scale));
      const int h = static_cast<int>(std::lround(kDesignHeight * scale));
      cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
      cairo_t* cr = cairo_create(surface);
      compose(cr, setting, scale);
      cairo_destroy(cr);
      char name[64];
      std::snprintf(name, sizeof(name), "preview-%s-%g.png", setting.name, scale);
      const bool ok = writePng(surface, (std::filesystem::path(argv[2]) / name).string(), error);
      cairo_surface_destroy(surface);
      if (!ok) {
        std::fprintf(stderr, "preview-editor-art: %s\n", error.c_str());
        return 1;
      }
    }
  }
  return 0;
}
