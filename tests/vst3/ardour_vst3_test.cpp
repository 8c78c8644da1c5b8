// SPDX-License-Identifier: ISC
// quennet.vst3 in Ardour 7, headless through ardour7-lua with the dummy backend. Ardour's own
// scanner indexes the bundle (in a private HOME's ~/.vst3), then a session at 140 BPM puts Quennet
// as VST3 on a plain stereo track behind a deterministic source (a Lua DSP script of the LV2 test),
// loads "Sync 2 Host" from the plug-in's program list and exports twice, before and after the
// transport rolled: the grains restart on the sixteenths of 140 BPM, where quennet-render --tempo 140
// restarts them, and the exports match the renderer's output. Then "Slap Back" is loaded, values no
// preset has are set, the session is saved, loaded in a new Ardour and saved again: the plug-in's
// state comes back exactly, whatever Ardour's single-precision controls push at it.
//
// Ardour itself now and then crashes (heap errors, also with no plug-in at all); such a run is run
// again, and never counts as a pass. Every process runs with a private HOME and XDG folders and ends
// with the test however the test ends (setpriv --pdeathsig).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "StereoWav.h"
#include "TempDir.h"
#include "TestHost.h"
#include "core/quennet.param.h"
#include "framework/Base64.h"
#include "lv2/ChildProcess.h"

using namespace quennet;

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
// The plug-in's class id as Ardour shows it.
constexpr const char* kUID = "5472776C7477516E56535433516E6574";

// The test source's formula (tests/lv2/ardour/quennet_test_source.lua), evaluated in the same order.
StereoBuffer sourceSignal(long frames)
{
  StereoBuffer signal(static_cast<size_t>(frames));
  for (long t = 0; t < frames; ++t) {
    signal.left[static_cast<size_t>(t)] = static_cast<float>(0.5 * std::sin(2 * M_PI * 441 * t / 48000.0));
    signal.right[static_cast<size_t>(t)] = static_cast<float>(0.5 * std::sin(2 * M_PI * 331 * t / 48000.0));
  }
  return signal;
}

// Where the output jumps: a grain or a frame restarting (the sines' second difference stays below
// 0.002). The first sample of each cluster, from `from` on.
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

// The 22 values a script printed after "values LABEL".
std::optional<std::vector<double>> printedValues(const std::string& output, const std::string& label)
{
  const std::string key = "values " + label + " ";
  const size_t at = output.find(key);
  if (at == std::string::npos)
    return std::nullopt;
  std::istringstream line(output.substr(at + key.size(), output.find('\n', at) - at - key.size()));
  std::vector<double> values;
  for (double v; line >> v;)
    values.push_back(v);
  if (values.size() != 22)
    return std::nullopt;
  return values;
}

// The plug-in's component state inside the chunk Ardour saves for a VST3 plug-in: a "VST3" header
// with the class id, then a list of entries ("Comp" is the component's state) with offsets and sizes.
std::optional<std::vector<std::uint8_t>> componentState(const std::string& sessionFile)
{
  const std::string xml = readFile(sessionFile);
  const std::regex chunk("<chunk>([A-Za-z0-9+/=]+)</chunk>");
  std::smatch match;
  if (!std::regex_search(xml, match, chunk))
    return std::nullopt;
  const std::vector<std::uint8_t> bytes = plug::Base64Decode(match[1].str().c_str());
  auto read64 = [&](size_t at) {
    std::int64_t v = 0;
    std::memcpy(&v, bytes.data() + at, sizeof(v));
    return v;
  };
  if (bytes.size() < 48 || std::memcmp(bytes.data(), "VST3", 4) != 0 || std::memcmp(bytes.data() + 8, kUID, 32) != 0)
    return std::nullopt;
  const auto list = static_cast<size_t>(read64(40));
  if (list + 8 > bytes.size() || std::memcmp(bytes.data() + list, "List", 4) != 0)
    return std::nullopt;
  std::int32_t entries = 0;
  std::memcpy(&entries, bytes.data() + list + 4, sizeof(entries));
  for (std::int32_t e = 0; e < entries; ++e) {
    const size_t at = list + 8 + static_cast<size_t>(e) * 20;
    if (at + 20 > bytes.size())
      return std::nullopt;
    if (std::memcmp(bytes.data() + at, "Comp", 4) != 0)
      continue;
    const auto offset = static_cast<size_t>(read64(at + 4));
    const auto size = static_cast<size_t>(read64(at + 12));
    if (offset + size > bytes.size())
      return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(offset),
                                     bytes.begin() + static_cast<long>(offset + size));
  }
  return std::nullopt;
}

std::vector<double> doublesOf(const std::vector<std::uint8_t>& bytes)
{
  std::vector<double> values(bytes.size() / sizeof(double));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
  return values;
}

class ArdourVST3Test : public ::testing::Test {
protected:
  struct Run {
    CommandResult session;
    CommandResult reload;
    std::string root;
  };

  // Ardour's programs end with the test whatever happens to it.
  static std::vector<std::string> orphanProof(std::vector<std::string> argv)
  {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
    return argv;
  }

  // One attempt in fresh folders: the scanner, the session, and the reload in a second Ardour.
  Run runOnce(int attempt)
  {
    Run run;
    const std::filesystem::path root = files.path() / ("attempt-" + std::to_string(attempt));
    run.root = root.string();
    const std::filesystem::path home = root / "home";
    const std::filesystem::path config = home / ".config";
    std::filesystem::create_directories(config / "ardour7" / "scripts");
    std::filesystem::create_directories(config / "ardour7" / "export");
    std::filesystem::create_directories(home / ".vst3");
    std::filesystem::create_directories(root / "exports");
    std::filesystem::create_directory_symlink(QUENNET_VST3_BUNDLE, home / ".vst3" / "quennet.vst3");
    std::filesystem::copy_file(std::string(QUENNET_LV2_ARDOUR_FILES) + "/quennet_test_source.lua",
                               config / "ardour7" / "scripts" / "quennet_test_source.lua");
    std::filesystem::copy_file(std::string(QUENNET_LV2_ARDOUR_FILES) + "/quennet-test.preset",
                               config / "ardour7" / "export" / "quennet-test.preset");
    const std::vector<std::string> env = {
      "HOME=" + home.string(),
      "XDG_CONFIG_HOME=" + config.string(),
      "XDG_DATA_HOME=" + (home / ".local" / "share").string(),
      "XDG_CACHE_HOME=" + (home / ".cache").string(),
      "LD_LIBRARY_PATH=/usr/lib/ardour7",
    };
    const CommandResult scan = runCommand(
      orphanProof({"/usr/lib/ardour7/ardour-vst3-scanner", "-f", (home / ".vst3" / "quennet.vst3").string()}), env,
      (root / "scanner.log").string(), 60.0);
    if (scan.status != 0) {
      run.session = scan;
      return run;
    }
    exportDir = (root / "exports").string();
    run.session = runCommand(orphanProof({"ardour7-lua", std::string(QUENNET_VST3_ARDOUR_FILES) + "/vst3_session.lua",
                                          (root / "session").string(), exportDir, std::to_string(kFrames), kUID}),
                             env, (root / "session.log").string(), 180.0);
    if (run.session.status == 0)
      run.reload = runCommand(orphanProof({"ardour7-lua", std::string(QUENNET_VST3_ARDOUR_FILES) + "/vst3_reload.lua",
                                           (root / "session").string()}),
                              env, (root / "reload.log").string(), 120.0);
    return run;
  }

  static bool crashed(const CommandResult& result) { return !result.status || *result.status >= 128; }

  TempDir files{"quennet-ardour-vst3"};
  std::string exportDir;
};

} // namespace

TEST_F(ArdourVST3Test, SyncToHostFollowsArdoursTempoPresetsLoadAndTheSessionComesBackExactly)
{
  // The renderer on the same input, from song position 0 at 140 BPM.
  const StereoBuffer input = sourceSignal(kFrames);
  ASSERT_TRUE(writeStereoWav(files.file("input.wav"), input, kRate));
  const CommandResult rendered = runCommand({QUENNET_RENDER, "-q", "-p", "Sync 2 Host", "--tempo", "140", "--format",
                                             "float", files.file("input.wav"), files.file("rendered.wav")},
                                            {"HOME=" + files.path().string()}, files.file("render.log"));
  ASSERT_EQ(rendered.status, 0) << rendered.output;
  const std::optional<StereoBuffer> reference = readStereoWav(files.file("rendered.wav"), kRate);
  ASSERT_TRUE(reference);
  const std::vector<long> expectedRestarts = restarts(reference->left, kFromFirstFrame);
  ASSERT_EQ(commonPeriod(expectedRestarts), kGrainPeriod) << "the renderer restarts grains on sixteenths";

  // Ardour, run again when it crashes by itself.
  std::string crashes;
  std::optional<Run> run;
  for (int attempt = 1; attempt <= kAttempts && !run; ++attempt) {
    Run result = runOnce(attempt);
    if (!crashed(result.session) && (result.session.status != 0 || !crashed(result.reload))) {
      run = result;
      break;
    }
    const CommandResult& failed = crashed(result.session) ? result.session : result.reload;
    crashes += "attempt " + std::to_string(attempt) + ": " +
      (failed.status ? "ended by signal " + std::to_string(*failed.status - 128) : std::string("timed out")) + "\n" +
      failed.output.substr(failed.output.size() > 3000 ? failed.output.size() - 3000 : 0) + "\n";
  }
  ASSERT_TRUE(run) << "Ardour crashed in every attempt\n" << crashes;
  ASSERT_EQ(run->session.status, 0) << run->session.output;
  ASSERT_NE(run->session.output.find("\ndone"), std::string::npos) << run->session.output;
  EXPECT_EQ(run->session.output.find("rolled to 0\n"), std::string::npos) << "the transport did not roll";

  // The renders.
  for (const char* name : {"first", "after-rolling"}) {
    SCOPED_TRACE(name);
    const std::optional<StereoBuffer> exported = readStereoWav(exportDir + "/" + name + ".wav", kRate);
    ASSERT_TRUE(exported) << run->session.output;
    ASSERT_EQ(exported->frames(), static_cast<size_t>(kFrames));
    const std::vector<long> found = restarts(exported->left, kFromFirstFrame);
    EXPECT_EQ(commonPeriod(found), kGrainPeriod) << "grains restart every sixteenth of 140 BPM";
    EXPECT_EQ(found, expectedRestarts) << "on the same transport positions as the renderer";
    EXPECT_LT(maxDifference(exported->left, reference->left, kFromSecondFrame), 1e-6);
    EXPECT_LT(maxDifference(exported->right, reference->right, kFromSecondFrame), 1e-6);
  }

  // The presets from the program list: Ardour's controls show the factory values.
  for (const auto& [label, index] : {std::pair<const char*, size_t>{"Sync 2 Host", 1}, {"Slap Back", 8}}) {
    SCOPED_TRACE(label);
    const std::optional<std::vector<double>> shown = printedValues(run->session.output, label);
    ASSERT_TRUE(shown) << run->session.output;
    for (size_t i = 0; i < 22; ++i) {
      const double expected = kFactoryPresets[index].values[i];
      EXPECT_NEAR((*shown)[i], expected, 1e-5 * (1.0 + std::fabs(expected))) << "parameter " << i;
    }
  }

  // The saved state, in the session file and after a reload.
  ASSERT_EQ(run->reload.status, 0) << run->reload.output;
  ASSERT_NE(run->reload.output.find("\ndone"), std::string::npos) << run->reload.output;
  const std::optional<std::vector<double>> saved = printedValues(run->session.output, "saved");
  const std::optional<std::vector<double>> reloaded = printedValues(run->reload.output, "reloaded");
  ASSERT_TRUE(saved && reloaded);
  EXPECT_EQ(*reloaded, *saved) << "Ardour's controls after the reload";
  EXPECT_NEAR((*saved)[kGrainLength], 123.456, 1e-4);
  EXPECT_NEAR((*saved)[kGrainFrequency], 333.3, 1e-3);
  EXPECT_EQ((*saved)[kFrameSync], 13.0);

  const std::optional<std::vector<std::uint8_t>> first = componentState(run->root + "/session/quennet.ardour");
  const std::optional<std::vector<std::uint8_t>> again = componentState(run->root + "/session/again.ardour");
  ASSERT_TRUE(first && again) << readFile(run->root + "/session/quennet.ardour").substr(0, 2000);
  ASSERT_EQ(first->size(), 232u) << "the plug-in's state chunk";
  EXPECT_EQ(*again, *first) << "the state comes back bit for bit";
  const std::vector<double> state = doublesOf(*first);
  for (size_t i = 0; i < 22; ++i)
    EXPECT_NEAR(state[i], (*saved)[i], 1e-5 * (1.0 + std::fabs(state[i]))) << "parameter " << i;
  EXPECT_EQ(state[kGrainSync], kFactoryPresets[8].values[kGrainSync]) << "the rest is Slap Back's";
  if (!crashes.empty())
    std::printf("Ardour crashed by itself before the run that passed:\n%s", crashes.c_str());
}
