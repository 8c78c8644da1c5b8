#pragma once

// Powers of a whole block at once with SLEEF's vectorised logarithm and exponential, on the
// widest vector unit that the CPU offers (chosen when the library loads, so the same binary runs
// on any x86-64). Within about 1e-14 relative of the exact power, so the envelope values built
// from them stay within about 1e-14 of a per-sample std::pow. Every element is worked out alone:
// its power does not depend on the others or on where it lies in the block.
//
// Audio thread: allocates nothing.

// out[i] = base[i] raised to `exponent`, for bases 0 … 1 and an exponent above 0.
void powBlock(const double* base, double exponent, double* out, int n);

// out[i] = base[i] raised to exponent[i], for bases 0 … 1 and exponents above 0.
void powBlock(const double* base, const double* exponent, double* out, int n);

// The vector unit in use: "AVX-512", "AVX" or "SSE2".
const char* powBlockUnit();
