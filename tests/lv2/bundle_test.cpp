// SPDX-License-Identifier: ISC
// The built quennet.lv2 bundle as the LV2 tools see it: serdi parses every Turtle file,
// lv2_validate checks them against the LV2 schemas, lv2info (lilv) lists what a host will find,
// the module exports nothing but its two descriptors, and the editor's artwork is in the bundle.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BundlePath.h"
#include "ChildProcess.h"
#include "TempDir.h"
#include "core/quennet.param.h"
#include "framework/LV2/LV2Layout.h"

using namespace quennet;

namespace {

const std::string kBundle = QUENNET_LV2_BUNDLE;

bool contains(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
}

class BundleTest : public ::testing::Test {
protected:
  CommandResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {})
  {
    return runCommand(argv, env, logs.file("command.log"));
  }

  TempDir logs;
};

} // namespace

TEST_F(BundleTest, SerdiParsesEveryTurtleFile)
{
  for (const char* file : {"manifest.ttl", "quennet.ttl", "presets.ttl"}) {
    SCOPED_TRACE(file);
    const CommandResult result = run({"serdi", "-i", "turtle", "-o", "ntriples", kBundle + "/" + file});
    EXPECT_EQ(result.status, 0) << result.output.substr(0, 2000);
    EXPECT_FALSE(contains(result.output, "error")) << result.output.substr(0, 2000);
  }
}

TEST_F(BundleTest, ThePlugInAndItsProjectNameTheLicence)
{
  const CommandResult result = run({"serdi", "-i", "turtle", "-o", "ntriples", kBundle + "/quennet.ttl"});
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string licence = "<http://usefulinc.com/ns/doap#license> <http://opensource.org/licenses/isc> .";
  for (const std::string subject :
       {"<http://tarnwellmusic.example/plugins/quennet> ", "<http://tarnwellmusic.example/plugins/quennet#project> "})
    EXPECT_TRUE(contains(result.output, subject + licence)) << subject;
}

TEST_F(BundleTest, Lv2ValidateFindsNoErrorsInPlugInManifestAndPresetsTogether)
{
  const CommandResult result =
    run({"lv2_validate", kBundle + "/manifest.ttl", kBundle + "/quennet.ttl", kBundle + "/presets.ttl"});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(contains(result.output, "Found 0 errors")) << result.output;
}

TEST_F(BundleTest, Lv2infoListsThePortsPresetsAndFeatures)
{
  BundlePath path(kBundle);
  // The system's LV2 folder brings the class hierarchy, so that the class has its name.
  const CommandResult result = run({"lv2info", plug::lv2::kPluginURI},
                                   {"LV2_PATH=" + path.path() + ":/usr/lib/lv2", "HOME=" + logs.path().string()});
  ASSERT_EQ(result.status, 0) << result.output;
  const std::string& info = result.output;
  EXPECT_FALSE(contains(info, "error")) << info;
  EXPECT_FALSE(contains(info, "warning")) << info;

  EXPECT_TRUE(contains(info, "Name:              Quennet"));
  EXPECT_TRUE(contains(info, "Class:             Delay Plugin"));
  EXPECT_TRUE(contains(info, "Binary:            file://" + path.path() + "/quennet.lv2/quennet.so"));
  EXPECT_TRUE(contains(info, "Required Features: http://lv2plug.in/ns/ext/urid#map\n\tOptional Features:"))
    << "urid:map and nothing else is required";
  for (const char* optional :
       {"http://lv2plug.in/ns/lv2core#hardRTCapable", "http://lv2plug.in/ns/ext/options#options",
        "http://lv2plug.in/ns/ext/buf-size#boundedBlockLength", "http://lv2plug.in/ns/ext/worker#schedule",
        "http://lv2plug.in/ns/ext/state#interface", "http://lv2plug.in/ns/ext/options#interface",
        "http://lv2plug.in/ns/ext/worker#interface"})
    EXPECT_TRUE(contains(info, optional)) << optional;

  for (const FactoryPreset& preset : kFactoryPresets)
    EXPECT_TRUE(contains(info, std::string("\t         ") + preset.name + "\n")) << preset.name;

  const std::vector<std::string> symbols = {"in_left",
                                            "in_right",
                                            "out_left",
                                            "out_right",
                                            "events_in",
                                            "events_out",
                                            "volume",
                                            "mix",
                                            "grain_mode",
                                            "grain_length",
                                            "grain_sync",
                                            "grain_frequency",
                                            "grain_overlap",
                                            "grain_fade_in",
                                            "grain_skew",
                                            "grain_fade_out",
                                            "frame_length",
                                            "frame_sync",
                                            "frame_sync_to_host",
                                            "frame_overlap",
                                            "frame_fade_in",
                                            "frame_skew",
                                            "frame_fade_out",
                                            "midi_polyphony",
                                            "midi_attack",
                                            "midi_decay",
                                            "midi_sustain",
                                            "midi_release",
                                            "time_in"};
  for (size_t p = 0; p < symbols.size(); ++p) {
    const std::string port = "Port " + std::to_string(p) + ":";
    const size_t at = info.find(port);
    ASSERT_NE(at, std::string::npos) << port;
    const size_t symbolAt = info.find("Symbol:", at);
    EXPECT_EQ(info.substr(symbolAt, 13 + symbols[p].size() + 1), "Symbol:      " + symbols[p] + "\n") << port;
  }
  EXPECT_FALSE(contains(info, "Port 29:"));
  EXPECT_TRUE(contains(info,
                       "\tUIs:\n\t\thttp://tarnwellmusic.example/plugins/quennet#ui\n"
                       "\t\t\tClass:  http://lv2plug.in/ns/extensions/ui#X11UI\n"
                       "\t\t\tBinary: file://" +
                         path.path() + "/quennet.lv2/quennet.so\n"))
    << "the editor, from the same module";
  EXPECT_TRUE(contains(info, "Group:       http://tarnwellmusic.example/plugins/quennet#input"));
  EXPECT_TRUE(contains(info, "Designation: http://lv2plug.in/ns/ext/port-groups#right"));
}

TEST_F(BundleTest, TheModuleExportsOnlyItsTwoDescriptors)
{
  const CommandResult result = run({"nm", "-D", "--defined-only", kBundle + "/quennet.so"});
  ASSERT_EQ(result.status, 0) << result.output;
  std::vector<std::string> names;
  std::istringstream lines(result.output);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty())
      names.push_back(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(names, (std::vector<std::string>{"lv2_descriptor", "lv2ui_descriptor"})) << result.output;
}

TEST_F(BundleTest, TheEditorsArtworkAndFontAreInTheBundle)
{
  for (const char* file : {"back.jpg", "knob.png", "switch.png", "handle.png", "learn.png", "unlearn.png", "led.png",
                           "triangle.png", "Roboto-Bold.ttf"}) {
    SCOPED_TRACE(file);
    const std::filesystem::path path = std::filesystem::path(kBundle) / file; // beside quennet.so
    ASSERT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_GT(std::filesystem::file_size(path), 100u);
  }
}
