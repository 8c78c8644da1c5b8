// SPDX-License-Identifier: ISC
// The texts the artwork prints come from the parameter table: section titles from the words the
// names share, labels from what is left.

#include <gtest/gtest.h>

#include <vector>

#include "tools/editor-art/ArtNames.h"

using namespace quennet;

namespace {

TEST(ArtNames, SectionsTakeTheirTitleFromTheSharedFirstWord)
{
  const art::ParamTable params;
  struct Case {
    const char* name;
    std::vector<int> group;
    const char* word;
  };
  const Case cases[] = {
    {"grain", {kGrainMode, kGrainLength, kGrainSync, kGrainFrequency, kGrainOverlap, kGrainSkew}, "Grain"},
    {"frame", {kFrameLength, kFrameSyncToHost, kFrameFadeOut}, "Frame"},
    {"midi", {kMidiPolyphony, kMidiAttack, kMidiRelease}, "MIDI"},
    {"no shared word", {kVolume, kMix}, ""},
    {"mixed sections", {kGrainOverlap, kFrameOverlap}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(params.commonFirstWord(c.group), c.word);
  }
}

TEST(ArtNames, LabelsDropOnlyALeadingSectionWord)
{
  const art::ParamTable params;
  struct Case {
    int param;
    const char* word;
    const char* label;
  };
  const Case cases[] = {
    {kGrainFadeIn, "Grain", "Fade-In"},      {kFrameSyncToHost, "Frame", "Sync to Host"},
    {kMidiPolyphony, "MIDI", "Polyphony"},   {kGrainLength, "", "Grain Length"},
    {kGrainLength, "Frame", "Grain Length"}, {kVolume, "Vol", "Volume"}, // a word, not a prefix of one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(params.shortName(c.param, c.word), c.label);
  }
  EXPECT_EQ(art::upper("Sync to Host"), "SYNC TO HOST");
}

} // namespace
