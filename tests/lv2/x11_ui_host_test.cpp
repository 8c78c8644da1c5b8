// SPDX-License-Identifier: ISC
// The built quennet.lv2 in an X11 host of ours: lilv finds the plug-in and its UI through LV2_PATH,
// the plug-in is instantiated from quennet.so and its UI from the same module (lv2ui_descriptor),
// inside a window of ours on a private Xvfb, with the host's idle calls pumping it in real time.
// The screen shows what the editor's off-screen twin shows; XTest gestures arrive at the
// write_function; a port_event turns the knob on the screen; the editor opens and closes 50 times
// while the instance runs on an audio thread.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <lilv/lilv.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "EditorTwin.h"
#include "LV2TestHost.h"
#include "LilvBundle.h"
#include "OpenDescriptors.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "framework/LV2/LV2Layout.h"

#include "X11UIHost.h"

using namespace quennet;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 256;
constexpr std::uint32_t kVolumePort = plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(kVolume);
constexpr std::uint32_t kGrainModePort = plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(kGrainMode);

class X11UIHostTest : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    sServer = new XvfbServer(1280, 1024);
    sLilv = new LilvBundle(QUENNET_LV2_BUNDLE);
    setenv("DISPLAY", sServer->display().c_str(), 1); // the host's display, where UIs open theirs
  }
  static void TearDownTestSuite()
  {
    delete sLilv;
    sLilv = nullptr;
    delete sServer;
  }

  void SetUp() override
  {
    ASSERT_FALSE(sServer->display().empty()) << sServer->log();
    ASSERT_NE(sLilv->plugin, nullptr);
    ports = std::make_unique<HostPorts>(urids, kBlock, controlPortDefaults());
    const LV2_Feature* features[] = {urids.mapFeature(), &options.feature, nullptr};
    instance = lilv_plugin_instantiate(sLilv->plugin, kRate, features);
    ASSERT_NE(instance, nullptr);
    ports->connect(*lilv_instance_get_descriptor(instance), lilv_instance_get_handle(instance));
    lilv_instance_activate(instance);

    // The UI's module: the plug-in's own, already loaded by lilv.
    const LilvUIs* uis = lilv_plugin_get_uis(sLilv->plugin);
    ASSERT_EQ(lilv_uis_size(uis), 1u);
    const LilvUI* ui = lilv_uis_get(uis, lilv_uis_begin(uis));
    char* binary = lilv_file_uri_parse(lilv_node_as_uri(lilv_ui_get_binary_uri(ui)), nullptr);
    module = dlopen(binary, RTLD_NOW | RTLD_LOCAL);
    lilv_free(binary);
    ASSERT_NE(module, nullptr) << dlerror();
    using Entry = const LV2UI_Descriptor* (*)(std::uint32_t);
    const auto entry = reinterpret_cast<Entry>(dlsym(module, "lv2ui_descriptor"));
    ASSERT_NE(entry, nullptr);
    uiDescriptor = entry(0);
    ASSERT_NE(uiDescriptor, nullptr);
    EXPECT_EQ(entry(1), nullptr);
    ASSERT_TRUE(twin.valid());
  }
  void TearDown() override
  {
    host.close();
    if (instance)
      lilv_instance_free(instance);
    if (module)
      dlclose(module);
  }

  bool open()
  {
    return host.open(*uiDescriptor, plug::lv2::kPluginURI, QUENNET_LV2_BUNDLE, lilv_instance_get_handle(instance),
                     urids);
  }
  void run()
  {
    ports->eventsOut.prepareOutput();
    lilv_instance_run(instance, kBlock);
  }
  // A running host: a block of audio and an idle call every 5 ms, until the condition holds or
  // `seconds` pass. `withAudio` false: another thread runs the audio.
  bool pumpUntil(const std::function<bool()>& condition, double seconds = 10.0, bool withAudio = true)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      XSync(host.display, False);
      if (withAudio)
        run();
      EXPECT_EQ(host.idle(), 0);
      if (condition())
        return true;
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  double mismatch()
  {
    const ScreenGrab screen = x11::grab(host.display, 0, 0, twin.view().Width(), twin.view().Height());
    return twin.mismatch([&](int x, int y) { return screen.at(x, y); });
  }
  bool showsTwin(double seconds = 10.0)
  {
    return pumpUntil([&] { return mismatch() < 0.001; }, seconds);
  }

  static XvfbServer* sServer;
  static LilvBundle* sLilv;

  TempHome home;
  EditorTwin twin;
  UridMap urids;
  HostOptions options{urids, static_cast<float>(kRate), kBlock};
  std::unique_ptr<HostPorts> ports;
  LilvInstance* instance = nullptr;
  void* module = nullptr;
  const LV2UI_Descriptor* uiDescriptor = nullptr;
  X11UIHost host{sServer->display()};
};

XvfbServer* X11UIHostTest::sServer = nullptr;
LilvBundle* X11UIHostTest::sLilv = nullptr;

} // namespace

TEST_F(X11UIHostTest, LilvFindsTheX11UIInThePlugInsModuleWithItsFeatures)
{
  const LilvUIs* uis = lilv_plugin_get_uis(sLilv->plugin);
  const LilvUI* ui = lilv_uis_get(uis, lilv_uis_begin(uis));
  EXPECT_STREQ(lilv_node_as_uri(lilv_ui_get_uri(ui)), plug::lv2::kUIURI);
  LilvNode* x11 = lilv_new_uri(sLilv->world, LV2_UI__X11UI);
  EXPECT_TRUE(lilv_ui_is_a(ui, x11));
  lilv_node_free(x11);
  EXPECT_STREQ(lilv_node_as_uri(lilv_ui_get_binary_uri(ui)),
               lilv_node_as_uri(lilv_plugin_get_library_uri(sLilv->plugin)))
    << "one module for both";

  auto objects = [&](const char* predicate) {
    std::set<std::string> uris;
    LilvNode* p = lilv_new_uri(sLilv->world, predicate);
    LilvNodes* nodes = lilv_world_find_nodes(sLilv->world, lilv_ui_get_uri(ui), p, nullptr);
    LILV_FOREACH(nodes, i, nodes)
    uris.insert(lilv_node_as_uri(lilv_nodes_get(nodes, i)));
    lilv_nodes_free(nodes);
    lilv_node_free(p);
    return uris;
  };
  EXPECT_EQ(objects(LV2_CORE__requiredFeature),
            (std::set<std::string>{LV2_UI__parent, LV2_URID__map, LV2_INSTANCE_ACCESS_URI}));
  EXPECT_EQ(objects(LV2_CORE__optionalFeature),
            (std::set<std::string>{LV2_UI__idleInterface, LV2_UI__resize, LV2_UI__touch}));
  EXPECT_EQ(objects(LV2_CORE__extensionData), (std::set<std::string>{LV2_UI__idleInterface, LV2_UI__resize}));
}

TEST_F(X11UIHostTest, TheEditorShowsAndItsGesturesAndPortEventsTravel)
{
  ASSERT_TRUE(open());
  EXPECT_TRUE(showsTwin()) << "mismatch " << mismatch();
  EXPECT_EQ(host.uiAttributes().width, 984);
  EXPECT_EQ(host.resizes.back(), std::make_pair(984, 432));

  // Grain Mode: "FREQ" from its menu.
  twin.ui().clickPx(276, 112);
  twin.settle();
  const std::pair<int, int> freq = twin.menuItemCentre(2);
  host.click(276, 112);
  EXPECT_TRUE(showsTwin()) << "the menu: mismatch " << mismatch();
  host.click(freq.first, freq.second);
  twin.ui().clickPx(static_cast<float>(freq.first), static_cast<float>(freq.second));
  twin.settle();
  EXPECT_TRUE(showsTwin()) << "mode FREQ: mismatch " << mismatch();
  ASSERT_FALSE(host.writes.empty());
  EXPECT_EQ(host.writes.back().port, kGrainModePort);
  EXPECT_EQ(host.writes.back().value, 2.0f);

  // The Volume knob up by 30 pixels, touched and released.
  EXPECT_FALSE(host.touches.empty()) << "the menu's gesture";
  host.writes.clear();
  host.touches.clear();
  host.drag(60, 196, 60, 166, 3);
  twin.ui().dragPx(60, 196, 60, 166, 3);
  twin.settle();
  EXPECT_TRUE(showsTwin()) << "the knob: mismatch " << mismatch();
  ASSERT_FALSE(host.writes.empty());
  for (const X11UIHost::Write& w : host.writes)
    EXPECT_EQ(w.port, kVolumePort) << w.value;
  EXPECT_EQ(host.writes.back().port, kVolumePort);
  EXPECT_EQ(host.writes.back().value, static_cast<float>(twin.plugin().GetParam(kVolume)->GetValue()));
  ASSERT_EQ(host.touches.size(), 2u);
  EXPECT_EQ(host.touches.front().port, kVolumePort);
  EXPECT_TRUE(host.touches.front().grabbed);
  EXPECT_FALSE(host.touches.back().grabbed);

  // The host moves the control: the knob on the screen follows, nothing is written back.
  host.writes.clear();
  host.portEvent(kVolumePort, 0.5f);
  twin.plugin().SendParameterValueFromDelegate(kVolume, 0.5, false);
  twin.settle();
  EXPECT_TRUE(showsTwin()) << "the host's value: mismatch " << mismatch();
  EXPECT_TRUE(host.writes.empty());
}

TEST_F(X11UIHostTest, OpenedAndClosedFiftyTimesWhileTheInstanceRuns)
{
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    while (!stop.load()) {
      run();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  auto cycle = [&](int i) {
    ASSERT_TRUE(open());
    ASSERT_TRUE(pumpUntil([&] { return host.uiAttributes().map_state == IsViewable; }, 10.0, false));
    host.portEvent(kVolumePort, i % 2 ? 0.5f : 1.5f);
    pumpUntil([] { return false; }, 0.03, false); // a frame or two
    host.close();
  };
  for (int i = 0; i < 3; ++i)
    cycle(i); // what the first windows leave for good (Xlib's and Cairo's caches)
  const int descriptors = openDescriptors();
  const std::size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 50; ++i)
    cycle(i);
  const std::size_t after = mallinfo2().uordblks;
  stop = true;
  audio.join();
  EXPECT_EQ(openDescriptors(), descriptors) << "every X connection closed";
  EXPECT_EQ(host.children(), 0u) << "every window destroyed";
  // One editor's picture is 984 × 432 × 4 = 1.7 MB: an editor left behind would show at once.
  EXPECT_LT(after, heap + 300000) << "heap grew by " << (after - std::min(after, heap)) << " bytes over 50 editors";

  // The instance lives on: a new editor shows it as the twin would.
  ASSERT_TRUE(open());
  EXPECT_TRUE(showsTwin()) << "mismatch " << mismatch();
}
