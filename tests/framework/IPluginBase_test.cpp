// SPDX-License-Identifier: ISC
#include "framework/IPluginBase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Recorders.h"
#include "framework/IPlugin.h"

using plug::IByteChunk;
using plug::IParam;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A plug-in with one parameter of each kind, an uninitialised slot like a reserved one, and the
// int parameter last so that a chunk one byte short leaves it at 0 clamped to its minimum 1.
class StatePlugin final : public plug::IPlugin {
public:
  enum { kGain, kFreq, kDetune, kMode, kSwitch, kReserved, kVoices, kNumParams };
  static constexpr int kNumPresets = 4;
  static constexpr int kChunkSize = kNumParams * 8;

  static plug::Config config()
  {
    plug::Config c;
    c.nParams = kNumParams;
    c.nPresets = kNumPresets;
    c.pluginName = "State";
    c.uniqueID = plug::FourCharCode("tSt1");
    return c;
  }

  StatePlugin() : plug::IPlugin(config())
  {
    GetParam(kGain)->InitDouble("Gain", 0.5, 0.0, 2.0, 0.01); // not stepped
    GetParam(kFreq)->InitDouble("Freq", 440.0, 20.0, 20000.0, 1.0); // not stepped
    GetParam(kDetune)->InitDouble("Detune", 0.0, -1.0, 1.0, 0.25, "", IParam::kParamFlagStepped);
    GetParam(kMode)->InitEnum("Mode", 1, {"A", "B", "C"});
    GetParam(kSwitch)->InitBool("Switch", false);
    GetParam(kVoices)->InitInt("Voices", 3, 1, 8);
  }
  ~StatePlugin() override { StopTimer(); }

  void OnParamChange(int paramIdx) override { dispatched.push_back(paramIdx); }
  void OnPresetsModified() override { ++presetsModified; }
  void ProcessBlock(double**, double**, int) override {}

  std::vector<double> values() const
  {
    std::vector<double> v;
    for (int i = 0; i < NParams(); ++i)
      v.push_back(GetParam(i)->GetValue());
    return v;
  }
  void setValues(const std::vector<double>& v)
  {
    for (int i = 0; i < NParams(); ++i)
      GetParam(i)->SetValue(v[static_cast<size_t>(i)]);
  }

  std::vector<int> dispatched;
  int presetsModified = 0;
};

using Values = std::vector<double>;

const Values kDefaults = {0.5, 440.0, 0.0, 1.0, 0.0, 0.0, 3.0};
// Distinct, in range and on their steps.
const Values kSetA = {1.25, 1234.0, -0.75, 2.0, 1.0, 0.5, 7.0};
const Values kSetB = {0.1, 9876.5432109876, 0.25, 0.0, 0.0, 0.3, 2.0};

// A state chunk made by hand, independently of the code under test.
IByteChunk chunkOf(const Values& values, int prefixBytes = 0)
{
  IByteChunk chunk;
  for (int i = 0; i < prefixBytes; ++i) {
    const std::uint8_t junk = 0xA5;
    chunk.Put(&junk);
  }
  for (double v : values) {
    std::uint8_t raw[8];
    std::memcpy(raw, &v, 8);
    chunk.PutBytes(raw, 8);
  }
  return chunk;
}

IByteChunk truncated(const IByteChunk& chunk, int size)
{
  IByteChunk cut;
  cut.PutBytes(chunk.GetData(), size);
  return cut;
}

Values valuesIn(const IByteChunk& chunk, int startPos = 0)
{
  Values values;
  for (int pos = startPos; pos + 8 <= chunk.Size(); pos += 8) {
    double v = 0.0;
    std::memcpy(&v, chunk.GetData() + pos, 8);
    values.push_back(v);
  }
  return values;
}

std::uint64_t bitsOf(double v)
{
  std::uint64_t bits = 0;
  std::memcpy(&bits, &v, 8);
  return bits;
}

std::vector<int> allIndices()
{
  return {0, 1, 2, 3, 4, 5, 6};
}

std::vector<std::string> presetNames(const StatePlugin& p)
{
  std::vector<std::string> names;
  for (int i = 0; i < p.NPresets(); ++i)
    names.emplace_back(p.GetPresetName(i));
  return names;
}

// MakePreset with values typed as the framework reads them: int for bool, int and enum.
void makePreset(StatePlugin& p, const char* name, const Values& v)
{
  p.MakePreset(name, v[0], v[1], v[2], static_cast<int>(v[3]), static_cast<int>(v[4]), v[5], static_cast<int>(v[6]));
}

} // namespace

// State chunk ------------------------------------------------------------------------------------

TEST(PluginState, SerializeAppendsOneDoublePerParameterInIndexOrder)
{
  StatePlugin p;
  p.setValues(kSetA);
  IByteChunk chunk = chunkOf({}, 3); // something already in the chunk stays in front
  EXPECT_TRUE(p.SerializeParams(chunk));
  EXPECT_EQ(chunk, chunkOf(kSetA, 3));

  IByteChunk state;
  EXPECT_TRUE(p.SerializeState(state));
  EXPECT_EQ(state.Size(), StatePlugin::kChunkSize);
}

TEST(PluginState, RestoresEveryValueBitForBitAndDispatchesEachOnce)
{
  StatePlugin p;
  const IByteChunk chunk = chunkOf(kSetB, 5);
  EXPECT_EQ(p.UnserializeParams(chunk, 5), 5 + StatePlugin::kChunkSize);
  for (int i = 0; i < StatePlugin::kNumParams; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(bitsOf(p.GetParam(i)->GetValue()), bitsOf(kSetB[static_cast<size_t>(i)]));
  }
  EXPECT_EQ(p.dispatched, allIndices());

  // And back through the plug-in's own serialisation.
  IByteChunk again;
  p.SerializeState(again);
  EXPECT_EQ(again, chunkOf(kSetB));
}

TEST(PluginState, ShortChunkSetsTheFirstMissingValueToZeroClampedAndStops)
{
  struct Case {
    const char* name;
    int size;
    Values expected;
  };
  // Previous values kSetA; the chunk holds kSetB.
  const Case cases[] = {
    {"one byte short", StatePlugin::kChunkSize - 1, {0.1, 9876.5432109876, 0.25, 0.0, 0.0, 0.3, 1.0}},
    {"cut inside the third value", 20, {0.1, 9876.5432109876, 0.0, 2.0, 1.0, 0.5, 7.0}},
    {"empty", 0, {0.0, 1234.0, -0.75, 2.0, 1.0, 0.5, 7.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StatePlugin p;
    p.setValues(kSetA);
    EXPECT_EQ(p.UnserializeState(truncated(chunkOf(kSetB), c.size), 0), -1);
    EXPECT_EQ(p.values(), c.expected);
    EXPECT_EQ(p.dispatched, allIndices()); // every parameter is dispatched all the same
  }
}

TEST(PluginState, NegativeStartReadsNothing)
{
  StatePlugin p;
  p.setValues(kSetA);
  EXPECT_LT(p.UnserializeParams(chunkOf(kSetB), -1), 0);
  EXPECT_EQ(p.values(), kSetA);
}

TEST(PluginState, OutOfRangeAndOffStepValuesAreConstrained)
{
  struct Case {
    const char* name;
    int paramIdx;
    double stored;
    double expected;
  };
  const Case cases[] = {
    {"above the maximum", StatePlugin::kGain, 5.0, 2.0},
    {"below the minimum", StatePlugin::kGain, -1.0, 0.0},
    {"off-step, not stepped: kept", StatePlugin::kGain, 0.123, 0.123},
    {"below the minimum of a wide range", StatePlugin::kFreq, 5.0, 20.0},
    {"stepped double, nearer the lower step", StatePlugin::kDetune, 0.3, 0.25},
    {"stepped double, half way rounds away from zero", StatePlugin::kDetune, 0.375, 0.5},
    {"stepped double, negative half way", StatePlugin::kDetune, -0.375, -0.5},
    {"stepped double above the maximum", StatePlugin::kDetune, 7.0, 1.0},
    {"enum between steps", StatePlugin::kMode, 1.4, 1.0},
    {"enum half way", StatePlugin::kMode, 1.5, 2.0},
    {"enum below the range", StatePlugin::kMode, -3.0, 0.0},
    {"bool between the states", StatePlugin::kSwitch, 0.6, 1.0},
    {"int half way", StatePlugin::kVoices, 4.5, 5.0},
    {"int above the maximum", StatePlugin::kVoices, 100.0, 8.0},
    {"uninitialised slot above its range", StatePlugin::kReserved, 2.0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StatePlugin p;
    Values stored = kSetA;
    stored[static_cast<size_t>(c.paramIdx)] = c.stored;
    EXPECT_EQ(p.UnserializeState(chunkOf(stored), 0), StatePlugin::kChunkSize);
    Values expected = kSetA;
    expected[static_cast<size_t>(c.paramIdx)] = c.expected;
    EXPECT_EQ(p.values(), expected);
  }
}

TEST(PluginState, NonFiniteValuesInStateOrPresetNeverReachAParameter)
{
  // NaN keeps the previous value, infinities clamp; reading goes on past them.
  const Values stored = {kNaN, kInf, -kInf, kNaN, -kInf, kNaN, kInf};
  const Values expected = {1.25, 20000.0, -1.0, 2.0, 0.0, 0.5, 8.0};

  {
    SCOPED_TRACE("state chunk");
    StatePlugin p;
    p.setValues(kSetA);
    EXPECT_EQ(p.UnserializeState(chunkOf(stored), 0), StatePlugin::kChunkSize);
    EXPECT_EQ(p.values(), expected);
  }
  {
    SCOPED_TRACE("preset chunk");
    StatePlugin p;
    p.MakePresetFromChunk("broken", chunkOf(stored));
    p.setValues(kSetA);
    EXPECT_TRUE(p.RestorePreset(0));
    EXPECT_EQ(p.values(), expected);
    for (int i = 0; i < p.NParams(); ++i)
      EXPECT_TRUE(std::isfinite(p.GetParam(i)->GetNormalized()));
  }
}

TEST(PluginState, CompareStateToleranceIsInSinglePrecision)
{
  struct Case {
    const char* name;
    int paramIdx;
    double current;
    double stored;
    bool equal;
  };
  const Case cases[] = {
    {"identical", StatePlugin::kGain, 0.5, 0.5, true},
    {"9e-6 apart", StatePlugin::kGain, 0.5, 0.500009, true},
    {"1.1e-5 apart", StatePlugin::kGain, 0.5, 0.500011, false},
    // 2e-5 apart as doubles, but the same float (floats near 1000 are 6.1e-5 apart).
    {"same float", StatePlugin::kFreq, 1000.0, 1000.00002, true},
    {"next float", StatePlugin::kFreq, 1000.0, 1000.00005, false},
    {"NaN", StatePlugin::kMode, 2.0, kNaN, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StatePlugin p;
    Values current = kSetA;
    current[static_cast<size_t>(c.paramIdx)] = c.current;
    p.setValues(current);
    Values data = {99.0, -99.0}; // the start position counts doubles
    data.insert(data.end(), current.begin(), current.end());
    data[static_cast<size_t>(2 + c.paramIdx)] = c.stored;
    EXPECT_EQ(p.CompareState(chunkOf(data).GetData(), 2), c.equal);
  }
}

TEST(PluginState, RestoreShowsEveryNormalisedValueOnTheEditor)
{
  StatePlugin p;
  EditorRecorder editor;
  p.AttachEditor(&editor);
  p.setValues({1.5, 10010.0, 0.5, 2.0, 1.0, 0.25, 8.0});
  p.OnRestoreState();
  const double expected[] = {0.75, 0.5, 0.75, 1.0, 1.0, 0.25, 1.0};
  ASSERT_EQ(editor.updates.size(), 7u);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(editor.updates[static_cast<size_t>(i)].paramIdx, i);
    EXPECT_NEAR(editor.updates[static_cast<size_t>(i)].normalizedValue, expected[i], 1e-12);
  }
  p.DetachEditor();
}

// Making presets ---------------------------------------------------------------------------------

TEST(PluginPresets, NewSlotsAreUninitialisedAndNamedEmpty)
{
  StatePlugin p;
  ASSERT_EQ(p.NPresets(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(p.GetPreset(i)->mInitialized);
    EXPECT_STREQ(p.GetPresetName(i), "empty");
  }
  EXPECT_EQ(p.GetCurrentPresetIdx(), 0);
  EXPECT_STREQ(p.GetPresetName(-1), "");
  EXPECT_STREQ(p.GetPresetName(4), "");
}

TEST(PluginPresets, MakeDefaultPresetFillsFreeSlotsWithTheCurrentState)
{
  StatePlugin p;
  makePreset(p, "first", kSetA);
  p.setValues(kSetB);
  p.MakeDefaultPreset(nullptr, 2);
  p.MakeDefaultPreset("Init", 5); // one slot left: stops early
  EXPECT_EQ(presetNames(p), (std::vector<std::string>{"first", "Empty", "Empty", "Init"}));
  for (int i = 1; i < 4; ++i) {
    EXPECT_TRUE(p.GetPreset(i)->mInitialized);
    EXPECT_EQ(p.GetPreset(i)->mChunk, chunkOf(kSetB));
  }
  EXPECT_EQ(p.GetPreset(0)->mChunk, chunkOf(kSetA));
}

TEST(PluginPresets, MakePresetStoresTheArgumentsUnchanged)
{
  StatePlugin p;
  p.MakePreset("wide", 5.0, 1000.5, 0.3, 7, 1, 0.75, 9);
  EXPECT_TRUE(p.GetPreset(0)->mInitialized);
  EXPECT_STREQ(p.GetPresetName(0), "wide");
  EXPECT_EQ(valuesIn(p.GetPreset(0)->mChunk), (Values{5.0, 1000.5, 0.3, 7.0, 1.0, 0.75, 9.0}));
  EXPECT_EQ(p.values(), kDefaults); // making a preset changes no parameter

  // Restoring constrains.
  EXPECT_TRUE(p.RestorePreset(0));
  EXPECT_EQ(p.values(), (Values{2.0, 1000.5, 0.25, 2.0, 1.0, 0.75, 8.0}));

  // With every slot taken, a further preset goes nowhere.
  makePreset(p, "b", kSetA);
  makePreset(p, "c", kSetA);
  makePreset(p, "d", kSetA);
  makePreset(p, "e", kSetB);
  EXPECT_EQ(presetNames(p), (std::vector<std::string>{"wide", "b", "c", "d"}));
}

TEST(PluginPresets, NamedParamsPresetTakesCurrentValuesForTheRest)
{
  StatePlugin p;
  p.setValues(kSetA);
  p.MakePresetFromNamedParams("named", 3, StatePlugin::kMode, 0, StatePlugin::kGain, 1.75, StatePlugin::kVoices, 6);
  EXPECT_STREQ(p.GetPresetName(0), "named");
  EXPECT_EQ(valuesIn(p.GetPreset(0)->mChunk), (Values{1.75, 1234.0, -0.75, 0.0, 1.0, 0.5, 6.0}));

  // An index that does not exist ends the list: its value's type is unknown.
  p.MakePresetFromNamedParams("stops", 2, StatePlugin::kFreq, 50.0, 99, 5);
  EXPECT_EQ(valuesIn(p.GetPreset(1)->mChunk), (Values{1.25, 50.0, -0.75, 2.0, 1.0, 0.5, 7.0}));
}

TEST(PluginPresets, PresetFromChunkAndFromBase64Blob)
{
  // Base64 of the doubles 1, 1000, -0.5, 2, 1, 0.25, 8.
  const char* blob = "AAAAAAAA8D8AAAAAAECPQAAAAAAAAOC/AAAAAAAAAEAAAAAAAADwPwAAAAAAANA/AAAAAAAAIEA=";
  const Values blobValues = {1.0, 1000.0, -0.5, 2.0, 1.0, 0.25, 8.0};

  StatePlugin p;
  p.MakePresetFromChunk("chunk", chunkOf(kSetB));
  p.MakePresetFromBlob("blob", blob, StatePlugin::kChunkSize);
  p.MakePresetFromBlob("part", blob, 24);
  p.MakePresetFromBlob("overlong size", blob, 1000); // takes only what the text holds

  EXPECT_EQ(p.GetPreset(0)->mChunk, chunkOf(kSetB));
  EXPECT_EQ(p.GetPreset(1)->mChunk, chunkOf(blobValues));
  EXPECT_EQ(p.GetPreset(2)->mChunk, chunkOf({1.0, 1000.0, -0.5}));
  EXPECT_EQ(p.GetPreset(3)->mChunk, chunkOf(blobValues));

  EXPECT_TRUE(p.RestorePreset("blob"));
  EXPECT_EQ(p.values(), blobValues);
}

TEST(PluginPresets, EnsureDefaultPresetFillsEveryFreeSlot)
{
  StatePlugin p;
  makePreset(p, "keep", kSetA);
  p.EnsureDefaultPreset();
  EXPECT_EQ(presetNames(p), (std::vector<std::string>{"keep", "Empty", "Empty", "Empty"}));
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(p.GetPreset(i)->mInitialized);
  p.PruneUninitializedPresets();
  EXPECT_EQ(p.NPresets(), 4);
}

TEST(PluginPresets, PruneRemovesUninitialisedSlotsKeepingTheOrder)
{
  StatePlugin p;
  EXPECT_TRUE(p.RestorePreset(2)); // slot 2 becomes "user preset 1"
  makePreset(p, "a", kSetA); // slot 0
  p.PruneUninitializedPresets();
  EXPECT_EQ(presetNames(p), (std::vector<std::string>{"a", "user preset 1"}));
  EXPECT_STREQ(p.GetPresetName(2), "");
  EXPECT_TRUE(p.RestorePreset("user preset 1"));
  EXPECT_EQ(p.GetCurrentPresetIdx(), 1);
}

TEST(PluginPresets, NamesAreCutToTheSlotsCapacity)
{
  StatePlugin p;
  const std::string longName(300, 'x');
  makePreset(p, longName.c_str(), kSetA);
  EXPECT_EQ(std::string(p.GetPresetName(0)), longName.substr(0, 255));
  p.ModifyCurrentPreset(longName.c_str());
  EXPECT_EQ(std::string(p.GetPresetName(0)), longName.substr(0, 255));
}

// Restoring and modifying presets ----------------------------------------------------------------

TEST(PluginPresets, RestorePresetLoadsTheSlotAndTellsTheEditor)
{
  StatePlugin p;
  EditorRecorder editor;
  p.AttachEditor(&editor);
  makePreset(p, "a", kSetA);
  makePreset(p, "b", kSetB);

  EXPECT_TRUE(p.RestorePreset(1));
  EXPECT_EQ(p.GetCurrentPresetIdx(), 1);
  EXPECT_EQ(p.values(), kSetB);
  EXPECT_EQ(p.dispatched, allIndices());
  EXPECT_EQ(p.presetsModified, 1);
  ASSERT_EQ(editor.updates.size(), 7u);
  EXPECT_EQ(editor.updates[1].paramIdx, 1);
  EXPECT_NEAR(editor.updates[1].normalizedValue, (9876.5432109876 - 20.0) / 19980.0, 1e-12);

  for (int bad : {-1, 4, 1000}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(p.RestorePreset(bad));
    EXPECT_EQ(p.GetCurrentPresetIdx(), 1);
  }
  EXPECT_EQ(p.presetsModified, 1);
  p.DetachEditor();
}

TEST(PluginPresets, ShortPresetChunkFailsButKeepsWhatWasRead)
{
  StatePlugin p;
  makePreset(p, "a", kSetA);
  p.MakePresetFromChunk("short", truncated(chunkOf(kSetB), 20));
  p.MakePresetFromBlob("nothing", "", 0);

  EXPECT_TRUE(p.RestorePreset(0));
  EXPECT_FALSE(p.RestorePreset(1));
  EXPECT_EQ(p.GetCurrentPresetIdx(), 0);
  EXPECT_EQ(p.values(), (Values{0.1, 9876.5432109876, 0.0, 2.0, 1.0, 0.5, 7.0}));

  EXPECT_FALSE(p.RestorePreset("nothing"));
  EXPECT_EQ(p.GetCurrentPresetIdx(), 0);
  EXPECT_EQ(p.GetParam(StatePlugin::kGain)->GetValue(), 0.0);
}

TEST(PluginPresets, RestoringAnUninitialisedSlotNamesItUserPresetAndKeepsTheValues)
{
  StatePlugin p;
  EditorRecorder editor;
  p.AttachEditor(&editor);
  makePreset(p, "user preset 1", kSetA); // at the start
  makePreset(p, "my user preset", kSetA); // in the middle
  makePreset(p, "User Preset", kSetA); // other case: does not count
  p.setValues(kSetB);

  EXPECT_TRUE(p.RestorePreset(3));
  EXPECT_STREQ(p.GetPresetName(3), "user preset 3");
  EXPECT_TRUE(p.GetPreset(3)->mInitialized);
  EXPECT_EQ(p.GetPreset(3)->mChunk, chunkOf(kSetB));
  EXPECT_EQ(p.values(), kSetB);
  EXPECT_TRUE(p.dispatched.empty());
  EXPECT_EQ(p.GetCurrentPresetIdx(), 3);
  EXPECT_EQ(p.presetsModified, 1);
  EXPECT_EQ(editor.updates.size(), 7u);
  p.DetachEditor();
}

TEST(PluginPresets, RestoreByNameIsExactAndCaseSensitive)
{
  StatePlugin p;
  makePreset(p, "Lead", kSetA);
  makePreset(p, "lead", kSetB);
  makePreset(p, "Lead", kSetB);

  EXPECT_TRUE(p.RestorePreset("lead"));
  EXPECT_EQ(p.GetCurrentPresetIdx(), 1);
  EXPECT_TRUE(p.RestorePreset("Lead")); // the first of two
  EXPECT_EQ(p.GetCurrentPresetIdx(), 0);
  EXPECT_EQ(p.values(), kSetA);

  EXPECT_FALSE(p.RestorePreset("Lea"));
  EXPECT_FALSE(p.RestorePreset(""));
  EXPECT_FALSE(p.RestorePreset(static_cast<const char*>(nullptr)));
  EXPECT_EQ(p.GetCurrentPresetIdx(), 0);
}

TEST(PluginPresets, ModifyCurrentPresetRecapturesAndRenamesOnlyWithAName)
{
  StatePlugin p;
  p.EnsureDefaultPreset();
  ASSERT_TRUE(p.RestorePreset(2));
  p.setValues(kSetA);
  p.ModifyCurrentPreset(nullptr);
  EXPECT_EQ(p.GetPreset(2)->mChunk, chunkOf(kSetA));
  EXPECT_STREQ(p.GetPresetName(2), "Empty");

  p.setValues(kSetB);
  p.ModifyCurrentPreset("");
  EXPECT_EQ(p.GetPreset(2)->mChunk, chunkOf(kSetB));
  EXPECT_STREQ(p.GetPresetName(2), "Empty");

  p.ModifyCurrentPreset("Renamed");
  EXPECT_STREQ(p.GetPresetName(2), "Renamed");
  EXPECT_EQ(p.GetPreset(1)->mChunk, chunkOf(kDefaults)); // other slots untouched
}

TEST(PluginPresets, ModifyingAnUninitialisedCurrentSlotLeavesItUninitialised)
{
  StatePlugin p;
  p.setValues(kSetA);
  p.ModifyCurrentPreset("draft");
  EXPECT_FALSE(p.GetPreset(0)->mInitialized);
  EXPECT_STREQ(p.GetPresetName(0), "draft");
  EXPECT_EQ(p.GetPreset(0)->mChunk, chunkOf(kSetA));
}

// The preset list --------------------------------------------------------------------------------

TEST(PluginPresetList, LayoutIsNameFlagAndChunkOfInitialisedSlots)
{
  StatePlugin p;
  makePreset(p, "ab", kSetA);
  IByteChunk list;
  EXPECT_TRUE(p.SerializePresets(list));

  IByteChunk expected;
  const std::uint8_t head[] = {2, 0, 0, 0, 'a', 'b', 1};
  expected.PutBytes(head, sizeof(head));
  const IByteChunk values = chunkOf(kSetA);
  expected.PutBytes(values.GetData(), values.Size());
  const std::uint8_t emptySlot[] = {5, 0, 0, 0, 'e', 'm', 'p', 't', 'y', 0};
  for (int i = 0; i < 3; ++i)
    expected.PutBytes(emptySlot, sizeof(emptySlot));
  EXPECT_EQ(list, expected);
}

namespace {

// Slots: "one" (kSetA), "two" (Gain stored above its maximum), uninitialised, "user preset 1"
// (kSetB, current when serialised).
IByteChunk sourcePresetList()
{
  StatePlugin source;
  makePreset(source, "one", kSetA);
  source.MakePreset("two", 5.0, 300.0, 0.5, 0, 1, 0.0, 4);
  source.setValues(kSetB);
  EXPECT_TRUE(source.RestorePreset(3));
  IByteChunk list;
  source.SerializePresets(list);
  return list;
}

} // namespace

TEST(PluginPresetList, RoundTripRestoresNamesFlagsChunksAndTheCurrentSlot)
{
  const IByteChunk list = sourcePresetList();
  ASSERT_EQ(list.Size(), 4 * 4 + 4 + 3 + 3 + 5 + 13 + 3 * StatePlugin::kChunkSize); // lengths, flags, names, chunks

  StatePlugin target;
  EXPECT_EQ(target.UnserializePresets(list, 0), list.Size());
  EXPECT_EQ(presetNames(target), (std::vector<std::string>{"one", "two", "empty", "user preset 1"}));
  EXPECT_TRUE(target.GetPreset(0)->mInitialized);
  EXPECT_TRUE(target.GetPreset(1)->mInitialized);
  EXPECT_FALSE(target.GetPreset(2)->mInitialized);
  EXPECT_TRUE(target.GetPreset(3)->mInitialized);
  EXPECT_EQ(target.GetPreset(0)->mChunk, chunkOf(kSetA));
  // A slot's chunk is taken anew from the restored values, so it holds them constrained.
  EXPECT_EQ(target.GetPreset(1)->mChunk, chunkOf({2.0, 300.0, 0.5, 0.0, 1.0, 0.0, 4.0}));
  EXPECT_EQ(target.GetPreset(3)->mChunk, chunkOf(kSetB));
  // The target's own current slot (0) is restored at the end.
  EXPECT_EQ(target.GetCurrentPresetIdx(), 0);
  EXPECT_EQ(target.values(), kSetA);
}

TEST(PluginPresetList, TruncatedListStopsWhereTheDataEnds)
{
  const IByteChunk list = sourcePresetList();
  constexpr int kSlot1 = 4 + 3 + 1 + StatePlugin::kChunkSize; // where slot 1 starts

  struct Case {
    const char* name;
    int size;
    std::vector<std::string> names;
    bool slot1Replaced; // slot 1's chunk holds the stream's values
  };
  const Case cases[] = {
    {"nothing", 0, {"", "Empty", "Empty", "Empty"}, false},
    {"length of slot 1's name cut", kSlot1 + 2, {"one", "", "Empty", "Empty"}, false},
    {"slot 1's name runs past the end", kSlot1 + 4 + 1, {"one", "", "Empty", "Empty"}, false},
    {"slot 1's flag missing", kSlot1 + 4 + 3, {"one", "two", "Empty", "Empty"}, false},
    {"inside slot 1's values", kSlot1 + 4 + 3 + 1 + 20, {"one", "two", "Empty", "Empty"}, false},
    {"slot 2's name cut", kSlot1 * 2 + 3, {"one", "two", "", "Empty"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StatePlugin target;
    target.EnsureDefaultPreset();
    EXPECT_EQ(target.UnserializePresets(truncated(list, c.size), 0), -1);
    EXPECT_EQ(presetNames(target), c.names);
    for (int i = 0; i < 4; ++i)
      EXPECT_TRUE(target.GetPreset(i)->mInitialized); // a missing flag keeps the slot's own
    EXPECT_EQ(target.GetPreset(1)->mChunk,
              c.slot1Replaced ? chunkOf({2.0, 300.0, 0.5, 0.0, 1.0, 0.0, 4.0}) : chunkOf(kDefaults));
    EXPECT_EQ(target.GetPreset(2)->mChunk, chunkOf(kDefaults));
    // The current slot is restored at the end, whatever was read before.
    EXPECT_EQ(target.GetCurrentPresetIdx(), 0);
    EXPECT_EQ(target.values(), valuesIn(target.GetPreset(0)->mChunk));
  }
}
