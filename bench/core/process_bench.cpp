// SPDX-License-Identifier: ISC
// Cost of the plug-in's audio path per frame at 48 kHz, in host blocks of 512 frames and in the
// short blocks that some hosts use (lv2apply runs one frame at a time; quennet-render allows
// --block 1): the argument is the block size.
//
// "render" goes through the render call exactly as a host does (float buffers in and out, the
// conversion to double and back, transport, MIDI through); "ProcessBlock" calls the audio path
// alone on double buffers. Settings:
// - default: the parameter defaults (grain mode "M.SEC", no fades, no overlaps);
// - FREQ: grain mode "FREQ" at 110 Hz, grain overlap 50 %, grain fades 0.2, frame 160 ms with
//   overlap 50 % and frame fades 0.2 (interpolated reads, two grain readers and two boxes per
//   sample during the cross-fades);
// - MIDI: grain mode "MIDI", polyphony 8, eight held notes, the same fades and overlaps.
// ns_per_frame is the time per frame (shown with an SI prefix: "n" is nanoseconds).

#include "core/quennet.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "TempHome.h"

using namespace quennet;

namespace {

constexpr double kSampleRate = 48000.0;
constexpr int kInputFrames = 512; // the input repeats every this many frames

enum class Setup { kDefault, kFreq, kMidi };

// The plug-in, its home folder and one block of input, ready to process.
struct Bench {
  TempHome home; // the constructor reads and creates the configuration file here
  std::unique_ptr<Quennet> plugin;
  std::vector<float> in[2], out[2];
  std::vector<double> inD[2], outD[2];
  plug::HostTransport transport;

  int blockSize;
  int offset = 0; // where in the input the next block starts

  Bench(Setup setup, int frames) : plugin(static_cast<Quennet*>(plug::MakePlug({}))), blockSize(frames)
  {
    unsigned state = 12345u;
    for (int c = 0; c < 2; ++c) {
      in[c].resize(kInputFrames);
      out[c].resize(kInputFrames);
      for (float& s : in[c]) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<float>((state >> 8) * (1.0 / 16777216.0) - 0.5);
      }
      inD[c].assign(in[c].begin(), in[c].end());
      outD[c].resize(kInputFrames);
    }
    transport.hasTempo = transport.hasSamplePosition = true;
    transport.tempo = 120.0;
    transport.isPlaying = true;

    plugin->PrepareToPlay(kSampleRate, kInputFrames);
    if (setup != Setup::kDefault) {
      const struct {
        int index;
        double value;
      } settings[] = {
        {kGrainMode, static_cast<double>(setup == Setup::kFreq ? kGrainModeFreq : kGrainModeMidi)},
        {kGrainFrequency, 110.0},
        {kGrainOverlap, 50.0},
        {kGrainFadeIn, 0.2},
        {kGrainFadeOut, 0.2},
        {kFrameLength, 160.0},
        {kFrameOverlap, 50.0},
        {kFrameFadeIn, 0.2},
        {kFrameFadeOut, 0.2},
        {kMidiPolyphony, 8},
      };
      for (const auto& s : settings)
        plugin->SetParameterFromHostPlain(s.index, s.value);
    }
    std::vector<plug::HostMidiEvent> notes;
    if (setup == Setup::kMidi)
      for (int note : {48, 52, 55, 59, 62, 66, 69, 73})
        notes.push_back({0, 0x90, static_cast<std::uint8_t>(note), 100});
    render(notes.data(), static_cast<int>(notes.size()));
    // Past the attacks and the first frames: steady state.
    for (int i = 0; i < 200 * kInputFrames / blockSize; ++i)
      render();
  }

  void render(const plug::HostMidiEvent* midi = nullptr, int nMidi = 0)
  {
    const float* inputs[2] = {in[0].data() + offset, in[1].data() + offset};
    float* outputs[2] = {out[0].data() + offset, out[1].data() + offset};
    plug::HostBlock block;
    block.inputs = inputs;
    block.outputs = outputs;
    block.nFrames = blockSize;
    block.midi = midi;
    block.nMidi = nMidi;
    block.transport = &transport;
    plugin->RenderAudio(block);
    transport.samplePosition += blockSize;
    advance();
  }

  void processBlock()
  {
    double* inputs[2] = {inD[0].data() + offset, inD[1].data() + offset};
    double* outputs[2] = {outD[0].data() + offset, outD[1].data() + offset};
    plugin->ProcessBlock(inputs, outputs, blockSize);
    advance();
  }

  void advance() { offset = offset + 2 * blockSize <= kInputFrames ? offset + blockSize : 0; }
};

void report(benchmark::State& state, int blockSize)
{
  state.SetItemsProcessed(state.iterations() * blockSize);
  state.counters["ns_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()) * blockSize,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Render(benchmark::State& state, Setup setup)
{
  Bench bench(setup, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    bench.render();
    benchmark::DoNotOptimize(bench.out[0].data());
    benchmark::ClobberMemory();
  }
  report(state, bench.blockSize);
}

void BM_ProcessBlock(benchmark::State& state, Setup setup)
{
  Bench bench(setup, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    bench.processBlock();
    benchmark::DoNotOptimize(bench.outD[0].data());
    benchmark::ClobberMemory();
  }
  report(state, bench.blockSize);
}

// Host blocks of 1, 2, 16 and 512 frames.
void blockSizes(benchmark::internal::Benchmark* b)
{
  b->ArgName("block");
  for (int frames : {1, 2, 16, 512})
    b->Arg(frames);
}

BENCHMARK_CAPTURE(BM_Render, default, Setup::kDefault)->Apply(blockSizes);
BENCHMARK_CAPTURE(BM_Render, FREQ_fades_overlaps, Setup::kFreq)->Apply(blockSizes);
BENCHMARK_CAPTURE(BM_Render, MIDI_8_notes, Setup::kMidi)->Apply(blockSizes);
BENCHMARK_CAPTURE(BM_ProcessBlock, default, Setup::kDefault)->Apply(blockSizes);
BENCHMARK_CAPTURE(BM_ProcessBlock, FREQ_fades_overlaps, Setup::kFreq)->Apply(blockSizes);
BENCHMARK_CAPTURE(BM_ProcessBlock, MIDI_8_notes, Setup::kMidi)->Apply(blockSizes);

} // namespace

BENCHMARK_MAIN();
