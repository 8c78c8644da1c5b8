// SPDX-License-Identifier: ISC
#include "dsp/PowerBlock.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif
#include <sleef.h>

namespace quennet {

// Every kernel computes b^e as 2^(e log2 b), with a logarithm within 3.5 ULP and an exponential
// within 1 ULP: the error relative to b^e grows with |e log2 b|, which stays below 70 wherever b^e
// exceeds 1e-21, so there b^e is within about 2e-14 relative, and below that within 1e-34 absolute
// (base 0 gives 2^-inf = 0). About three times as fast as SLEEF's pow, whose 1 ULP the envelopes
// do not need. The vector kernels pad a short tail with 1^1, so each value is worked out alone.
//
// A build may cap the x86 units (QUENNET_VECTOR_CAP, for benchmarks of CPUs without AVX-512 or
// AVX2): QUENNET_VECTOR_CAP_AVX2 leaves out AVX-512; QUENNET_VECTOR_CAP_SSE2 leaves out AVX too and
// takes SLEEF's SSE2 functions, which such CPUs run, in place of its dispatcher, which picks
// fused multiply-add variants here.

namespace {
// The portable form, for any target: one value at a time with SLEEF's scalar functions.
void kernelScalar(const double* base, const double* exponent, int stride, double* out, int n)
{
  for (int i = 0; i < n; ++i)
    out[i] = Sleef_exp2_u10(exponent[i * stride] * Sleef_log2_u35(base[i]));
}

#if defined(__x86_64__)
// sleef.h declares its 256- and 512-bit functions only to code compiled for those units; the
// functions below are compiled for them one by one and called only when the CPU has the unit.
// Each is SLEEF's own dispatcher for its width, which picks the variant for the CPU (with fused
// multiply-add where there is one).
extern "C" {
__attribute__((target("avx"))) __m256d Sleef_exp2d4_u10(__m256d);
__attribute__((target("avx"))) __m256d Sleef_log2d4_u35(__m256d);
__attribute__((target("avx512f"))) __m512d Sleef_exp2d8_u10(__m512d);
__attribute__((target("avx512f"))) __m512d Sleef_log2d8_u35(__m512d);
}

// SLEEF's 128-bit functions: its dispatcher, and its SSE2 variants alone.
struct SleefDispatched {
  static __m128d exp2(__m128d x) { return Sleef_exp2d2_u10(x); }
  static __m128d log2(__m128d x) { return Sleef_log2d2_u35(x); }
};
struct SleefSse2 {
  static __m128d exp2(__m128d x) { return Sleef_exp2d2_u10sse2(x); }
  static __m128d log2(__m128d x) { return Sleef_log2d2_u35sse2(x); }
};

// Two values at a time with the SLEEF functions given.
template <typename Sleef>
__m128d pow2(__m128d b, __m128d e)
{
  return Sleef::exp2(_mm_mul_pd(e, Sleef::log2(b)));
}

template <typename Sleef>
void kernelSse2(const double* base, const double* exponent, int stride, double* out, int n)
{
  int i = 0;
  for (; i + 2 <= n; i += 2)
    _mm_storeu_pd(out + i,
                  pow2<Sleef>(_mm_loadu_pd(base + i), stride ? _mm_loadu_pd(exponent + i) : _mm_set1_pd(exponent[0])));
  if (i < n) {
    // The last odd value: pad with 1^1.
    alignas(16) double b[2] = {base[i], 1.0};
    alignas(16) double e[2] = {exponent[stride ? i : 0], 1.0};
    _mm_store_pd(b, pow2<Sleef>(_mm_load_pd(b), _mm_load_pd(e)));
    out[i] = b[0];
  }
}

__attribute__((target("avx"))) __m256d pow4(__m256d b, __m256d e)
{
  return Sleef_exp2d4_u10(_mm256_mul_pd(e, Sleef_log2d4_u35(b)));
}

__attribute__((target("avx512f"))) __m512d pow8(__m512d b, __m512d e)
{
  return Sleef_exp2d8_u10(_mm512_mul_pd(e, Sleef_log2d8_u35(b)));
}

__attribute__((target("avx"))) void kernelAvx(const double* base, const double* exponent, int stride, double* out,
                                              int n)
{
  int i = 0;
  for (; i + 4 <= n; i += 4)
    _mm256_storeu_pd(
      out + i, pow4(_mm256_loadu_pd(base + i), stride ? _mm256_loadu_pd(exponent + i) : _mm256_set1_pd(exponent[0])));
  if (i < n) {
    // The last one to three values, the other lanes padded with 1^1: masked loads and stores
    // touch only the values there are, without copies through memory (envelopes worked out for
    // one sample ask for one or two).
    alignas(32) static constexpr long long kLanes[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
    const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLanes + 4 - (n - i)));
    const __m256d ones = _mm256_set1_pd(1.0);
    const __m256d lanes = _mm256_castsi256_pd(mask);
    const __m256d b = _mm256_blendv_pd(ones, _mm256_maskload_pd(base + i, mask), lanes);
    const __m256d e =
      stride ? _mm256_blendv_pd(ones, _mm256_maskload_pd(exponent + i, mask), lanes) : _mm256_set1_pd(exponent[0]);
    _mm256_maskstore_pd(out + i, mask, pow4(b, e));
  }
}

__attribute__((target("avx512f"))) void kernelAvx512(const double* base, const double* exponent, int stride,
                                                     double* out, int n)
{
  int i = 0;
  for (; i + 8 <= n; i += 8)
    _mm512_storeu_pd(
      out + i, pow8(_mm512_loadu_pd(base + i), stride ? _mm512_loadu_pd(exponent + i) : _mm512_set1_pd(exponent[0])));
  if (i < n) {
    // The last one to seven values, the other lanes padded with 1^1, as in kernelAvx.
    const __mmask8 mask = static_cast<__mmask8>((1u << (n - i)) - 1u);
    const __m512d ones = _mm512_set1_pd(1.0);
    const __m512d b = _mm512_mask_loadu_pd(ones, mask, base + i);
    const __m512d e = stride ? _mm512_mask_loadu_pd(ones, mask, exponent + i) : _mm512_set1_pd(exponent[0]);
    _mm512_mask_storeu_pd(out + i, mask, pow8(b, e));
  }
}

#if defined(QUENNET_VECTOR_CAP_SSE2)
constexpr PowBlockKernel kSse2 = {"SSE2", kernelSse2<SleefSse2>};
#else
constexpr PowBlockKernel kSse2 = {"SSE2", kernelSse2<SleefDispatched>};
#endif

#elif defined(__aarch64__)
// Every aarch64 CPU has AdvSIMD (two doubles at a time), with fused multiply-add, which SLEEF's
// AdvSIMD functions use.
float64x2_t pow2(float64x2_t b, float64x2_t e)
{
  return Sleef_exp2d2_u10(vmulq_f64(e, Sleef_log2d2_u35(b)));
}

void kernelAdvSimd(const double* base, const double* exponent, int stride, double* out, int n)
{
  int i = 0;
  for (; i + 2 <= n; i += 2)
    vst1q_f64(out + i, pow2(vld1q_f64(base + i), stride ? vld1q_f64(exponent + i) : vdupq_n_f64(exponent[0])));
  if (i < n) {
    // The last odd value: pad with 1^1.
    const double b[2] = {base[i], 1.0};
    const double e[2] = {exponent[stride ? i : 0], 1.0};
    out[i] = vgetq_lane_f64(pow2(vld1q_f64(b), vld1q_f64(e)), 0);
  }
}
#endif

// The kernels the CPU runs, widest first; the scalar one always last.
struct Kernels {
  std::array<PowBlockKernel, 4> list{};
  int count = 0;

  void add(const PowBlockKernel& kernel) { list[static_cast<std::size_t>(count++)] = kernel; }
};

Kernels findKernels()
{
  // Runs while the library loads, before any audio thread exists.
  Kernels kernels;
#if defined(__x86_64__)
  __builtin_cpu_init();
#if !defined(QUENNET_VECTOR_CAP_SSE2) && !defined(QUENNET_VECTOR_CAP_AVX2)
  if (__builtin_cpu_supports("avx512f"))
    kernels.add({"AVX-512", kernelAvx512});
#endif
#if !defined(QUENNET_VECTOR_CAP_SSE2)
  if (__builtin_cpu_supports("avx"))
    kernels.add({"AVX", kernelAvx});
#endif
  kernels.add(kSse2);
#elif defined(__aarch64__)
  kernels.add({"AdvSIMD", kernelAdvSimd});
#endif
  kernels.add({"scalar", kernelScalar});
  return kernels;
}

const Kernels kKernels = findKernels();
const PowBlockKernel kKernel = kKernels.list[0];
} // namespace

void powBlock(const double* base, double exponent, double* out, int n)
{
  kKernel.run(base, &exponent, 0, out, n);
}

void powBlock(const double* base, const double* exponent, double* out, int n)
{
  kKernel.run(base, exponent, 1, out, n);
}

const char* powBlockUnit()
{
  return kKernel.unit;
}

std::span<const PowBlockKernel> powBlockKernels()
{
  return {kKernels.list.data(), static_cast<std::size_t>(kKernels.count)};
}

} // namespace quennet
