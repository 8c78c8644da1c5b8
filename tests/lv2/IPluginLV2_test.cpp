// SPDX-License-Identifier: ISC
// The LV2 bridge driven as a host drives it, through its descriptor, linked in directly so that
// the test can reach the plug-in inside (learned controllers, preset switches from the editor).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <thread>

#include "AllocationCounter.h"
#include "Files.h"
#include "LV2TestHost.h"
#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"
#include "framework/LV2/IPluginLV2.h"

using namespace quennet;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 512;

// Deterministic test input: two detuned tones and a little noise, well inside full scale.
StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  std::uint32_t seed = 12345;
  for (size_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.05;
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 220.0 * t) + noise);
    signal.right[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 331.0 * t) - noise);
  }
  return signal;
}

// One bridge instance with its host-side ports, as a host that offers urid:map, the options and,
// when given, a worker. The host's buffers hold `bufferFrames` frames (at least kBlock).
class Instance {
public:
  explicit Instance(bool withOptions = true, int maxBlock = kBlock, HostWorker* worker = nullptr,
                    int bufferFrames = kBlock)
      : mOptions(mUrids, static_cast<float>(kRate), maxBlock),
        ports(mUrids, std::max({maxBlock, kBlock, bufferFrames}), controlPortDefaults())
  {
    std::vector<const LV2_Feature*> features = {mUrids.mapFeature()};
    if (withOptions)
      features.push_back(&mOptions.feature);
    if (worker)
      features.push_back(worker->feature());
    features.push_back(nullptr);
    mHandle = mDescriptor->instantiate(mDescriptor, kRate, "", features.data());
    if (mHandle) {
      ports.connect(*mDescriptor, mHandle);
      mDescriptor->activate(mHandle);
    }
  }
  ~Instance()
  {
    if (mHandle)
      mDescriptor->cleanup(mHandle);
  }

  bool valid() const { return mHandle != nullptr; }
  plug::lv2::IPluginLV2& bridge() { return *static_cast<plug::lv2::IPluginLV2*>(mHandle); }
  Quennet& plugin() { return *static_cast<Quennet*>(bridge().GetPlug()); }
  double value(int paramIdx) { return plugin().GetParam(paramIdx)->GetValue(); }
  float& control(int paramIdx) { return ports.controls[static_cast<size_t>(paramIdx)]; }

  // One block of silence with the events already added to ports.eventsIn; returns the events out.
  std::vector<OutEvent> run(int frames = kBlock)
  {
    ports.eventsOut.prepareOutput();
    std::fill(ports.audio[0].begin(), ports.audio[0].end(), 0.0f);
    std::fill(ports.audio[1].begin(), ports.audio[1].end(), 0.0f);
    mDescriptor->run(mHandle, static_cast<std::uint32_t>(frames));
    ports.eventsIn.clearInput();
    return ports.eventsOut.events();
  }

  StereoBuffer render(const StereoBuffer& input, const std::vector<TimedMidi>& midi = {},
                      std::optional<HostPosition> position = std::nullopt, std::vector<SentMidi>* midiOut = nullptr)
  {
    return renderLV2(*mDescriptor, mHandle, ports, mUrids, input, kBlock, midi, position, midiOut);
  }

  std::vector<double> chunk() { return savedChunk(*mDescriptor, mHandle, mUrids); }
  LV2_State_Status restore(const std::vector<std::uint8_t>& bytes)
  {
    return restoreChunk(*mDescriptor, mHandle, mUrids, bytes);
  }

  UridMap& urids() { return mUrids; }
  const LV2_Descriptor& descriptor() const { return *mDescriptor; }
  LV2_Handle handle() const { return mHandle; }

private:
  const LV2_Descriptor* mDescriptor = plug::lv2::Descriptor();
  UridMap mUrids;
  HostOptions mOptions;
  LV2_Handle mHandle = nullptr;

public:
  HostPorts ports;
};

// The plug-in as a host drives it directly: prepared like the bridge prepares it.
std::unique_ptr<Quennet> directPlugin()
{
  std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
  plugin->PrepareToPlay(kRate, kBlock);
  return plugin;
}

bool containsStateChanged(const std::vector<OutEvent>& events, UridMap& urids)
{
  const LV2_URID object = urids.id(LV2_ATOM__Object);
  const LV2_URID stateChanged = urids.id(LV2_STATE__StateChanged);
  for (const OutEvent& e : events) {
    LV2_URID otype = 0;
    if (e.type == object && e.body.size() >= 8)
      std::memcpy(&otype, e.body.data() + 4, sizeof(otype)); // LV2_Atom_Object_Body: id, otype
    if (otype == stateChanged)
      return true;
  }
  return false;
}

class IPluginLV2Test : public ::testing::Test {
protected:
  void writeConfig(const std::string& text) { writeFile(home.configFile(), text); }

  TempHome home;
};

} // namespace

TEST_F(IPluginLV2Test, InstantiationNeedsTheUridMapAndPreallocatesForTheAnnouncedBlock)
{
  const LV2_Descriptor* descriptor = plug::lv2::Descriptor();
  EXPECT_STREQ(descriptor->URI, "http://tarnwellmusic.example/plugins/quennet");
  const LV2_Feature* none[] = {nullptr};
  EXPECT_EQ(descriptor->instantiate(descriptor, kRate, "", none), nullptr) << "urid:map is required";

  Instance announced(true, 8192);
  ASSERT_TRUE(announced.valid());
  EXPECT_EQ(announced.plugin().GetBlockSize(), 8192);
  EXPECT_EQ(announced.plugin().GetSampleRate(), kRate);

  Instance unannounced(false);
  ASSERT_TRUE(unannounced.valid());
  EXPECT_EQ(unannounced.plugin().GetBlockSize(), plug::lv2::IPluginLV2::kDefaultMaxBlockSize);

  // lv2file ends its list with a feature whose URI is null instead of a null pointer.
  UridMap urids;
  const LV2_Feature endsWithNullUri = {nullptr, nullptr};
  const LV2_Feature* sloppy[] = {urids.mapFeature(), &endsWithNullUri, nullptr};
  LV2_Handle handle = descriptor->instantiate(descriptor, kRate, "", sloppy);
  EXPECT_NE(handle, nullptr);
  if (handle)
    descriptor->cleanup(handle);
}

TEST_F(IPluginLV2Test, OptionsInterfaceGrowsTheBuffersAndChangesTheRate)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  const auto* options =
    static_cast<const LV2_Options_Interface*>(instance.descriptor().extension_data(LV2_OPTIONS__interface));
  ASSERT_NE(options, nullptr);
  UridMap& urids = instance.urids();
  const std::int32_t block = 16384;
  const float rate = 96000.0f;
  const std::int32_t bogus = 7;
  const LV2_Options_Option set[] = {
    {LV2_OPTIONS_INSTANCE, 0, urids.id(LV2_BUF_SIZE__nominalBlockLength), sizeof(block), urids.id(LV2_ATOM__Int),
     &block},
    {LV2_OPTIONS_INSTANCE, 0, urids.id(LV2_PARAMETERS__sampleRate), sizeof(rate), urids.id(LV2_ATOM__Float), &rate},
    {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
  EXPECT_EQ(options->set(instance.handle(), set), LV2_OPTIONS_SUCCESS);
  EXPECT_EQ(instance.plugin().GetBlockSize(), 16384);
  EXPECT_EQ(instance.plugin().GetSampleRate(), 96000.0);
  EXPECT_EQ(instance.plugin().sampleRate(), 96000.0) << "the engine follows at once";

  const LV2_Options_Option unknown[] = {
    {LV2_OPTIONS_INSTANCE, 0, urids.id(LV2_BUF_SIZE__sequenceSize), sizeof(bogus), urids.id(LV2_ATOM__Int), &bogus},
    {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
  EXPECT_EQ(options->set(instance.handle(), unknown), LV2_OPTIONS_ERR_BAD_KEY);
}

// Options of the wrong type, range or context are refused and change nothing: a block length
// counts whole frames (atom:Int or atom:Long), a sample rate is a float or double in range.
TEST_F(IPluginLV2Test, OptionsOfTheWrongTypeOrRangeAreRefusedAsBadValues)
{
  Instance instance(true, 1024);
  ASSERT_TRUE(instance.valid());
  const auto* options =
    static_cast<const LV2_Options_Interface*>(instance.descriptor().extension_data(LV2_OPTIONS__interface));
  ASSERT_NE(options, nullptr);
  UridMap& urids = instance.urids();
  const LV2_URID maxBlock = urids.id(LV2_BUF_SIZE__maxBlockLength);
  const LV2_URID nominalBlock = urids.id(LV2_BUF_SIZE__nominalBlockLength);
  const LV2_URID sampleRate = urids.id(LV2_PARAMETERS__sampleRate);
  const LV2_URID typeInt = urids.id(LV2_ATOM__Int);
  const LV2_URID typeLong = urids.id(LV2_ATOM__Long);
  const LV2_URID typeFloat = urids.id(LV2_ATOM__Float);
  const LV2_URID typeDouble = urids.id(LV2_ATOM__Double);
  struct Case {
    const char* name;
    LV2_URID key;
    LV2_URID type;
    double value; // stored as the type says
    LV2_Options_Context context;
    std::uint32_t status;
    int blockSize; // after the call
    double rate;
  };
  const std::uint32_t bad = LV2_OPTIONS_ERR_BAD_VALUE;
  const Case cases[] = {
    {"a block length of half a frame, as a double", maxBlock, typeDouble, 0.5, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"a whole block length as a double", maxBlock, typeDouble, 4096.0, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"a block length as a float", nominalBlock, typeFloat, 2048.0, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"no frames", maxBlock, typeInt, 0.0, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"negative frames", nominalBlock, typeInt, -64.0, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"more frames than taken", maxBlock, typeLong, 1048577.0, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"a block length for a port", maxBlock, typeInt, 4096.0, LV2_OPTIONS_PORT, bad, 1024, kRate},
    {"a rate as an int", sampleRate, typeInt, 96000.0, LV2_OPTIONS_INSTANCE, bad, 1024, kRate},
    {"a block length as an int", maxBlock, typeInt, 2048.0, LV2_OPTIONS_INSTANCE, LV2_OPTIONS_SUCCESS, 2048, kRate},
    {"a block length as a long", nominalBlock, typeLong, 4096.0, LV2_OPTIONS_INSTANCE, LV2_OPTIONS_SUCCESS, 4096,
     kRate},
    {"a rate as a double", sampleRate, typeDouble, 96000.0, LV2_OPTIONS_INSTANCE, LV2_OPTIONS_SUCCESS, 4096, 96000.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    union {
      std::int32_t i;
      std::int64_t l;
      float f;
      double d;
    } body{};
    std::uint32_t size = 0;
    if (c.type == typeInt)
      body.i = static_cast<std::int32_t>(c.value), size = 4;
    else if (c.type == typeLong)
      body.l = static_cast<std::int64_t>(c.value), size = 8;
    else if (c.type == typeFloat)
      body.f = static_cast<float>(c.value), size = 4;
    else
      body.d = c.value, size = 8;
    const LV2_Options_Option set[] = {{c.context, 0, c.key, size, c.type, &body},
                                      {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    EXPECT_EQ(options->set(instance.handle(), set), c.status);
    EXPECT_EQ(instance.plugin().GetBlockSize(), c.blockSize);
    EXPECT_EQ(instance.plugin().GetSampleRate(), c.rate);
  }
}

// A port acts only when it moved since the bridge last saw it; at first sight, only when it
// differs from the parameter. Values arrive as the decimals the floats stand for.
TEST_F(IPluginLV2Test, ControlPortsAreHostChangesOnlyWhenTheyMove)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.control(kMix) = 0.7f;
  instance.control(kGrainMode) = 2.4f; // between steps: the constraint rounds to 2
  instance.control(kGrainLength) = 1e9f; // clamped to the range
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.7) << "0.7f means 0.7";
  EXPECT_EQ(instance.value(kGrainMode), 2.0);
  EXPECT_TRUE(instance.plugin().grainFreqMode()) << "dispatched";
  EXPECT_EQ(instance.value(kGrainLength), 2000.0);

  // The plug-in changes a value itself; the unchanged port must not undo it.
  instance.plugin().SetParameterValue(kMix, 0.25);
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.25);

  // A NaN port is not a value; a port that moves again is.
  instance.control(kMix) = std::numeric_limits<float>::quiet_NaN();
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.25);
  instance.control(kMix) = 0.5f;
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.5);
  instance.control(kVolume) = std::numeric_limits<float>::infinity();
  instance.run();
  EXPECT_EQ(instance.value(kVolume), 2.0);
}

TEST_F(IPluginLV2Test, ALearnedControllerIsNotUndoneByTheStalePortAndTheStateShowsIt)
{
  writeConfig("[MIDI Control]\nCC7=1\n"); // controller 7 moves Mix
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.run();
  ASSERT_EQ(instance.value(kMix), 1.0);

  instance.ports.eventsIn.addMidi(10, {0xB0, 7, 0});
  const std::vector<OutEvent> events = instance.run();
  EXPECT_EQ(instance.value(kMix), 0.0);
  EXPECT_TRUE(containsStateChanged(events, instance.urids())) << "the host hears that its saved state is stale";

  // Later blocks: the port still says 1.0, and must not win.
  const StereoBuffer input = testSignal(4 * kBlock);
  const StereoBuffer output = instance.render(input);
  EXPECT_EQ(instance.value(kMix), 0.0);
  EXPECT_EQ(output.left, input.left) << "Mix 0 with Volume 1 passes the input unchanged";
  EXPECT_EQ(output.right, input.right);
  const std::vector<double> chunk = instance.chunk();
  ASSERT_EQ(chunk.size(), 29u);
  EXPECT_EQ(chunk[kMix], 0.0);

  // The host moves the port: now it is a change.
  instance.control(kMix) = 0.5f;
  EXPECT_FALSE(containsStateChanged(instance.run(), instance.urids())) << "host changes are the host's own";
  EXPECT_EQ(instance.value(kMix), 0.5);
}

TEST_F(IPluginLV2Test, APresetSwitchInsideThePlugInOutlivesTheStalePorts)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.run();
  instance.plugin().changePreset(8); // "Slap Back", as the editor's preset menu does
  const std::vector<OutEvent> events = instance.run();
  EXPECT_TRUE(containsStateChanged(events, instance.urids()));
  instance.run();
  const FactoryPreset& slapBack = kFactoryPresets[8];
  const std::vector<double> chunk = instance.chunk();
  ASSERT_EQ(chunk.size(), 29u);
  for (int i = 0; i < kNumParams; ++i)
    EXPECT_EQ(chunk[static_cast<size_t>(i)], slapBack.values[static_cast<size_t>(i)]) << "parameter " << i;
  EXPECT_TRUE(instance.plugin().grainSyncMode());
}

TEST_F(IPluginLV2Test, RestoredValuesWinOverThePortsThenPortsMoveAgain)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.control(kGrainLength) = 50.0f;
  instance.run();
  ASSERT_EQ(instance.value(kGrainLength), 50.0);

  std::vector<double> state(kFactoryPresets[5].values.begin(), kFactoryPresets[5].values.end());
  state[kGrainLength] = 123.456789; // a value no float port can hold
  state[kNumParams - 1] = 0.75; // a reserved slot: in the state only
  ASSERT_EQ(instance.restore(chunkBytes(state)), LV2_STATE_SUCCESS);
  // A host may write its saved port values after the restore: still the state wins.
  instance.control(kGrainLength) = 20.0f;
  instance.control(kMix) = 0.1f;
  instance.run();
  instance.run();
  EXPECT_EQ(instance.chunk(), state);

  instance.control(kMix) = 0.3f;
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.3);
  EXPECT_EQ(instance.value(kGrainLength), 123.456789) << "unmoved ports keep the restored values";
}

TEST_F(IPluginLV2Test, RestoreHandlesMissingAndWrongTypedChunks)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.run();

  // A preset of port values carries no chunk: nothing changes, and the ports still act.
  const auto* stateInterface =
    static_cast<const LV2_State_Interface*>(instance.descriptor().extension_data(LV2_STATE__interface));
  auto nothing = [](LV2_State_Handle, std::uint32_t, size_t*, std::uint32_t*, std::uint32_t*) -> const void* {
    return nullptr;
  };
  EXPECT_EQ(stateInterface->restore(instance.handle(), nothing, nullptr, 0, nullptr), LV2_STATE_SUCCESS);
  instance.control(kMix) = 0.4f;
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.4);

  // A chunk property of another type is refused untouched.
  struct Wrong {
    LV2_URID intType;
    double value = 0.0;
  } wrong{instance.urids().id(LV2_ATOM__Int)};
  auto wrongType = [](LV2_State_Handle h, std::uint32_t, size_t* size, std::uint32_t* type,
                      std::uint32_t*) -> const void* {
    auto* w = static_cast<Wrong*>(h);
    *size = sizeof(w->value);
    *type = w->intType;
    return &w->value;
  };
  EXPECT_EQ(stateInterface->restore(instance.handle(), wrongType, &wrong, 0, nullptr), LV2_STATE_ERR_BAD_TYPE);
  EXPECT_EQ(instance.value(kMix), 0.4);
}

// A chunk of any size but the saved one is no state of Quennet's: refused, nothing changed (read
// as far as it goes, it would set the missing values to 0: Volume 0 for an empty chunk).
TEST_F(IPluginLV2Test, RestoreRefusesChunksOfAnotherSize)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.control(kMix) = 0.4f;
  instance.run();
  const std::vector<double> before = instance.chunk();
  ASSERT_EQ(before.size(), 29u);

  std::vector<double> state(29, 0.0);
  for (int i = 0; i < 22; ++i)
    state[static_cast<size_t>(i)] = instance.plugin().GetParam(i)->GetMax();
  const std::vector<std::uint8_t> whole = chunkBytes(state);
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{8}, size_t{15}, size_t{231}, size_t{233}, size_t{240}, size_t{464}}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes = whole;
    bytes.resize(size, 0x40);
    EXPECT_EQ(instance.restore(bytes), LV2_STATE_ERR_UNKNOWN);
    instance.run();
    EXPECT_EQ(instance.chunk(), before);
  }
  // The ports were not told to stand still by a refused restore: a moved port still acts.
  instance.control(kMix) = 0.6f;
  instance.run();
  EXPECT_EQ(instance.value(kMix), 0.6);

  EXPECT_EQ(instance.restore(whole), LV2_STATE_SUCCESS);
  instance.run();
  EXPECT_EQ(instance.chunk(), state);
}

TEST_F(IPluginLV2Test, PortChangesReachTheSameBlocksAudio)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.render(testSignal(kBlock));
  instance.control(kVolume) = 0.0f;
  const StereoBuffer silent = instance.render(testSignal(kBlock));
  EXPECT_EQ(silent.left, std::vector<float>(kBlock, 0.0f));
  EXPECT_EQ(silent.right, std::vector<float>(kBlock, 0.0f));
}

TEST_F(IPluginLV2Test, EveryShortMidiMessageIsPassedOnInOrder)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  instance.control(kGrainMode) = 3.0f;
  struct Case {
    std::int64_t frame;
    std::vector<std::uint8_t> bytes;
    bool passed;
  };
  const std::vector<Case> cases = {
    {0, {0x90, 60, 100}, true}, // note on
    {5, {0xB3, 1, 64}, true}, // controller on channel 4
    {5, {0xC0, 12}, true}, // program change: two bytes
    {9, {0xF0, 0x7E, 0x01, 0xF7}, false}, // system exclusive: not a short message
    {9, {0xF8}, true}, // clock
    {9, {0xF7}, false}, // a lone end of exclusive
    {9, {0xF4}, false}, // undefined system common
    {9, {0xF5, 1}, false}, // undefined system common
    {9, {0xF9}, false}, // undefined real time
    {9, {0xFD}, false}, // undefined real time
    {10, {0x90, 0x80 | 62, 100}, false}, // a status byte where the note belongs
    {10, {0xB0, 7, 0xFF}, false}, // a status byte where the value belongs
    {10, {0x3C, 100}, false}, // data without status
    {11, {0xF2, 0x10, 0x02}, true}, // song position
    {11, {0xF1, 0x7F}, true}, // time code quarter frame
    {11, {0xF6}, true}, // tune request
    {11, {0xFE}, true}, // active sensing
    {20, {0x90, 61}, false}, // cut short: not a message
    {511, {0x80, 60, 0}, true}, // note off in the last frame
  };
  for (const Case& c : cases)
    instance.ports.eventsIn.addMidi(c.frame, c.bytes);
  const std::vector<OutEvent> events = instance.run();
  const LV2_URID midiType = instance.urids().id(LV2_MIDI__MidiEvent);
  std::vector<OutEvent> midi;
  for (const OutEvent& e : events)
    if (e.type == midiType)
      midi.push_back(e);
  std::vector<Case> expected;
  for (const Case& c : cases)
    if (c.passed)
      expected.push_back(c);
  ASSERT_EQ(midi.size(), expected.size());
  for (size_t i = 0; i < midi.size(); ++i) {
    EXPECT_EQ(midi[i].frame, expected[i].frame) << "message " << i;
    EXPECT_EQ(midi[i].body, expected[i].bytes) << "message " << i;
  }
  EXPECT_EQ(instance.plugin().voiceNote(0), 60) << "the note reached the voices";

  // What the editor sends goes through the same gate.
  for (std::uint8_t status : {0xF4, 0xF7, 0x90, 0xB1}) {
    plug::IMidiMsg msg;
    msg.mStatus = status;
    msg.mData1 = status == 0x90 ? 0xC0 : 64;
    msg.mData2 = 100;
    instance.plugin().SendMidiMsgFromUI(msg);
  }
  const std::vector<OutEvent> fromEditor = instance.run();
  std::vector<std::vector<std::uint8_t>> passed;
  for (const OutEvent& e : fromEditor)
    if (e.type == midiType)
      passed.push_back(e.body);
  EXPECT_EQ(passed, (std::vector<std::vector<std::uint8_t>>{{0xB1, 64, 100}}));
}

TEST_F(IPluginLV2Test, AnOutputTooSmallForTheMessagesStaysAValidSequence)
{
  Instance instance;
  ASSERT_TRUE(instance.valid());
  for (int i = 0; i < 100; ++i)
    instance.ports.eventsIn.addMidi(i, {0xB0, 100, static_cast<std::uint8_t>(i)});
  instance.ports.eventsOut.prepareOutput();
  LV2_Atom_Sequence* out = instance.ports.eventsOut.data();
  out->atom.size = sizeof(LV2_Atom_Sequence) + 10 * 24; // room for ten MIDI events
  instance.descriptor().run(instance.handle(), kBlock);
  instance.ports.eventsIn.clearInput();
  EXPECT_EQ(out->atom.type, instance.urids().id(LV2_ATOM__Sequence));
  EXPECT_EQ(instance.ports.eventsOut.events().size(), 10u);
}

namespace {
// The same transport sequence through the bridge (as time:Position atoms) and directly (as the
// processing call's HostTransport per block).
struct TransportCase {
  const char* name;
  std::optional<HostPosition> position; // sent at frame `offset` of the first block
  int offset;
  bool hasTransport;
  double tempo;
  double firstBlockPosition;
  bool playing;
};
} // namespace

TEST_F(IPluginLV2Test, TimePositionGivesTheBlocksTempoAndPosition)
{
  const std::vector<TransportCase> cases = {
    {"no position ever: the processing call's defaults", std::nullopt, 0, false, 120.0, 0.0, false},
    {"rolling from frame 1000", HostPosition{140.0f, 1000, 1.0f}, 0, true, 140.0, 1000.0, true},
    {"stopped: the position stays", HostPosition{90.0f, 30000, 0.0f}, 0, true, 90.0, 30000.0, false},
    {"sent inside the block: the block starts earlier", HostPosition{100.0f, 5000, 1.0f}, 100, true, 100.0, 4900.0,
     true},
  };
  const StereoBuffer input = testSignal(6 * kBlock);
  for (const TransportCase& c : cases)
    for (const bool viaTimeIn : {false, true}) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(viaTimeIn ? "on the time input" : "on the events input");
      Instance instance;
      ASSERT_TRUE(instance.valid());
      instance.control(kGrainMode) = 1.0f; // "SYNC"
      instance.control(kGrainSync) = 4.0f; // 1/16
      instance.control(kFrameSyncToHost) = 1.0f;
      instance.control(kFrameSync) = 7.0f; // 1/8

      StereoBuffer viaBridge(input.frames());
      for (size_t start = 0; start < input.frames(); start += kBlock) {
        if (c.position && start == 0)
          (viaTimeIn ? instance.ports.timeIn : instance.ports.eventsIn)
            .addPosition(c.offset, c.position->beatsPerMinute, c.position->frame, c.position->speed);
        std::copy_n(input.left.begin() + static_cast<long>(start), kBlock, instance.ports.audio[0].begin());
        std::copy_n(input.right.begin() + static_cast<long>(start), kBlock, instance.ports.audio[1].begin());
        instance.ports.eventsOut.prepareOutput();
        instance.descriptor().run(instance.handle(), kBlock);
        instance.ports.eventsIn.clearInput();
        instance.ports.timeIn.clearInput();
        std::copy_n(instance.ports.audio[2].begin(), kBlock, viaBridge.left.begin() + static_cast<long>(start));
        std::copy_n(instance.ports.audio[3].begin(), kBlock, viaBridge.right.begin() + static_cast<long>(start));
      }

      auto direct = directPlugin();
      direct->SetParameterFromHostPlain(kGrainMode, 1.0);
      direct->SetParameterFromHostPlain(kGrainSync, 4.0);
      direct->SetParameterFromHostPlain(kFrameSyncToHost, 1.0);
      direct->SetParameterFromHostPlain(kFrameSync, 7.0);
      StereoBuffer viaCall(input.frames());
      for (size_t start = 0; start < input.frames(); start += kBlock) {
        plug::HostTransport transport;
        transport.hasTempo = true;
        transport.tempo = c.tempo;
        transport.hasSamplePosition = true;
        transport.samplePosition = c.firstBlockPosition + (c.playing ? static_cast<double>(start) : 0.0);
        transport.isPlaying = c.playing;
        const float* in[2] = {input.left.data() + start, input.right.data() + start};
        float* out[2] = {viaCall.left.data() + start, viaCall.right.data() + start};
        plug::HostBlock block;
        block.inputs = in;
        block.outputs = out;
        block.nFrames = kBlock;
        block.transport = c.hasTransport ? &transport : nullptr;
        direct->RenderAudio(block);
      }
      EXPECT_EQ(viaBridge.left, viaCall.left);
      EXPECT_EQ(viaBridge.right, viaCall.right);
    }
}

TEST_F(IPluginLV2Test, InPlaceBuffersGiveTheSameOutput)
{
  const StereoBuffer input = testSignal(3 * kBlock);
  Instance separate;
  ASSERT_TRUE(separate.valid());
  const StereoBuffer expected = separate.render(input);

  Instance inPlace;
  ASSERT_TRUE(inPlace.valid());
  std::vector<float> left(kBlock);
  std::vector<float> right(kBlock);
  const LV2_Descriptor& d = inPlace.descriptor();
  d.connect_port(inPlace.handle(), plug::lv2::kAudioInLeft, left.data());
  d.connect_port(inPlace.handle(), plug::lv2::kAudioOutLeft, left.data());
  d.connect_port(inPlace.handle(), plug::lv2::kAudioInRight, right.data());
  d.connect_port(inPlace.handle(), plug::lv2::kAudioOutRight, right.data());
  StereoBuffer output(input.frames());
  for (size_t start = 0; start < input.frames(); start += kBlock) {
    std::copy_n(input.left.begin() + static_cast<long>(start), kBlock, left.begin());
    std::copy_n(input.right.begin() + static_cast<long>(start), kBlock, right.begin());
    inPlace.ports.eventsOut.prepareOutput();
    d.run(inPlace.handle(), kBlock);
    std::copy_n(left.begin(), kBlock, output.left.begin() + static_cast<long>(start));
    std::copy_n(right.begin(), kBlock, output.right.begin() + static_cast<long>(start));
  }
  EXPECT_EQ(output.left, expected.left);
  EXPECT_EQ(output.right, expected.right);
}

namespace {
// What a fresh instance with these controls and this MIDI makes of `input`, and what one that
// heard `before` first makes of it, with or without an activation in between.
struct ActivateCase {
  const char* name;
  std::vector<std::pair<int, float>> controls;
  std::vector<TimedMidi> midiBefore; // never released: the notes still sound at the activation
  std::vector<TimedMidi> midiAfter;
};
} // namespace

TEST_F(IPluginLV2Test, AnActivatedInstanceStartsFromSilenceLikeAFreshOne)
{
  const std::vector<TimedMidi> chord = {{100, 0x90, 50, 100}, {900, 0x90, 62, 90}};
  // With a frame overlap, each frame starts with a cross-fade from the other box's recording.
  const std::vector<std::pair<int, float>> overlaps = {
    {kFrameOverlap, 50.0f}, {kGrainOverlap, 40.0f}, {kFrameFadeIn, 0.2f}, {kGrainFadeOut, 0.3f}};
  auto withOverlaps = [&](std::vector<std::pair<int, float>> controls) {
    controls.insert(controls.end(), overlaps.begin(), overlaps.end());
    return controls;
  };
  const std::vector<ActivateCase> cases = {
    {"M.SEC", {}, {}, {}},
    {"M.SEC with grain and frame fades", {{kGrainFadeIn, 0.3f}, {kGrainFadeOut, 0.3f}, {kFrameFadeIn, 0.5f}}, {}, {}},
    {"MIDI with held notes", {{kGrainMode, 3.0f}, {kMidiRelease, 0.5f}}, chord, {}},
    {"M.SEC with frame and grain overlaps", withOverlaps({}), {}, {}},
    {"SYNC with frame sync and overlaps",
     withOverlaps({{kGrainMode, 1.0f}, {kFrameSyncToHost, 1.0f}, {kGrainSync, 3.0f}}),
     {},
     {}},
    {"FREQ with frame and grain overlaps", withOverlaps({{kGrainMode, 2.0f}, {kGrainFrequency, 97.0f}}), {}, {}},
    // Short frames: the idle voices' frames record the material after the silence with the
    // period they hold, and the notes after the activation cross-fade from them.
    {"MIDI with held notes, overlaps and notes after",
     withOverlaps({{kGrainMode, 3.0f}, {kMidiRelease, 0.5f}, {kFrameLength, 20.0f}}),
     chord,
     {{1500, 0x90, 57, 100}, {2600, 0x90, 50, 80}, {3100, 0x90, 62, 80}}},
  };
  const StereoBuffer before = testSignal(7 * kBlock);
  // Silence first: whatever is heard then was remembered. Then material that starts like `before`
  // (recordings would match), changed so that only what is remembered tells the runs apart.
  constexpr size_t kSilence = 2 * kBlock;
  const StereoBuffer input = testSignal(9 * kBlock);
  StereoBuffer after(kSilence + input.frames());
  for (size_t i = 0; i < input.frames(); ++i) {
    after.left[kSilence + i] = -input.right[i];
    after.right[kSilence + i] = input.left[i] * 0.5f;
  }
  auto loudestInSilence = [&](const StereoBuffer& output) {
    float loudest = 0.0f;
    for (size_t i = 0; i < kSilence; ++i)
      loudest = std::max({loudest, std::fabs(output.left[i]), std::fabs(output.right[i])});
    return loudest;
  };
  for (const ActivateCase& c : cases) {
    SCOPED_TRACE(c.name);
    Instance fresh;
    Instance reactivated;
    Instance carriedOn;
    for (Instance* instance : {&fresh, &reactivated, &carriedOn}) {
      ASSERT_TRUE(instance->valid());
      for (const auto& [paramIdx, value] : c.controls)
        instance->control(paramIdx) = value;
    }
    reactivated.render(before, c.midiBefore);
    carriedOn.render(before, c.midiBefore);
    const std::vector<double> parameters = reactivated.chunk();
    ASSERT_TRUE(reactivated.plugin().noteActive() == !c.midiBefore.empty());

    reactivated.descriptor().activate(reactivated.handle());
    EXPECT_FALSE(reactivated.plugin().noteActive()) << "every note ended";
    EXPECT_EQ(reactivated.plugin().highpassLeft().y1, 0.0);
    EXPECT_EQ(reactivated.plugin().highpassRight().x1, 0.0);
    EXPECT_EQ(reactivated.chunk(), parameters) << "parameters stay";

    const StereoBuffer expected = fresh.render(after, c.midiAfter);
    const StereoBuffer output = reactivated.render(after, c.midiAfter);
    // Only the filters' anti-denormal offsets (1e-13) reach the output while the input is silent.
    EXPECT_LT(loudestInSilence(output), 1e-9f) << "the reactivated instance starts from silence";
    EXPECT_EQ(output.left, expected.left);
    EXPECT_EQ(output.right, expected.right);
    const StereoBuffer carried = carriedOn.render(after, c.midiAfter);
    EXPECT_GT(loudestInSilence(carried), 1e-3f) << "without the activation the past is heard";
  }
}

namespace {
struct LearnCase {
  const char* name;
  bool offerWorker;
  bool parameterLast; // the parameter completes the learn, else the controller
  bool parameterFromEditor; // the parameter comes from an editor gesture, outside run()
  bool writtenInRun;
};
} // namespace

// A learn completed on the audio thread leaves the file write to the host's worker when there is
// one; without a worker, or when the learn completes outside run(), the write happens at once.
TEST_F(IPluginLV2Test, ALearnCompletedInRunLeavesTheFileWriteToTheHostsWorker)
{
  const std::vector<LearnCase> cases = {
    {"controller last, worker", true, false, false, false},
    {"parameter last from a port, worker", true, true, false, false},
    {"parameter last from the editor, worker", true, true, true, true},
    {"controller last, no worker", false, false, false, true},
  };
  for (const LearnCase& c : cases) {
    SCOPED_TRACE(c.name);
    writeConfig("[MIDI Control]\nCC3=1\n");
    HostWorker worker;
    Instance instance(true, kBlock, c.offerWorker ? &worker : nullptr);
    ASSERT_TRUE(instance.valid());
    instance.run();
    const std::string original = readFile(home.configFile());

    instance.plugin().doMidiLearn(true);
    auto captureParameter = [&] {
      if (c.parameterFromEditor) {
        instance.plugin().SendParameterValueFromUI(kGrainSkew, 0.5);
      } else {
        instance.control(kGrainSkew) = 0.5f;
        instance.run();
      }
    };
    auto captureController = [&] {
      instance.ports.eventsIn.addMidi(7, {0xB0, 20, 64});
      instance.run();
    };
    if (c.parameterLast) {
      captureController();
      EXPECT_EQ(readFile(home.configFile()), original) << "not complete yet";
      captureParameter();
    } else {
      captureParameter();
      EXPECT_EQ(readFile(home.configFile()), original) << "not complete yet";
      captureController();
    }
    EXPECT_FALSE(instance.plugin().learn().learnActive());
    EXPECT_EQ(instance.plugin().learn().controllerParam(20), kGrainSkew) << "the map changed at once";

    const std::string afterLearn = readFile(home.configFile());
    const std::string learned = "CC20=8";
    EXPECT_EQ(afterLearn.find(learned) != std::string::npos, c.writtenInRun) << afterLearn;
    EXPECT_EQ(worker.pending(), c.writtenInRun ? 0u : 1u);
    EXPECT_EQ(worker.runWork(instance.descriptor(), instance.handle()), c.writtenInRun ? 0 : 1);
    const std::string written = readFile(home.configFile());
    EXPECT_NE(written.find(learned), std::string::npos) << written;
    EXPECT_EQ(written.find("CC3=1") != std::string::npos, true) << "the earlier assignment stays";

    // The learned controller acts at once, whoever wrote the file.
    instance.ports.eventsIn.addMidi(0, {0xB0, 20, 127});
    instance.run();
    EXPECT_EQ(instance.value(kGrainSkew), 1.0);
  }
}

TEST_F(IPluginLV2Test, SampleRatesOutsideTheRangeAreRefusedAtInstantiationAndIgnoredAsOptions)
{
  const LV2_Descriptor* descriptor = plug::lv2::Descriptor();
  UridMap urids;
  const LV2_Feature* features[] = {urids.mapFeature(), nullptr};
  struct Case {
    double rate;
    bool accepted;
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const Case& c :
       {Case{0.0, false}, Case{-48000.0, false}, Case{10.0, false}, Case{31.0, false}, Case{999.0, false},
        Case{1000.0, true}, Case{44100.0, true}, Case{768000.0, true}, Case{768001.0, false}, Case{1e8, false},
        Case{inf, false}, Case{std::numeric_limits<double>::quiet_NaN(), false}}) {
    SCOPED_TRACE(c.rate);
    LV2_Handle handle = descriptor->instantiate(descriptor, c.rate, "", features);
    EXPECT_EQ(handle != nullptr, c.accepted);
    if (handle)
      descriptor->cleanup(handle);
  }

  Instance instance;
  ASSERT_TRUE(instance.valid());
  const auto* options =
    static_cast<const LV2_Options_Interface*>(instance.descriptor().extension_data(LV2_OPTIONS__interface));
  for (const float rate : {20.0f, 999.0f, 1e8f}) {
    SCOPED_TRACE(rate);
    const LV2_Options_Option set[] = {{LV2_OPTIONS_INSTANCE, 0, instance.urids().id(LV2_PARAMETERS__sampleRate),
                                       sizeof(rate), instance.urids().id(LV2_ATOM__Float), &rate},
                                      {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    EXPECT_EQ(options->set(instance.handle(), set), LV2_OPTIONS_ERR_BAD_VALUE);
    EXPECT_EQ(instance.plugin().GetSampleRate(), kRate);
    EXPECT_EQ(instance.plugin().sampleRate(), kRate);
  }
}

// A host block longer than the prepared maximum: rendered in pieces of that maximum, each MIDI
// event in the piece holding its frame, the transport advanced piece by piece, nothing allocated.
TEST_F(IPluginLV2Test, ABlockLongerThanPreparedIsRenderedInPiecesWithoutAllocating)
{
  constexpr int kPrepared = 256;
  constexpr int kLong = 3 * kPrepared + 17;
  Instance instance(true, kPrepared, nullptr, kLong);
  ASSERT_TRUE(instance.valid());
  instance.control(kGrainMode) = 3.0f; // "MIDI": what a note does shows where it landed
  instance.control(kFrameSyncToHost) = 1.0f;
  instance.control(kFrameSync) = 4.0f; // 1/16: frames restart on the transport's grid
  instance.run(kPrepared); // the ports' first sight, before counting

  const StereoBuffer input = testSignal(kLong);
  const std::vector<TimedMidi> notes = {
    {0, 0x90, 60, 100}, {255, 0x90, 64, 100}, {256, 0x80, 60, 0}, {600, 0x90, 67, 80}, {kLong - 1, 0x80, 64, 0}};
  std::copy(input.left.begin(), input.left.end(), instance.ports.audio[0].begin());
  std::copy(input.right.begin(), input.right.end(), instance.ports.audio[1].begin());
  for (const TimedMidi& n : notes)
    instance.ports.eventsIn.addMidi(n.frame, {n.status, n.data1, n.data2});
  instance.ports.timeIn.addPosition(0, 133.0f, 96000, 1.0f);
  instance.ports.eventsOut.prepareOutput();
  // On a thread that has never called into the bridge, as a host's audio thread.
  const alloc_count::Counts counts =
    alloc_count::countOnNewThread([&] { instance.descriptor().run(instance.handle(), kLong); });
  instance.ports.eventsIn.clearInput();
  instance.ports.timeIn.clearInput();
  if (alloc_count::available()) {
    EXPECT_EQ(counts.allocations, 0);
  }
  EXPECT_EQ(instance.plugin().GetBlockSize(), kPrepared) << "nothing grew";

  // The same through the processing call in pieces of 256.
  std::unique_ptr<Quennet> direct(static_cast<Quennet*>(plug::MakePlug({})));
  direct->PrepareToPlay(kRate, kPrepared);
  direct->SetParameterFromHostPlain(kGrainMode, 3.0);
  direct->SetParameterFromHostPlain(kFrameSyncToHost, 1.0);
  direct->SetParameterFromHostPlain(kFrameSync, 4.0);
  // Its first block as the instance's: silence, with no transport.
  RenderOptions firstBlock;
  firstBlock.blockSize = kPrepared;
  firstBlock.tempo = std::nullopt;
  renderThrough(*direct, StereoBuffer(kPrepared), firstBlock);
  RenderOptions pieces;
  pieces.blockSize = kPrepared;
  pieces.tempo = 133.0;
  pieces.startPosition = 96000.0;
  pieces.midi = notes;
  const StereoBuffer expected = renderThrough(*direct, input, pieces);
  const std::vector<float> left(instance.ports.audio[2].begin(), instance.ports.audio[2].begin() + kLong);
  const std::vector<float> right(instance.ports.audio[3].begin(), instance.ports.audio[3].begin() + kLong);
  EXPECT_EQ(left, expected.left);
  EXPECT_EQ(right, expected.right);

  // The MIDI passed on keeps the frames of the host block.
  std::vector<std::int64_t> frames;
  for (const OutEvent& e : instance.ports.eventsOut.events())
    if (e.type == instance.urids().id(LV2_MIDI__MidiEvent))
      frames.push_back(e.frame);
  EXPECT_EQ(frames, (std::vector<std::int64_t>{0, 255, 256, 600, kLong - 1}));
}

namespace {

// An open editor's side of the host, as the LV2 UI attaches it: records port writes and touches.
struct EditorPortsRecorder : plug::lv2::IPluginLV2::EditorPorts {
  struct Write {
    std::uint32_t port;
    float value;
  };
  void WriteControlPort(std::uint32_t port, float value) override { writes.push_back({port, value}); }
  void TouchControlPort(std::uint32_t port, bool grabbed) override { touches.emplace_back(port, grabbed); }
  void InstanceDestroyed() override { ++destroyed; }
  std::vector<Write> writes;
  std::vector<std::pair<std::uint32_t, bool>> touches;
  int destroyed = 0;
};

constexpr std::uint32_t portOf(int paramIdx)
{
  return plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(paramIdx);
}

} // namespace

TEST_F(IPluginLV2Test, EditorEditsGoToTheEditorsPortsOnItsThreadOnly)
{
  EditorPortsRecorder editor;
  Instance instance;
  instance.bridge().AttachEditorPorts(&editor);
  Quennet& plugin = instance.plugin();

  plugin.BeginInformHostOfParamChangeFromUI(kMix);
  plugin.SendParameterValueFromUI(kMix, 0.3);
  plugin.EndInformHostOfParamChangeFromUI(kMix);
  ASSERT_EQ(editor.writes.size(), 1u);
  EXPECT_EQ(editor.writes[0].port, portOf(kMix));
  EXPECT_EQ(editor.writes[0].value, static_cast<float>(instance.value(kMix))) << "the plain value";
  EXPECT_EQ(editor.touches, (std::vector<std::pair<std::uint32_t, bool>>{{portOf(kMix), true}, {portOf(kMix), false}}));

  // A learned controller on the audio thread (another thread) writes nothing: the host's port keeps
  // its value, as without an editor.
  std::thread([&] { plugin.SetParameterValue(kMix, 0.9); }).join();
  EXPECT_EQ(editor.writes.size(), 1u);

  // A preset switch from the editor writes every control port, in port order.
  editor.writes.clear();
  plugin.changePreset(8); // "Slap Back"
  ASSERT_EQ(editor.writes.size(), 22u);
  for (int i = 0; i < 22; ++i)
    EXPECT_EQ(editor.writes[static_cast<size_t>(i)].port, portOf(i));
  EXPECT_EQ(editor.writes[kMix].value, static_cast<float>(instance.value(kMix)));

  instance.bridge().DetachEditorPorts(&editor);
  plugin.SendParameterValueFromUI(kMix, 0.1);
  EXPECT_EQ(editor.writes.size(), 22u) << "detached";
}

TEST_F(IPluginLV2Test, TheEditorsWritesComingBackOnThePortsAreNoChanges)
{
  EditorPortsRecorder editor; // outlives the instance, as a host's UI does not: it is told
  Instance instance;
  instance.run();
  instance.bridge().AttachEditorPorts(&editor);
  Quennet& plugin = instance.plugin();
  const plug::IParam& mix = *plugin.GetParam(kMix);

  // Three edits before the host shows any of them; the host then shows them one per block.
  for (double n : {0.3123456789, 0.3223456789, 0.3323456789})
    plugin.SendParameterValueFromUI(kMix, n);
  const double edited = instance.value(kMix);
  ASSERT_NE(static_cast<double>(static_cast<float>(edited)), edited);
  for (const EditorPortsRecorder::Write& w : editor.writes) {
    instance.control(kMix) = w.value;
    instance.run();
    EXPECT_EQ(instance.value(kMix), edited) << "not rounded to the port's float, not set back to an older edit";
  }
  EXPECT_DOUBLE_EQ(mix.GetNormalized(), 0.3323456789);

  // Once the latest came back, the host's own values count again, older edit values included.
  instance.control(kMix) = editor.writes[0].value;
  instance.run();
  EXPECT_EQ(instance.value(kMix), plug::lv2::PlainFromPortValue(editor.writes[0].value));
  ASSERT_NE(plug::lv2::PlainFromPortValue(editor.writes[0].value), 0.3123456789) << "the port's value, not the edit's";

  // An edit the host never shows is not waited for past half a second of audio: the host's
  // control kept its own value (its automation overrode the gesture, or it did not take the write),
  // and the parameter follows the host's control rather than stay apart from it.
  const float portValue = instance.control(kMix);
  plugin.SendParameterValueFromUI(kMix, 0.7723456789);
  const float unseen = editor.writes.back().value;
  const int blocks = static_cast<int>(plug::lv2::IPluginLV2::kEditorWriteEchoSeconds * kRate / kBlock) + 2;
  instance.run();
  EXPECT_EQ(instance.value(kMix), mix.ConstrainValue(0.7723456789)) << "while the write is awaited";
  for (int b = 0; b < blocks; ++b)
    instance.run();
  EXPECT_EQ(instance.value(kMix), plug::lv2::PlainFromPortValue(portValue)) << "the host's value";
  instance.control(kMix) = unseen;
  instance.run();
  EXPECT_EQ(instance.value(kMix), plug::lv2::PlainFromPortValue(unseen)) << "a later move of the host's counts";

  // The host's automation sets the control while the editor's write is on its way, even to the value
  // the port had before: once the wait ends, the host's value counts.
  instance.control(kMix) = 0.625f;
  instance.run();
  plugin.SendParameterValueFromUI(kMix, 0.2523456789);
  for (int b = 0; b < blocks; ++b)
    instance.run();
  EXPECT_EQ(instance.value(kMix), 0.625) << "the host's value";
  EXPECT_DOUBLE_EQ(mix.GetNormalized(), 0.625);
}

TEST_F(IPluginLV2Test, TheEditorLearnsWhatThePortsShowAndTheInstanceFromItsHandle)
{
  Instance instance;
  plug::lv2::IPluginLV2& bridge = instance.bridge();
  EXPECT_EQ(plug::lv2::IPluginLV2::FromHandle(instance.handle()), &bridge);
  int other = 0;
  EXPECT_EQ(plug::lv2::IPluginLV2::FromHandle(&other), nullptr);
  EXPECT_EQ(plug::lv2::IPluginLV2::FromHandle(nullptr), nullptr);

  EXPECT_EQ(bridge.ControlPortOf(kVolume), portOf(kVolume));
  EXPECT_EQ(bridge.ControlPortOf(kMidiRelease), portOf(kMidiRelease));
  EXPECT_EQ(bridge.ControlPortOf(25), 0u) << "a reserved slot has no port";
  EXPECT_EQ(bridge.ParamOfControlPort(portOf(kGrainMode)), kGrainMode);
  EXPECT_EQ(bridge.ParamOfControlPort(plug::lv2::kEventsIn), -1);
  EXPECT_EQ(bridge.ParamOfControlPort(1000), -1);

  float seen = 0.0f;
  EXPECT_FALSE(bridge.LastSeenPortValue(portOf(kVolume), seen)) << "before the first run";
  instance.control(kVolume) = 0.5f;
  instance.run();
  ASSERT_TRUE(bridge.LastSeenPortValue(portOf(kVolume), seen));
  EXPECT_EQ(seen, 0.5f);
  EXPECT_FALSE(bridge.LastSeenPortValue(plug::lv2::kEventsIn, seen));
}

TEST_F(IPluginLV2Test, AnInstanceDestroyedWithItsEditorAttachedTellsIt)
{
  EditorPortsRecorder editor;
  {
    Instance instance;
    instance.bridge().AttachEditorPorts(&editor);
  }
  EXPECT_EQ(editor.destroyed, 1);
}

TEST_F(IPluginLV2Test, EditorGesturesWhileTheAudioThreadRunsEndOnTheEditorsValue)
{
  // The editor's thread edits while the host's audio thread runs the instance and, as jalv does,
  // puts the editor's writes on the ports just before each run.
  Instance instance;
  struct QueuedPorts : plug::lv2::IPluginLV2::EditorPorts {
    void WriteControlPort(std::uint32_t port, float value) override
    {
      std::lock_guard lock(mutex);
      pending.emplace_back(port, value);
    }
    void TouchControlPort(std::uint32_t, bool) override {}
    void InstanceDestroyed() override {}
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, float>> pending;
  } editor;
  instance.bridge().AttachEditorPorts(&editor);
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    while (!stop.load()) {
      {
        std::lock_guard lock(editor.mutex);
        for (const auto& [port, value] : editor.pending)
          instance.ports.controls[port - plug::lv2::kFirstControlPort] = value;
        editor.pending.clear();
      }
      instance.run();
      // At the pace of a host's audio thread: the bridge waits for an editor's write to show on
      // the port for half a second of audio, which an unpaced loop would pass in a few
      // milliseconds while the editor's thread is still between two statements.
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int>(1e6 * kBlock / kRate)));
    }
  });
  Quennet& plugin = instance.plugin();
  double last = 0.0;
  for (int i = 1; i <= 2000; ++i) {
    last = 0.1 + 0.8 * i / 2000.0 + 1e-9; // no float holds these exactly
    plugin.SendParameterValueFromUI(kMix, last);
  }
  // The last write reaches the port and comes back as no change.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      std::lock_guard lock(editor.mutex);
      if (editor.pending.empty())
        break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  stop = true;
  audio.join();
  instance.run(); // the last write, if it arrived after the audio thread's final run
  EXPECT_EQ(instance.value(kMix), plugin.GetParam(kMix)->ConstrainValue(last))
    << "the editor's exact value, not an older one nor the port's float";
  instance.bridge().DetachEditorPorts(&editor);
}
