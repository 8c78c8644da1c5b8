// SPDX-License-Identifier: ISC
// jalv.gtk3, the LV2 reference host with a window, on a private X server (Xvfb) and a private JACK
// server: it loads the build's bundle and shows our editor embedded in its window. An off-screen
// twin of the editor in the test's own process gets every gesture the test sends to jalv's window
// through xdotool, and gives the pictures, menu places, sizes and values to expect.
//
// - The picture on the screen is the twin's; the Grain Mode menu chooses "FREQ" and a drag turns
//   the Volume knob; jalv's own state, saved through its File menu's shortcut, holds the new values.
// - The size menu's 200 % and 75 % and a drag of the corner handle change the editor's window and
//   jalv's window with it; "Save Window Size" stores the scale chosen; a jalv window of another
//   proportion shows the surround colour beyond the picture.
// - "Reset Current Preset" moves jalv's controls back to the preset's factory values.
//
// The test's X connection counts X errors instead of dying of them (a window may vanish while it is
// looked at), and every process it starts ends with it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "BundlePath.h"
#include "ChildProcess.h"
#include "EditorTwin.h"
#include "JackSession.h"
#include "TempDir.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "core/quennet.param.h"
#include "editor/quennet.controls.h"
#include "editor/quennet.editor.h"
#include "framework/LV2/LV2Layout.h"
#include "graphics/MessageBoxPanel.h"

#include "X11UIHost.h"
// Xlib's macros break the headers above: last.
#include "platform/X11View.h"

using namespace quennet;

namespace {

// A port's value in a state jalv saved, or nothing.
std::optional<double> savedPortValue(const std::string& stateFile, const std::string& symbol)
{
  std::ifstream file(stateFile);
  std::stringstream text;
  text << file.rdbuf();
  const std::string ttl = text.str();
  std::smatch match;
  const std::regex value("lv2:symbol \"" + symbol + "\" ;\\s*pset:value ([-+0-9.eE]+)");
  if (!std::regex_search(ttl, match, value))
    return std::nullopt;
  return std::stod(match[1].str());
}

std::string fileText(const std::string& path)
{
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class JalvGtkTest : public ::testing::Test {
protected:
  JalvGtkTest() : bundlePath(QUENNET_LV2_BUNDLE) {}

  void SetUp() override
  {
    ASSERT_FALSE(server.display().empty()) << server.log();
    ASSERT_TRUE(twin.valid());
    display = XOpenDisplay(server.display().c_str());
    ASSERT_TRUE(display);
    std::filesystem::create_directories(pictures);
  }
  void TearDown() override
  {
    if (display)
      XCloseDisplay(display);
  }

  CommandResult xdotool(const std::vector<std::string>& args)
  {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, {"DISPLAY=" + server.display()}, files.file("xdotool.log"), 20.0);
  }

  // jalv.gtk3 on the session's server; returns once its window shows our editor.
  ChildProcess& startJalv(JackSession& jack)
  {
    ChildProcess& jalv =
      jack.start({"jalv.gtk3", "--jack-name", "qjalvgtk", "-x", plug::lv2::kPluginURI}, "jalv-gtk.log", false,
                 {"DISPLAY=" + server.display(), "GSETTINGS_BACKEND=memory", "NO_AT_BRIDGE=1"});
    // JACK's part: the plug-in's ports appear. Then jalv shows its window with our editor inside.
    jack.waitForPorts({"qjalvgtk:out_left", "qjalvgtk:out_right"});
    std::optional<std::pair<int, int>> found;
    waitUntil([&] { return (found = editorOnScreen()).has_value() || !jalv.running(); }, 30.0, 0.1);
    if (!found)
      throw Stalled{"no editor in jalv's window\n" + jalv.log()};
    origin = *found;
    return jalv;
  }

  // Where the editor's window is on the screen, once it shows at the twin's size; nothing until then.
  std::optional<std::pair<int, int>> editorOnScreen()
  {
    XSync(display, False);
    const ::Window editor =
      x11::findLeafOfSize(display, DefaultRootWindow(display), twin.view().Width(), twin.view().Height());
    if (!editor)
      return std::nullopt;
    editorWindow = editor;
    return x11::screenPosition(display, editor);
  }

  ScreenGrab grabEditor()
  {
    return x11::grab(display, origin.first, origin.second, twin.view().Width(), twin.view().Height());
  }

  // How much of the screen's editor differs from the twin's picture, once it has stopped changing
  // towards it (at most `seconds`).
  double settledMismatch(double seconds = 10.0)
  {
    double mismatch = 1.0;
    waitUntil(
      [&] {
        // jalv may still move the editor within its window (its menu bar and controls arrive late
        // on a busy machine): the place is looked up again every time.
        XSync(display, False);
        origin = x11::screenPosition(display, editorWindow);
        const ScreenGrab screen = grabEditor();
        mismatch = twin.mismatch([&](int x, int y) { return screen.at(x, y); });
        return mismatch < 0.001;
      },
      seconds, 0.1);
    return mismatch;
  }

  void click(int x, int y, int button = 1)
  {
    xdotool({"mousemove", "--sync", std::to_string(origin.first + x), std::to_string(origin.second + y), "click",
             std::to_string(button)});
  }

  // Opens a menu with a click at (x, y) (pixels of the editor) on both editors and chooses `item`.
  void chooseFromMenu(int x, int y, int item, bool right)
  {
    twin.ui().clickPx(static_cast<float>(x), static_cast<float>(y), right ? UiDriver::right() : UiDriver::left());
    twin.settle();
    const std::pair<int, int> at = twin.menuItemCentre(item);
    ASSERT_GE(at.first, 0) << "the twin's menu is open";
    click(x, y, right ? 3 : 1);
    ASSERT_LT(settledMismatch(), 0.001) << "the menu shows";
    click(at.first, at.second);
    twin.ui().clickPx(static_cast<float>(at.first), static_cast<float>(at.second));
    twin.settle();
  }

  // A point of the bare background at the twin's scale: right clicks there open the size menu.
  std::pair<int, int> background()
  {
    const float s = twin.graphics().GetDrawScale();
    return {static_cast<int>(1000 * s), static_cast<int>(800 * s)};
  }

  // Waits until the editor's window and jalv's have the twin's size (jalv's holds its menu bar too);
  // false after 15 seconds.
  bool editorAndJalvAtTheTwinsSize(int& jalvWidth, int& editorWidth, int& editorHeight)
  {
    return waitUntil(
      [&] {
        XSync(display, False);
        std::tie(editorWidth, editorHeight) = x11::windowSize(display, editorWindow);
        jalvWidth = x11::windowSize(display, x11::topLevelOf(display, editorWindow)).first;
        return editorWidth == twin.view().Width() && editorHeight == twin.view().Height() &&
          jalvWidth == twin.view().Width();
      },
      15.0, 0.1);
  }

  // jalv saves its state (the ports' values and the plug-in's own) through File > Save (Ctrl+S);
  // the folder holding state.ttl, or an empty text.
  std::string saveJalvState(const std::string& name)
  {
    const std::string saved = files.file(name);
    const CommandResult window = xdotool({"search", "--sync", "--onlyvisible", "--name", "^Quennet$"});
    const std::string id = window.output.substr(0, window.output.find('\n'));
    xdotool({"windowfocus", "--sync", id, "key", "ctrl+s"});
    const CommandResult dialog = xdotool({"search", "--sync", "--onlyvisible", "--name", "Save State"});
    const std::string dialogId = dialog.output.substr(0, dialog.output.find('\n'));
    xdotool({"windowfocus", "--sync", dialogId, "type", saved});
    // The file chooser may take the first Return for its path completion.
    for (int attempt = 0; attempt < 4 && !std::filesystem::exists(saved + "/state.ttl"); ++attempt) {
      xdotool({"windowfocus", "--sync", dialogId, "key", "Return"});
      waitUntil([&] { return std::filesystem::exists(saved + "/state.ttl"); }, 5.0, 0.1);
    }
    return std::filesystem::exists(saved + "/state.ttl") ? saved + "/state.ttl" : std::string();
  }

  TempHome home; // the twin's settings: the default scale
  TempDir files{"quennet-jalv-gtk"};
  BundlePath bundlePath;
  XvfbServer server{1600, 1000};
  x11::ErrorCount xErrors;
  Display* display = nullptr;
  EditorTwin twin;
  ::Window editorWindow = 0;
  std::pair<int, int> origin{0, 0};
  const std::string pictures = QUENNET_TEST_PICTURES;
};

} // namespace

TEST_F(JalvGtkTest, ShowsTheEditorAndItsGesturesReachThePluginsPorts)
{
  std::optional<double> grainMode, volume;
  double shownMismatch = 1.0, menuMismatch = 1.0, freqMismatch = 1.0, dragMismatch = 1.0;
  std::string log;
  const bool ran = runJackSession(bundlePath.path(), files, [&](JackSession& jack) {
    ChildProcess& jalv = startJalv(jack);
    shownMismatch = settledMismatch();
    // The picture of the whole window, with jalv's menu bar, for the README.
    const ::Window top = x11::topLevelOf(display, editorWindow);
    const std::pair<int, int> topSize = x11::windowSize(display, top);
    const std::pair<int, int> topAt = x11::screenPosition(display, top);
    x11::grab(display, topAt.first, topAt.second, topSize.first, topSize.second)
      .writePng(pictures + "/jalv-editor.png");

    // Grain Mode's readout opens its menu; "FREQ" is its third entry.
    const std::pair<int, int> readout{276, 112}; // the readout's centre (552, 224) at scale 0.5
    twin.ui().clickPx(static_cast<float>(readout.first), static_cast<float>(readout.second));
    twin.settle();
    const std::pair<int, int> freq = twin.menuItemCentre(2);
    ASSERT_GE(freq.first, 0) << "the twin's menu is open";
    click(readout.first, readout.second);
    menuMismatch = settledMismatch();
    grabEditor().writePng(pictures + "/jalv-grain-mode-menu.png");
    click(freq.first, freq.second);
    twin.ui().clickPx(static_cast<float>(freq.first), static_cast<float>(freq.second));
    twin.settle();
    freqMismatch = settledMismatch();

    // The Volume knob (centre 120, 392 at scale 0.5) dragged up by 30 pixels in three moves.
    const int kx = origin.first + 60, ky = origin.second + 196;
    xdotool({"mousemove",        "--sync",
             std::to_string(kx), std::to_string(ky),
             "mousedown",        "1",
             "mousemove",        "--sync",
             std::to_string(kx), std::to_string(ky - 10),
             "mousemove",        "--sync",
             std::to_string(kx), std::to_string(ky - 20),
             "mousemove",        "--sync",
             std::to_string(kx), std::to_string(ky - 30),
             "mouseup",          "1"});
    twin.ui().dragPx(60, 196, 60, 166, 3);
    twin.settle();
    dragMismatch = settledMismatch();

    const std::string state = saveJalvState("saved-state");
    grainMode = savedPortValue(state, "grain_mode");
    volume = savedPortValue(state, "volume");
    log = jalv.log();
  });
  ASSERT_TRUE(ran);
  EXPECT_LT(shownMismatch, 0.001) << "the editor as drawn off-screen; see " << pictures << "/jalv-editor.png";
  EXPECT_LT(menuMismatch, 0.001) << "the Grain Mode menu";
  EXPECT_LT(freqMismatch, 0.001) << "the editor in mode FREQ";
  EXPECT_LT(dragMismatch, 0.001) << "the Volume knob turned";
  ASSERT_TRUE(grainMode) << "no state saved\n" << log;
  EXPECT_EQ(*grainMode, 2.0) << "FREQ";
  ASSERT_TRUE(volume);
  const double expected = twin.plugin().GetParam(kVolume)->GetValue();
  EXPECT_GT(expected, 1.0) << "the twin's knob went up";
  EXPECT_NEAR(*volume, expected, 1e-5) << "the port has the knob's value";
}

// The user's size choices win in jalv: the size menu's 200 % and 75 % and a drag of the corner
// handle give the editor's window the chosen size, and jalv's window follows; "Save Window Size"
// stores that scale in jalv's settings file. A jalv window of another proportion shows the
// surround colour beyond the picture, not stale pixels or grey.
TEST_F(JalvGtkTest, TheEditorsSizeChoicesWinAndSaveWindowSizeStoresThem)
{
  struct Step {
    const char* name;
    int sizeItem; // of the size menu; -1: the corner drag
  };
  const Step steps[] = {{"200 %", GUI::kSize200}, {"75 %", GUI::kSize75}, {"the corner handle", -1}};
  std::string log, config;
  float savedScale = 0.0f;
  const bool ran = runJackSession(bundlePath.path(), files, [&](JackSession& jack) {
    ChildProcess& jalv = startJalv(jack);
    ASSERT_LT(settledMismatch(), 0.001);
    for (const Step& step : steps) {
      SCOPED_TRACE(step.name);
      if (step.sizeItem >= 0) {
        chooseFromMenu(background().first, background().second, step.sizeItem, true);
      } else {
        // From just inside the corner, outwards by a third in both directions: the smaller ratio wins.
        const int w = twin.view().Width(), h = twin.view().Height();
        const int x0 = w - 6, y0 = h - 6, x1 = x0 + w / 3, y1 = y0 + h / 2;
        xdotool({"mousemove", "--sync", std::to_string(origin.first + x0), std::to_string(origin.second + y0),
                 "mousedown", "1", "mousemove", "--sync", std::to_string(origin.first + (x0 + x1) / 2),
                 std::to_string(origin.second + (y0 + y1) / 2), "mousemove", "--sync",
                 std::to_string(origin.first + x1), std::to_string(origin.second + y1), "mouseup", "1"});
        twin.ui().dragPx(static_cast<float>(x0), static_cast<float>(y0), static_cast<float>(x1), static_cast<float>(y1),
                         2);
        twin.settle();
      }
      int jalvWidth = 0, editorWidth = 0, editorHeight = 0;
      EXPECT_TRUE(editorAndJalvAtTheTwinsSize(jalvWidth, editorWidth, editorHeight))
        << "editor " << editorWidth << " x " << editorHeight << ", jalv " << jalvWidth << " wide, expected "
        << twin.view().Width() << " x " << twin.view().Height() << "\n"
        << jalv.log();
      origin = x11::screenPosition(display, editorWindow);
      EXPECT_LT(settledMismatch(), 0.001) << "the picture at the new size";
      grabEditor().writePng(pictures + "/jalv-size-" + std::to_string(twin.view().Width()) + ".png");
    }

    // The box names jalv's settings file (the twin's is another): its picture is kept to look at.
    chooseFromMenu(background().first, background().second, ITWSizeContextControl::kSaveItem, true);
    waitUntil([&] { return !fileText(files.path().string() + "/.config/TarnwellMusic/quennet.ini").empty(); }, 10.0);
    config = fileText(files.path().string() + "/.config/TarnwellMusic/quennet.ini");
    savedScale = twin.graphics().GetDrawScale();
    settledMismatch(2.0);
    grabEditor().writePng(pictures + "/jalv-save-window-size.png");
    // Its OK button closes it.
    const plug::graphics::MessageBoxPanel* box = twin.graphics().GetMessageBoxPanel();
    ASSERT_NE(box, nullptr);
    const plug::graphics::IRECT ok = box->ButtonRect(0);
    click(static_cast<int>(ok.MW()), static_cast<int>(ok.MH()));
    twin.ui().clickPx(ok.MW(), ok.MH());
    twin.settle();
    EXPECT_LT(settledMismatch(), 0.001) << "the box has gone";

    // jalv's window of another proportion (the user resized it): the picture fits its width, the
    // surround fills below.
    const ::Window top = x11::topLevelOf(display, editorWindow);
    xdotool({"windowsize", "--sync", std::to_string(top), "1100", "800"});
    const std::pair<int, int> topSize = x11::windowSize(display, top);
    waitUntil([&] { return x11::windowSize(display, editorWindow).second > 700; }, 10.0, 0.1);
    const std::pair<int, int> editorSize = x11::windowSize(display, editorWindow);
    twin.graphics().Resize(kEditorWidth, kEditorHeight,
                           plug::ScaleToFit(editorSize.first, editorSize.second, kEditorWidth, kEditorHeight,
                                            kEditorMinScale, kEditorMaxScale));
    twin.settle();
    EXPECT_LT(settledMismatch(), 0.001) << "the picture at the scale that fits";
    const ScreenGrab window = x11::grab(display, origin.first, origin.second, editorSize.first, editorSize.second);
    window.writePng(pictures + "/jalv-1100x800.png");
    const plug::graphics::IColor c = twin.graphics().GetSurroundColor();
    const std::uint32_t surround = static_cast<std::uint32_t>(c.R << 16 | c.G << 8 | c.B);
    const int pictureHeight = twin.view().Height();
    int wrong = 0, looked = 0;
    for (int y = pictureHeight + 2; y < editorSize.second; y += 7)
      for (int x = 0; x < editorSize.first; x += 7, ++looked)
        wrong += window.at(x, y) != surround ? 1 : 0;
    EXPECT_GT(looked, 100) << "jalv is " << topSize.first << " x " << topSize.second;
    EXPECT_EQ(wrong, 0) << "of " << looked << " pixels below the picture; see " << pictures << "/jalv-1100x800.png";
    log = jalv.log();
  });
  ASSERT_TRUE(ran);
  char stored[64];
  std::snprintf(stored, sizeof(stored), "Scale=%f", static_cast<double>(savedScale));
  EXPECT_NE(config.find(stored), std::string::npos) << "expected " << stored << " in\n" << config << log;
  EXPECT_EQ(x11::ErrorCount::errors(), 0);
}

// "Reset Current Preset" in the editor moves jalv's controls: its saved state holds the preset's
// factory values again, also for a control the user had turned.
TEST_F(JalvGtkTest, ResetCurrentPresetMovesJalvsControlsBackToTheFactoryValues)
{
  constexpr int kPreset = 3; // "MIDI Standard"
  std::string state, log;
  const bool ran = runJackSession(bundlePath.path(), files, [&](JackSession& jack) {
    ChildProcess& jalv = startJalv(jack);
    ASSERT_LT(settledMismatch(), 0.001);
    const std::pair<int, int> presets{150, 37}; // the preset menu's mark (300, 74) at scale 0.5
    chooseFromMenu(presets.first, presets.second, kPreset, false);
    // The Mix knob (centre 120, 632 at scale 0.5) turned down.
    const int kx = origin.first + 60, ky = origin.second + 316;
    xdotool({"mousemove", "--sync", std::to_string(kx), std::to_string(ky), "mousedown", "1", "mousemove", "--sync",
             std::to_string(kx), std::to_string(ky + 15), "mousemove", "--sync", std::to_string(kx),
             std::to_string(ky + 30), "mouseup", "1"});
    twin.ui().dragPx(60, 316, 60, 346, 2);
    twin.settle();
    ASSERT_LT(settledMismatch(), 0.001);
    chooseFromMenu(presets.first, presets.second, kNumPresets + 1, false); // "Reset Current Preset"
    EXPECT_LT(settledMismatch(), 0.001);
    state = saveJalvState("after-reset");
    log = jalv.log();
  });
  ASSERT_TRUE(ran);
  ASSERT_FALSE(state.empty()) << "no state saved\n" << log;
  const FactoryPreset& preset = kFactoryPresets[kPreset];
  const plug::IPlugin& plugin = twin.plugin();
  for (int i = 0; i <= kMidiRelease; ++i) {
    const plug::IParam& param = *plugin.GetParam(i);
    SCOPED_TRACE(param.GetName());
    const std::optional<double> value = savedPortValue(state, param.GetSymbol());
    ASSERT_TRUE(value);
    EXPECT_NEAR(*value, param.ConstrainValue(preset.values[static_cast<size_t>(i)]), 1e-5);
  }
}
