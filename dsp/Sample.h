// SPDX-License-Identifier: ISC
#pragma once

namespace quennet {

// One stereo pair, passed by value into and out of the grain engine.
struct Sample {
  double left = 0.0;
  double right = 0.0;

  constexpr Sample() = default;
  constexpr Sample(double l, double r) : left(l), right(r) {}
};

// Grain timing mode; the Grain Mode parameter's value is passed through unchanged.
enum eGrainMode {
  kGrainModeMsec = 0, // integer grain length from milliseconds
  kGrainModeSync = 1, // integer grain length from the host tempo, in samples
  kGrainModeFreq = 2, // fractional grain length from the grain frequency, interpolated reads
  kGrainModeMidi = 3 // fractional grain length from the note of each voice, interpolated reads
};

} // namespace quennet
