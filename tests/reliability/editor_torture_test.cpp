// SPDX-License-Identifier: ISC
// The editor under torture, the way a restless user and a busy host meet it together. The plug-in
// runs through its LV2 descriptor and its editor through its LV2 UI, in a host window on a private
// Xvfb; for a fixed number of steps, chosen by a seeded generator:
//
// - the user's thread (the host's user-interface thread) makes random gestures on every control
//   (clicks, double-clicks, drags with and without the fine modifier, the wheel, right clicks),
//   chooses from or dismisses every menu, answers every message box, picks window sizes and drags
//   the corner handle, saves and restores the state, closes and reopens the editor, resizes the
//   host's window, moves it partly or wholly off the screen, and passes the host's control changes
//   on to the UI (port_event), calling the UI's idle in between;
// - the host's audio thread runs blocks of random lengths with MIDI notes, all-notes-off and the
//   transport's tempo and position on time_in, the ports holding the host's controls;
// - the host's automation thread moves every control at random, as automation lanes do (and half
//   the time also through the framework's host path on its own thread, as other formats do).
//
// Nothing may crash, race (ThreadSanitizer) or touch freed memory (AddressSanitizer), no output may
// be non-finite, and once everything has stopped and the host has run a little, the host's controls,
// the plug-in's parameters and the editor must agree. QUENNET_TORTURE_SEED and QUENNET_TORTURE_STEPS
// override the seed and the number of steps for longer runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LV2TestHost.h"
#include "TempDir.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "core/quennet.h"
#include "editor/quennet.controls.h"
#include "editor/quennet.editor.h"
#include "framework/LV2/IPluginLV2.h"
#include "framework/LV2/IPluginLV2UI.h"
#include "framework/LV2/LV2Layout.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "graphics/MessageBoxPanel.h"
#include "graphics/PopupMenuPanel.h"
#include "base/RunLoop.h"
#include "platform/X11View.h"
#include "services/version_check.h"

#include "X11UIHost.h"

using namespace quennet;

using namespace plug::graphics;

namespace {

constexpr double kRate = 48000.0;
constexpr int kMaxBlock = 512;
// Steps of the user's: bounded so that each configuration of `make test` takes a few tens of seconds
// on a loaded machine (the sanitizers slow the editor's drawing several times over).
#if defined(__SANITIZE_THREAD__)
constexpr int kDefaultSteps = 300;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultSteps = 500;
#else
constexpr int kDefaultSteps = 1000;
#endif
constexpr std::uint32_t kDefaultSeed = 0x51e55;

int envOr(const char* name, int fallback)
{
  const char* text = std::getenv(name);
  return text && *text ? std::atoi(text) : fallback;
}

// The host: the instance with its ports, the host's own controls (what it shows, automates and
// saves, one per control port), and the saved states.
class TortureHost {
public:
  TortureHost() : options(urids, static_cast<float>(kRate), kMaxBlock), ports(urids, kMaxBlock, controlPortDefaults())
  {
    for (size_t c = 0; c < ports.controls.size(); ++c)
      controls[c].store(ports.controls[c]);
    const LV2_Feature* features[] = {urids.mapFeature(), &options.feature, nullptr};
    handle = descriptor->instantiate(descriptor, kRate, "", features);
    if (!handle)
      return;
    ports.connect(*descriptor, handle);
    descriptor->activate(handle);
  }
  ~TortureHost()
  {
    if (handle)
      descriptor->cleanup(handle);
  }

  plug::lv2::IPluginLV2& bridge() { return *static_cast<plug::lv2::IPluginLV2*>(handle); }
  Quennet& plugin() { return *static_cast<Quennet*>(bridge().GetPlug()); }
  size_t numControls() const { return ports.controls.size(); }

  // One block on the calling thread (the audio thread), the host's controls on the ports. False when
  // the output was not finite.
  bool run(int frames)
  {
    const std::lock_guard lock(runMutex);
    return runLocked(frames);
  }
  bool runLocked(int frames)
  {
    for (size_t c = 0; c < ports.controls.size(); ++c)
      ports.controls[c] = controls[c].load(std::memory_order_relaxed);
    ports.eventsOut.prepareOutput();
    descriptor->run(handle, static_cast<std::uint32_t>(frames));
    ports.eventsIn.clearInput();
    ports.timeIn.clearInput();
    for (int c = 2; c < 4; ++c)
      for (int i = 0; i < frames; ++i)
        if (!std::isfinite(ports.audio[c][static_cast<size_t>(i)]))
          return false;
    return true;
  }

  // Saves the state as a host does from its user-interface thread, between two automation events:
  // the ports as the plug-in last ran with them, and the plug-in's state. A block of no frames first,
  // so that both tell the same.
  void save()
  {
    const std::lock_guard host(hostMutex);
    const std::lock_guard lock(runMutex);
    runLocked(0);
    mSavedControls = ports.controls;
    mSavedState.clear();
    for (double v : savedChunk(*descriptor, handle, urids)) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v);
      mSavedState.insert(mSavedState.end(), bytes, bytes + sizeof(double));
    }
  }

  // Restores the last saved state, with no audio running and between two automation events: the
  // host's controls take the saved ports' values, the plug-in its state, and a block of no frames
  // shows the plug-in its ports with the restored values. False when there is none yet.
  bool restore()
  {
    if (mSavedState.empty())
      return false;
    const std::lock_guard host(hostMutex);
    const std::lock_guard lock(runMutex);
    for (size_t c = 0; c < mSavedControls.size(); ++c)
      controls[c].store(mSavedControls[c]);
    EXPECT_EQ(restoreChunk(*descriptor, handle, urids, mSavedState), LV2_STATE_SUCCESS);
    runLocked(0);
    return true;
  }

  const LV2_Descriptor* descriptor = plug::lv2::Descriptor();
  UridMap urids;
  HostOptions options;
  HostPorts ports; // the audio thread's
  LV2_Handle handle = nullptr;
  std::array<std::atomic<float>, 64> controls{}; // the host's controls, by control port
  std::mutex runMutex; // run() against restore and save
  // One automation event (a control and, through the framework's host path, the parameter) against
  // restore and save: a host's saved state and its controls tell the same. Taken before runMutex.
  std::mutex hostMutex;

private:
  std::vector<float> mSavedControls;
  std::vector<std::uint8_t> mSavedState;
};

// A value of the parameter's range that a host control can hold: on a step for stepped parameters.
float randomPortValue(const plug::IParam& param, std::mt19937& random)
{
  double lo = 0.0, hi = 0.0;
  param.GetBounds(lo, hi);
  std::uniform_real_distribution<double> share(0.0, 1.0);
  double value = lo + (hi - lo) * share(random);
  if (param.GetStepped())
    value = lo + std::round((value - lo) / param.GetStep()) * param.GetStep();
  return static_cast<float>(param.ConstrainValue(static_cast<double>(static_cast<float>(value))));
}

class EditorTorture : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    gServer = new XvfbServer(1280, 900);
    ASSERT_FALSE(gServer->display().empty()) << gServer->log();
    setenv("DISPLAY", gServer->display().c_str(), 1);
  }
  static void TearDownTestSuite()
  {
    delete gServer;
    gServer = nullptr;
  }

  void SetUp() override
  {
    // Web pages go to an xdg-open of the test's that does nothing.
    const std::string bin = tools.path().string();
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nexit 0\n";
    std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    const char* path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    plug::RunLoop::Main().SetClock(clock);
  }
  void TearDown() override
  {
    static const plug::SteadyClock steady;
    plug::RunLoop::Main().SetClock(steady);
  }

  static XvfbServer* gServer;
  TempHome home;
  TempDir tools{"quennet-torture-bin"};
  plug::ManualClock clock;
};

XvfbServer* EditorTorture::gServer = nullptr;

// The user's side: the UI in the host's window, and gestures on its graphics context.
class User {
public:
  User(TortureHost& host, const std::string& display, std::uint32_t seed)
      : mHost(host), mWindow(display, 1200, 800), mRandom(seed)
  {
  }

  bool open()
  {
    if (!mWindow.open(*plug::lv2::UIDescriptor(), plug::lv2::kPluginURI, "", mHost.handle, mHost.urids))
      return false;
    ui().View()->SetHostFollowMs(50.0);
    // A host tells a new UI every control's value.
    for (size_t c = 0; c < mHost.numControls(); ++c)
      mWindow.portEvent(plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(c), mHost.controls[c].load());
    return true;
  }
  void close() { mWindow.close(); }
  bool isOpen() const { return mWindow.handle != nullptr; }
  plug::lv2::IPluginLV2UI& ui() { return *static_cast<plug::lv2::IPluginLV2UI*>(mWindow.handle); }
  IGraphics& g() { return ui().Window()->Graphics(); }

  // The host's idle call after 20 ms; the editor's writes become the host's controls, as hosts
  // take them.
  int idle(plug::ManualClock& clock)
  {
    clock.Advance(20.0);
    const int status = isOpen() ? mWindow.idle() : 1;
    takeWrites();
    return status;
  }
  void takeWrites()
  {
    for (const X11UIHost::Write& w : mWindow.writes)
      mHost.controls[w.port - plug::lv2::kFirstControlPort].store(w.value);
    mWindow.writes.clear();
  }
  void portEvent(std::uint32_t port, float value)
  {
    if (isOpen())
      mWindow.portEvent(port, value);
  }

  // One random action of the user's.
  void step(int& saves, int& restores, int& reopenings)
  {
    if (!isOpen()) {
      EXPECT_TRUE(open());
      ++reopenings;
      return;
    }
    if (g().NMessageBoxes() > 0) {
      answerBox();
      return;
    }
    if (g().IsPopupMenuOpen()) {
      useMenu();
      return;
    }
    const int choice = pick(100);
    if (choice < 50)
      gesture(randomControl());
    else if (choice < 58)
      wheel(randomControl());
    else if (choice < 66)
      chooseSize();
    else if (choice < 70)
      cornerDrag();
    else if (choice < 75)
      g().OnKeyDown(pick(2) ? EKey::kEscape : EKey::kReturn);
    else if (choice < 80)
      mHost.save(), ++saves;
    else if (choice < 84)
      restores += restoreState() ? 1 : 0;
    else if (choice < 88)
      resizeHostWindow();
    else if (choice < 91)
      moveHostWindow();
    else if (choice < 94)
      EXPECT_EQ(mWindow.resizeUI(100 + pick(1400), 60 + pick(800)), 0);
    else if (choice < 97) {
      close();
      EXPECT_TRUE(open());
      ++reopenings;
    } else {
      mouseLeaves();
    }
  }

  // Escape or Return until no menu or box is open.
  void closeEverything()
  {
    for (int i = 0; i < 20 && isOpen() && (g().IsPopupMenuOpen() || g().NMessageBoxes() > 0); ++i)
      g().OnKeyDown(EKey::kEscape);
  }

private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(mRandom); }
  float share() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(mRandom); }

  IControl* randomControl()
  {
    const int n = g().NControls();
    if (pick(12) == 0 && g().GetCornerResizer())
      return g().GetCornerResizer();
    return g().GetControl(pick(n));
  }

  // A point inside the control's target area, in pixels.
  std::pair<float, float> pointIn(const IControl& control)
  {
    const IRECT r = control.GetTargetRECT().GetScaled(g().GetDrawScale());
    return {r.L + (r.R - r.L) * share(), r.T + (r.B - r.T) * share()};
  }

  IMouseMod randomButtons()
  {
    const int kind = pick(10);
    return IMouseMod(kind < 7, kind >= 7, pick(6) == 0, pick(8) == 0);
  }

  void press(float x, float y, const IMouseMod& mod, bool doubleClick = false)
  {
    mTimeMs += doubleClick ? 100.0 : 1000.0;
    g().OnMouseDown(x, y, mod, mTimeMs);
  }

  void gesture(IControl* control)
  {
    if (!control)
      return;
    const auto [x, y] = pointIn(*control);
    const IMouseMod mod = randomButtons();
    g().OnMouseMove(x, y, IMouseMod());
    press(x, y, mod);
    switch (pick(4)) {
      case 0: break; // a click
      case 1: // a double-click
        g().OnMouseUp(x, y, mod);
        press(x, y, mod, true);
        break;
      default: { // a drag of a few moves, anywhere
        const int moves = 1 + pick(8);
        float px = x, py = y;
        for (int i = 0; i < moves && isOpen(); ++i) {
          px += static_cast<float>(pick(81) - 40);
          py += static_cast<float>(pick(81) - 40);
          g().OnMouseMove(px, py, mod);
        }
        g().OnMouseUp(px, py, mod);
        return;
      }
    }
    g().OnMouseUp(x, y, mod);
  }

  void wheel(IControl* control)
  {
    if (!control)
      return;
    const auto [x, y] = pointIn(*control);
    g().OnMouseWheel(x, y, IMouseMod(false, false, pick(3) == 0), static_cast<float>(pick(7) - 3));
  }

  void useMenu()
  {
    const PopupMenuPanel* panel = g().GetPopupMenuPanel();
    const int items = panel->Menu().NItems();
    const int choice = pick(items + 3);
    if (choice < items) {
      const IRECT r = panel->ItemRect(choice);
      g().OnMouseMove(r.MW(), r.MH(), IMouseMod());
      press(r.MW(), r.MH(), IMouseMod(true));
      g().OnMouseUp(r.MW(), r.MH(), IMouseMod(true));
    } else if (choice == items) {
      g().OnKeyDown(EKey::kEscape);
    } else {
      // A click somewhere else dismisses it.
      const float x = share() * static_cast<float>(g().WindowWidth());
      const float y = share() * static_cast<float>(g().WindowHeight());
      press(x, y, IMouseMod(true));
      g().OnMouseUp(x, y, IMouseMod(true));
    }
  }

  void answerBox()
  {
    const MessageBoxPanel* box = g().GetMessageBoxPanel();
    if (pick(3) == 0) {
      g().OnKeyDown(pick(2) ? EKey::kReturn : EKey::kEscape);
      return;
    }
    const IRECT r = box->ButtonRect(pick(box->NButtons()));
    g().OnMouseMove(r.MW(), r.MH(), IMouseMod());
    press(r.MW(), r.MH(), IMouseMod(true));
    g().OnMouseUp(r.MW(), r.MH(), IMouseMod(true));
  }

  // A right click on the bare background, then one of the six sizes (800 %, 3936 pixels wide, now
  // and then only).
  void chooseSize()
  {
    const float s = g().GetDrawScale();
    const float x = 1000.0f * s, y = 820.0f * s;
    press(x, y, IMouseMod(false, true));
    g().OnMouseUp(x, y, IMouseMod(false, true));
    const PopupMenuPanel* panel = g().GetPopupMenuPanel();
    if (!panel)
      return;
    const int item = pick(8) == 0 ? GUI::kSize800 : pick(GUI::kSize800);
    const IRECT r = panel->ItemRect(item);
    press(r.MW(), r.MH(), IMouseMod(true));
    g().OnMouseUp(r.MW(), r.MH(), IMouseMod(true));
  }

  void cornerDrag()
  {
    const float w = static_cast<float>(g().WindowWidth()), h = static_cast<float>(g().WindowHeight());
    const float x0 = w - 4.0f, y0 = h - 4.0f;
    press(x0, y0, IMouseMod(true));
    // Larger or smaller, but not beyond the 800 % size: a picture of a thousand megapixels would only
    // measure the machine.
    const float factor = g().GetDrawScale() > 1.0f ? 0.3f + 0.7f * share() : 0.4f + 1.2f * share();
    const int moves = 1 + pick(5);
    for (int i = 1; i <= moves && isOpen(); ++i)
      g().OnMouseMove(x0 * (1.0f + (factor - 1.0f) * static_cast<float>(i) / static_cast<float>(moves)),
                      y0 * (1.0f + (factor - 1.0f) * static_cast<float>(i) / static_cast<float>(moves)),
                      IMouseMod(true));
    g().OnMouseUp(x0 * factor, y0 * factor, IMouseMod(true));
  }

  bool restoreState()
  {
    if (!mHost.restore())
      return false;
    // The host tells its UI the restored controls.
    for (size_t c = 0; c < mHost.numControls(); ++c)
      mWindow.portEvent(plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(c), mHost.controls[c].load());
    return true;
  }

  void resizeHostWindow()
  {
    XResizeWindow(mWindow.display, mWindow.parent, static_cast<unsigned>(200 + pick(1200)),
                  static_cast<unsigned>(100 + pick(800)));
    XSync(mWindow.display, False);
  }

  // Partly or wholly off the screen, or back.
  void moveHostWindow()
  {
    XMoveWindow(mWindow.display, mWindow.parent, pick(3000) - 1500, pick(2000) - 1000);
    XSync(mWindow.display, False);
  }

  void mouseLeaves() { g().OnMouseLeave(); }

  TortureHost& mHost;
  X11UIHost mWindow;
  std::mt19937 mRandom;
  double mTimeMs = 0.0;
};

// What differs between the host's controls, the parameters and the editor; empty when they agree.
std::string disagreements(TortureHost& host, User& user)
{
  std::string found;
  Quennet& plugin = host.plugin();
  for (size_t c = 0; c < host.numControls(); ++c) {
    const int paramIdx = host.bridge().ParamOfControlPort(plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(c));
    const double value = plugin.GetParam(paramIdx)->GetValue();
    const float control = host.controls[c].load();
    if (static_cast<float>(value) != control)
      found += std::string(plugin.GetParam(paramIdx)->GetName()) + ": the host's control " + std::to_string(control) +
        ", the parameter " + std::to_string(value) + "\n";
  }
  if (!user.isOpen())
    return found + "no editor\n";
  IGraphics& g = user.g();
  for (int i = 0; i < g.NControls(); ++i) {
    const IControl& control = *g.GetControl(i);
    const int paramIdx = control.GetParamIdx();
    if (paramIdx < 0)
      continue;
    const double normalized = std::clamp(plugin.GetParam(paramIdx)->GetNormalized(), 0.0, 1.0);
    if (std::fabs(control.GetValue() - normalized) > 1e-9)
      found += std::string(plugin.GetParam(paramIdx)->GetName()) + ": the editor shows " +
        std::to_string(control.GetValue()) + ", the parameter is " + std::to_string(normalized) + "\n";
  }
  const QuennetEditor::EditorReferences& refs = editorOf(plugin).editorReferences();
  const int mode = static_cast<int>(plugin.GetParam(kGrainMode)->GetValue());
  const bool frameSync = plugin.GetParam(kFrameSyncToHost)->GetValue() >= 0.5;
  const bool shown[] = {!refs.grainLengthSlider->IsHidden(),    !refs.grainSyncSlider->IsHidden(),
                        !refs.grainFrequencySlider->IsHidden(), !refs.frameLengthSlider->IsHidden(),
                        !refs.frameSyncSlider->IsHidden(),      !refs.midiLed->IsHidden()};
  const bool expected[] = {
    mode == kGrainModeMsec, mode == kGrainModeSync, mode == kGrainModeFreq, !frameSync, frameSync,
    mode == kGrainModeMidi};
  for (size_t i = 0; i < std::size(shown); ++i)
    if (shown[i] != expected[i])
      found += "slider or LED " + std::to_string(i) + " does not follow mode " + std::to_string(mode) + "\n";
  return found;
}

} // namespace

TEST_F(EditorTorture, ARestlessUserAndABusyHostLeaveEverythingAgreeing)
{
  const std::uint32_t seed = static_cast<std::uint32_t>(envOr("QUENNET_TORTURE_SEED", static_cast<int>(kDefaultSeed)));
  const int steps = envOr("QUENNET_TORTURE_STEPS", kDefaultSteps);
  SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << steps << " steps");

  TortureHost host;
  ASSERT_NE(host.handle, nullptr);
  // The version check asks a port where nothing listens, and soon gives up.
  editorOf(host.plugin())
    .setVersionCheck(std::make_shared<VersionCheck>("https://127.0.0.1:9", plug::HttpsClient::Settings{"", 500, 1000}));
  User user(host, gServer->display(), seed);
  ASSERT_TRUE(user.open());

  std::atomic<bool> stop{false};
  std::atomic<bool> finite{true};
  std::atomic<int> blocks{0};
  // The host's automation: every control, at random, and the host's UI hears of each change.
  std::mutex eventsMutex;
  std::deque<std::pair<std::uint32_t, float>> portEvents;
  const std::unique_ptr<plug::IPlugin> reference(plug::MakePlug({})); // the parameters' ranges
  std::thread automation([&] {
    std::mt19937 random(seed + 1);
    while (!stop.load()) {
      const size_t c = std::uniform_int_distribution<size_t>(0, host.numControls() - 1)(random);
      const int paramIdx =
        host.bridge().ParamOfControlPort(plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(c));
      const float value = randomPortValue(*reference->GetParam(paramIdx), random);
      {
        const std::lock_guard event(host.hostMutex);
        // Half the time also the framework's host path on this thread, as the VST3 and CLAP bridges
        // take a host's change; the port then shows the same value.
        if (random() % 2 == 0)
          host.plugin().SetParameterFromHostPlain(paramIdx, plug::lv2::PlainFromPortValue(value));
        host.controls[c].store(value);
      }
      {
        const std::lock_guard lock(eventsMutex);
        portEvents.emplace_back(plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(c), value);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 3000));
    }
  });
  // The host's audio thread: blocks of random lengths with MIDI and the transport.
  std::thread audio([&] {
    std::mt19937 random(seed + 2);
    std::int64_t position = 0;
    float tempo = 120.0f;
    while (!stop.load()) {
      const int frames = random() % 16 == 0 ? 0 : 1 + static_cast<int>(random() % kMaxBlock);
      {
        const std::lock_guard lock(host.runMutex);
        const int events = static_cast<int>(random() % 4);
        std::int64_t frame = 0;
        for (int e = 0; e < events; ++e) {
          frame = std::min<std::int64_t>(frames > 0 ? frames - 1 : 0, frame + static_cast<std::int64_t>(random() % 64));
          const auto note = static_cast<std::uint8_t>(24 + random() % 84);
          switch (random() % 8) {
            case 0:
              host.ports.eventsIn.addMidi(frame, {0xB0, static_cast<std::uint8_t>(random() % 2 ? 120 : 123), 0});
              break;
            case 1: host.ports.eventsIn.addMidi(frame, {0xE0, static_cast<std::uint8_t>(random() % 128), 64}); break;
            case 2:
            case 3: host.ports.eventsIn.addMidi(frame, {0x80, note, 0}); break;
            default:
              host.ports.eventsIn.addMidi(frame, {0x90, note, static_cast<std::uint8_t>(1 + random() % 127)});
              break;
          }
        }
        if (random() % 8 == 0)
          tempo = 40.0f + static_cast<float>(random() % 260);
        const float speed = random() % 10 == 0 ? 0.0f : 1.0f;
        host.ports.timeIn.addPosition(0, tempo, position, speed);
        if (!host.runLocked(frames))
          finite = false;
        position += static_cast<std::int64_t>(speed) * frames;
      }
      ++blocks;
      std::this_thread::sleep_for(std::chrono::microseconds(300 + random() % 1500));
    }
  });

  int saves = 0, restores = 0, reopenings = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int step = 0; step < steps; ++step) {
    user.step(saves, restores, reopenings);
    std::deque<std::pair<std::uint32_t, float>> events;
    {
      const std::lock_guard lock(eventsMutex);
      events.swap(portEvents);
    }
    for (const auto& [port, value] : events)
      user.portEvent(port, value);
    if (user.idle(clock) != 0 && user.isOpen()) {
      user.close(); // the window went (it never should here)
      ADD_FAILURE() << "the editor's window went at step " << step;
    }
  }
  stop = true;
  automation.join();
  audio.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  // Everything has stopped: the user closes what is open, the host hands its UI the last changes and
  // runs for a second, the UI idles.
  if (!user.isOpen()) {
    ASSERT_TRUE(user.open());
  }
  user.closeEverything();
  for (const auto& [port, value] : portEvents)
    user.portEvent(port, value);
  for (int round = 0; round < 3; ++round) {
    user.takeWrites();
    for (int b = 0; b < static_cast<int>(kRate) / kMaxBlock; ++b)
      EXPECT_TRUE(host.run(kMaxBlock));
    for (int tick = 0; tick < 5; ++tick)
      user.idle(clock);
  }

  EXPECT_TRUE(finite.load()) << "a block's output was not finite";
  EXPECT_EQ(disagreements(host, user), "");
  std::printf("%d steps in %.1f s: %d audio blocks, %d saves, %d restores, %d editors opened again\n", steps, seconds,
              blocks.load(), saves, restores, reopenings);
  EXPECT_GT(blocks.load(), steps / 10) << "the audio thread ran along";
  user.close();
}
