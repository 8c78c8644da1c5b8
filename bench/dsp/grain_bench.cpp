// Cost of the grain engine per sample, and the resident memory of the plug-in's eight voices.
//
// Settings are the demanding ones: grain overlap 50 % (two interpolated reads and two grain
// envelopes per sample during the cross-fade), grain and frame fades 0.2 on both sides, frame
// overlap 50 % (two boxes per sample during the frame cross-fade).

#include "dsp/ADSR.h"
#include "dsp/GrainSet.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace
{
constexpr double kSampleRate = 48000.0;
constexpr int kBlockSize = 512;
constexpr int kVoices = 8;

void configure(GrainSet& set, eGrainMode mode)
{
  set.setSampleRate(kSampleRate);
  set.setGrainMode(mode);
  set.setGrainLength(20.0);          // M.SEC: 960 samples
  set.setGrainLengthSync(6000);      // SYNC: a 1/16 at 120 BPM
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
  for (Sample& s : input)
  {
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
  state.counters["per_sample"] =
    benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_GrainSet(benchmark::State& state, eGrainMode mode)
{
  auto set = std::make_unique<GrainSet>();
  configure(*set, mode);
  if (mode == kGrainModeMidi)
    set->setGrainFrequency(220.0, true);
  const std::vector<Sample> input = makeInput();

  for (auto _ : state)
  {
    double sum = 0.0;
    for (const Sample& in : input)
    {
      const Sample out = set->process(in);
      sum += out.left + out.right;
    }
    benchmark::DoNotOptimize(sum);
  }
  setCounters(state);
}

struct Voices
{
  std::array<GrainSet, kVoices> sets;
  std::array<ADSR, kVoices> envelopes;

  Voices()
  {
    // A chord spread over the range, each voice at its own pitch.
    const double notes[kVoices] = {110.0, 138.591, 164.814, 220.0, 277.183, 329.628, 440.0, 554.365};
    for (int v = 0; v < kVoices; ++v)
    {
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

  // Mixes the voices at their envelope levels as the plug-in's block processing does:
  // the level before this sample's update weights the voice's output.
  Sample process(Sample in)
  {
    double wetL = 0.0;
    double wetR = 0.0;
    for (int v = 0; v < kVoices; ++v)
    {
      const Sample out = sets[v].process(in);
      const double e = envelopes[v].mLevel;
      wetL += e * out.left;
      wetR += e * out.right;
      envelopes[v].update();
    }
    return Sample(wetL, wetR);
  }
};

void BM_EightMidiVoices(benchmark::State& state)
{
  auto voices = std::make_unique<Voices>();
  const std::vector<Sample> input = makeInput();
  for (auto _ : state)
  {
    double sum = 0.0;
    for (const Sample& in : input)
    {
      const Sample out = voices->process(in);
      sum += out.left + out.right;
    }
    benchmark::DoNotOptimize(sum);
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
  while (std::fgets(line, sizeof line, f) != nullptr)
  {
    if (std::strncmp(line, "VmRSS:", 6) == 0)
    {
      kib = std::strtol(line + 6, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return kib;
}

// Resident memory of eight voices at 48 kHz: before construction vs. after one second of audio.
// Each box holds 3 × rate samples of two doubles, so the buffers alone are
// 8 voices × 2 boxes × 144000 × 16 bytes = 36 864 000 bytes (35.2 MiB).
void BM_EightVoicesResidentMemory(benchmark::State& state)
{
  const std::vector<Sample> input = makeInput();
  double growthKiB = 0.0;
  for (auto _ : state)
  {
    const long before = residentKiB();
    auto voices = std::make_unique<Voices>();
    double sum = 0.0;
    for (int block = 0; block < static_cast<int>(kSampleRate) / kBlockSize + 1; ++block)
      for (const Sample& in : input)
      {
        const Sample out = voices->process(in);
        sum += out.left + out.right;
      }
    benchmark::DoNotOptimize(sum);
    growthKiB = static_cast<double>(residentKiB() - before);
  }
  state.counters["rss_growth_MiB"] = growthKiB / 1024.0;
  state.counters["buffers_MiB"] = kVoices * 2.0 * 144000.0 * sizeof(Sample) / (1024.0 * 1024.0);
}
} // namespace

BENCHMARK(BM_EightVoicesResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GrainSet, msec, kGrainModeMsec);
BENCHMARK_CAPTURE(BM_GrainSet, sync, kGrainModeSync);
BENCHMARK_CAPTURE(BM_GrainSet, freq, kGrainModeFreq);
BENCHMARK_CAPTURE(BM_GrainSet, midi, kGrainModeMidi);
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
