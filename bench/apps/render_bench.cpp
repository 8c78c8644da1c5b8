// SPDX-License-Identifier: ISC
// The plug-in driven as quennet-render and every host drive it: float buffers, MIDI and a playing
// transport through the processing call, at 48 kHz in 512-frame blocks. Prints Google Benchmark's
// table, then a summary: real-time factor and nanoseconds per frame for each factory preset and
// for mode "MIDI" with eight held notes, the time to make and prepare an instance (the first in
// the process, and any later one), the memory of one in every grain mode, the page faults and the
// worst block of a fresh instance's audio thread, and the targets.
//
// Then the quennet-render program itself: wall time and peak resident memory for a long input
// (1 and 20 minutes of 48 kHz stereo, generated on the fly into a FIFO, with and without a
// waveform picture), for MIDI files of the sizes hostile users hand over (up to the 64 MB cap),
// for 0.25 s at sample rates from 48 to 384 kHz, for editor pictures and for overviews of up to
// 272 files (and 273, refused).
//
// Instances read and write their settings file under HOME; the benchmark gives them a temporary one.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SmfBytes.h"
#include "TempDir.h"
#include "TempHome.h"
#include "core/quennet.param.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

using namespace quennet;

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
    mPlugin->Activate(); // as every host does before its first block

    std::uint64_t state = 0x243F6A8885A308D3ull;
    for (int c = 0; c < 2; ++c) {
      mInputs[c].resize(kSecondFrames + kBlock);
      mOutputs[c].resize(kBlock);
      for (float& sample : mInputs[c]) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        sample =
          static_cast<float>(static_cast<double>((state * 0x2545F4914F6CDD1Dull) >> 11) / 9007199254740992.0 - 0.5);
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
  host.renderSeconds(1.0); // grains and frames under way, notes sounding
  for (auto _ : state)
    host.renderBlock();
  state.SetItemsProcessed(state.iterations() * kBlock); // frames
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
    plugin->Activate();
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

// What one instance adds: made, prepared for 48 kHz and run for one second of audio in a preset
// (MIDI presets with eight held notes). A first instance made and dropped beforehand loads the
// libraries and fills one-time caches.
MemoryUse instanceMemory(int preset, bool eightNotes)
{
  {
    Host warmUp(preset, eightNotes);
    warmUp.renderSeconds(1.0);
  }
  const MemoryUse before = memoryUse();
  Host host(preset, eightNotes);
  host.renderSeconds(1.0);
  const MemoryUse after = memoryUse();
  return {after.residentBytes - before.residentBytes, after.heapBytes - before.heapBytes};
}

// The audio thread of a fresh instance: its page faults and the spread of its block times.
struct AudioThreadFigures {
  long faults = 0; // minor and major, in every run
  double medianSeconds = 0.0; // thread CPU time of the median block
  double worstSeconds = 0.0; // and of the slowest
  int worstBlock = -1;
};

// A host's audio thread has run code before it first calls the plug-in (its own, other plug-ins'):
// the pages of its stack are in memory. Those of a new thread are made so here, in a frame of its
// own that the calls after it reuse.
__attribute__((noinline)) void touchStack()
{
  volatile unsigned char stack[256 * 1024];
  for (size_t i = 0; i < sizeof stack; i += 4096)
    stack[i] = 0;
}

double threadCpuSeconds()
{
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Fresh instances, each made and prepared on this thread (the host's), then run on a thread of its
// own from its first block on, as a host's audio thread runs it. Each block is timed in the
// thread's CPU time, which the rest of a busy machine does not lengthen, less the time a clock
// read itself takes. The runs give every block the same work, so a block's least time over them is
// its own cost, without the interruptions that land on some block of a busy machine at random.
AudioThreadFigures runOnAudioThread(int preset, bool eightNotes, int blocks, int runs)
{
  AudioThreadFigures figures;
  std::vector<double> least(static_cast<size_t>(blocks), std::numeric_limits<double>::infinity());
  for (int run = 0; run < runs; ++run) {
    Host host(preset, eightNotes);
    std::thread audio([&] {
      touchStack();
      double clockRead = std::numeric_limits<double>::infinity();
      for (int i = 0; i < 100; ++i) {
        const double a = threadCpuSeconds();
        clockRead = std::min(clockRead, threadCpuSeconds() - a);
      }
      rusage before{};
      getrusage(RUSAGE_THREAD, &before);
      for (int b = 0; b < blocks; ++b) {
        const double start = threadCpuSeconds();
        host.renderBlock();
        const double spent = threadCpuSeconds() - start - clockRead;
        least[static_cast<size_t>(b)] = std::min(least[static_cast<size_t>(b)], spent);
      }
      rusage after{};
      getrusage(RUSAGE_THREAD, &after);
      figures.faults += (after.ru_minflt - before.ru_minflt) + (after.ru_majflt - before.ru_majflt);
    });
    audio.join();
  }
  const auto worst = std::max_element(least.begin(), least.end());
  figures.worstSeconds = *worst;
  figures.worstBlock = static_cast<int>(worst - least.begin());
  std::nth_element(least.begin(), least.begin() + blocks / 2, least.end());
  figures.medianSeconds = least[static_cast<size_t>(blocks / 2)];
  return figures;
}

// Wall-clock seconds to make the process's first instance, prepare it for 48 kHz and activate
// it: what a host waits for when it inserts the plug-in.
double firstConstructAndPrepareSeconds()
{
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug(plug::InstanceInfo{}));
  plugin->PrepareToPlay(kRate, kBlock);
  plugin->Activate();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
        // CPU time: what the plug-in costs, however busy the machine is with other work.
        figures.push_back({run.benchmark_name(), run.cpu_accumulated_time / static_cast<double>(run.iterations)});
  }

  std::vector<Figure> figures;
};

// What one run of the quennet-render program took.
struct ProcessFigures {
  int status = -1;
  double seconds = 0.0;
  double peakResidentMiB = 0.0;
};

// Runs quennet-render with `args` (stdout and stderr to /dev/null). With `fifoFrames` > 0 the
// benchmark writes a 16-bit stereo WAV of that many frames of noise into the FIFO `fifo` while the
// program reads it, so no input file of that size is needed.
ProcessFigures runRender(const std::vector<std::string>& args, const std::string& fifo = "",
                         std::int64_t fifoFrames = 0)
{
  std::vector<std::string> all = {QUENNET_RENDER};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  // A child's peak resident memory starts from its parent's peak at the fork: bring the
  // benchmark's peak down to what it holds now, which is less than any child reaches.
  std::ofstream("/proc/self/clear_refs") << "5";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (fifoFrames > 0) {
    signal(SIGPIPE, SIG_IGN);
    const int fd = open(fifo.c_str(), O_WRONLY);
    auto put32 = [](std::string& s, std::uint32_t v) {
      for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    auto put16 = [](std::string& s, std::uint16_t v) {
      s.push_back(static_cast<char>(v & 0xFF));
      s.push_back(static_cast<char>(v >> 8));
    };
    const auto dataBytes = static_cast<std::uint32_t>(fifoFrames * 4);
    std::string header = "RIFF";
    put32(header, 36 + dataBytes);
    header += "WAVEfmt ";
    put32(header, 16);
    put16(header, 1); // PCM
    put16(header, 2); // stereo
    put32(header, 48000);
    put32(header, 48000 * 4);
    put16(header, 4);
    put16(header, 16);
    header += "data";
    put32(header, dataBytes);
    bool ok = write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size());
    std::vector<std::int16_t> block(2 * 4800);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::int64_t done = 0; ok && done < fifoFrames; done += 4800) {
      const std::int64_t n = std::min<std::int64_t>(4800, fifoFrames - done);
      for (std::int64_t i = 0; i < 2 * n; ++i) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        block[static_cast<size_t>(i)] = static_cast<std::int16_t>((state * 0x2545F4914F6CDD1Dull) >> 50) - 8192;
      }
      const auto bytes = static_cast<size_t>(4 * n);
      ok = write(fd, block.data(), bytes) == static_cast<ssize_t>(bytes);
    }
    close(fd);
  }
  int wstatus = 0;
  struct rusage usage {};
  wait4(pid, &wstatus, 0, &usage);
  ProcessFigures figures;
  figures.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.peakResidentMiB = static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
  return figures;
}

// One line of figures; `expectedStatus` other than 0 for a run that is meant to be refused.
void printProcess(const char* what, const ProcessFigures& figures, double audioSeconds = 0.0, int expectedStatus = 0)
{
  if (figures.status != expectedStatus) {
    std::printf("%-52s failed (exit status %d)\n", what, figures.status);
    return;
  }
  std::printf("%-52s %8.2f s %9.1f MiB", what, figures.seconds, figures.peakResidentMiB);
  if (audioSeconds > 0.0)
    std::printf(" %9.0f x real time", audioSeconds / figures.seconds);
  if (expectedStatus != 0)
    std::printf("   (exit status %d, as it should)", figures.status);
  std::printf("\n");
}

// A 16-bit WAV file of noise.
void writeNoiseWav(const std::string& path, int rate, std::int64_t frames, int channels = 2)
{
  std::string bytes = "RIFF";
  auto put = [&bytes](std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i)
      bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  const auto dataBytes = static_cast<std::uint32_t>(frames * 2 * channels);
  put(36 + dataBytes, 4);
  bytes += "WAVEfmt ";
  put(16, 4);
  put(1, 2);
  put(static_cast<std::uint32_t>(channels), 2);
  put(static_cast<std::uint32_t>(rate), 4);
  put(static_cast<std::uint32_t>(rate * 2 * channels), 4);
  put(static_cast<std::uint32_t>(2 * channels), 2);
  put(16, 2);
  bytes += "data";
  put(dataBytes, 4);
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::int64_t i = 0; i < frames * channels; ++i) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    put(static_cast<std::uint16_t>(static_cast<std::int16_t>((state * 0x2545F4914F6CDD1Dull) >> 50) - 8192), 2);
  }
  std::ofstream(path, std::ios::binary) << bytes;
}

// The renderer's memory and time against the sample rate: a quarter of a second at each rate. The
// plug-in's recordings grow with the rate; everything else stays.
void measureSampleRates(const std::filesystem::path& dir)
{
  std::printf("\nquennet-render on 0.25 s of stereo at each sample rate\n");
  std::printf("%-52s %10s %13s\n", "", "time", "peak RSS");
  printProcess("no audio (--list-params): the program alone", runRender({"--list-params"}));
  double at48k = 0.0;
  for (int rate : {48000, 96000, 192000, 384000}) {
    const std::string input = (dir / ("rate" + std::to_string(rate) + ".wav")).string();
    writeNoiseWav(input, rate, rate / 4);
    const ProcessFigures figures = runRender({"-q", input, (dir / "out.wav").string()});
    char what[80];
    std::snprintf(what, sizeof what, "%d Hz", rate);
    printProcess(what, figures);
    if (rate == 48000)
      at48k = figures.peakResidentMiB;
    else if (figures.status == 0)
      std::printf("%-52s %24.0f bytes per Hz above 48 kHz\n", "",
                  (figures.peakResidentMiB - at48k) * 1048576.0 / (rate - 48000));
  }
}

// The editor as a picture at three scales: the picture itself is 4 bytes a pixel.
void measureEditorPictures(const std::filesystem::path& dir)
{
  std::printf("\nquennet-render --editor-picture\n");
  std::printf("%-52s %10s %13s\n", "", "time", "peak RSS");
  for (const char* scale : {"0.5", "1", "4"}) {
    char what[80];
    std::snprintf(what, sizeof what, "--scale %s", scale);
    printProcess(what, runRender({"--editor-picture", (dir / "editor.png").string(), "--scale", scale}));
  }
}

// --overview keeps a few values per pixel column of each file; the picture itself is 1600 pixels
// wide and 120 high per file, 4 bytes a pixel.
void measureOverview(const std::filesystem::path& dir)
{
  std::printf("\nquennet-render --overview of 2 s files (48 kHz stereo)\n");
  std::printf("%-52s %10s %13s\n", "", "time", "peak RSS");
  const std::string file = (dir / "two-seconds.wav").string();
  writeNoiseWav(file, 48000, 96000);
  for (int files : {10, 272, 273}) {
    std::vector<std::string> args = {"--overview", (dir / "overview.png").string()};
    args.insert(args.end(), static_cast<std::size_t>(files), file);
    char what[80];
    std::snprintf(what, sizeof what, "%d files%s", files, files > 272 ? ", refused before reading" : "");
    printProcess(what, runRender(args), 0.0, files > 272 ? 2 : 0);
  }
}

// quennet-render as a user runs it: long inputs and hostile MIDI files.
void measureTheProgram()
{
  TempDir temp("quennet-render-bench");
  const std::filesystem::path dir = temp.path();
  const std::string fifo = (dir / "in.wav").string();
  mkfifo(fifo.c_str(), 0600);

  std::printf("\nquennet-render, the program: wall time and peak resident memory (this benchmark holds %.1f MiB)\n",
              memoryUse().residentBytes / 1048576.0);
  std::printf("%-52s %10s %13s\n", "", "time", "peak RSS");
  for (int minutes : {1, 20}) {
    const std::int64_t frames = std::int64_t{minutes} * 60 * 48000;
    const std::string out = (dir / "out.wav").string();
    char what[80];
    std::snprintf(what, sizeof what, "%d min of 48 kHz stereo, pcm16 WAV out", minutes);
    printProcess(what, runRender({"-q", fifo, out}, fifo, frames), minutes * 60.0);
    std::filesystem::remove(out);
    std::snprintf(what, sizeof what, "%d min, with --waveform and --tail 60", minutes);
    printProcess(what,
                 runRender({"-q", "--tail", "60", "--waveform", (dir / "out.png").string(), fifo, out}, fifo, frames),
                 minutes * 60.0 + 60.0);
    std::filesystem::remove(out);
  }

  // A second of input (a render of a second of noise) and MIDI files that once took minutes.
  const std::string input = (dir / "second.wav").string();
  const std::string out = (dir / "out.wav").string();
  if (runRender({"-q", fifo, input}, fifo, 48000).status != 0)
    return;
  const std::string noteOn("\x90\x3C\x64", 3), noteOff("\x80\x3C\x00", 3);
  // Each MIDI file goes to disk as it is made, so that the benchmark itself stays small (a child
  // starts from its parent's memory, see runRender).
  struct MidiCase {
    const char* name;
    std::string path;
  };
  std::vector<MidiCase> cases;
  auto addCase = [&](const char* name, const std::string& file) {
    const std::string path = (dir / ("case" + std::to_string(cases.size()) + ".mid")).string();
    std::ofstream(path, std::ios::binary) << file;
    cases.push_back({name, path});
  };
  {
    std::string track = smfVarLength(0) + noteOn;
    for (int i = 1; i < 800000; ++i)
      track += smfVarLength(1) + (i % 2 == 0 ? std::string("\x3C\x64", 2) : std::string("\x3C\x00", 2));
    track += smfVarLength(0) + kSmfEndOfTrack;
    addCase("MIDI: 800 000 note events (2.4 MB)", smfHeader(0, 1, 480) + smfChunk("MTrk", track));
  }
  {
    std::vector<SmfTimedEvent> events;
    for (int t = 0; t < 65535; ++t)
      events.push_back({t, static_cast<std::uint32_t>(t), noteOff});
    addCase("MIDI: 65 535 tracks", smfFile(1, 480, 65535, events));
  }
  {
    std::vector<SmfTimedEvent> events;
    for (std::uint32_t p = 0; p < 100000; ++p)
      events.push_back({0, p, smfTempo(p % 2 == 0 ? 500000 : 250000)});
    for (std::uint32_t p = 0; p < 100000; p += 100)
      events.push_back({1, p, noteOn});
    addCase("MIDI: 100 000 tempo events", smfFile(1, 480, 2, events));
  }
  // The largest file taken, 64 MB: 33.5 million program changes (two bytes each in running
  // status) at one pulse, after the end of the second of audio (pulse 961 at 120 BPM) or at its
  // start (more than one block takes: the rest wait for the blocks after).
  for (const std::uint32_t pulse : {961u, 0u}) {
    const std::string head = smfVarLength(pulse) + std::string("\xC0\x05", 2);
    const std::string end = smfVarLength(0) + kSmfEndOfTrack;
    const std::size_t events = ((std::size_t{64} << 20) - 22 - head.size() - end.size()) / 2;
    std::string track = head;
    track.reserve(head.size() + 2 * events + end.size());
    for (std::size_t i = 0; i < events; ++i)
      track.append("\x00\x05", 2);
    track += end;
    addCase(pulse > 0 ? "MIDI: 64 MB, 33.5 M events after the audio's end" : "MIDI: 64 MB, 33.5 M events at its start",
            smfHeader(0, 1, 480) + smfChunk("MTrk", track));
  }
  for (const MidiCase& c : cases) {
    printProcess(c.name, runRender({"-q", "-p", "3", "--midi", c.path, input, out}));
    std::filesystem::remove(c.path);
  }
  printProcess("no MIDI file, for comparison", runRender({"-q", "-p", "3", input, out}));

  measureSampleRates(dir);
  measureEditorPictures(dir);
  measureOverview(dir);
}

} // namespace

int main(int argc, char** argv)
{
  // A fixed mmap threshold stops glibc from raising it after the first large free: every
  // instance's grain buffers are then fresh pages, as in a host, so that "construct, prepare and
  // activate" pays for touching them every time and the memory figures do not depend on what ran
  // before.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  TempHome home;
  const double firstInstanceSeconds = firstConstructAndPrepareSeconds();

  struct ModeMemory {
    const char* mode;
    int preset;
    bool eightNotes;
    MemoryUse use;
  };
  ModeMemory memory[] = {
    {"M.SEC", 0, false, {}}, {"SYNC", 1, false, {}}, {"FREQ", 2, false, {}}, {"MIDI, 8 notes", 3, true, {}}};
  for (ModeMemory& m : memory)
    m.use = instanceMemory(m.preset, m.eightNotes);

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
  benchmark::RegisterBenchmark("construct, prepare and activate at 48 kHz", constructAndPrepare)
    ->Unit(benchmark::kMicrosecond);

  benchmark::Initialize(&argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nQuennet through the processing call: %.0f Hz, %d-frame blocks, float buffers, transport playing\n",
              kRate, kBlock);
  std::printf("%-40s %14s %12s\n", "", "x real time", "ns/frame");
  double eightNotesRealTime = 0.0;
  for (const Figure& figure : reporter.figures) {
    if (figure.name.rfind("render/", 0) == 0) {
      const double blockSeconds = kBlock / kRate;
      const double realTime = blockSeconds / figure.secondsPerIteration;
      std::printf("%-40s %14.1f %12.1f\n", figure.name.substr(7).c_str(), realTime,
                  figure.secondsPerIteration * 1e9 / kBlock);
      if (figure.name.find("8 held notes") != std::string::npos)
        eightNotesRealTime = realTime;
    }
  }
  double constructAndPrepareSeconds = 0.0;
  for (const Figure& figure : reporter.figures)
    if (figure.name.rfind("construct", 0) == 0) {
      std::printf("%-40s %14.1f µs\n", figure.name.c_str(), figure.secondsPerIteration * 1e6);
      if (figure.name.find("prepare") != std::string::npos)
        constructAndPrepareSeconds = figure.secondsPerIteration;
    }
  std::printf("%-40s %14.1f µs\n", "first instance: construct, prepare, activate", firstInstanceSeconds * 1e6);
  double largestResident = 0.0;
  for (const ModeMemory& m : memory) {
    std::printf("one instance after 1 s, %-16s %14.1f MiB heap, %.1f MiB resident\n", m.mode,
                m.use.heapBytes / 1048576.0, m.use.residentBytes / 1048576.0);
    largestResident = std::max(largestResident, m.use.residentBytes / 1048576.0);
  }

  // The audio thread of a fresh instance per preset (the MIDI ones with no note: idle voices), and
  // with eight held notes; 4690 blocks, 50 s, five runs.
  constexpr int kAudioThreadBlocks = 4690;
  constexpr int kAudioThreadRuns = 5;
  std::printf("\nThe audio thread of a fresh instance, %d blocks of %d frames from its first block on, the least "
              "time of each block over %d runs\n",
              kAudioThreadBlocks, kBlock, kAudioThreadRuns);
  std::printf("%-40s %12s %12s %16s %12s\n", "", "page faults", "median µs", "worst µs (block)", "worst/median");
  long audioFaults = 0;
  double worstRatio = 0.0;
  const auto audioRow = [&](const std::string& name, int preset, bool eightNotes) {
    const AudioThreadFigures f = runOnAudioThread(preset, eightNotes, kAudioThreadBlocks, kAudioThreadRuns);
    const double ratio = f.worstSeconds / f.medianSeconds;
    std::printf("%-40s %12ld %12.2f %9.2f (%4d) %12.1f\n", name.c_str(), f.faults, f.medianSeconds * 1e6,
                f.worstSeconds * 1e6, f.worstBlock, ratio);
    audioFaults += f.faults;
    worstRatio = std::max(worstRatio, ratio);
  };
  for (int p = 0; p < static_cast<int>(presetNames.size()); ++p)
    audioRow(std::to_string(p) + " " + presetNames[static_cast<size_t>(p)], p, false);
  audioRow("MIDI Standard, 8 held notes", 3, true);

  const auto verdict = [](bool met) { return met ? "met" : "NOT MET"; };
  const double slowestConstruct = std::max(constructAndPrepareSeconds, firstInstanceSeconds) * 1e3;
  std::printf("\nTargets\n");
  std::printf("%-58s %9.1f x  %s\n", "eight held notes in mode MIDI, at least 600x real time", eightNotesRealTime,
              verdict(eightNotesRealTime >= 600.0));
  std::printf("%-58s %9.1f MiB  %s\n", "one instance after 1 s, every mode, at most 6 MiB resident", largestResident,
              verdict(largestResident <= 6.0));
  std::printf("%-58s %9.1f ms  %s\n", "construct, prepare and activate at 48 kHz, first instance too, 10 ms",
              slowestConstruct, verdict(slowestConstruct <= 10.0));
  std::printf("%-58s %9.1f    %s\n", "worst block over the median block, at most 4", worstRatio,
              verdict(worstRatio <= 4.0));
  std::printf("%-58s %9ld    %s\n", "page faults on the audio thread, none", audioFaults, verdict(audioFaults == 0));

  measureTheProgram();
  return 0;
}
