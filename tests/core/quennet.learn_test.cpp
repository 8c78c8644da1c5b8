// SPDX-License-Identifier: ISC
// MIDI learn through the plug-in: the knob and controller captures, the learned controllers moving
// their parameters, and the editor updates they cause.

#include "core/quennet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Files.h"
#include "Recorders.h"
#include "TempDir.h"
#include "TempHome.h"
#include "TestHost.h"
#include "base/RunLoop.h"

using namespace quennet;

namespace fs = std::filesystem;

namespace {

plug::HostMidiEvent cc(int controller, int value, int channel = 0)
{
  return {0, static_cast<std::uint8_t>(0xB0 | channel), static_cast<std::uint8_t>(controller),
          static_cast<std::uint8_t>(value)};
}

plug::HostMidiEvent noteOn(int note)
{
  return {0, 0x90, static_cast<std::uint8_t>(note), 100};
}

class QuennetLearn : public ::testing::Test {
protected:
  // The run loop's clock is advanced by hand; set before any instance puts its timer on the loop.
  static plug::ManualClock& clock()
  {
    static plug::ManualClock manual;
    return manual;
  }

  void SetUp() override { plug::RunLoop::Main().SetClock(clock()); }

  void TearDown() override
  {
    if (plugin)
      plugin->DetachEditor();
    plugin.reset();
  }

  // Constructs the plug-in on this thread, which thereby is the user-interface thread; the
  // configuration file holds `config` beforehand (none when empty).
  void create(const std::string& config = {})
  {
    if (!config.empty())
      writeFile(home.configFile(), config);
    plugin = std::make_unique<Quennet>(plug::InstanceInfo{});
    plugin->PrepareToPlay(48000.0, 64);
  }

  // One render call on a thread of its own, as the host's audio thread, delivering `midi`.
  void renderOnAudioThread(const std::vector<plug::HostMidiEvent>& midi = {})
  {
    std::thread audio([&] { renderEmptyBlock(*plugin, midi); });
    audio.join();
  }

  // One 20 ms timer tick on the user-interface thread.
  void tick()
  {
    clock().Advance(plug::IPluginAPIBase::kTimerIntervalMs);
    plug::RunLoop::Main().Pump();
  }

  std::string configFile() const { return readFile(home.configFile()); }
  double value(int paramIdx) { return plugin->GetParam(paramIdx)->GetValue(); }

  TempHome home;
  std::unique_ptr<Quennet> plugin;
};

} // namespace

TEST_F(QuennetLearn, KnobThenControllerAssignsAndRemovesTheParametersOldController)
{
  create("[MIDI Control]\nCC3=7\n");
  ASSERT_EQ(plugin->learn().controllerParam(3), kGrainFadeIn);

  plugin->doMidiLearn(true);
  plugin->SendParameterValueFromUI(kGrainFadeIn, 0.25);
  EXPECT_TRUE(plugin->learn().learnActive());
  EXPECT_EQ(plugin->learn().learnParam(), kGrainFadeIn);
  EXPECT_EQ(readFile(home.configFile()), "[MIDI Control]\nCC3=7\n") << "nothing saved before the CC";

  renderOnAudioThread({cc(20, 90, 5)});
  EXPECT_FALSE(plugin->learn().learnActive());
  EXPECT_EQ(plugin->learn().controllerParam(20), kGrainFadeIn);
  EXPECT_EQ(plugin->learn().controllerParam(3), -1);
  EXPECT_EQ(configFile(), "[Editor]\nScale=0.500000\n\n[MIDI Control]\nCC20=7\n\n");
  EXPECT_DOUBLE_EQ(value(kGrainFadeIn), 0.25) << "the CC that completes a learn moves nothing";
}

// The constructor puts the settings file in the XDG configuration folder and nowhere else in the
// home folder; the path the plug-in gives (the one "Save Window Size" names) is the file's full path.
TEST_F(QuennetLearn, SettingsFileLivesInTheXdgConfigurationFolder)
{
  const TempDir xdg("quennet-xdg");
  struct Case {
    const char* name;
    const char* configHome; // XDG_CONFIG_HOME; null: unset
    std::string expectedFile;
    std::vector<std::string> homeTree; // what the home folder holds afterwards
  };
  const std::vector<Case> cases = {
    {"XDG_CONFIG_HOME unset",
     nullptr,
     home.path() + "/.config/TarnwellMusic/quennet.ini",
     {".config", ".config/TarnwellMusic", ".config/TarnwellMusic/quennet.ini"}},
    {"XDG_CONFIG_HOME elsewhere", xdg.path().c_str(), xdg.path().string() + "/TarnwellMusic/quennet.ini", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home.path() + "/.config");
    if (c.configHome)
      setenv("XDG_CONFIG_HOME", c.configHome, 1);
    create();
    EXPECT_EQ(plugin->learn().configPath(), c.expectedFile);

    plugin->doMidiLearn(true);
    plugin->SendParameterValueFromUI(kMix, 0.5);
    renderOnAudioThread({cc(9, 1)});
    EXPECT_EQ(readFile(c.expectedFile), "[Editor]\nScale=0.500000\n\n[MIDI Control]\nCC9=1\n\n");

    std::vector<std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(home.path()))
      tree.push_back(fs::relative(entry.path(), home.path()).string());
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, c.homeTree);
    plugin.reset();
  }
}

TEST_F(QuennetLearn, TwoControllersThenAKnobAssignOnlyTheSecond)
{
  create();
  const bool syncModeBefore = plugin->grainSyncMode();
  plugin->doMidiLearn(true);
  renderOnAudioThread({cc(20, 1), cc(21, 2)});
  EXPECT_EQ(plugin->learn().learnCC(), 21);
  EXPECT_EQ(fs::file_size(home.configFile()), 0u);

  plugin->SendParameterValueFromUI(kGrainMode, 1.0); // completes on the user-interface thread
  EXPECT_FALSE(plugin->learn().learnActive());
  EXPECT_EQ(configFile(), "[Editor]\nScale=0.500000\n\n[MIDI Control]\nCC21=2\n\n");
  EXPECT_EQ(plugin->learn().controllerParam(20), -1);
  EXPECT_TRUE(plugin->learn().switchResetRequested());

  // The captured change never reached the engine, not even with the next render call.
  renderOnAudioThread();
  EXPECT_EQ(plugin->grainSyncMode(), syncModeBefore);
  EXPECT_FALSE(plugin->midiMode());
}

TEST_F(QuennetLearn, UnlearnByControllerAndByParameter)
{
  create("[MIDI Control]\nCC3=7\nCC20=7\nCC21=5\n");

  plugin->doMidiUnlearn(true);
  renderOnAudioThread({cc(20, 64)});
  EXPECT_FALSE(plugin->learn().learnActive());
  EXPECT_EQ(configFile(), "[Editor]\nScale=0.500000\n\n[MIDI Control]\nCC21=5\nCC3=7\n\n");

  plugin->doMidiUnlearn(true);
  plugin->SendParameterValueFromUI(kGrainFadeIn, 0.5);
  EXPECT_FALSE(plugin->learn().learnActive());
  EXPECT_EQ(configFile(), "[Editor]\nScale=0.500000\n\n[MIDI Control]\nCC21=5\n\n");
  EXPECT_EQ(plugin->learn().controllerParam(3), -1);
  EXPECT_EQ(plugin->learn().controllerParam(21), kGrainFrequency);
}

TEST_F(QuennetLearn, ChannelModeControllersNeverReachLearnAnd120And123StillEndNotes)
{
  create();
  plugin->SetParameterFromHostPlain(kGrainMode, kGrainModeMidi);
  renderOnAudioThread();
  ASSERT_TRUE(plugin->midiMode());
  plugin->doMidiLearn(true);

  struct Case {
    int controller;
    bool endsNotes;
  };
  for (const Case c :
       {Case{120, true}, Case{121, false}, Case{122, false}, Case{123, true}, Case{124, false}, Case{127, false}}) {
    SCOPED_TRACE(c.controller);
    renderOnAudioThread({noteOn(60)});
    ASSERT_NE(plugin->envelope(0).mStage, ADSR::kStageIdle);
    ASSERT_TRUE(plugin->noteActive());

    renderOnAudioThread({cc(c.controller, 0, 9)});
    EXPECT_EQ(plugin->envelope(0).mStage == ADSR::kStageIdle, c.endsNotes);
    EXPECT_EQ(plugin->noteActive(), !c.endsNotes);
    EXPECT_TRUE(plugin->learn().learnActive());
    EXPECT_EQ(plugin->learn().learnCC(), -1);
  }
  renderOnAudioThread({cc(119, 0)});
  EXPECT_EQ(plugin->learn().learnCC(), 119) << "the highest learnable controller is captured";
  EXPECT_EQ(plugin->envelope(0).mStage == ADSR::kStageIdle, false) << "and ends no notes";
}

// With learn armed a knob changes the parameter but not the sound; the engine keeps the old value
// until the parameter's next change after learning, here by the controller just learned.
TEST_F(QuennetLearn, ArmedKnobChangesTheParameterButNotTheEngine)
{
  create();
  const double volumeBefore = plugin->volume();
  ASSERT_NE(volumeBefore, 0.5);

  plugin->doMidiLearn(true);
  plugin->SendParameterValueFromUI(kVolume, 0.25); // Volume 0 ... 2, linear
  EXPECT_DOUBLE_EQ(value(kVolume), 0.5);
  renderOnAudioThread();
  EXPECT_EQ(plugin->volume(), volumeBefore);

  renderOnAudioThread({cc(7, 100)});
  ASSERT_EQ(plugin->learn().controllerParam(7), kVolume);
  EXPECT_DOUBLE_EQ(value(kVolume), 0.5);
  EXPECT_EQ(plugin->volume(), volumeBefore);

  renderOnAudioThread({cc(7, 127)});
  EXPECT_EQ(plugin->volume(), 2.0);
}

TEST_F(QuennetLearn, LearnedControllerMovesItsParameterAndAnUnchangedValueSendsNothing)
{
  create("[MIDI Control]\nCC7=0\nCC5=99\nCC6=abc\nCC8=-1\n");
  HostRecorder host;
  plugin->SetHostNotifications(&host);

  renderOnAudioThread({cc(7, 127)});
  EXPECT_EQ(value(kVolume), 2.0);
  EXPECT_EQ(plugin->volume(), 2.0) << "applied at once on the audio thread";
  renderOnAudioThread({cc(7, 64, 15)});
  EXPECT_DOUBLE_EQ(value(kVolume), 2.0 * 64.0 / 127.0);
  EXPECT_DOUBLE_EQ(plugin->volume(), 2.0 * 64.0 / 127.0);
  ASSERT_EQ(host.changes.size(), 2u);
  EXPECT_EQ(host.changes[0].paramIdx, kVolume);
  EXPECT_DOUBLE_EQ(host.changes[0].normalizedValue, 1.0);
  EXPECT_EQ(host.changes[1].paramIdx, kVolume);
  EXPECT_DOUBLE_EQ(host.changes[1].normalizedValue, 64.0 / 127.0);

  // The same value again, and controllers whose entries are no parameter: nothing at all.
  renderOnAudioThread({cc(7, 64), cc(5, 10), cc(6, 10), cc(8, 10), cc(9, 10)});
  EXPECT_EQ(host.changes.size(), 2u);
  EXPECT_DOUBLE_EQ(value(kVolume), 2.0 * 64.0 / 127.0);
  plugin->SetHostNotifications(nullptr);
}

TEST_F(QuennetLearn, EditorSeesALearnedControllerOnlyAtTheTimerTick)
{
  create("[MIDI Control]\nCC7=0\n");
  EditorRecorder editor;
  plugin->AttachEditor(&editor); // this thread is the user-interface thread
  tick();
  editor.updates.clear();

  renderOnAudioThread({cc(7, 127)});
  EXPECT_TRUE(editor.updates.empty()) << "controls are touched only on the user-interface thread";
  tick();
  ASSERT_EQ(editor.updates.size(), 1u);
  EXPECT_EQ(editor.updates[0].paramIdx, kVolume);
  EXPECT_DOUBLE_EQ(editor.updates[0].normalizedValue, 1.0);

  renderOnAudioThread({cc(7, 127)}); // unchanged: no update either
  tick();
  EXPECT_EQ(editor.updates.size(), 1u);
}

TEST_F(QuennetLearn, LearnCompletedOnTheAudioThreadRequestsTheSwitchResetForTheTimer)
{
  create();
  EditorRecorder editor;
  plugin->AttachEditor(&editor);
  plugin->doMidiLearn(true);
  plugin->SendParameterValueFromUI(kGrainLength, 0.5);
  EXPECT_FALSE(plugin->learn().switchResetRequested()) << "still armed";

  renderOnAudioThread({cc(22, 0)});
  EXPECT_FALSE(plugin->learn().learnActive());
  EXPECT_EQ(plugin->learn().controllerParam(22), kGrainLength);
  EXPECT_TRUE(plugin->learn().switchResetRequested());
  tick();
  EXPECT_FALSE(plugin->learn().switchResetRequested()) << "the timer took the request";
}
