// SPDX-License-Identifier: ISC
// The CLAP bridge linked into the test and driven through its factory as a host drives it: a hostile
// host (broken events, unknown ids and values, states of the wrong size, processing before
// activation, blocks longer than announced), allocations inside process counted, the editor on a
// private Xvfb whose gestures, preset choices and resets reach the host as events with gestures,
// host changes reaching the editor, the user's size choice, and the main thread working beside the
// audio thread (label threads).
#include <gtest/gtest.h>

#include <clap/ext/timer-support.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "AllocationCounter.h"
#include "ChildProcess.h"
#include "ClapTestHost.h"
#include "TempHome.h"
#include "UiDriver.h"
#include "XvfbServer.h"
#include "core/quennet.h"
#include "editor/quennet.editor.h"
#include "editor/quennet.controls.h"
#include "framework/CLAP/ClapEditor.h"
#include "framework/CLAP/IPluginCLAP.h"
#include "graphics/EditorWindow.h"
#include "graphics/IControl.h"
#include "graphics/IGraphics.h"
#include "graphics/PopupMenuPanel.h"
#include "platform/X11View.h"

using namespace quennet;

using plug::clap::IPluginCLAP;
using plug::clap::ParamID;

namespace {

constexpr double kRate = 48000.0;
constexpr std::uint32_t kBlock = 256;

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 311.0 * t));
    signal.right[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 173.0 * t + 1.0));
  }
  return signal;
}

bool allFinite(const StereoBuffer& b)
{
  for (size_t i = 0; i < b.frames(); ++i)
    if (!std::isfinite(b.left[i]) || !std::isfinite(b.right[i]))
      return false;
  return true;
}

class ClapBridgeTest : public ::testing::Test {
protected:
  std::unique_ptr<ClapTestHost> instance(bool activate = true, std::uint32_t maxFrames = kBlock)
  {
    auto host = std::make_unique<ClapTestHost>(plug::clap::Factory());
    EXPECT_TRUE(host->init());
    if (activate) {
      EXPECT_TRUE(host->activate(kRate, maxFrames));
    }
    return host;
  }
  static Quennet& plugin(ClapTestHost& host)
  {
    return *static_cast<Quennet*>(IPluginCLAP::From(host.plugin)->GetPlug());
  }
  // One block of the test signal; the output.
  static StereoBuffer block(ClapTestHost& host, const InputEvents& events, std::uint32_t frames = kBlock,
                            OutputEvents* out = nullptr, clap_process_status* status = nullptr)
  {
    const StereoBuffer input = testSignal(frames);
    StereoBuffer output(frames);
    const float* in[2] = {input.left.data(), input.right.data()};
    float* o[2] = {output.left.data(), output.right.data()};
    OutputEvents ignored;
    const clap_event_transport_t transport = host.transportAt(0.0, 120.0);
    const clap_process_status s = host.process(in, o, frames, events, out ? *out : ignored, &transport);
    if (status)
      *status = s;
    return output;
  }

  TempHome home;
};

} // namespace

// The host's calls in an order the plug-in must survive, and values it must refuse.
TEST_F(ClapBridgeTest, ProcessingBeforeActivationDoesNothing)
{
  auto host = instance(false);
  StereoBuffer output(kBlock);
  std::fill(output.left.begin(), output.left.end(), 7.0f);
  const StereoBuffer input = testSignal(kBlock);
  const float* in[2] = {input.left.data(), input.right.data()};
  float* o[2] = {output.left.data(), output.right.data()};
  InputEvents events;
  events.midi(0, 0x90, 60, 100);
  OutputEvents out;
  EXPECT_EQ(host->process(in, o, kBlock, events, out), CLAP_PROCESS_ERROR);
  EXPECT_EQ(output.left[0], 7.0f) << "the output is untouched";
  EXPECT_FALSE(host->plugin->start_processing(host->plugin));

  for (const double rate : {0.0, -1.0, 999.0, 768001.0, static_cast<double>(NAN), HUGE_VAL}) {
    SCOPED_TRACE(rate);
    EXPECT_FALSE(host->plugin->activate(host->plugin, rate, 1, kBlock));
  }
  EXPECT_FALSE(host->plugin->activate(host->plugin, kRate, 1, 0));
  EXPECT_FALSE(host->plugin->activate(host->plugin, kRate, 1, 1u << 30));
  EXPECT_EQ(host->process(in, o, kBlock, events, out), CLAP_PROCESS_ERROR);
  ASSERT_TRUE(host->activate(kRate, kBlock));
  EXPECT_EQ(host->process(in, o, kBlock, events, out), CLAP_PROCESS_CONTINUE);
  EXPECT_TRUE(allFinite(output));
}

TEST_F(ClapBridgeTest, BrokenAndUnknownEventsAreIgnored)
{
  auto host = instance();
  const std::vector<double> before = [&] {
    std::vector<double> v;
    for (clap_id id = 1; id <= 22; ++id)
      v.push_back(host->paramValue(id));
    return v;
  }();

  struct Case {
    const char* name;
    std::function<void(InputEvents&)> add;
  };
  clap_event_param_value_t value{};
  value.header = {sizeof(value), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
  value.param_id = ParamID(kMix);
  value.note_id = value.port_index = value.channel = value.key = -1;
  value.value = 0.25;
  const std::vector<Case> cases = {
    {"size 0",
     [&](InputEvents& e) {
       auto v = value;
       v.header.size = 0;
       e.add(v);
     }},
    {"size below the header",
     [&](InputEvents& e) {
       auto v = value;
       v.header.size = 8;
       e.add(v);
     }},
    {"a value event only as large as the header",
     [&](InputEvents& e) {
       e.addBytes(&value, sizeof(clap_event_header_t));
       auto* last = &value;
       (void)last;
     }},
    {"a MIDI event cut short",
     [&](InputEvents& e) {
       clap_event_midi_t m{};
       m.header = {sizeof(clap_event_header_t) + 2, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
       m.data[0] = 0x90;
       m.data[1] = 60;
       m.data[2] = 100;
       e.addBytes(&m, sizeof(clap_event_header_t) + 2);
     }},
    {"an unknown type",
     [&](InputEvents& e) {
       auto v = value;
       v.header.type = 999;
       e.add(v);
     }},
    {"another event space",
     [&](InputEvents& e) {
       auto v = value;
       v.header.space_id = 5;
       e.add(v);
     }},
    {"a value for one key only",
     [&](InputEvents& e) {
       auto v = value;
       v.key = 60;
       e.add(v);
     }},
    {"MIDI bytes that are no message",
     [&](InputEvents& e) {
       e.midi(0, 0xF7, 0, 0);
       e.midi(1, 0x90, 0x90, 100);
       e.midi(2, 0x45, 1, 2);
     }},
    {"a note for every key",
     [&](InputEvents& e) {
       clap_event_note_t n{};
       n.header = {sizeof(n), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_NOTE_ON, 0};
       n.note_id = -1;
       n.key = -1;
       n.channel = 0;
       n.velocity = 1.0;
       e.add(n);
     }},
    {"a frame beyond the block", [&](InputEvents& e) { e.midi(100000, 0x90, 60, 100); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InputEvents events;
    c.add(events);
    clap_process_status status = CLAP_PROCESS_ERROR;
    const StereoBuffer output = block(*host, events, kBlock, nullptr, &status);
    EXPECT_EQ(status, CLAP_PROCESS_CONTINUE);
    EXPECT_TRUE(allFinite(output));
    for (clap_id id = 1; id <= 22; ++id)
      EXPECT_EQ(host->paramValue(id), before[id - 1]) << "id " << id;
  }

  // A host list that hands out null events, and no lists or buffers at all.
  clap_input_events_t nulls{
    nullptr, [](const clap_input_events_t*) -> std::uint32_t { return 3; },
    [](const clap_input_events_t*, std::uint32_t) -> const clap_event_header_t* { return nullptr; }};
  clap_process_t p{};
  p.frames_count = kBlock;
  p.in_events = &nulls;
  EXPECT_EQ(host->plugin->process(host->plugin, &p), CLAP_PROCESS_CONTINUE);
  p.in_events = nullptr;
  EXPECT_EQ(host->plugin->process(host->plugin, &p), CLAP_PROCESS_CONTINUE);
}

TEST_F(ClapBridgeTest, OutOfRangeIdsAndValuesChangeNothingOrAreClamped)
{
  auto host = instance();
  InputEvents events;
  for (const clap_id id : {0u, 23u, 29u, 30u, 1000u, 0xFFFFFFFFu})
    events.paramValue(0, id, 0.0);
  events.paramValue(0, ParamID(kMix), NAN);
  events.paramValue(0, ParamID(kGrainFrequency), HUGE_VAL);
  events.paramValue(0, ParamID(kGrainLength), -1e300);
  events.paramValue(0, ParamID(kGrainSync), 7.4);
  events.paramValue(0, ParamID(kMidiPolyphony), 99.0);
  const StereoBuffer output = block(*host, events);
  EXPECT_TRUE(allFinite(output));
  EXPECT_EQ(host->paramValue(ParamID(kMix)), 1.0) << "NaN is no value";
  EXPECT_EQ(host->paramValue(ParamID(kGrainFrequency)), 5000.0);
  EXPECT_EQ(host->paramValue(ParamID(kGrainLength)), 0.2);
  EXPECT_EQ(host->paramValue(ParamID(kGrainSync)), 7.0);
  EXPECT_EQ(host->paramValue(ParamID(kMidiPolyphony)), 8.0);
  double v = 0.0;
  for (const clap_id id : {0u, 23u, 29u, 0xFFFFFFFFu})
    EXPECT_FALSE(host->params()->get_value(host->plugin, id, &v));
  char text[64];
  EXPECT_FALSE(host->params()->value_to_text(host->plugin, 23, 1.0, text, sizeof(text)));
  EXPECT_FALSE(host->params()->text_to_value(host->plugin, 0, "1", &v));
  EXPECT_FALSE(host->params()->text_to_value(host->plugin, 1, nullptr, &v));
}

// States shorter or longer than the 232 bytes Quennet saves, and streams that fail: refused,
// nothing changed.
TEST_F(ClapBridgeTest, StatesOfTheWrongSizeAreRefused)
{
  auto host = instance();
  InputEvents events;
  events.paramValue(0, ParamID(kMix), 0.25);
  block(*host, events);
  const auto before = host->saveState();
  ASSERT_TRUE(before);
  ASSERT_EQ(before->size(), 232u);
  for (const size_t size : {size_t{0}, size_t{1}, size_t{8}, size_t{224}, size_t{231}, size_t{233}, size_t{4096}}) {
    SCOPED_TRACE(size);
    EXPECT_FALSE(host->loadState(std::vector<std::uint8_t>(size, 0)));
    EXPECT_EQ(host->saveState(), before);
  }
  int calls = 0;
  clap_istream_t failing{&calls, [](const clap_istream_t* s, void*, std::uint64_t) -> std::int64_t {
                           return ++*static_cast<int*>(s->ctx) > 1 ? -1 : 0;
                         }};
  EXPECT_FALSE(host->state()->load(host->plugin, &failing) && host->saveState() != before);
  clap_istream_t lying{nullptr, [](const clap_istream_t*, void*, std::uint64_t size) -> std::int64_t {
                         return static_cast<std::int64_t>(size) + 10;
                       }};
  EXPECT_FALSE(host->state()->load(host->plugin, &lying));
  clap_ostream_t full{nullptr, [](const clap_ostream_t*, const void*, std::uint64_t) -> std::int64_t { return -1; }};
  EXPECT_FALSE(host->state()->save(host->plugin, &full));
  EXPECT_EQ(host->saveState(), before);
}

// A block four times longer than announced, with notes and a transport: no allocation inside
// process, and exactly the audio of the same stream in blocks of the announced length.
TEST_F(ClapBridgeTest, ABlockLongerThanAnnouncedIsRenderedInPiecesWithoutAllocating)
{
  constexpr std::uint32_t kLong = 4 * kBlock + 17;
  const StereoBuffer input = testSignal(kLong);
  const std::vector<TimedMidi> notes = {
    {5, 0x90, 57, 100}, {kBlock, 0x90, 64, 90}, {3 * kBlock + 1, 0x80, 57, 0}, {kLong - 1, 0x80, 64, 0}};
  auto configure = [&](ClapTestHost& host) {
    InputEvents setup;
    setup.paramValue(0, ParamID(kGrainMode), 3.0); // "MIDI"
    setup.paramValue(0, ParamID(kFrameSyncToHost), 1.0);
    setup.paramValue(0, ParamID(kFrameSync), 4.0);
    OutputEvents ignored;
    host.params()->flush(host.plugin, setup.list(), ignored.list());
  };
  auto inPieces = instance();
  configure(*inPieces);
  RenderOptions options;
  options.blockSize = kBlock;
  options.tempo = 133.0;
  options.startPosition = 4800.0;
  options.midi = notes;
  const StereoBuffer expected = inPieces->render(input, options);

  auto oversized = instance();
  configure(*oversized);
  InputEvents events;
  for (const TimedMidi& n : notes)
    events.midi(static_cast<std::uint32_t>(n.frame), n.status, n.data1, n.data2);
  StereoBuffer output(kLong);
  const float* in[2] = {input.left.data(), input.right.data()};
  float* out[2] = {output.left.data(), output.right.data()};
  const clap_event_transport_t transport = oversized->transportAt(4800.0, 133.0);
  OutputEvents outEvents;
  outEvents.events.reserve(64);
  alloc_count::Counts counts;
  {
    alloc_count::CountingScope counting;
    oversized->process(in, out, kLong, events, outEvents, &transport);
    counts = counting.counts();
  }
  if (alloc_count::available()) {
    EXPECT_EQ(counts.allocations, 0) << "process allocated";
  }
  EXPECT_EQ(output.left, expected.left);
  EXPECT_EQ(output.right, expected.right);
}

// Ordinary blocks with notes, host values, a learned controller and the editor's queued changes:
// nothing allocated inside process.
TEST_F(ClapBridgeTest, ProcessAllocatesNothing)
{
  auto host = instance();
  Quennet& q = plugin(*host);
  q.learn().setControllerParam(20, kMix);
  const StereoBuffer input = testSignal(kBlock);
  StereoBuffer output(kBlock);
  const float* in[2] = {input.left.data(), input.right.data()};
  float* out[2] = {output.left.data(), output.right.data()};
  for (int i = 0; i < 3; ++i) { // the first blocks may warm up what the plug-in keeps
    InputEvents events;
    events.midi(3, 0x90, 60 + i, 100);
    events.midi(100, 0xB0, 20, static_cast<std::uint8_t>(10 * i));
    events.paramValue(0, ParamID(kGrainOverlap), 10.0 * i);
    q.SendParameterValueFromUI(kVolume, 0.3 + 0.1 * i);
    OutputEvents outEvents;
    outEvents.events.reserve(256);
    const clap_event_transport_t transport = host->transportAt(kBlock * i, 120.0);
    alloc_count::Counts counts;
    {
      alloc_count::CountingScope counting;
      host->process(in, out, kBlock, events, outEvents, &transport);
      counts = counting.counts();
    }
    if (alloc_count::available() && i > 0) {
      EXPECT_EQ(counts.allocations, 0) << "block " << i;
    }
  }
}

// Events in the host's list out of time order still reach the plug-in in frame order.
TEST_F(ClapBridgeTest, EventsOutOfOrderAreSortedByFrame)
{
  auto ordered = instance();
  auto shuffled = instance();
  for (auto* host : {ordered.get(), shuffled.get()}) {
    InputEvents setup;
    setup.paramValue(0, ParamID(kGrainMode), 3.0);
    OutputEvents ignored;
    host->params()->flush(host->plugin, setup.list(), ignored.list());
  }
  InputEvents inOrder;
  inOrder.midi(10, 0x90, 60, 100);
  inOrder.midi(200, 0x80, 60, 0);
  inOrder.midi(200, 0x90, 67, 100);
  InputEvents outOfOrder;
  outOfOrder.midi(200, 0x80, 60, 0);
  outOfOrder.midi(10, 0x90, 60, 100);
  outOfOrder.midi(200, 0x90, 67, 100);
  EXPECT_EQ(block(*ordered, inOrder).left, block(*shuffled, outOfOrder).left);
  EXPECT_EQ(plugin(*ordered).voiceNote(1), plugin(*shuffled).voiceNote(1));
}

// A learned controller changes a parameter in process: the host hears of it as a value it should
// not record, and is asked to mark the state dirty from the main thread.
TEST_F(ClapBridgeTest, ALearnedControllerReachesTheHostAsAnUnrecordedValue)
{
  auto host = instance();
  Quennet& q = plugin(*host);
  q.learn().setControllerParam(20, kMix);
  InputEvents events;
  events.midi(0, 0xB0, 20, 0);
  OutputEvents out;
  block(*host, events, kBlock, &out);
  ASSERT_EQ(out.events.size(), 1u);
  EXPECT_EQ(out.events[0].type, CLAP_EVENT_PARAM_VALUE);
  EXPECT_EQ(out.events[0].paramId, ParamID(kMix));
  EXPECT_EQ(out.events[0].value, 0.0);
  EXPECT_TRUE(out.events[0].flags & CLAP_EVENT_DONT_RECORD);
  EXPECT_GT(host->callbackRequests.load(), 0);
  const int dirty = host->dirtyMarks.load();
  host->runCallbacks();
  EXPECT_EQ(host->dirtyMarks.load(), dirty + 1);
}

// The editor, on a private X server.
class ClapEditorTest : public ClapBridgeTest {
protected:
  static void SetUpTestSuite() { sServer = new XvfbServer(); }
  static void TearDownTestSuite()
  {
    delete sServer;
    sServer = nullptr;
  }
  void SetUp() override
  {
    ASSERT_FALSE(sServer->display().empty()) << sServer->log();
    setenv("DISPLAY", sServer->display().c_str(), 1);
    mHost = instance();
    // The host's window the editor goes into.
    mDisplay = XOpenDisplay(sServer->display().c_str());
    ASSERT_NE(mDisplay, nullptr);
    mParent = XCreateSimpleWindow(mDisplay, DefaultRootWindow(mDisplay), 0, 0, 1200, 700, 0, 0, 0);
    XMapWindow(mDisplay, mParent);
    XSync(mDisplay, False);
  }
  void TearDown() override
  {
    mHost.reset();
    if (mDisplay) {
      XDestroyWindow(mDisplay, mParent);
      XCloseDisplay(mDisplay);
    }
  }

  // The host's steps to show the editor, in the order CLAP gives.
  bool openEditor()
  {
    const clap_plugin_gui_t* gui = mHost->gui();
    if (!gui->is_api_supported(mHost->plugin, CLAP_WINDOW_API_X11, false) ||
        !gui->create(mHost->plugin, CLAP_WINDOW_API_X11, false))
      return false;
    gui->set_scale(mHost->plugin, 1.0);
    std::uint32_t w = 0, h = 0;
    if (!gui->can_resize(mHost->plugin) || !gui->get_size(mHost->plugin, &w, &h))
      return false;
    clap_window_t window{CLAP_WINDOW_API_X11, {}};
    window.x11 = mParent;
    return gui->set_parent(mHost->plugin, &window) && gui->show(mHost->plugin);
  }
  plug::clap::ClapEditor& editor() { return *IPluginCLAP::From(mHost->plugin)->Editor(); }
  plug::graphics::IGraphics& graphics() { return editor().Window()->Graphics(); }
  // The host's main loop: its timers and the X connection, then a process call's worth of output.
  std::vector<OutputEvent> pump()
  {
    mHost->fireFds();
    mHost->fireTimers();
    OutputEvents out;
    InputEvents none;
    mHost->params()->flush(mHost->plugin, none.list(), out.list());
    return out.events;
  }
  // The centre of the first control bound to a parameter, in pixels.
  std::pair<float, float> controlCentre(int paramIdx)
  {
    for (int i = 0; i < graphics().NControls(); ++i) {
      const plug::graphics::IControl* c = graphics().GetControl(i);
      if (c->GetParamIdx() == paramIdx) {
        const float s = graphics().GetDrawScale();
        return {c->GetRECT().MW() * s, c->GetRECT().MH() * s};
      }
    }
    return {-1.0f, -1.0f};
  }

  static XvfbServer* sServer;
  std::unique_ptr<ClapTestHost> mHost;
  Display* mDisplay = nullptr;
  Window mParent = 0;
};

XvfbServer* ClapEditorTest::sServer = nullptr;

TEST_F(ClapEditorTest, TheEditorOpensInTheHostsWindowAtItsOwnSize)
{
  ASSERT_TRUE(openEditor());
  std::uint32_t w = 0, h = 0;
  ASSERT_TRUE(mHost->gui()->get_size(mHost->plugin, &w, &h));
  EXPECT_EQ(w, 984u);
  EXPECT_EQ(h, 432u);
  clap_gui_resize_hints_t hints{};
  ASSERT_TRUE(mHost->gui()->get_resize_hints(mHost->plugin, &hints));
  EXPECT_TRUE(hints.preserve_aspect_ratio);
  EXPECT_EQ(static_cast<double>(hints.aspect_ratio_width) / hints.aspect_ratio_height, 1968.0 / 864.0);
  pump();
  Window root = 0, parent = 0, *children = nullptr;
  unsigned n = 0;
  XQueryTree(mDisplay, editor().View()->GetWindow(), &root, &parent, &children, &n);
  if (children)
    XFree(children);
  EXPECT_EQ(parent, mParent);
  XWindowAttributes attributes{};
  XGetWindowAttributes(mDisplay, editor().View()->GetWindow(), &attributes);
  EXPECT_EQ(attributes.map_state, IsViewable);
  EXPECT_EQ(mHost->fds.size(), 1u) << "the X connection is watched";

  // The host's size: the editor at the scale that fits, proportions kept.
  std::uint32_t aw = 1968, ah = 1000;
  ASSERT_TRUE(mHost->gui()->adjust_size(mHost->plugin, &aw, &ah));
  EXPECT_EQ(aw, 1968u);
  EXPECT_EQ(ah, 864u);
  ASSERT_TRUE(mHost->gui()->set_size(mHost->plugin, aw, ah));
  pump();
  EXPECT_FLOAT_EQ(graphics().GetDrawScale(), 1.0f);

  // The user's choice in the editor wins, even when the host refuses to follow.
  mHost->acceptResize = false;
  editorOf(plugin(*mHost)).resizeUI(static_cast<GUI::GUISize>(0));
  pump();
  ASSERT_FALSE(mHost->resizeRequests.empty());
  ASSERT_TRUE(mHost->gui()->get_size(mHost->plugin, &w, &h));
  EXPECT_EQ(std::make_pair(w, h), mHost->resizeRequests.back());
  EXPECT_NE(w, 1968u);

  mHost->gui()->destroy(mHost->plugin);
  EXPECT_EQ(mHost->fds.size(), 0u);
  EXPECT_EQ(IPluginCLAP::From(mHost->plugin)->Editor(), nullptr);
}

TEST_F(ClapEditorTest, AGestureInTheEditorReachesTheHostWithBeginAndEnd)
{
  ASSERT_TRUE(openEditor());
  pump();
  UiDriver ui(graphics());
  const auto [x, y] = controlCentre(kGrainOverlap);
  ASSERT_GE(x, 0.0f);
  ui.dragPx(x, y, x, y - 60.0f);
  const std::vector<OutputEvent> events = pump();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.front().type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
  EXPECT_EQ(events.front().paramId, ParamID(kGrainOverlap));
  EXPECT_EQ(events.back().type, CLAP_EVENT_PARAM_GESTURE_END);
  EXPECT_EQ(events.back().paramId, ParamID(kGrainOverlap));
  const OutputEvent& last = events[events.size() - 2];
  EXPECT_EQ(last.type, CLAP_EVENT_PARAM_VALUE);
  EXPECT_GT(last.value, 0.0);
  EXPECT_EQ(last.value, mHost->paramValue(ParamID(kGrainOverlap))) << "the host hears the plain value";
  EXPECT_GT(mHost->flushRequests.load(), 0);
  EXPECT_GT(mHost->dirtyMarks.load(), 0);
}

TEST_F(ClapEditorTest, PresetChoicesAndResetsReachTheHostAsGesturesOnEveryParameter)
{
  ASSERT_TRUE(openEditor());
  pump();
  UiDriver ui(graphics());
  auto presetMenu = [&]() -> plug::graphics::IControl* {
    for (int i = 0; i < graphics().NControls(); ++i)
      if (dynamic_cast<ITWPresetMenu*>(graphics().GetControl(i)))
        return graphics().GetControl(i);
    return nullptr;
  };
  auto choose = [&](int item) {
    plug::graphics::IControl* menu = presetMenu();
    ASSERT_NE(menu, nullptr);
    const float s = graphics().GetDrawScale();
    ui.clickPx(menu->GetRECT().MW() * s, menu->GetRECT().MH() * s);
    ASSERT_NE(graphics().GetPopupMenuPanel(), nullptr);
    const plug::graphics::IRECT r = graphics().GetPopupMenuPanel()->ItemRect(item);
    ui.clickPx(r.MW(), r.MH());
  };
  auto valuesSent = [](const std::vector<OutputEvent>& events) {
    std::map<clap_id, double> values;
    int begins = 0, ends = 0;
    for (const OutputEvent& e : events) {
      begins += e.type == CLAP_EVENT_PARAM_GESTURE_BEGIN;
      ends += e.type == CLAP_EVENT_PARAM_GESTURE_END;
      if (e.type == CLAP_EVENT_PARAM_VALUE)
        values[e.paramId] = e.value;
    }
    EXPECT_EQ(begins, 22);
    EXPECT_EQ(ends, 22);
    return values;
  };

  choose(2); // "Frequency"
  std::map<clap_id, double> values = valuesSent(pump());
  ASSERT_EQ(values.size(), 22u);
  EXPECT_EQ(values[ParamID(kGrainMode)], 2.0);
  EXPECT_EQ(values[ParamID(kFrameLength)], 50.0);

  // An edit, then "Reset Current Preset" (the item after the ten presets and the separator).
  InputEvents edit;
  edit.paramValue(0, ParamID(kFrameLength), 321.0);
  OutputEvents ignored;
  mHost->params()->flush(mHost->plugin, edit.list(), ignored.list());
  EXPECT_EQ(mHost->paramValue(ParamID(kFrameLength)), 321.0);
  choose(kNumPresets + 1);
  values = valuesSent(pump());
  ASSERT_EQ(values.size(), 22u);
  EXPECT_EQ(values[ParamID(kFrameLength)], 50.0);
  EXPECT_EQ(mHost->paramValue(ParamID(kFrameLength)), 50.0);
}

TEST_F(ClapEditorTest, HostChangesReachTheEditor)
{
  ASSERT_TRUE(openEditor());
  pump();
  InputEvents events;
  events.paramValue(0, ParamID(kGrainOverlap), 25.0);
  block(*mHost, events);
  // The plug-in's 20 ms timer, on the host's, carries it to the controls.
  auto shown = [&] {
    for (int i = 0; i < graphics().NControls(); ++i) {
      const plug::graphics::IControl* c = graphics().GetControl(i);
      if (c->GetParamIdx() == kGrainOverlap)
        return c->GetValue();
    }
    return -1.0;
  };
  EXPECT_TRUE(waitUntil(
    [&] {
      pump();
      return shown() == 0.5;
    },
    5.0, 0.005))
    << shown();
}

// The main thread opens and closes the editor, saves and loads the state, converts texts and runs
// the timers while the audio thread processes blocks with host changes and notes.
TEST_F(ClapEditorTest, TheMainThreadWorksBesideTheAudioThread)
{
  ASSERT_TRUE(openEditor());
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    const StereoBuffer input = testSignal(kBlock);
    StereoBuffer output(kBlock);
    const float* in[2] = {input.left.data(), input.right.data()};
    float* out[2] = {output.left.data(), output.right.data()};
    for (int i = 0; !stop.load(); ++i) {
      InputEvents events;
      events.paramValue(0, ParamID(kGrainOverlap), i % 50);
      events.midi(5, 0x90, static_cast<std::uint8_t>(40 + i % 40), 90);
      OutputEvents outEvents;
      const clap_event_transport_t transport = mHost->transportAt(static_cast<double>(i) * kBlock, 120.0);
      mHost->process(in, out, kBlock, events, outEvents, &transport);
    }
  });
  for (int round = 0; round < 20; ++round) {
    mHost->fireFds();
    mHost->fireTimers();
    UiDriver ui(graphics()); // the editor of this round
    const auto [x, y] = controlCentre(kVolume);
    ui.dragPx(x, y, x, y - static_cast<float>(round));
    const auto state = mHost->saveState();
    ASSERT_TRUE(state);
    EXPECT_TRUE(mHost->loadState(*state));
    char text[64];
    mHost->params()->value_to_text(mHost->plugin, ParamID(kGrainOverlap), mHost->paramValue(ParamID(kGrainOverlap)),
                                   text, sizeof(text));
    if (round % 5 == 4) {
      mHost->gui()->destroy(mHost->plugin);
      ASSERT_TRUE(openEditor());
    }
  }
  stop.store(true);
  audio.join();
  EXPECT_EQ(mHost->offThreadCalls.load(), 0) << "the plug-in called main-thread host functions elsewhere";
}
