// SPDX-License-Identifier: ISC
// Debian's lv2file, a third-party offline host, renders WAV files through the build's bundle with
// control values set by symbol; the result equals the plug-in driven directly through the
// processing call, and the renderer's output for the same settings when the renderer is built.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BundlePath.h"
#include "ChildProcess.h"
#include "StereoWav.h"
#include "TempDir.h"
#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"
#include "framework/LV2/LV2Layout.h"

using namespace quennet;

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 512;

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  std::uint32_t seed = 4242;
  for (size_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.1;
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] =
      static_cast<float>(0.3 * std::sin(2.0 * M_PI * 180.0 * t) * std::sin(2.0 * M_PI * 1.5 * t) + noise);
    signal.right[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 260.0 * t) + noise);
  }
  return signal;
}

struct Setting {
  int paramIdx;
  const char* symbol; // for lv2file
  const char* name; // for the renderer
  double value;
};

struct Case {
  const char* name;
  const char* preset; // a factory preset's label, or null
  std::vector<Setting> settings;
};

const std::vector<Case> kCases = {
  {"grain frequency with frame envelope",
   nullptr,
   {{kGrainMode, "grain_mode", "Grain Mode", 2.0},
    {kGrainFrequency, "grain_frequency", "Grain Frequency", 220.5},
    {kGrainFadeIn, "grain_fade_in", "Grain Fade-In", 0.2},
    {kFrameLength, "frame_length", "Frame Length", 50.0},
    {kFrameOverlap, "frame_overlap", "Frame Overlap", 50.0},
    {kMix, "mix", "Mix", 0.7}}},
  {"milliseconds with skews",
   nullptr,
   {{kGrainLength, "grain_length", "Grain Length", 33.3},
    {kGrainOverlap, "grain_overlap", "Grain Overlap", 25.0},
    {kGrainSkew, "grain_skew", "Grain Skew", -0.4},
    {kFrameSkew, "frame_skew", "Frame Skew", 0.6},
    {kFrameFadeOut, "frame_fade_out", "Frame Fade-Out", 0.5},
    {kVolume, "volume", "Volume", 0.8}}},
  {"a preset, then a value", "Strange Mix", {{kMix, "mix", "Mix", 0.35}}},
};

class Lv2fileTest : public ::testing::Test {
protected:
  Lv2fileTest() : bundlePath(QUENNET_LV2_BUNDLE) {}

  // The plug-in as a host without transport drives it: preset, then the values, then the stream.
  StereoBuffer renderDirectly(const Case& c, const StereoBuffer& input)
  {
    std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
    plugin->PrepareToPlay(kRate, kBlock);
    if (c.preset)
      for (const FactoryPreset& preset : kFactoryPresets)
        if (std::string(preset.name) == c.preset)
          for (int i = 0; i < kNumParams; ++i)
            if (plug::lv2::HasControlPort(*plugin->GetParam(i)) &&
                plugin->GetParam(i)->GetValue() != preset.values[static_cast<size_t>(i)])
              plugin->SetParameterFromHostPlain(i, preset.values[static_cast<size_t>(i)]);
    for (const Setting& s : c.settings)
      plugin->SetParameterFromHostPlain(s.paramIdx, s.value);
    RenderOptions options;
    options.blockSize = kBlock;
    options.tempo = std::nullopt;
    return renderThrough(*plugin, input, options);
  }

  std::vector<std::string> hostEnvironment() const { return {"LV2_PATH=" + bundlePath.path(), "HOME=" + home.path()}; }

  TempHome home;
  TempDir files;
  BundlePath bundlePath;
};

} // namespace

TEST_F(Lv2fileTest, RendersWhatTheProcessingCallRenders)
{
  const StereoBuffer input = testSignal(40 * kBlock + 123); // the last block is short
  const std::string in = files.file("in.wav");
  ASSERT_TRUE(writeStereoWav(in, input, kRate));
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string out = files.file("out.wav");
    std::vector<std::string> argv = {"lv2file", "-i", in, "-o", out, "-b", std::to_string(kBlock)};
    if (c.preset) {
      argv.push_back("-P");
      argv.push_back(c.preset);
    }
    for (const Setting& s : c.settings) {
      char value[32];
      std::snprintf(value, sizeof(value), "%.17g", s.value);
      argv.push_back("-p");
      argv.push_back(std::string(s.symbol) + ":" + value);
    }
    argv.push_back(plug::lv2::kPluginURI);
    const CommandResult result = runCommand(argv, hostEnvironment(), files.file("lv2file.log"));
    ASSERT_EQ(result.status, 0) << result.output;

    const std::optional<StereoBuffer> viaHost = readStereoWav(out, kRate, true);
    ASSERT_TRUE(viaHost) << "a stereo float WAV at the input's rate";
    const StereoBuffer viaCall = renderDirectly(c, input);
    ASSERT_EQ(viaHost->frames(), input.frames());
    EXPECT_EQ(viaHost->left, viaCall.left);
    EXPECT_EQ(viaHost->right, viaCall.right);
    EXPECT_NE(viaHost->left, input.left) << "the effect is audible";
  }
}

TEST_F(Lv2fileTest, RendersWithoutADisplayAndNeverOpensOne)
{
  // The module carries the editor too; a host that never shows it must not need a display, nor
  // open one when there is.
  const StereoBuffer input = testSignal(8 * kBlock);
  const std::string in = files.file("in.wav");
  ASSERT_TRUE(writeStereoWav(in, input, kRate));
  const std::string trap = files.file("x-open-display.log");
  const char* display = std::getenv("DISPLAY");
  const std::string savedDisplay = display ? display : "";
  unsetenv("DISPLAY");
  struct Run {
    const char* name;
    std::vector<std::string> display;
  };
  const Run runs[] = {{"no DISPLAY at all", {}}, {"a DISPLAY set", {"DISPLAY=:4321"}}};
  for (const Run& run : runs) {
    SCOPED_TRACE(run.name);
    std::vector<std::string> environment = hostEnvironment();
    environment.push_back(std::string("LD_PRELOAD=") + QUENNET_X_TRAP);
    environment.push_back("QUENNET_X_TRAP_FILE=" + trap);
    environment.insert(environment.end(), run.display.begin(), run.display.end());
    const CommandResult result =
      runCommand({"lv2file", "-i", in, "-o", files.file("out.wav"), "-p", "grain_mode:2", plug::lv2::kPluginURI},
                 environment, files.file("lv2file.log"));
    ASSERT_EQ(result.status, 0) << result.output;
    const std::optional<StereoBuffer> out = readStereoWav(files.file("out.wav"), kRate, true);
    ASSERT_TRUE(out);
    EXPECT_NE(out->left, input.left) << "rendered";
    EXPECT_FALSE(std::filesystem::exists(trap)) << "the module opened a display";
  }
  // The trap itself works: a program that opens the display is caught.
  const CommandResult probe = runCommand(
    {"xdpyinfo"}, {std::string("LD_PRELOAD=") + QUENNET_X_TRAP, "QUENNET_X_TRAP_FILE=" + trap, "DISPLAY=:4321"},
    files.file("xdpyinfo.log"));
  EXPECT_NE(probe.status, 0);
  EXPECT_TRUE(std::filesystem::exists(trap));
  if (!savedDisplay.empty())
    setenv("DISPLAY", savedDisplay.c_str(), 1);
}

#ifdef QUENNET_RENDER
TEST_F(Lv2fileTest, RendersWhatTheRendererRenders)
{
  const StereoBuffer input = testSignal(30 * kBlock + 7);
  const std::string in = files.file("in.wav");
  ASSERT_TRUE(writeStereoWav(in, input, kRate));
  const Case& c = kCases[0];
  std::vector<std::string> lv2file = {
    "lv2file", "-i", in, "-o", files.file("lv2file.wav"), "-b", std::to_string(kBlock)};
  std::vector<std::string> renderer = {QUENNET_RENDER,         "--quiet",  "--no-transport", "--block",
                                       std::to_string(kBlock), "--format", "float"};
  for (const Setting& s : c.settings) {
    char value[32];
    std::snprintf(value, sizeof(value), "%.17g", s.value);
    lv2file.insert(lv2file.end(), {"-p", std::string(s.symbol) + ":" + value});
    renderer.insert(renderer.end(), {"--set", std::string(s.name) + "=" + value});
  }
  lv2file.push_back(plug::lv2::kPluginURI);
  renderer.insert(renderer.end(), {in, files.file("renderer.wav")});

  const CommandResult hosted = runCommand(lv2file, hostEnvironment(), files.file("lv2file.log"));
  ASSERT_EQ(hosted.status, 0) << hosted.output;
  const CommandResult rendered = runCommand(renderer, {"HOME=" + home.path()}, files.file("renderer.log"));
  ASSERT_EQ(rendered.status, 0) << rendered.output;
  const std::optional<StereoBuffer> a = readStereoWav(files.file("lv2file.wav"), kRate, true);
  const std::optional<StereoBuffer> b = readStereoWav(files.file("renderer.wav"), kRate, true);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->left, b->left);
  EXPECT_EQ(a->right, b->right);
}
#endif
