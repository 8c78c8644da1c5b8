// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Recorders.h"
#include "framework/IPlugin.h"
#include "base/RunLoop.h"

namespace {

// A plug-in with three parameters of different kinds that records its dispatch.
class PathsPlugin final : public plug::IPlugin {
public:
  static plug::Config config()
  {
    plug::Config c;
    c.nParams = 3;
    c.nPresets = 1;
    return c;
  }

  PathsPlugin() : plug::IPlugin(config())
  {
    GetParam(0)->InitDouble("Level", 0.0, 0.0, 10.0, 0.1);
    GetParam(1)->InitInt("Voices", 0, 0, 4);
    GetParam(2)->InitBool("Switch", false);
  }
  ~PathsPlugin() override { StopTimer(); }

  void OnParamChange(int paramIdx) override
  {
    events.push_back("change " + std::to_string(paramIdx));
    dispatchedValues.push_back(GetParam(paramIdx)->GetValue());
  }
  void OnParamChangeUI(int paramIdx, plug::EParamSource source) override
  {
    events.push_back("ui " + std::to_string(paramIdx) + " " + std::to_string(source));
  }
  void OnIdle() override { events.push_back("idle"); }
  void ProcessBlock(double**, double**, int) override {}

  std::vector<std::string> events;
  std::vector<double> dispatchedValues;
};

class ChangePaths : public ::testing::Test {
protected:
  static void SetUpTestSuite() { plug::RunLoop::Main().SetClock(sClock); }

  void tick()
  {
    sClock.Advance(plug::IPluginAPIBase::kTimerIntervalMs);
    plug::RunLoop::Main().Pump();
  }

  static plug::ManualClock sClock;
  HostRecorder host;
  EditorRecorder editor;
};

plug::ManualClock ChangePaths::sClock;

} // namespace

TEST_F(ChangePaths, EditorGestureStoresInformsHostThenDispatches)
{
  PathsPlugin plugin;
  plugin.SetHostNotifications(&host);
  plugin.AttachEditor(&editor);

  plugin.BeginInformHostOfParamChangeFromUI(0);
  plugin.SendParameterValueFromUI(0, 0.5);
  plugin.EndInformHostOfParamChangeFromUI(0);

  EXPECT_DOUBLE_EQ(plugin.GetParam(0)->GetValue(), 5.0);
  ASSERT_EQ(host.changes.size(), 1u);
  EXPECT_EQ(host.changes[0].paramIdx, 0);
  EXPECT_DOUBLE_EQ(host.changes[0].normalizedValue, 0.5);
  EXPECT_EQ(host.touched, std::vector<int>{0});
  EXPECT_EQ(host.released, std::vector<int>{0});
  EXPECT_EQ(plugin.events, (std::vector<std::string>{"change 0", "ui 0 3"}));
  EXPECT_TRUE(editor.updates.empty()) << "the control the user moved already shows its value";

  plugin.BeginInformHostOfParamChangeFromUI(-1); // controls without a parameter touch nothing
  EXPECT_EQ(host.touched.size(), 1u);
}

TEST_F(ChangePaths, PluginChangeInformsHostAndDispatchesWithoutTouchingTheEditor)
{
  PathsPlugin plugin;
  plugin.SetHostNotifications(&host);
  plugin.AttachEditor(&editor);

  plugin.SetParameterValue(2, 1.0);
  EXPECT_DOUBLE_EQ(plugin.GetParam(2)->GetValue(), 1.0);
  ASSERT_EQ(host.changes.size(), 1u);
  EXPECT_EQ(plugin.events, std::vector<std::string>{"change 2"});
  tick();
  EXPECT_TRUE(editor.updates.empty());
}

TEST_F(ChangePaths, HostChangeBetweenStepsStoresNearestStepDispatchesOnceAndReachesEditorAtTick)
{
  PathsPlugin plugin;
  plugin.SetHostNotifications(&host);
  plugin.AttachEditor(&editor);

  plugin.SetParameterFromHost(1, 0.6); // 0.6 of 0 ... 4 is 2.4: the nearest step is 2
  EXPECT_DOUBLE_EQ(plugin.GetParam(1)->GetValue(), 2.0);
  EXPECT_EQ(plugin.dispatchedValues, std::vector<double>{2.0});
  EXPECT_TRUE(host.changes.empty()) << "the host made the change; nothing goes back";
  EXPECT_TRUE(editor.updates.empty()) << "editor updates wait for the timer";

  tick();
  ASSERT_EQ(editor.updates.size(), 1u);
  EXPECT_EQ(editor.updates[0].paramIdx, 1);
  EXPECT_DOUBLE_EQ(editor.updates[0].normalizedValue, 0.5);
}

// However many host changes arrive before a tick (and however long no editor is open to tick), the
// editor is shown each changed parameter once, at its value at the tick: never an older value.
TEST_F(ChangePaths, HostChangesCoalesceIntoTheCurrentValueAtTheTick)
{
  PathsPlugin plugin;
  plugin.AttachEditor(&editor);
  const int changes = 612;
  for (int i = 0; i < changes; ++i) {
    plugin.SetParameterFromHost(0, (i % 101) / 100.0);
    plugin.SetParameterFromHost(2, i % 2);
  }
  plugin.SetParameterFromHost(1, 0.25);

  EXPECT_EQ(static_cast<int>(plugin.dispatchedValues.size()), 2 * changes + 1) << "every change is dispatched";
  const double level = ((changes - 1) % 101) / 10.0;
  EXPECT_DOUBLE_EQ(plugin.GetParam(0)->GetValue(), level);

  plugin.events.clear();
  tick();
  ASSERT_EQ(editor.updates.size(), 3u) << "one update per changed parameter, in index order";
  EXPECT_EQ(editor.updates[0].paramIdx, 0);
  EXPECT_DOUBLE_EQ(editor.updates[0].normalizedValue, level / 10.0);
  EXPECT_EQ(editor.updates[1].paramIdx, 1);
  EXPECT_DOUBLE_EQ(editor.updates[1].normalizedValue, 0.25);
  EXPECT_EQ(editor.updates[2].paramIdx, 2);
  EXPECT_DOUBLE_EQ(editor.updates[2].normalizedValue, 1.0);
  EXPECT_EQ(plugin.events, (std::vector<std::string>{"ui 0 4", "ui 1 4", "ui 2 4", "idle"}))
    << "OnIdle comes after the updates";

  // A change made after the host's, before the tick, is what the tick shows.
  plugin.SetParameterFromHost(0, 0.5);
  plugin.SetParameterValue(0, 0.8);
  tick();
  ASSERT_EQ(editor.updates.size(), 4u);
  EXPECT_DOUBLE_EQ(editor.updates[3].normalizedValue, 0.8);
  tick();
  EXPECT_EQ(editor.updates.size(), 4u) << "nothing asked for, nothing shown";
}

TEST_F(ChangePaths, DelegateUpdatesOffTheUserInterfaceThreadWaitForTheTimer)
{
  PathsPlugin plugin;
  plugin.AttachEditor(&editor);

  std::thread other([&] {
    plugin.GetParam(0)->SetFromNormalized(0.25);
    plugin.SendParameterValueFromDelegate(0, 0.25, true);
  });
  other.join();
  EXPECT_TRUE(editor.updates.empty());
  tick();
  ASSERT_EQ(editor.updates.size(), 1u);
  EXPECT_DOUBLE_EQ(editor.updates[0].normalizedValue, 0.25);

  plugin.SendParameterValueFromDelegate(0, 7.5, false); // on the user-interface thread: at once
  ASSERT_EQ(editor.updates.size(), 2u);
  EXPECT_DOUBLE_EQ(editor.updates[1].normalizedValue, 0.75);
}

TEST_F(ChangePaths, WithoutAnEditorTheTimerStillDrainsAndCallsOnIdle)
{
  PathsPlugin plugin;
  plugin.SetParameterFromHost(0, 1.0);
  plugin.events.clear();
  tick();
  EXPECT_EQ(plugin.events, (std::vector<std::string>{"ui 0 4", "idle"}));
}

TEST_F(ChangePaths, EachInstanceOwnsOneTimerForItsLifetime)
{
  const int before = plug::RunLoop::Main().NumTimers();
  {
    PathsPlugin a;
    PathsPlugin b;
    EXPECT_EQ(plug::RunLoop::Main().NumTimers(), before + 2);
    a.events.clear();
    b.events.clear();
    tick();
    EXPECT_EQ(a.events, std::vector<std::string>{"idle"});
    EXPECT_EQ(b.events, std::vector<std::string>{"idle"});
  }
  EXPECT_EQ(plug::RunLoop::Main().NumTimers(), before);
  tick(); // nothing left to call
}
