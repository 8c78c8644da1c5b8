// SPDX-License-Identifier: ISC
// What each vector unit gives: the powers kernel of every unit this CPU runs, and the plug-in
// through its processing call on every factory preset (48 kHz, 512-frame blocks, float buffers,
// a playing transport, noise; "MIDI Standard" also with eight held notes). `make bench` runs it in
// the normal build and in builds whose x86 dispatch is capped at AVX2 and at SSE2
// (QUENNET_VECTOR_CAP), so that a machine with AVX-512 also measures what CPUs without it get.
// Ends with a table: the units in use, then real-time factor and nanoseconds per frame per preset.
//
// Instances read and write their settings file under HOME; the benchmark gives them a temporary one.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TempHome.h"
#include "core/quennet.param.h"
#include "dsp/PowerBlock.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

using namespace quennet;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr int kSecondFrames = 48000;

// The build's cap on the x86 dispatch, as QUENNET_VECTOR_CAP gives it.
const char* vectorCap()
{
#if defined(QUENNET_VECTOR_CAP_SSE2)
  return "SSE2";
#elif defined(QUENNET_VECTOR_CAP_AVX2)
  return "AVX2";
#else
  return "none";
#endif
}

// The copy of the block loops (dsp/VectorClones.h) that runs on this CPU under the cap.
const char* blockLoopUnit()
{
#if defined(__x86_64__)
  __builtin_cpu_init();
#if !defined(QUENNET_VECTOR_CAP_SSE2) && !defined(QUENNET_VECTOR_CAP_AVX2)
  if (__builtin_cpu_supports("avx512f"))
    return "AVX-512";
#endif
#if !defined(QUENNET_VECTOR_CAP_SSE2)
  if (__builtin_cpu_supports("avx2"))
    return "AVX2";
#endif
  return "SSE2 (x86-64 baseline)";
#elif defined(__aarch64__)
  return "AdvSIMD (aarch64 baseline)";
#else
  return "the target's baseline";
#endif
}

// One second of noise, played round and round, and a host's transport.
class Host {
public:
  Host(int preset, bool eightNotes)
  {
    mPlugin.reset(plug::MakePlug(plug::InstanceInfo{}));
    mPlugin->RestorePreset(preset);
    if (eightNotes)
      mPlugin->SetParameterFromHostPlain(kMidiPolyphony, 8.0);
    mPlugin->PrepareToPlay(kRate, kBlock);
    std::uint32_t state = 0x9E3779B9u;
    for (int c = 0; c < 2; ++c) {
      mInputs[c].resize(kSecondFrames + kBlock);
      mOutputs[c].resize(kBlock);
      for (float& sample : mInputs[c]) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(static_cast<double>(state >> 8) / 16777216.0 - 0.5);
      }
    }
    if (eightNotes) {
      // A spread chord; sustain 1 and no note-off keep all eight voices sounding.
      for (std::uint8_t note : {36, 43, 48, 52, 55, 60, 64, 67})
        mFirstMidi.push_back({0, 0x90, note, 100});
    }
  }

  void renderBlock()
  {
    const std::int64_t offset = mPosition % kSecondFrames;
    plug::HostTransport transport;
    transport.hasTempo = transport.hasSamplePosition = transport.isPlaying = true;
    transport.tempo = 120.0;
    transport.samplePosition = static_cast<double>(mPosition);
    const float* inputs[2] = {mInputs[0].data() + offset, mInputs[1].data() + offset};
    float* outputs[2] = {mOutputs[0].data(), mOutputs[1].data()};
    plug::HostBlock block;
    block.inputs = inputs;
    block.outputs = outputs;
    block.nFrames = kBlock;
    block.transport = &transport;
    if (mPosition == 0) {
      block.midi = mFirstMidi.data();
      block.nMidi = static_cast<int>(mFirstMidi.size());
    }
    mPlugin->RenderAudio(block);
    benchmark::DoNotOptimize(mOutputs[0].data());
    mPosition += kBlock;
  }

private:
  std::unique_ptr<plug::IPlugin> mPlugin;
  std::vector<float> mInputs[2];
  std::vector<float> mOutputs[2];
  std::vector<plug::HostMidiEvent> mFirstMidi;
  std::int64_t mPosition = 0;
};

void renderPreset(benchmark::State& state, int preset, bool eightNotes)
{
  Host host(preset, eightNotes);
  for (int i = 0; i < kSecondFrames / kBlock; ++i)
    host.renderBlock(); // grains and frames under way, notes sounding
  for (auto _ : state)
    host.renderBlock();
  state.SetItemsProcessed(state.iterations() * kBlock); // frames
}

// 256 envelope bases to one exponent, as an envelope pass asks for them.
void powers(benchmark::State& state, PowBlockKernel kernel)
{
  std::vector<double> base(256), out(256);
  for (size_t i = 0; i < base.size(); ++i)
    base[i] = static_cast<double>(i) / 256.0;
  const double exponent = 1.7411011265922482;
  for (auto _ : state) {
    kernel.run(base.data(), &exponent, 0, out.data(), static_cast<int>(base.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(base.size()));
}

// Google Benchmark's table as usual; each result is also kept for the summary.
struct Figure {
  std::string name;
  double secondsPerIteration;
};

class CollectingReporter : public benchmark::ConsoleReporter {
public:
  std::vector<Figure> figures;

  void ReportRuns(const std::vector<Run>& runs) override
  {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
        // CPU time: what the code costs, however busy the machine is with other work.
        figures.push_back({run.benchmark_name(), run.cpu_accumulated_time / static_cast<double>(run.iterations)});
  }
};

} // namespace

int main(int argc, char** argv)
{
  TempHome home;
  for (const PowBlockKernel& kernel : powBlockKernels())
    benchmark::RegisterBenchmark((std::string("powBlock/") + kernel.unit).c_str(),
                                 [kernel](benchmark::State& state) { powers(state, kernel); });
  for (int p = 0; p < kNumPresets; ++p)
    benchmark::RegisterBenchmark(
      ("render/" + std::to_string(p) + " " + kFactoryPresets[static_cast<size_t>(p)].name).c_str(),
      [p](benchmark::State& state) { renderPreset(state, p, false); });
  benchmark::RegisterBenchmark("render/MIDI Standard, 8 held notes",
                               [](benchmark::State& state) { renderPreset(state, 3, true); });

  benchmark::Initialize(&argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nVector cap %s: powers on %s, block loops on %s\n", vectorCap(), powBlockUnit(), blockLoopUnit());
  std::printf("%-40s %14s %12s\n", "", "x real time", "ns/frame");
  for (const Figure& figure : reporter.figures)
    if (figure.name.rfind("render/", 0) == 0)
      std::printf("%-40s %14.1f %12.1f\n", figure.name.substr(7).c_str(), kBlock / kRate / figure.secondsPerIteration,
                  figure.secondsPerIteration * 1e9 / kBlock);
  for (const Figure& figure : reporter.figures)
    if (figure.name.rfind("powBlock/", 0) == 0)
      std::printf("%-40s %14.2f ns/value\n", figure.name.c_str(), figure.secondsPerIteration * 1e9 / 256.0);
  return 0;
}
