// SPDX-License-Identifier: ISC
// quennet.lv2 in the Ardour 7 GUI, on a private X server (Xvfb) with the dummy backend, as a user
// meets it: a session prepared headless (ardour7-lua) with Quennet on a stereo track, opened in the
// GUI with the mixer showing; a double-click on the plug-in opens its editor, embedded in Ardour's
// plug-in window. A drag on the Volume knob moves Ardour's control (the saved session holds the
// value), the size menu's 200 % gives the editor and Ardour's window the chosen size, and Ardour's
// menus keep all twenty note values of Grain Sync. An off-screen twin of the editor in the test's
// process gets the same gestures and gives the pictures, places and values to expect.
//
// Ardour's first-run dialogs are avoided with a private HOME: the ".a7" marker, a configuration
// that shows the dummy backend and remembers its engine state, and a window layout that opens the
// mixer. Ardour itself now and then crashes; such a run is run again and never counts as a pass.

#include <gtest/gtest.h>

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
#include "TempDir.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "editor/quennet.editor.h"
#include "framework/LV2/LV2Layout.h"

#include "X11UIHost.h"

using namespace quennet;

namespace {

constexpr int kAttempts = 4; // Ardour crashes by itself now and then

// Places in Ardour's main window of 1348 × 713 at the screen's corner (the layout the private
// configuration gives): the "Mix" button that shows the mixer, and the plug-in's entry in the mixer
// strip of the one track.
constexpr int kMixButtonX = 1326;
constexpr int kMixButtonY = 72;
constexpr int kProcessorX = 324;
constexpr int kProcessorY = 215;

const char* kConfig = R"xml(<?xml version="1.0" encoding="UTF-8"?>
<Ardour>
  <Config>
    <Option name="hide-dummy-backend" value="0"/>
  </Config>
  <Extra>
    <AudioMIDISetup>
      <EngineStates>
        <State backend="None (Dummy)" driver="Normal Speed" device="Silence" input-device="" output-device="" sample-rate="48000" buffer-size="1024" n-periods="0" input-latency="0" output-latency="0" lm-input="" lm-output="" active="1" use-buffered-io="0" midi-option="1 in, 1 out, Silence" lru="1">
          <MIDIDevices/>
        </State>
      </EngineStates>
    </AudioMIDISetup>
  </Extra>
</Ardour>
)xml";

const char* kInstant = R"xml(<?xml version="1.0" encoding="UTF-8"?>
<instant>
  <Main x="0" y="0" w="1348" h="713" current-tab="mixer"/>
</instant>
)xml";

std::string fileText(const std::string& path)
{
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A port's value in a saved session (its plug-in's <Port symbol=... value=.../>), or nothing.
std::optional<double> sessionPortValue(const std::string& session, const std::string& symbol)
{
  std::smatch match;
  if (!std::regex_search(session, match, std::regex("<Port symbol=\"" + symbol + "\" value=\"([-+0-9.eE]+)\"")))
    return std::nullopt;
  return std::stod(match[1].str());
}

// What one GUI run found; `ran` false when Ardour crashed or stalled on its own.
struct GuiRun {
  bool ran = false;
  std::string failure; // why the run did not get through
  std::string lua; // the headless preparation's output
  std::optional<double> savedVolume;
  int editorWidth = 0, editorHeight = 0, windowWidth = 0;
};

class ArdourGuiTest : public ::testing::Test {
protected:
  ArdourGuiTest() : bundlePath(QUENNET_LV2_BUNDLE) {}

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
  // The first visible window whose name matches, or 0.
  ::Window findWindow(const std::string& name)
  {
    const CommandResult found = xdotool({"search", "--onlyvisible", "--name", name});
    return found.status == 0 ? std::stoul(found.output.substr(0, found.output.find('\n'))) : 0;
  }

  void click(int x, int y, int button = 1)
  {
    xdotool({"mousemove", "--sync", std::to_string(origin.first + x), std::to_string(origin.second + y), "click",
             std::to_string(button)});
  }
  ScreenGrab grabEditor()
  {
    return x11::grab(display, origin.first, origin.second, twin.view().Width(), twin.view().Height());
  }
  double settledMismatch(double seconds = 10.0)
  {
    double mismatch = 1.0;
    waitUntil(
      [&] {
        const ScreenGrab screen = grabEditor();
        mismatch = twin.mismatch([&](int x, int y) { return screen.at(x, y); });
        return mismatch < 0.001;
      },
      seconds, 0.1);
    return mismatch;
  }

  // One run: prepare the session headless, open it in the GUI, work the editor, save, quit.
  GuiRun runArdour(int attempt);

  TempHome home; // the twin's settings: the default scale
  TempDir files{"quennet-ardour-gui"};
  BundlePath bundlePath;
  XvfbServer server{1600, 1000};
  x11::ErrorCount xErrors;
  Display* display = nullptr;
  EditorTwin twin;
  ::Window editorWindow = 0;
  std::pair<int, int> origin{0, 0};
  const std::string pictures = QUENNET_TEST_PICTURES;
};

GuiRun ArdourGuiTest::runArdour(int attempt)
{
  GuiRun run;
  const std::filesystem::path root = files.path() / ("attempt-" + std::to_string(attempt));
  const std::filesystem::path homeDir = root / "home";
  const std::filesystem::path config = homeDir / ".config";
  std::filesystem::create_directories(config / "ardour7");
  std::ofstream(config / "ardour7" / ".a7").close();
  std::ofstream(config / "ardour7" / "config") << kConfig;
  std::ofstream(config / "ardour7" / "instant.xml") << kInstant;
  const std::vector<std::string> env = {
    "HOME=" + homeDir.string(),
    "XDG_CONFIG_HOME=" + config.string(),
    "XDG_DATA_HOME=" + (homeDir / ".local" / "share").string(),
    "XDG_CACHE_HOME=" + (homeDir / ".cache").string(),
    "LV2_PATH=" + bundlePath.path(),
    "DISPLAY=" + server.display(),
    "GSETTINGS_BACKEND=memory",
    "NO_AT_BRIDGE=1",
  };
  const std::string sessionDir = (root / "session").string();
  const CommandResult prepared = runCommand(
    {"ardour7-lua", std::string(QUENNET_ARDOUR_FILES) + "/gui_session.lua", sessionDir, plug::lv2::kPluginURI}, env,
    (root / "prepare.log").string(), 180.0);
  run.lua = prepared.output;
  if (!prepared.status || *prepared.status >= 128) {
    run.failure = "the headless preparation crashed";
    return run;
  }
  if (prepared.status != 0 || prepared.output.find("\ndone") == std::string::npos) {
    run.ran = true; // no crash of Ardour's: a failure of ours
    run.failure = "the headless preparation failed:\n" + prepared.output;
    return run;
  }

  ChildProcess ardour({"ardour", sessionDir + "/quennet.ardour"}, env, (root / "ardour.log").string());
  auto failed = [&](const std::string& why) {
    // What the screen showed then, to look at.
    const std::string shot = pictures + "/ardour-attempt-" + std::to_string(attempt) + ".png";
    x11::grab(display, 0, 0, DisplayWidth(display, DefaultScreen(display)),
              DisplayHeight(display, DefaultScreen(display)))
      .writePng(shot);
    run.failure =
      why + " (see " + shot + ")\n" + ardour.log().substr(ardour.log().size() > 3000 ? ardour.log().size() - 3000 : 0);
    run.ran = ardour.running(); // a crash of Ardour's is run again
    return run;
  };
  ::Window mainWindow = 0;
  if (!waitUntil([&] { return (mainWindow = findWindow("^quennet - Ardour")) != 0 || !ardour.running(); }, 90.0, 0.5) ||
      !mainWindow)
    return failed("Ardour's main window did not show");

  // The plug-in's entry in the mixer strip: a double-click opens its editor in a window of Ardour's.
  const std::string pluginWindowName = "Quennet \\(by Tarnwell Music\\) \\[LV2\\]";
  ::Window pluginWindow = 0;
  for (int tries = 0; tries < 5 && !pluginWindow && ardour.running(); ++tries) {
    xdotool({"mousemove", "--sync", std::to_string(kMixButtonX), std::to_string(kMixButtonY), "click", "1"});
    xdotool({"mousemove", "--sync", std::to_string(kProcessorX), std::to_string(kProcessorY), "click", "--repeat", "2",
             "--delay", "80", "1"});
    waitUntil([&] { return (pluginWindow = findWindow(pluginWindowName)) != 0; }, 8.0, 0.2);
  }
  if (!pluginWindow)
    return failed("no plug-in window");
  const bool editorShown = waitUntil(
    [&] {
      XSync(display, False);
      editorWindow = x11::findLeafOfSize(display, pluginWindow, twin.view().Width(), twin.view().Height());
      return editorWindow != 0;
    },
    20.0, 0.2);
  if (!editorShown)
    return failed("no editor in Ardour's plug-in window");
  run.ran = true;
  origin = x11::screenPosition(display, editorWindow);
  EXPECT_LT(settledMismatch(), 0.001) << "the editor as drawn off-screen";
  {
    const std::pair<int, int> size = x11::windowSize(display, pluginWindow);
    const std::pair<int, int> at = x11::screenPosition(display, pluginWindow);
    x11::grab(display, at.first, at.second, size.first, size.second).writePng(pictures + "/ardour-editor.png");
  }

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
  EXPECT_LT(settledMismatch(), 0.001) << "the Volume knob turned";

  // "Set Windows Size to 200%" from the size menu, on the bare background.
  const std::pair<int, int> background{500, 400}; // (1000, 800) at scale 0.5
  twin.ui().clickPx(static_cast<float>(background.first), static_cast<float>(background.second), UiDriver::right());
  twin.settle();
  const std::pair<int, int> item = twin.menuItemCentre(GUI::kSize200);
  click(background.first, background.second, 3);
  EXPECT_LT(settledMismatch(), 0.001) << "the size menu";
  click(item.first, item.second);
  twin.ui().clickPx(static_cast<float>(item.first), static_cast<float>(item.second));
  twin.settle();
  waitUntil(
    [&] {
      XSync(display, False);
      std::tie(run.editorWidth, run.editorHeight) = x11::windowSize(display, editorWindow);
      run.windowWidth = x11::windowSize(display, pluginWindow).first;
      return run.editorWidth == twin.view().Width() && run.windowWidth == twin.view().Width();
    },
    15.0, 0.1);
  origin = x11::screenPosition(display, editorWindow);
  EXPECT_LT(settledMismatch(), 0.001) << "the editor at 200 %";
  {
    const std::pair<int, int> size = x11::windowSize(display, pluginWindow);
    const std::pair<int, int> at = x11::screenPosition(display, pluginWindow);
    x11::grab(display, at.first, at.second, size.first, size.second).writePng(pictures + "/ardour-editor-200.png");
  }

  // Session > Save (Ctrl+S) in the main window, then Quit.
  const std::string sessionFile = sessionDir + "/quennet.ardour";
  const auto before = std::filesystem::last_write_time(sessionFile);
  xdotool({"windowfocus", "--sync", std::to_string(mainWindow), "key", "ctrl+s"});
  waitUntil([&] { return std::filesystem::last_write_time(sessionFile) != before || !ardour.running(); }, 20.0, 0.2);
  run.savedVolume = sessionPortValue(fileText(sessionFile), "volume");
  xdotool({"windowfocus", "--sync", std::to_string(mainWindow), "key", "ctrl+q"});
  ardour.waitExit(20.0);
  return run;
}

} // namespace

TEST_F(ArdourGuiTest, TheEditorInArdoursPluginWindowMovesItsControlsAndChoosesItsSize)
{
  std::string crashes;
  GuiRun run;
  for (int attempt = 1; attempt <= kAttempts && !run.ran; ++attempt) {
    run = runArdour(attempt);
    if (!run.ran)
      crashes += "attempt " + std::to_string(attempt) + ": " + run.failure + "\n";
  }
  ASSERT_TRUE(run.ran) << "Ardour crashed or stalled in every attempt\n" << crashes;
  ASSERT_TRUE(run.failure.empty()) << run.failure;
  for (const char* menu : {"entries Grain Mode: 4\n", "entries Grain Sync: 20\n", "entries Frame Sync: 20\n"})
    EXPECT_NE(run.lua.find(menu), std::string::npos) << "Ardour's menu keeps every entry: " << menu << run.lua;

  const double volume = twin.plugin().GetParam(kVolume)->GetValue();
  EXPECT_GT(volume, 1.0) << "the twin's knob went up";
  ASSERT_TRUE(run.savedVolume) << "no Volume port in the saved session";
  EXPECT_NEAR(*run.savedVolume, volume, 1e-5) << "Ardour's control has the knob's value";

  EXPECT_EQ(run.editorWidth, twin.view().Width()) << "the editor at 200 %";
  EXPECT_EQ(run.editorHeight, twin.view().Height());
  EXPECT_EQ(run.windowWidth, twin.view().Width()) << "Ardour's plug-in window made room for it";
  if (!crashes.empty())
    std::printf("Ardour crashed by itself before the run that passed:\n%s", crashes.c_str());
}
