// SPDX-License-Identifier: ISC
// Cost of the grain engine per sample, driven in blocks of 512 as the plug-in drives it (and one
// sample at a time for comparison), and the resident memory of the plug-in's eight voices.
//
// Settings are the demanding ones: grain overlap 50 % (two interpolated reads and two grain
// envelopes per sample during the cross-fade), grain and frame fades 0.2 on both sides, frame
// overlap 50 % (two boxes per sample during the frame cross-fade).

#include "dsp/ADSR.h"
#include "dsp/GrainSet.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace quennet;

namespace {
constexpr double kSampleRate = 48000.0;
constexpr int kBlockSize = 512;
constexpr int kVoices = 8;

void configure(GrainSet& set, eGrainMode mode)
{
  set.setSampleRate(kSampleRate);
  set.setGrainMode(mode);
  set.setGrainLength(20.0); // M.SEC: 960 samples
  set.setGrainLengthSync(6000); // SYNC: a 1/16 at 120 BPM
  set.setGrainFrequency(110.0, false);
  set.setGrainOverlap(50.0);
  set.setGrainFadeIn(0.2);
  set.setGrainFadeOut(0.2);
  set.setGrainSkew(0.0);
  set.setFrameLength(160.0);
  set.setFrameOverlap(50.0);
  set.setFrameFadeIn(0.2);
  set.setFrameFadeOut(0.2);
  set.setFrameSkew(0.0);
}

// A fixed pseudo-random stereo block, so every run processes the same input.
std::vector<Sample> makeInput()
{
  std::vector<Sample> input(kBlockSize);
  unsigned state = 12345u;
  for (Sample& s : input) {
    state = state * 1664525u + 1013904223u;
    s.left = (state >> 8) * (1.0 / 16777216.0) - 0.5;
    state = state * 1664525u + 1013904223u;
    s.right = (state >> 8) * (1.0 / 16777216.0) - 0.5;
  }
  return input;
}

void setCounters(benchmark::State& state)
{
  const double samples = static_cast<double>(state.iterations()) * kBlockSize;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  // Inverted rate: seconds of CPU time per sample, shown with an SI prefix (e.g. "120ns").
  state.counters["per_sample"] = benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_GrainSet(benchmark::State& state, eGrainMode mode, bool blocks)
{
  auto set = std::make_unique<GrainSet>();
  configure(*set, mode);
  if (mode == kGrainModeMidi)
    set->setGrainFrequency(220.0, true);
  const std::vector<Sample> input = makeInput();
  std::vector<double> inL(kBlockSize), inR(kBlockSize), outL(kBlockSize), outR(kBlockSize);
  for (int i = 0; i < kBlockSize; ++i) {
    inL[static_cast<size_t>(i)] = input[static_cast<size_t>(i)].left;
    inR[static_cast<size_t>(i)] = input[static_cast<size_t>(i)].right;
  }

  for (auto _ : state) {
    double sum = 0.0;
    if (blocks) {
      set->process(inL.data(), inR.data(), outL.data(), outR.data(), kBlockSize);
      sum = outL[100] + outR[200];
    } else {
      for (const Sample& in : input) {
        const Sample out = set->process(in);
        sum += out.left + out.right;
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  setCounters(state);
}

struct Voices {
  std::array<GrainSet, kVoices> sets;
  std::array<ADSR, kVoices> envelopes;

  Voices()
  {
    // A chord spread over the range, each voice at its own pitch.
    const double notes[kVoices] = {110.0, 138.591, 164.814, 220.0, 277.183, 329.628, 440.0, 554.365};
    for (int v = 0; v < kVoices; ++v) {
      configure(sets[v], kGrainModeMidi);
      sets[v].setGrainFrequency(notes[v], true);
      sets[v].resetFrame();
      sets[v].resetGrain();
      envelopes[v].setSampleRate(kSampleRate);
      envelopes[v].setAttack(0.1);
      envelopes[v].setDecay(0.3);
      envelopes[v].setSustain(0.7);
      envelopes[v].setRelease(0.05);
      envelopes[v].start();
    }
  }

  // Mixes a block of the voices at their envelope levels as the plug-in's block processing does:
  // the level before each sample's update weights the voice's output.
  void process(const double* inL, const double* inR, double* wetL, double* wetR, int n)
  {
    std::fill(wetL, wetL + n, 0.0);
    std::fill(wetR, wetR + n, 0.0);
    std::vector<double> level(static_cast<size_t>(n)), outL(static_cast<size_t>(n)), outR(static_cast<size_t>(n));
    for (int v = 0; v < kVoices; ++v) {
      envelopes[v].render(level.data(), n);
      sets[v].process(inL, inR, outL.data(), outR.data(), n);
      for (int i = 0; i < n; ++i) {
        wetL[i] += level[static_cast<size_t>(i)] * outL[static_cast<size_t>(i)];
        wetR[i] += level[static_cast<size_t>(i)] * outR[static_cast<size_t>(i)];
      }
    }
  }
};

// Separate channels of the fixed input block.
struct Block {
  std::vector<double> left, right, wetL, wetR;
  Block() : left(kBlockSize), right(kBlockSize), wetL(kBlockSize), wetR(kBlockSize)
  {
    const std::vector<Sample> input = makeInput();
    for (int i = 0; i < kBlockSize; ++i) {
      left[static_cast<size_t>(i)] = input[static_cast<size_t>(i)].left;
      right[static_cast<size_t>(i)] = input[static_cast<size_t>(i)].right;
    }
  }
  void run(Voices& voices) { voices.process(left.data(), right.data(), wetL.data(), wetR.data(), kBlockSize); }
};

void BM_EightMidiVoices(benchmark::State& state)
{
  auto voices = std::make_unique<Voices>();
  Block block;
  for (auto _ : state) {
    block.run(*voices);
    benchmark::DoNotOptimize(block.wetL.data());
  }
  setCounters(state);
}

// Resident set size in KiB from /proc/self/status; -1 if it cannot be read.
long residentKiB()
{
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr)
    return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) {
      kib = std::strtol(line + 6, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return kib;
}

// Resident memory of eight voices at 48 kHz: before construction vs. after one second of audio.
// Each box reserves 3 × rate samples of two floats, 8 voices × 2 boxes × 144000 × 8 bytes =
// 18 432 000 bytes (17.6 MiB), but only what a box records takes memory: here (a chord of notes
// from 110 to 554 Hz, grain overlap 50 %, frames of 160 ms) the first 1.5 grain periods of each.
void BM_EightVoicesResidentMemory(benchmark::State& state)
{
  Block block;
  double growthKiB = 0.0;
  for (auto _ : state) {
    const long before = residentKiB();
    auto voices = std::make_unique<Voices>();
    for (int b = 0; b < static_cast<int>(kSampleRate) / kBlockSize + 1; ++b)
      block.run(*voices);
    benchmark::DoNotOptimize(block.wetL.data());
    growthKiB = static_cast<double>(residentKiB() - before);
  }
  state.counters["rss_growth_MiB"] = growthKiB / 1024.0;
  state.counters["reserved_MiB"] = kVoices * 2.0 * 144000.0 * 2.0 * sizeof(float) / (1024.0 * 1024.0);
}
} // namespace

BENCHMARK(BM_EightVoicesResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GrainSet, msec, kGrainModeMsec, true);
BENCHMARK_CAPTURE(BM_GrainSet, sync, kGrainModeSync, true);
BENCHMARK_CAPTURE(BM_GrainSet, freq, kGrainModeFreq, true);
BENCHMARK_CAPTURE(BM_GrainSet, midi, kGrainModeMidi, true);
BENCHMARK_CAPTURE(BM_GrainSet, freq_sample_by_sample, kGrainModeFreq, false);
BENCHMARK(BM_EightMidiVoices);

int main(int argc, char** argv)
{
  // A fixed mmap threshold stops glibc from raising it after the first large free, so every
  // box buffer is mapped on its own and returned on release: the memory figure does not depend
  // on what ran before it.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
