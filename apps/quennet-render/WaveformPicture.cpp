// SPDX-License-Identifier: ISC
#include "apps/quennet-render/WaveformPicture.h"

#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace render {

namespace {

// Picture geometry, pixels.
constexpr int kTopMargin = 12;
constexpr int kSideMargin = 16;
constexpr int kGutter = 22; // left of the bands: the channel letters
constexpr int kTitleHeight = 20; // above the bands of a row
constexpr int kBandGap = 2; // between the left and the right band
constexpr int kRowGap = 7; // below the bands of a row
constexpr int kAxisHeight = 28; // under the last row, bottom margin included
constexpr int kStereoBand = (kWaveformRowHeight - kTitleHeight - kRowGap - kBandGap) / 2; // 45
constexpr int kMonoBand = 2 * kStereoBand + kBandGap; // 92 -> 91 (odd)
constexpr int kMaxHeight = 32767; // Cairo's image surface limit

struct Colour {
  double r, g, b;
};

constexpr Colour hex(unsigned v)
{
  return {((v >> 16) & 0xFF) / 255.0, ((v >> 8) & 0xFF) / 255.0, (v & 0xFF) / 255.0};
}

constexpr Colour kPage = hex(0xF3F3F0);
constexpr Colour kBandFill = hex(0xFFFFFF);
constexpr Colour kBandBorder = hex(0xD4D4CF);
constexpr Colour kGrid = hex(0xEEEEEA);
constexpr Colour kCentre = hex(0x9C9C97);
constexpr Colour kTitle = hex(0x202020);
constexpr Colour kInfo = hex(0x6A6A66);
constexpr Colour kClip = hex(0xD0342C);
constexpr Colour kPeak[2] = {hex(0x5A86C5), hex(0x4A9E8E)}; // left, right
constexpr Colour kRms[2] = {hex(0x1F4A85), hex(0x1B6356)};

void setColour(cairo_t* cr, const Colour& c)
{
  cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};

double rowSeconds(const WaveformRow& row)
{
  return static_cast<double>(row.left.samples()) / row.sampleRate;
}

// Tick spacing in seconds: 1, 2 or 5 times a power of ten, at least minPixels apart.
double tickStep(double pixelsPerSecond, double minPixels)
{
  const double raw = minPixels / pixelsPerSecond;
  double decade = std::pow(10.0, std::floor(std::log10(raw)));
  for (;;) {
    for (double m : {1.0, 2.0, 5.0})
      if (m * decade >= raw)
        return m * decade;
    decade *= 10.0;
  }
}

std::string formatSeconds(double t, double step)
{
  // As many decimals as the tick step needs, none for whole seconds.
  const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
  char text[32];
  std::snprintf(text, sizeof text, "%.*f s", decimals, t);
  return text;
}

// The text, cut at a character boundary and ended with an ellipsis when it is wider than maxWidth.
std::string fitText(cairo_t* cr, const std::string& text, double maxWidth)
{
  auto width = [cr](const std::string& t) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, t.c_str(), &e);
    return e.x_advance;
  };
  if (width(text) <= maxWidth)
    return text;
  std::string cut = text;
  while (!cut.empty()) {
    do // drop one UTF-8 character: continuation bytes are 10xxxxxx
      cut.pop_back();
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80);
    if (width(cut + "\u2026") <= maxWidth)
      return cut + "\u2026";
  }
  return cut;
}

std::string rowInfo(const WaveformRow& row)
{
  float peak = 0.0f;
  auto scan = [&peak](const WaveformPeaks& peaks) {
    for (const WaveformPeaks::Stretch& s : peaks.stretches())
      if (s.lo <= s.hi) // not NaN only
        peak = std::max({peak, std::fabs(s.lo), std::fabs(s.hi)});
  };
  scan(row.left);
  scan(row.right);
  char text[128];
  const char* channels = row.right.samples() == 0 ? "mono" : "stereo";
  if (peak > 0.0f) {
    const double db = 20.0 * std::log10(static_cast<double>(peak));
    // U+2212 minus sign and U+00B7 middle dot; a sign only where the rounded figure is not 0.0.
    std::snprintf(text, sizeof text, "%.3f s \u00B7 %g Hz %s \u00B7 peak %s%.1f dBFS", rowSeconds(row), row.sampleRate,
                  channels,
                  db <= -0.05    ? "\u2212"
                    : db >= 0.05 ? "+"
                                 : "",
                  std::fabs(db));
  } else {
    std::snprintf(text, sizeof text, "%.3f s \u00B7 %g Hz %s \u00B7 silent", rowSeconds(row), row.sampleRate, channels);
  }
  return text;
}

// Pixel columns of one channel: min/max (with the first sample of the next column, so that
// neighbouring columns join up when a column holds few samples) and the RMS of the column. A column
// takes every stretch that holds one of its samples; while stretches are single samples this is
// exact, later a column's edges move by less than a stretch.
void drawChannel(cairo_t* cr, const WaveformBand& band, const WaveformPeaks& peaks, double sampleRate,
                 double totalSeconds, int channel)
{
  const std::int64_t n = peaks.samples();
  const std::int64_t length = peaks.stretchLength();
  const std::vector<WaveformPeaks::Stretch>& stretches = peaks.stretches();
  const double samplesPerPixel = totalSeconds * sampleRate / band.width;
  const int centre = band.centreY();
  const int half = band.halfHeight();
  auto pixelRow = [&](double v) { return centre - static_cast<int>(std::lround(std::clamp(v, -1.0, 1.0) * half)); };

  cairo_new_path(cr);
  std::vector<int> rmsTop(static_cast<std::size_t>(band.width), 0), rmsBottom(static_cast<std::size_t>(band.width), -1);
  std::vector<int> clipTop, clipBottom;
  for (int x = 0; x < band.width; ++x) {
    const auto s0 = static_cast<std::int64_t>(std::floor(x * samplesPerPixel));
    if (s0 >= n)
      break;
    const std::int64_t s1 =
      std::min(n, std::max(s0 + 1, static_cast<std::int64_t>(std::floor((x + 1) * samplesPerPixel))));
    const std::int64_t lastForPeaks = std::min(n, s1 + 1) - 1;
    const std::int64_t lastForRms = s1 - 1;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    double sum = 0.0;
    std::uint64_t counted = 0;
    for (std::int64_t i = s0 / length; i <= lastForPeaks / length; ++i) {
      const WaveformPeaks::Stretch& stretch = stretches[static_cast<std::size_t>(i)];
      lo = std::min(lo, static_cast<double>(stretch.lo));
      hi = std::max(hi, static_cast<double>(stretch.hi));
      if (i <= lastForRms / length) {
        sum += stretch.squares;
        counted += stretch.finite;
      }
    }
    if (lo > hi) // only NaN here
      continue;
    if (hi > 1.0)
      clipTop.push_back(x);
    if (lo < -1.0)
      clipBottom.push_back(x);
    const int top = pixelRow(hi);
    const int bottom = pixelRow(lo);
    cairo_rectangle(cr, band.x + x, top, 1, bottom - top + 1);
    if (counted > 0) {
      const double rms = std::sqrt(sum / static_cast<double>(counted));
      rmsTop[static_cast<std::size_t>(x)] = std::max(top, pixelRow(rms));
      rmsBottom[static_cast<std::size_t>(x)] = std::min(bottom, pixelRow(-rms));
    }
  }
  setColour(cr, kPeak[channel]);
  cairo_fill(cr);

  for (int x = 0; x < band.width; ++x) {
    const int top = rmsTop[static_cast<std::size_t>(x)], bottom = rmsBottom[static_cast<std::size_t>(x)];
    if (bottom >= top)
      cairo_rectangle(cr, band.x + x, top, 1, bottom - top + 1);
  }
  setColour(cr, kRms[channel]);
  cairo_fill(cr);

  for (int x : clipTop)
    cairo_rectangle(cr, band.x + x, band.y, 1, 3);
  for (int x : clipBottom)
    cairo_rectangle(cr, band.x + x, band.y + band.height - 3, 1, 3);
  setColour(cr, kClip);
  cairo_fill(cr);
}

bool fail(std::string* error, const std::string& message)
{
  if (error)
    *error = message;
  return false;
}

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length)
{
  auto& png = *static_cast<std::vector<unsigned char>*>(closure);
  png.insert(png.end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

bool encodePicture(const std::vector<WaveformRow>& rows, int width, std::vector<unsigned char>& png, std::string* error)
{
  png.clear();
  if (rows.empty())
    return fail(error, "no waveforms to draw");
  if (width < kWaveformMinWidth || width > kWaveformMaxWidth)
    return fail(error,
                "picture width " + std::to_string(width) + " is outside " + std::to_string(kWaveformMinWidth) + " … " +
                  std::to_string(kWaveformMaxWidth));
  static_assert(kWaveformMaxRows * kWaveformRowHeight + kTopMargin + kAxisHeight <= kMaxHeight &&
                (kWaveformMaxRows + 1) * kWaveformRowHeight + kTopMargin + kAxisHeight > kMaxHeight);
  if (rows.size() > static_cast<std::size_t>(kWaveformMaxRows))
    return fail(error, "too many rows for one picture (" + std::to_string(rows.size()) + ")");
  for (const WaveformRow& row : rows) {
    if (!(row.sampleRate > 0.0) || !std::isfinite(row.sampleRate))
      return fail(error, "\"" + row.title + "\": the sample rate must be positive");
    if (row.right.samples() != 0 && row.right.samples() != row.left.samples())
      return fail(error, "\"" + row.title + "\": the left and right channels differ in length");
  }

  const WaveformLayout layout = layoutWaveformPicture(rows, width);
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> surface(
    cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.width, layout.height));
  if (const cairo_status_t status = cairo_surface_status(surface.get()); status != CAIRO_STATUS_SUCCESS)
    return fail(error, std::string("cannot create the picture: ") + cairo_status_to_string(status));
  std::unique_ptr<cairo_t, ContextDeleter> context(cairo_create(surface.get()));
  cairo_t* cr = context.get();

  double totalSeconds = 0.0;
  for (const WaveformRow& row : rows)
    totalSeconds = std::max(totalSeconds, rowSeconds(row));
  if (!(totalSeconds > 0.0))
    totalSeconds = 1.0; // nothing but empty rows: still draw a sensible axis

  const WaveformBand& firstBand = layout.rows.front().front();
  const double pixelsPerSecond = firstBand.width / totalSeconds;
  const double step = tickStep(pixelsPerSecond, 80.0);
  const long ticks = static_cast<long>(std::floor(totalSeconds / step + 1e-9));

  setColour(cr, kPage);
  cairo_paint(cr);

  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const WaveformRow& row = rows[r];
    const std::vector<WaveformBand>& bands = layout.rows[r];
    const int rowTop = bands.front().y - kTitleHeight;

    // Title on the left, facts on the right, both cut at the row's width.
    cairo_save(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
    cairo_rectangle(cr, kSideMargin, rowTop, layout.width - 2 * kSideMargin, kTitleHeight);
    cairo_clip(cr);
    const std::string info = rowInfo(row);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 11.0);
    cairo_text_extents_t infoExtents;
    cairo_text_extents(cr, info.c_str(), &infoExtents);
    const double infoX = layout.width - kSideMargin - infoExtents.x_advance;
    setColour(cr, kInfo);
    cairo_move_to(cr, infoX, rowTop + 14);
    cairo_show_text(cr, info.c_str());
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 12.5);
    setColour(cr, kTitle);
    cairo_move_to(cr, kSideMargin, rowTop + 14);
    cairo_show_text(cr, fitText(cr, row.title, infoX - 16 - kSideMargin).c_str());
    cairo_restore(cr);

    for (std::size_t b = 0; b < bands.size(); ++b) {
      const WaveformBand& band = bands[b];
      cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
      setColour(cr, kBandBorder);
      cairo_rectangle(cr, band.x - 1, band.y - 1, band.width + 2, band.height + 2);
      cairo_fill(cr);
      setColour(cr, kBandFill);
      cairo_rectangle(cr, band.x, band.y, band.width, band.height);
      cairo_fill(cr);
      for (long t = 1; t <= ticks; ++t) {
        const int x = band.x + static_cast<int>(std::lround(t * step * pixelsPerSecond));
        if (x < band.x + band.width)
          cairo_rectangle(cr, x, band.y, 1, band.height);
      }
      setColour(cr, kGrid);
      cairo_fill(cr);
      setColour(cr, kCentre);
      cairo_rectangle(cr, band.x, band.centreY(), band.width, 1);
      cairo_fill(cr);

      const bool mono = bands.size() == 1;
      drawChannel(cr, band, b == 0 ? row.left : row.right, row.sampleRate, totalSeconds, static_cast<int>(b));

      if (!mono) {
        cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
        cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
        cairo_set_font_size(cr, 10.0);
        const char* letter = b == 0 ? "L" : "R";
        cairo_text_extents_t e;
        cairo_text_extents(cr, letter, &e);
        setColour(cr, kInfo);
        cairo_move_to(cr, band.x - 8 - e.x_advance, band.centreY() - e.y_bearing / 2.0);
        cairo_show_text(cr, letter);
      }
    }
  }

  // Time axis: ticks and labels in seconds under the last row.
  const WaveformBand& lastBand = layout.rows.back().back();
  const int axisTop = layout.axisY;
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  setColour(cr, kInfo);
  for (long t = 0; t <= ticks; ++t) {
    const int x = lastBand.x + static_cast<int>(std::lround(t * step * pixelsPerSecond));
    cairo_rectangle(cr, std::min(x, lastBand.x + lastBand.width - 1), axisTop, 1, 5);
  }
  cairo_fill(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 10.5);
  for (long t = 0; t <= ticks; ++t) {
    const std::string label = formatSeconds(t * step, step);
    cairo_text_extents_t e;
    cairo_text_extents(cr, label.c_str(), &e);
    const double x = lastBand.x + t * step * pixelsPerSecond;
    // Centred on the tick, but kept inside the picture at both ends.
    const double left =
      std::clamp(x - e.x_advance / 2.0, static_cast<double>(lastBand.x), layout.width - kSideMargin - e.x_advance);
    cairo_move_to(cr, left, axisTop + 17);
    cairo_show_text(cr, label.c_str());
  }

  cairo_surface_flush(surface.get());
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS)
    return fail(error, std::string("cannot draw the picture: ") + cairo_status_to_string(cairo_status(cr)));
  const cairo_status_t written = cairo_surface_write_to_png_stream(surface.get(), &appendBytes, &png);
  if (written != CAIRO_STATUS_SUCCESS)
    return fail(error, std::string("cannot encode the picture: ") + cairo_status_to_string(written));
  return true;
}

bool writePicture(const std::string& path, const std::vector<WaveformRow>& rows, int width, std::string* error)
{
  std::vector<unsigned char> png;
  if (!encodePicture(rows, width, png, error))
    return false;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file)
    return fail(error, "cannot write " + path + ": " + std::strerror(errno));
  const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  const int writeError = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(path.c_str());
    return fail(error, "cannot write " + path + ": " + std::strerror(written ? errno : writeError));
  }
  return true;
}

template <typename T>
WaveformRow rowFromInterleaved(std::string title, const T* samples, long frames, int channels, double sampleRate)
{
  WaveformRow row;
  row.title = std::move(title);
  row.sampleRate = sampleRate;
  if (!samples || frames <= 0 || channels <= 0)
    return row;
  const auto count = static_cast<std::size_t>(frames);
  const auto stride = static_cast<std::size_t>(channels);
  for (std::size_t i = 0; i < count; ++i) {
    row.left.add(static_cast<float>(samples[i * stride]));
    if (channels >= 2)
      row.right.add(static_cast<float>(samples[i * stride + 1]));
  }
  return row;
}

} // namespace

void WaveformPeaks::add(float sample)
{
  if (mInLast == mStretchLength || mStretches.empty()) {
    if (static_cast<long>(mStretches.size()) == kMaxStretches)
      mergePairs();
    if (mInLast == mStretchLength || mStretches.empty()) {
      mStretches.emplace_back();
      mInLast = 0;
    }
  }
  Stretch& last = mStretches.back();
  if (!std::isnan(sample)) {
    last.lo = std::min(last.lo, sample);
    last.hi = std::max(last.hi, sample);
    if (std::isfinite(sample)) {
      const double v = sample;
      last.squares += v * v;
      ++last.finite;
    }
  }
  ++mInLast;
  ++mSamples;
}

void WaveformPeaks::add(const float* samples, long count)
{
  for (long i = 0; i < count; ++i)
    add(samples[i]);
}

// Stretch i and i + 1 become stretch i / 2 of twice the length; an odd last one stays alone, as
// the first part of its longer stretch. Every stretch but the last is full, before as after.
void WaveformPeaks::mergePairs()
{
  const std::size_t merged = (mStretches.size() + 1) / 2;
  for (std::size_t i = 0; i < merged; ++i) {
    Stretch stretch = mStretches[2 * i];
    if (2 * i + 1 < mStretches.size()) {
      const Stretch& b = mStretches[2 * i + 1];
      stretch.lo = std::min(stretch.lo, b.lo);
      stretch.hi = std::max(stretch.hi, b.hi);
      stretch.squares += b.squares;
      stretch.finite += b.finite;
    }
    mStretches[i] = stretch;
  }
  mStretches.resize(merged);
  mStretchLength *= 2;
  mInLast = mSamples - static_cast<std::int64_t>(merged - 1) * mStretchLength;
}

void WaveformPeaks::keepAtMost(long maxStretches)
{
  while (static_cast<long>(mStretches.size()) > std::max(1L, maxStretches))
    mergePairs();
  mStretches.shrink_to_fit();
}

WaveformRow WaveformRow::fromInterleaved(std::string title, const float* samples, long frames, int channels,
                                         double sampleRate)
{
  return rowFromInterleaved(std::move(title), samples, frames, channels, sampleRate);
}

WaveformRow WaveformRow::fromInterleaved(std::string title, const double* samples, long frames, int channels,
                                         double sampleRate)
{
  return rowFromInterleaved(std::move(title), samples, frames, channels, sampleRate);
}

WaveformLayout layoutWaveformPicture(const std::vector<WaveformRow>& rows, int width)
{
  WaveformLayout layout;
  layout.width = width;
  const int bandX = kSideMargin + kGutter;
  const int bandWidth = std::max(1, width - bandX - kSideMargin);
  int y = kTopMargin;
  for (const WaveformRow& row : rows) {
    const int bandsTop = y + kTitleHeight;
    if (row.right.samples() == 0) {
      layout.rows.push_back({WaveformBand{bandX, bandsTop, bandWidth, kMonoBand - 1}});
    } else {
      layout.rows.push_back({WaveformBand{bandX, bandsTop, bandWidth, kStereoBand},
                             WaveformBand{bandX, bandsTop + kStereoBand + kBandGap, bandWidth, kStereoBand}});
    }
    y += kWaveformRowHeight;
  }
  if (!layout.rows.empty()) {
    const WaveformBand& last = layout.rows.back().back();
    layout.axisY = last.y + last.height + 1; // just under the band's frame
  }
  layout.height = y + kAxisHeight;
  return layout;
}

bool encodeWaveformPng(const std::vector<WaveformRow>& rows, std::vector<unsigned char>& png, int width,
                       std::string* error) noexcept
{
  try {
    return encodePicture(rows, width, png, error);
  } catch (...) {
    try {
      if (error)
        *error = "cannot draw the picture: out of memory";
    } catch (...) {
    }
    return false;
  }
}

bool writeWaveformPng(const std::string& path, const std::vector<WaveformRow>& rows, int width,
                      std::string* error) noexcept
{
  try {
    return writePicture(path, rows, width, error);
  } catch (...) {
    // Out of memory while drawing; saying so may itself fail.
    try {
      if (error)
        *error = "cannot draw the picture: out of memory";
    } catch (...) {
    }
    return false;
  }
}

} // namespace render
