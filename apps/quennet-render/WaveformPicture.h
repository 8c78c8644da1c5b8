// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace render {

// What a picture needs of one channel, gathered sample by sample in bounded memory: the samples
// are cut into stretches of equal length (a power of two), each keeping its minimum, maximum and
// sum of squares. Up to kMaxStretches samples every stretch is one sample, so the picture is
// exact; beyond, neighbouring stretches merge pairwise whenever they would outgrow the limit, so a
// pixel column of a long file still spans many stretches and no peak is ever lost.
class WaveformPeaks {
public:
  static constexpr long kMaxStretches = 1L << 16;

  struct Stretch {
    float lo = std::numeric_limits<float>::infinity(); // over the samples that are not NaN;
    float hi = -std::numeric_limits<float>::infinity(); // lo > hi: NaN only
    double squares = 0.0; // sum over the finite samples
    std::uint64_t finite = 0;
  };

  void add(float sample);
  void add(const float* samples, long count);
  void add(const std::vector<float>& samples) { add(samples.data(), static_cast<long>(samples.size())); }
  // Merges neighbouring stretches pairwise until at most maxStretches (≥ 1) are left, and frees
  // the room of the others: for a row that takes no more samples and waits among many to be
  // drawn. The picture then keeps from maxStretches / 2 stretches up, so a column's edges move by
  // less than a stretch as always.
  void keepAtMost(long maxStretches);

  std::int64_t samples() const { return mSamples; }
  // Samples per stretch; stretch i holds samples [i · stretchLength, (i + 1) · stretchLength).
  std::int64_t stretchLength() const { return mStretchLength; }
  const std::vector<Stretch>& stretches() const { return mStretches; }

private:
  void mergePairs();

  std::vector<Stretch> mStretches;
  std::int64_t mStretchLength = 1;
  std::int64_t mSamples = 0;
  std::int64_t mInLast = 0; // samples in the last stretch
};

// One row of a waveform picture: a title and the audio of one file.
struct WaveformRow {
  std::string title;
  WaveformPeaks left; // full scale is -1 … 1
  WaveformPeaks right; // no samples for a mono row, otherwise exactly as many as left
  double sampleRate = 48000.0; // Hz

  // From interleaved frames as libsndfile delivers them. One channel gives a mono row; with more
  // than two channels only the first two are taken.
  static WaveformRow fromInterleaved(std::string title, const float* samples, long frames, int channels,
                                     double sampleRate);
  static WaveformRow fromInterleaved(std::string title, const double* samples, long frames, int channels,
                                     double sampleRate);
};

constexpr int kWaveformDefaultWidth = 1600; // pixels
constexpr int kWaveformMinWidth = 320;
constexpr int kWaveformMaxWidth = 16384;
constexpr int kWaveformRowHeight = 120; // pixels per row, title included
// The most rows one picture holds: Cairo's images are at most 32767 pixels high.
constexpr int kWaveformMaxRows = (32767 - 12 - 28) / kWaveformRowHeight; // 272

// Where one channel of a row is drawn. Value v (clamped to -1 … 1) of a pixel column lands on pixel
// row centreY() - round(v * halfHeight()): full scale touches the first and last pixel row of the
// band, silence is the single centre row.
struct WaveformBand {
  int x = 0, y = 0, width = 0, height = 0; // pixels; height is odd

  int centreY() const { return y + height / 2; }
  int halfHeight() const { return height / 2; }
};

struct WaveformLayout {
  int width = 0, height = 0; // of the whole picture
  std::vector<std::vector<WaveformBand>> rows; // per row: {left, right}, or {mono}
  int axisY = 0; // top of the time axis under the last row
};

// The geometry writeWaveformPng() uses: picture height = 12 + rows × kWaveformRowHeight + 28.
WaveformLayout layoutWaveformPicture(const std::vector<WaveformRow>& rows, int width);

// Draws one row per entry, all on the same time scale (the longest row spans the full width), with
// the left channel above the right, minimum to maximum per pixel column (so no peak is lost however
// long the file) and the RMS of the column inside it, and a time axis in seconds under the last row;
// samples beyond full scale are marked red at the edge of the band. Writes the picture as a PNG.
// Returns false and, if error is given, a one-line reason when the rows are invalid (none, a
// sample rate that is not positive, channels of different lengths), the width is outside
// kWaveformMinWidth … kWaveformMaxWidth, the picture would be too tall, or the file cannot be
// written. Never throws.
bool writeWaveformPng(const std::string& path, const std::vector<WaveformRow>& rows, int width = kWaveformDefaultWidth,
                      std::string* error = nullptr) noexcept;

// The same picture as PNG bytes in `png`, for a caller that writes the file itself.
bool encodeWaveformPng(const std::vector<WaveformRow>& rows, std::vector<unsigned char>& png,
                       int width = kWaveformDefaultWidth, std::string* error = nullptr) noexcept;

} // namespace render
