// SPDX-License-Identifier: ISC
#pragma once

namespace quennet {

// The curve of a grain or frame envelope around its peak at the skew s (0 … 1): the rising side
// 1 − (1 − x/s)^in before the peak, the falling side 1 − ((x − s)/(1 − s))^out from it on, each
// side flat at 1 while its fade is off. Positions x are relative, 0 ≤ x < 1.
//
// The fade setters compute the exponents (and which shortcut each allows), so that evaluation
// only takes powers. values() evaluates a whole block of positions at once.
class EnvelopeCurve {
public:
  // Fade amount 0 … 1; 0 switches that side off (flat at 1).
  void setFadeIn(double amount);
  void setFadeOut(double amount);

  // The envelope at one position, with std::pow.
  double value(double x, double skew) const;

  // out[i] = value(x[i], skew) for a block of positions: the same bases, their powers taken
  // together (see PowerBlock.h), so each value stays within about 1e-14 of value().
  void values(const double* x, double* out, int n, double skew) const;

  // Every position gives exactly 1: neither side is shaped at this skew.
  bool isFlat(double skew) const { return !risingSideUsed(skew) && !fallingSideUsed(skew); }

  bool operator==(const EnvelopeCurve&) const = default;

  bool fadeInOn() const { return mIn.on; }
  bool fadeOutOn() const { return mOut.on; }
  double fadeInExponent() const { return mIn.exponent; }
  double fadeOutExponent() const { return mOut.exponent; }

private:
  // How a power of this exponent is taken: exponents 2^k for k = -2 … 4 need no general power.
  enum class Power {
    kLinear, // 1: the base itself, exactly as std::pow gives it
    kSquarings, // 2, 4, 8, 16: the base squared `squarings` times
    kSquareRoots, // 0.5, 0.25: `squarings` square roots
    kGeneral // any other exponent: powBlock
  };

  struct Side {
    bool on = false;
    double exponent = 0.0;
    Power power = Power::kGeneral;
    int squarings = 0;

    void set(double amount);
    // base[i] = base[i]^exponent for a block, the way `power` allows.
    void raise(double* base, int n) const;
    bool operator==(const Side&) const = default;
  };

  // Both sides shaped with different powers: each position's base raised to its own side's
  // exponent (powBlock, a block of exponents at a time).
  void raiseToEachSide(const double* x, double* base, int n, double skew) const;

  // A side is shaped only where its positions exist: the rising side needs a peak above 0, and a
  // peak at 1 leaves no falling side.
  bool risingSideUsed(double skew) const { return mIn.on && skew > 0.0; }
  bool fallingSideUsed(double skew) const { return mOut.on && skew < 1.0; }

  Side mIn;
  Side mOut;
};

} // namespace quennet
