#pragma once

// Powers of a whole block at once, on the widest vector unit that the CPU offers (chosen at run
// time, so the same binary runs on any x86-64). Accurate to about 1e-14 relative to the exact
// power: the envelope values built from them stay far within 1e-12 of a per-sample std::pow.
//
// Audio thread: allocates nothing.

// out[i] = base[i] raised to `exponent`, for bases 0 … 1 and an exponent above 0.
void powBlock(const double* base, double exponent, double* out, int n);

// out[i] = base[i] raised to exponent[i], for bases 0 … 1 and exponents above 0.
void powBlock(const double* base, const double* exponent, double* out, int n);

// The vector unit in use: "AVX-512", "AVX" or "SSE2".
const char* powBlockUnit();
