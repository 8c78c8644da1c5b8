// SPDX-License-Identifier: ISC
// Runs the real make-demo-material binary into temporary folders and reads what it wrote with
// libsndfile and the renderer's MIDI file reader.

#include <gtest/gtest.h>

#include "TempDir.h"

#include <sndfile.h>

#include "apps/quennet-render/SmfReader.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The loop is six bars of 4/4 at 172 BPM.
constexpr double kBpm = 172.0;
constexpr double kLoopSeconds = 6 * 4 * 60.0 / kBpm; // 8.3721 s
constexpr int kRate = 48000;

struct Result {
  int status = -1; // exit status, or -1 when the process did not exit normally
  std::string err; // what it wrote to stderr
};

Result runGenerator(const std::vector<std::string>& args, const fs::path& scratch)
{
  const fs::path errFile = scratch / "stderr.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0)
      dup2(fd, 2);
    std::vector<char*> argv;
    std::string program = QUENNET_MAKE_DEMO_MATERIAL;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Result run;
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
    run.status = WEXITSTATUS(wstatus);
  std::ifstream in(errFile);
  run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return run;
}

std::vector<char> readBytes(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class MakeDemoMaterial : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_FALSE(mTemp.path().empty());
    out = mTemp.path() / "out";
    const Result run = runGenerator({out.string()}, mTemp.path());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
  }

  TempDir mTemp;
  fs::path out;
};

TEST_F(MakeDemoMaterial, EveryRunWritesTheSameBytes)
{
  const fs::path again = mTemp.path() / "again";
  ASSERT_EQ(runGenerator({again.string()}, mTemp.path()).status, 0);
  for (const char* name : {"demo-loop.wav", "demo-notes.mid"}) {
    SCOPED_TRACE(name);
    const std::vector<char> first = readBytes(out / name);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first == readBytes(again / name));
  }
  // Nothing but the two files is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST_F(MakeDemoMaterial, LoopIsSixBarsOfStereo24BitAtMinusOneDbfs)
{
  SF_INFO info{};
  SNDFILE* file = sf_open((out / "demo-loop.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
  EXPECT_EQ(info.samplerate, kRate);
  EXPECT_EQ(info.channels, 2);
  EXPECT_NEAR(static_cast<double>(info.frames), kLoopSeconds * kRate, 1.0);

  std::vector<double> samples(static_cast<std::size_t>(info.frames) * 2);
  ASSERT_EQ(sf_readf_double(file, samples.data(), info.frames), info.frames);
  sf_close(file);

  double peak = 0.0, sumL = 0.0, sumR = 0.0, sumLR = 0.0;
  long fullScale = 0;
  for (std::size_t i = 0; i < samples.size(); i += 2) {
    const double l = samples[i], r = samples[i + 1];
    peak = std::max({peak, std::fabs(l), std::fabs(r)});
    fullScale += (std::fabs(l) >= 0.999) + (std::fabs(r) >= 0.999);
    sumL += l * l;
    sumR += r * r;
    sumLR += l * r;
  }
  EXPECT_NEAR(20.0 * std::log10(peak), -1.0, 0.05);
  EXPECT_EQ(fullScale, 0);
  // Slightly wide: the channels differ but stay strongly correlated.
  const double correlation = sumLR / std::sqrt(sumL * sumR);
  EXPECT_GT(correlation, 0.6);
  EXPECT_LT(correlation, 0.98);

  // Music all the way through: no quarter note is near silence (RMS above -40 dBFS).
  const long quarter = std::lround(60.0 / kBpm * kRate);
  for (long start = 0; start + quarter <= info.frames; start += quarter) {
    double sum = 0.0;
    for (long i = start; i < start + quarter; ++i)
      sum += samples[static_cast<std::size_t>(2 * i)] * samples[static_cast<std::size_t>(2 * i)];
    EXPECT_GT(10.0 * std::log10(sum / quarter), -40.0) << "quarter note at frame " << start;
  }
}

TEST_F(MakeDemoMaterial, NotesFollowTheLoop)
{
  const std::vector<char> bytes = readBytes(out / "demo-notes.mid");
  render::SmfReader reader;
  std::string problem;
  ASSERT_TRUE(reader.open(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), problem)) << problem;
  EXPECT_EQ(reader.format(), 1);
  EXPECT_EQ(reader.tracks(), 2);

  // One tempo for the whole file, at its start; times in seconds follow from it.
  int tempos = 0;
  double secondsPerPulse = 0.0;
  // Six bars of three-note chords (18) and a melody of 27 notes above them.
  int notes = 0, offsByVelocityZero = 0, offsByNoteOff = 0, sounding = 0, maxSounding = 0;
  double first = 1e9, last = -1.0;
  std::map<int, int> held;
  render::SmfEvent event;
  while (reader.next(event)) {
    if (event.kind == render::SmfEvent::Kind::Tempo) {
      ++tempos;
      EXPECT_EQ(event.pulses, 0u);
      EXPECT_NEAR(60e6 / event.microsPerQuarter, kBpm, 0.01);
      secondsPerPulse = event.microsPerQuarter * 1e-6 / reader.ppqn();
      continue;
    }
    ASSERT_EQ(tempos, 1) << "notes before the tempo";
    const int status = event.status & 0xF0;
    const int channel = event.status & 0x0F;
    const int pitch = event.data1;
    const int velocity = event.data2;
    const double seconds = static_cast<double>(event.pulses) * secondsPerPulse;
    ASSERT_TRUE(status == 0x90 || status == 0x80) << "status " << status;
    EXPECT_EQ(channel, 0);
    EXPECT_GE(pitch, 36);
    EXPECT_LE(pitch, 84);
    if (status == 0x90 && velocity > 0) {
      ++notes;
      EXPECT_EQ(held[pitch]++, 0) << "pitch " << pitch << " struck again while held";
      maxSounding = std::max(maxSounding, ++sounding);
      first = std::min(first, seconds);
    } else {
      (status == 0x80 ? offsByNoteOff : offsByVelocityZero)++;
      EXPECT_EQ(held[pitch]--, 1) << "pitch " << pitch << " released but not held";
      --sounding;
      last = std::max(last, seconds);
    }
  }
  EXPECT_EQ(tempos, 1);
  EXPECT_EQ(notes, 45);
  EXPECT_EQ(sounding, 0);
  EXPECT_EQ(maxSounding, 4);
  EXPECT_GT(offsByNoteOff, 0);
  EXPECT_GT(offsByVelocityZero, 0);
  EXPECT_DOUBLE_EQ(first, 0.0);
  EXPECT_NEAR(last, kLoopSeconds, 0.001);
}

TEST(MakeDemoMaterialErrors, OneLineMessageAndFailureStatus)
{
  TempDir temp("quennet-demo");
  ASSERT_FALSE(temp.path().empty());
  const fs::path blocker = temp.path() / "file";
  std::ofstream(blocker) << "not a folder";

  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
    {"no argument", {}},
    {"two arguments", {"a", "b"}},
    {"output below a file", {(blocker / "out").string()}},
    {"output is a file", {blocker.string()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result run = runGenerator(c.args, temp.path());
    EXPECT_GT(run.status, 0);
    ASSERT_FALSE(run.err.empty());
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.back(), '\n');
  }
}

} // namespace
