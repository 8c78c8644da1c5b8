// SPDX-License-Identifier: ISC
#pragma once

// Marks a block loop to be compiled once per vector unit (AVX-512, AVX2, and plain x86-64 for any
// other CPU); the copy for the CPU at hand is chosen when the library loads. Every copy performs
// the same operations in the same order (no fused multiply-add: the build contracts nothing), so
// all give the same numbers; wider units only do more samples at a time.
//
// Other targets compile the loop once, for their baseline: on aarch64 that is AdvSIMD (two
// doubles at a time), which every such CPU has and the build's -O3 vectorises for.
//
// A build capped at a unit (QUENNET_VECTOR_CAP, for benchmarks of CPUs without AVX-512 or AVX2)
// leaves out the copies above it.
//
// ThreadSanitizer cannot run the chooser (it runs while the library is being loaded, before the
// sanitizer has started), so its builds use the plain copy alone.
#if !defined(__x86_64__) || defined(__SANITIZE_THREAD__) || defined(QUENNET_VECTOR_CAP_SSE2)
#define QUENNET_VECTOR_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUENNET_VECTOR_CLONES
#endif
#endif
#ifndef QUENNET_VECTOR_CLONES
#if defined(QUENNET_VECTOR_CAP_AVX2)
#define QUENNET_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QUENNET_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
#endif
