// SPDX-License-Identifier: ISC
// The editor as a VST3 view, linked in with the plug-in and the bridge and driven as a Linux host
// drives it on a private Xvfb: embedded in the host's window (X11EmbedWindowID), its 20 ms timer and
// its X connection's descriptor on the host's run loop (our PlugFrame), opened on the main thread
// while an audio thread processes and the host passes the editor's edits on to it. What shows
// matches the editor's off-screen twin; a knob dragged with XTest reaches the host as a gesture;
// sizes go both ways with the user's choice winning; opening and closing leaves nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "OpenDescriptors.h"
#include "TempHome.h"
#include "VST3Host.h"
#include "XvfbServer.h"
#include "core/quennet.h"
#include "editor/quennet.editor.h"
#include "framework/VST3/IPluginVST3.h"
#include "framework/VST3/VST3Factory.h"
#include "framework/VST3/VST3Layout.h"
#include "framework/VST3/VST3View.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "base/RunLoop.h"

// Xlib after everything else (its macros break the LV2 headers); X11View.h includes it.
#include "lv2/X11UIHost.h"
#include "platform/X11View.h"

using namespace quennet;

namespace {

using namespace vst3host;
namespace vst3 = plug::vst3;

XvfbServer* gServer = nullptr;

// The plug-in, and an audio thread that processes it all along, passing the editor's edits on to
// the processor as hosts do.
class RunningInstance : public Plugin {
public:
  RunningInstance() : Plugin(vst3::Factory(), vst3::kClassId)
  {
    if (!valid() || !setup(48000.0, 256))
      return;
    handler.onPerform = [this](v3_param_id id, double value) {
      std::lock_guard lock(mMutex);
      mPending.emplace_back(id, value);
    };
    mAudio = std::thread([this] {
      std::vector<float> in(256, 0.0f), outLeft(256), outRight(256);
      while (!mStop.load()) {
        ParamChanges changes;
        {
          std::lock_guard lock(mMutex);
          for (const auto& [id, value] : mPending)
            changes.add(id, 0, value);
          mPending.clear();
        }
        process(in.data(), in.data(), outLeft.data(), outRight.data(), 256, nullptr, &changes);
        ++mBlocks;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~RunningInstance() { stopAudio(); }

  void stopAudio()
  {
    mStop = true;
    if (mAudio.joinable())
      mAudio.join();
  }
  Quennet& plugin() { return static_cast<Quennet&>(vst3::OwnerOf<vst3::IPluginVST3>(component).Plug()); }
  int blocks() const { return mBlocks.load(); }

private:
  std::mutex mMutex;
  std::vector<std::pair<v3_param_id, double>> mPending;
  std::atomic<bool> mStop{false};
  std::atomic<int> mBlocks{0};
  std::thread mAudio;
};

// The host's window and its connection, for XTest and screenshots.
struct HostWindow {
  explicit HostWindow(int width = 1400, int height = 1000)
  {
    display = XOpenDisplay(gServer->display().c_str());
    if (!display)
      return;
    window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, static_cast<unsigned>(width),
                                 static_cast<unsigned>(height), 0, 0, 0);
    XMapWindow(display, window);
    XSync(display, False);
  }
  ~HostWindow()
  {
    if (display) {
      XDestroyWindow(display, window);
      XCloseDisplay(display);
    }
  }
  unsigned int children()
  {
    ::Window root = 0, up = 0;
    ::Window* list = nullptr;
    unsigned int n = 0;
    XQueryTree(display, window, &root, &up, &list, &n);
    if (list)
      XFree(list);
    return n;
  }
  void drag(int x0, int y0, int x1, int y1, int steps)
  {
    XTestFakeMotionEvent(display, -1, x0, y0, 0);
    XTestFakeButtonEvent(display, Button1, True, 1000);
    for (int i = 1; i <= steps; ++i)
      XTestFakeMotionEvent(display, -1, x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps, 0);
    XTestFakeButtonEvent(display, Button1, False, 0);
    XSync(display, False);
  }
  Display* display = nullptr;
  ::Window window = 0;
};

// One open view: made by the controller, framed, attached to the host's window.
struct OpenView {
  OpenView(Plugin& plugin, HostWindow& host, PlugFrame& frame)
  {
    view = plugin.edit()->create_view(plugin.controller, "editor");
    if (!view)
      return;
    frame.setView(view);
    v3_cpp_obj(view)->set_frame(view, frame.get());
    attached = v3_cpp_obj(view)->attached(view, reinterpret_cast<void*>(host.window), V3_VIEW_PLATFORM_TYPE_X11);
  }
  ~OpenView()
  {
    if (!view)
      return;
    if (attached == V3_OK)
      v3_cpp_obj(view)->removed(view);
    v3_cpp_obj(view)->set_frame(view, nullptr);
    v3_cpp_obj_unref(view);
  }
  vst3::VST3View& owner() { return vst3::OwnerOf<vst3::VST3View>(view); }
  plug::graphics::IGraphics& graphics() { return owner().Window()->Graphics(); }
  std::pair<int, int> size()
  {
    v3_view_rect rect{};
    v3_cpp_obj(view)->get_size(view, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
  }

  v3_plugin_view** view = nullptr;
  v3_result attached = V3_FALSE;
};

class VST3ViewTest : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    gServer = new XvfbServer(1600, 1200);
    ASSERT_FALSE(gServer->display().empty()) << gServer->log();
    // The view opens its connection to the host's display, $DISPLAY.
    setenv("DISPLAY", gServer->display().c_str(), 1);
    vst3::IPluginVST3::SetViewFactory(&vst3::VST3View::Create);
  }
  static void TearDownTestSuite()
  {
    delete gServer;
    gServer = nullptr;
  }

  // The picture of the editor on the screen, once it has stopped changing towards the twin's.
  double settledMismatch(HostWindow& host, PlugFrame& frame, EditorTwin& twin, const char* png = nullptr)
  {
    double mismatch = 1.0;
    for (int attempt = 0; attempt < 100 && mismatch >= 0.001; ++attempt) {
      frame.pump(40.0);
      XSync(host.display, False);
      const ScreenGrab screen = x11::grab(host.display, 0, 0, twin.view().Width(), twin.view().Height());
      mismatch = twin.mismatch([&](int x, int y) { return screen.at(x, y); });
      if (png && (mismatch < 0.001 || attempt == 99))
        screen.writePng(png);
    }
    return mismatch;
  }

  TempHome home; // the editor's settings: the default scale, 0.5
};

} // namespace

TEST_F(VST3ViewTest, TheEditorOpensInTheHostsWindowWhileAudioRunsAndAKnobDragReachesTheHost)
{
  RunningInstance instance;
  ASSERT_TRUE(instance.valid());
  EditorTwin twin;
  ASSERT_TRUE(twin.valid());
  HostWindow host;
  ASSERT_TRUE(host.display);
  PlugFrame frame;

  v3_plugin_view** none = instance.edit()->create_view(instance.controller, "something else");
  EXPECT_EQ(none, nullptr);
  {
    OpenView view(instance, host, frame);
    ASSERT_TRUE(view.view);
    EXPECT_EQ(v3_cpp_obj(view.view)->is_platform_type_supported(view.view, V3_VIEW_PLATFORM_TYPE_X11), V3_OK);
    EXPECT_NE(v3_cpp_obj(view.view)->is_platform_type_supported(view.view, "HWND"), V3_OK);
    ASSERT_EQ(view.attached, V3_OK);
    EXPECT_EQ(frame.timers(), 1);
    EXPECT_EQ(frame.timerInterval(), 20u);
    EXPECT_EQ(frame.handlers(), 1) << "the X connection's descriptor";
    EXPECT_EQ(view.size(), std::make_pair(984, 432));
    EXPECT_EQ(host.children(), 1u);

    const std::string pictures = QUENNET_TEST_PICTURES;
    std::filesystem::create_directories(pictures);
    EXPECT_LT(settledMismatch(host, frame, twin, (pictures + "/vst3-editor.png").c_str()), 0.001)
      << "the editor as drawn off-screen; see " << pictures << "/vst3-editor.png";

    // The Volume knob (centre 120, 392 in design units; 60, 196 at scale 0.5) dragged up 30 pixels.
    instance.handler.calls.clear();
    host.drag(60, 196, 60, 166, 3);
    twin.ui().dragPx(60, 196, 60, 166, 3);
    twin.settle();
    EXPECT_LT(settledMismatch(host, frame, twin, (pictures + "/vst3-editor-volume.png").c_str()), 0.001);
    const std::string kinds = instance.handler.kindsOf(kVolume);
    ASSERT_GE(kinds.size(), 3u);
    EXPECT_EQ(kinds.front(), 'b');
    EXPECT_EQ(kinds.back(), 'e');
    EXPECT_EQ(kinds.find_first_not_of('p', 1), kinds.size() - 1) << kinds;
    const double expected = twin.plugin().GetParam(kVolume)->GetNormalized();
    EXPECT_GT(expected, 0.5) << "the twin's knob went up";
    EXPECT_NEAR(instance.handler.lastPerformed(kVolume).value_or(-1.0), expected, 1e-9);
    for (const ComponentHandler::Call& call : instance.handler.calls)
      EXPECT_EQ(call.thread, std::this_thread::get_id()) << "the host's user-interface thread";

    // The host's own change shows on the editor (through the plug-in's timer on the run loop).
    instance.edit()->set_parameter_normalised(instance.controller, kMix, 0.3);
    twin.plugin().SendParameterValueFromAPI(kMix, 0.3, true);
    twin.settle();
    EXPECT_LT(settledMismatch(host, frame, twin), 0.001) << "the Mix knob at 70:30";
  }
  EXPECT_EQ(frame.timers(), 0);
  EXPECT_EQ(frame.handlers(), 0);
  EXPECT_EQ(host.children(), 0u) << "the editor's window went with the view";
  const int blocks = instance.blocks();
  instance.stopAudio();
  EXPECT_GT(blocks, 10) << "the audio thread ran all along";
  EXPECT_NEAR(instance.plugin().GetParam(kVolume)->GetNormalized(), twin.plugin().GetParam(kVolume)->GetNormalized(),
              1e-9)
    << "the host's echo of the drag left the editor's value";
}

TEST_F(VST3ViewTest, SizesGoBothWaysAndTheUsersChoiceWins)
{
  RunningInstance instance;
  ASSERT_TRUE(instance.valid());
  HostWindow host;
  PlugFrame frame;
  OpenView view(instance, host, frame);
  ASSERT_EQ(view.attached, V3_OK);
  EXPECT_EQ(v3_cpp_obj(view.view)->can_resize(view.view), V3_OK);

  // The user picks 200 % from the editor's size menu: the host is asked, and follows.
  editorOf(instance.plugin()).resizeUI(GUI::kSize200);
  frame.pump(100.0);
  const int width200 = view.graphics().WindowWidth();
  const int height200 = view.graphics().WindowHeight();
  EXPECT_EQ(width200, static_cast<int>(std::lround(1968 * 0.70710677f)));
  ASSERT_FALSE(frame.resizeRequests.empty());
  EXPECT_EQ(frame.resizeRequests.back(), std::make_pair(width200, height200));
  EXPECT_EQ(view.size(), std::make_pair(width200, height200));

  // A host that refuses: the editor stays at the user's choice all the same.
  frame.refuseResize = true;
  editorOf(instance.plugin()).resizeUI(GUI::kSize100);
  frame.pump(1200.0);
  EXPECT_EQ(frame.resizeRequests.back(), std::make_pair(984, 432));
  EXPECT_EQ(view.graphics().WindowWidth(), 984);
  EXPECT_EQ(view.owner().View()->WindowWidth(), 984);
  frame.refuseResize = false;

  // The user resizes the host's window: the editor shows at the scale that fits, proportions kept.
  v3_view_rect wanted{0, 0, 1000, 1000};
  ASSERT_EQ(v3_cpp_obj(view.view)->check_size_constraint(view.view, &wanted), V3_OK);
  EXPECT_EQ(wanted.right, 1000);
  EXPECT_EQ(wanted.bottom, static_cast<int>(std::lround(864 * (1000.0f / 1968.0f))));
  v3_view_rect tiny{0, 0, 10, 10};
  v3_cpp_obj(view.view)->check_size_constraint(view.view, &tiny);
  EXPECT_EQ(tiny.right, 492) << "not below a quarter of the design";
  v3_view_rect given{0, 0, 1476, 648};
  ASSERT_EQ(v3_cpp_obj(view.view)->on_size(view.view, &given), V3_OK);
  frame.pump(100.0);
  EXPECT_FLOAT_EQ(view.graphics().GetDrawScale(), 0.75f);
  EXPECT_EQ(view.size(), std::make_pair(1476, 648));
}

TEST_F(VST3ViewTest, WithoutTheHostsRunLoopThereIsNoEditor)
{
  RunningInstance instance;
  ASSERT_TRUE(instance.valid());
  HostWindow host;
  PlugFrame frame;
  frame.withRunLoop = false;
  OpenView view(instance, host, frame);
  ASSERT_TRUE(view.view);
  EXPECT_NE(view.attached, V3_OK);
  EXPECT_EQ(host.children(), 0u);
  EXPECT_NE(v3_cpp_obj(view.view)->attached(view.view, nullptr, V3_VIEW_PLATFORM_TYPE_X11), V3_OK);
}

TEST_F(VST3ViewTest, OpenedAndClosedTwentyTimesWhileAudioRunsLeavesNothingBehind)
{
  RunningInstance instance;
  ASSERT_TRUE(instance.valid());
  HostWindow host;
  PlugFrame frame;
  {
    OpenView warmUp(instance, host, frame);
  } // fonts and images loaded once
  const int descriptors = openDescriptors();
  const int timers = plug::RunLoop::Main().NumTimers();
  for (int round = 0; round < 20; ++round) {
    OpenView view(instance, host, frame);
    ASSERT_EQ(view.attached, V3_OK) << round;
    frame.pump(30.0);
    EXPECT_EQ(instance.plugin().GetEditor(), &view.graphics());
  }
  EXPECT_EQ(instance.plugin().GetEditor(), nullptr);
  EXPECT_EQ(openDescriptors(), descriptors) << "every X connection closed";
  EXPECT_EQ(plug::RunLoop::Main().NumTimers(), timers);
  EXPECT_EQ(frame.timers(), 0);
  EXPECT_EQ(host.children(), 0u);
}
