// SPDX-License-Identifier: ISC
// This build's audio path against the native (x86-64) build's: every factory preset rendered at
// double precision on the same input (PresetDoubles.h), every output sample within 1e-9 of the
// native build's. The native numbers come from render-preset-doubles, run by `make test-arm64`
// before this build's tests, into the file QUENNET_NATIVE_DOUBLES names.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "PresetDoubles.h"
#include "PresetDoublesFile.h"
#include "TempHome.h"

using namespace quennet;

namespace {
constexpr double kTolerance = 1e-9;
} // namespace

TEST(PresetDoubles, EveryFactoryPresetWithin1e9OfTheNativeBuild)
{
  std::uint32_t frames = 0;
  const auto native = preset_doubles::readFile(QUENNET_NATIVE_DOUBLES, frames);
  ASSERT_EQ(native.size(), static_cast<size_t>(kNumPresets)) << "no native renders in " << QUENNET_NATIVE_DOUBLES;
  ASSERT_EQ(frames, static_cast<std::uint32_t>(preset_doubles::kFrames));

  const TempHome home;
  std::vector<double> left, right;
  preset_doubles::makeInput(left, right);
  std::printf("%-18s %14s %12s\n", "preset", "max |diff|", "not exact");
  for (int preset = 0; preset < kNumPresets; ++preset) {
    const char* name = kFactoryPresets[static_cast<size_t>(preset)].name;
    SCOPED_TRACE(name);
    const std::vector<double> ours = preset_doubles::render(preset, left, right);
    const std::vector<double>& theirs = native[static_cast<size_t>(preset)];
    double maxDiff = 0.0;
    size_t differing = 0;
    long firstBad = -1;
    for (size_t i = 0; i < ours.size(); ++i) {
      const double a = ours[i], b = theirs[i];
      if (a == b && std::signbit(a) == std::signbit(b))
        continue;
      ++differing;
      // A NaN on either side (the engine never makes one) counts as infinitely far.
      const double diff = std::isnan(a) || std::isnan(b) ? std::numeric_limits<double>::infinity() : std::fabs(a - b);
      maxDiff = std::max(maxDiff, diff);
      if (diff > kTolerance && firstBad < 0)
        firstBad = static_cast<long>(i / 2);
    }
    std::printf("%-18s %14.3g %7zu of %zu\n", name, maxDiff, differing, ours.size());
    EXPECT_LE(maxDiff, kTolerance) << "first frame beyond the tolerance: " << firstBad;
    char summary[96];
    std::snprintf(summary, sizeof summary, "max deviation %.3g, %zu samples not bit-identical", maxDiff, differing);
    testing::Test::RecordProperty(name, summary);
  }
}
