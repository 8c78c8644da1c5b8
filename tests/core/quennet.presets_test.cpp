// SPDX-License-Identifier: ISC
// Quennet's ten factory presets: the table, switching presets from the editor, and
// "Reset Current Preset".

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Recorders.h"
#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"

using namespace quennet;

namespace {

using Values = std::vector<double>;

struct Slot {
  const char* name;
  Values values; // parameter slots 0 … 28
};

// The factory table, one row per slot. Columns: Volume, Mix, Grain Mode, Grain Length, Grain Sync,
// Grain Frequency, Grain Overlap, Grain Fade-In, Grain Skew, Grain Fade-Out, Frame Length,
// Frame Sync, Frame Sync to Host, Frame Overlap, Frame Fade-In, Frame Skew, Frame Fade-Out,
// MIDI Polyphony, MIDI Attack, MIDI Decay, MIDI Sustain, MIDI Release, reserved 22 … 28.
const Slot kTable[10] = {
  {"default", {1, 1, 0, 20, 10, 110, 0, 0, 0, 0, 160, 10, 0, 0, 0, 0, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Sync 2 Host", {1, 1, 1, 20, 4, 110, 0, 0, 0, 0, 160, 10, 1, 0, 0, 0, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Frequency", {1, 1, 2, 20, 10, 110, 0, 0.2, 0, 0.2, 50, 10, 0, 50, 0, 0, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"MIDI Standard",
   {1, 1, 3, 20, 10, 110, 0, 0.2, 0, 0.2, 50, 10, 0, 50, 0, 0, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"MIDI Synced", {1, 1, 3, 20, 10, 110, 0, 0.2, 0, 0.2, 50, 4, 1, 50, 0, 0, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Ring Modulator",
   {1, 1, 0, 2000, 10, 110, 0, 0, 0, 0, 3, 10, 0, 0, 0.5, 0, 0.5, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Synced Reversals",
   {1, 1, 1, 20, 4, 110, 0, 0, -1, 0.5, 160, 10, 1, 50, 0.5, 0.4, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Sequenced",
   {1, 1, 2, 20, 10, 110, 33, 0.2, 0, 0.2, 160, 4, 1, 0, 0, -1, 0.5, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Slap Back", {1, 0.7, 1, 20, 8, 110, 33, 0, 0, 0, 160, 7, 1, 50, 0, -1, 0.7, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
  {"Strange Mix",
   {1, 0.5, 0, 60, 10, 110, 50, 0.2, 0, 0.2, 160, 10, 0, 50, 0, 0, 0, 4, 0, 0, 1, 0.05, 0, 0, 0, 0, 0, 0, 0}},
};

// The parameter defaults.
const Values kDefaults = {1, 1, 0, 20, 10, 110, 0,    0, 0, 0, 160, 10, 0, 0, 0,
                          0, 0, 4, 0,  0,  1,   0.05, 0, 0, 0, 0,   0,  0, 0};

Values slotValues(const plug::IPreset& preset)
{
  Values values(static_cast<size_t>(preset.mChunk.Size()) / 8);
  std::memcpy(values.data(), preset.mChunk.GetData(), values.size() * 8);
  return values;
}

class QuennetPresets : public ::testing::Test {
protected:
  void SetUp() override
  {
    instance.reset(plug::MakePlug({}));
    ASSERT_NE(instance, nullptr);
  }

  Quennet& plugin() { return static_cast<Quennet&>(*instance); }

  Values values()
  {
    Values v;
    for (int i = 0; i < kNumParams; ++i)
      v.push_back(plugin().GetParam(i)->GetValue());
    return v;
  }

  // Every slot's name, flag and values.
  std::vector<std::string> snapshotSlots()
  {
    std::vector<std::string> slots;
    for (int i = 0; i < plugin().NPresets(); ++i) {
      const plug::IPreset& p = *plugin().GetPreset(i);
      slots.push_back(
        std::string(p.mName) + (p.mInitialized ? "+" : "-") +
        std::string(reinterpret_cast<const char*>(p.mChunk.GetData()), static_cast<size_t>(p.mChunk.Size())));
    }
    return slots;
  }

  TempHome home;
  std::unique_ptr<plug::IPlugin> instance;
};

} // namespace

TEST_F(QuennetPresets, AfterConstructionSlotZeroIsCurrentWithTheDefaults)
{
  EXPECT_EQ(plugin().NPresets(), 10);
  EXPECT_EQ(plugin().GetCurrentPresetIdx(), 0);
  EXPECT_EQ(values(), kDefaults);

  // The engine was given the defaults during construction.
  EXPECT_EQ(plugin().volume(), 1.0);
  EXPECT_EQ(plugin().mix(), 1.0);
  EXPECT_FALSE(plugin().grainSyncMode());
  EXPECT_FALSE(plugin().grainFreqMode());
  EXPECT_FALSE(plugin().midiMode());
  EXPECT_FALSE(plugin().frameSyncToHost());
  EXPECT_EQ(plugin().grainSyncIndex(), 10);
  EXPECT_EQ(plugin().frameSyncIndex(), 10);
  EXPECT_EQ(plugin().polyphony(), 4);
}

TEST_F(QuennetPresets, EverySlotHoldsItsFactoryColumn)
{
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(kTable[i].name);
    const plug::IPreset& preset = *plugin().GetPreset(i);
    EXPECT_TRUE(preset.mInitialized);
    EXPECT_STREQ(plugin().GetPresetName(i), kTable[i].name);
    EXPECT_EQ(slotValues(preset), kTable[i].values);
    for (int r = 22; r < 29; ++r)
      EXPECT_EQ(slotValues(preset).at(static_cast<size_t>(r)), 0.0) << "reserved slot " << r;

    plugin().changePreset(i);
    EXPECT_EQ(plugin().GetCurrentPresetIdx(), i);
    EXPECT_EQ(values(), kTable[i].values);
  }
}

TEST_F(QuennetPresets, SwitchingAwayKeepsTheEditsOfTheSlotLeft)
{
  EditorRecorder editor;
  plugin().AttachEditor(&editor);

  plugin().changePreset(3);
  plugin().SendParameterValueFromUI(kMix, 0.3); // the editor's Mix knob
  ASSERT_EQ(plugin().GetParam(kMix)->GetValue(), 0.3);

  plugin().changePreset(5);
  EXPECT_EQ(values(), kTable[5].values);
  EXPECT_STREQ(plugin().GetPresetName(3), "MIDI Standard");

  editor.updates.clear();
  plugin().changePreset(3);
  Values expected = kTable[3].values;
  expected[kMix] = 0.3;
  EXPECT_EQ(values(), expected);

  // The editor is shown every value of the slot.
  ASSERT_GE(editor.updates.size(), 29u);
  const auto& lastMix = editor.updates[editor.updates.size() - 29 + kMix];
  EXPECT_EQ(lastMix.paramIdx, kMix);
  EXPECT_DOUBLE_EQ(lastMix.normalizedValue, 0.3);
  plugin().DetachEditor();

  // And the engine follows at the next block.
  renderEmptyBlock(plugin());
  EXPECT_EQ(plugin().mix(), 0.3);
  EXPECT_TRUE(plugin().midiMode());
}

TEST_F(QuennetPresets, ResetCurrentPresetRestoresTheFactoryColumnAndKeepsTheName)
{
  plugin().changePreset(8);
  plugin().SendParameterValueFromUI(kMix, 0.1);
  plugin().SendParameterValueFromUI(kGrainMode, 1.0);
  plugin().SendParameterValueFromUI(kFrameSkew, 1.0);
  plugin().SetParameterFromHost(28, 1.0); // a reserved slot
  plugin().ModifyCurrentPreset(nullptr); // the edits are in the slot too
  ASSERT_NE(slotValues(*plugin().GetPreset(8)), kTable[8].values);

  plugin().initPreset(plugin().GetCurrentPresetIdx()); // "Reset Current Preset"
  EXPECT_EQ(plugin().GetCurrentPresetIdx(), 8);
  EXPECT_EQ(values(), kTable[8].values);
  EXPECT_EQ(slotValues(*plugin().GetPreset(8)), kTable[8].values);
  EXPECT_STREQ(plugin().GetPresetName(8), "Slap Back");

  renderEmptyBlock(plugin());
  EXPECT_EQ(plugin().mix(), 0.7);
  EXPECT_TRUE(plugin().grainSyncMode());
  EXPECT_EQ(plugin().grainSyncIndex(), 8);
  EXPECT_EQ(plugin().frameSyncIndex(), 7);
}

TEST_F(QuennetPresets, PresetIndexOutsideTheTableChangesNothing)
{
  plugin().changePreset(4);
  plugin().SendParameterValueFromUI(kVolume, 0.25);
  const Values before = values();
  const std::vector<std::string> slots = snapshotSlots();

  for (int index : {10, 11, 100, -1}) {
    SCOPED_TRACE(index);
    plugin().initPreset(index);
    EXPECT_EQ(plugin().GetCurrentPresetIdx(), 4);
    EXPECT_EQ(values(), before);
    EXPECT_EQ(snapshotSlots(), slots);
  }
}
