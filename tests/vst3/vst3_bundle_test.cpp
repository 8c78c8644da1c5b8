// SPDX-License-Identifier: ISC
// The built quennet.vst3 in our own host, loaded as hosts load it (dlopen of the bundle's module,
// ModuleEntry, GetPluginFactory): what the bundle holds and exports, every factory preset rendered
// exactly as quennet-render renders it with the same blocks, notes and transport, and the parameter
// list as the LV2 bundle declares it (read through lilv).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lv2/ChildProcess.h"
#include "SmfBytes.h"
#include "StereoWav.h"
#include "Files.h"
#include "TempDir.h"
#include "TempHome.h"
#include "VST3Host.h"
#include "framework/LV2/LV2Layout.h"
#include "framework/VST3/VST3Layout.h"
#include "lv2/LilvBundle.h"

namespace {

using namespace vst3host;
namespace vst3 = plug::vst3;

constexpr int kRate = 48000;
constexpr int kBlock = 512;

const std::string kBundle = QUENNET_VST3_BUNDLE;
const std::string kBinary = QUENNET_VST3_BINARY;

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  std::uint32_t seed = 99;
  for (size_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.1;
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] =
      static_cast<float>(0.3 * std::sin(2.0 * M_PI * 150.0 * t) * std::sin(2.0 * M_PI * 2.5 * t) + noise);
    signal.right[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 270.0 * t) + noise);
  }
  return signal;
}

// Notes for the presets in mode "MIDI": chords and a line, some starting and ending inside blocks.
// 480 pulses per quarter at the file's 120 BPM: one pulse is 50 frames at 48 kHz.
struct Note {
  std::uint32_t pulse;
  std::uint32_t length;
  int pitch;
};
const std::vector<Note> kNotes = {{0, 960, 48},   {0, 960, 55},    {96, 200, 67},  {480, 300, 70},
                                  {961, 480, 43}, {1003, 111, 79}, {1500, 700, 60}};

std::string midiFile()
{
  std::vector<SmfTimedEvent> events;
  for (const Note& n : kNotes) {
    events.push_back({0, n.pulse, std::string{'\x90', static_cast<char>(n.pitch), '\x64'}});
    events.push_back({0, n.pulse + n.length, std::string{'\x80', static_cast<char>(n.pitch), '\x00'}});
  }
  return smfFile(0, 480, 1, events);
}

// The same notes at their frames, in the file's order among equal frames (note-ons and note-offs
// of one pulse as the track lists them).
std::vector<TimedMidi> midiFrames()
{
  std::vector<SmfTimedEvent> events;
  for (const Note& n : kNotes) {
    events.push_back({0, n.pulse, std::string{'\x90', static_cast<char>(n.pitch), '\x64'}});
    events.push_back({0, n.pulse + n.length, std::string{'\x80', static_cast<char>(n.pitch), '\x00'}});
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const SmfTimedEvent& a, const SmfTimedEvent& b) { return a.pulses < b.pulses; });
  std::vector<TimedMidi> frames;
  for (const SmfTimedEvent& e : events)
    frames.push_back({static_cast<long>(e.pulses) * 50, static_cast<std::uint8_t>(e.bytes[0]),
                      static_cast<std::uint8_t>(e.bytes[1]), static_cast<std::uint8_t>(e.bytes[2])});
  return frames;
}

class VST3BundleTest : public ::testing::Test {
protected:
  TempHome home;
  TempDir files{"quennet-vst3-bundle"};
};

} // namespace

TEST_F(VST3BundleTest, TheBundleHoldsTheModuleAndTheEditorsArtworkAndExportsOnlyTheEntries)
{
  EXPECT_EQ(std::filesystem::path(kBundle).filename(), "quennet.vst3");
  EXPECT_EQ(std::filesystem::path(kBinary).parent_path().parent_path(), std::filesystem::path(kBundle) / "Contents");
  EXPECT_EQ(std::filesystem::path(kBinary).filename(), vst3::kBinaryName);
  for (const char* asset : {"back.jpg", "knob.png", "switch.png", "handle.png", "learn.png", "unlearn.png", "led.png",
                            "triangle.png", "Roboto-Bold.ttf"})
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(kBinary).parent_path() / asset)) << asset;

  const CommandResult nm = runCommand({"nm", "-D", "--defined-only", kBinary}, {}, files.file("nm.log"));
  ASSERT_EQ(nm.status, 0) << nm.output;
  std::set<std::string> exported;
  std::istringstream lines(nm.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name && (type == "T" || type == "D" || type == "B" || type == "W"))
      exported.insert(name);
  }
  EXPECT_EQ(exported, (std::set<std::string>{"GetPluginFactory", "ModuleEntry", "ModuleExit"}));
}

TEST_F(VST3BundleTest, TheModuleLoadsAsHostsLoadItAgainAndAgain)
{
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    VST3Module module(kBinary);
    ASSERT_TRUE(module.factory()) << module.error();
    v3_plugin_factory** factory = module.factory();
    ASSERT_EQ(v3_cpp_obj(factory)->num_classes(factory), 1);
    v3_class_info info{};
    ASSERT_EQ(v3_cpp_obj(factory)->get_class_info(factory, 0, &info), V3_OK);
    EXPECT_STREQ(info.name, "Quennet");
    EXPECT_EQ(std::memcmp(info.class_id, vst3::kClassId, 16), 0);
    Plugin first(factory, info.class_id);
    Plugin second(factory, info.class_id);
    ASSERT_TRUE(first.valid() && second.valid());
    EXPECT_TRUE(first.setup());
    EXPECT_EQ(first.run(), V3_OK);
  }
}

TEST_F(VST3BundleTest, EveryFactoryPresetRendersWhatTheRendererRenders)
{
  const StereoBuffer input = testSignal(200 * kBlock + 123);
  const std::string in = files.file("in.wav");
  ASSERT_TRUE(writeStereoWav(in, input, kRate));
  writeFile(files.file("notes.mid"), midiFile());
  VST3Module module(kBinary);
  ASSERT_TRUE(module.factory()) << module.error();

  for (int preset = 0; preset < 10; ++preset) {
    SCOPED_TRACE("preset " + std::to_string(preset));
    const bool midiMode = preset == 3 || preset == 4;
    std::vector<std::string> renderer = {QUENNET_RENDER, "--quiet", "--preset", std::to_string(preset),
                                         "--tempo",      "120",     "--block",  std::to_string(kBlock),
                                         "--format",     "float"};
    if (midiMode)
      renderer.insert(renderer.end(), {"--midi", files.file("notes.mid")});
    const std::string out = files.file("renderer-" + std::to_string(preset) + ".wav");
    renderer.insert(renderer.end(), {in, out});
    const CommandResult rendered = runCommand(renderer, {"HOME=" + home.path()}, files.file("renderer.log"));
    ASSERT_EQ(rendered.status, 0) << rendered.output;
    const std::optional<StereoBuffer> expected = readStereoWav(out, kRate, true);
    ASSERT_TRUE(expected);

    Plugin plugin(module.factory(), vst3::kClassId);
    ASSERT_TRUE(plugin.valid());
    ASSERT_TRUE(plugin.setup(kRate, kBlock));
    // The host's program change, as the program list offers it.
    ASSERT_EQ(plugin.edit()->set_parameter_normalised(plugin.controller, vst3::kPresetParamId, preset / 9.0), V3_OK);
    RenderOptions options;
    options.blockSize = kBlock;
    options.tempo = 120.0;
    if (midiMode)
      options.midi = midiFrames();
    const StereoBuffer hosted = plugin.render(input, options);
    EXPECT_EQ(hosted.left, expected->left);
    EXPECT_EQ(hosted.right, expected->right);
  }
}

TEST_F(VST3BundleTest, TheParameterListIsTheLV2Bundles)
{
  LilvBundle lilv(QUENNET_LV2_BUNDLE);
  ASSERT_NE(lilv.plugin, nullptr);
  VST3Module module(kBinary);
  ASSERT_TRUE(module.factory()) << module.error();
  Plugin plugin(module.factory(), vst3::kClassId);
  ASSERT_TRUE(plugin.valid());

  const std::uint32_t ports = lilv_plugin_get_num_ports(lilv.plugin);
  std::vector<float> mins(ports), maxs(ports), defaults(ports);
  lilv_plugin_get_port_ranges_float(lilv.plugin, mins.data(), maxs.data(), defaults.data());
  int controls = 0;
  for (int index = 0; index < plugin.parameterCount(); ++index) {
    const v3_param_info info = plugin.info(index);
    if (info.flags & V3_PARAM_IS_HIDDEN || info.flags & V3_PARAM_PROGRAM_CHANGE)
      continue;
    ++controls;
    const std::uint32_t port = plug::lv2::kFirstControlPort + info.param_id;
    ASSERT_LT(port, ports);
    const LilvPort* lv2Port = lilv_plugin_get_port_by_index(lilv.plugin, port);
    LilvNode* name = lilv_port_get_name(lilv.plugin, lv2Port);
    const std::string title = narrow(info.title);
    SCOPED_TRACE(title);
    EXPECT_EQ(title, lilv_node_as_string(name));
    lilv_node_free(name);
    EXPECT_EQ(plug::lv2::PlainFromPortValue(mins[port]), plugin.plain(info.param_id, 0.0));
    EXPECT_EQ(plug::lv2::PlainFromPortValue(maxs[port]), plugin.plain(info.param_id, 1.0));
    // The default through its normalised value: power curves round in the last digit.
    const double lv2Default = plug::lv2::PlainFromPortValue(defaults[port]);
    EXPECT_NEAR(plugin.plain(info.param_id, info.default_normalised_value), lv2Default,
                1e-12 * (1.0 + std::fabs(lv2Default)));

    // A menu's entries: the LV2 scale points are the VST3 texts of the steps.
    LilvScalePoints* points = lilv_port_get_scale_points(lilv.plugin, lv2Port);
    if (info.flags & V3_PARAM_IS_LIST) {
      ASSERT_NE(points, nullptr);
      EXPECT_EQ(lilv_scale_points_size(points), static_cast<unsigned>(info.step_count + 1));
      LILV_FOREACH(scale_points, i, points)
      {
        const LilvScalePoint* point = lilv_scale_points_get(points, i);
        const double value = lilv_node_as_float(lilv_scale_point_get_value(point));
        EXPECT_EQ(plugin.text(info.param_id, plugin.toNormalized(info.param_id, value)),
                  std::optional<std::string>(lilv_node_as_string(lilv_scale_point_get_label(point))));
      }
    }
    if (points)
      lilv_scale_points_free(points);
  }
  EXPECT_EQ(controls, 22) << "the LV2 bundle's control ports";
}
