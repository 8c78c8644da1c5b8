// SPDX-License-Identifier: ISC
// quennet.lv2 loaded by a host of ours on lilv, like any LV2 host: found through LV2_PATH (the
// build's bundle only, never ~/.lv2), instantiated from quennet.so, its state saved and restored
// with lilv, its presets loaded with lilv. The audio is checked against the plug-in driven
// directly through the processing call.
#include <gtest/gtest.h>

#include <lilv/lilv.h>
#include <lv2/presets/presets.h>
#include <lv2/time/time.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "Files.h"
#include "LV2TestHost.h"
#include "LilvBundle.h"
#include "TempDir.h"
#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"
#include "framework/LV2/IPluginLV2.h"

using namespace quennet;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  std::uint32_t seed = 777;
  for (size_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.1;
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] = static_cast<float>(0.25 * std::sin(2.0 * M_PI * 97.0 * t) + noise);
    signal.right[i] = static_cast<float>(0.25 * std::sin(2.0 * M_PI * 151.0 * t) + noise * 0.5);
  }
  return signal;
}

double rms(const std::vector<float>& samples, size_t from)
{
  double sum = 0.0;
  for (size_t i = from; i < samples.size(); ++i)
    sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(samples.size() - from));
}

// The host: one lilv world over an LV2_PATH that holds a link to the build's bundle and nothing else.
class LilvHostTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { sLilv = new LilvBundle(QUENNET_LV2_BUNDLE); }

  static void TearDownTestSuite()
  {
    delete sLilv;
    sLilv = nullptr;
  }

  void SetUp() override { ASSERT_NE(sLilv->plugin, nullptr) << "the bundle was not found through LV2_PATH"; }

  static std::uint32_t portIndex(const char* symbol)
  {
    LilvNode* node = lilv_new_string(sLilv->world, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(sLilv->plugin, node);
    lilv_node_free(node);
    EXPECT_NE(port, nullptr) << symbol;
    return port ? lilv_port_get_index(sLilv->plugin, port) : 0;
  }

  // The control ports' defaults as the bundle declares them, in port order.
  static std::vector<float> declaredDefaults()
  {
    const std::uint32_t n = lilv_plugin_get_num_ports(sLilv->plugin);
    std::vector<float> mins(n), maxs(n), defaults(n);
    lilv_plugin_get_port_ranges_float(sLilv->plugin, mins.data(), maxs.data(), defaults.data());
    LilvNode* controlClass = lilv_new_uri(sLilv->world, LV2_CORE__ControlPort);
    std::vector<float> controls;
    for (std::uint32_t p = 0; p < n; ++p)
      if (lilv_port_is_a(sLilv->plugin, lilv_plugin_get_port_by_index(sLilv->plugin, p), controlClass))
        controls.push_back(defaults[p]);
    lilv_node_free(controlClass);
    return controls;
  }

  // One instance of the bundle with the host's buffers connected; with a worker when given.
  class Instance : public LilvPluginInstance {
  public:
    explicit Instance(UridMap& urids, HostWorker* worker = nullptr)
        : LilvPluginInstance(sLilv->plugin, urids, kRate, kBlock, kBlock, declaredDefaults(), worker)
    {
    }

    float& control(const char* symbol) { return ports.controls[portIndex(symbol) - plug::lv2::kFirstControlPort]; }

    StereoBuffer render(const StereoBuffer& input, const std::vector<TimedMidi>& midi = {},
                        std::optional<HostPosition> position = std::nullopt, std::vector<SentMidi>* midiOut = nullptr)
    {
      return LilvPluginInstance::render(input, kBlock, midi, position, midiOut);
    }
    void runSilence() { render(StereoBuffer(kBlock)); }

    // lilv's port value callbacks: the host's control values by symbol.
    static const void* getPortValue(const char* symbol, void* self, std::uint32_t* size, std::uint32_t* type)
    {
      auto* instance = static_cast<Instance*>(self);
      const std::uint32_t index = portIndex(symbol);
      if (index < plug::lv2::kFirstControlPort)
        return nullptr;
      *size = sizeof(float);
      *type = instance->mUrids.id(LV2_ATOM__Float);
      return &instance->ports.controls[index - plug::lv2::kFirstControlPort];
    }
    static void setPortValue(const char* symbol, void* self, const void* value, std::uint32_t size, std::uint32_t type)
    {
      auto* instance = static_cast<Instance*>(self);
      const std::uint32_t index = portIndex(symbol);
      if (index < plug::lv2::kFirstControlPort || size != sizeof(float) || type != instance->mUrids.id(LV2_ATOM__Float))
        return;
      std::memcpy(&instance->ports.controls[index - plug::lv2::kFirstControlPort], value, sizeof(float));
    }
  };

  // The plug-in as a host drives it directly, prepared as the bridge prepares it.
  static std::unique_ptr<Quennet> directPlugin()
  {
    std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
    plugin->PrepareToPlay(kRate, kBlock);
    return plugin;
  }

  void writeConfig(const std::string& text) { writeFile(home.configFile(), text); }

  static LilvBundle* sLilv;

  TempHome home;
  UridMap urids;
};

LilvBundle* LilvHostTest::sLilv = nullptr;

} // namespace

TEST_F(LilvHostTest, TheBundleDeclaresWhatTheBridgeExpects)
{
  EXPECT_TRUE(lilv_plugin_verify(sLilv->plugin));
  EXPECT_EQ(lilv_plugin_get_num_ports(sLilv->plugin), plug::lv2::kFirstControlPort + 22u + 1u);
  EXPECT_EQ(portIndex("grain_length"), plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(kGrainLength));
  EXPECT_EQ(portIndex("midi_release"), plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(kMidiRelease));
  EXPECT_EQ(portIndex("time_in"), 28u) << "after the ports older versions had";
  EXPECT_EQ(plug::lv2::TimeInPort(22), 28u);

  // The time input takes time messages only (hosts then send the transport on every cycle); the
  // events input takes MIDI.
  LilvNode* supports = lilv_new_uri(sLilv->world, LV2_ATOM__supports);
  auto supported = [&](const char* symbol) {
    const LilvPort* port = lilv_plugin_get_port_by_index(sLilv->plugin, portIndex(symbol));
    LilvNodes* nodes = lilv_port_get_value(sLilv->plugin, port, supports);
    std::set<std::string> uris;
    LILV_FOREACH(nodes, i, nodes)
    uris.insert(lilv_node_as_uri(lilv_nodes_get(nodes, i)));
    lilv_nodes_free(nodes);
    return uris;
  };
  EXPECT_EQ(supported("time_in"), std::set<std::string>{LV2_TIME__Position});
  EXPECT_EQ(supported("events_in"), std::set<std::string>{LV2_MIDI__MidiEvent});
  lilv_node_free(supports);
  LilvNodes* required = lilv_plugin_get_required_features(sLilv->plugin);
  ASSERT_EQ(lilv_nodes_size(required), 1u);
  EXPECT_STREQ(lilv_node_as_uri(lilv_nodes_get(required, lilv_nodes_begin(required))), LV2_URID__map);
  lilv_nodes_free(required);

  // The declared defaults are the parameters' defaults.
  auto direct = directPlugin();
  const std::vector<float> defaults = declaredDefaults();
  ASSERT_EQ(defaults.size(), 22u);
  for (int i = 0; i < 22; ++i)
    EXPECT_EQ(plug::lv2::PlainFromPortValue(defaults[static_cast<size_t>(i)]), direct->GetParam(i)->GetDefault())
      << direct->GetParam(i)->GetName();
}

TEST_F(LilvHostTest, ControlPortsCarryTheParametersTextsAndKinds)
{
  auto port = [](const char* symbol) { return lilv_plugin_get_port_by_index(sLilv->plugin, portIndex(symbol)); };
  auto uri = [](const char* text) { return lilv_new_uri(sLilv->world, text); };

  // Enumerations: one scale point per display text, in value order, as the code's lists.
  struct EnumCase {
    const char* symbol;
    std::vector<std::string> texts;
  };
  // Dotted values start with the word: Ardour shows "1/4", "1/4." and "1/4 dotted" as one menu entry.
  const std::vector<std::string> noteValues = {
    "1/64", "1/32", "1/16T",      "dotted 1/32", "1/16",       "1/8T", "dotted 1/16", "1/8", "1/4T",       "dotted 1/8",
    "1/4",  "1/2T", "dotted 1/4", "1/2",         "dotted 1/2", "1/1",  "dotted 1/1",  "2/1", "dotted 2/1", "4/1"};
  const std::vector<EnumCase> enums = {
    {"grain_mode", {labelGrainMode.begin(), labelGrainMode.end()}},
    {"grain_sync", noteValues},
    {"frame_sync", noteValues},
  };
  LilvNode* enumeration = uri(LV2_CORE__enumeration);
  for (const EnumCase& c : enums) {
    SCOPED_TRACE(c.symbol);
    EXPECT_TRUE(lilv_port_has_property(sLilv->plugin, port(c.symbol), enumeration));
    LilvScalePoints* points = lilv_port_get_scale_points(sLilv->plugin, port(c.symbol));
    std::vector<std::string> texts(c.texts.size());
    LILV_FOREACH(scale_points, i, points)
    {
      const LilvScalePoint* point = lilv_scale_points_get(points, i);
      const int value = static_cast<int>(lilv_node_as_float(lilv_scale_point_get_value(point)));
      ASSERT_TRUE(value >= 0 && value < static_cast<int>(texts.size()));
      texts[static_cast<size_t>(value)] = lilv_node_as_string(lilv_scale_point_get_label(point));
    }
    lilv_scale_points_free(points);
    EXPECT_EQ(texts, c.texts);
  }
  lilv_node_free(enumeration);

  LilvNode* toggled = uri(LV2_CORE__toggled);
  LilvNode* integer = uri(LV2_CORE__integer);
  EXPECT_TRUE(lilv_port_has_property(sLilv->plugin, port("frame_sync_to_host"), toggled));
  EXPECT_TRUE(lilv_port_has_property(sLilv->plugin, port("midi_polyphony"), integer));
  EXPECT_FALSE(lilv_port_has_property(sLilv->plugin, port("mix"), integer));
  lilv_node_free(toggled);
  lilv_node_free(integer);

  LilvNode* unitProperty = uri("http://lv2plug.in/ns/extensions/units#unit");
  LilvNodes* units = lilv_port_get_value(sLilv->plugin, port("grain_frequency"), unitProperty);
  ASSERT_EQ(lilv_nodes_size(units), 1u);
  EXPECT_STREQ(lilv_node_as_uri(lilv_nodes_get_first(units)), "http://lv2plug.in/ns/extensions/units#hz");
  lilv_nodes_free(units);
  lilv_node_free(unitProperty);

  // Ranges as the parameters have them.
  auto direct = directPlugin();
  const std::uint32_t n = lilv_plugin_get_num_ports(sLilv->plugin);
  std::vector<float> mins(n), maxs(n), defaults(n);
  lilv_plugin_get_port_ranges_float(sLilv->plugin, mins.data(), maxs.data(), defaults.data());
  for (int i = 0; i < 22; ++i) {
    const std::uint32_t p = plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(i);
    EXPECT_EQ(plug::lv2::PlainFromPortValue(mins[p]), direct->GetParam(i)->GetMin()) << direct->GetParam(i)->GetName();
    EXPECT_EQ(plug::lv2::PlainFromPortValue(maxs[p]), direct->GetParam(i)->GetMax()) << direct->GetParam(i)->GetName();
  }
}

TEST_F(LilvHostTest, MidiModeAudioAndNotesMatchTheProcessingCall)
{
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  instance.control("grain_mode") = 3.0f; // "MIDI"
  instance.control("midi_release") = 0.2f;
  instance.control("grain_fade_in") = 0.2f;
  instance.control("grain_fade_out") = 0.2f;

  const StereoBuffer input = testSignal(24 * kBlock + 100); // the last block is short
  const std::vector<TimedMidi> notes = {
    {300, 0x90, 48, 100}, {1500, 0x90, 55, 90}, {1500, 0xB0, 1, 64},  {4000, 0x80, 48, 0},
    {6100, 0x91, 67, 80}, {9000, 0x80, 55, 0},  {11000, 0x81, 67, 0},
  };
  std::vector<SentMidi> sent;
  const StereoBuffer viaHost = instance.render(input, notes, std::nullopt, &sent);

  auto direct = directPlugin();
  direct->SetParameterFromHostPlain(kGrainMode, 3.0);
  direct->SetParameterFromHostPlain(kMidiRelease, 0.2);
  direct->SetParameterFromHostPlain(kGrainFadeIn, 0.2);
  direct->SetParameterFromHostPlain(kGrainFadeOut, 0.2);
  RenderOptions options;
  options.blockSize = kBlock;
  options.tempo = std::nullopt; // this host sends no time:Position
  options.midi = notes;
  const StereoBuffer viaCall = renderThrough(*direct, input, options);

  EXPECT_EQ(viaHost.left, viaCall.left);
  EXPECT_EQ(viaHost.right, viaCall.right);
  EXPECT_GT(rms(viaHost.left, 300), 0.02) << "the notes sound";

  ASSERT_EQ(sent.size(), notes.size()) << "every message passed on";
  for (size_t i = 0; i < notes.size(); ++i) {
    EXPECT_EQ(sent[i].frame, notes[i].frame);
    EXPECT_EQ(sent[i].bytes, (std::vector<std::uint8_t>{notes[i].status, notes[i].data1, notes[i].data2}));
  }
}

TEST_F(LilvHostTest, ANoteAtFrame480OfA512FrameBlockStartsAtFrame480)
{
  auto renderWith = [&](const std::vector<TimedMidi>& notes) {
    Instance instance(urids);
    instance.control("grain_mode") = 3.0f; // "MIDI"
    return instance.render(testSignal(3 * 512), notes);
  };
  const long noteFrame = 512 + 480;
  const StereoBuffer without = renderWith({});
  const StereoBuffer with = renderWith({{noteFrame, 0x90, 60, 100}});
  for (long i = 0; i < noteFrame; ++i)
    ASSERT_EQ(with.left[static_cast<size_t>(i)], without.left[static_cast<size_t>(i)]) << "frame " << i;
  // Interpolated reads need a few samples of history before the grain is heard.
  EXPECT_NE(with.left[static_cast<size_t>(noteFrame) + 8], without.left[static_cast<size_t>(noteFrame) + 8]);
}

TEST_F(LilvHostTest, SyncModeFollowsTheTimePosition)
{
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  instance.control("grain_mode") = 1.0f; // "SYNC"
  instance.control("grain_sync") = 4.0f; // 1/16
  instance.control("frame_sync_to_host") = 1.0f;
  instance.control("frame_sync") = 7.0f; // 1/8

  const StereoBuffer input = testSignal(20 * kBlock);
  const StereoBuffer viaHost = instance.render(input, {}, HostPosition{150.0f, 48000, 1.0f});
  // The same position on the time input, in an instance of its own.
  Instance onTimeIn(urids);
  ASSERT_TRUE(onTimeIn.valid());
  onTimeIn.control("grain_mode") = 1.0f;
  onTimeIn.control("grain_sync") = 4.0f;
  onTimeIn.control("frame_sync_to_host") = 1.0f;
  onTimeIn.control("frame_sync") = 7.0f;
  const StereoBuffer viaTimeIn = onTimeIn.render(input, {}, HostPosition{150.0f, 48000, 1.0f, true});

  auto direct = directPlugin();
  direct->SetParameterFromHostPlain(kGrainMode, 1.0);
  direct->SetParameterFromHostPlain(kGrainSync, 4.0);
  direct->SetParameterFromHostPlain(kFrameSyncToHost, 1.0);
  direct->SetParameterFromHostPlain(kFrameSync, 7.0);
  RenderOptions options;
  options.blockSize = kBlock;
  options.tempo = 150.0;
  options.startPosition = 48000.0;
  const StereoBuffer viaCall = renderThrough(*direct, input, options);
  EXPECT_EQ(viaHost.left, viaCall.left);
  EXPECT_EQ(viaHost.right, viaCall.right);
  EXPECT_EQ(viaTimeIn.left, viaCall.left);
  EXPECT_EQ(viaTimeIn.right, viaCall.right);

  // The tempo and the position matter: the processing call's defaults give other audio.
  options.tempo = std::nullopt;
  auto withoutTransport = directPlugin();
  withoutTransport->SetParameterFromHostPlain(kGrainMode, 1.0);
  withoutTransport->SetParameterFromHostPlain(kGrainSync, 4.0);
  withoutTransport->SetParameterFromHostPlain(kFrameSyncToHost, 1.0);
  withoutTransport->SetParameterFromHostPlain(kFrameSync, 7.0);
  EXPECT_NE(renderThrough(*withoutTransport, input, options).left, viaHost.left);
}

// Saved by lilv to a state file (with the host's port values, which are stale for the learned
// controller), loaded from that file and restored into a fresh instance: all 29 values exactly.
TEST_F(LilvHostTest, StateSavedWithLilvComesBackExactlyInAFreshInstance)
{
  writeConfig("[MIDI Control]\nCC7=1\n"); // controller 7 moves Mix
  TempDir stateDir;
  std::vector<double> expected(kFactoryPresets[6].values.begin(), kFactoryPresets[6].values.end());
  expected[kGrainFrequency] = 1234.5678901; // no float port can hold it
  for (int i = 22; i < kNumParams; ++i)
    expected[static_cast<size_t>(i)] = 0.125 * (i - 21); // reserved slots live in the state only

  {
    Instance first(urids);
    ASSERT_TRUE(first.valid());
    first.runSilence();
    ASSERT_EQ(restoreChunk(first.descriptor(), first.handle(), urids, chunkBytes(expected)), LV2_STATE_SUCCESS);
    first.runSilence();
    first.control("grain_length") = 50.0f; // the host moves a port
    expected[kGrainLength] = 50.0;
    std::vector<TimedMidi> controller = {{10, 0xB0, 7, 0}}; // the learned controller moves Mix to 0
    first.render(StereoBuffer(kBlock), controller);
    expected[kMix] = 0.0;
    ASSERT_EQ(first.chunk(), expected);

    LilvState* state = lilv_state_new_from_instance(sLilv->plugin, first.lilv(), urids.map(), nullptr, nullptr, nullptr,
                                                    stateDir.path().c_str(), Instance::getPortValue, &first,
                                                    LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(
      lilv_state_save(sLilv->world, urids.map(), urids.unmap(), state, nullptr, stateDir.path().c_str(), "state.ttl"),
      0);
    lilv_state_free(state);
  }

  const std::string file = stateDir.file("state.ttl");
  ASSERT_TRUE(std::filesystem::exists(file));
  LilvState* loaded = lilv_state_new_from_file(sLilv->world, urids.map(), nullptr, file.c_str());
  ASSERT_NE(loaded, nullptr);
  Instance second(urids);
  ASSERT_TRUE(second.valid());
  second.runSilence();
  lilv_state_restore(loaded, second.lilv(), Instance::setPortValue, &second, 0, nullptr);
  lilv_state_free(loaded);
  EXPECT_EQ(second.control("mix"), 1.0f) << "the saved port value is the stale one";
  second.runSilence();
  second.runSilence();
  EXPECT_EQ(second.chunk(), expected) << "the restored values win over the ports";
}

TEST_F(LilvHostTest, EachPresetLoadsTheFactoryValues)
{
  LilvNode* presetClass = lilv_new_uri(sLilv->world, LV2_PRESETS__Preset);
  LilvNodes* presets = lilv_plugin_get_related(sLilv->plugin, presetClass);
  lilv_node_free(presetClass);
  ASSERT_EQ(lilv_nodes_size(presets), static_cast<unsigned>(kNumPresets));

  // One instance switching from preset to preset, as a host's preset menu does.
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  instance.runSilence();
  std::set<std::string> seen;
  LILV_FOREACH(nodes, i, presets)
  {
    const LilvNode* preset = lilv_nodes_get(presets, i);
    lilv_world_load_resource(sLilv->world, preset);
    LilvState* state = lilv_state_new_from_world(sLilv->world, urids.map(), preset);
    ASSERT_NE(state, nullptr);
    const std::string label = lilv_state_get_label(state) ? lilv_state_get_label(state) : "";
    SCOPED_TRACE(label);
    lilv_state_restore(state, instance.lilv(), Instance::setPortValue, &instance, 0, nullptr);
    lilv_state_free(state);
    instance.runSilence();

    const FactoryPreset* factory = nullptr;
    for (const FactoryPreset& p : kFactoryPresets)
      if (label == p.name)
        factory = &p;
    ASSERT_NE(factory, nullptr) << "a preset the table does not have";
    seen.insert(label);
    const std::vector<double> values = instance.chunk();
    ASSERT_EQ(values.size(), 29u);
    for (int p = 0; p < kNumParams; ++p)
      EXPECT_EQ(values[static_cast<size_t>(p)], factory->values[static_cast<size_t>(p)]) << "parameter " << p;
  }
  lilv_nodes_free(presets);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kNumPresets));
}

// The host offers a worker: a learn that a controller completes inside run() changes the map at
// once but leaves the file alone; the write happens when the host runs the worker.
TEST_F(LilvHostTest, ALearnedControllerIsWrittenByTheHostsWorkerNotInRun)
{
  writeConfig("[MIDI Control]\nCC3=1\n");
  HostWorker worker;
  Instance instance(urids, &worker);
  ASSERT_TRUE(instance.valid());
  instance.runSilence();
  const std::string before = readFile(home.configFile());

  // The learn switch is the editor's, which reaches the plug-in through instance-access: the
  // instance handle is the bridge.
  auto& bridge = *static_cast<plug::lv2::IPluginLV2*>(instance.handle());
  auto& plugin = static_cast<Quennet&>(*bridge.GetPlug());
  plugin.doMidiLearn(true);
  instance.control("grain_skew") = 0.5f; // the parameter to learn, from the host's port
  instance.runSilence();
  instance.render(StereoBuffer(kBlock), {{30, 0xB0, 20, 64}}); // the controller completes the learn
  EXPECT_EQ(plugin.learn().controllerParam(20), kGrainSkew);
  EXPECT_EQ(readFile(home.configFile()), before) << "no file write inside run()";
  ASSERT_EQ(worker.pending(), 1u);

  EXPECT_EQ(worker.runWork(instance.descriptor(), instance.handle()), 1);
  const std::string written = readFile(home.configFile());
  EXPECT_NE(written.find("CC20=8"), std::string::npos) << written;
  EXPECT_NE(written.find("CC3=1"), std::string::npos) << written;
}
