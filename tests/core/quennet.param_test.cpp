// SPDX-License-Identifier: ISC
#include "core/quennet.param.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

using namespace quennet;

using plug::IParam;
using plug::TextString;

namespace {

// The plug-in's 29 slots, made as the framework makes them, then initialised.
struct QuennetParams {
  QuennetParams()
  {
    for (int i = 0; i < kNumParams; ++i)
      pointers[static_cast<std::size_t>(i)] = &params[static_cast<std::size_t>(i)];
    initQuennetParameters(pointers);
  }

  const IParam& operator[](int index) const { return params[static_cast<std::size_t>(index)]; }
  IParam& operator[](int index) { return params[static_cast<std::size_t>(index)]; }

  std::array<IParam, kNumParams> params;
  std::array<IParam*, kNumParams> pointers{};
};

std::string displayWithLabel(const IParam& p)
{
  TextString text;
  p.GetDisplayWithLabel(text, true);
  return text.Get();
}

std::string displayOf(const IParam& p, double value)
{
  TextString text;
  p.GetDisplay(value, false, text, true);
  return text.Get();
}

constexpr int kLinear = 0; // display type of the linear shape
constexpr int kPower4 = 6; // display type of the power curve with power 4

} // namespace

TEST(QuennetParams, DefinitionsOfTheTwentyTwoParameters)
{
  struct Case {
    int index;
    const char* name;
    const char* symbol; // what hosts store sessions and presets under: never changes
    IParam::EParamType type;
    double defaultValue, min, max, step;
    int shape;
    const char* label;
    int precision;
  };
  const Case cases[] = {
    {kVolume, "Volume", "volume", IParam::kTypeDouble, 1.0, 0.0, 2.0, 0.1, kLinear, "", 1},
    {kMix, "Mix", "mix", IParam::kTypeDouble, 1.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kGrainMode, "Grain Mode", "grain_mode", IParam::kTypeEnum, 0.0, 0.0, 3.0, 1.0, kLinear, "", 0},
    {kGrainLength, "Grain Length", "grain_length", IParam::kTypeDouble, 20.0, 0.2, 2000.0, 0.1, kPower4, "", 1},
    {kGrainSync, "Grain Sync", "grain_sync", IParam::kTypeEnum, 10.0, 0.0, 19.0, 1.0, kLinear, "", 0},
    {kGrainFrequency, "Grain Frequency", "grain_frequency", IParam::kTypeDouble, 110.0, 16.0, 5000.0, 0.1, kPower4,
     "Hz", 1},
    {kGrainOverlap, "Grain Overlap", "grain_overlap", IParam::kTypeDouble, 0.0, 0.0, 50.0, 1.0, kLinear, "", 0},
    {kGrainFadeIn, "Grain Fade-In", "grain_fade_in", IParam::kTypeDouble, 0.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kGrainSkew, "Grain Skew", "grain_skew", IParam::kTypeDouble, 0.0, -1.0, 1.0, 0.01, kLinear, "", 2},
    {kGrainFadeOut, "Grain Fade-Out", "grain_fade_out", IParam::kTypeDouble, 0.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kFrameLength, "Frame Length", "frame_length", IParam::kTypeDouble, 160.0, 0.2, 5000.0, 0.1, kPower4, "", 1},
    {kFrameSync, "Frame Sync", "frame_sync", IParam::kTypeEnum, 10.0, 0.0, 19.0, 1.0, kLinear, "", 0},
    {kFrameSyncToHost, "Frame Sync to Host", "frame_sync_to_host", IParam::kTypeBool, 0.0, 0.0, 1.0, 1.0, kLinear, "",
     0},
    {kFrameOverlap, "Frame Overlap", "frame_overlap", IParam::kTypeDouble, 0.0, 0.0, 50.0, 1.0, kLinear, "", 0},
    {kFrameFadeIn, "Frame Fade-In", "frame_fade_in", IParam::kTypeDouble, 0.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kFrameSkew, "Frame Skew", "frame_skew", IParam::kTypeDouble, 0.0, -1.0, 1.0, 0.01, kLinear, "", 2},
    {kFrameFadeOut, "Frame Fade-Out", "frame_fade_out", IParam::kTypeDouble, 0.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kMidiPolyphony, "MIDI Polyphony", "midi_polyphony", IParam::kTypeInt, 4.0, 1.0, 8.0, 1.0, kLinear, "", 0},
    {kMidiAttack, "MIDI Attack", "midi_attack", IParam::kTypeDouble, 0.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kMidiDecay, "MIDI Decay", "midi_decay", IParam::kTypeDouble, 0.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kMidiSustain, "MIDI Sustain", "midi_sustain", IParam::kTypeDouble, 1.0, 0.0, 1.0, 0.01, kLinear, "", 2},
    {kMidiRelease, "MIDI Release", "midi_release", IParam::kTypeDouble, 0.05, 0.0, 1.0, 0.01, kLinear, "", 2},
  };
  static_assert(std::size(cases) == 22);

  QuennetParams params;
  int expectedIndex = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.index, expectedIndex++); // the table follows the index order
    const IParam& p = params[c.index];
    EXPECT_STREQ(p.GetName(), c.name);
    EXPECT_STREQ(p.GetSymbol(), c.symbol);
    EXPECT_EQ(p.Type(), c.type);
    EXPECT_EQ(p.GetDefault(), c.defaultValue);
    EXPECT_EQ(p.GetValue(), c.defaultValue);
    EXPECT_EQ(p.GetMin(), c.min);
    EXPECT_EQ(p.GetMax(), c.max);
    EXPECT_EQ(p.GetStep(), c.step);
    EXPECT_EQ(p.GetShape().GetDisplayType(), c.shape);
    EXPECT_STREQ(p.GetLabel(), c.label);
    EXPECT_STREQ(p.GetGroup(), "");
    EXPECT_EQ(p.Unit(), IParam::kUnitCustom);
    EXPECT_EQ(p.GetDisplayPrecision(), c.precision);
    // Only the initialisers of bool, int and enum add a flag: stepped.
    EXPECT_EQ(p.Flags(), c.type == IParam::kTypeDouble ? 0 : IParam::kParamFlagStepped);
  }
}

TEST(QuennetParams, ReservedSlotsStayUninitialised)
{
  static_assert(kNumParams == 29);
  static_assert(kMidiRelease == 21);
  static_assert(kNumPresets == 10);

  QuennetParams params;
  params[25].SetValue(0.75); // what a state restore may do to a reserved slot
  for (int i = kMidiRelease + 1; i < kNumParams; ++i) {
    SCOPED_TRACE(i);
    const IParam& p = params[i];
    EXPECT_EQ(p.Type(), IParam::kTypeNone);
    EXPECT_STREQ(p.GetName(), "");
    EXPECT_STREQ(p.GetSymbol(), "") << "no port, nothing a host stores by name";
    EXPECT_EQ(p.GetMin(), 0.0);
    EXPECT_EQ(p.GetMax(), 1.0);
    EXPECT_EQ(p.GetValue(), i == 25 ? 0.75 : 0.0);
  }
}

TEST(QuennetParams, PowerCurveLengthsSitNearTheLowEnd)
{
  QuennetParams params;
  EXPECT_DOUBLE_EQ(params[kGrainLength].ValueFromNormalized(0.5), 0.2 + 1999.8 * 0.0625);
  EXPECT_DOUBLE_EQ(params[kFrameLength].ValueFromNormalized(0.5), 0.2 + 4999.8 * 0.0625);
  EXPECT_DOUBLE_EQ(params[kGrainFrequency].ValueFromNormalized(0.5), 16.0 + 4984.0 * 0.0625);
  TextString text;
  params[kGrainLength].GetDisplay(0.5, true, text, true);
  EXPECT_STREQ(text.Get(), "125.2");
}

TEST(QuennetParams, DefaultDisplays)
{
  QuennetParams params;
  struct Case {
    int index;
    const char* expected;
  };
  const Case cases[] = {
    {kVolume, "0.0"},          {kMix, "Wet"},
    {kGrainMode, "M.SEC"},     {kGrainLength, "20.0"},
    {kGrainSync, "1/4"},       {kGrainFrequency, "110.0 Hz"},
    {kGrainOverlap, "0"},      {kGrainSkew, "0.00"},
    {kFrameLength, "160.0"},   {kFrameSync, "1/4"},
    {kFrameSyncToHost, "off"}, {kMidiPolyphony, "4"},
    {kMidiSustain, "1.00"},    {kMidiRelease, "0.05"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(params[c.index].GetName());
    EXPECT_EQ(displayWithLabel(params[c.index]), c.expected);
  }
}

TEST(QuennetParams, VolumeShowsDecibels)
{
  struct Case {
    double value;
    const char* expected;
  };
  // 20 · log10 of the gain, one decimal.
  const Case cases[] = {{0.0, "-oo"}, {-1.0, "-oo"},  {0.5, "-6.0"},      {1.0, "0.0"},
                        {2.0, "6.0"}, {0.1, "-20.0"}, {1e-300, "-6000.0"}};
  QuennetParams params;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TextString text;
    setDisplayTextForDB(c.value, text);
    EXPECT_STREQ(text.Get(), c.expected);
    if (c.value >= 0.0) {
      EXPECT_EQ(displayOf(params[kVolume], c.value), c.expected);
    }
  }
}

TEST(QuennetParams, MixShowsDryWetShares)
{
  struct Case {
    double value;
    const char* expected;
  };
  // Each share is rounded on its own: 0.995 gives 0.5 (→ 1) and 99.5 (→ 100, to even).
  const Case cases[] = {{0.0, "Dry"},   {1.0, "Wet"},   {0.3, "70:30"},  {0.25, "75:25"},
                        {0.5, "50:50"}, {0.7, "30:70"}, {0.995, "1:100"}};
  QuennetParams params;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TextString text;
    setDisplayTextForMix(c.value, text);
    EXPECT_STREQ(text.Get(), c.expected);
    EXPECT_EQ(displayOf(params[kMix], c.value), c.expected);
  }
}

TEST(QuennetParams, GrainModeTexts)
{
  QuennetParams params;
  const IParam& mode = params[kGrainMode];
  const char* expected[] = {"M.SEC", "SYNC", "FREQ", "MIDI"};
  ASSERT_EQ(mode.NDisplayTexts(), 4);
  for (int i = 0; i < 4; ++i) {
    double value = -1.0;
    EXPECT_STREQ(mode.GetDisplayTextAtIdx(i, &value), expected[i]);
    EXPECT_EQ(value, i);
  }
  EXPECT_EQ(mode.StringToValue("MIDI"), 3.0);
  EXPECT_EQ(mode.StringToValue("midi"), 0.0);
  EXPECT_DOUBLE_EQ(mode.NormalizedFromValue(1.0), 1.0 / 3.0); // "SYNC"
}

// Quarter notes of a note value text: "a/b" is 4·a/b whole-note fractions, "T" two thirds of it,
// a trailing "." one and a half.
double quarterNotesOf(const std::string& text)
{
  const std::size_t slash = text.find('/');
  const double numerator = std::atof(text.substr(0, slash).c_str());
  const double denominator = std::atof(text.substr(slash + 1).c_str());
  double quarters = 4.0 * numerator / denominator;
  if (text.back() == 'T')
    quarters *= 2.0 / 3.0;
  else if (text.back() == '.')
    quarters *= 1.5;
  return quarters;
}

TEST(QuennetParams, SyncTextsAndFactorsMatch)
{
  const char* expected[] = {"1/64", "1/32", "1/16T", "1/32.", "1/16", "1/8T", "1/16.", "1/8", "1/4T", "1/8.",
                            "1/4",  "1/2T", "1/4.",  "1/2",   "1/2.", "1/1",  "1/1.",  "2/1", "2/1.", "4/1"};
  ASSERT_EQ(labelSyncRate.size(), 20u);
  ASSERT_EQ(ppqScaler.size(), 20u);

  QuennetParams params;
  for (int index : {static_cast<int>(kGrainSync), static_cast<int>(kFrameSync)}) {
    const IParam& sync = params[index];
    ASSERT_EQ(sync.NDisplayTexts(), 20);
    for (int i = 0; i < 20; ++i) {
      SCOPED_TRACE(expected[i]);
      EXPECT_STREQ(sync.GetDisplayTextAtIdx(i), expected[i]);
      EXPECT_STREQ(labelSyncRate.begin()[i], expected[i]);
      EXPECT_NEAR(ppqScaler[static_cast<std::size_t>(i)], quarterNotesOf(expected[i]), 1e-15);
      if (i > 0) {
        EXPECT_LT(ppqScaler[static_cast<std::size_t>(i - 1)], ppqScaler[static_cast<std::size_t>(i)]);
      }
    }
  }
  // The thirds are the nearest doubles.
  EXPECT_EQ(ppqScaler[2], 1.0 / 6.0);
  EXPECT_EQ(ppqScaler[5], 1.0 / 3.0);
  EXPECT_EQ(ppqScaler[8], 2.0 / 3.0);
  EXPECT_EQ(ppqScaler[11], 4.0 / 3.0);
  EXPECT_EQ(ppqScaler[static_cast<std::size_t>(params[kGrainSync].GetValue())], 1.0);

  // The editor's menu picks "1/4" as normalised 10/19.
  EXPECT_EQ(params[kGrainSync].ValueFromNormalized(10.0 / 19.0), 10.0);
}

TEST(QuennetParams, FrameSyncToHostParsesOnOff)
{
  QuennetParams params;
  IParam& p = params[kFrameSyncToHost];
  EXPECT_EQ(p.StringToValue("on"), 1.0);
  p.SetValue(p.StringToValue("on"));
  EXPECT_EQ(displayWithLabel(p), "on");
}
