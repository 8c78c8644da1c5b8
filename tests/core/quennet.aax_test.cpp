// SPDX-License-Identifier: ISC
// Quennet driven through the AAX bridge as a host drives it: the description, parameter
// registration, host changes, state chunks and the render entry.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "FailingAllocations.h"
#include "Recorders.h"
#include "TempHome.h"
#include "core/quennet.h"
#include "framework/AAX/IPluginAAX.h"
#include "base/RunLoop.h"

using namespace quennet;

using namespace plug::aax;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Four-character codes, first character in the most significant byte.
constexpr AAX_CTypeID kTwQn = 0x7477516Eu; // 't' 'w' 'Q' 'n'
constexpr AAX_CTypeID kTrwl = 0x5472776Cu; // 'T' 'r' 'w' 'l'
constexpr AAX_CTypeID kOut1 = 0x4F555431u; // 'O' 'U' 'T' '1'
constexpr AAX_CTypeID kForeign = 0x61626364u; // 'a' 'b' 'c' 'd'

constexpr int kStateSize = 29 * 8;

using Values = std::vector<double>;

const char* const kNames[29] = {"Volume",
                                "Mix",
                                "Grain Mode",
                                "Grain Length",
                                "Grain Sync",
                                "Grain Frequency",
                                "Grain Overlap",
                                "Grain Fade-In",
                                "Grain Skew",
                                "Grain Fade-Out",
                                "Frame Length",
                                "Frame Sync",
                                "Frame Sync to Host",
                                "Frame Overlap",
                                "Frame Fade-In",
                                "Frame Skew",
                                "Frame Fade-Out",
                                "MIDI Polyphony",
                                "MIDI Attack",
                                "MIDI Decay",
                                "MIDI Sustain",
                                "MIDI Release",
                                "",
                                "",
                                "",
                                "",
                                "",
                                "",
                                ""};

const Values kDefaults = {1.0, 1.0, 0.0, 20.0, 10.0, 110.0, 0.0,  0.0, 0.0, 0.0, 160.0, 10.0, 0.0, 0.0, 0.0,
                          0.0, 0.0, 4.0, 0.0,  0.0,  1.0,   0.05, 0.0, 0.0, 0.0, 0.0,   0.0,  0.0, 0.0};

// Normalised forms of the defaults: linear (v − min)/(max − min), power 4 ((v − min)/(max − min))^¼.
const Values kDefaultsNormalized = {0.5,
                                    1.0,
                                    0.0,
                                    std::pow(19.8 / 1999.8, 0.25),
                                    10.0 / 19.0,
                                    std::pow(94.0 / 4984.0, 0.25),
                                    0.0,
                                    0.0,
                                    0.5,
                                    0.0,
                                    std::pow(159.8 / 4999.8, 0.25),
                                    10.0 / 19.0,
                                    0.0,
                                    0.0,
                                    0.0,
                                    0.5,
                                    0.0,
                                    3.0 / 7.0,
                                    0.0,
                                    0.0,
                                    1.0,
                                    0.05,
                                    0.0,
                                    0.0,
                                    0.0,
                                    0.0,
                                    0.0,
                                    0.0,
                                    0.0};

// In range and on their steps, all different from the defaults; the power-curve values sit at
// the middle of their travel (min + (max − min)/16).
const Values kStored = {0.7,      0.35, 2.0,   125.1875, 13.0,  327.5, 25.0,  0.3,  -0.4, 0.6,
                        312.6875, 3.0,  1.0,   12.0,     0.15,  0.25,  0.45,  6.0,  0.1,  0.2,
                        0.8,      0.65, 0.125, 0.25,     0.375, 0.5,   0.625, 0.75, 0.875};
const Values kStoredNormalized = {0.35, 0.35,       2.0 / 3.0, 0.5,  13.0 / 19.0, 0.5,   0.5,   0.3,       0.3,  0.6,
                                  0.5,  3.0 / 19.0, 1.0,       0.24, 0.15,        0.625, 0.45,  5.0 / 7.0, 0.1,  0.2,
                                  0.8,  0.65,       0.125,     0.25, 0.375,       0.5,   0.625, 0.75,      0.875};

std::string hostID(int paramIdx)
{
  return std::to_string(paramIdx + 1);
}

// A chunk as the host would hand it back: the doubles' raw bytes, optionally cut short.
AAX_SPlugInChunk chunkOf(const Values& values, int size = -1, AAX_CTypeID id = kTwQn)
{
  AAX_SPlugInChunk chunk;
  chunk.fChunkID = id;
  chunk.fData.resize(values.size() * 8);
  std::memcpy(chunk.fData.data(), values.data(), chunk.fData.size());
  if (size >= 0)
    chunk.fData.resize(static_cast<size_t>(size));
  chunk.fSize = static_cast<std::int32_t>(chunk.fData.size());
  return chunk;
}

Values valuesIn(const AAX_SPlugInChunk& chunk)
{
  Values values(static_cast<size_t>(chunk.fSize) / 8);
  std::memcpy(values.data(), chunk.fData.data(), values.size() * 8);
  return values;
}

std::uint64_t bitsOf(double v)
{
  std::uint64_t bits = 0;
  std::memcpy(&bits, &v, 8);
  return bits;
}

class QuennetAAX : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plug::RunLoop::Main().SetClock(sClock); }

  void SetUp() override
  {
    effect.reset(static_cast<IPluginAAX*>(IPluginAAX::Create()));
    ASSERT_NE(effect->GetPlug(), nullptr);
    ASSERT_EQ(effect->Initialize(&manager), AAX_SUCCESS);
  }

  Quennet& plugin() { return static_cast<Quennet&>(*effect->GetPlug()); }

  Values values()
  {
    Values v;
    for (int i = 0; i < 29; ++i)
      v.push_back(plugin().GetParam(i)->GetValue());
    return v;
  }

  std::int32_t changes() const
  {
    std::int32_t n = -1;
    EXPECT_EQ(effect->GetNumberOfChanges(&n), AAX_SUCCESS);
    return n;
  }

  std::vector<int> setCounts()
  {
    std::vector<int> counts;
    for (int i = 0; i < 29; ++i)
      counts.push_back(manager.Find(hostID(i))->setCount);
    return counts;
  }

  // One block through the render entry; the input is a fixed pair of signals.
  void render(int frames, const std::vector<AAX_MidiPacket>& midi = {}, const AAX_Transport* transport = nullptr,
              bool bypass = false)
  {
    inL.assign(static_cast<size_t>(frames), 0.0f);
    inR.assign(static_cast<size_t>(frames), 0.0f);
    for (int i = 0; i < frames; ++i) {
      inL[static_cast<size_t>(i)] = 0.5f * std::sin(0.05f * static_cast<float>(i));
      inR[static_cast<size_t>(i)] = 0.25f * std::cos(0.031f * static_cast<float>(i));
    }
    outL.assign(static_cast<size_t>(frames), 9.0f);
    outR.assign(static_cast<size_t>(frames), 9.0f);
    const float* in[2] = {inL.data(), inR.data()};
    float* out[2] = {outL.data(), outR.data()};
    AAX_RenderContext context;
    context.inputs = in;
    context.outputs = out;
    context.bufferSize = frames;
    context.midiPackets = midi.data();
    context.numMidiPackets = static_cast<std::int32_t>(midi.size());
    context.transport = transport;
    context.bypass = bypass;
    effect->RenderAudio(context);
  }

  // One 20 ms tick of the user-interface timer.
  static void tick()
  {
    sClock.Advance(plug::IPluginAPIBase::kTimerIntervalMs);
    plug::RunLoop::Main().Pump();
  }

  static plug::ManualClock sClock;
  TempHome home;
  AAX_ParameterManager manager;
  std::unique_ptr<IPluginAAX> effect;
  std::vector<float> inL, inR, outL, outR;
};

plug::ManualClock QuennetAAX::sClock;

} // namespace

// Description ------------------------------------------------------------------------------------

TEST(QuennetDescription, DeclaresEveryValueOfTheEffect)
{
  AAX_ICollection collection;
  EXPECT_EQ(GetEffectDescriptions(&collection), AAX_SUCCESS);
  EXPECT_TRUE(collection.assertions.empty());

  ASSERT_EQ(collection.descriptors.size(), 1u);
  const AAX_IEffectDescriptor& d = *collection.descriptors[0];
  EXPECT_EQ(d.names, (std::vector<std::string>{"Quennet", "Qnet"}));
  EXPECT_EQ(collection.packageNames, (std::vector<std::string>{"Quennet", "Qnet"}));
  EXPECT_EQ(d.categories, std::vector<std::uint32_t>{0u});

  ASSERT_EQ(d.components.size(), 1u);
  const AAX_ComponentSetup& c = d.components[0];
  EXPECT_EQ(c.inputStemFormat, "stereo");
  EXPECT_EQ(c.outputStemFormat, "stereo");
  EXPECT_FALSE(c.sideChainInput);
  EXPECT_EQ(c.auxOutputStems, 0);
  EXPECT_EQ(c.manufacturerID, kTrwl);
  EXPECT_EQ(c.productID, kTwQn);
  EXPECT_EQ(c.nativePlugInID, kOut1);
  EXPECT_EQ(c.audioSuitePlugInID, 0x00494E31u);
  EXPECT_EQ(c.midiInputNodeName, "Quennet Midi");
  EXPECT_EQ(c.midiInputChannelMask, 0x0001u);
  EXPECT_FALSE(c.globalMidi);
  EXPECT_FALSE(c.midiOutput);
  EXPECT_TRUE(c.transportRequested);
  EXPECT_EQ(c.masterBypassName, "Master Bypass");
  EXPECT_EQ(c.masterBypassOffText, "bypass");
  EXPECT_EQ(c.masterBypassOnText, "on");
  EXPECT_FALSE(c.hostGeneratedGUI);
  EXPECT_TRUE(c.algorithmDescribed);

  ASSERT_EQ(d.procPtrs.size(), 2u);
  EXPECT_EQ(d.procPtrs.at("EffectParameters"), &IPluginAAX::Create);
  EXPECT_EQ(d.procPtrs.at("EffectGUI"), &AAX_CEffectGUI_Plugin::Create);

  ASSERT_EQ(collection.effects.size(), 1u);
  EXPECT_EQ(collection.effects.begin()->first, "example.tarnwellmusic.aax.Quennet");
  EXPECT_EQ(collection.effects.begin()->second, &d);
  EXPECT_EQ(collection.manufacturerName, "Tarnwell Music");
  EXPECT_EQ(collection.packageVersion, 0x00010102u); // 1.1.2
}

TEST(QuennetDescription, ConfigurationRecordCarriesTheSameValues)
{
  const plug::Config& config = plug::PlugConfig();
  EXPECT_EQ(config.nParams, 29);
  EXPECT_EQ(config.nPresets, 10);
  EXPECT_STREQ(config.channelIOStr, "2-2");
  EXPECT_STREQ(config.pluginName, "Quennet");
  EXPECT_STREQ(config.productName, "Quennet");
  EXPECT_STREQ(config.mfrName, "Tarnwell Music");
  EXPECT_EQ(config.vendorVersion, 0x00010102);
  EXPECT_EQ(static_cast<AAX_CTypeID>(config.uniqueID), kTwQn);
  EXPECT_EQ(static_cast<AAX_CTypeID>(config.mfrID), kTrwl);
  EXPECT_EQ(config.latency, 0);
  EXPECT_TRUE(config.plugDoesMidiIn);
  EXPECT_FALSE(config.plugDoesMidiOut);
  EXPECT_TRUE(config.plugHasUI);
  EXPECT_EQ(config.plugWidth, 984);
  EXPECT_EQ(config.plugHeight, 432);
  EXPECT_EQ(config.plugMinWidth, 328);
  EXPECT_EQ(config.plugMinHeight, 144);
  EXPECT_EQ(config.plugMaxWidth, 2952);
  EXPECT_EQ(config.plugMaxHeight, 1296);
  EXPECT_STREQ(config.bundleID, "example.tarnwellmusic.aax.Quennet");
  EXPECT_STREQ(config.appGroupID, "group.example.tarnwellmusic.Quennet");
}

TEST(QuennetDescription, FactoryFunctionsMakeTheEffectAndItsEditor)
{
  TempHome home;
  AAX_ICollection collection;
  GetEffectDescriptions(&collection);
  const AAX_IEffectDescriptor& d = *collection.descriptors.at(0);

  std::unique_ptr<IPluginAAX> effect(static_cast<IPluginAAX*>(d.procPtrs.at("EffectParameters")()));
  ASSERT_NE(effect, nullptr);
  ASSERT_NE(effect->GetPlug(), nullptr);
  EXPECT_EQ(effect->GetPlug()->NParams(), 29);
  EXPECT_STREQ(effect->GetPlug()->GetPluginName(), "Quennet");

  std::unique_ptr<AAX_CEffectGUI_Plugin> gui(static_cast<AAX_CEffectGUI_Plugin*>(d.procPtrs.at("EffectGUI")()));
  EXPECT_NE(gui, nullptr);
}

TEST(QuennetDescription, RefusedDescriptorEndsTheDescriptionAtOnce)
{
  AAX_ICollection collection;
  collection.refuseDescriptor = true;
  EXPECT_EQ(GetEffectDescriptions(&collection), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(AAX_ERROR_NULL_OBJECT, -20004);
  EXPECT_TRUE(collection.packageNames.empty());
  EXPECT_TRUE(collection.effects.empty());
  EXPECT_TRUE(collection.manufacturerName.empty());
  EXPECT_EQ(collection.packageVersion, 0u);
  EXPECT_TRUE(collection.assertions.empty());

  EXPECT_EQ(GetEffectDescriptions(nullptr), AAX_ERROR_NULL_OBJECT);
}

TEST(QuennetDescription, FailingCallIsAssertedAndTheDescriptionGoesOn)
{
  struct Case {
    const char* call;
    size_t failures; // how often the description makes this call
  };
  const Case cases[] = {
    {"AddName", 2},    {"AddPackageName", 2}, {"AddCategory", 1},         {"AddComponent", 1},
    {"AddProcPtr", 2}, {"AddEffect", 1},      {"SetManufacturerName", 1}, {"SetPackageVersion", 1},
  };
  constexpr AAX_Result kHostError = -20030;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    AAX_ICollection collection;
    collection.failingCall = c.call;
    collection.failResult = kHostError;
    EXPECT_EQ(GetEffectDescriptions(&collection), kHostError); // the OR of all results
    EXPECT_EQ(collection.assertions, std::vector<std::string>(c.failures, "err == AAX_SUCCESS"));

    // Every later call was still made.
    ASSERT_EQ(collection.descriptors.size(), 1u);
    const AAX_IEffectDescriptor& d = *collection.descriptors[0];
    EXPECT_EQ(d.names.size(), 2u);
    EXPECT_EQ(d.components.size(), 1u);
    EXPECT_EQ(d.procPtrs.size(), 2u);
    EXPECT_EQ(collection.effects.count("example.tarnwellmusic.aax.Quennet"), 1u);
    EXPECT_EQ(collection.manufacturerName, "Tarnwell Music");
    EXPECT_EQ(collection.packageVersion, 0x00010102u);
  }
}

TEST_F(QuennetAAX, NamesItsChannelsQuennetLeftAndRight)
{
  AAX_StemChannelNames names;
  names.input = {"stale"};
  ASSERT_EQ(effect->GetStemChannelNames(&names), AAX_SUCCESS);
  EXPECT_EQ(names.input, (std::vector<std::string>{"Quennet Left", "Quennet Right"}));
  EXPECT_EQ(names.output, (std::vector<std::string>{"Quennet Left", "Quennet Right"}));
  EXPECT_EQ(effect->GetStemChannelNames(nullptr), AAX_ERROR_NULL_OBJECT);
}

// Parameters and host changes --------------------------------------------------------------------

TEST_F(QuennetAAX, RegistersTheParametersUnderOneToTwentyNine)
{
  EXPECT_EQ(manager.NumParameters(), 30); // 29 and the master bypass
  for (int i = 0; i < 29; ++i) {
    SCOPED_TRACE(i);
    const AAX_ParameterManager::Parameter* p = manager.Find(hostID(i));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name, kNames[i]);
    EXPECT_NEAR(p->normalizedValue, kDefaultsNormalized[static_cast<size_t>(i)], 1e-12);
  }
  EXPECT_FALSE(manager.Contains("0"));
  EXPECT_FALSE(manager.Contains("30"));
  const AAX_ParameterManager::Parameter* bypass = manager.Find(IPluginAAX::kMasterBypassID);
  ASSERT_NE(bypass, nullptr);
  EXPECT_EQ(bypass->name, "Master Bypass");
  EXPECT_EQ(bypass->numSteps, 2);
}

TEST_F(QuennetAAX, HostChangeStoresQueuesForTheEditorAndReachesTheEngineAtTheNextBlock)
{
  EditorRecorder editor;
  plugin().AttachEditor(&editor);
  const std::int32_t before = changes();

  EXPECT_EQ(effect->UpdateParameterNormalizedValue("2", 0.25), AAX_SUCCESS);
  EXPECT_EQ(plugin().GetParam(kMix)->GetValue(), 0.25);
  EXPECT_EQ(manager.Find("2")->normalizedValue, 0.25);
  EXPECT_TRUE(effect->IsPacketChanged("2"));
  EXPECT_FALSE(effect->IsPacketChanged("1"));
  EXPECT_EQ(changes(), before + 1);

  // The engine only changes on the audio thread.
  EXPECT_EQ(plugin().mix(), 1.0);
  render(64);
  EXPECT_EQ(plugin().mix(), 0.25);

  // The editor hears of it from the timer.
  EXPECT_TRUE(editor.updates.empty());
  tick();
  ASSERT_EQ(editor.updates.size(), 1u);
  EXPECT_EQ(editor.updates[0].paramIdx, kMix);
  EXPECT_DOUBLE_EQ(editor.updates[0].normalizedValue, 0.25);
  plugin().DetachEditor();
}

TEST_F(QuennetAAX, HostChangesAreShapedRoundedAndClamped)
{
  struct Case {
    const char* name;
    const char* id;
    double normalized;
    int paramIdx;
    double expected;
  };
  const Case cases[] = {
    {"Volume is not stepped", "1", 0.33, kVolume, 0.66},
    {"Grain Length through the power curve", "4", 0.5, kGrainLength, 125.1875},
    {"Grain Mode between steps, nearer 1", "3", 0.4, kGrainMode, 1.0},
    {"Grain Mode half way rounds up", "3", 0.5, kGrainMode, 2.0},
    {"Grain Sync 9.5", "5", 0.5, kGrainSync, 10.0},
    {"Frame Sync 9.88", "12", 0.52, kFrameSync, 10.0},
    {"Frame Sync to Host below half", "13", 0.49, kFrameSyncToHost, 0.0},
    {"Frame Sync to Host above half", "13", 0.51, kFrameSyncToHost, 1.0},
    {"MIDI Polyphony 4.5", "18", 0.5, kMidiPolyphony, 5.0},
    {"Mix above 1", "2", 1.7, kMix, 1.0},
    {"Mix below 0", "2", -0.5, kMix, 0.0},
    {"Mix NaN keeps the value", "2", kNaN, kMix, 1.0},
    {"reserved slot", "29", 0.75, 28, 0.75},
  };
  const AAX_SPlugInChunk defaults = chunkOf(kDefaults);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(effect->SetChunk(kTwQn, &defaults), AAX_SUCCESS);
    EXPECT_EQ(effect->UpdateParameterNormalizedValue(c.id, c.normalized), AAX_SUCCESS);
    EXPECT_DOUBLE_EQ(plugin().GetParam(c.paramIdx)->GetValue(), c.expected);
  }
}

TEST_F(QuennetAAX, SteppedHostChangesReachTheEngine)
{
  effect->UpdateParameterNormalizedValue("3", 0.4); // Grain Mode SYNC
  effect->UpdateParameterNormalizedValue("5", 0.72); // Grain Sync 13.68 -> 14
  effect->UpdateParameterNormalizedValue("13", 0.51); // Frame Sync to Host on
  effect->UpdateParameterNormalizedValue("18", 0.5); // MIDI Polyphony 5
  render(16);
  EXPECT_TRUE(plugin().grainSyncMode());
  EXPECT_FALSE(plugin().midiMode());
  EXPECT_EQ(plugin().grainSyncIndex(), 14);
  EXPECT_TRUE(plugin().frameSyncToHost());
  EXPECT_EQ(plugin().polyphony(), 5);
}

TEST_F(QuennetAAX, IdsThatNameNoParameterChangeNothing)
{
  const Values before = values();
  const std::int32_t changesBefore = changes();
  for (const char* id : {"0", "30", "abc", "", "2x", "01", "-1"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(effect->UpdateParameterNormalizedValue(id, 0.3), AAX_ERROR_INVALID_PARAMETER_ID);
  }
  EXPECT_EQ(effect->UpdateParameterNormalizedValue(nullptr, 0.3), AAX_ERROR_INVALID_PARAMETER_ID);
  EXPECT_EQ(AAX_ERROR_INVALID_PARAMETER_ID, -20001);
  EXPECT_EQ(changes(), changesBefore);
  EXPECT_EQ(setCounts(), std::vector<int>(29, 0));

  // The bypass is the host's own: no plug-in parameter follows it.
  EXPECT_EQ(effect->UpdateParameterNormalizedValue(IPluginAAX::kMasterBypassID, 1.0), AAX_SUCCESS);
  EXPECT_EQ(values(), before);
}

// Chunks -----------------------------------------------------------------------------------------

TEST_F(QuennetAAX, OneChunkWithTheUniqueID)
{
  AAX_CTypeID id = 123;
  EXPECT_EQ(effect->GetChunkIDFromIndex(0, &id), AAX_SUCCESS);
  EXPECT_EQ(id, kTwQn);
  for (std::int32_t index : {1, -1, 2}) {
    SCOPED_TRACE(index);
    id = 123;
    EXPECT_EQ(effect->GetChunkIDFromIndex(index, &id), AAX_ERROR_INVALID_CHUNK_INDEX);
    EXPECT_EQ(id, 0u);
  }
  EXPECT_EQ(AAX_ERROR_INVALID_CHUNK_INDEX, -20006);

  std::uint32_t size = 1;
  EXPECT_EQ(effect->GetChunkSize(kTwQn, &size), AAX_SUCCESS);
  EXPECT_EQ(size, 232u);
  EXPECT_EQ(effect->GetChunkSize(kForeign, &size), AAX_ERROR_INVALID_CHUNK_ID);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(AAX_ERROR_INVALID_CHUNK_ID, -20007);

  AAX_SPlugInChunk chunk;
  EXPECT_EQ(effect->GetChunk(kForeign, &chunk), AAX_ERROR_INVALID_CHUNK_ID);
  EXPECT_EQ(effect->SetChunk(kForeign, &chunk), AAX_ERROR_INVALID_CHUNK_ID);
}

TEST_F(QuennetAAX, ChunkHoldsTheTwentyNineValuesAsDoubles)
{
  AAX_SPlugInChunk chunk;
  ASSERT_EQ(effect->GetChunk(kTwQn, &chunk), AAX_SUCCESS);
  EXPECT_EQ(chunk.fChunkID, kTwQn);
  ASSERT_EQ(chunk.fSize, kStateSize);
  ASSERT_EQ(chunk.fData.size(), 232u);
  EXPECT_EQ(valuesIn(chunk), kDefaults);
}

TEST_F(QuennetAAX, SetChunkRestoresBitForBitAndPushesEveryValueToTheHost)
{
  EditorRecorder editor;
  plugin().AttachEditor(&editor);
  const std::int32_t changesBefore = changes();

  const AAX_SPlugInChunk stored = chunkOf(kStored);
  ASSERT_EQ(effect->SetChunk(kTwQn, &stored), AAX_SUCCESS);
  for (int i = 0; i < 29; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bitsOf(plugin().GetParam(i)->GetValue()), bitsOf(kStored[static_cast<size_t>(i)]));
    const AAX_ParameterManager::Parameter* host = manager.Find(hostID(i));
    EXPECT_EQ(host->setCount, 1);
    EXPECT_NEAR(host->normalizedValue, kStoredNormalized[static_cast<size_t>(i)], 1e-12);
  }
  EXPECT_EQ(changes(), changesBefore + 1);

  // What the host reads back is what it stored.
  AAX_SPlugInChunk again;
  ASSERT_EQ(effect->GetChunk(kTwQn, &again), AAX_SUCCESS);
  EXPECT_EQ(again.fData, stored.fData);

  // The editor is told every value.
  ASSERT_EQ(editor.updates.size(), 29u);
  for (int i = 0; i < 29; ++i)
    EXPECT_NEAR(editor.updates[static_cast<size_t>(i)].normalizedValue, kStoredNormalized[static_cast<size_t>(i)],
                1e-12);
  plugin().DetachEditor();

  // The engine follows at the next block.
  render(32);
  EXPECT_EQ(plugin().volume(), 0.7);
  EXPECT_EQ(plugin().mix(), 0.35);
  EXPECT_TRUE(plugin().grainFreqMode());
  EXPECT_EQ(plugin().grainSyncIndex(), 13);
  EXPECT_EQ(plugin().frameSyncIndex(), 3);
  EXPECT_TRUE(plugin().frameSyncToHost());
  EXPECT_EQ(plugin().polyphony(), 6);
}

TEST_F(QuennetAAX, ChunkOneByteShortSetsTheLastParameterToZero)
{
  ASSERT_EQ(effect->UpdateParameterNormalizedValue("29", 1.0), AAX_SUCCESS);
  ASSERT_EQ(plugin().GetParam(28)->GetValue(), 1.0);

  const AAX_SPlugInChunk shortChunk = chunkOf(kStored, kStateSize - 1);
  EXPECT_EQ(effect->SetChunk(kTwQn, &shortChunk), AAX_SUCCESS); // the restore's result is not examined
  Values expected = kStored;
  expected[28] = 0.0;
  EXPECT_EQ(values(), expected);
  EXPECT_EQ(manager.Find("29")->normalizedValue, 0.0);

  // The state restore underneath reports the short chunk.
  plug::IByteChunk state;
  state.PutBytes(shortChunk.fData.data(), shortChunk.fSize);
  EXPECT_EQ(plugin().UnserializeState(state, 0), -1);
}

TEST_F(QuennetAAX, StoredValuesAreConstrainedAndNeverNonFinite)
{
  struct Case {
    const char* name;
    int paramIdx;
    double stored;
    double expected;
  };
  const Case cases[] = {
    {"Volume above the maximum", kVolume, 5.0, 2.0},
    {"Volume off its step: not stepped", kVolume, 0.15, 0.15},
    {"Mix below the minimum", kMix, -1.0, 0.0},
    {"Grain Mode between steps", kGrainMode, 2.4, 2.0},
    {"Grain Mode half way", kGrainMode, 2.5, 3.0},
    {"Grain Mode above the range", kGrainMode, 7.0, 3.0},
    {"Grain Length below the minimum", kGrainLength, 0.05, 0.2},
    {"Grain Sync above the range", kGrainSync, 25.0, 19.0},
    {"Grain Sync half way", kGrainSync, 3.5, 4.0},
    {"Frame Length far above", kFrameLength, 1e9, 5000.0},
    {"Frame Sync to Host between", kFrameSyncToHost, 0.7, 1.0},
    {"MIDI Polyphony below", kMidiPolyphony, 0.0, 1.0},
    {"MIDI Polyphony half way", kMidiPolyphony, 4.5, 5.0},
    {"reserved above its range", 28, 3.0, 1.0},
    {"NaN keeps the previous value", kMix, kNaN, 0.35},
    {"NaN in a stepped parameter", kGrainMode, kNaN, 2.0},
    {"+inf clamps", kVolume, kInf, 2.0},
    {"-inf clamps", kGrainSkew, -kInf, -1.0},
    {"+inf in a stepped parameter", kGrainSync, kInf, 19.0},
    {"-inf in an int", kMidiPolyphony, -kInf, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AAX_SPlugInChunk previous = chunkOf(kStored);
    ASSERT_EQ(effect->SetChunk(kTwQn, &previous), AAX_SUCCESS);
    Values stored = kStored;
    stored[static_cast<size_t>(c.paramIdx)] = c.stored;
    const AAX_SPlugInChunk chunk = chunkOf(stored);
    ASSERT_EQ(effect->SetChunk(kTwQn, &chunk), AAX_SUCCESS);
    Values expected = kStored;
    expected[static_cast<size_t>(c.paramIdx)] = c.expected;
    EXPECT_EQ(values(), expected);
    for (int i = 0; i < 29; ++i)
      EXPECT_TRUE(std::isfinite(manager.Find(hostID(i))->normalizedValue));
  }
}

TEST_F(QuennetAAX, CompareActiveChunkWithinSinglePrecisionTolerance)
{
  Values current = kStored;
  current[kFrameLength] = 4000.0; // floats near 4000 are 2.44e-4 apart
  current[kMix] = 0.5;
  const AAX_SPlugInChunk active = chunkOf(current);
  ASSERT_EQ(effect->SetChunk(kTwQn, &active), AAX_SUCCESS);

  struct Case {
    const char* name;
    int paramIdx;
    double stored;
    bool equal;
  };
  const Case cases[] = {
    {"unchanged", kMix, 0.5, true},
    {"Mix 9e-6 apart", kMix, 0.500009, true},
    {"Mix 1.1e-5 apart", kMix, 0.500011, false},
    {"Frame Length 1e-4 apart but the same float", kFrameLength, 4000.0001, true},
    {"Frame Length on the next float", kFrameLength, 4000.0002, false},
    {"Grain Mode", kGrainMode, 1.0, false},
    {"NaN", kVolume, kNaN, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Values stored = current;
    stored[static_cast<size_t>(c.paramIdx)] = c.stored;
    const AAX_SPlugInChunk chunk = chunkOf(stored);
    bool equal = !c.equal;
    EXPECT_EQ(effect->CompareActiveChunk(&chunk, &equal), AAX_SUCCESS);
    EXPECT_EQ(equal, c.equal);
  }
}

TEST_F(QuennetAAX, CompareActiveChunkWithForeignOrShortChunks)
{
  bool equal = false;
  AAX_SPlugInChunk foreign;
  foreign.fChunkID = kForeign;
  foreign.fData = {1, 2, 3};
  foreign.fSize = 3;
  EXPECT_EQ(effect->CompareActiveChunk(&foreign, &equal), AAX_SUCCESS);
  EXPECT_TRUE(equal);

  // Our id but too short for 29 values: not equal, and nothing beyond the chunk is read.
  AAX_SPlugInChunk sizeShort = chunkOf(kDefaults);
  sizeShort.fSize = kStateSize - 1;
  equal = true;
  EXPECT_EQ(effect->CompareActiveChunk(&sizeShort, &equal), AAX_SUCCESS);
  EXPECT_FALSE(equal);

  AAX_SPlugInChunk dataShort = chunkOf(kDefaults, 100);
  dataShort.fSize = kStateSize; // claims more than it holds
  equal = true;
  EXPECT_EQ(effect->CompareActiveChunk(&dataShort, &equal), AAX_SUCCESS);
  EXPECT_FALSE(equal);
}

TEST_F(QuennetAAX, SetChunkWithAForeignIDChangesNothing)
{
  const Values before = values();
  const std::int32_t changesBefore = changes();
  const AAX_SPlugInChunk chunk = chunkOf(kStored, -1, kForeign);
  EXPECT_EQ(effect->SetChunk(kForeign, &chunk), AAX_ERROR_INVALID_CHUNK_ID);
  EXPECT_EQ(values(), before);
  EXPECT_EQ(changes(), changesBefore);
  EXPECT_EQ(setCounts(), std::vector<int>(29, 0));
}

// Render entry -----------------------------------------------------------------------------------

TEST_F(QuennetAAX, RenderEntryPassesTransportMidiAndBypass)
{
  AAX_Transport transport;
  transport.tempo = 90.0;
  transport.isPlaying = true;
  transport.tickPosition = 2 * 960000;
  transport.samplePosition = 88200;
  transport.numerator = 3;
  transport.denominator = 8;
  render(64, {}, &transport);
  const plug::ITransportInfo& info = plugin().GetTransportInfo();
  EXPECT_EQ(info.mTempo, 90.0);
  EXPECT_EQ(info.mPPQPos, 2.0);
  EXPECT_EQ(info.mSamplePos, 88200.0);
  EXPECT_EQ(info.mNumerator, 3);
  EXPECT_EQ(info.mDenominator, 8);
  EXPECT_TRUE(info.mTransportIsRunning);

  // Bypassed: the input comes out unchanged.
  render(64, {}, nullptr, true);
  EXPECT_EQ(outL, inL);
  EXPECT_EQ(outR, inR);

  // Fully dry at unity volume: the input comes out unchanged through the engine too.
  effect->UpdateParameterNormalizedValue("2", 0.0);
  render(64);
  EXPECT_EQ(outL, inL);
  EXPECT_EQ(outR, inR);

  // A note in mode "MIDI" reaches a voice.
  effect->UpdateParameterNormalizedValue("3", 1.0);
  AAX_MidiPacket noteOn;
  noteOn.timestamp = 3;
  noteOn.data[0] = 0x90;
  noteOn.data[1] = 60;
  noteOn.data[2] = 100;
  render(64, {noteOn});
  EXPECT_TRUE(plugin().midiMode());
  EXPECT_TRUE(plugin().noteActive());
}

TEST_F(QuennetAAX, RenderEntryReadsNoPacketsWhereTheHostGivesACountButNoList)
{
  effect->UpdateParameterNormalizedValue("3", 1.0); // mode "MIDI"
  inL.assign(16, 0.0f);
  outL.assign(16, 9.0f);
  outR.assign(16, 9.0f);
  const float* in[2] = {inL.data(), inL.data()};
  float* out[2] = {outL.data(), outR.data()};
  AAX_RenderContext context;
  context.inputs = in;
  context.outputs = out;
  context.bufferSize = 16;
  context.midiPackets = nullptr;
  context.numMidiPackets = 3;
  effect->RenderAudio(context);
  EXPECT_FALSE(plugin().noteActive());
}

// Failed construction ----------------------------------------------------------------------------

namespace {

// The host's factory call with the `failAt`-th allocation it makes failing for lack of memory
// (1: the effect object itself, 2: the plug-in instance, later: inside its constructor).
std::unique_ptr<IPluginAAX> createWithFailingAllocation(long failAt, bool* failed = nullptr)
{
  alloc_fail::FailingAllocations failing(failAt);
  std::unique_ptr<IPluginAAX> effect(static_cast<IPluginAAX*>(IPluginAAX::Create()));
  if (failed)
    *failed = failing.failed();
  return effect;
}

// A host that carries on with an effect whose plug-in could not be made: every call answers
// AAX_ERROR_NULL_OBJECT with neutral results, the render entry gives silence.
void expectNullObjectEverywhere(IPluginAAX& effect)
{
  ASSERT_EQ(effect.GetPlug(), nullptr);
  AAX_ParameterManager manager;
  EXPECT_EQ(effect.Initialize(&manager), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(manager.NumParameters(), 0);
  EXPECT_EQ(effect.UpdateParameterNormalizedValue("1", 0.5), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(effect.UpdateParameterNormalizedValue(IPluginAAX::kMasterBypassID, 1.0), AAX_ERROR_NULL_OBJECT);
  EXPECT_FALSE(effect.IsPacketChanged("1"));
  std::int32_t numChanges = 7;
  EXPECT_EQ(effect.GetNumberOfChanges(&numChanges), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(numChanges, 0);

  AAX_CTypeID id = 123;
  EXPECT_EQ(effect.GetChunkIDFromIndex(0, &id), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(id, 0u);
  std::uint32_t size = 1;
  EXPECT_EQ(effect.GetChunkSize(kTwQn, &size), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(size, 0u);
  AAX_SPlugInChunk chunk;
  EXPECT_EQ(effect.GetChunk(kTwQn, &chunk), AAX_ERROR_NULL_OBJECT);
  EXPECT_EQ(chunk.fSize, 0);
  const AAX_SPlugInChunk stored = chunkOf(kStored);
  EXPECT_EQ(effect.SetChunk(kTwQn, &stored), AAX_ERROR_NULL_OBJECT);
  bool equal = true;
  EXPECT_EQ(effect.CompareActiveChunk(&stored, &equal), AAX_ERROR_NULL_OBJECT);
  EXPECT_FALSE(equal);
  AAX_StemChannelNames names;
  EXPECT_EQ(effect.GetStemChannelNames(&names), AAX_ERROR_NULL_OBJECT);

  // Render calls of every kind: silence over the whole block, nothing read from the inputs.
  constexpr int kFrames = 64;
  std::vector<float> inL(kFrames, 0.5f), inR(kFrames, -0.5f);
  const float* in[2] = {inL.data(), inR.data()};
  AAX_MidiPacket noteOn;
  noteOn.data[0] = 0x90;
  noteOn.data[1] = 60;
  noteOn.data[2] = 100;
  const AAX_Transport transport;
  for (const bool bypass : {false, true}) {
    SCOPED_TRACE(bypass ? "bypassed" : "processing");
    std::vector<float> outL(kFrames, 9.0f), outR(kFrames, 9.0f);
    float* out[2] = {outL.data(), outR.data()};
    AAX_RenderContext context;
    context.inputs = in;
    context.outputs = out;
    context.bufferSize = kFrames;
    context.midiPackets = &noteOn;
    context.numMidiPackets = 1;
    context.transport = &transport;
    context.bypass = bypass;
    effect.RenderAudio(context);
    EXPECT_EQ(outL, std::vector<float>(kFrames, 0.0f));
    EXPECT_EQ(outR, std::vector<float>(kFrames, 0.0f));
  }
  // Outputs the host left out are skipped.
  std::vector<float> outR(kFrames, 9.0f);
  float* onlyRight[2] = {nullptr, outR.data()};
  AAX_RenderContext context;
  context.outputs = onlyRight;
  context.bufferSize = kFrames;
  effect.RenderAudio(context);
  EXPECT_EQ(outR, std::vector<float>(kFrames, 0.0f));
}

} // namespace

TEST(QuennetAAXFailedConstruction, NoMemoryForThePluginLeavesAnEffectThatAnswersNullObject)
{
  TempHome home;
  bool failed = false;
  std::unique_ptr<IPluginAAX> effect = createWithFailingAllocation(2, &failed);
  ASSERT_TRUE(failed);
  ASSERT_NE(effect, nullptr);
  expectNullObjectEverywhere(*effect);
  EXPECT_EQ(AAX_ERROR_NULL_OBJECT, -20004);
}

TEST(QuennetAAXFailedConstruction, NoMemoryForTheEffectObjectGivesTheHostNone)
{
  TempHome home;
  bool failed = false;
  EXPECT_EQ(createWithFailingAllocation(1, &failed), nullptr);
  EXPECT_TRUE(failed);
  std::unique_ptr<AAX_CEffectGUI_Plugin> gui;
  {
    alloc_fail::FailingAllocations failing(1);
    gui.reset(static_cast<AAX_CEffectGUI_Plugin*>(AAX_CEffectGUI_Plugin::Create()));
  }
  EXPECT_EQ(gui, nullptr);
}

// Out of memory at each allocation of the constructor in turn: the partly built plug-in is
// unwound (the sanitizer build checks that nothing leaks) and the effect either has a whole
// plug-in or answers AAX_ERROR_NULL_OBJECT to everything.
TEST(QuennetAAXFailedConstruction, NoMemoryAnywhereInTheConstructor)
{
  TempHome home;
  createWithFailingAllocation(0); // the process-wide parts (INI store, run loop) exist from here on

  int failedConstructions = 0;
  long failAt = 2;
  for (;; ++failAt) {
    SCOPED_TRACE(failAt);
    bool failed = false;
    std::unique_ptr<IPluginAAX> effect = createWithFailingAllocation(failAt, &failed);
    ASSERT_NE(effect, nullptr);
    if (!failed) {
      ASSERT_NE(effect->GetPlug(), nullptr); // the construction needs fewer allocations
      break;
    }
    if (effect->GetPlug())
      continue; // that allocation's failure was absorbed (a preset or the tuning client less)
    ++failedConstructions;
    expectNullObjectEverywhere(*effect);
  }
  EXPECT_GT(failAt, 100) << "the constructor allocates its parameters, presets and queues";
  EXPECT_GT(failedConstructions, 0);
}
