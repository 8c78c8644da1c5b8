// SPDX-License-Identifier: ISC
#include "apps/quennet-render/ProgressBar.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "apps/quennet-render/Interruption.h"

namespace render {

namespace {
constexpr auto kQuietTime = std::chrono::seconds(1);
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30; // characters

void writeAll(const char* text, size_t length)
{
  while (length > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, length);
    if (written <= 0)
      return; // a progress bar is not worth failing the render for
    text += written;
    length -= static_cast<size_t>(written);
  }
}
} // namespace

ProgressBar::ProgressBar(bool enabled, std::int64_t frames, double sampleRate)
    : mEnabled(enabled && ::isatty(STDERR_FILENO) == 1),
      mFrames(frames),
      mSampleRate(sampleRate),
      mStart(std::chrono::steady_clock::now()),
      mLastDraw(mStart)
{
}

ProgressBar::~ProgressBar()
{
  finish();
}

void ProgressBar::update(std::int64_t framesDone)
{
  if (!mEnabled)
    return;
  const auto now = std::chrono::steady_clock::now();
  if (now - mStart < kQuietTime || (mDrawn && now - mLastDraw < kRedrawInterval))
    return;
  mLastDraw = now;
  draw(framesDone);
}

void ProgressBar::draw(std::int64_t framesDone)
{
  char line[160];
  int length = 0;
  const double done = static_cast<double>(framesDone) / mSampleRate;
  if (mFrames > 0) {
    // A header may promise less than the file holds; the bar then stays full.
    const std::int64_t total = std::max(mFrames, framesDone);
    const double fraction = std::clamp(static_cast<double>(framesDone) / static_cast<double>(total), 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kBarWidth);
    char bar[kBarWidth + 1];
    for (int i = 0; i < kBarWidth; ++i)
      bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    length = std::snprintf(line, sizeof line, "\rquennet-render [%s] %3d%%  %.1f of %.1f s", bar,
                           static_cast<int>(fraction * 100.0), done, static_cast<double>(total) / mSampleRate);
  } else {
    length = std::snprintf(line, sizeof line, "\rquennet-render  %.1f s rendered", done);
  }
  if (length > 0)
    writeAll(line, std::min(static_cast<size_t>(length), sizeof line - 1));
  mDrawn = true;
  setProgressLineShown(true);
}

void ProgressBar::finish()
{
  if (!mDrawn)
    return;
  mDrawn = false;
  static const char kClear[] = "\r\033[K";
  writeAll(kClear, sizeof kClear - 1);
  setProgressLineShown(false);
}

} // namespace render
