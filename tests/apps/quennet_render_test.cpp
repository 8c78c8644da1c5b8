// SPDX-License-Identifier: ISC
// Runs the real quennet-render executable, in a temporary HOME, on real files; compares what it
// writes with the plug-in driven directly through the processing call, and checks its errors.

#include <gtest/gtest.h>

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <sndfile.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "SmfBytes.h"
#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.param.h"
#include "lv2/ChildProcess.h"
#include "framework/IPlugin.h"
#include "apps/quennet-render/WaveformPicture.h"

using namespace quennet;

namespace fs = std::filesystem;

namespace {

constexpr int kRate = 48000;

// Cairo and fontconfig keep font caches for the life of the process; releasing them at the end
// keeps LeakSanitizer builds quiet.
class ReleaseFontCaches : public ::testing::Environment {
public:
  void TearDown() override
  {
    cairo_debug_reset_static_data();
    FcFini();
  }
};
const ::testing::Environment* const kReleaseFontCaches = ::testing::AddGlobalTestEnvironment(new ReleaseFontCaches);

// A string literal with its zero bytes, without the terminating one.
template <size_t N>
std::string bytes(const char (&literal)[N])
{
  return std::string(literal, N - 1);
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs quennet-render with `args`; its standard output and error are collected through files in
// `scratch`. With fileSizeLimit > 0 the process cannot write files beyond that many bytes.
RunResult runRender(const std::vector<std::string>& args, const fs::path& scratch, rlim_t fileSizeLimit = 0)
{
  const fs::path outPath = scratch / "stdout.txt";
  const fs::path errPath = scratch / "stderr.txt";
  std::vector<std::string> all = {QUENNET_RENDER};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0)
      _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (fileSizeLimit > 0) {
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN); // a write beyond the limit then fails with EFBIG instead of killing
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

// Audio files.

struct AudioData {
  int channels = 0;
  int rate = 0;
  int format = 0;
  std::vector<float> samples; // interleaved
  long frames() const { return channels ? static_cast<long>(samples.size()) / channels : 0; }
};

void writeAudio(const fs::path& path, const std::vector<float>& interleaved, int channels, int rate = kRate,
                int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT)
{
  SF_INFO info{};
  info.channels = channels;
  info.samplerate = rate;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels),
            static_cast<sf_count_t>(interleaved.size()) / channels);
  sf_close(file);
}

AudioData readAudio(const fs::path& path)
{
  AudioData audio;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
    return audio;
  }
  audio.channels = info.channels;
  audio.rate = info.samplerate;
  audio.format = info.format;
  audio.samples.resize(static_cast<size_t>(info.frames * info.channels));
  EXPECT_EQ(sf_readf_float(file, audio.samples.data(), info.frames), info.frames);
  sf_close(file);
  return audio;
}

std::vector<float> interleave(const StereoBuffer& buffer)
{
  std::vector<float> samples;
  for (size_t i = 0; i < buffer.frames(); ++i) {
    samples.push_back(buffer.left[i]);
    samples.push_back(buffer.right[i]);
  }
  return samples;
}

StereoBuffer deinterleave(const AudioData& audio)
{
  StereoBuffer buffer(static_cast<size_t>(audio.frames()));
  for (size_t i = 0; i < buffer.frames(); ++i) {
    buffer.left[i] = audio.samples[i * 2];
    buffer.right[i] = audio.samples[i * 2 + 1];
  }
  return buffer;
}

// Uniform noise in ±amplitude from a fixed seed (xorshift64*), different on both channels.
StereoBuffer noise(size_t frames, std::uint64_t seed, float amplitude = 0.5f)
{
  StereoBuffer buffer(frames);
  std::uint64_t state = seed;
  auto next = [&] {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    const std::uint64_t r = state * 0x2545F4914F6CDD1Dull;
    return static_cast<float>(static_cast<double>(r >> 11) / 9007199254740992.0 * 2.0 - 1.0) * amplitude;
  };
  for (size_t i = 0; i < frames; ++i) {
    buffer.left[i] = next();
    buffer.right[i] = next();
  }
  return buffer;
}

// The first frame at which two renders differ on either channel; -1 when they are equal.
long firstDifference(const StereoBuffer& a, const StereoBuffer& b)
{
  const size_t n = std::min(a.frames(), b.frames());
  for (size_t i = 0; i < n; ++i)
    if (a.left[i] != b.left[i] || a.right[i] != b.right[i])
      return static_cast<long>(i);
  return a.frames() == b.frames() ? -1 : static_cast<long>(n);
}

// MIDI files.

struct MidiFileEvent {
  int track;
  int pulses;
  std::vector<std::uint8_t> bytes;
};

void writeMidi(const fs::path& path, int ppqn, int tracks, const std::vector<MidiFileEvent>& events)
{
  std::vector<SmfTimedEvent> timed;
  for (const MidiFileEvent& e : events)
    timed.push_back({e.track, static_cast<std::uint32_t>(e.pulses), std::string(e.bytes.begin(), e.bytes.end())});
  writeFile(path, smfFile(tracks == 1 ? 0 : 1, ppqn, tracks, timed));
}

// Two tracks at 480 pulses per quarter note: a conductor track with 120 BPM from the start and
// 100 BPM from pulse 960, and notes. At 48 kHz a pulse is 50 frames at 120 BPM and 60 at 100 BPM.
void writeTestMidi(const fs::path& path)
{
  writeMidi(path, 480, 2,
            {
              {0, 0, {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}}, // 500000 µs per quarter
              {0, 960, {0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0}}, // 600000 µs per quarter
              {1, 0, {0x90, 60, 100}},
              {1, 240, {0x90, 64, 100}},
              {1, 480, {0xC0, 5}},
              {1, 480, {0x80, 60, 0}},
              {1, 1200, {0x91, 67, 90}},
              {1, 1440, {0xB0, 123, 0}},
            });
}

// The same events at their frames, worked out by hand from the tempo map above.
std::vector<TimedMidi> testMidiFrames()
{
  return {
    {0, 0x90, 60, 100},    {12000, 0x90, 64, 100}, // 240 · 50
    {24000, 0xC0, 5, 0}, // 480 · 50
    {24000, 0x80, 60, 0},  {62400, 0x91, 67, 90}, // 960 · 50 + 240 · 60
    {76800, 0xB0, 123, 0}, // 960 · 50 + 480 · 60
  };
}

// The plug-in driven directly: a preset as the preset menu loads it, plain values as a host sets
// them, prepared for the rate and block size, then the processing call block by block.
StereoBuffer renderDirect(int preset, const std::vector<std::pair<int, double>>& settings, const StereoBuffer& input,
                          const RenderOptions& options, double rate = kRate)
{
  std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug(plug::InstanceInfo{}));
  if (!plugin) {
    ADD_FAILURE() << "the plug-in could not be made";
    return StereoBuffer();
  }
  plugin->RestorePreset(preset);
  for (const auto& [index, value] : settings)
    plugin->SetParameterFromHostPlain(index, value);
  plugin->PrepareToPlay(rate, options.blockSize);
  return renderThrough(*plugin, input, options);
}

StereoBuffer withTail(StereoBuffer buffer, size_t frames)
{
  buffer.left.resize(buffer.left.size() + frames, 0.0f);
  buffer.right.resize(buffer.right.size() + frames, 0.0f);
  return buffer;
}

// Every regular file in a folder with its content.
std::map<std::string, std::string> folderContents(const fs::path& folder)
{
  std::map<std::string, std::string> contents;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file())
      contents[entry.path().filename().string()] = readFile(entry.path());
  return contents;
}

// The names of files added, removed or changed between two snapshots of a folder.
std::string changedFiles(const std::map<std::string, std::string>& before,
                         const std::map<std::string, std::string>& after)
{
  std::string changed;
  for (const auto& [name, content] : before) {
    const auto it = after.find(name);
    if (it == after.end())
      changed += " removed:" + name;
    else if (it->second != content)
      changed += " changed:" + name;
  }
  for (const auto& [name, content] : after)
    if (!before.count(name))
      changed += " added:" + name;
  return changed;
}

int lineCount(const std::string& text)
{
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Width and height from a PNG's header.
std::pair<int, int> pngSize(const fs::path& path)
{
  const std::string bytes = readFile(path);
  if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0)
    return {0, 0};
  auto be32 = [&](size_t at) {
    return (static_cast<unsigned char>(bytes[at]) << 24) | (static_cast<unsigned char>(bytes[at + 1]) << 16) |
      (static_cast<unsigned char>(bytes[at + 2]) << 8) | static_cast<unsigned char>(bytes[at + 3]);
  };
  return {be32(16), be32(20)};
}

// The writing end of a FIFO once a reader has opened the other end; -1 when none has within
// `seconds`. Writes to a reader that went away fail with EPIPE rather than kill the test.
int openFifoForWriting(const fs::path& fifo, double seconds)
{
  signal(SIGPIPE, SIG_IGN);
  int fd = -1;
  waitUntil([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, seconds, 0.01);
  if (fd >= 0)
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool writeAll(int fd, const std::string& bytes)
{
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written <= 0)
      return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

class QuennetRenderTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    work = fs::path(home.path()) / "work";
    scratch = fs::path(home.path()) / "scratch";
    fs::create_directories(work);
    fs::create_directories(scratch);
  }

  RunResult run(const std::vector<std::string>& args, rlim_t fileSizeLimit = 0)
  {
    return runRender(args, scratch, fileSizeLimit);
  }

  std::string path(const std::string& name) const { return (work / name).string(); }

  TempHome home;
  fs::path work; // the renderer's files
  fs::path scratch; // its captured standard output and error
};

// The render through the command line equals the plug-in driven directly, sample for sample.

TEST_F(QuennetRenderTest, RenderEqualsTheProcessingCallDrivenDirectly)
{
  const StereoBuffer input = noise(84000, 0x1234); // 1.75 s at 48 kHz
  writeAudio(path("in.wav"), interleave(input), 2);
  const StereoBuffer input44 = noise(44100, 0x9876);
  writeAudio(path("in44.wav"), interleave(input44), 2, 44100);
  writeTestMidi(path("notes.mid"));

  struct Case {
    const char* name;
    std::string presetArg;
    int preset;
    int block;
    std::optional<double> tempo; // none: --no-transport
    long position;
    bool midi;
    double tailSeconds;
    int rate;
  };
  const Case cases[] = {
    {"default preset, 512-frame blocks", "0", 0, 512, 120.0, 0, false, 0.0, kRate},
    {"Sync 2 Host by name, one frame per block", "sync 2 host", 1, 1, 172.0, 0, false, 0.0, kRate},
    {"Frequency at 44.1 kHz, blocks of 100", "Frequency", 2, 100, 120.0, 0, false, 0.0, 44100},
    {"MIDI Standard with the MIDI file, blocks of 64", "3", 3, 64, 120.0, 0, true, 0.0, kRate},
    {"MIDI Synced with the MIDI file and a tail, blocks of 1000", "MIDI Synced", 4, 1000, 172.0, 0, true, 0.25, kRate},
    {"Synced Reversals at a song position, blocks of 333", "6", 6, 333, 140.0, 12345, false, 0.0, kRate},
    {"Strange Mix without transport, blocks of 4096", "Strange Mix", 9, 4096, std::nullopt, 0, false, 0.0, kRate},
    // 84000 = 108 · 777 + 84: the input ends inside a block, which the tail's silence completes.
    {"MIDI Standard with a tail, blocks of 777", "3", 3, 777, 120.0, 0, true, 0.1, kRate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--preset", c.presetArg, "--block", std::to_string(c.block), "--format", "float"};
    if (c.tempo) {
      args.insert(args.end(), {"--tempo", std::to_string(*c.tempo), "--position", std::to_string(c.position)});
    } else {
      args.push_back("--no-transport");
    }
    if (c.midi)
      args.insert(args.end(), {"--midi", path("notes.mid")});
    if (c.tailSeconds > 0.0)
      args.insert(args.end(), {"--tail", std::to_string(c.tailSeconds)});
    args.push_back(c.rate == kRate ? path("in.wav") : path("in44.wav"));
    args.push_back(path("out.wav"));

    const RunResult result = run(args);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const AudioData written = readAudio(path("out.wav"));
    EXPECT_EQ(written.channels, 2);
    EXPECT_EQ(written.rate, c.rate);
    EXPECT_EQ(written.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);

    RenderOptions options;
    options.blockSize = c.block;
    options.tempo = c.tempo;
    options.startPosition = static_cast<double>(c.position);
    if (c.midi)
      options.midi = testMidiFrames();
    const StereoBuffer source = c.rate == kRate ? input : input44;
    const StereoBuffer expected =
      renderDirect(c.preset, {}, withTail(source, static_cast<size_t>(c.tailSeconds * c.rate)), options, c.rate);
    ASSERT_EQ(static_cast<size_t>(written.frames()), expected.frames());
    EXPECT_EQ(firstDifference(deinterleave(written), expected), -1);
  }
  // A successful render leaves nothing but its output behind.
  std::vector<std::string> names;
  for (const auto& [name, content] : folderContents(work))
    names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"in.wav", "in44.wav", "notes.mid", "out.wav"}));
}

TEST_F(QuennetRenderTest, MidiEventsLandOnTheFramesOfTheFilesTempoMap)
{
  // One frame per block: every event is delivered exactly at its frame, so an event one frame
  // early or late changes the render.
  const StereoBuffer input = noise(80000, 0x55);
  writeAudio(path("in.wav"), interleave(input), 2);
  writeTestMidi(path("notes.mid"));
  const RunResult result =
    run({"-p", "3", "-b", "1", "--format", "float", "--midi", path("notes.mid"), path("in.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  const StereoBuffer rendered = deinterleave(readAudio(path("out.wav")));

  RenderOptions options;
  options.blockSize = 1;
  options.midi = testMidiFrames();
  EXPECT_EQ(firstDifference(renderDirect(3, {}, input, options), rendered), -1);

  // In blocks of 512 frames every event still sounds from its own frame, not from its block's start.
  const RunResult inBlocks =
    run({"-p", "3", "-b", "512", "--format", "float", "--midi", path("notes.mid"), path("in.wav"), path("blocks.wav")});
  ASSERT_EQ(inBlocks.status, 0) << inBlocks.err;
  EXPECT_EQ(firstDifference(deinterleave(readAudio(path("blocks.wav"))), rendered), -1);

  for (size_t moved : {1, 3, 4, 5}) { // event 2, the program change, does nothing audible
    for (int by : {-1, 1}) {
      SCOPED_TRACE(testing::Message() << "event " << moved << " moved by " << by);
      options.midi = testMidiFrames();
      options.midi[moved].frame += by;
      std::stable_sort(options.midi.begin(), options.midi.end(),
                       [](const TimedMidi& a, const TimedMidi& b) { return a.frame < b.frame; });
      EXPECT_NE(firstDifference(renderDirect(3, {}, input, options), rendered), -1);
    }
  }
}

TEST_F(QuennetRenderTest, MidiTimesRoundToTheNearestFrame)
{
  // At 44.1 kHz and 120 BPM a pulse of 1/480 quarter note is 45.9375 frames: pulses 1, 3 and 5
  // fall at 45.9375, 137.8125 and 229.6875, so at frames 46, 138 and 230.
  const StereoBuffer input = noise(4410, 0x66);
  writeAudio(path("in.wav"), interleave(input), 2, 44100);
  writeMidi(path("near.mid"), 480, 1, {{0, 1, {0x90, 60, 100}}, {0, 3, {0x90, 64, 100}}, {0, 5, {0x80, 60, 0}}});
  const RunResult result =
    run({"-p", "3", "-b", "1", "--format", "float", "--midi", path("near.mid"), path("in.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  RenderOptions options;
  options.blockSize = 1;
  options.midi = {{46, 0x90, 60, 100}, {138, 0x90, 64, 100}, {230, 0x80, 60, 0}};
  EXPECT_EQ(firstDifference(renderDirect(3, {}, input, options, 44100), deinterleave(readAudio(path("out.wav")))), -1);
}

// Files some programs write, and files a careless or hostile user might hand over: every one is
// read whole (not cut short, not a byte outside it), and every event lands on its exact frame.
TEST_F(QuennetRenderTest, LargeAndUnusualMidiFilesPlayExactly)
{
  const std::string noteOn = bytes("\x90\x3C\x64");
  const std::string noteOff = bytes("\x80\x3C\x00");
  struct Case {
    const char* name;
    std::string file;
    size_t inputFrames;
    std::vector<TimedMidi> expected;
  };
  std::vector<Case> cases;

  // Format 1 with chunks of other kinds before, between and after the tracks: the test tempo map
  // and notes, so the frames are those worked out by hand.
  {
    const std::string plain = smfFile(1, 480, 2,
                                      {
                                        {0, 0, smfTempo(500000)},
                                        {0, 960, smfTempo(600000)},
                                        {1, 0, bytes("\x90\x3C\x64")},
                                        {1, 240, bytes("\x90\x40\x64")},
                                        {1, 480, bytes("\xC0\x05")},
                                        {1, 480, bytes("\x80\x3C\x00")},
                                        {1, 1200, bytes("\x91\x43\x5A")},
                                        {1, 1440, bytes("\xB0\x7B\x00")},
                                      });
    // The header (14 bytes), the conductor track (8 bytes and the length at 18 … 21), the notes.
    const size_t conductorEnd = 14 + 8 + static_cast<unsigned char>(plain[21]);
    const std::string file = plain.substr(0, 14) + smfChunk("XFIH", "made by a notation program") +
      plain.substr(14, conductorEnd - 14) + smfChunk("MTxt", "") + plain.substr(conductorEnd) + smfChunk("XFKM", "end");
    cases.push_back({"chunks of other kinds", file, 80000, testMidiFrames()});
  }
  // Tracks without End of Track, or with bytes after it: a note at pulse 0 and its end at 480
  // (24000 frames at 120 BPM), then a note cut off by the chunk's end, or junk after End of Track.
  {
    const std::string notes = bytes("\x00\x90\x3C\x64\x83\x60\x80\x3C\x00");
    const std::vector<TimedMidi> expected = {{0, 0x90, 60, 100}, {24000, 0x80, 60, 0}};
    cases.push_back({"no End of Track, the last event cut off",
                     smfHeader(0, 1, 480) + smfChunk("MTrk", notes + bytes("\x10\x90\x40")), 30000, expected});
    cases.push_back({"bytes after End of Track",
                     smfHeader(0, 1, 480) + smfChunk("MTrk", notes + bytes("\x00\xFF\x2F\x00\x00\x90\x40\x64\xF8")),
                     30000, expected});
  }
  // 65 535 tracks, the most a header can declare; only the last one holds notes.
  {
    std::vector<SmfTimedEvent> events = {{65534, 0, noteOn}, {65534, 480, noteOff}};
    cases.push_back(
      {"65 535 tracks", smfFile(1, 480, 65535, events), 30000, {{0, 0x90, 60, 100}, {24000, 0x80, 60, 0}}});
  }
  // 800 000 note events, 2.4 MB: a note-on at every even pulse and its end (a note-on of velocity
  // 0, in running status) at the odd pulse after it. At 120 BPM a pulse is 50 frames; the 24000
  // frames of input hold the first 480 events.
  {
    std::string track = smfVarLength(0) + bytes("\x90\x3C\x64");
    for (int i = 1; i < 800000; ++i)
      track += smfVarLength(1) + (i % 2 == 0 ? std::string(bytes("\x3C\x64")) : std::string(bytes("\x3C\x00")));
    track += smfVarLength(0) + kSmfEndOfTrack;
    std::vector<TimedMidi> expected;
    for (int i = 0; i < 480; ++i)
      expected.push_back({50L * i, 0x90, 60, static_cast<std::uint8_t>(i % 2 == 0 ? 100 : 0)});
    cases.push_back({"800 000 note events", smfHeader(0, 1, 480) + smfChunk("MTrk", track), 24000, expected});
  }
  // 100 000 tempo events, one per pulse: 500000 µs per quarter note at even pulses (50 frames per
  // pulse), 250000 at odd ones (25 frames), so an even pulse p lies at frame 75 · p / 2. Notes at
  // pulses 100 k (on) and 100 k + 50 (off).
  {
    std::vector<SmfTimedEvent> events;
    for (std::uint32_t p = 0; p < 100000; ++p)
      events.push_back({0, p, smfTempo(p % 2 == 0 ? 500000 : 250000)});
    std::vector<TimedMidi> expected;
    for (std::uint32_t k = 0; k <= 12; ++k) {
      events.push_back({1, 100 * k, noteOn});
      events.push_back({1, 100 * k + 50, noteOff});
      expected.push_back({3750L * k, 0x90, 60, 100});
      expected.push_back({3750L * k + 1875, 0x80, 60, 0});
    }
    cases.push_back({"100 000 tempo events", smfFile(1, 480, 2, events), 48000, expected});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const StereoBuffer input = noise(c.inputFrames, 0x3131);
    writeAudio(path("in.wav"), interleave(input), 2);
    writeFile(path("notes.mid"), c.file);
    const RunResult result =
      run({"-p", "3", "--format", "float", "--midi", path("notes.mid"), path("in.wav"), path("out.wav")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    RenderOptions options;
    options.midi = c.expected;
    EXPECT_EQ(firstDifference(deinterleave(readAudio(path("out.wav"))), renderDirect(3, {}, input, options)), -1);
  }
}

TEST_F(QuennetRenderTest, MidiFilesBeyondTheCapAreRefusedBeforeTheyAreRead)
{
  writeAudio(path("in.wav"), interleave(noise(4800, 0x11)), 2);
  // 64 MB and one byte, sparse: refused from its size, nothing read.
  {
    std::ofstream(path("huge.mid"), std::ios::binary).put('M');
    fs::resize_file(path("huge.mid"), (64u << 20) + 1);
  }
  const struct {
    const char* name;
    std::string midi;
  } cases[] = {
    {"a file of 64 MB and one byte", path("huge.mid")},
    {"an endless device", "/dev/zero"}, // read only up to the cap and one byte more
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run({"--midi", c.midi, path("in.wav"), path("out.wav")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "quennet-render: '" + c.midi + "' is too large for a MIDI file (more than 64 MB)\n");
    EXPECT_FALSE(fs::exists(path("out.wav")));
  }
}

TEST_F(QuennetRenderTest, MonoInputGivesTwoEqualChannels)
{
  const StereoBuffer stereo = noise(30000, 0x77);
  writeAudio(path("mono.wav"), stereo.left, 1);
  const RunResult result = run({"--preset", "Frequency", "--format", "float", path("mono.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  const AudioData written = readAudio(path("out.wav"));
  ASSERT_EQ(written.channels, 2);
  const StereoBuffer out = deinterleave(written);
  EXPECT_EQ(out.left, out.right);

  StereoBuffer twice(stereo.frames());
  twice.left = stereo.left;
  twice.right = stereo.left;
  EXPECT_EQ(firstDifference(out, renderDirect(2, {}, twice, RenderOptions{})), -1);
}

TEST_F(QuennetRenderTest, SongPositionAndMissingTransportMoveTheSyncedGrainRestarts)
{
  // "Sync 2 Host" at 120 BPM and 48 kHz: a beat is 24000 samples, a 1/16 grain 6000. From song
  // position p the grain counter starts at p mod 6000 and the grain restarts when it reaches 6000:
  // at frame 5999 from position 0, at 2999 from position 3000. Without transport the position is
  // -1, so the first restart comes at frame 6000. The renders agree up to the earlier restart.
  const StereoBuffer input = noise(30000, 0xABC);
  writeAudio(path("in.wav"), interleave(input), 2);
  const std::vector<std::string> common = {"-p", "1", "--format", "float"};
  auto render = [&](std::vector<std::string> extra, const std::string& name) {
    std::vector<std::string> args = common;
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {path("in.wav"), path(name)});
    const RunResult result = run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    return deinterleave(readAudio(path(name)));
  };
  const StereoBuffer atZero = render({"--tempo", "120"}, "zero.wav");
  const StereoBuffer at3000 = render({"--tempo", "120", "--position", "3000"}, "p3000.wav");
  const StereoBuffer at6000 = render({"--position", "6000", "--tempo", "120"}, "p6000.wav");
  const StereoBuffer noTransport = render({"--no-transport"}, "none.wav");

  EXPECT_EQ(firstDifference(atZero, at3000), 2999);
  EXPECT_EQ(firstDifference(atZero, noTransport), 5999);
  // 6000 is a whole grain further: the grains restart where they do from 0, only the 1/4 frame
  // (24000 samples, counter at 6000) restarts earlier, at frame 17999 instead of 23999.
  EXPECT_EQ(firstDifference(atZero, at6000), 17999);
}

TEST_F(QuennetRenderTest, SetTakesDisplayTextsOfTheEnums)
{
  const StereoBuffer input = noise(24000, 0x31);
  writeAudio(path("in.wav"), interleave(input), 2);
  struct Case {
    const char* setting;
    int preset;
    int param;
    double value;
  };
  const Case cases[] = {
    {"Grain Mode=FREQ", 0, kGrainMode, 2.0},
    {"grain MODE=freq", 0, kGrainMode, 2.0}, // names and texts in any case
    {"Grain Sync=1/8", 1, kGrainSync, 7.0},
    {"Frame Sync=1/8T", 1, kFrameSync, 5.0},
    {"Frame Sync to Host=on", 0, kFrameSyncToHost, 1.0},
    {"Frame Sync to Host=off", 1, kFrameSyncToHost, 0.0},
    {"Grain Mode=3", 2, kGrainMode, 3.0}, // a plain number works too
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    const RunResult result =
      run({"-p", std::to_string(c.preset), "--set", c.setting, "--format", "float", path("in.wav"), path("out.wav")});
    ASSERT_EQ(result.status, 0) << result.err;
    const StereoBuffer rendered = deinterleave(readAudio(path("out.wav")));
    EXPECT_EQ(firstDifference(rendered, renderDirect(c.preset, {{c.param, c.value}}, input, RenderOptions{})), -1);
    EXPECT_NE(firstDifference(rendered, renderDirect(c.preset, {}, input, RenderOptions{})), -1)
      << "the setting should change the sound";
  }
}

TEST_F(QuennetRenderTest, SetsApplyInOrderAfterThePresetAndClampWithAWarning)
{
  const StereoBuffer input = noise(12000, 0x42);
  writeAudio(path("in.wav"), interleave(input), 2);
  const RunResult result = run({"-p", "9", "-s", "Mix=0.25", "-s", "Grain Length=33.3", "-s", "Mix=5", "-s",
                                "Grain Length=44.44", "--format", "float", path("in.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(lineCount(result.err), 1);
  EXPECT_NE(result.err.find("warning: Mix=5 is outside"), std::string::npos) << result.err;
  // Mix 5 clamps to 1. Grain Length is a double without the stepped flag: 44.44 is stored as it
  // is, not moved by a round trip through the normalised value.
  EXPECT_EQ(firstDifference(deinterleave(readAudio(path("out.wav"))),
                            renderDirect(9, {{kMix, 1.0}, {kGrainLength, 44.44}}, input, RenderOptions{})),
            -1);
  EXPECT_NE(firstDifference(deinterleave(readAudio(path("out.wav"))),
                            renderDirect(9, {{kMix, 1.0}, {kGrainLength, 44.4}}, input, RenderOptions{})),
            -1);
}

// Output containers and encodings.

TEST_F(QuennetRenderTest, ContainerFollowsTheExtensionAndTheFormatTheInputOrOption)
{
  const StereoBuffer input = noise(4800, 0x5);
  writeAudio(path("float.wav"), interleave(input), 2);
  writeAudio(path("pcm16.wav"), interleave(input), 2, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  struct Case {
    const char* input;
    const char* output;
    std::vector<std::string> options;
    int format;
  };
  const Case cases[] = {
    {"pcm16.wav", "a.wav", {}, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
    {"float.wav", "b.wav", {}, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
    {"float.wav", "c.WAV", {"--format", "pcm24"}, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
    {"pcm16.wav", "d.aiff", {"--format", "float"}, SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
    {"float.wav", "e.aif", {"--format", "pcm16"}, SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
    {"float.wav", "f.flac", {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24}, // float input: FLAC's nearest is pcm24
    {"pcm16.wav", "g.flac", {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
    {"float.wav", "h.ogg", {"--format", "pcm16"}, SF_FORMAT_OGG | SF_FORMAT_VORBIS}, // Vorbis ignores --format
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {path(c.input), path(c.output)});
    const RunResult result = run(args);
    ASSERT_EQ(result.status, 0) << result.err;
    const AudioData written = readAudio(path(c.output));
    EXPECT_EQ(written.format, c.format);
    EXPECT_EQ(written.channels, 2);
    EXPECT_EQ(written.frames(), 4800);
  }
}

TEST_F(QuennetRenderTest, WholeNumberFormatsClipInsteadOfWrappingRound)
{
  // Dry signal at Volume 2: a constant 0.75 becomes 1.5, beyond full scale. A 16-bit file must
  // hold the largest value there, not a wrapped-round negative one.
  writeAudio(path("in.wav"), std::vector<float>(2 * 4800, 0.75f), 2);
  const RunResult result = run({"-s", "Mix=0", "-s", "Volume=2", "--format", "pcm16", path("in.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  const AudioData written = readAudio(path("out.wav"));
  ASSERT_EQ(written.frames(), 4800);
  for (float sample : written.samples)
    ASSERT_FLOAT_EQ(sample, 32767.0f / 32768.0f);
}

TEST_F(QuennetRenderTest, NonFiniteSamplesBecomeZeroWhereTheFormatCannotHoldThem)
{
  // Dry signal only: the output is the input, so NaN and infinities pass straight through (an
  // infinity becomes NaN on the way), at frames 100 (left), 200 (right) and 300 (both).
  std::vector<float> samples = interleave(noise(4800, 0x21));
  samples[2 * 100] = std::numeric_limits<float>::quiet_NaN();
  samples[2 * 200 + 1] = std::numeric_limits<float>::infinity();
  samples[2 * 300] = -std::numeric_limits<float>::infinity();
  samples[2 * 300 + 1] = std::numeric_limits<float>::quiet_NaN();
  writeAudio(path("in.wav"), samples, 2);
  const std::vector<size_t> bad = {2 * 100, 2 * 200 + 1, 2 * 300, 2 * 300 + 1};

  struct Case {
    const char* output;
    std::vector<std::string> format;
    bool keeps; // float: NaN stays, no warning
    bool lossless; // the other samples come back exactly as far as the encoding holds them
  };
  const Case cases[] = {
    {"float.wav", {"--format", "float"}, true, true},
    {"pcm16.wav", {"--format", "pcm16"}, false, true},
    {"pcm24.aiff", {"--format", "pcm24"}, false, true},
    {"pcm16.flac", {"--format", "pcm16"}, false, true},
    {"pcm24.flac", {}, false, true},
    {"vorbis.ogg", {}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    std::vector<std::string> args = {"-s", "Mix=0"};
    args.insert(args.end(), c.format.begin(), c.format.end());
    args.insert(args.end(), {path("in.wav"), path(c.output)});
    const RunResult result = run(args);
    ASSERT_EQ(result.status, 0) << result.err;
    if (c.keeps) {
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(lineCount(result.err), 1) << result.err;
      EXPECT_EQ(result.err.rfind("quennet-render: warning: 4 output samples were NaN or infinite;", 0), 0u)
        << result.err;
    }
    const AudioData written = readAudio(path(c.output));
    ASSERT_EQ(written.frames(), 4800);
    for (size_t i : bad) {
      if (c.keeps) {
        EXPECT_TRUE(std::isnan(written.samples[i])) << "sample " << i;
      } else if (c.lossless) {
        EXPECT_EQ(written.samples[i], 0.0f) << "sample " << i;
      }
    }
    if (!c.keeps) {
      for (size_t i = 0; i < written.samples.size(); ++i)
        ASSERT_TRUE(std::isfinite(written.samples[i])) << "sample " << i;
    }
    if (c.lossless) {
      EXPECT_NEAR(written.samples[2 * 150], samples[2 * 150], 1.0 / 32768.0);
    }
  }
}

TEST_F(QuennetRenderTest, EncodersAreTriedBeforeTheRender)
{
  // Vorbis encodes up to 200 kHz; beyond, the output is refused before anything is rendered.
  writeAudio(path("in200.wav"), interleave(noise(2000, 0x22)), 2, 200000);
  writeAudio(path("in384.wav"), interleave(noise(3840, 0x23)), 2, 384000);
  writeFile(path("out.ogg"), "precious old render");
  RunResult result = run({path("in200.wav"), path("ok.ogg")});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readAudio(path("ok.ogg")).rate, 200000);

  const auto before = folderContents(work);
  result = run({path("in384.wav"), path("out.ogg")});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err,
            "quennet-render: cannot write '" + path("out.ogg") +
              "': libsndfile cannot write Ogg Vorbis at 384000 Hz\n");
  EXPECT_EQ(changedFiles(before, folderContents(work)), "");
  result = run({path("in384.wav"), path("out.wav")});
  EXPECT_EQ(result.status, 0) << result.err;
}

// Pictures.

// The pictures are gathered block by block on the way; they show what the whole files show.
TEST_F(QuennetRenderTest, WaveformAndOverviewPicturesShowTheWholeFiles)
{
  writeAudio(path("in.wav"), interleave(noise(96000, 0x6)), 2);
  writeAudio(path("mono.wav"), noise(72000, 0x7).left, 1);
  auto rowOf = [&](const std::string& title, const std::string& name) {
    const AudioData audio = readAudio(path(name));
    return render::WaveformRow::fromInterleaved(title, audio.samples.data(), audio.frames(), audio.channels,
                                                audio.rate);
  };
  auto expectedPicture = [](const std::vector<render::WaveformRow>& rows) {
    std::vector<unsigned char> png;
    std::string error;
    EXPECT_TRUE(render::encodeWaveformPng(rows, png, 1600, &error)) << error;
    return std::string(png.begin(), png.end());
  };

  RunResult result =
    run({"--waveform", path("render.png"), "--tail", "0.5", "-b", "1000", path("mono.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  // Picture height: 12 + rows · 120 + 28; the default width is 1600.
  EXPECT_EQ(pngSize(path("render.png")), std::make_pair(1600, 12 + 2 * 120 + 28));
  EXPECT_TRUE(readFile(path("render.png")) ==
              expectedPicture({rowOf("input: mono.wav", "mono.wav"), rowOf("output: out.wav", "out.wav")}));

  // An overview keeps a few values per pixel column of each file: 8192 stretches, at most.
  auto overviewRowOf = [&](const std::string& name) {
    render::WaveformRow row = rowOf(name, name);
    row.left.keepAtMost(8192);
    row.right.keepAtMost(8192);
    EXPECT_EQ(row.left.stretchLength(), 16); // 72000 or 96000 samples: 4500 or 6000 stretches
    return row;
  };
  result = run({"--overview", path("overview.png"), path("in.wav"), path("out.wav"), path("mono.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(pngSize(path("overview.png")), std::make_pair(1600, 12 + 3 * 120 + 28));
  EXPECT_TRUE(readFile(path("overview.png")) ==
              expectedPicture({overviewRowOf("in.wav"), overviewRowOf("out.wav"), overviewRowOf("mono.wav")}));
}

// The editor as a picture: its size follows --scale, and it shows the slider of the grain mode that
// the preset and the settings leave.
TEST_F(QuennetRenderTest, EditorPictureShowsThePresetAndSettings)
{
  // Dark pixels of the grain slider's readout (design 290 … 382 × 212 … 236): its value text.
  auto readoutTextPixels = [](const std::string& png, double scale) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
    const unsigned char* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    int dark = 0;
    for (int y = static_cast<int>(212 * scale); y < static_cast<int>(236 * scale); ++y)
      for (int x = static_cast<int>(290 * scale); x < static_cast<int>(382 * scale); ++x) {
        const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(data + y * stride)[x];
        dark += ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) < 3 * 150;
      }
    cairo_surface_destroy(s);
    return dark;
  };
  struct Case {
    const char* name;
    std::vector<std::string> options;
    double scale;
    bool grainReadout;
  };
  const Case cases[] = {
    {"default preset, default scale", {}, 0.5, true},
    {"smallest", {"--scale", "0.25"}, 0.25, true},
    {"MIDI Standard: no grain slider", {"-p", "MIDI Standard", "--scale", "1"}, 1.0, false},
    {"MIDI Standard set to FREQ", {"-p", "3", "-s", "Grain Mode=FREQ", "--scale=1"}, 1.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--editor-picture", path("editor.png")});
    const RunResult result = run(args);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(
      pngSize(path("editor.png")),
      std::make_pair(static_cast<int>(std::lround(1968 * c.scale)), static_cast<int>(std::lround(864 * c.scale))));
    EXPECT_EQ(readoutTextPixels(path("editor.png"), c.scale) > 0, c.grainReadout);
  }
}

// Errors.

TEST_F(QuennetRenderTest, BadInputGetsOneLineExitStatus2AndLeavesOutputUntouched)
{
  writeAudio(path("in.wav"), interleave(noise(4800, 0x8)), 2);
  writeAudio(path("three.wav"), std::vector<float>(3 * 100, 0.1f), 3);
  writeFile(path("text.wav"), "this is not audio, only text pretending to be a wave file\n");
  // A track longer than the file; a note-on cut off after its first data byte, and no End of Track.
  writeFile(path("broken.mid"), bytes("MThd\0\0\0\6\0\1\0\2\1\xe0MTrk\0\0\1\0\0\x90"));
  writeFile(path("nostatus.mid"), bytes("MThd\0\0\0\6\0\0\0\1\1\xe0MTrk\0\0\0\3\0\x3c\x40"));
  // AIFF rates libsndfile reads as whole numbers: 0 as 1 Hz, NaN and infinity as 67108864 Hz.
  writeAudio(path("in.aiff"), interleave(noise(4800, 0x81)), 2, kRate, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
  const std::string aiff = readFile(path("in.aiff"));
  const size_t rateAt = aiff.find("COMM") + 16; // after the chunk's size, channels, frames and bits
  const struct {
    const char* name;
    std::string extended; // sign and exponent, then the significand
  } rates[] = {{"zero.aiff", std::string(10, '\0')},
               {"nan.aiff", bytes("\x7f\xff\xc0\0\0\0\0\0\0\0")},
               {"infinity.aiff", bytes("\x7f\xff\x80\0\0\0\0\0\0\0")}};
  for (const auto& rate : rates)
    writeFile(path(rate.name), aiff.substr(0, rateAt) + rate.extended + aiff.substr(rateAt + 10));
  // A FLAC file cut off in the middle: found broken only while the render reads it.
  writeAudio(path("cut.flac"), interleave(noise(48000, 0x80)), 2, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  writeFile(path("cut.flac"), readFile(path("cut.flac")).substr(0, 100001));
  writeFile(path("out.wav"), "precious old render");
  writeFile(path("out.flac"), "precious old flac");
  writeFile(path("out.mp3"), "precious old mp3");
  writeFile(path("pic.jpg"), "precious old picture");
  fs::create_directories(work / "folder");

  const std::string in = path("in.wav");
  const std::string out = path("out.wav");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message; // the whole line after "quennet-render: " starts with this
  };
  const Case cases[] = {
    {"missing input", {path("nope.wav"), out}, "cannot read '" + path("nope.wav") + "': no such file"},
    {"input is a folder", {path("folder"), out}, "cannot read '" + path("folder") + "': it is a folder"},
    {"not an audio file",
     {path("text.wav"), out},
     "'" + path("text.wav") + "' is not in an audio format quennet-render can read"},
    {"three channels",
     {path("three.wav"), out},
     "'" + path("three.wav") + "' has 3 channels; quennet-render takes mono or stereo"},
    {"input broken in the middle", {path("cut.flac"), out}, "cannot read '" + path("cut.flac") + "': "},
    {"unsupported output type",
     {in, path("out.mp3")},
     "cannot write '" + path("out.mp3") + "': unsupported file type '.mp3'"},
    {"output name ending in a dot",
     {in, path("out.wav.")},
     "cannot write '" + path("out.wav.") + "': unsupported file type (no extension); use .wav"},
    {"FLAC cannot hold float", {"--format", "float", in, path("out.flac")}, "FLAC cannot hold float samples"},
    {"unknown format", {"--format", "pcm32", in, out}, "--format must be pcm16, pcm24 or float, not 'pcm32'"},
    {"preset index out of range", {"--preset", "10", in, out}, "unknown preset '10'"},
    {"unknown preset name", {"-p", "Loud", in, out}, "unknown preset 'Loud'"},
    {"unknown parameter", {"--set", "Grain Size=3", in, out}, "unknown parameter 'Grain Size'"},
    {"set without a name", {"--set", "=3", in, out}, "--set needs NAME=VALUE, not '=3'"},
    {"value neither number nor text", {"--set", "Mix=half", in, out}, "'half' is not a value of Mix"},
    {"enum text unknown",
     {"-s", "Grain Mode=FAST", in, out},
     "'FAST' is not a value of Grain Mode; one of M.SEC, SYNC, FREQ, MIDI or a number"},
    {"set without a value", {"--set", "Mix", in, out}, "--set needs NAME=VALUE, not 'Mix'"},
    {"block size 0", {"--block", "0", in, out}, "block size must be a whole number from 1 to 65536, not '0'"},
    {"block size 65537", {"-b", "65537", in, out}, "block size must be a whole number from 1 to 65536, not '65537'"},
    {"block size not a number", {"-b", "big", in, out}, "block size must be a whole number from 1 to 65536, not 'big'"},
    {"broken MIDI file",
     {"--midi", path("broken.mid"), in, out},
     "'" + path("broken.mid") + "' is not a valid Standard MIDI File"},
    {"MIDI data byte without a status",
     {"--midi", path("nostatus.mid"), in, out},
     "'" + path("nostatus.mid") + "' is not a valid Standard MIDI File (track 1: a data byte without a status)"},
    {"AIFF rate 0",
     {path("zero.aiff"), out},
     "'" + path("zero.aiff") + "' has a sample rate of 0 Hz; quennet-render takes 1000 to 384000 Hz"},
    {"AIFF rate NaN",
     {path("nan.aiff"), out},
     "'" + path("nan.aiff") + "' has a sample rate of NaN; quennet-render takes 1000 to 384000 Hz"},
    {"AIFF rate infinity",
     {path("infinity.aiff"), out},
     "'" + path("infinity.aiff") + "' has a sample rate of infinity; quennet-render takes 1000 to 384000 Hz"},
    {"text as MIDI file",
     {"--midi", path("text.wav"), in, out},
     "'" + path("text.wav") + "' is not a valid Standard MIDI File"},
    {"missing MIDI file",
     {"--midi", path("nope.mid"), in, out},
     "cannot read MIDI file '" + path("nope.mid") + "': no such file"},
    {"output folder missing",
     {in, path("gone/out.wav")},
     "cannot write '" + path("gone/out.wav") + "': No such file or directory"},
    {"output is a folder", {in, path("folder")}, "'" + path("folder") + "' is a folder"},
    {"tempo zero",
     {"--tempo", "0", in, out},
     "--tempo must be a number of beats per minute above 0 and at most 1000, not '0'"},
    {"tempo that is 0 as a double",
     {"--tempo", "1e-400", in, out},
     "--tempo must be a number of beats per minute above 0 and at most 1000, not '1e-400'"},
    {"tempo in hexadecimal",
     {"--tempo", "0x10", in, out},
     "--tempo must be a number of beats per minute above 0 and at most 1000, not '0x10'"},
    {"tail in hexadecimal",
     {"--tail", "0x1p3", in, out},
     "--tail must be a number of seconds from 0 to 3600, not '0x1p3'"},
    {"tail infinite", {"--tail", "inf", in, out}, "--tail must be a number of seconds from 0 to 3600, not 'inf'"},
    {"set value in hexadecimal", {"--set", "Mix=0x1", in, out}, "'0x1' is not a value of Mix"},
    {"negative position", {"--position", "-1", in, out}, "--position must be a whole number of samples"},
    {"tail not a number", {"--tail", "long", in, out}, "--tail must be a number of seconds from 0 to 3600, not 'long'"},
    {"transport and no transport",
     {"--no-transport", "--tempo", "90", in, out},
     "--no-transport cannot be combined with --tempo or --position"},
    {"picture not a PNG",
     {"--waveform", path("pic.jpg"), in, out},
     "the picture '" + path("pic.jpg") + "' must be a .png file"},
    {"unknown option", {"--louder", in, out}, "unknown option '--louder'"},
    {"scale out of range",
     {"--editor-picture", path("e.png"), "--scale", "5"},
     "--scale must be a number from 0.25 to 4, not '5'"},
    {"scale without a picture", {"--scale", "1", in, out}, "--scale goes with --editor-picture"},
    {"editor picture not a PNG",
     {"--editor-picture", path("e.jpg")},
     "the picture '" + path("e.jpg") + "' must be a .png file"},
    {"editor picture and files", {"--editor-picture", path("e.png"), in}, "unexpected argument '" + in + "'"},
    {"editor picture, unknown preset", {"--editor-picture", path("e.png"), "-p", "Loud"}, "unknown preset 'Loud'"},
    {"missing OUTPUT", {in}, "missing OUTPUT"},
    {"one file too many", {in, out, path("x.wav")}, "unexpected argument '" + path("x.wav") + "'"},
    {"empty OUTPUT", {in, ""}, "INPUT and OUTPUT must not be empty"},
    {"unknown short option", {"-z", in, out}, "unknown option '-z'"},
    {"long option given a value it takes none of", {"--quiet=yes", in, out}, "option --quiet takes no value"},
    {"short option given a value it takes none of", {"-qx", in, out}, "option -q takes no value"},
    {"option without its value", {in, out, "--tempo"}, "option --tempo needs a value"},
    {"empty preset", {"--preset=", in, out}, "--preset needs a preset index 0-9 or a preset name"},
    {"setting without a name", {"--set", "=1", in, out}, "--set needs NAME=VALUE, not '=1'"},
    {"two modes",
     {"--list-presets", "--list-params"},
     "choose one of --list-presets, --list-params, --overview and --editor-picture"},
    {"markdown without a list", {"--markdown", in, out}, "--markdown goes with --list-presets or --list-params"},
    {"overview without files", {"--overview", path("o.png")}, "--overview needs at least one audio file"},
  };

  const auto before = folderContents(work);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run(c.args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(lineCount(result.err), 1) << result.err;
    EXPECT_EQ(result.err.rfind("quennet-render: " + c.message, 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(changedFiles(before, folderContents(work)), "");
  }
  EXPECT_FALSE(fs::exists(work / "gone"));
}

TEST_F(QuennetRenderTest, FailureWhileRenderingExits1AndLeavesOutputUntouched)
{
  // The process may write no file beyond 64 KiB; one second of stereo float is 384 kB, so a
  // write fails part-way through the render.
  writeAudio(path("in.wav"), interleave(noise(48000, 0x9)), 2);
  writeFile(path("out.wav"), "precious old render");
  const auto before = folderContents(work);
  const RunResult result = run({"--format", "float", path("in.wav"), path("out.wav")}, 64 * 1024);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(lineCount(result.err), 1) << result.err;
  EXPECT_EQ(result.err.rfind("quennet-render: cannot write '" + path("out.wav") + "'", 0), 0u) << result.err;
  EXPECT_EQ(changedFiles(before, folderContents(work)), "");
}

// Files and folders.

TEST_F(QuennetRenderTest, OnlyTheFramesActuallyReadCount)
{
  // A FLAC file of 2000 frames whose header claims 8 G: no buffer is sized by the claim.
  const StereoBuffer input = noise(2000, 0x41);
  writeAudio(path("in.flac"), interleave(input), 2, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  std::string flac = readFile(path("in.flac"));
  ASSERT_EQ(flac.compare(0, 4, "fLaC"), 0);
  // STREAMINFO starts at byte 8; its 36-bit sample count at bit 108 of it: the low nibble of byte
  // 21 and bytes 22 … 25 of the file.
  flac[21] = static_cast<char>((flac[21] & 0xF0) | 0x2); // 2^33 frames
  for (int i = 22; i < 26; ++i)
    flac[i] = 0;
  writeFile(path("liar.flac"), flac);

  const RunResult result = run({"--format", "float", path("liar.flac"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  const AudioData written = readAudio(path("out.wav"));
  ASSERT_EQ(written.frames(), 2000);
  // 24-bit input: the render of the file's own samples.
  const StereoBuffer decoded = deinterleave(readAudio(path("in.flac")));
  EXPECT_EQ(firstDifference(deinterleave(written), renderDirect(0, {}, decoded, RenderOptions{})), -1);
}

TEST_F(QuennetRenderTest, InputFromAFifoRendersAsFromAFile)
{
  const StereoBuffer input = noise(30000, 0x42);
  writeAudio(path("in.wav"), interleave(input), 2);
  ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);
  // Formats libsndfile cannot read through a pipe go through an unnamed temporary file in TMPDIR,
  // which leaves nothing there.
  const fs::path temporaries = fs::path(home.path()) / "tmp";
  fs::create_directories(temporaries);
  auto renderFromFifo = [&](const std::string& file, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {QUENNET_RENDER};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {path("in.fifo"), path("out.wav")});
    ChildProcess render(argv, {"TMPDIR=" + temporaries.string()}, (scratch / "log.txt").string());
    const int fifo = openFifoForWriting(path("in.fifo"), 10.0);
    EXPECT_GE(fifo, 0) << render.log();
    EXPECT_TRUE(writeAll(fifo, readFile(file)));
    close(fifo);
    const std::optional<int> status = render.waitExit(60.0);
    EXPECT_EQ(status, 0) << render.log();
    EXPECT_EQ(render.log(), "");
  };

  // A WAV stream, as a file, plus a tail.
  renderFromFifo(path("in.wav"), {"--format", "float", "--tail", "0.1"});
  EXPECT_EQ(firstDifference(deinterleave(readAudio(path("out.wav"))),
                            renderDirect(0, {}, withTail(input, 4800), RenderOptions{})),
            -1);

  // Every format the same from a FIFO as from its file.
  const struct {
    const char* name;
    int format;
  } formats[] = {
    {"in.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24}, {"in.au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
    {"in.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},   {"in.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS},
    {"in.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16}, {"in.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT},
    {"in.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16}, {"in.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},
    {"in.voc", SF_FORMAT_VOC | SF_FORMAT_PCM_16},
  };
  for (const auto& format : formats) {
    SCOPED_TRACE(format.name);
    writeAudio(path(format.name), interleave(input), 2, kRate, format.format);
    ASSERT_EQ(run({"--format", "float", path(format.name), path("from-file.wav")}).status, 0);
    renderFromFifo(path(format.name), {"--format", "float"});
    EXPECT_EQ(readAudio(path("out.wav")).frames(), readAudio(path(format.name)).frames());
    EXPECT_TRUE(readFile(path("out.wav")) == readFile(path("from-file.wav")));
    EXPECT_TRUE(fs::is_empty(temporaries));
  }
}

TEST_F(QuennetRenderTest, NamesUpToTheLimitOfTheFileSystem)
{
  writeAudio(path("in.wav"), interleave(noise(4800, 0x43)), 2);
  for (size_t length : {243u, 244u, 250u, 255u}) {
    SCOPED_TRACE(length);
    const std::string name = std::string(length - 4, 'n') + ".wav";
    const std::string picture = std::string(length - 4, 'p') + ".png";
    const RunResult result = run({"--waveform", path(picture), path("in.wav"), path(name)});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readAudio(path(name)).frames(), 4800);
    EXPECT_EQ(pngSize(path(picture)).first, 1600);
    fs::remove(path(name));
    fs::remove(path(picture));
  }
  // Nothing else is left behind.
  EXPECT_EQ(folderContents(work).size(), 1u);
}

TEST_F(QuennetRenderTest, SymbolicLinksKeepPointingAtTheRenderedFile)
{
  writeAudio(path("in.wav"), interleave(noise(4800, 0x44)), 2);
  fs::create_directories(work / "sub");
  const mode_t mask = umask(0);
  umask(mask);
  struct Case {
    const char* name;
    std::string old; // what the file at the end of the links holds before; empty: nothing
    mode_t mode; // of the old file
    std::vector<std::pair<std::string, std::string>> links; // name, what it points to
    std::string output;
    std::string rendered; // where the audio lands
    mode_t expectedMode;
  };
  const Case cases[] = {
    {"a link to a file", "old", 0640, {{"link.wav", path("sub/target.wav")}}, "link.wav", "sub/target.wav", 0640},
    {"a relative link", "old", 0604, {{"rel.wav", "sub/relative.wav"}}, "rel.wav", "sub/relative.wav", 0604},
    {"two links in a row",
     "old",
     0600,
     {{"first.wav", "second.wav"}, {"second.wav", "sub/end.wav"}},
     "first.wav",
     "sub/end.wav",
     0600},
    {"a dangling link", "", 0, {{"dangling.wav", "sub/new.wav"}}, "dangling.wav", "sub/new.wav", 0666 & ~mask},
    {"no link", "", 0, {}, "plain.wav", "plain.wav", 0666 & ~mask},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.old.empty()) {
      writeFile(path(c.rendered), c.old);
      fs::permissions(path(c.rendered), static_cast<fs::perms>(c.mode));
    }
    for (const auto& [name, target] : c.links)
      fs::create_symlink(target, work / name);
    const RunResult result = run({path("in.wav"), path(c.output)});
    ASSERT_EQ(result.status, 0) << result.err;
    for (const auto& [name, target] : c.links) {
      EXPECT_TRUE(fs::is_symlink(work / name)) << name;
      EXPECT_EQ(fs::read_symlink(work / name), target);
    }
    EXPECT_FALSE(fs::is_symlink(path(c.rendered)));
    EXPECT_EQ(readAudio(path(c.rendered)).frames(), 4800);
    struct stat info {};
    ASSERT_EQ(stat(path(c.rendered).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, c.expectedMode);
  }
  // No temporary file anywhere.
  for (const auto& entry : fs::recursive_directory_iterator(work))
    EXPECT_EQ(entry.path().filename().string().find(".part-"), std::string::npos) << entry.path();

  // What cannot be replaced by a file is refused: a FIFO behind a link, a loop of links.
  ASSERT_EQ(mkfifo(path("sub/pipe.wav").c_str(), 0600), 0);
  fs::create_symlink("sub/pipe.wav", work / "to-pipe.wav");
  fs::create_symlink("loop-b.wav", work / "loop-a.wav");
  fs::create_symlink("loop-a.wav", work / "loop-b.wav");
  const struct {
    std::string output;
    std::string message;
  } refused[] = {
    {path("to-pipe.wav"), "cannot write '" + path("to-pipe.wav") + "': it is not a regular file"},
    {path("sub/pipe.wav"), "cannot write '" + path("sub/pipe.wav") + "': it is not a regular file"},
    {path("loop-a.wav"), "cannot write '" + path("loop-a.wav") + "': too many levels of symbolic links"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.output);
    const RunResult result = run({path("in.wav"), r.output});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "quennet-render: " + r.message + "\n");
  }
  EXPECT_TRUE(fs::is_fifo(path("sub/pipe.wav")));
}

// Runs quennet-render in a mount namespace of its own, in which `folder` is a tmpfs of `bytes`
// holding only `files`; `listing` gets what the folder holds afterwards, one "name size" a line.
// Status -1 when no such namespace can be made here (it takes root).
RunResult runOnSmallDisk(const std::vector<std::string>& args, const fs::path& folder, size_t bytes,
                         const std::map<std::string, std::string>& files, const fs::path& scratch, std::string& listing)
{
  const fs::path listPath = scratch / "listing.txt";
  const fs::path outPath = scratch / "stdout.txt";
  const fs::path errPath = scratch / "stderr.txt";
  std::vector<std::string> all = {QUENNET_RENDER};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::string options = "size=" + std::to_string(bytes);

  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
      _exit(200);
    for (const auto& [name, content] : files)
      writeFile(folder / name, content);
    const pid_t render = fork();
    if (render == 0) {
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int wstatus = 0;
    waitpid(render, &wstatus, 0);
    std::string list;
    for (const auto& entry : fs::directory_iterator(folder))
      list += entry.path().filename().string() + " " + std::to_string(fs::file_size(entry.path())) + "\n";
    writeFile(listPath, list);
    _exit(WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus));
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  RunResult result;
  result.status = WIFEXITED(wstatus) && WEXITSTATUS(wstatus) != 200 ? WEXITSTATUS(wstatus) : -1;
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  listing = readFile(listPath);
  return result;
}

TEST_F(QuennetRenderTest, FullDiskSaysSoAndLeavesOutputUntouched)
{
  // Two seconds of noise: far more than 32 kB in every format.
  writeAudio(path("in.wav"), interleave(noise(96000, 0x45)), 2);
  fs::create_directories(work / "small");
  for (const char* output : {"out.wav", "out.aiff", "out.flac", "out.ogg"}) {
    SCOPED_TRACE(output);
    const std::string target = path(std::string("small/") + output);
    std::string listing;
    const RunResult result =
      runOnSmallDisk({"--waveform", path("small/pic.png"), path("in.wav"), target}, work / "small", 32 * 1024,
                     {{output, "precious old render"}}, scratch, listing);
    if (result.status == -1)
      GTEST_SKIP() << "no private tmpfs here (needs root)";
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "quennet-render: cannot write '" + target + "': disk full\n");
    EXPECT_EQ(listing, std::string(output) + " 19\n"); // the old file, nothing beside it
  }
}

// Outputs that are inputs, outputs found bad before rendering, and a failure between the renames.

// Every name for an input or for the other output is refused before anything is written: the
// same name, "./", a symbolic or a hard link, a dangling link to where the other output will be.
TEST_F(QuennetRenderTest, OutputsThatAreInputsOrEachOtherAreRefused)
{
  writeAudio(path("work.wav"), interleave(noise(4800, 0x61)), 2);
  writeTestMidi(path("notes.mid"));
  writeFile(path("out.wav"), "precious old render");
  fs::create_symlink("work.wav", work / "link-to-input.wav");
  fs::create_hard_link(work / "work.wav", work / "hard-link.wav");
  fs::create_symlink("notes.mid", work / "link-to-midi.wav");
  fs::create_symlink("out.wav", work / "link-to-output.png");
  fs::create_symlink("new.wav", work / "link-to-new.png");
  fs::create_symlink("work.wav", work / "link-to-input.png");
  fs::create_symlink("notes.mid", work / "link-to-midi.png");
  const std::string in = path("work.wav");
  const std::string midi = path("notes.mid");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
    {"OUTPUT is INPUT", {in, in}, "'" + in + "' is the same file as the input '" + in + "'"},
    {"OUTPUT is INPUT by another path",
     {in, path("./work.wav")},
     "'" + path("./work.wav") + "' is the same file as the input '" + in + "'"},
    {"OUTPUT is a link to INPUT",
     {in, path("link-to-input.wav")},
     "'" + path("link-to-input.wav") + "' is the same file as the input '" + in + "'"},
    {"OUTPUT is a hard link to INPUT",
     {in, path("hard-link.wav")},
     "'" + path("hard-link.wav") + "' is the same file as the input '" + in + "'"},
    {"OUTPUT is a link to the MIDI file",
     {"--midi", midi, in, path("link-to-midi.wav")},
     "'" + path("link-to-midi.wav") + "' is the same file as the MIDI file '" + midi + "'"},
    {"picture is a link to OUTPUT",
     {"--waveform", path("link-to-output.png"), in, path("out.wav")},
     "'" + path("link-to-output.png") + "' is the same file as OUTPUT '" + path("out.wav") + "'"},
    {"picture is a link to a new OUTPUT",
     {"--waveform", path("link-to-new.png"), in, path("new.wav")},
     "'" + path("link-to-new.png") + "' is the same file as OUTPUT '" + path("new.wav") + "'"},
    {"picture is a link to INPUT",
     {"--waveform", path("link-to-input.png"), in, path("out.wav")},
     "'" + path("link-to-input.png") + "' is the same file as the input '" + in + "'"},
    {"picture is a link to the MIDI file",
     {"--midi", midi, "--waveform", path("link-to-midi.png"), in, path("out.wav")},
     "'" + path("link-to-midi.png") + "' is the same file as the MIDI file '" + midi + "'"},
    {"overview picture is one of its files",
     {"--overview", path("link-to-input.png"), path("out.wav"), in},
     "'" + path("link-to-input.png") + "' is the same file as '" + in + "', one of the files to draw"},
  };
  const auto before = folderContents(work);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult result = run(c.args);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "quennet-render: " + c.message + "\n");
    // Both old files byte for byte, nothing added.
    EXPECT_EQ(changedFiles(before, folderContents(work)), "");
    EXPECT_FALSE(fs::exists(path("new.wav")));
  }
  EXPECT_TRUE(fs::is_symlink(work / "link-to-input.wav"));
  EXPECT_TRUE(fs::is_symlink(work / "link-to-output.png"));
}

// The bytes of a WAV file up to the start of its samples.
std::string wavHeader(const std::string& wav)
{
  const size_t data = wav.find("data");
  return data == std::string::npos ? std::string() : wav.substr(0, data + 8);
}

// Sets (or clears) inode flags such as FS_IMMUTABLE_FL; false where that is not possible here
// (not root, a file system without them).
bool setInodeFlags(const fs::path& file, int flags, bool set)
{
  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0)
    return false;
  int current = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
  current = set ? current | flags : current & ~flags;
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
  close(fd);
  return done;
}

// Inode flags set on a file or folder for the life of the object (so that the temporary HOME can
// go again); `set` is false where that is not possible here.
struct InodeFlags {
  InodeFlags(fs::path path, int bits) : file(std::move(path)), flags(bits), set(setInodeFlags(file, flags, true)) {}
  ~InodeFlags()
  {
    if (set)
      setInodeFlags(file, flags, false);
  }
  InodeFlags(const InodeFlags&) = delete;
  InodeFlags& operator=(const InodeFlags&) = delete;

  fs::path file;
  int flags;
  bool set;
};

// Whatever can make the final renames fail is found before the render. The input comes through a
// FIFO that holds its header only and stays open: a renderer that went on to render would wait
// for samples that never come.
TEST_F(QuennetRenderTest, OutputsThatCannotBeWrittenAreFoundBeforeRendering)
{
  writeAudio(scratch / "in.wav", interleave(noise(4800, 0x62)), 2, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  const std::string header = wavHeader(readFile(scratch / "in.wav"));
  ASSERT_FALSE(header.empty());
  ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);
  writeFile(path("keep.wav"), "precious old render");
  writeFile(path("file"), "not a folder");
  fs::create_directories(work / "locked");
  writeFile(path("locked/old.wav"), "precious locked render");
  writeFile(path("fixed.wav"), "precious immutable render");
  const InodeFlags appendOnly(work / "locked", FS_APPEND_FL);
  const InodeFlags immutable(work / "fixed.wav", FS_IMMUTABLE_FL);

  const std::string longName = std::string(252, 'n') + ".wav";
  const std::string longPicture = std::string(252, 'w') + ".png"; // 256 bytes
  struct Case {
    const char* name;
    std::vector<std::string> args; // the last one is OUTPUT, the FIFO goes before it
    std::string message;
    bool runs; // false where the file system or the user cannot set inode flags
  };
  const Case cases[] = {
    {"OUTPUT name of 256 bytes", {path(longName)}, "cannot write '" + path(longName) + "': File name too long", true},
    {"picture name of 256 bytes",
     {"--waveform", path(longPicture), path("keep.wav")},
     "cannot write '" + path(longPicture) + "': File name too long",
     true},
    {"picture in a missing folder",
     {"--waveform", path("gone/p.png"), path("keep.wav")},
     "cannot write '" + path("gone/p.png") + "': No such file or directory",
     true},
    {"OUTPUT under a file",
     {path("file/out.wav")},
     "cannot write '" + path("file/out.wav") + "': Not a directory",
     true},
    {"OUTPUT in an append-only folder",
     {path("locked/old.wav")},
     "cannot write '" + path("locked/old.wav") + "': its folder is append-only",
     appendOnly.set},
    {"immutable OUTPUT",
     {path("fixed.wav")},
     "cannot write '" + path("fixed.wav") + "': the file is immutable or append-only",
     immutable.set},
  };
  const auto before = folderContents(work);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.runs) {
      std::printf("[   NOTE   ] no inode flags here: \"%s\" not run\n", c.name);
      continue;
    }
    std::vector<std::string> argv = {QUENNET_RENDER, "-q"};
    argv.insert(argv.end(), c.args.begin(), c.args.end() - 1);
    argv.insert(argv.end(), {path("in.fifo"), c.args.back()});
    ChildProcess render(argv, {}, (scratch / "log.txt").string());
    const int fifo = openFifoForWriting(path("in.fifo"), 10.0);
    ASSERT_GE(fifo, 0) << render.log();
    EXPECT_TRUE(writeAll(fifo, header));
    const std::optional<int> status = render.waitExit(60.0);
    close(fifo);
    ASSERT_TRUE(status.has_value()) << "still waiting for samples: the output was not checked first";
    EXPECT_EQ(*status, 2);
    EXPECT_EQ(render.log(), "quennet-render: " + c.message + "\n");
    EXPECT_EQ(changedFiles(before, folderContents(work)), "");
  }
  EXPECT_EQ(readFile(path("locked/old.wav")), "precious locked render");
  EXPECT_EQ(readFile(path("fixed.wav")), "precious immutable render");
}

// When the second rename fails all the same (here the picture's folder moves away while the
// render runs), the first file gets its old version back: both old files stay byte for byte.
TEST_F(QuennetRenderTest, AFailedRenameLeavesBothOldFilesAsTheyWere)
{
  writeAudio(scratch / "in.wav", interleave(noise(10 * 48000, 0x63)), 2, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  const std::string wav = readFile(scratch / "in.wav");
  ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);
  writeFile(path("keep.wav"), "precious old render");
  writeFile(path("pics/keep.png"), "precious old picture");

  ChildProcess render({QUENNET_RENDER, "-q", "--waveform", path("pics/keep.png"), path("in.fifo"), path("keep.wav")},
                      {}, (scratch / "log.txt").string());
  const int fifo = openFifoForWriting(path("in.fifo"), 10.0);
  ASSERT_GE(fifo, 0) << render.log();
  // The pipe holds 64 kB: once a megabyte has gone in, the render has read past its checks and
  // made its temporary files.
  ASSERT_TRUE(writeAll(fifo, wav.substr(0, 1 << 20)));
  fs::rename(work / "pics", work / "pics.moved");
  EXPECT_TRUE(writeAll(fifo, wav.substr(1 << 20)));
  close(fifo);
  const std::optional<int> status = render.waitExit(60.0);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(render.log(),
            "quennet-render: cannot replace '" + path("pics/keep.png") + "': No such file or directory; '" +
              path("keep.wav") + "' is left as it was\n");
  EXPECT_EQ(readFile(path("keep.wav")), "precious old render");
  EXPECT_EQ(readFile(path("pics.moved/keep.png")), "precious old picture");
  EXPECT_EQ(folderContents(work).size(), 1u); // keep.wav, and no temporary file beside it
}

// The number of files is on the command line: too many for one picture are refused before any is
// read (a FIFO without a writer would keep the renderer waiting).
TEST_F(QuennetRenderTest, OverviewRefusesMoreFilesThanOnePictureHoldsBeforeReadingAny)
{
  ASSERT_EQ(mkfifo(path("nobody.fifo").c_str(), 0600), 0);
  writeFile(path("overview.png"), "precious old picture");
  std::vector<std::string> argv = {QUENNET_RENDER, "--overview", path("overview.png")};
  argv.insert(argv.end(), render::kWaveformMaxRows + 1, path("nobody.fifo"));
  ChildProcess render(argv, {}, (scratch / "log.txt").string());
  const std::optional<int> status = render.waitExit(60.0);
  ASSERT_TRUE(status.has_value()) << "waits for the FIFO: the files were read first";
  EXPECT_EQ(*status, 2);
  EXPECT_EQ(render.log(), "quennet-render: --overview draws at most 272 files in one picture, not 273\n");
  EXPECT_EQ(readFile(path("overview.png")), "precious old picture");
}

// A block takes at most 2^20 MIDI events; the rest wait for the next block and come at its start,
// in order, with a warning.
TEST_F(QuennetRenderTest, MidiEventsBeyondWhatOneBlockTakesComeInTheNext)
{
  constexpr int kPressures = 1 << 20;
  std::string track = bytes("\x00\xD0\x00");
  for (int i = 1; i < kPressures; ++i)
    track += bytes("\x00\x00"); // channel pressure 0 in running status, all at pulse 0
  for (int n = 0; n < 10; ++n)
    track += bytes("\x00\x90") + std::string(1, static_cast<char>(60 + n)) + bytes("\x64");
  track += smfVarLength(0) + kSmfEndOfTrack;
  writeFile(path("busy.mid"), smfHeader(0, 1, 480) + smfChunk("MTrk", track));
  const StereoBuffer input = noise(2048, 0x64);
  writeAudio(path("in.wav"), interleave(input), 2);

  const RunResult result =
    run({"-p", "3", "--format", "float", "--midi", path("busy.mid"), path("in.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "quennet-render: warning: 10 MIDI events did not fit their block (at most 1048576 in one) "
            "and were played in the blocks after it\n");
  RenderOptions options;
  options.midi.assign(kPressures, TimedMidi{0, 0xD0, 0, 0});
  for (int n = 0; n < 10; ++n)
    options.midi.push_back({512, 0x90, static_cast<std::uint8_t>(60 + n), 100}); // the second block's start
  EXPECT_EQ(firstDifference(deinterleave(readAudio(path("out.wav"))), renderDirect(3, {}, input, options)), -1);
}

// Damaged pages inside an Ogg file make it a broken input (libsndfile would skip them and splice
// the rest on); a file cut off cleanly renders what it holds, as a WAV file does.
TEST_F(QuennetRenderTest, DamagedOggIsBrokenInputACleanlyCutOneRenders)
{
  writeAudio(path("in.ogg"), interleave(noise(3 * 48000, 0x65, 0.3f)), 2, kRate, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  const std::string ogg = readFile(path("in.ogg"));
  // Page starts, and the audio pages among them: those with a granule position above 0.
  std::vector<size_t> audioPages;
  for (size_t at = ogg.find("OggS"); at != std::string::npos; at = ogg.find("OggS", at + 1)) {
    std::uint64_t granule = 0;
    for (int i = 7; i >= 0; --i)
      granule = (granule << 8) | static_cast<unsigned char>(ogg[at + 6 + static_cast<size_t>(i)]);
    if (granule > 0 && granule != ~std::uint64_t{0})
      audioPages.push_back(at);
  }
  ASSERT_GE(audioPages.size(), 6u);
  auto damaged = [&](size_t from, size_t count) {
    std::string bytes = ogg;
    for (size_t i = from; i < from + count; ++i)
      bytes[i] = static_cast<char>(bytes[i] ^ 0x55);
    return bytes;
  };
  writeFile(path("page.ogg"), damaged(audioPages[1] + 100, 500)); // 500 bytes inside the second audio page
  // One byte in the middle of the last page. (Damage to the last page's header looks like a file
  // cut off inside that page, which libsndfile does not tell apart, and renders as one.)
  writeFile(path("last.ogg"), damaged(audioPages.back() + (ogg.size() - audioPages.back()) / 2, 1));
  writeFile(path("cut.ogg"), ogg.substr(0, audioPages[4])); // the first four audio pages
  writeFile(path("out.wav"), "precious old render");
  ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);

  for (const char* name : {"page.ogg", "last.ogg"}) {
    SCOPED_TRACE(name);
    const RunResult result = run({path(name), path("out.wav")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("quennet-render: cannot read '" + path(name) + "': a damaged Ogg page (", 0), 0u)
      << result.err;
    EXPECT_EQ(lineCount(result.err), 1);
    EXPECT_EQ(readFile(path("out.wav")), "precious old render");
  }
  // The same through a FIFO.
  {
    ChildProcess render({QUENNET_RENDER, path("in.fifo"), path("out.wav")}, {}, (scratch / "log.txt").string());
    const int fifo = openFifoForWriting(path("in.fifo"), 10.0);
    ASSERT_GE(fifo, 0);
    writeAll(fifo, readFile(path("page.ogg"))); // the renderer may stop reading before the end
    close(fifo);
    EXPECT_EQ(render.waitExit(60.0), 2);
    EXPECT_EQ(render.log().rfind("quennet-render: cannot read '" + path("in.fifo") + "': a damaged Ogg page (", 0), 0u)
      << render.log();
    EXPECT_EQ(readFile(path("out.wav")), "precious old render");
  }
  const RunResult cut = run({"--format", "float", path("cut.ogg"), path("out.wav")});
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(cut.err, "");
  const AudioData held = readAudio(path("cut.ogg"));
  EXPECT_GT(held.frames(), 0);
  EXPECT_LT(held.frames(), 3 * 48000);
  EXPECT_EQ(readAudio(path("out.wav")).frames(), held.frames());
}

// Numbers are decimal; a tempo above 0 however small plays (the plug-in then skips the sync).
TEST_F(QuennetRenderTest, TheSmallestTempoAboveZeroPlays)
{
  const StereoBuffer input = noise(9600, 0x66);
  writeAudio(path("in.wav"), interleave(input), 2);
  const RunResult result =
    run({"-p", "Sync 2 Host", "--tempo", "4.9e-324", "--format", "float", path("in.wav"), path("out.wav")});
  ASSERT_EQ(result.status, 0) << result.err;
  RenderOptions options;
  options.tempo = 4.9e-324;
  EXPECT_EQ(firstDifference(deinterleave(readAudio(path("out.wav"))), renderDirect(1, {}, input, options)), -1);
}

// Interrupts.

// Whether the process has its interrupt handler in place and sleeps (in quennet-render before
// the render: blocked opening or reading a FIFO).
bool sleepsWithHandlers(pid_t pid)
{
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const size_t caught = status.find("SigCgt:\t");
  const size_t state = status.find("State:\t");
  if (caught == std::string::npos || state == std::string::npos)
    return false;
  const unsigned long long mask = std::stoull(status.substr(caught + 8, 16), nullptr, 16);
  return (mask & (1ull << (SIGINT - 1))) && (mask & (1ull << (SIGTERM - 1))) && status[state + 7] == 'S';
}

TEST_F(QuennetRenderTest, InterruptEndsTheProgramWhileItWaitsForAFifo)
{
  writeAudio(path("in.wav"), interleave(noise(4800, 0x51)), 2);
  writeFile(path("out.wav"), "precious old render");
  ASSERT_EQ(mkfifo(path("nobody.fifo").c_str(), 0600), 0);
  const struct {
    const char* name;
    std::vector<std::string> args;
    int signal;
  } cases[] = {
    {"input FIFO, Ctrl-C", {path("nobody.fifo"), path("out.wav")}, SIGINT},
    {"input FIFO, SIGTERM", {path("nobody.fifo"), path("out.wav")}, SIGTERM},
    {"MIDI FIFO, Ctrl-C", {"--midi", path("nobody.fifo"), path("in.wav"), path("out.wav")}, SIGINT},
    {"overview of a FIFO, Ctrl-C", {"--overview", path("pic.png"), path("in.wav"), path("nobody.fifo")}, SIGINT},
  };
  const auto before = folderContents(work);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {QUENNET_RENDER};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess render(argv, {}, (scratch / "log.txt").string());
    ASSERT_TRUE(waitUntil([&] { return sleepsWithHandlers(render.pid()); }, 10.0));
    kill(render.pid(), c.signal);
    // It ends at once; a few seconds of grace for a busy machine.
    const std::optional<int> status = render.waitExit(5.0);
    ASSERT_TRUE(status.has_value()) << "still running after the interrupt";
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(lineCount(render.log()), 1) << render.log();
    EXPECT_EQ(render.log().rfind("quennet-render: interrupted; '", 0), 0u) << render.log();
    EXPECT_EQ(changedFiles(before, folderContents(work)), "");
  }
}

TEST_F(QuennetRenderTest, InterruptDuringTheRenderRemovesTheTemporaryFiles)
{
  // The input comes through a FIFO whose writer stops after a second of audio: the render is
  // under way, its temporary files made, when Ctrl-C comes.
  writeAudio(path("in.wav"), interleave(noise(10 * 48000, 0x52)), 2);
  const std::string wav = readFile(path("in.wav"));
  writeFile(path("out.wav"), "precious old render");
  writeFile(path("pic.png"), "precious old picture");
  ASSERT_EQ(mkfifo(path("in.fifo").c_str(), 0600), 0);
  const auto before = folderContents(work);

  ChildProcess render({QUENNET_RENDER, "--waveform", path("pic.png"), path("in.fifo"), path("out.wav")}, {},
                      (scratch / "log.txt").string());
  const int fifo = openFifoForWriting(path("in.fifo"), 10.0);
  ASSERT_GE(fifo, 0) << render.log();
  EXPECT_TRUE(writeAll(fifo, wav.substr(0, 400000))); // about a second
  auto temporaries = [&] {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(work))
      count += entry.path().filename().string().find(".part-") != std::string::npos;
    return count;
  };
  EXPECT_TRUE(waitUntil([&] { return temporaries() == 2 && sleepsWithHandlers(render.pid()); }, 10.0));
  kill(render.pid(), SIGINT);
  const std::optional<int> status = render.waitExit(5.0);
  close(fifo);
  ASSERT_TRUE(status.has_value()) << "still running after the interrupt";
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(render.log(), "quennet-render: interrupted; '" + path("out.wav") + "' is left as it was\n");
  EXPECT_EQ(temporaries(), 0);
  EXPECT_EQ(changedFiles(before, folderContents(work)), "");
}

// Listings and the README.

TEST_F(QuennetRenderTest, ListingsNameEveryParameterAndPreset)
{
  const RunResult params = run({"--list-params"});
  ASSERT_EQ(params.status, 0) << params.err;
  EXPECT_EQ(lineCount(params.out), 1 + 22); // header and parameters 0 … 21; reserved slots have no name
  EXPECT_NE(params.out.find("Grain Sync"), std::string::npos);
  EXPECT_NE(params.out.find("7 1/8, "), std::string::npos);

  const RunResult presets = run({"--list-presets"});
  ASSERT_EQ(presets.status, 0) << presets.err;
  EXPECT_EQ(lineCount(presets.out), 1 + 10);
  EXPECT_NE(presets.out.find("Slap Back"), std::string::npos);
  EXPECT_NE(presets.out.find("Mix 30:70"), std::string::npos);
}

// The README's tables are the program's own output; regenerate them with the command after
// "generated by:" when this fails.
TEST_F(QuennetRenderTest, ReadmeTablesMatchTheProgram)
{
  const std::string readme = readFile(QUENNET_README);
  ASSERT_FALSE(readme.empty());
  for (const std::string listing : {"--list-params", "--list-presets"}) {
    SCOPED_TRACE(listing);
    const std::string begin = "<!-- generated by: quennet-render " + listing + " --markdown -->\n";
    const std::string end = "<!-- end of generated table -->";
    const size_t from = readme.find(begin);
    ASSERT_NE(from, std::string::npos) << "README has no section " << begin;
    const size_t to = readme.find(end, from);
    ASSERT_NE(to, std::string::npos);
    const RunResult result = run({listing, "--markdown"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), result.out);
  }
}

// The README's option list names every option the program's --help names.
TEST_F(QuennetRenderTest, ReadmeListsEveryOption)
{
  const std::string readme = readFile(QUENNET_README);
  const size_t from = readme.find("quennet-render [OPTIONS] INPUT OUTPUT");
  ASSERT_NE(from, std::string::npos);
  const std::string list = readme.substr(from, readme.find("```", from) - from);
  const RunResult help = run({"--help"});
  ASSERT_EQ(help.status, 0);
  int options = 0;
  for (size_t at = help.out.find("--"); at != std::string::npos; at = help.out.find("--", at + 2)) {
    size_t end = at + 2;
    while (end < help.out.size() && (std::isalpha(static_cast<unsigned char>(help.out[end])) || help.out[end] == '-'))
      ++end;
    const std::string option = help.out.substr(at, end - at);
    if (option.size() <= 2)
      continue;
    ++options;
    EXPECT_NE(list.find(option), std::string::npos) << option << " is missing from the README's option list";
  }
  EXPECT_GT(options, 15);
}

TEST_F(QuennetRenderTest, HelpPrintsUsage)
{
  const RunResult result = run({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("Usage: quennet-render [OPTIONS] INPUT OUTPUT\n", 0), 0u);
  EXPECT_EQ(result.err, "");
}

} // namespace
