// The plug-in driven as quennet-render and every host drive it: float buffers, MIDI and a playing
// transport through the processing call, at 48 kHz in 512-frame blocks. Prints Google Benchmark's
// table, then a summary: real-time factor and nanoseconds per frame for each factory preset and
// for mode "MIDI" with eight held notes, the time to make an instance, and the memory of one.
//
// Instances read and write their settings file under HOME; the benchmark gives them a temporary one.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TempHome.h"
#include "core/quennet.param.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;
constexpr int kSecondFrames = 48000;

// One second of noise, played round and round, and a host's transport.
class Host {
public:
  explicit Host(int preset, bool eightNotes = false)
  {
    mPlugin.reset(plug::MakePlug(plug::InstanceInfo{}));
    mPlugin->RestorePreset(preset);
    if (eightNotes)
      mPlugin->SetParameterFromHostPlain(kMidiPolyphony, 8.0);
    mPlugin->PrepareToPlay(kRate, kBlock);

    std::uint64_t state = 0x243F6A8885A308D3ull;
    for (int c = 0; c < 2; ++c) {
      mInputs[c].resize(kSecondFrames + kBlock);
      mOutputs[c].resize(kBlock);
      for (float& sample : mInputs[c]) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        sample = static_cast<float>(static_cast<double>((state * 0x2545F4914F6CDD1Dull) >> 11) / 9007199254740992.0 - 0.5);
      }
    }
    if (eightNotes) {
      // A spread chord; sustain 1 and no note-off keep all eight voices sounding.
      const std::uint8_t notes[8] = {36, 43, 48, 52, 55, 60, 64, 67};
      for (std::uint8_t note : notes)
        mFirstMidi.push_back({0, 0x90, note, 100});
    }
  }

  plug::IPlugin& plugin() { return *mPlugin; }

  void renderBlock()
  {
    const std::int64_t offset = mPosition % kSecondFrames;
    mTransport.hasTempo = true;
    mTransport.tempo = 120.0;
    mTransport.hasSamplePosition = true;
    mTransport.samplePosition = static_cast<double>(mPosition);
    mTransport.isPlaying = true;
    const float* inputs[2] = {mInputs[0].data() + offset, mInputs[1].data() + offset};
    float* outputs[2] = {mOutputs[0].data(), mOutputs[1].data()};
    plug::HostBlock block;
    block.inputs = inputs;
    block.outputs = outputs;
    block.nFrames = kBlock;
    block.transport = &mTransport;
    if (mPosition == 0 && !mFirstMidi.empty()) {
      block.midi = mFirstMidi.data();
      block.nMidi = static_cast<int>(mFirstMidi.size());
    }
    mPlugin->RenderAudio(block);
    benchmark::DoNotOptimize(mOutputs[0].data());
    mPosition += kBlock;
  }

  void renderSeconds(double seconds)
  {
    for (double done = 0.0; done < seconds * kRate; done += kBlock)
      renderBlock();
  }

private:
  std::unique_ptr<plug::IPlugin> mPlugin;
  std::vector<float> mInputs[2];
  std::vector<float> mOutputs[2];
  std::vector<plug::HostMidiEvent> mFirstMidi;
  plug::HostTransport mTransport;
  std::int64_t mPosition = 0;
};

void renderPreset(benchmark::State& state, int preset, bool eightNotes)
{
  Host host(preset, eightNotes);
  host.renderSeconds(1.0);  // grains and frames under way, notes sounding
  for (auto _ : state)
    host.renderBlock();
  state.SetItemsProcessed(state.iterations() * kBlock);  // frames
}

void construct(benchmark::State& state)
{
  for (auto _ : state) {
    std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug(plug::InstanceInfo{}));
    benchmark::DoNotOptimize(plugin.get());
  }
}

void constructAndPrepare(benchmark::State& state)
{
  for (auto _ : state) {
    std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug(plug::InstanceInfo{}));
    plugin->PrepareToPlay(kRate, kBlock);
    benchmark::DoNotOptimize(plugin.get());
  }
}

// Resident memory of the process and bytes the allocator has handed out.
struct MemoryUse {
  double residentBytes = 0.0;
  double heapBytes = 0.0;
};

MemoryUse memoryUse()
{
  MemoryUse use;
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  use.residentBytes = static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
  const struct mallinfo2 info = mallinfo2();
  use.heapBytes = static_cast<double>(info.uordblks + info.hblkhd);
  return use;
}

// What one instance adds: made, prepared for 48 kHz and run for one second of audio. A first
// instance made and dropped beforehand loads the libraries and fills one-time caches.
MemoryUse instanceMemory()
{
  { Host warmUp(0); warmUp.renderSeconds(1.0); }
  const MemoryUse before = memoryUse();
  Host host(0);
  host.renderSeconds(1.0);
  const MemoryUse after = memoryUse();
  return {after.residentBytes - before.residentBytes, after.heapBytes - before.heapBytes};
}

struct Figure {
  std::string name;
  double secondsPerIteration = 0.0;
};

// Shows Google Benchmark's table and keeps each result for the summary.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override
  {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
        figures.push_back({run.benchmark_name(), run.real_accumulated_time / static_cast<double>(run.iterations)});
  }

  std::vector<Figure> figures;
};

} // namespace

int main(int argc, char** argv)
{
  TempHome home;
  const MemoryUse memory = instanceMemory();

  std::vector<std::string> presetNames;
  {
    Host names(0);
    for (int p = 0; p < names.plugin().NPresets(); ++p)
      presetNames.push_back(names.plugin().GetPresetName(p));
  }
  for (int p = 0; p < static_cast<int>(presetNames.size()); ++p)
    benchmark::RegisterBenchmark(("render/" + std::to_string(p) + " " + presetNames[p]).c_str(),
                                 [p](benchmark::State& state) { renderPreset(state, p, false); });
  benchmark::RegisterBenchmark("render/MIDI Standard, 8 held notes",
                               [](benchmark::State& state) { renderPreset(state, 3, true); });
  benchmark::RegisterBenchmark("construct", construct)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("construct and prepare for 48 kHz", constructAndPrepare)->Unit(benchmark::kMicrosecond);

  benchmark::Initialize(&argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nQuennet through the processing call: %.0f Hz, %d-frame blocks, float buffers, transport playing\n",
              kRate, kBlock);
  std::printf("%-40s %14s %12s\n", "", "x real time", "ns/frame");
  for (const Figure& figure : reporter.figures) {
    if (figure.name.rfind("render/", 0) == 0) {
      const double blockSeconds = kBlock / kRate;
      std::printf("%-40s %14.1f %12.1f\n", figure.name.substr(7).c_str(), blockSeconds / figure.secondsPerIteration,
                  figure.secondsPerIteration * 1e9 / kBlock);
    }
  }
  for (const Figure& figure : reporter.figures)
    if (figure.name.rfind("construct", 0) == 0)
      std::printf("%-40s %14.1f µs\n", figure.name.c_str(), figure.secondsPerIteration * 1e6);
  std::printf("%-40s %14.1f MiB heap, %.1f MiB resident\n", "one instance after 1 s of audio",
              memory.heapBytes / 1048576.0, memory.residentBytes / 1048576.0);
  return 0;
}
