// SPDX-License-Identifier: ISC
// Microtuning through the plug-in: note frequencies from a tuning master, filtered notes, and the
// client's registration, with the tests' fake MTS-ESP library in place of the real one.

#include "core/quennet.h"

#include "services/fake_mts/fake_mts.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "TempHome.h"
#include "TestHost.h"

using namespace quennet;

namespace {

// Grain period a voice plays a frequency at, in seconds.
double period(double hz)
{
  return 1.0 / hz;
}

// Loads one fake library variant through the client's own loader before any instance exists, and
// unloads it afterwards so that later tests see no master.
class QuennetTuning : public ::testing::Test {
protected:
  void TearDown() override
  {
    plugin.reset();
    TuningLibrary::global.unload();
  }

  // `configure` runs on the freshly reset fake before the library is loaded.
  template <typename Configure>
  void load(fake_mts::Controls& fake, const char* path, Configure configure)
  {
    ASSERT_TRUE(fake.ok()) << dlerror();
    fake.reset();
    configure(fake);
    ASSERT_TRUE(TuningLibrary::global.load({path}));
  }

  // A plug-in in mode "MIDI" with the default four voices, at 48 kHz.
  void create()
  {
    plugin = std::make_unique<Quennet>(plug::InstanceInfo{});
    plugin->PrepareToPlay(48000.0, 64);
    plugin->SetParameterFromHostPlain(kGrainMode, kGrainModeMidi);
    renderEmptyBlock(*plugin);
    ASSERT_TRUE(plugin->midiMode());
    ASSERT_EQ(plugin->polyphony(), 4);
  }

  void play(int note, int channel = 0)
  {
    renderEmptyBlock(*plugin, {{0, static_cast<std::uint8_t>(0x90 | channel), static_cast<std::uint8_t>(note), 100}});
  }

  // Both grain boxes of voice v play at `hz`.
  void expectVoiceAt(int v, double hz)
  {
    SCOPED_TRACE("voice " + std::to_string(v));
    EXPECT_DOUBLE_EQ(plugin->voice(v).getBoxA().getGrainPeriod(), period(hz));
    EXPECT_DOUBLE_EQ(plugin->voice(v).getBoxB().getGrainPeriod(), period(hz));
  }

  TempHome home;
  std::unique_ptr<Quennet> plugin;
};

} // namespace

TEST_F(QuennetTuning, NotesTakeTheMastersFrequencies)
{
  fake_mts::Controls fake{FAKE_MTS_PATH};
  load(fake, FAKE_MTS_PATH, [](fake_mts::Controls& f) {
    f.setMaster(true);
    f.setMasterFrequency(60, 300.0);
    f.setMasterFrequency(64, 333.25);
    f.setMasterFrequency(67, 401.5);
  });
  create();

  play(60);
  play(64, 3);
  play(67, 15);
  expectVoiceAt(0, 300.0);
  expectVoiceAt(1, 333.25);
  expectVoiceAt(2, 401.5);
  EXPECT_EQ(fake.filterCount(), 3) << "every note asks whether it is filtered";
  EXPECT_EQ(fake.lastFilterNote(), 67);
  EXPECT_EQ(fake.lastFilterChannel(), -1);

  // The master retunes while the plug-in runs: the next note reads the table afresh.
  fake.setMasterFrequency(60, 250.0);
  play(60);
  expectVoiceAt(0, 250.0);
}

TEST_F(QuennetTuning, FilteredNoteIsNotPlayedAndStealsNoVoice)
{
  fake_mts::Controls fake{FAKE_MTS_PATH};
  load(fake, FAKE_MTS_PATH, [](fake_mts::Controls& f) {
    f.setMaster(true);
    f.setFilter(67, true);
    f.setMasterFrequency(60, 270.0);
  });
  create();

  for (int note : {60, 62, 64, 65})
    play(note);
  const std::array<int, 4> notes = {60, 62, 64, 65};
  for (int v = 0; v < 4; ++v)
    ASSERT_EQ(plugin->voiceNote(v), notes[static_cast<size_t>(v)]);
  ASSERT_EQ(plugin->noteCounter(), 4);

  play(67); // all four voices busy: a played note would take voice 0, the oldest
  EXPECT_EQ(fake.lastFilterNote(), 67);
  EXPECT_EQ(plugin->noteCounter(), 4);
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(plugin->voiceNote(v), notes[static_cast<size_t>(v)]);
    EXPECT_EQ(plugin->voiceAge(v), v + 1);
  }
  expectVoiceAt(0, 270.0);

  // Not filtered any more: the same note now takes the oldest voice.
  fake.setFilter(67, false);
  play(67);
  EXPECT_EQ(plugin->voiceNote(0), 67);
  expectVoiceAt(0, 440.0 * std::pow(2.0, -2.0 / 12.0)); // the fake master's default table
}

// The plug-in asks without a channel (-1), so a library's per-channel tables, filters and
// switches never apply, whatever channel the note came on.
TEST_F(QuennetTuning, NoChannelNeverUsesThePerChannelPath)
{
  fake_mts::Controls fake{FAKE_MTS_PATH};
  load(fake, FAKE_MTS_PATH, [](fake_mts::Controls& f) {
    f.setMaster(true);
    f.setUseMultichannel(-1, true); // also answers yes for channels outside 0 ... 15
    for (int c = 0; c < 16; ++c) {
      f.setUseMultichannel(c, true);
      f.setChannelFrequency(c, 60, 999.0);
      f.setChannelFilter(c, 62, true);
    }
    f.setMasterFrequency(60, 300.0);
    f.setMasterFrequency(62, 310.0);
  });
  create();

  play(60, 15);
  play(62, 15);
  expectVoiceAt(0, 300.0);
  expectVoiceAt(1, 310.0);
  EXPECT_EQ(plugin->voiceNote(1), 62) << "the channel filter must not drop the note";
  EXPECT_EQ(fake.multiFilterCount(), 0);
  EXPECT_EQ(fake.filterCount(), 2);
  EXPECT_EQ(fake.lastFilterChannel(), -1);
}

TEST_F(QuennetTuning, FilterEntriesOfTheLibrary)
{
  struct Case {
    const char* name;
    const char* path;
    bool played; // note 60, which the fake's own filter table excludes
  };
  const std::vector<Case> cases = {
    // No "MTS_ShouldFilterNote" at all: nothing is filtered.
    {"minimal library", FAKE_MTS_MINIMAL_PATH, true},
    // No "MTS_ShouldFilterNoteMultiChannel", every channel switched to its own table: had the
    // per-channel path been taken, the missing entry would mean no filtering. Without a channel
    // the single-table filter decides.
    {"library without the per-channel filter", FAKE_MTS_NO_MULTI_FILTER_PATH, false},
    {"full library", FAKE_MTS_PATH, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      fake_mts::Controls fake{c.path};
      load(fake, c.path, [](fake_mts::Controls& f) {
        f.setMaster(true);
        f.setFilter(60, true);
        f.setUseMultichannel(-1, true);
        for (int ch = 0; ch < 16; ++ch)
          f.setUseMultichannel(ch, true);
        f.setMasterFrequency(60, 300.0);
        f.setMasterFrequency(61, 321.0);
      });
      create();

      play(60);
      EXPECT_EQ(plugin->noteCounter(), c.played ? 1 : 0);
      if (c.played) {
        EXPECT_EQ(plugin->voiceNote(0), 60);
        expectVoiceAt(0, 300.0);
      }
      play(61);
      EXPECT_EQ(plugin->voiceNote(c.played ? 1 : 0), 61);
      expectVoiceAt(c.played ? 1 : 0, 321.0);
    }
    plugin.reset();
    TuningLibrary::global.unload();
  }
}

TEST_F(QuennetTuning, MasterAppearingAfterLoadingIsSeenAtTheNextNote)
{
  fake_mts::Controls fake{FAKE_MTS_PATH};
  load(fake, FAKE_MTS_PATH, [](fake_mts::Controls& f) {
    f.setMasterFrequency(60, 300.0);
    f.setMasterFrequency(62, 280.0);
    f.setFilter(60, true);
  });
  create();

  // No master: the plug-in's own equal-tempered table, and no question to the library.
  play(60);
  expectVoiceAt(0, 261.626);
  EXPECT_EQ(fake.filterCount(), 0);

  fake.setMaster(true);
  play(62);
  expectVoiceAt(1, 280.0);
  play(60);
  EXPECT_EQ(plugin->noteCounter(), 2) << "now the master filters note 60";

  fake.setMaster(false);
  play(64);
  expectVoiceAt(2, 329.628);
}

TEST_F(QuennetTuning, EachInstanceRegistersAndDeregistersOnce)
{
  fake_mts::Controls fake{FAKE_MTS_PATH};
  load(fake, FAKE_MTS_PATH, [](fake_mts::Controls&) {});

  auto first = std::make_unique<Quennet>(plug::InstanceInfo{});
  EXPECT_EQ(fake.registerCount(), 1);
  auto second = std::make_unique<Quennet>(plug::InstanceInfo{});
  EXPECT_EQ(fake.registerCount(), 2);
  EXPECT_EQ(fake.deregisterCount(), 0);
  first.reset();
  EXPECT_EQ(fake.deregisterCount(), 1);
  second.reset();
  EXPECT_EQ(fake.registerCount(), 2);
  EXPECT_EQ(fake.deregisterCount(), 2);
}

TEST_F(QuennetTuning, WithoutLibraryNotesUseTheOwnTable)
{
  TuningLibrary::global.unload();
  create();
  play(69);
  play(60);
  expectVoiceAt(0, 440.0);
  expectVoiceAt(1, 261.626);
}
