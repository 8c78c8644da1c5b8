// SPDX-License-Identifier: ISC
#include "dsp/EnvelopeCurve.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "dsp/PowerBlock.h"
#include "dsp/VectorClones.h"

namespace quennet {

namespace {
constexpr int kExponentBlock = 256; // exponents per powBlock call when the two sides differ

// A positive finite power of two (frexp would give 0.5), read from the bits without a library
// call: a normal number without mantissa bits, or a subnormal one with a single mantissa bit.
bool isPowerOfTwo(double value)
{
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t exponent = bits >> 52; // with the sign: negative values come out above 0x7FF
  const std::uint64_t mantissa = bits & 0xFFFFFFFFFFFFFull;
  if (exponent == 0)
    return std::has_single_bit(mantissa);
  return exponent < 0x7FF && mantissa == 0;
}

// The power bases of a block of positions: below the peak the rising side's 1 - x/s, from the
// peak on the falling side's (x - s)/(1 - s). Each side divides by its divisor or multiplies by
// `by` (an exact reciprocal, or 0 for a side that is off, which with risingOne 0 gives base ±0).
// Both sides for every position, then the one that applies: loops the compiler vectorises, a copy
// per vector unit (VectorClones.h).
QUENNET_VECTOR_CLONES void powerBases(const double* __restrict x, double* __restrict base, int n, double skew,
                                      bool risingDivides, bool fallingDivides, double risingOne, double risingBy,
                                      double fallingBy)
{
  const double fallingSpan = 1.0 - skew;
  const auto loop = [&](auto risingDivision, auto fallingDivision) {
    for (int i = 0; i < n; ++i) {
      const double up = decltype(risingDivision)::value ? 1.0 - x[i] / skew : risingOne - x[i] * risingBy;
      const double down = decltype(fallingDivision)::value ? (x[i] - skew) / fallingSpan : (x[i] - skew) * fallingBy;
      base[i] = skew > x[i] ? up : down;
    }
  };
  if (risingDivides && fallingDivides)
    loop(std::true_type{}, std::true_type{});
  else if (risingDivides)
    loop(std::true_type{}, std::false_type{});
  else if (fallingDivides)
    loop(std::false_type{}, std::true_type{});
  else
    loop(std::false_type{}, std::false_type{});
}

// The bases exactly as value() forms them. A side that is off gets base ±0, whose power is ±0
// for every exponent here: its value comes out as 1 - (±0) = 1, as value() gives. Dividing by a
// power of two only scales, so such a divisor becomes an exact multiplication by its reciprocal
// (a peak in the middle, the default, is such a case, and so is a peak at 0 with x / 1).
void formPowerBases(const double* x, double* base, int n, double skew, bool rising, bool falling)
{
  const double fallingSpan = 1.0 - skew;
  const bool risingDivides = rising && !isPowerOfTwo(skew);
  const bool fallingDivides = falling && !isPowerOfTwo(fallingSpan);
  const double risingOne = rising ? 1.0 : 0.0;
  const double risingBy = rising && !risingDivides ? 1.0 / skew : 0.0;
  const double fallingBy = falling && !fallingDivides ? 1.0 / fallingSpan : 0.0;
  powerBases(x, base, n, skew, risingDivides, fallingDivides, risingOne, risingBy, fallingBy);
}
} // namespace

void EnvelopeCurve::Side::set(double amount)
{
  on = amount > 0.0;
  // 2^(4t) falls from 16 (amount near 0) through 4 (0.25) and 1 (0.5, a straight line) to 0.5
  // (0.75) and 0.25 (1). The two halves have different slopes in the power of two (-8 and -4) and
  // meet at 0.5.
  const double t = amount <= 0.5 ? 1.0 - 2.0 * amount : 0.5 - amount;
  exponent = std::pow(2.0, 4.0 * t);

  power = Power::kGeneral;
  squarings = 0;
  int k = 0;
  const double mantissa = std::frexp(exponent, &k); // exponent = mantissa × 2^k, mantissa 0.5 … 1
  if (mantissa == 0.5 && k >= -1 && k <= 5) {
    // exponent = 2^(k - 1)
    if (k == 1)
      power = Power::kLinear;
    else if (k > 1) {
      power = Power::kSquarings;
      squarings = k - 1;
    } else {
      power = Power::kSquareRoots;
      squarings = 1 - k;
    }
  }
}

void EnvelopeCurve::setFadeIn(double amount)
{
  mIn.set(amount);
}

void EnvelopeCurve::setFadeOut(double amount)
{
  mOut.set(amount);
}

double EnvelopeCurve::value(double x, double skew) const
{
  if (skew > x) {
    if (!mIn.on)
      return 1.0;
    return 1.0 - std::pow(1.0 - x / skew, mIn.exponent);
  }
  if (!mOut.on)
    return 1.0;
  // A peak at the very end leaves no falling side: stay at the peak instead of dividing 0 by 0
  // (reachable only from x >= 1, which the grain box never asks for).
  if (!(skew < 1.0))
    return 1.0;
  return 1.0 - std::pow((x - skew) / (1.0 - skew), mOut.exponent);
}

void EnvelopeCurve::values(const double* x, double* out, int n, double skew) const
{
  const bool rising = risingSideUsed(skew);
  const bool falling = fallingSideUsed(skew);
  if (!rising && !falling) {
    for (int i = 0; i < n; ++i)
      out[i] = 1.0;
    return;
  }

  formPowerBases(x, out, n, skew, rising, falling);
  // One exponent for the block when only one side is shaped, or both alike.
  const bool mixed = rising && falling && (mIn.exponent != mOut.exponent || mIn.power != mOut.power);
  if (mixed)
    raiseToEachSide(x, out, n, skew);
  else
    (rising ? mIn : mOut).raise(out, n);

  for (int i = 0; i < n; ++i)
    out[i] = 1.0 - out[i];
}

void EnvelopeCurve::raiseToEachSide(const double* x, double* base, int n, double skew) const
{
  double exponents[kExponentBlock];
  for (int start = 0; start < n; start += kExponentBlock) {
    const int m = n - start < kExponentBlock ? n - start : kExponentBlock;
    const double risingExponent = mIn.exponent;
    const double fallingExponent = mOut.exponent;
    for (int i = 0; i < m; ++i)
      exponents[i] = skew > x[start + i] ? risingExponent : fallingExponent;
    powBlock(base + start, exponents, base + start, m);
  }
}

void EnvelopeCurve::Side::raise(double* base, int n) const
{
  switch (power) {
    case Power::kLinear: break; // b^1 = b exactly
    case Power::kSquarings:
      // Within a few units in the last place of std::pow.
      for (int s = 0; s < squarings; ++s)
        for (int i = 0; i < n; ++i)
          base[i] = base[i] * base[i];
      break;
    case Power::kSquareRoots:
      for (int s = 0; s < squarings; ++s)
        for (int i = 0; i < n; ++i)
          base[i] = std::sqrt(base[i]);
      break;
    case Power::kGeneral: powBlock(base, exponent, base, n); break;
  }
}

} // namespace quennet
