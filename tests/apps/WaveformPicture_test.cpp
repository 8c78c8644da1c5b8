// SPDX-License-Identifier: ISC
// Writes waveform pictures of known signals into a temporary folder and reads the PNG back with
// Cairo's reader to see where the ink landed.

#include "apps/quennet-render/WaveformPicture.h"

#include <gtest/gtest.h>

#include "TempDir.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using render::kWaveformRowHeight;
using render::layoutWaveformPicture;
using render::WaveformBand;
using render::WaveformRow;
using render::writeWaveformPng;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Cairo and fontconfig keep font caches for the life of the process; releasing them at the end
// keeps LeakSanitizer builds quiet.
class ReleaseFontCaches : public ::testing::Environment {
public:
  void TearDown() override
  {
    cairo_debug_reset_static_data();
    FcFini();
  }
};
const ::testing::Environment* const kReleaseFontCaches = ::testing::AddGlobalTestEnvironment(new ReleaseFontCaches);

class Png {
public:
  explicit Png(const fs::path& path) : mSurface(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Png() { cairo_surface_destroy(mSurface); }
  Png(const Png&) = delete;
  Png& operator=(const Png&) = delete;

  bool ok() const { return cairo_surface_status(mSurface) == CAIRO_STATUS_SUCCESS; }
  int width() const { return cairo_image_surface_get_width(mSurface); }
  int height() const { return cairo_image_surface_get_height(mSurface); }

  std::uint32_t pixel(int x, int y) const
  {
    const unsigned char* row = cairo_image_surface_get_data(mSurface) + y * cairo_image_surface_get_stride(mSurface);
    return reinterpret_cast<const std::uint32_t*>(row)[x];
  }
  // Waveform, centre line and text are dark; page, band fill, frame and grid are light.
  bool ink(int x, int y) const
  {
    const std::uint32_t p = pixel(x, y);
    const double luma = 0.299 * ((p >> 16) & 0xFF) + 0.587 * ((p >> 8) & 0xFF) + 0.114 * (p & 0xFF);
    return luma < 180.0;
  }
  bool red(int x, int y) const
  {
    const std::uint32_t p = pixel(x, y);
    return ((p >> 16) & 0xFF) > 150 && ((p >> 8) & 0xFF) < 100 && (p & 0xFF) < 100;
  }
  // Pixel rows of the band holding ink in column x (band-relative), or {-1, -1}.
  std::pair<int, int> inkSpan(const WaveformBand& band, int x) const
  {
    int top = -1, bottom = -1;
    for (int y = band.y; y < band.y + band.height; ++y)
      if (ink(band.x + x, y)) {
        if (top < 0)
          top = y - band.y;
        bottom = y - band.y;
      }
    return {top, bottom};
  }

private:
  cairo_surface_t* mSurface;
};

// Alternating +1/-1 every 24 samples (a 1 kHz square wave at 48 kHz), right channel inverted.
WaveformRow squareRow(double seconds)
{
  const long frames = std::lround(seconds * 48000.0);
  std::vector<double> interleaved;
  for (long i = 0; i < frames; ++i) {
    const double v = (i / 24) % 2 == 0 ? 1.0 : -1.0;
    interleaved.push_back(v);
    interleaved.push_back(-v);
  }
  return WaveformRow::fromInterleaved("square", interleaved.data(), frames, 2, 48000.0);
}

WaveformRow silentRow(double seconds)
{
  WaveformRow row;
  row.title = "silence";
  row.left.add(std::vector<float>(static_cast<std::size_t>(std::lround(seconds * 48000.0)), 0.0f));
  row.right = row.left;
  return row;
}

TEST(WaveformPicture, InkFollowsTheSignalOnACommonTimeScale)
{
  TempDir temp("quennet-waveform");
  ASSERT_FALSE(temp.path().empty());
  // 1 s of square wave above 2 s of silence: the time scale is 2 s, so the square fills the left
  // half of its bands. The third row is a mono 1 kHz sine at half scale, sampled at 44.1 kHz.
  WaveformRow sine;
  sine.title = "sine";
  sine.sampleRate = 44100.0;
  for (int i = 0; i < 88200; ++i)
    sine.left.add(static_cast<float>(0.5 * std::sin(2.0 * kPi * 1000.0 * i / 44100.0)));
  const std::vector<WaveformRow> rows = {squareRow(1.0), silentRow(2.0), sine};
  const fs::path path = temp.path() / "wave.png";
  std::string error;
  ASSERT_TRUE(writeWaveformPng(path.string(), rows, 800, &error)) << error;

  Png png(path);
  ASSERT_TRUE(png.ok());
  EXPECT_EQ(png.width(), 800);
  EXPECT_EQ(png.height(), 12 + 3 * kWaveformRowHeight + 28);

  const auto layout = layoutWaveformPicture(rows, 800);
  ASSERT_EQ(layout.rows.size(), 3u);
  ASSERT_EQ(layout.rows[0].size(), 2u);
  ASSERT_EQ(layout.rows[1].size(), 2u);
  ASSERT_EQ(layout.rows[2].size(), 1u);
  // Left band above the right one, and rows in order down the picture.
  EXPECT_LT(layout.rows[0][0].y + layout.rows[0][0].height, layout.rows[0][1].y);
  EXPECT_LT(layout.rows[0][1].y + layout.rows[0][1].height, layout.rows[1][0].y);
  EXPECT_LE(layout.rows[2][0].y + layout.rows[2][0].height, layout.axisY);

  for (const WaveformBand& band : layout.rows[0]) {
    SCOPED_TRACE("square band at y " + std::to_string(band.y));
    const int half = band.width / 2;
    for (int x = 0; x < band.width; ++x) {
      const auto [top, bottom] = png.inkSpan(band, x);
      if (x < half - 1) {
        // Full scale both ways in every column: ink from the first to the last pixel row.
        EXPECT_EQ(top, 0) << "column " << x;
        EXPECT_EQ(bottom, band.height - 1) << "column " << x;
      } else if (x > half + 1) {
        // After the end of the row only the centre line.
        EXPECT_EQ(top, band.height / 2) << "column " << x;
        EXPECT_EQ(bottom, band.height / 2) << "column " << x;
      }
      EXPECT_FALSE(png.red(band.x + x, band.y)) << "full scale is not clipping, column " << x;
    }
  }
  for (const WaveformBand& band : layout.rows[1]) {
    SCOPED_TRACE("silent band at y " + std::to_string(band.y));
    for (int x = 0; x < band.width; ++x) {
      const auto [top, bottom] = png.inkSpan(band, x);
      EXPECT_EQ(top, band.height / 2) << "column " << x;
      EXPECT_EQ(bottom, band.height / 2) << "column " << x;
    }
  }
  {
    // Half scale reaches half way from the centre line to the edge (within a pixel), in every
    // column: a column spans 2 s / 746 px = 118 samples, more than two periods.
    const WaveformBand& band = layout.rows[2][0];
    const double reach = 0.5 * (band.height / 2);
    for (int x = 0; x < band.width - 1; ++x) {
      const auto [top, bottom] = png.inkSpan(band, x);
      EXPECT_NEAR(band.height / 2 - top, reach, 1.0) << "column " << x;
      EXPECT_NEAR(bottom - band.height / 2, reach, 1.0) << "column " << x;
    }
  }
}

TEST(WaveformPicture, SingleSampleInALongFileIsNotLost)
{
  TempDir temp("quennet-waveform");
  ASSERT_FALSE(temp.path().empty());
  // Ten minutes of silence at 48 kHz with one full-scale sample at 370.5 s: a pixel column holds
  // some 18 600 samples, so picking samples instead of taking the extremes would miss it.
  WaveformRow row;
  row.title = "long";
  const double spikeSeconds = 370.5;
  const long spike = static_cast<long>(spikeSeconds * 48000);
  row.left.add(std::vector<float>(static_cast<std::size_t>(spike), 0.0f));
  row.left.add(1.0f);
  row.left.add(std::vector<float>(static_cast<std::size_t>(600 * 48000 - spike - 1), 0.0f));
  const std::vector<WaveformRow> rows = {row};
  const fs::path path = temp.path() / "long.png";
  std::string error;
  ASSERT_TRUE(writeWaveformPng(path.string(), rows, 1600, &error)) << error;

  Png png(path);
  ASSERT_TRUE(png.ok());
  const WaveformBand band = layoutWaveformPicture(rows, 1600).rows[0][0];
  const int expected = static_cast<int>(spikeSeconds / 600.0 * band.width);
  std::vector<int> reachingTop;
  for (int x = 0; x < band.width; ++x)
    if (png.inkSpan(band, x).first == 0)
      reachingTop.push_back(x);
  ASSERT_FALSE(reachingTop.empty());
  EXPECT_LE(reachingTop.size(), 2u); // the spike's column, and at most its left neighbour joining it
  EXPECT_NEAR(reachingTop.back(), expected, 1);
}

TEST(WaveformPicture, OverFullScaleIsMarkedRedAndOddSamplesAreDrawn)
{
  TempDir temp("quennet-waveform");
  ASSERT_FALSE(temp.path().empty());
  WaveformRow hot;
  hot.title = "too hot";
  hot.left.add(std::vector<float>(48000, 1.5f));
  hot.right.add(std::vector<float>(48000, -0.25f));
  WaveformRow odd;
  odd.title = "odd samples";
  odd.left.add(std::vector<float>(48000, std::numeric_limits<float>::quiet_NaN()));
  odd.right.add(std::vector<float>(48000, std::numeric_limits<float>::infinity()));
  WaveformRow empty;
  empty.title = "empty";
  const std::vector<WaveformRow> rows = {hot, odd, empty};
  const fs::path path = temp.path() / "hot.png";
  std::string error;
  ASSERT_TRUE(writeWaveformPng(path.string(), rows, 600, &error)) << error;

  Png png(path);
  ASSERT_TRUE(png.ok());
  const auto layout = layoutWaveformPicture(rows, png.width());
  const WaveformBand& left = layout.rows[0][0];
  const WaveformBand& right = layout.rows[0][1];
  for (int x = 0; x < left.width; x += 7) {
    EXPECT_TRUE(png.red(left.x + x, left.y)) << "column " << x;
    EXPECT_FALSE(png.red(left.x + x, left.y + left.height - 1)) << "column " << x;
    EXPECT_FALSE(png.red(right.x + x, right.y)) << "column " << x;
    EXPECT_FALSE(png.red(right.x + x, right.y + right.height - 1)) << "column " << x;
  }
  // NaN draws nothing but the centre line; +inf is over full scale.
  const WaveformBand& nanBand = layout.rows[1][0];
  const WaveformBand& infBand = layout.rows[1][1];
  EXPECT_EQ(png.inkSpan(nanBand, 10), std::make_pair(nanBand.height / 2, nanBand.height / 2));
  EXPECT_TRUE(png.red(infBand.x + 10, infBand.y));
}

TEST(WaveformPicture, PeaksKeepEveryExtremeInBoundedMemory)
{
  // 10 million samples of 0.5 with a NaN every 1000 and single extremes: the stretches merge,
  // yet their totals are exactly those of the samples.
  render::WaveformPeaks peaks;
  const long n = 10000000;
  for (long i = 0; i < n; ++i) {
    float v = 0.5f;
    if (i % 1000 == 999)
      v = std::numeric_limits<float>::quiet_NaN();
    else if (i == 1234567)
      v = -3.0f;
    else if (i == 7654321)
      v = 2.0f;
    peaks.add(v);
  }
  EXPECT_EQ(peaks.samples(), n);
  EXPECT_LE(static_cast<long>(peaks.stretches().size()), render::WaveformPeaks::kMaxStretches);
  EXPECT_GT(static_cast<long>(peaks.stretches().size()), render::WaveformPeaks::kMaxStretches / 2);
  EXPECT_EQ(peaks.stretchLength(), 256); // 10^7 / 2^16 = 152.6, rounded up to a power of two
  float lo = 0.0f, hi = 0.0f;
  double squares = 0.0;
  std::uint64_t finite = 0;
  for (const auto& s : peaks.stretches()) {
    lo = std::min(lo, s.lo);
    hi = std::max(hi, s.hi);
    squares += s.squares;
    finite += s.finite;
  }
  EXPECT_EQ(lo, -3.0f);
  EXPECT_EQ(hi, 2.0f);
  EXPECT_EQ(finite, static_cast<std::uint64_t>(n - n / 1000));
  EXPECT_DOUBLE_EQ(squares, (n - n / 1000 - 2) * 0.25 + 9.0 + 4.0);
  // The extremes sit in the stretches that hold them.
  EXPECT_EQ(peaks.stretches()[1234567 / 256].lo, -3.0f);
  EXPECT_EQ(peaks.stretches()[7654321 / 256].hi, 2.0f);
}

TEST(WaveformPicture, PeaksKeptToFewerStretchesKeepTheirTotalsAndGoOnGrowing)
{
  // 1000 samples at most 100 stretches: 1000 / 8 = 125 is too many, so stretches of 16 samples,
  // 62 full ones and a last one of 8; the extremes sit in the stretches 300 / 16 and 777 / 16.
  render::WaveformPeaks peaks;
  for (int i = 0; i < 1000; ++i)
    peaks.add(i == 300 ? -2.0f : i == 777 ? 1.5f : 0.25f);
  peaks.keepAtMost(100);
  ASSERT_EQ(peaks.stretches().size(), 63u);
  EXPECT_EQ(peaks.stretchLength(), 16);
  EXPECT_EQ(peaks.samples(), 1000);
  EXPECT_EQ(peaks.stretches()[18].lo, -2.0f);
  EXPECT_EQ(peaks.stretches()[48].hi, 1.5f);
  EXPECT_EQ(peaks.stretches()[62].finite, 8u);
  EXPECT_DOUBLE_EQ(peaks.stretches()[62].squares, 8 * 0.0625);
  // Eight more samples fill the last stretch, the ninth starts another.
  for (int i = 0; i < 9; ++i)
    peaks.add(0.5f);
  ASSERT_EQ(peaks.stretches().size(), 64u);
  EXPECT_EQ(peaks.stretches()[62].finite, 16u);
  EXPECT_DOUBLE_EQ(peaks.stretches()[62].squares, 8 * 0.0625 + 8 * 0.25);
  EXPECT_EQ(peaks.stretches()[63].finite, 1u);
  // A single stretch at most: all samples in one.
  peaks.keepAtMost(1);
  ASSERT_EQ(peaks.stretches().size(), 1u);
  EXPECT_EQ(peaks.stretchLength(), 1024);
  EXPECT_EQ(peaks.stretches()[0].finite, 1009u);
  EXPECT_EQ(peaks.stretches()[0].lo, -2.0f);
  EXPECT_EQ(peaks.stretches()[0].hi, 1.5f);
}

TEST(WaveformPicture, RowsGatheredPieceByPieceDrawTheSamePicture)
{
  // 5 s of a swept sine at 48 kHz, beyond the stretch limit: whole, in odd pieces, and sample by
  // sample, the picture's bytes are the same.
  const long frames = 5 * 48000;
  std::vector<float> left(static_cast<std::size_t>(frames)), right(static_cast<std::size_t>(frames));
  for (long i = 0; i < frames; ++i) {
    const double t = i / 48000.0;
    left[static_cast<std::size_t>(i)] = static_cast<float>(std::sin(2.0 * kPi * (50.0 + 40.0 * t) * t) * t / 5.0);
    right[static_cast<std::size_t>(i)] = static_cast<float>(std::cos(2.0 * kPi * 3.0 * t));
  }
  WaveformRow whole;
  whole.title = "sweep";
  whole.left.add(left);
  whole.right.add(right);
  WaveformRow pieces;
  pieces.title = "sweep";
  for (long at = 0, piece = 1; at < frames; at += piece, piece = piece * 3 % 1009 + 1) {
    const long n = std::min(piece, frames - at);
    pieces.left.add(left.data() + at, n);
    pieces.right.add(right.data() + at, n);
  }
  std::vector<unsigned char> a, b;
  std::string error;
  ASSERT_TRUE(render::encodeWaveformPng({whole}, a, 900, &error)) << error;
  ASSERT_TRUE(render::encodeWaveformPng({pieces}, b, 900, &error)) << error;
  EXPECT_TRUE(a == b);
  EXPECT_GT(a.size(), 1000u);
}

TEST(WaveformPicture, RefusesBadInputWithAReason)
{
  TempDir temp("quennet-waveform");
  ASSERT_FALSE(temp.path().empty());
  WaveformRow uneven;
  uneven.left.add(std::vector<float>(4800, 0.0f));
  uneven.right.add(std::vector<float>(4799, 0.0f));
  WaveformRow noRate = silentRow(0.1);
  noRate.sampleRate = 0.0;
  WaveformRow nanRate = silentRow(0.1);
  nanRate.sampleRate = std::numeric_limits<double>::quiet_NaN();

  struct Case {
    const char* name;
    std::vector<WaveformRow> rows;
    int width;
    fs::path path;
  };
  const fs::path good = temp.path() / "out.png";
  const Case cases[] = {
    {"no rows", {}, 800, good},
    {"channels of different length", {uneven}, 800, good},
    {"zero sample rate", {noRate}, 800, good},
    {"NaN sample rate", {nanRate}, 800, good},
    {"too narrow", {silentRow(0.1)}, 319, good},
    {"too wide", {silentRow(0.1)}, 16385, good},
    {"too many rows", std::vector<WaveformRow>(render::kWaveformMaxRows + 1, WaveformRow{}), 800, good},
    {"missing folder", {silentRow(0.1)}, 800, temp.path() / "missing" / "out.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(writeWaveformPng(c.path.string(), c.rows, c.width, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(c.path));
    EXPECT_FALSE(writeWaveformPng(c.path.string(), c.rows, c.width, nullptr));
  }
}

} // namespace
