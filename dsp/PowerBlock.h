// SPDX-License-Identifier: ISC
#pragma once

#include <span>

namespace quennet {

// Powers of a whole block at once with SLEEF's vectorised logarithm and exponential, on the
// widest vector unit that the CPU offers (chosen when the library loads, so the same binary runs
// on any x86-64): AVX-512, AVX or SSE2 on x86-64, AdvSIMD on aarch64, a plain scalar loop on any
// other target. Within about 1e-14 relative of the exact power, so the envelope values built
// from them stay within about 1e-14 of a per-sample std::pow. Every element is worked out alone:
// its power does not depend on the others or on where it lies in the block.
//
// Audio thread: allocates nothing.

// out[i] = base[i] raised to `exponent`, for bases 0 … 1 and an exponent above 0.
void powBlock(const double* base, double exponent, double* out, int n);

// out[i] = base[i] raised to exponent[i], for bases 0 … 1 and exponents above 0.
void powBlock(const double* base, const double* exponent, double* out, int n);

// The vector unit in use: "AVX-512", "AVX", "SSE2", "AdvSIMD" or "scalar".
const char* powBlockUnit();

// One implementation of powBlock for one vector unit: out[i] = base[i] raised to
// exponent[i · exponentStride] (a stride of 0 repeats exponent[0]).
struct PowBlockKernel {
  const char* unit;
  void (*run)(const double* base, const double* exponent, int exponentStride, double* out, int n);
};

// Every kernel of this build that the CPU at hand can run (within the build's vector cap), the
// one powBlock uses first, the portable scalar one last: for tests that hold each to the same
// accuracy, whichever CPU they run on.
std::span<const PowBlockKernel> powBlockKernels();

} // namespace quennet
