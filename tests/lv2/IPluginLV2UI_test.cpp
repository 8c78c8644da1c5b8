// SPDX-License-Identifier: ISC
// The editor as an LV2 X11 UI, linked in with the plug-in and the bridge and driven as a host drives
// it, on a private Xvfb: a small editor (a Volume knob and a Grain Mode menu) is installed through the
// plug-in's editor hooks, the user's mouse comes through XTest, and the test checks what reaches the
// host's write_function, touch and resize, what port_event does to the editor, sizes, preset
// switches, timers pumped by idle, two instances side by side, and many opens and closes.

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "LV2TestHost.h"
#include "OpenDescriptors.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "core/quennet.h"
#include "editor/quennet.editor.h"
#include "framework/LV2/IPluginLV2.h"
#include "framework/LV2/IPluginLV2UI.h"
#include "framework/LV2/LV2Layout.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "graphics/IKnobControl.h"
#include "graphics/IPopupMenu.h"
#include "graphics/PopupMenuPanel.h"
#include "base/RunLoop.h"
#include "platform/X11View.h"

#include "X11UIHost.h"

using namespace quennet;

using namespace plug::graphics;
using plug::lv2::IPluginLV2UI;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 256;
constexpr std::uint32_t kVolumePort = plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(kVolume);
constexpr std::uint32_t kGrainModePort = plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(kGrainMode);

XvfbServer* gServer = nullptr;

// Grain Mode's four entries in a menu that a click opens.
class ModeMenu : public IControl {
public:
  explicit ModeMenu(const IRECT& bounds) : IControl(bounds, kGrainMode) {}
  void OnMouseDown(float x, float y, const IMouseMod&) override
  {
    mMenu.Clear();
    for (const char* mode : {"M.SEC", "SYNC", "FREQ", "MIDI"})
      mMenu.AddItem(mode);
    GetUI()->CreatePopupMenu(*this, mMenu, IRECT(x, y, x, y));
  }
  void OnPopupMenuSelection(IPopupMenu* menu, int) override
  {
    if (menu)
      SetValueFromUserInput(menu->GetChosenItemIdx() / 3.0);
  }
  void Draw(IGraphics& g) override
  {
    g.FillRect(IColor(255, 0, 0, static_cast<int>(std::lround(255 * GetValue()))), GetRECT());
  }

private:
  IPopupMenu mMenu;
};

// The small editor: 400 × 300 at scale 1, the Volume knob (48 × 48 placeholder frames) at 100, 100
// and the Grain Mode menu at 200, 100 … 300, 140.
struct TestEditor {
  void install(plug::IPlugin& plugin)
  {
    SetMakeGraphicsFunc(plugin, [this, &plugin] {
      auto g = MakeGraphics(plugin, 400, 300, 60, 1.0f);
      SetLayoutFunc(plugin, [this](IGraphics* layout) {
        knob = static_cast<IKnobControlBase*>(
          layout->AttachControl(new IBKnobControl(100, 100, IBitmap::Placeholder("knob", 65, false), kVolume)));
        mode = static_cast<ModeMenu*>(layout->AttachControl(new ModeMenu(IRECT(200, 100, 300, 140))));
      });
      return g;
    });
  }
  IKnobControlBase* knob = nullptr;
  ModeMenu* mode = nullptr;
};

// One plug-in instance through the bridge's descriptor, with its ports and the small editor.
class Instance {
public:
  // `smallEditor` false: the plug-in's own editor.
  explicit Instance(bool smallEditor = true)
      : options(urids, static_cast<float>(kRate), kBlock), ports(urids, kBlock, controlPortDefaults())
  {
    const LV2_Feature* features[] = {urids.mapFeature(), &options.feature, nullptr};
    handle = descriptor->instantiate(descriptor, kRate, "", features);
    if (!handle)
      return;
    ports.connect(*descriptor, handle);
    descriptor->activate(handle);
    if (smallEditor)
      editor.install(plugin());
  }
  ~Instance()
  {
    if (handle)
      descriptor->cleanup(handle);
  }
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  plug::lv2::IPluginLV2& bridge() { return *static_cast<plug::lv2::IPluginLV2*>(handle); }
  Quennet& plugin() { return *static_cast<Quennet*>(bridge().GetPlug()); }
  double value(int paramIdx) { return plugin().GetParam(paramIdx)->GetValue(); }
  float& control(int paramIdx) { return ports.controls[static_cast<size_t>(paramIdx)]; }
  void run()
  {
    ports.eventsOut.prepareOutput();
    descriptor->run(handle, kBlock);
  }

  const LV2_Descriptor* descriptor = plug::lv2::Descriptor();
  UridMap urids;
  HostOptions options;
  HostPorts ports;
  LV2_Handle handle = nullptr;
  TestEditor editor;
};

class LV2UITest : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    gServer = new XvfbServer(1280, 1024);
    ASSERT_FALSE(gServer->display().empty()) << gServer->log();
    // The UI opens its connection to the host's display, $DISPLAY.
    setenv("DISPLAY", gServer->display().c_str(), 1);
  }
  static void TearDownTestSuite()
  {
    delete gServer;
    gServer = nullptr;
  }

  // The run loop's clock is the test's from before the first timer exists, so that timers fire
  // when the test says 20 ms have passed, not when the machine gets round to it.
  LV2UITest() { plug::RunLoop::Main().SetClock(clock); }
  ~LV2UITest() override
  {
    hosts.clear();
    instances.clear();
    static const plug::SteadyClock steady;
    plug::RunLoop::Main().SetClock(steady);
  }

  Instance& newInstance(bool smallEditor = true)
  {
    instances.push_back(std::make_unique<Instance>(smallEditor));
    return *instances.back();
  }
  X11UIHost& newHost(int x = 0, int width = 1200, int height = 900)
  {
    hosts.push_back(std::make_unique<X11UIHost>(gServer->display(), width, height, x));
    return *hosts.back();
  }
  bool open(X11UIHost& host, Instance& instance, const std::set<std::string>& omit = {})
  {
    return host.open(*plug::lv2::UIDescriptor(), plug::lv2::kPluginURI, "", instance.handle, instance.urids, omit);
  }
  // What hosts do with the UI's writes: the ports take them before the next run.
  static void deliver(X11UIHost& host, Instance& instance)
  {
    for (const X11UIHost::Write& w : host.writes)
      instance.ports.controls[w.port - plug::lv2::kFirstControlPort] = w.value;
    instance.run();
  }
  static IPluginLV2UI& ui(X11UIHost& host) { return *static_cast<IPluginLV2UI*>(host.handle); }
  static IGraphics& graphics(X11UIHost& host) { return ui(host).Window()->Graphics(); }

  // Everything sent has been handled by the server and the UI, 20 ms pass, and the host's idle call
  // has run the timers and drawn the frame.
  void settle(X11UIHost& host)
  {
    XSync(host.display, False);
    ui(host).View()->Sync();
    clock.Advance(20.0);
    EXPECT_EQ(host.idle(), 0);
    ui(host).View()->Sync();
  }

  plug::ManualClock clock;
  TempHome home;
  std::vector<std::unique_ptr<Instance>> instances;
  std::vector<std::unique_ptr<X11UIHost>> hosts;
};

} // namespace

// Each refusal says why, in one line on stderr: a host shows nothing when a UI does not open.
TEST_F(LV2UITest, RefusedWithoutItsRequiredFeaturesOrForAnotherInstanceOrPlugIn)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(host.valid());
  auto refusal = [](const std::function<bool()>& opens) {
    testing::internal::CaptureStderr();
    const bool opened = opens();
    const std::string said = testing::internal::GetCapturedStderr();
    return opened ? std::string("opened") : said;
  };
  struct Case {
    const char* feature;
    const char* reason;
  };
  for (const Case& c : {Case{LV2_UI__parent, "no parent window (ui:parent)"}, Case{LV2_URID__map, "no urid:map"},
                        Case{LV2_INSTANCE_ACCESS_URI, "no instance-access"}}) {
    SCOPED_TRACE(c.feature);
    EXPECT_EQ(refusal([&] { return open(host, instance, {c.feature}); }),
              std::string("quennet: the editor cannot open: the host gives ") + c.reason + "\n");
  }
  EXPECT_EQ(refusal([&] {
              return host.open(*plug::lv2::UIDescriptor(), "http://example.com/other", "", instance.handle,
                               instance.urids);
            }),
            "quennet: the editor cannot open: it is for another plug-in: http://example.com/other\n");
  int notAnInstance = 0;
  EXPECT_EQ(refusal([&] {
              return host.open(*plug::lv2::UIDescriptor(), plug::lv2::kPluginURI, "", &notAnInstance, instance.urids);
            }),
            "quennet: the editor cannot open: the instance the host names (instance-access) is none of this module's\n")
    << "a handle that is none of this module's instances is never used";
  EXPECT_EQ(host.children(), 0u);
  // A display that cannot be opened, and a parent window that does not exist.
  const std::string display = std::getenv("DISPLAY");
  setenv("DISPLAY", ":4711", 1);
  EXPECT_EQ(refusal([&] { return open(host, instance); }),
            "quennet: the editor cannot open: cannot open the X display \":4711\"\n");
  setenv("DISPLAY", display.c_str(), 1);
  const ::Window parent = host.parent;
  host.parent = XCreateSimpleWindow(host.display, DefaultRootWindow(host.display), 0, 0, 10, 10, 0, 0, 0);
  XDestroyWindow(host.display, host.parent);
  XSync(host.display, False);
  char gone[80];
  std::snprintf(gone, sizeof(gone), "the parent window 0x%lx does not exist", host.parent);
  EXPECT_EQ(refusal([&] { return open(host, instance); }),
            std::string("quennet: the editor cannot open: ") + gone + "\n");
  host.parent = parent;

  EXPECT_TRUE(open(host, instance, {LV2_UI__resize, LV2_UI__touch, LV2_UI__idleInterface})) << "the optional ones";
}

TEST_F(LV2UITest, TheEditorOpensInsideTheHostsWindowAndTellsItsSize)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(open(host, instance));
  settle(host);
  EXPECT_EQ(host.children(), 1u);
  const XWindowAttributes a = host.uiAttributes();
  EXPECT_EQ(a.width, 400);
  EXPECT_EQ(a.height, 300);
  EXPECT_EQ(a.map_state, IsViewable);
  ASSERT_FALSE(host.resizes.empty());
  EXPECT_EQ(host.resizes.back(), std::make_pair(400, 300));
  EXPECT_EQ(instance.plugin().GetEditor(), &graphics(host));
  EXPECT_EQ(host.screenPixel(250, 120), 0x000000u) << "the Grain Mode menu, M.SEC";

  // The editor's own size changes reach the host.
  graphics(host).Resize(400, 300, 0.5f);
  settle(host);
  EXPECT_EQ(host.resizes.back(), std::make_pair(200, 150));
  EXPECT_EQ(host.uiAttributes().width, 200);

  // A size from the host: the scale that fits.
  EXPECT_EQ(host.resizeUI(800, 900), 0);
  settle(host);
  EXPECT_FLOAT_EQ(graphics(host).GetDrawScale(), 2.0f);
  EXPECT_EQ(host.uiAttributes().width, 800);
  EXPECT_EQ(host.resizes.back(), std::make_pair(200, 150)) << "not reported back";
}

TEST_F(LV2UITest, AKnobDragGoesToTheHostsPortWithTouchAndDoesNotComeBackAsAChange)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(open(host, instance));
  settle(host);
  instance.run();
  const double before = instance.value(kVolume);

  host.drag(124, 124, 124, 101, 7); // up: louder
  settle(host);
  const double after = instance.value(kVolume);
  ASSERT_GT(after, before);
  ASSERT_FALSE(host.writes.empty());
  for (const X11UIHost::Write& w : host.writes)
    EXPECT_EQ(w.port, kVolumePort);
  EXPECT_EQ(host.writes.back().value, static_cast<float>(after)) << "the plain value, as the port's range says";
  ASSERT_EQ(host.touches.size(), 2u);
  EXPECT_EQ(host.touches[0].port, kVolumePort);
  EXPECT_TRUE(host.touches[0].grabbed);
  EXPECT_FALSE(host.touches[1].grabbed);

  // The host puts the written value on the port, as hosts do: no change to the plug-in, whose value
  // stays exactly what the editor made it (a float port would round it).
  ASSERT_NE(static_cast<double>(static_cast<float>(after)), after) << "choose a drag that gives no float";
  instance.control(kVolume) = host.writes.back().value;
  instance.run();
  EXPECT_EQ(instance.value(kVolume), after);

  // A value of the host's own on the port is a change as ever.
  instance.control(kVolume) = 1.5f;
  instance.run();
  EXPECT_DOUBLE_EQ(instance.value(kVolume), 1.5);
}

TEST_F(LV2UITest, AMenuChoiceGoesToTheHost)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(open(host, instance));
  settle(host);
  host.click(250, 120);
  settle(host);
  ASSERT_TRUE(graphics(host).IsPopupMenuOpen());
  const IRECT freq = graphics(host).GetPopupMenuPanel()->ItemRect(2);
  host.click(static_cast<int>(freq.MW()), static_cast<int>(freq.MH()));
  settle(host);
  EXPECT_FALSE(graphics(host).IsPopupMenuOpen());
  EXPECT_EQ(instance.value(kGrainMode), 2.0);
  ASSERT_EQ(host.writes.size(), 1u);
  EXPECT_EQ(host.writes[0].port, kGrainModePort);
  EXPECT_EQ(host.writes[0].value, 2.0f);
  EXPECT_EQ(host.screenPixel(250, 120), 0x0000AAu) << "the menu control redrawn for FREQ";
}

TEST_F(LV2UITest, PortEventsShowOnTheEditorWithoutEchoing)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(open(host, instance));
  settle(host);
  instance.run();
  IKnobControlBase& knob = *instance.editor.knob;
  const plug::IParam& volume = *instance.plugin().GetParam(kVolume);

  // The host moved its control: the editor shows it at once, and writes nothing back.
  host.portEvent(kVolumePort, 1.5f);
  EXPECT_DOUBLE_EQ(knob.GetValue(), volume.NormalizedFromValue(1.5));
  EXPECT_TRUE(host.writes.empty());
  EXPECT_EQ(instance.value(kVolume), 1.0) << "the plug-in takes it when it runs";
  instance.control(kVolume) = 1.5f;
  instance.run();
  EXPECT_DOUBLE_EQ(instance.value(kVolume), 1.5);

  // The editor's own writes coming back late, while the user has moved on, change nothing.
  host.moveTo(124, 124);
  host.button(Button1, true, 1000);
  for (int y : {120, 116, 112}) {
    host.moveTo(124, y);
    settle(host);
  }
  // A value from the host in the middle of the gesture: the user's hand wins.
  const double held = knob.GetValue();
  host.portEvent(kVolumePort, 0.125f);
  EXPECT_EQ(knob.GetValue(), held);
  host.button(Button1, false);
  settle(host);
  ASSERT_GE(host.writes.size(), 2u);
  const double dragged = knob.GetValue();
  for (const X11UIHost::Write& w : host.writes)
    host.portEvent(w.port, w.value);
  host.portEvent(kVolumePort, host.writes.front().value);
  EXPECT_EQ(knob.GetValue(), dragged);

  // A value the plug-in has already taken into account (here: the port as the plug-in last read it,
  // while the plug-in has since changed the parameter itself, as a learned controller does) does
  // not overwrite what the editor shows.
  instance.control(kVolume) = 0.5f;
  instance.run();
  std::thread([&] { instance.plugin().SetParameterValue(kVolume, volume.NormalizedFromValue(1.75)); }).join();
  knob.SetValueFromDelegate(volume.NormalizedFromValue(1.75));
  host.portEvent(kVolumePort, 0.5f);
  EXPECT_DOUBLE_EQ(knob.GetValue(), volume.NormalizedFromValue(1.75));
  host.portEvent(kVolumePort, 0.25f);
  EXPECT_DOUBLE_EQ(knob.GetValue(), volume.NormalizedFromValue(0.25)) << "a new value does";

  // Other formats and ports that are no control ports are ignored.
  const double shown = knob.GetValue();
  const double wide = 3.0;
  plug::lv2::UIDescriptor()->port_event(host.handle, kVolumePort, sizeof(double), 0, &wide);
  plug::lv2::UIDescriptor()->port_event(host.handle, kVolumePort, sizeof(float), 1, &wide);
  host.portEvent(plug::lv2::kAudioInLeft, 0.0f);
  host.portEvent(1000, 0.0f);
  EXPECT_EQ(knob.GetValue(), shown);
}

TEST_F(LV2UITest, HostChangesReachTheEditorThroughTheTimerThatIdlePumps)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(open(host, instance));
  settle(host);
  instance.control(kVolume) = 0.5f;
  instance.run();
  EXPECT_NE(instance.editor.knob->GetValue(), 0.25) << "not before the timer";
  settle(host);
  EXPECT_DOUBLE_EQ(instance.editor.knob->GetValue(), 0.25);
  EXPECT_TRUE(host.writes.empty()) << "the host's change is not written back";
}

TEST_F(LV2UITest, APresetSwitchInTheEditorWritesEveryPort)
{
  Instance& instance = newInstance();
  X11UIHost& host = newHost();
  ASSERT_TRUE(open(host, instance));
  settle(host);
  instance.plugin().changePreset(2); // "Frequency", as the editor's preset menu does
  ASSERT_EQ(host.writes.size(), 22u);
  for (size_t i = 0; i < host.writes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(host.writes[i].port, plug::lv2::kFirstControlPort + i);
    EXPECT_EQ(host.writes[i].value, static_cast<float>(instance.value(static_cast<int>(i))));
  }
  EXPECT_EQ(host.writes[kGrainMode].value, 2.0f) << "FREQ";
  // The host puts them all on the ports: nothing is dispatched again, nothing changes.
  std::vector<double> values;
  for (int i = 0; i < 22; ++i)
    values.push_back(instance.value(i));
  for (const X11UIHost::Write& w : host.writes)
    instance.ports.controls[w.port - plug::lv2::kFirstControlPort] = w.value;
  instance.run();
  for (int i = 0; i < 22; ++i)
    EXPECT_EQ(instance.value(i), values[static_cast<size_t>(i)]) << i;
}

TEST_F(LV2UITest, TwoInstancesEachWithItsEditorSideBySide)
{
  Instance& first = newInstance();
  Instance& second = newInstance();
  X11UIHost& left = newHost(0, 410, 400);
  X11UIHost& right = newHost(420, 410, 400);
  ASSERT_TRUE(open(left, first));
  ASSERT_TRUE(open(right, second));
  settle(left);
  settle(right);
  right.drag(124, 124, 124, 100, 4);
  settle(right);
  settle(left);
  EXPECT_TRUE(left.writes.empty());
  ASSERT_FALSE(right.writes.empty());
  EXPECT_GT(second.value(kVolume), 1.0);
  EXPECT_EQ(first.value(kVolume), 1.0);
  deliver(right, second);

  // Only one host calls idle: the run loop they share still serves both instances' timers.
  first.control(kVolume) = 0.5f;
  first.run();
  second.control(kVolume) = 2.0f;
  second.run();
  settle(right);
  EXPECT_DOUBLE_EQ(first.editor.knob->GetValue(), 0.25);
  EXPECT_DOUBLE_EQ(second.editor.knob->GetValue(), 1.0);
  right.close();
  settle(left);
  EXPECT_EQ(second.plugin().GetEditor(), nullptr);
  EXPECT_NE(first.plugin().GetEditor(), nullptr);
}

TEST_F(LV2UITest, ThePlugInsEditorOpenedAndClosedFiftyTimesWhileTheInstanceRunsLeavesNothing)
{
  Instance& instance = newInstance(false);
  auto noReferences = [&] {
    const QuennetEditor::EditorReferences& refs = editorOf(instance.plugin()).editorReferences();
    return !refs.graphics && !refs.midiLearnSwitch && !refs.grainLengthSlider && !refs.grainSyncSlider &&
      !refs.grainFrequencySlider && !refs.frameLengthSlider && !refs.frameSyncSlider && !refs.grainEnvelope &&
      !refs.frameEnvelope && !refs.midiLed;
  };
  X11UIHost& host = newHost();
  // The host's audio thread runs the instance all along; the host sets its ports between two runs.
  std::atomic<bool> stop{false};
  std::mutex ports;
  std::thread audio([&] {
    while (!stop.load()) {
      {
        const std::lock_guard lock(ports);
        instance.run();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  auto cycle = [&](int i) {
    ASSERT_TRUE(open(host, instance));
    settle(host);
    EXPECT_EQ(editorOf(instance.plugin()).editorReferences().graphics, &graphics(host));
    host.portEvent(kVolumePort, i % 2 ? 0.5f : 1.5f);
    if (i % 10 == 0) {
      host.drag(60, 196, 60, 190, 2, 0); // the Volume knob; a new editor: no double-click to avoid
      settle(host);
    }
    host.close();
    EXPECT_EQ(instance.plugin().GetEditor(), nullptr);
    EXPECT_TRUE(noReferences()) << "the nine control references are dropped";
    // Changes that would refresh the editor (the audio thread applies them) find none and touch
    // nothing.
    {
      const std::lock_guard lock(ports);
      instance.control(kGrainMode) = static_cast<float>(i % 4);
    }
    clock.Advance(20.0);
    plug::RunLoop::Main().Pump();
  };
  for (int i = 0; i < 3; ++i)
    cycle(i); // what the first windows leave for good (Xlib's caches)
  const int timers = plug::RunLoop::Main().NumTimers();
  const int descriptors = openDescriptors();
  const std::size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 50; ++i)
    cycle(i);
  const std::size_t grown = mallinfo2().uordblks - std::min(heap, mallinfo2().uordblks);
  stop = true;
  audio.join();
  EXPECT_EQ(plug::RunLoop::Main().NumTimers(), timers) << "no frame timer left behind";
  EXPECT_EQ(openDescriptors(), descriptors) << "every X connection closed";
  EXPECT_EQ(host.children(), 0u) << "every window destroyed";
  // One editor's picture alone is 984 × 432 × 4 = 1.7 MB: an editor left behind would show.
  EXPECT_LT(grown, 300000u) << "heap grew by " << grown << " bytes over 50 editors";
  EXPECT_FALSE(instance.plugin().HasOpenEditor());
}

TEST_F(LV2UITest, AnInstanceGoneFirstOrAParentDestroyedEndsTheEditorQuietly)
{
  {
    Instance& instance = newInstance();
    X11UIHost& host = newHost();
    ASSERT_TRUE(open(host, instance));
    settle(host);
    instances.clear(); // a host that breaks the rule: the instance goes before its UI
    EXPECT_NE(host.idle(), 0);
    host.portEvent(kVolumePort, 1.0f);
    host.close();
  }
  {
    Instance& instance = newInstance();
    X11UIHost& host = newHost();
    ASSERT_TRUE(open(host, instance));
    settle(host);
    XDestroyWindow(host.display, host.parent);
    XSync(host.display, False);
    EXPECT_NE(host.idle(), 0);
    EXPECT_EQ(instance.plugin().GetEditor(), nullptr) << "the editor closed with its window";
    host.close();
    host.parent = 0;
  }
}

// A host may end the instance and its UI in either order, each on its own thread: the editor closes
// with whichever goes first, nothing is used after its end (run under AddressSanitizer), and an
// instance that ends on another thread while the UI's thread keeps calling idle and port_event
// (run under ThreadSanitizer) ends the editor between two of those calls.
TEST_F(LV2UITest, TheInstanceAndItsEditorEndInEitherOrderOnEitherThread)
{
  struct Case {
    const char* name;
    bool instanceFirst;
    bool onAnotherThread; // the first to end does so on a thread of its own
  };
  const Case cases[] = {
    {"the instance first, on another thread", true, true},
    {"the instance first, on the UI's thread", true, false},
    {"the editor first, on another thread", false, true},
    {"the editor first, on the UI's thread", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Instance& instance = newInstance(false); // the plug-in's own editor
    X11UIHost& host = newHost();
    ASSERT_TRUE(open(host, instance));
    settle(host);
    host.drag(60, 196, 60, 180, 2); // the Volume knob: touches, writes
    settle(host);
    auto endFirst = [&] {
      if (c.instanceFirst)
        instances.clear();
      else
        host.close();
    };
    if (c.onAnotherThread)
      std::thread(endFirst).join();
    else
      endFirst();
    if (c.instanceFirst) {
      EXPECT_NE(host.idle(), 0) << "the editor is gone";
      host.portEvent(kVolumePort, 0.5f);
      host.close();
      EXPECT_EQ(host.children(), 0u) << "the window went with the UI";
    } else {
      EXPECT_EQ(instance.plugin().GetEditor(), nullptr);
      instance.run();
      instances.clear();
    }
    hosts.clear();
  }

  // The instance ends on another thread while the UI's thread is busy with idle and port events.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    Instance& instance = newInstance(false);
    X11UIHost& host = newHost();
    ASSERT_TRUE(open(host, instance));
    settle(host);
    std::atomic<bool> ended{false};
    std::thread ender([&] {
      instances.clear();
      ended = true;
    });
    int calls = 0;
    for (;;) {
      const bool endedBefore = ended.load();
      host.portEvent(kVolumePort, calls % 2 ? 0.5f : 1.5f);
      clock.Advance(20.0);
      const int status = host.idle();
      ++calls;
      if (endedBefore) {
        EXPECT_NE(status, 0);
        break;
      }
    }
    ender.join();
    host.close();
    hosts.clear();
  }
}
