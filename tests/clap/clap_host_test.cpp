// SPDX-License-Identifier: ISC
// The built quennet.clap in a CLAP host of ours (dlopen, clap_entry, the factory): what the host is
// promised and stores (ids, names, state layout), every factory preset rendered bit-identical to
// quennet-render, events at their frames, state and parameter text round trips, and the parameter
// list as the LV2 bundle declares it.
#include <gtest/gtest.h>

#include <lilv/lilv.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ClapTestHost.h"
#include "ChildProcess.h"
#include "SmfBytes.h"
#include "StereoWav.h"
#include "TempDir.h"
#include "TempHome.h"
#include "core/quennet.h"

using namespace quennet;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 220.0 * t) * std::exp(-3.0 * std::fmod(t, 0.25)));
    signal.right[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 331.0 * t + 0.5));
  }
  return signal;
}

std::string modulePath()
{
  return std::string(QUENNET_CLAP_FOLDER) + "/" + plug::clap::kBinaryName;
}

class ClapHostTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { sModule = new ClapModule(modulePath()); }
  static void TearDownTestSuite()
  {
    delete sModule;
    sModule = nullptr;
  }
  void SetUp() override { ASSERT_NE(sModule->factory(), nullptr) << modulePath() << ": " << sModule->error(); }

  // An initialised, active instance.
  std::unique_ptr<ClapTestHost> instance(std::uint32_t maxFrames = kBlock)
  {
    auto host = std::make_unique<ClapTestHost>(*sModule);
    EXPECT_TRUE(host->init());
    EXPECT_TRUE(host->activate(kRate, maxFrames));
    return host;
  }

  static ClapModule* sModule;
  TempHome home;
};

ClapModule* ClapHostTest::sModule = nullptr;

} // namespace

TEST_F(ClapHostTest, TheFactoryDescribesQuennet)
{
  const clap_plugin_entry_t* entry = sModule->entry();
  EXPECT_TRUE(clap_version_is_compatible(entry->clap_version));
  const clap_plugin_factory_t* factory = sModule->factory();
  ASSERT_EQ(factory->get_plugin_count(factory), 1u);
  const clap_plugin_descriptor_t* d = factory->get_plugin_descriptor(factory, 0);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->id, "example.tarnwellmusic.quennet");
  EXPECT_STREQ(d->name, "Quennet");
  EXPECT_STREQ(d->vendor, "Tarnwell Music");
  EXPECT_STREQ(d->version, "1.1.2");
  std::set<std::string> features;
  for (const char* const* f = d->features; f && *f; ++f)
    features.insert(*f);
  EXPECT_TRUE(features.count("audio-effect"));
  EXPECT_TRUE(features.count("stereo"));
  EXPECT_EQ(factory->get_plugin_descriptor(factory, 1), nullptr);

  ClapTestHost host(*sModule);
  ASSERT_TRUE(host.init());
  for (const char* ext : {CLAP_EXT_PARAMS, CLAP_EXT_STATE, CLAP_EXT_AUDIO_PORTS, CLAP_EXT_NOTE_PORTS, CLAP_EXT_LATENCY,
                          CLAP_EXT_GUI, CLAP_EXT_TIMER_SUPPORT, CLAP_EXT_POSIX_FD_SUPPORT}) {
    SCOPED_TRACE(ext);
    EXPECT_NE(host.plugin->get_extension(host.plugin, ext), nullptr);
  }
  EXPECT_EQ(host.plugin->get_extension(host.plugin, "clap.no-such-extension"), nullptr);

  const auto* audio = host.ext<clap_plugin_audio_ports_t>(CLAP_EXT_AUDIO_PORTS);
  for (const bool input : {true, false}) {
    ASSERT_EQ(audio->count(host.plugin, input), 1u);
    clap_audio_port_info_t info{};
    ASSERT_TRUE(audio->get(host.plugin, 0, input, &info));
    EXPECT_EQ(info.channel_count, 2u);
    EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
    EXPECT_TRUE(info.flags & CLAP_AUDIO_PORT_IS_MAIN);
  }
  const auto* notes = host.ext<clap_plugin_note_ports_t>(CLAP_EXT_NOTE_PORTS);
  ASSERT_EQ(notes->count(host.plugin, true), 1u);
  EXPECT_EQ(notes->count(host.plugin, false), 0u);
  clap_note_port_info_t note{};
  ASSERT_TRUE(notes->get(host.plugin, 0, true, &note));
  EXPECT_EQ(note.preferred_dialect, static_cast<std::uint32_t>(CLAP_NOTE_DIALECT_MIDI));
  EXPECT_TRUE(note.supported_dialects & CLAP_NOTE_DIALECT_MIDI);
  EXPECT_EQ(host.ext<clap_plugin_latency_t>(CLAP_EXT_LATENCY)->get(host.plugin), 0u);
  // The plug-in's 20 ms timer runs on the host's.
  ASSERT_EQ(host.timers.size(), 1u);
  EXPECT_EQ(host.timers.begin()->second, 20u);
}

// What sessions store: parameter ids and names, and the state's bytes. Written out here by hand, not
// taken from the code, so that a change to either fails.
TEST_F(ClapHostTest, TheContractHoldsFixed)
{
  const std::vector<std::pair<clap_id, const char*>> expected = {
    {1, "Volume"},
    {2, "Mix"},
    {3, "Grain Mode"},
    {4, "Grain Length"},
    {5, "Grain Sync"},
    {6, "Grain Frequency"},
    {7, "Grain Overlap"},
    {8, "Grain Fade-In"},
    {9, "Grain Skew"},
    {10, "Grain Fade-Out"},
    {11, "Frame Length"},
    {12, "Frame Sync"},
    {13, "Frame Sync to Host"},
    {14, "Frame Overlap"},
    {15, "Frame Fade-In"},
    {16, "Frame Skew"},
    {17, "Frame Fade-Out"},
    {18, "MIDI Polyphony"},
    {19, "MIDI Attack"},
    {20, "MIDI Decay"},
    {21, "MIDI Sustain"},
    {22, "MIDI Release"},
  };
  auto host = instance();
  const clap_plugin_params_t* params = host->params();
  ASSERT_EQ(params->count(host->plugin), expected.size());
  for (std::uint32_t i = 0; i < expected.size(); ++i) {
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(host->plugin, i, &info));
    EXPECT_EQ(info.id, expected[i].first);
    EXPECT_STREQ(info.name, expected[i].second);
  }
  clap_param_info_t none{};
  EXPECT_FALSE(params->get_info(host->plugin, static_cast<std::uint32_t>(expected.size()), &none));

  // Set Grain Frequency (id 6) to 220 and Frame Sync to Host (id 13) on; the state is 29 doubles,
  // plain values in parameter order, reserved slots included.
  InputEvents events;
  events.paramValue(0, 6, 220.0);
  events.paramValue(0, 13, 1.0);
  OutputEvents out;
  params->flush(host->plugin, events.list(), out.list());
  const auto state = host->saveState();
  ASSERT_TRUE(state);
  ASSERT_EQ(state->size(), 232u);
  auto at = [&](int slot) {
    double v = 0.0;
    std::memcpy(&v, state->data() + 8 * slot, 8);
    return v;
  };
  EXPECT_EQ(at(0), 1.0); // Volume
  EXPECT_EQ(at(4), 10.0); // Grain Sync 1/4
  EXPECT_EQ(at(5), 220.0); // Grain Frequency
  EXPECT_EQ(at(10), 160.0); // Frame Length
  EXPECT_EQ(at(12), 1.0); // Frame Sync to Host
  EXPECT_EQ(at(21), 0.05); // MIDI Release
}

// Every factory preset through the CLAP host and through quennet-render, with the same input, blocks
// of 512, a 120 BPM transport from position 0 and the same notes: the same bits. The host selects a
// preset by loading its state (a host's own preset files hold the state).
TEST_F(ClapHostTest, EveryFactoryPresetRendersBitIdenticalToTheRenderer)
{
  TempDir files("quennet-clap-presets");
  const StereoBuffer input = testSignal(static_cast<size_t>(kRate * 0.75) + 100);
  ASSERT_TRUE(writeStereoWav(files.file("in.wav"), input, static_cast<int>(kRate)));
  // Notes on a 120 BPM file of 480 pulses per quarter: a pulse is 50 frames at 48 kHz.
  const std::vector<TimedMidi> notes = {
    {100 * 50, 0x90, 57, 100}, {130 * 50, 0x90, 64, 80}, {300 * 50, 0x80, 57, 0}, {500 * 50, 0x80, 64, 0}};
  std::vector<SmfTimedEvent> smf = {{0, 0, smfTempo(500000)}};
  for (const TimedMidi& n : notes)
    smf.push_back({0, static_cast<std::uint32_t>(n.frame / 50),
                   std::string{static_cast<char>(n.status), static_cast<char>(n.data1), static_cast<char>(n.data2)}});
  {
    std::ofstream(files.file("notes.mid"), std::ios::binary) << smfFile(0, 480, 1, smf);
  }

  std::unique_ptr<Quennet> presets(static_cast<Quennet*>(plug::MakePlug({})));
  for (int p = 0; p < presets->NPresets(); ++p) {
    SCOPED_TRACE(presets->GetPresetName(p));
    const std::string out = files.file("out" + std::to_string(p) + ".wav");
    const CommandResult rendered =
      runCommand({QUENNET_RENDER, "--quiet", "--preset", std::to_string(p), "--block", std::to_string(kBlock),
                  "--tempo", "120", "--format", "float", "--midi", files.file("notes.mid"), files.file("in.wav"), out},
                 {"HOME=" + home.path()}, files.file("render.log"), 120.0);
    ASSERT_EQ(rendered.status, 0) << rendered.output;
    const std::optional<StereoBuffer> expected = readStereoWav(out, static_cast<int>(kRate), true);
    ASSERT_TRUE(expected);

    auto host = instance();
    const plug::IByteChunk& chunk = presets->GetPreset(p)->mChunk;
    ASSERT_TRUE(host->loadState(std::vector<std::uint8_t>(chunk.GetData(), chunk.GetData() + chunk.Size())));
    RenderOptions options;
    options.blockSize = kBlock;
    options.tempo = 120.0;
    options.midi = notes;
    const StereoBuffer output = host->render(input, options);
    EXPECT_EQ(output.left, expected->left);
    EXPECT_EQ(output.right, expected->right);
  }
}

// A note at frame 480 of a 512-frame block sounds from frame 480: exactly as when the host's block
// starts there (blocks of 480 and 32 with the note at the second block's first frame).
TEST_F(ClapHostTest, ANoteSoundsAtItsFrame)
{
  const StereoBuffer input = testSignal(8 * kBlock);
  auto render = [&](bool splitAtNote) {
    auto host = instance();
    InputEvents setup;
    setup.paramValue(0, plug::clap::ParamID(kGrainMode), 3.0); // "MIDI"
    OutputEvents ignored;
    host->params()->flush(host->plugin, setup.list(), ignored.list());
    StereoBuffer output(input.frames());
    long start = 0;
    auto block = [&](long frames, const std::vector<std::pair<std::uint32_t, std::uint8_t>>& noteAt) {
      InputEvents events;
      for (const auto& [frame, key] : noteAt)
        events.midi(frame, 0x90, key, 100);
      const clap_event_transport_t transport = host->transportAt(static_cast<double>(start), 120.0);
      const float* in[2] = {input.left.data() + start, input.right.data() + start};
      float* out[2] = {output.left.data() + start, output.right.data() + start};
      OutputEvents outEvents;
      host->process(in, out, static_cast<std::uint32_t>(frames), events, outEvents, &transport);
      start += frames;
    };
    block(kBlock, {});
    if (splitAtNote) {
      block(480, {});
      block(32, {{0, 60}});
    } else {
      block(kBlock, {{480, 60}});
    }
    while (start < static_cast<long>(input.frames()))
      block(kBlock, {});
    return output;
  };
  const StereoBuffer atFrame = render(false);
  const StereoBuffer reference = render(true);
  EXPECT_EQ(atFrame.left, reference.left);
  EXPECT_EQ(atFrame.right, reference.right);
}

// Values set by the host come back from a saved state in a new instance, also when the host reads
// the stream in small pieces; the bytes are the same.
TEST_F(ClapHostTest, StateRoundTrips)
{
  auto first = instance();
  InputEvents events;
  const std::vector<std::pair<clap_id, double>> values = {{1, 0.5},   {2, 0.3},   {3, 2.0},  {4, 123.4}, {5, 4.0},
                                                          {6, 440.0}, {9, -0.25}, {13, 1.0}, {18, 7.0},  {22, 0.5}};
  for (const auto& [id, value] : values)
    events.paramValue(0, id, value);
  OutputEvents out;
  first->params()->flush(first->plugin, events.list(), out.list());
  const auto saved = first->saveState();
  ASSERT_TRUE(saved);

  for (const size_t piece : {size_t{1} << 20, size_t{7}, size_t{1}}) {
    SCOPED_TRACE(piece);
    auto second = instance();
    EXPECT_EQ(second->paramValue(6), 110.0);
    EXPECT_TRUE(second->loadState(*saved, piece));
    for (const auto& [id, value] : values)
      EXPECT_EQ(second->paramValue(id), value) << "id " << id;
    EXPECT_EQ(second->saveState(), saved);
    EXPECT_GE(second->rescans.load(), 1) << "the host is told to read the values again";
  }
}

// value_to_text and text_to_value: the texts worked out by hand, and every parameter's text read
// back to a value that shows the same text.
TEST_F(ClapHostTest, ParameterTextRoundTrips)
{
  auto host = instance();
  const clap_plugin_params_t* params = host->params();
  auto text = [&](clap_id id, double value) {
    char buffer[CLAP_NAME_SIZE] = {};
    EXPECT_TRUE(params->value_to_text(host->plugin, id, value, buffer, sizeof(buffer)));
    return std::string(buffer);
  };
  auto value = [&](clap_id id, const char* shown) -> std::optional<double> {
    double v = NAN;
    if (!params->text_to_value(host->plugin, id, shown, &v))
      return std::nullopt;
    return v;
  };

  struct Case {
    clap_id id;
    double value;
    const char* shown;
  };
  const std::vector<Case> cases = {
    {1, 1.0, "0.0"},   {1, 0.5, "-6.0"},    {1, 0.0, "-oo"},         {2, 1.0, "Wet"},   {2, 0.0, "Dry"},
    {2, 0.7, "30:70"}, {3, 2.0, "FREQ"},    {5, 12.0, "dotted 1/4"}, {5, 2.0, "1/16T"}, {6, 110.0, "110.0 Hz"},
    {7, 33.0, "33"},   {9, -0.25, "-0.25"}, {13, 1.0, "on"},         {18, 4.0, "4"},    {11, 160.0, "160.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(text(c.id, c.value), c.shown);
    const std::optional<double> read = value(c.id, c.shown);
    ASSERT_TRUE(read);
    EXPECT_EQ(text(c.id, *read), c.shown);
  }
  // Exact where the text is the value itself; dB and dry:wet in their own terms.
  EXPECT_EQ(value(6, "440"), 440.0);
  EXPECT_EQ(value(5, "1/4."), 12.0); // the editor's text for the same value
  EXPECT_NEAR(*value(1, "-6"), 0.5012, 0.003);
  // "6.0" shows from 10^(5.95/20) = 1.9838 up to the end of the range, 2.
  EXPECT_GE(*value(1, "+6.0 dB"), 1.98383);
  EXPECT_EQ(text(1, *value(1, "+6.0 dB")), "6.0");
  EXPECT_NEAR(*value(2, "25:75"), 0.75, 0.005);
  EXPECT_EQ(value(6, "99999"), 5000.0) << "clamped to the range";
  // Text that names no value.
  EXPECT_FALSE(value(6, "loud"));
  EXPECT_FALSE(value(3, "GRAINS"));
  EXPECT_FALSE(value(13, "1"));
  EXPECT_FALSE(value(99, "1"));
  char tiny[4];
  EXPECT_TRUE(params->value_to_text(host->plugin, 6, 110.0, tiny, sizeof(tiny)));
  EXPECT_STREQ(tiny, "110") << "cut to the host's buffer";
  EXPECT_FALSE(params->value_to_text(host->plugin, 6, NAN, tiny, sizeof(tiny)));

  // Every parameter at its ends, its default and every display text.
  for (std::uint32_t i = 0; i < params->count(host->plugin); ++i) {
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(host->plugin, i, &info));
    SCOPED_TRACE(info.name);
    for (const double v :
         {info.min_value, info.max_value, info.default_value, 0.5 * (info.min_value + info.max_value)}) {
      const std::string shown = text(info.id, v);
      const std::optional<double> read = value(info.id, shown.c_str());
      ASSERT_TRUE(read) << shown;
      EXPECT_EQ(text(info.id, *read), shown);
    }
  }
}

// The parameters as the LV2 bundle's Turtle declares them (read with lilv): the same names, ranges
// and defaults, and the LV2 menus' entries are the CLAP texts (dotted values labelled "dotted" there).
TEST_F(ClapHostTest, TheParameterListMatchesTheLV2One)
{
  auto host = instance();
  const clap_plugin_params_t* params = host->params();

  LilvWorld* world = lilv_world_new();
  const std::string bundle = std::string("file://") + QUENNET_LV2_BUNDLE + "/";
  LilvNode* bundleUri = lilv_new_uri(world, bundle.c_str());
  lilv_world_load_bundle(world, bundleUri);
  LilvNode* uri = lilv_new_uri(world, "http://tarnwellmusic.example/plugins/quennet");
  const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
  ASSERT_NE(plugin, nullptr);
  LilvNode* controlClass = lilv_new_uri(world, LILV_URI_CONTROL_PORT);
  LilvNode* inputClass = lilv_new_uri(world, LILV_URI_INPUT_PORT);

  std::uint32_t clapIndex = 0;
  for (std::uint32_t p = 0; p < lilv_plugin_get_num_ports(plugin); ++p) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
    if (!lilv_port_is_a(plugin, port, controlClass) || !lilv_port_is_a(plugin, port, inputClass))
      continue;
    clap_param_info_t info{};
    ASSERT_TRUE(params->get_info(host->plugin, clapIndex++, &info));
    LilvNode* name = lilv_port_get_name(plugin, port);
    SCOPED_TRACE(lilv_node_as_string(name));
    EXPECT_STREQ(info.name, lilv_node_as_string(name));
    lilv_node_free(name);
    LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
    lilv_port_get_range(plugin, port, &def, &min, &max);
    EXPECT_FLOAT_EQ(static_cast<float>(info.default_value), lilv_node_as_float(def));
    EXPECT_FLOAT_EQ(static_cast<float>(info.min_value), lilv_node_as_float(min));
    EXPECT_FLOAT_EQ(static_cast<float>(info.max_value), lilv_node_as_float(max));
    lilv_node_free(def);
    lilv_node_free(min);
    lilv_node_free(max);
    LilvScalePoints* points = lilv_port_get_scale_points(plugin, port);
    LILV_FOREACH(scale_points, i, points)
    {
      const LilvScalePoint* point = lilv_scale_points_get(points, i);
      const double v = lilv_node_as_float(lilv_scale_point_get_value(point));
      std::string label = lilv_node_as_string(lilv_scale_point_get_label(point));
      char shown[CLAP_NAME_SIZE] = {};
      ASSERT_TRUE(params->value_to_text(host->plugin, info.id, v, shown, sizeof(shown)));
      EXPECT_EQ(label, shown);
    }
    lilv_scale_points_free(points);
  }
  EXPECT_EQ(clapIndex, params->count(host->plugin)) << "one CLAP parameter per LV2 control";
  lilv_node_free(inputClass);
  lilv_node_free(controlClass);
  lilv_node_free(uri);
  lilv_node_free(bundleUri);
  lilv_world_free(world);
}
