// SPDX-License-Identifier: ISC
#pragma once

#include <chrono>
#include <cstdint>

namespace render {

// A one-line progress bar on stderr, drawn only when stderr is a terminal and only once the render
// has run for more than a second (short renders stay silent). update() is cheap enough for every
// block: it redraws at most ten times a second and allocates nothing.
class ProgressBar {
public:
  // `enabled` false (--quiet) never draws. `expectedFrames` is what the stream should hold as far
  // as the input's header tells; 0 when unknown (a pipe): then only the seconds done are shown.
  ProgressBar(bool enabled, std::int64_t expectedFrames, double sampleRate);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void update(std::int64_t framesDone);
  // Clears the bar, if one was drawn.
  void finish();

private:
  void draw(std::int64_t framesDone);

  bool mEnabled;
  bool mDrawn = false;
  std::int64_t mFrames;
  double mSampleRate;
  std::chrono::steady_clock::time_point mStart;
  std::chrono::steady_clock::time_point mLastDraw;
};

} // namespace render
