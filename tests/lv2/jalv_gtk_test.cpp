// jalv.gtk3, the LV2 reference host with a window, on a private X server (Xvfb) and a private JACK
// server: it loads the build's bundle and shows our editor embedded in its window. The picture on
// the screen is the editor's off-screen picture; xdotool clicks the Grain Mode readout and chooses
// "FREQ" from its menu, and drags the Volume knob; jalv's own state, saved through its File menu's
// shortcut, holds the new port values. The same gestures on an off-screen twin of the editor give
// the pictures and values to expect.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "BundlePath.h"
#include "ChildProcess.h"
#include "EditorTwin.h"
#include "JackSession.h"
#include "TempDir.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "framework/LV2/LV2Layout.h"

#include "X11UIHost.h"

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

class JalvGtkTest : public ::testing::Test {
protected:
  JalvGtkTest() : bundlePath(QUENNET_LV2_BUNDLE) {}

  CommandResult xdotool(const std::vector<std::string>& args)
  {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, {"DISPLAY=" + server.display()}, files.file("xdotool.log"), 20.0);
  }

  // Where the editor's window is on the screen; nothing until jalv shows it.
  std::optional<std::pair<int, int>> editorOnScreen()
  {
    XSync(display, False);
    const ::Window editor = x11::findLeafOfSize(display, DefaultRootWindow(display), twin.view().Width(),
                                                twin.view().Height());
    if (!editor)
      return std::nullopt;
    editorWindow = editor;
    return x11::screenPosition(display, editor);
  }

  // How much of the screen's editor differs from the twin's picture, once it has stopped changing
  // towards it (at most `seconds`).
  double settledMismatch(double seconds = 10.0)
  {
    double mismatch = 1.0;
    waitUntil(
      [&] {
        const ScreenGrab screen = x11::grab(display, origin.first, origin.second, twin.view().Width(),
                                            twin.view().Height());
        mismatch = twin.mismatch([&](int x, int y) { return screen.at(x, y); });
        return mismatch < 0.001;
      },
      seconds, 0.1);
    return mismatch;
  }

  TempHome home;  // the twin's settings: the default scale
  TempDir files{"quennet-jalv-gtk"};
  BundlePath bundlePath;
  XvfbServer server{1280, 800};
  Display* display = nullptr;
  EditorTwin twin;
  ::Window editorWindow = 0;
  std::pair<int, int> origin{0, 0};
};

} // namespace

TEST_F(JalvGtkTest, ShowsTheEditorAndItsGesturesReachThePluginsPorts)
{
  ASSERT_FALSE(server.display().empty()) << server.log();
  ASSERT_TRUE(twin.valid());
  display = XOpenDisplay(server.display().c_str());
  ASSERT_TRUE(display);
  const std::string pictures = QUENNET_TEST_PICTURES;
  std::filesystem::create_directories(pictures);

  std::optional<double> grainMode, volume;
  double shownMismatch = 1.0, menuMismatch = 1.0, freqMismatch = 1.0, dragMismatch = 1.0;
  std::string log;
  const bool ran = runJackSession(bundlePath.path(), files, [&](JackSession& jack) {
    ChildProcess& jalv = jack.start({"jalv.gtk3", "--jack-name", "qjalvgtk", "-x", plug::lv2::kPluginURI}, "jalv-gtk.log", false,
                                    {"DISPLAY=" + server.display(), "GSETTINGS_BACKEND=memory", "NO_AT_BRIDGE=1"});
    // JACK's part: the plug-in's ports appear. Then jalv shows its window with our editor inside.
    jack.waitForPorts({"qjalvgtk:out_left", "qjalvgtk:out_right"});
    std::optional<std::pair<int, int>> found;
    waitUntil([&] { return (found = editorOnScreen()).has_value() || !jalv.running(); }, 30.0, 0.1);
    log = jalv.log();
    ASSERT_TRUE(found) << "no editor in jalv's window\n" << log;
    origin = *found;

    shownMismatch = settledMismatch();
    // The picture of the whole window, with jalv's menu bar, for the README.
    const ::Window top = x11::topLevelOf(display, editorWindow);
    XWindowAttributes a{};
    XGetWindowAttributes(display, top, &a);
    const std::pair<int, int> topAt = x11::screenPosition(display, top);
    x11::grab(display, topAt.first, topAt.second, a.width, a.height).writePng(pictures + "/jalv-editor.png");

    // Grain Mode's readout opens its menu; "FREQ" is its third entry.
    const std::pair<int, int> readout{276, 112};  // the readout's centre (552, 224) at scale 0.5
    twin.ui().clickPx(static_cast<float>(readout.first), static_cast<float>(readout.second));
    twin.settle();
    const std::pair<int, int> freq = twin.menuItemCentre(2);
    ASSERT_GE(freq.first, 0) << "the twin's menu is open";
    xdotool({"mousemove", "--sync", std::to_string(origin.first + readout.first),
             std::to_string(origin.second + readout.second), "click", "1"});
    menuMismatch = settledMismatch();
    x11::grab(display, origin.first, origin.second, twin.view().Width(), twin.view().Height())
      .writePng(pictures + "/jalv-grain-mode-menu.png");
    xdotool({"mousemove", "--sync", std::to_string(origin.first + freq.first), std::to_string(origin.second + freq.second),
             "click", "1"});
    twin.ui().clickPx(static_cast<float>(freq.first), static_cast<float>(freq.second));
    twin.settle();
    freqMismatch = settledMismatch();

    // The Volume knob (centre 120, 392 at scale 0.5) dragged up by 30 pixels in three moves.
    const int kx = origin.first + 60, ky = origin.second + 196;
    xdotool({"mousemove", "--sync", std::to_string(kx), std::to_string(ky), "mousedown", "1", "mousemove", "--sync",
             std::to_string(kx), std::to_string(ky - 10), "mousemove", "--sync", std::to_string(kx),
             std::to_string(ky - 20), "mousemove", "--sync", std::to_string(kx), std::to_string(ky - 30), "mouseup", "1"});
    twin.ui().dragPx(60, 196, 60, 166, 3);
    twin.settle();
    dragMismatch = settledMismatch();

    // jalv saves its state (the ports' values and the plug-in's own) through File > Save (Ctrl+S).
    const std::string saved = files.file("saved-state");
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
    grainMode = savedPortValue(saved + "/state.ttl", "grain_mode");
    volume = savedPortValue(saved + "/state.ttl", "volume");
    log = jalv.log();
  });
  XCloseDisplay(display);
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
