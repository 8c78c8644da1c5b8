// SPDX-License-Identifier: ISC
// quennet.lv2 in Ardour 7, headless through ardour7-lua with the dummy backend: a session at
// 140 BPM, a plain stereo track with a deterministic source (a Lua DSP script of ours) and Quennet
// on "Sync 2 Host", exported twice, before and after the transport rolled for a while. Ardour
// gives the tempo and position to the plug-in's time input on every cycle: the grains restart on
// the sixteenths of 140 BPM, exactly where quennet-render --tempo 140 restarts them on the same
// input, and the exports match the renderer's output. Ardour's menus for Grain Mode, Grain Sync and
// Frame Sync keep all their entries.
//
// Ardour itself now and then crashes (heap errors, also with no plug-in at all); such a run is
// run again, and never counts as a pass. Each run has a private HOME, XDG folders and LV2_PATH.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BundlePath.h"
#include "ChildProcess.h"
#include "Files.h"
#include "StereoWav.h"
#include "TempDir.h"
#include "TestHost.h"
#include "framework/LV2/LV2Layout.h"

namespace {

constexpr int kRate = 48000;
constexpr long kFrames = 3 * kRate;
constexpr int kAttempts = 6; // Ardour crashes by itself in roughly one run in four here
// At 140 BPM a sixteenth lasts 48000 · 60 / 140 / 4 = 5142.86 samples, a quarter 20571.43; the
// plug-in's synced lengths are whole samples.
constexpr long kGrainPeriod = 5142;
constexpr long kFramePeriod = 20571;
// Until the first frame restart the voice replays what it recorded before the export; the
// high-pass has forgotten that difference after a second frame.
constexpr long kFromFirstFrame = kFramePeriod;
constexpr long kFromSecondFrame = 2 * kFramePeriod;

// The test source's formula (ardour/quennet_test_source.lua), evaluated in the same order.
StereoBuffer sourceSignal(long frames)
{
  StereoBuffer signal(static_cast<size_t>(frames));
  for (long t = 0; t < frames; ++t) {
    signal.left[static_cast<size_t>(t)] = static_cast<float>(0.5 * std::sin(2 * M_PI * 441 * t / 48000.0));
    signal.right[static_cast<size_t>(t)] = static_cast<float>(0.5 * std::sin(2 * M_PI * 331 * t / 48000.0));
  }
  return signal;
}

// Where the output jumps: a grain or a frame restarting. The sines' second difference stays
// below 0.002; a restart jumps back to the start of the recording. The first sample of each
// cluster, from `from` on.
std::vector<long> restarts(const std::vector<float>& samples, long from)
{
  std::vector<long> found;
  long last = -100;
  for (long t = 2; t < static_cast<long>(samples.size()); ++t) {
    const auto i = static_cast<size_t>(t);
    if (std::fabs(samples[i] - 2.0f * samples[i - 1] + samples[i - 2]) > 0.05f) {
      if (t - last > 10 && t >= from)
        found.push_back(t);
      last = t;
    }
  }
  return found;
}

// The most frequent distance between restarts.
long commonPeriod(const std::vector<long>& at)
{
  std::map<long, int> counts;
  for (size_t i = 1; i < at.size(); ++i)
    ++counts[at[i] - at[i - 1]];
  long period = 0;
  int most = 0;
  for (const auto& [distance, count] : counts)
    if (count > most) {
      most = count;
      period = distance;
    }
  return period;
}

double maxDifference(const std::vector<float>& a, const std::vector<float>& b, long from)
{
  double most = 0.0;
  for (size_t i = static_cast<size_t>(from); i < std::min(a.size(), b.size()); ++i)
    most = std::max(most, static_cast<double>(std::fabs(a[i] - b[i])));
  return most;
}

class ArdourTest : public ::testing::Test {
protected:
  ArdourTest() : bundlePath(QUENNET_LV2_BUNDLE) {}

  // One ardour7-lua session in fresh folders; the status, or nothing when it did not end in time.
  CommandResult runSession(int attempt)
  {
    const std::filesystem::path root = files.path() / ("attempt-" + std::to_string(attempt));
    const std::filesystem::path home = root / "home";
    const std::filesystem::path config = home / ".config";
    std::filesystem::create_directories(config / "ardour7" / "scripts");
    std::filesystem::create_directories(config / "ardour7" / "export");
    std::filesystem::create_directories(root / "exports");
    std::filesystem::copy_file(std::string(QUENNET_ARDOUR_FILES) + "/quennet_test_source.lua",
                               config / "ardour7" / "scripts" / "quennet_test_source.lua");
    std::filesystem::copy_file(std::string(QUENNET_ARDOUR_FILES) + "/quennet-test.preset",
                               config / "ardour7" / "export" / "quennet-test.preset");
    exportDir = (root / "exports").string();
    const std::vector<std::string> env = {
      "HOME=" + home.string(),
      "XDG_CONFIG_HOME=" + config.string(),
      "XDG_DATA_HOME=" + (home / ".local" / "share").string(),
      "XDG_CACHE_HOME=" + (home / ".cache").string(),
      "LV2_PATH=" + bundlePath.path(),
    };
    return runCommand({"ardour7-lua", std::string(QUENNET_ARDOUR_FILES) + "/sync_export_session.lua",
                       (root / "session").string(), exportDir, std::to_string(kFrames), plug::lv2::kPluginURI},
                      env, (root / "ardour.log").string(), 180.0);
  }

  TempDir files{"quennet-ardour"};
  BundlePath bundlePath;
  std::string exportDir;
};

} // namespace

TEST_F(ArdourTest, SyncToHostFollowsArdoursTempoOnAPlainStereoTrack)
{
  // The renderer on the same input, from song position 0 at 140 BPM.
  const StereoBuffer input = sourceSignal(kFrames);
  ASSERT_TRUE(writeStereoWav(files.file("input.wav"), input, kRate));
  const CommandResult rendered = runCommand({QUENNET_RENDER, "-q", "-p", "Sync 2 Host", "--tempo", "140", "--format",
                                             "float", files.file("input.wav"), files.file("rendered.wav")},
                                            {}, files.file("render.log"));
  ASSERT_EQ(rendered.status, 0) << rendered.output;
  const std::optional<StereoBuffer> reference = readStereoWav(files.file("rendered.wav"), kRate);
  ASSERT_TRUE(reference);
  const std::vector<long> expectedRestarts = restarts(reference->left, kFromFirstFrame);
  ASSERT_EQ(commonPeriod(expectedRestarts), kGrainPeriod) << "the renderer restarts grains on sixteenths";

  // Ardour, run again when it crashes by itself.
  std::string crashes;
  std::optional<CommandResult> session;
  for (int attempt = 1; attempt <= kAttempts && !session; ++attempt) {
    CommandResult result = runSession(attempt);
    const bool crashed = !result.status || *result.status >= 128;
    if (!crashed) {
      session = result;
      break;
    }
    crashes += "attempt " + std::to_string(attempt) + ": " +
      (result.status ? "ended by signal " + std::to_string(*result.status - 128) : std::string("timed out")) + "\n" +
      result.output.substr(result.output.size() > 3000 ? result.output.size() - 3000 : 0) + "\n";
  }
  ASSERT_TRUE(session) << "Ardour crashed in every attempt\n" << crashes;
  ASSERT_EQ(session->status, 0) << session->output;
  ASSERT_NE(session->output.find("\ndone"), std::string::npos) << session->output;
  EXPECT_EQ(session->output.find("rolled to 0\n"), std::string::npos) << "the transport did not roll";
  // Ardour's menus (generic controls, automation) keep every entry: four modes, twenty note values.
  for (const char* menu : {"entries Grain Mode: 4\n", "entries Grain Sync: 20\n", "entries Frame Sync: 20\n"})
    EXPECT_NE(session->output.find(menu), std::string::npos) << menu << session->output;

  for (const char* name : {"first", "after-rolling"}) {
    SCOPED_TRACE(name);
    const std::optional<StereoBuffer> exported = readStereoWav(exportDir + "/" + name + ".wav", kRate);
    ASSERT_TRUE(exported) << session->output;
    ASSERT_EQ(exported->frames(), static_cast<size_t>(kFrames));

    const std::vector<long> found = restarts(exported->left, kFromFirstFrame);
    EXPECT_EQ(commonPeriod(found), kGrainPeriod) << "grains restart every sixteenth of 140 BPM";
    EXPECT_EQ(found, expectedRestarts) << "on the same transport positions as the renderer";
    for (long at : found) {
      const bool grain = (at + 1) % kGrainPeriod == 0;
      const bool frame = (at + 1) % kFramePeriod == 0;
      EXPECT_TRUE(grain || frame) << "a restart off the grid at " << at;
    }
    EXPECT_LT(maxDifference(exported->left, reference->left, kFromSecondFrame), 1e-6);
    EXPECT_LT(maxDifference(exported->right, reference->right, kFromSecondFrame), 1e-6);
  }
  if (!crashes.empty())
    std::printf("Ardour crashed by itself before the run that passed:\n%s", crashes.c_str());
}
