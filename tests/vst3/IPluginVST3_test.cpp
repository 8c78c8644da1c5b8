// SPDX-License-Identifier: ISC
// The VST3 bridge driven by a host of ours (VST3Host.h) through its factory and interfaces, linked in
// directly so that the test can reach the plug-in inside (the editor's edits, learned controllers)
// and so that it also runs under the sanitizers. Allocations inside process() are counted; an
// editor editing while the audio thread processes runs under ThreadSanitizer (label threads).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "AllocationCounter.h"
#include "Files.h"
#include "TempHome.h"
#include "TestHost.h"
#include "VST3Host.h"
#include "core/quennet.h"
#include "framework/VST3/IPluginVST3.h"
#include "framework/VST3/VST3Factory.h"
#include "framework/VST3/VST3Layout.h"

using namespace quennet;

namespace {

using namespace vst3host;
namespace vst3 = plug::vst3;

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  std::uint32_t seed = 777;
  for (size_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.05;
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 220.0 * t) + noise);
    signal.right[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 331.0 * t) - noise);
  }
  return signal;
}

// The plug-in as the bridge prepares and activates it, driven through the processing call.
std::unique_ptr<Quennet> directPlugin(int maxBlock = kBlock)
{
  std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
  plugin->PrepareToPlay(kRate, maxBlock);
  plugin->Activate();
  return plugin;
}

std::vector<double> doublesOf(const std::vector<std::uint8_t>& bytes)
{
  std::vector<double> values(bytes.size() / sizeof(double));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
  return values;
}

std::vector<std::uint8_t> bytesOf(const std::vector<double>& values)
{
  std::vector<std::uint8_t> bytes(values.size() * sizeof(double));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

class IPluginVST3Test : public ::testing::Test {
protected:
  // One instance made by the factory, as a host makes it.
  struct Instance : Plugin {
    Instance() : Plugin(vst3::Factory(), vst3::kClassId) {}
    vst3::IPluginVST3& bridge() { return vst3::OwnerOf<vst3::IPluginVST3>(component); }
    Quennet& plugin() { return static_cast<Quennet&>(bridge().Plug()); }
    double value(int paramIdx) { return plugin().GetParam(paramIdx)->GetValue(); }

    // One block of silence with the given events and changes; returns the output changes.
    ParamChanges run(EventList* events = nullptr, ParamChanges* changes = nullptr, int frames = kBlock,
                     const std::optional<Transport>& transport = Transport{})
    {
      std::vector<float> in(static_cast<size_t>(frames), 0.0f), out(static_cast<size_t>(frames) * 2, 0.0f);
      ParamChanges outChanges;
      process(in.data(), in.data(), out.data(), out.data() + frames, frames, events, changes, &outChanges, transport);
      return outChanges;
    }
    void hostSets(v3_param_id id, double normalized)
    {
      ParamChanges changes;
      changes.add(id, 0, normalized);
      run(nullptr, &changes);
    }
    void choosePreset(int preset) { edit()->set_parameter_normalised(controller, vst3::kPresetParamId, preset / 9.0); }
  };

  void writeConfig(const std::string& text) { writeFile(home.configFile(), text); }

  TempHome home;
};

} // namespace

TEST_F(IPluginVST3Test, TheFactoryDescribesOneEffectClass)
{
  v3_plugin_factory** factory = vst3::Factory();
  v3_factory_info info{};
  ASSERT_EQ(v3_cpp_obj(factory)->get_factory_info(factory, &info), V3_OK);
  EXPECT_STREQ(info.vendor, "Tarnwell Music");
  ASSERT_EQ(v3_cpp_obj(factory)->num_classes(factory), 1);

  v3_plugin_factory_2** factory2 = nullptr;
  ASSERT_EQ(v3_cpp_obj_query_interface(factory, v3_plugin_factory_2_iid, &factory2), V3_OK);
  v3_class_info_2 info2{};
  ASSERT_EQ(v3_cpp_obj(factory2)->get_class_info_2(factory2, 0, &info2), V3_OK);
  EXPECT_EQ(std::memcmp(info2.class_id, "TrwltwQnVST3Qnet", 16), 0);
  EXPECT_STREQ(info2.category, "Audio Module Class");
  EXPECT_STREQ(info2.name, "Quennet");
  EXPECT_STREQ(info2.sub_categories, "Fx|Delay");
  EXPECT_STREQ(info2.vendor, "Tarnwell Music");
  EXPECT_STREQ(info2.version, "1.1.2");
  EXPECT_EQ(info2.class_flags, 0u) << "processor and controller cannot be separated";

  v3_plugin_factory_3** factory3 = nullptr;
  ASSERT_EQ(v3_cpp_obj_query_interface(factory, v3_plugin_factory_3_iid, &factory3), V3_OK);
  v3_class_info_3 info3{};
  ASSERT_EQ(v3_cpp_obj(factory3)->get_class_info_utf16(factory3, 0, &info3), V3_OK);
  EXPECT_EQ(narrow(info3.name, 64), "Quennet");
  EXPECT_EQ(narrow(info3.vendor, 64), "Tarnwell Music");
  EXPECT_EQ(v3_cpp_obj(factory3)->get_class_info_utf16(factory3, 1, &info3), V3_INVALID_ARG);

  // Another class id makes nothing; an interface the plug-in has not leaves nothing behind.
  const v3_tuid other = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  void* obj = &info;
  EXPECT_NE(v3_cpp_obj(factory)->create_instance(factory, other, v3_component_iid, &obj), V3_OK);
  EXPECT_EQ(obj, nullptr);
  EXPECT_EQ(v3_cpp_obj(factory)->create_instance(factory, vst3::kClassId, v3_bstream_iid, &obj), V3_NO_INTERFACE);
  EXPECT_EQ(obj, nullptr);
}

TEST_F(IPluginVST3Test, OneObjectIsComponentProcessorAndController)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.midiMapping);
  ASSERT_TRUE(instance.units);
  v3_process_context_requirements** requirements = nullptr;
  ASSERT_EQ(v3_cpp_obj_query_interface(instance.component, v3_process_context_requirements_iid, &requirements), V3_OK);
  const std::uint32_t needs = v3_cpp_obj(requirements)->get_process_context_requirements(requirements);
  EXPECT_TRUE(needs & V3_PROCESS_CTX_NEED_TEMPO);
  EXPECT_TRUE(needs & V3_PROCESS_CTX_NEED_PROJECT_TIME);
  v3_cpp_obj_unref(requirements);

  // The controller leads back to the same component.
  v3_component** again = nullptr;
  ASSERT_EQ(v3_cpp_obj_query_interface(instance.controller, v3_component_iid, &again), V3_OK);
  EXPECT_EQ(again, instance.component);
  v3_cpp_obj_unref(again);
  v3_tuid controllerClass{};
  EXPECT_NE(v3_cpp_obj(instance.component)->get_controller_class_id(instance.component, controllerClass), V3_OK)
    << "no separate controller class";
}

TEST_F(IPluginVST3Test, BusesAreStereoInAndOutAndOneMidiInput)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  v3_component* c = v3_cpp_obj(instance.component);
  EXPECT_EQ(c->get_bus_count(instance.component, V3_AUDIO, V3_INPUT), 1);
  EXPECT_EQ(c->get_bus_count(instance.component, V3_AUDIO, V3_OUTPUT), 1);
  EXPECT_EQ(c->get_bus_count(instance.component, V3_EVENT, V3_INPUT), 1);
  EXPECT_EQ(c->get_bus_count(instance.component, V3_EVENT, V3_OUTPUT), 0);
  v3_bus_info bus{};
  ASSERT_EQ(c->get_bus_info(instance.component, V3_AUDIO, V3_OUTPUT, 0, &bus), V3_OK);
  EXPECT_EQ(bus.channel_count, 2);
  EXPECT_EQ(bus.bus_type, V3_MAIN);
  ASSERT_EQ(c->get_bus_info(instance.component, V3_EVENT, V3_INPUT, 0, &bus), V3_OK);
  EXPECT_EQ(bus.channel_count, 16);
  EXPECT_EQ(narrow(bus.bus_name), "MIDI In");
  EXPECT_EQ(c->get_bus_info(instance.component, V3_AUDIO, V3_INPUT, 1, &bus), V3_INVALID_ARG);

  v3_audio_processor* p = v3_cpp_obj(instance.processor);
  v3_speaker_arrangement stereo = V3_SPEAKER_L | V3_SPEAKER_R;
  v3_speaker_arrangement mono = V3_SPEAKER_M;
  EXPECT_EQ(p->set_bus_arrangements(instance.processor, &stereo, 1, &stereo, 1), V3_OK);
  EXPECT_NE(p->set_bus_arrangements(instance.processor, &mono, 1, &stereo, 1), V3_OK);
  v3_speaker_arrangement got = 0;
  ASSERT_EQ(p->get_bus_arrangement(instance.processor, V3_OUTPUT, 0, &got), V3_OK);
  EXPECT_EQ(got, stereo);
  EXPECT_EQ(p->can_process_sample_size(instance.processor, V3_SAMPLE_32), V3_OK);
  EXPECT_NE(p->can_process_sample_size(instance.processor, V3_SAMPLE_64), V3_OK);
  EXPECT_EQ(p->get_latency_samples(instance.processor), 0u);
}

TEST_F(IPluginVST3Test, ParametersCarryTheirNamesUnitsStepsDefaultsAndFlags)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_EQ(instance.parameterCount(), 29 + 1 + 128);

  struct Case {
    int index;
    const char* title;
    const char* units;
    int steps;
    double defaultNormalized; // worked out from the parameter table
    bool list;
  };
  const double lengthDefault = std::pow((20.0 - 0.2) / 1999.8, 0.25); // power-4 curve
  const double frequencyDefault = std::pow((110.0 - 16.0) / 4984.0, 0.25);
  const double frameDefault = std::pow((160.0 - 0.2) / 4999.8, 0.25);
  const Case cases[] = {
    {kVolume, "Volume", "", 0, 0.5, false},
    {kMix, "Mix", "", 0, 1.0, false},
    {kGrainMode, "Grain Mode", "", 3, 0.0, true},
    {kGrainLength, "Grain Length", "", 0, lengthDefault, false},
    {kGrainSync, "Grain Sync", "", 19, 10.0 / 19.0, true},
    {kGrainFrequency, "Grain Frequency", "Hz", 0, frequencyDefault, false},
    {kGrainOverlap, "Grain Overlap", "", 0, 0.0, false},
    {kGrainSkew, "Grain Skew", "", 0, 0.5, false},
    {kFrameLength, "Frame Length", "", 0, frameDefault, false},
    {kFrameSync, "Frame Sync", "", 19, 10.0 / 19.0, true},
    {kFrameSyncToHost, "Frame Sync to Host", "", 1, 0.0, false},
    {kMidiPolyphony, "MIDI Polyphony", "", 7, 3.0 / 7.0, false},
    {kMidiSustain, "MIDI Sustain", "", 0, 1.0, false},
    {kMidiRelease, "MIDI Release", "", 0, 0.05, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const v3_param_info info = instance.info(c.index);
    EXPECT_EQ(info.param_id, static_cast<v3_param_id>(c.index));
    EXPECT_EQ(narrow(info.title), c.title);
    EXPECT_EQ(narrow(info.units), c.units);
    EXPECT_EQ(info.step_count, c.steps);
    EXPECT_NEAR(info.default_normalised_value, c.defaultNormalized, 1e-12);
    EXPECT_TRUE(info.flags & V3_PARAM_CAN_AUTOMATE);
    EXPECT_EQ((info.flags & V3_PARAM_IS_LIST) != 0, c.list);
    EXPECT_FALSE(info.flags & V3_PARAM_IS_HIDDEN);
    EXPECT_NEAR(instance.normalized(info.param_id), c.defaultNormalized, 1e-12) << "the current value is the default";
  }
  for (int reserved = 22; reserved < 29; ++reserved) {
    const v3_param_info info = instance.info(reserved);
    EXPECT_EQ(info.param_id, static_cast<v3_param_id>(reserved));
    EXPECT_EQ(info.flags, V3_PARAM_IS_HIDDEN | V3_PARAM_READ_ONLY) << reserved;
  }
  const v3_param_info preset = instance.info(29);
  EXPECT_EQ(preset.param_id, vst3::kPresetParamId);
  EXPECT_EQ(narrow(preset.title), "Preset");
  EXPECT_EQ(preset.step_count, 9);
  EXPECT_EQ(preset.flags, V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST);
  for (int cc = 0; cc < 128; ++cc) {
    const v3_param_info info = instance.info(30 + cc);
    EXPECT_EQ(info.param_id, vst3::ControllerParamId(cc));
    EXPECT_EQ(info.flags, V3_PARAM_IS_HIDDEN) << "controller " << cc;
    EXPECT_EQ(info.step_count, 127);
  }
  v3_param_info none{};
  EXPECT_EQ(instance.edit()->get_parameter_info(instance.controller, 158, &none), V3_INVALID_ARG);
  EXPECT_EQ(instance.edit()->get_parameter_info(instance.controller, -1, &none), V3_INVALID_ARG);

  // Plain values at both ends, as the parameter table gives the ranges.
  EXPECT_DOUBLE_EQ(instance.plain(kGrainLength, 0.0), 0.2);
  EXPECT_DOUBLE_EQ(instance.plain(kGrainLength, 1.0), 2000.0);
  EXPECT_DOUBLE_EQ(instance.plain(kGrainLength, 0.5), 0.2 + 1999.8 * 0.0625);
  EXPECT_DOUBLE_EQ(instance.plain(kGrainSkew, 0.25), -0.5);
  EXPECT_DOUBLE_EQ(instance.plain(kGrainSync, 0.5), 10.0) << "9.5 rounds to the step";
  EXPECT_DOUBLE_EQ(instance.toNormalized(kMidiPolyphony, 8.0), 1.0);
  EXPECT_DOUBLE_EQ(instance.plain(vst3::kPresetParamId, 1.0 / 9.0), 1.0);
  EXPECT_DOUBLE_EQ(instance.plain(vst3::ControllerParamId(7), 64.0 / 127.0), 64.0);
}

TEST_F(IPluginVST3Test, ValueTextsGoBothWaysAsHostsShowThem)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  struct Shown {
    int param;
    double plain;
    const char* text;
  };
  const Shown shown[] = {
    {kVolume, 1.0, "0.0"},
    {kVolume, 2.0, "6.0"},
    {kVolume, 0.0, "-oo"},
    {kVolume, 0.5, "-6.0"},
    {kMix, 0.3, "70:30"},
    {kMix, 0.0, "Dry"},
    {kMix, 1.0, "Wet"},
    {kGrainMode, 2.0, "FREQ"},
    {kGrainSync, 10.0, "1/4"},
    {kGrainSync, 12.0, "dotted 1/4"},
    {kGrainSync, 8.0, "1/4T"},
    {kFrameSync, 3.0, "dotted 1/32"},
    {kFrameSyncToHost, 1.0, "on"},
    {kGrainFrequency, 110.0, "110.0"},
    {kGrainLength, 125.2, "125.2"},
    {kGrainOverlap, 33.0, "33"},
    {kGrainSkew, -0.4, "-0.40"},
    {kMidiPolyphony, 4.0, "4"},
  };
  for (const Shown& s : shown) {
    SCOPED_TRACE(s.text);
    const double normalized = instance.toNormalized(s.param, s.plain);
    EXPECT_EQ(instance.text(s.param, normalized), std::optional<std::string>(s.text));
    const std::optional<double> back = instance.fromText(s.param, s.text);
    ASSERT_TRUE(back);
    EXPECT_NEAR(instance.plain(s.param, *back), s.plain, 1e-9);
  }

  // Every value text of every parameter reads back as the same text.
  for (int p = 0; p < 22; ++p)
    for (double n : {0.0, 0.013, 0.25, 0.5, 0.77, 0.999, 1.0}) {
      SCOPED_TRACE(std::to_string(p) + " at " + std::to_string(n));
      const std::optional<std::string> text = instance.text(p, n);
      ASSERT_TRUE(text);
      const std::optional<double> back = instance.fromText(p, *text);
      ASSERT_TRUE(back);
      EXPECT_EQ(instance.text(p, *back), text);
    }

  struct Typed {
    int param;
    const char* text;
    std::optional<double> plain;
  };
  const Typed typed[] = {
    {kVolume, "-6", 0.5}, // the nearest shown number
    {kVolume, " 6.0 ", 2.0},
    {kMix, "50:50", 0.5},
    {kGrainSync, "1/4.", 12.0}, // the plug-in's own spelling
    {kGrainFrequency, "220 Hz", 220.0},
    {kGrainFrequency, "9999", 5000.0}, // clamped
    {kGrainFrequency, "banana", std::nullopt},
    {kGrainMode, "7", std::nullopt}, // no mode's text
    {kFrameSyncToHost, "maybe", std::nullopt},
    {kMidiPolyphony, "", std::nullopt},
  };
  for (const Typed& t : typed) {
    SCOPED_TRACE(t.text);
    const std::optional<double> back = instance.fromText(t.param, t.text);
    ASSERT_EQ(back.has_value(), t.plain.has_value());
    if (back) {
      EXPECT_NEAR(instance.plain(t.param, *back), *t.plain, 1e-9);
    }
  }

  EXPECT_EQ(instance.text(vst3::kPresetParamId, 8.0 / 9.0), std::optional<std::string>("Slap Back"));
  EXPECT_NEAR(instance.fromText(vst3::kPresetParamId, "Ring Modulator").value_or(-1), 5.0 / 9.0, 1e-12);
  EXPECT_EQ(instance.text(vst3::ControllerParamId(1), 1.0), std::optional<std::string>("127"));
  EXPECT_FALSE(instance.text(999, 0.5));
  EXPECT_FALSE(instance.fromText(999, "1"));
}

TEST_F(IPluginVST3Test, TheStateIsThe232ByteChunkAndComesBackExactlyInAFreshInstance)
{
  std::vector<double> saved;
  {
    Instance instance;
    ASSERT_TRUE(instance.valid());
    ASSERT_TRUE(instance.setup(kRate, kBlock));
    const std::vector<std::uint8_t> defaults = instance.state();
    ASSERT_EQ(defaults.size(), 232u);
    const std::vector<double> values = doublesOf(defaults);
    EXPECT_EQ(values[kVolume], 1.0);
    EXPECT_EQ(values[kGrainLength], 20.0);
    EXPECT_EQ(values[kGrainFrequency], 110.0);
    EXPECT_EQ(values[kMidiRelease], 0.05);
    EXPECT_EQ(values[28], 0.0);

    instance.choosePreset(6); // "Synced Reversals"
    instance.hostSets(kGrainLength, 0.61803);
    instance.hostSets(kMix, 0.123456789);
    saved = doublesOf(instance.state());
    // The same bytes as the plug-in's own state chunk, which the LV2 bridge saves too.
    plug::IByteChunk chunk;
    instance.plugin().SerializeState(chunk);
    ASSERT_EQ(saved.size() * sizeof(double), static_cast<size_t>(chunk.Size()));
    EXPECT_EQ(std::memcmp(saved.data(), chunk.GetData(), 232), 0);
  }
  Instance fresh;
  ASSERT_TRUE(fresh.valid());
  ASSERT_TRUE(fresh.setup(kRate, kBlock));
  // A host may hand the stream over in small pieces.
  ASSERT_EQ(fresh.setState(bytesOf(saved), 7), V3_OK);
  fresh.run();
  EXPECT_EQ(doublesOf(fresh.state()), saved);
  for (int i = 0; i < kNumParams; ++i)
    EXPECT_EQ(fresh.value(i), saved[static_cast<size_t>(i)]) << "parameter " << i;
  EXPECT_TRUE(fresh.plugin().grainSyncMode()) << "the restored values are dispatched";
  MemoryStream again(bytesOf(saved));
  EXPECT_EQ(fresh.edit()->set_component_state(fresh.controller, again.get()), V3_OK);

  // The controller keeps no state of its own.
  MemoryStream controllerState;
  EXPECT_EQ(fresh.edit()->get_state(fresh.controller, controllerState.get()), V3_OK);
  EXPECT_TRUE(controllerState.bytes.empty());
}

TEST_F(IPluginVST3Test, AStateOfAnotherSizeIsRefusedAndChangesNothing)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.choosePreset(2);
  const std::vector<std::uint8_t> before = instance.state();
  std::vector<double> other(kFactoryPresets[8].values.begin(), kFactoryPresets[8].values.end());
  for (size_t size : {size_t{0}, size_t{8}, size_t{231}, size_t{233}, size_t{240}, size_t{5000}}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes = bytesOf(other);
    bytes.resize(size, 0x40);
    EXPECT_EQ(instance.setState(bytes), V3_FALSE);
    MemoryStream stream(bytes);
    EXPECT_EQ(instance.edit()->set_component_state(instance.controller, stream.get()), V3_FALSE);
    EXPECT_EQ(instance.state(), before);
  }
  EXPECT_NE(v3_cpp_obj(instance.component)->set_state(instance.component, nullptr), V3_OK);
}

TEST_F(IPluginVST3Test, TheFactoryPresetsAreTheProgramListAndTheHostsChoiceSwitchesThem)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  v3_unit_information* units = v3_cpp_obj(instance.units);
  ASSERT_EQ(units->get_unit_count(instance.units), 1);
  v3_unit_info unit{};
  ASSERT_EQ(units->get_unit_info(instance.units, 0, &unit), V3_OK);
  EXPECT_EQ(unit.id, 0);
  EXPECT_EQ(unit.program_list_id, vst3::kPresetListId);
  v3_program_list_info list{};
  ASSERT_EQ(units->get_program_list_info(instance.units, 0, &list), V3_OK);
  EXPECT_EQ(list.id, vst3::kPresetListId);
  EXPECT_EQ(list.programCount, 10);
  for (int p = 0; p < 10; ++p) {
    v3_str_128 name{};
    ASSERT_EQ(units->get_program_name(instance.units, vst3::kPresetListId, p, name), V3_OK);
    EXPECT_EQ(narrow(name), kFactoryPresets[static_cast<size_t>(p)].name);
  }
  v3_str_128 name{};
  EXPECT_NE(units->get_program_name(instance.units, vst3::kPresetListId, 10, name), V3_OK);
  EXPECT_NE(units->get_program_name(instance.units, 7, 0, name), V3_OK);

  // The host chooses "Slap Back": the plug-in takes its values, and the next block tells the host.
  instance.hostSets(kMix, 0.9); // an edit of preset 0, kept in its slot
  instance.choosePreset(8);
  for (int i = 0; i < kNumParams; ++i)
    EXPECT_EQ(instance.value(i), kFactoryPresets[8].values[static_cast<size_t>(i)]) << "parameter " << i;
  EXPECT_NEAR(instance.normalized(vst3::kPresetParamId), 8.0 / 9.0, 1e-12);
  const ParamChanges told = instance.run();
  for (int i = 0; i < 22; ++i)
    EXPECT_EQ(told.last(i), std::optional<double>(instance.plugin().GetParam(i)->GetNormalized())) << i;
  EXPECT_TRUE(instance.run().queues.empty()) << "once";
  EXPECT_TRUE(instance.handler.calls.empty()) << "nothing goes back as an edit";

  instance.choosePreset(0);
  EXPECT_NEAR(instance.value(kMix), 0.9, 1e-12) << "the slot left kept its edit";
}

TEST_F(IPluginVST3Test, HostChangesReachTheBlocksAudioAndAnUnchangedValueChangesNothing)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  std::unique_ptr<Quennet> direct = directPlugin();

  const StereoBuffer input = testSignal(8 * kBlock);
  StereoBuffer viaHost(input.frames()), viaCall(input.frames());
  for (int b = 0; b < 8; ++b) {
    const size_t at = static_cast<size_t>(b) * kBlock;
    ParamChanges changes;
    if (b == 2) {
      // Several points: the last one counts.
      changes.add(kGrainMode, 0, 1.0);
      changes.add(kGrainMode, 300, 2.0 / 3.0);
      changes.add(kGrainFrequency, 17, instance.toNormalized(kGrainFrequency, 440.0));
      direct->SetParameterFromHostPlain(kGrainMode, 2.0);
      direct->SetParameterFromHostPlain(kGrainFrequency, 440.0);
    }
    if (b == 5) {
      changes.add(kGrainMode, 0, 2.0 / 3.0); // already FREQ: no dispatch, notes and frames go on
      changes.add(kFrameLength, 0, instance.toNormalized(kFrameLength, 30.0));
      direct->SetParameterFromHostPlain(kFrameLength, 30.0);
    }
    const Transport transport{120.0, static_cast<double>(at), true};
    instance.process(input.left.data() + at, input.right.data() + at, viaHost.left.data() + at,
                     viaHost.right.data() + at, kBlock, nullptr, &changes, nullptr, transport);
    RenderOptions options;
    options.startPosition = static_cast<double>(at);
    StereoBuffer slice(kBlock);
    std::copy_n(input.left.begin() + static_cast<long>(at), kBlock, slice.left.begin());
    std::copy_n(input.right.begin() + static_cast<long>(at), kBlock, slice.right.begin());
    const StereoBuffer out = renderThrough(*direct, slice, options);
    std::copy(out.left.begin(), out.left.end(), viaCall.left.begin() + static_cast<long>(at));
    std::copy(out.right.begin(), out.right.end(), viaCall.right.begin() + static_cast<long>(at));
  }
  EXPECT_EQ(instance.value(kGrainMode), 2.0);
  EXPECT_EQ(instance.value(kGrainFrequency), 440.0);
  EXPECT_EQ(viaHost.left, viaCall.left);
  EXPECT_EQ(viaHost.right, viaCall.right);

  // The controller's setParamNormalized shows a value; it reaches the plug-in through process().
  instance.edit()->set_parameter_normalised(instance.controller, kMix, 0.25);
  EXPECT_EQ(instance.value(kMix), 1.0);
  // Values out of range are clamped, NaN and unknown ids ignored.
  ParamChanges wild;
  wild.add(kMix, 0, 7.0);
  wild.add(kVolume, 0, std::nan(""));
  wild.add(4000, 0, 0.5);
  wild.add(25, 0, 0.5); // reserved: read-only
  instance.run(nullptr, &wild);
  EXPECT_EQ(instance.value(kMix), 1.0);
  EXPECT_EQ(instance.value(kVolume), 1.0);
  EXPECT_EQ(instance.value(25), 0.0);
}

TEST_F(IPluginVST3Test, NotesAndAllNotesOffComeFromTheEventBusAndControllers)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  instance.choosePreset(3); // "MIDI Standard"
  instance.run();
  Quennet& plugin = instance.plugin();
  const auto sustaining = [&] {
    int n = 0;
    for (int v = 0; v < Quennet::kNumVoices; ++v)
      n += plugin.envelope(v).mStage == ADSR::kStageDecaySustain ? 1 : 0;
    return n;
  };

  EventList notes;
  notes.noteOn(10, 60);
  notes.noteOn(20, 64);
  notes.noteOn(30, 200); // no such note
  notes.noteOn(40, 67, 0.5f, 16); // no such channel
  instance.run(&notes);
  EXPECT_TRUE(plugin.noteActive());
  EXPECT_EQ(plugin.voiceNote(0), 60);
  EXPECT_EQ(plugin.voiceNote(1), 64);
  EXPECT_NE(plugin.voiceNote(2), 67);

  EventList off;
  off.noteOff(5, 64);
  instance.run(&off);
  EXPECT_NE(plugin.envelope(1).mStage, ADSR::kStageDecaySustain) << "released";
  EXPECT_EQ(plugin.envelope(0).mStage, ADSR::kStageDecaySustain);

  // Controller 123 (all notes off), as a host delivers it through IMidiMapping.
  v3_param_id id = 0;
  ASSERT_EQ(v3_cpp_obj(instance.midiMapping)->get_midi_controller_assignment(instance.midiMapping, 0, 3, 123, &id),
            V3_OK);
  EXPECT_EQ(id, vst3::ControllerParamId(123));
  EXPECT_NE(v3_cpp_obj(instance.midiMapping)->get_midi_controller_assignment(instance.midiMapping, 1, 0, 7, &id),
            V3_OK);
  EXPECT_NE(v3_cpp_obj(instance.midiMapping)->get_midi_controller_assignment(instance.midiMapping, 0, 16, 7, &id),
            V3_OK);
  ParamChanges allOff;
  allOff.add(vst3::ControllerParamId(123), 0, 0.0);
  instance.run(nullptr, &allOff);
  EXPECT_EQ(sustaining(), 0);

  // The same as a legacy controller event on the event bus.
  EventList again;
  again.noteOn(0, 72);
  instance.run(&again);
  EXPECT_EQ(sustaining(), 1);
  EventList legacy;
  v3_event cc{};
  cc.type = V3_EVENT_LEGACY_MIDI_CC_OUT;
  cc.midi_cc_out.cc_number = 120;
  cc.midi_cc_out.channel = 5;
  legacy.events.push_back(cc);
  instance.run(&legacy);
  EXPECT_EQ(sustaining(), 0);
}

TEST_F(IPluginVST3Test, ANoteAtFrame480OfA512FrameBlockStartsAtFrame480)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  instance.choosePreset(3); // "MIDI Standard": wet only, silent until a note plays
  const StereoBuffer input = testSignal(2 * kBlock);
  StereoBuffer output(input.frames());
  EventList none;
  instance.process(input.left.data(), input.right.data(), output.left.data(), output.right.data(), kBlock, &none);
  EventList note;
  note.noteOn(480, 69);
  instance.process(input.left.data() + kBlock, input.right.data() + kBlock, output.left.data() + kBlock,
                   output.right.data() + kBlock, kBlock, &note, nullptr, nullptr, Transport{120.0, kBlock, true});
  float before = 0.0f;
  for (int i = kBlock; i < kBlock + 480; ++i)
    before = std::max(before, std::fabs(output.left[static_cast<size_t>(i)]));
  float after = 0.0f;
  for (int i = kBlock + 480; i < 2 * kBlock; ++i)
    after = std::max(after, std::fabs(output.left[static_cast<size_t>(i)]));
  EXPECT_LT(before, 1e-6f) << "nothing sounds before the note";
  EXPECT_GT(after, 1e-3f) << "the note sounds from its frame on";
}

TEST_F(IPluginVST3Test, TempoAndSongPositionComeFromTheProcessContext)
{
  struct Case {
    const char* name;
    std::optional<double> tempo; // nothing: no process context
    double start;
  };
  for (const Case& c : {Case{"140 BPM from bar 9", 140.0, 768000.0}, Case{"97 BPM at an odd position", 97.0, 12345.0},
                        Case{"no context", std::nullopt, 0.0}}) {
    SCOPED_TRACE(c.name);
    Instance instance;
    ASSERT_TRUE(instance.valid());
    ASSERT_TRUE(instance.setup());
    instance.choosePreset(1); // "Sync 2 Host"
    std::unique_ptr<Quennet> direct = directPlugin();
    direct->changePreset(1);

    const StereoBuffer input = testSignal(40 * kBlock);
    RenderOptions options;
    options.tempo = c.tempo;
    options.startPosition = c.start;
    const StereoBuffer viaHost = instance.render(input, options);
    const StereoBuffer viaCall = renderThrough(*direct, input, options);
    EXPECT_EQ(viaHost.left, viaCall.left);
    EXPECT_EQ(viaHost.right, viaCall.right);
    EXPECT_EQ(instance.plugin().grainSyncSamples(),
              c.tempo ? static_cast<std::int64_t>(48000.0 * 60.0 / *c.tempo / 4.0) : 6000)
      << "a sixteenth in samples (120 BPM without a context)";
  }
}

TEST_F(IPluginVST3Test, TheEditorsEditsReachTheHostAsGesturesOnItsThread)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  Quennet& plugin = instance.plugin();

  // A knob drag: begin, two values, end.
  plugin.BeginInformHostOfParamChangeFromUI(kVolume);
  plugin.SendParameterValueFromUI(kVolume, 0.6);
  plugin.SendParameterValueFromUI(kVolume, 0.7);
  plugin.EndInformHostOfParamChangeFromUI(kVolume);
  EXPECT_EQ(instance.handler.kindsOf(kVolume), "bppe");
  EXPECT_EQ(instance.handler.lastPerformed(kVolume), std::optional<double>(0.7));
  for (const ComponentHandler::Call& call : instance.handler.calls)
    EXPECT_EQ(call.thread, std::this_thread::get_id());

  // A menu choice without a gesture of its own: one all the same.
  instance.handler.calls.clear();
  plugin.SendParameterValueFromUI(kGrainMode, 1.0);
  EXPECT_EQ(instance.handler.kindsOf(kGrainMode), "bpe");

  // A preset from the editor's menu: every parameter, and the preset parameter.
  instance.handler.calls.clear();
  plugin.changePreset(4); // "MIDI Synced"
  for (int i = 0; i < 22; ++i) {
    EXPECT_EQ(instance.handler.kindsOf(i), "bpe") << i;
    EXPECT_EQ(instance.handler.lastPerformed(i), std::optional<double>(plugin.GetParam(i)->GetNormalized())) << i;
  }
  EXPECT_EQ(instance.handler.kindsOf(25), "") << "reserved slots stay out";
  EXPECT_EQ(instance.handler.kindsOf(vst3::kPresetParamId), "bpe");
  EXPECT_NEAR(instance.handler.lastPerformed(vst3::kPresetParamId).value_or(-1), 4.0 / 9.0, 1e-12);

  // "Reset Current Preset" after an edit: the factory values go to the host too.
  plugin.SendParameterValueFromUI(kMix, 0.2);
  instance.handler.calls.clear();
  plugin.initPreset(plugin.GetCurrentPresetIdx());
  EXPECT_EQ(instance.handler.lastPerformed(kMix), std::optional<double>(1.0));
  EXPECT_EQ(instance.handler.kindsOf(kMix), "bpe");

  // From another thread nothing reaches the handler.
  instance.handler.calls.clear();
  std::thread([&] { instance.bridge().InformHostOfParamChange(kMix, 0.5); }).join();
  EXPECT_TRUE(instance.handler.calls.empty());
}

TEST_F(IPluginVST3Test, TheEditorsEditsComingBackThroughProcessAreNoChanges)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  Quennet& plugin = instance.plugin();
  plugin.BeginInformHostOfParamChangeFromUI(kMix);
  plugin.SendParameterValueFromUI(kMix, 0.6);
  plugin.SendParameterValueFromUI(kMix, 0.7);
  // The host shows the value it got from the editor: not during the gesture.
  instance.edit()->set_parameter_normalised(instance.controller, kMix, 0.6);
  plugin.EndInformHostOfParamChangeFromUI(kMix);

  // The host passes the edits on to the processor, a block late: the older one changes nothing.
  instance.hostSets(kMix, 0.6);
  EXPECT_EQ(instance.value(kMix), 0.7);
  instance.hostSets(kMix, 0.7);
  EXPECT_EQ(instance.value(kMix), 0.7);
  // Then the host's own changes count again.
  instance.hostSets(kMix, 0.25);
  EXPECT_EQ(instance.value(kMix), 0.25);

  // Edits the host never passes on are not waited for longer than half a second of audio.
  plugin.SendParameterValueFromUI(kVolume, 0.8);
  for (int i = 0; i < 48; ++i)
    instance.run();
  instance.hostSets(kVolume, 0.3);
  EXPECT_EQ(instance.value(kVolume), 0.6);
}

TEST_F(IPluginVST3Test, ALearnedControllerGoesToTheHostAsAnOutputChangeOfItsBlock)
{
  writeConfig("[MIDI Control]\nCC7=1\n"); // controller 7 moves Mix
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  ParamChanges changes;
  changes.add(vst3::ControllerParamId(7), 100, 0.0);
  const ParamChanges out = instance.run(nullptr, &changes);
  EXPECT_EQ(instance.value(kMix), 0.0);
  EXPECT_EQ(out.last(kMix), std::optional<double>(0.0));
  EXPECT_TRUE(instance.handler.calls.empty()) << "not through the handler from the audio thread";
  EXPECT_EQ(instance.normalized(vst3::ControllerParamId(7)), 0.0);

  // The state the host saves holds it.
  EXPECT_EQ(doublesOf(instance.state())[kMix], 0.0);
}

TEST_F(IPluginVST3Test, ProcessBeforeActivationRendersSilenceAndSaysSo)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  std::vector<float> in(kBlock, 0.5f), outLeft(kBlock, 1.0f), outRight(kBlock, 1.0f);
  EXPECT_EQ(instance.process(in.data(), in.data(), outLeft.data(), outRight.data(), kBlock), V3_NOT_INITIALIZED);
  EXPECT_EQ(outLeft, std::vector<float>(kBlock, 0.0f));
  EXPECT_EQ(outRight, std::vector<float>(kBlock, 0.0f));

  // Prepared but deactivated again: the same.
  ASSERT_TRUE(instance.setup());
  EXPECT_EQ(instance.process(in.data(), in.data(), outLeft.data(), outRight.data(), kBlock), V3_OK);
  v3_cpp_obj(instance.component)->set_active(instance.component, false);
  std::fill(outLeft.begin(), outLeft.end(), 1.0f);
  EXPECT_EQ(instance.process(in.data(), in.data(), outLeft.data(), outRight.data(), kBlock), V3_NOT_INITIALIZED);
  EXPECT_EQ(outLeft, std::vector<float>(kBlock, 0.0f));
  v3_cpp_obj(instance.component)->set_active(instance.component, true);

  // Setup refuses rates no filter runs at, blocks out of range, and a change while active.
  v3_process_setup setup{V3_REALTIME, V3_SAMPLE_32, kBlock, kRate};
  v3_audio_processor* p = v3_cpp_obj(instance.processor);
  EXPECT_EQ(p->setup_processing(instance.processor, &setup), V3_FALSE) << "while active";
  v3_cpp_obj(instance.component)->set_active(instance.component, false);
  for (const v3_process_setup& bad :
       {v3_process_setup{V3_REALTIME, V3_SAMPLE_32, kBlock, 500.0},
        v3_process_setup{V3_REALTIME, V3_SAMPLE_32, kBlock, 1e7}, v3_process_setup{V3_REALTIME, V3_SAMPLE_32, 0, kRate},
        v3_process_setup{V3_REALTIME, V3_SAMPLE_64, kBlock, kRate},
        v3_process_setup{V3_REALTIME, V3_SAMPLE_32, kBlock, std::nan("")}}) {
    v3_process_setup copy = bad;
    EXPECT_EQ(p->setup_processing(instance.processor, &copy), V3_FALSE);
  }
  EXPECT_EQ(instance.plugin().GetSampleRate(), kRate);
  v3_cpp_obj(instance.component)->set_active(instance.component, true);
}

TEST_F(IPluginVST3Test, ProcessAllocatesNothingAndALongerBlockGoesInPieces)
{
  constexpr int kPrepared = 256;
  constexpr int kLong = 5000;
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup(kRate, kPrepared));
  instance.choosePreset(4); // "MIDI Synced"
  std::unique_ptr<Quennet> direct = directPlugin(kPrepared);
  direct->changePreset(4);
  instance.run(nullptr, nullptr, kPrepared);
  renderThrough(*direct, StereoBuffer(kPrepared));

  const StereoBuffer input = testSignal(kLong);
  StereoBuffer output(kLong);
  EventList events;
  std::vector<TimedMidi> midi;
  for (int i = 0; i < 12; ++i) {
    const int frame = 100 + i * 397;
    events.noteOn(frame, 48 + 5 * i);
    midi.push_back({frame, 0x90, static_cast<std::uint8_t>(48 + 5 * i), 102});
  }
  ParamChanges changes;
  changes.add(vst3::ControllerParamId(1), 4000, 0.5);
  changes.add(kGrainOverlap, 0, 0.5);
  direct->SetParameterFromHostPlain(kGrainOverlap, 25.0);
  midi.push_back({4000, 0xB0, 1, 64});
  alloc_count::Counts counts;
  {
    alloc_count::CountingScope counting;
    instance.process(input.left.data(), input.right.data(), output.left.data(), output.right.data(), kLong, &events,
                     &changes, nullptr, Transport{120.0, kPrepared, true});
    counts = counting.counts();
  }
  if (alloc_count::available()) {
    EXPECT_EQ(counts.allocations, 0);
  }
  EXPECT_EQ(instance.plugin().GetBlockSize(), kPrepared) << "nothing grew";

  RenderOptions options;
  options.blockSize = kPrepared;
  options.startPosition = kPrepared;
  for (TimedMidi& m : midi)
    options.midi.push_back(m);
  std::sort(options.midi.begin(), options.midi.end(),
            [](const TimedMidi& a, const TimedMidi& b) { return a.frame < b.frame; });
  const StereoBuffer expected = renderThrough(*direct, input, options);
  EXPECT_EQ(output.left, expected.left);
  EXPECT_EQ(output.right, expected.right);
}

TEST_F(IPluginVST3Test, TheEditorEditsWhileTheAudioThreadProcessesAndTheHostPassesTheEditsOn)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  ASSERT_TRUE(instance.setup());
  Quennet& plugin = instance.plugin();
  // The host passes every edit on to the processor's next block, as VST3 hosts do.
  std::mutex mutex;
  std::vector<double> pending;
  instance.handler.onPerform = [&](v3_param_id id, double value) {
    if (id == kMix) {
      std::lock_guard lock(mutex);
      pending.push_back(value);
    }
  };
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};
  std::thread audio([&] {
    while (!stop.load()) {
      ParamChanges changes;
      {
        std::lock_guard lock(mutex);
        for (double v : pending)
          changes.add(kMix, 0, v);
        pending.clear();
      }
      instance.run(nullptr, &changes, 64);
      ++blocks;
    }
  });
  double last = 0.0;
  for (int gesture = 0; gesture < 20; ++gesture) {
    plugin.BeginInformHostOfParamChangeFromUI(kMix);
    for (int i = 1; i <= 100; ++i) {
      last = 0.1 + 0.8 * (gesture * 100 + i) / 2000.0 + 1e-9;
      plugin.SendParameterValueFromUI(kMix, last);
    }
    plugin.EndInformHostOfParamChangeFromUI(kMix);
    MemoryStream state; // hosts may save while the audio runs
    EXPECT_EQ(v3_cpp_obj(instance.component)->get_state(instance.component, state.get()), V3_OK);
  }
  // Every edit has reached the audio thread.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const int seen = blocks.load();
    bool empty = false;
    {
      std::lock_guard lock(mutex);
      empty = pending.empty();
    }
    if (empty) {
      while (blocks.load() < seen + 2)
        std::this_thread::yield();
      break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  stop = true;
  audio.join();
  EXPECT_EQ(instance.value(kMix), plugin.GetParam(kMix)->ConstrainValue(last)) << "the editor's own value";
  EXPECT_EQ(instance.handler.kindsOf(kMix).size(), 20u * 102u);
}
