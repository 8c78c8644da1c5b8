// SPDX-License-Identifier: ISC
// quennet.vst3 in Ardour 7's GUI on a private Xvfb. A session prepared headless (Ardour's scanner,
// then ardour7-lua) holds Quennet as VST3 on a stereo track; Ardour opens it with the dummy backend
// (xdotool gets it past its dialogs), its mixer shows, and a double-click on the plug-in opens our
// editor embedded in Ardour's plug-in window. What shows is the editor's off-screen picture; a knob
// dragged with XTest moves Ardour's control of that parameter, and a preset chosen in the editor moves
// them all: the session Ardour saves (Ctrl+S) holds the new values. The same gestures on an off-screen
// twin of the editor give the pictures and values to expect.
//
// Every program runs with a private HOME and ends with the test however the test ends.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Files.h"
#include "TempDir.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "core/quennet.h"

// Xlib last: its macros break the LV2 headers that X11UIHost.h includes.
#include "lv2/X11UIHost.h"

using namespace quennet;

namespace {

constexpr const char* kUID = "5472776C7477516E56535433516E6574";

// Where Ardour 7.3's dialogs and buttons are, relative to their windows, with Debian's theme and
// fonts at the Xvfb's resolution (found by looking at screenshots).
struct Offset {
  int x, y;
};
constexpr Offset kAudioSystemCombo{285, 49}; // Audio/MIDI Setup: the "Audio System" menu
constexpr Offset kDummyBackendItem{269, 93}; // its third entry, "None (Dummy)"
constexpr Offset kStartButton{501, 351}; // and "Start"
constexpr int kMixButtonFromRight = 23; // the main window's "Mix" button, from its right edge
constexpr int kMixButtonY = 72;

// A session's value of a plug-in port, as Ardour saved it.
std::optional<double> savedPort(const std::string& sessionFile, int id)
{
  const std::string xml = readFile(sessionFile);
  std::smatch match;
  const std::regex port("<Port id=\"" + std::to_string(id) + "\" value=\"([-+0-9.eE]+)\"/>");
  if (!std::regex_search(xml, match, port))
    return std::nullopt;
  return std::stod(match[1].str());
}

class ArdourVST3GuiTest : public ::testing::Test {
protected:
  ArdourVST3GuiTest()
  {
    mHome = files.path() / "home";
    std::filesystem::create_directories(mHome / ".config" / "ardour7");
    std::filesystem::create_directories(mHome / ".vst3");
    std::filesystem::create_directory_symlink(QUENNET_VST3_BUNDLE, mHome / ".vst3" / "quennet.vst3");
    // No first-run wizard; the dummy backend offered.
    writeFile(mHome / ".config" / "ardour7" / ".a7", "");
    writeFile(mHome / ".config" / "ardour7" / "config",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Ardour>\n  <Config>\n"
              "    <Option name=\"hide-dummy-backend\" value=\"0\"/>\n  </Config>\n</Ardour>\n");
  }

  std::vector<std::string> environment() const
  {
    return {"HOME=" + mHome.string(),
            "XDG_CONFIG_HOME=" + (mHome / ".config").string(),
            "XDG_DATA_HOME=" + (mHome / ".local" / "share").string(),
            "XDG_CACHE_HOME=" + (mHome / ".cache").string(),
            "DISPLAY=" + server.display(),
            "GSETTINGS_BACKEND=memory",
            "NO_AT_BRIDGE=1"};
  }

  static std::vector<std::string> orphanProof(std::vector<std::string> argv)
  {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
    return argv;
  }

  // The session, made headless: a stereo track with Quennet on it.
  bool prepareSession(std::string& log)
  {
    std::vector<std::string> env = environment();
    env.push_back("LD_LIBRARY_PATH=/usr/lib/ardour7");
    const CommandResult scan = runCommand(
      orphanProof({"/usr/lib/ardour7/ardour-vst3-scanner", "-f", (mHome / ".vst3" / "quennet.vst3").string()}), env,
      files.file("scanner.log"), 60.0);
    const CommandResult made =
      runCommand(orphanProof({"ardour7-lua", std::string(QUENNET_VST3_ARDOUR_FILES) + "/vst3_gui_session.lua",
                              sessionDir(), kUID}),
                 env, files.file("prepare.log"), 120.0);
    log = scan.output + made.output;
    return scan.status == 0 && made.status == 0 && made.output.find("\ndone") != std::string::npos;
  }

  std::string sessionDir() const { return (files.path() / "session").string(); }
  std::string sessionFile() const { return sessionDir() + "/quennet.ardour"; }

  CommandResult xdotool(const std::vector<std::string>& args)
  {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, {"DISPLAY=" + server.display()}, files.file("xdotool.log"), 20.0);
  }
  void click(int x, int y, int repeat = 1)
  {
    xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "--repeat", std::to_string(repeat),
             "--delay", "80", "1"});
  }

  // The visible windows: id, name, position and size.
  struct Window {
    ::Window id;
    std::string name;
    int x, y, width, height;
  };
  std::vector<Window> windows()
  {
    std::vector<Window> found;
    XSync(display, False);
    const CommandResult ids = xdotool({"search", "--onlyvisible", "--name", ""});
    std::istringstream lines(ids.output);
    for (unsigned long id; lines >> id;) {
      XWindowAttributes a{};
      if (!XGetWindowAttributes(display, id, &a))
        continue;
      char* name = nullptr;
      XFetchName(display, id, &name);
      const auto [x, y] = x11::screenPosition(display, id);
      found.push_back({id, name ? name : "", x, y, a.width, a.height});
      if (name)
        XFree(name);
    }
    return found;
  }
  std::optional<Window> windowNamed(const std::string& prefix)
  {
    for (const Window& w : windows())
      if (w.name.rfind(prefix, 0) == 0)
        return w;
    return std::nullopt;
  }

  // Ardour's way to its main window: the message that the engine's device changed (Return), the
  // Audio/MIDI Setup (the dummy backend, Start).
  bool throughTheDialogs(ChildProcess& ardour)
  {
    bool setupDone = false;
    return waitUntil(
      [&] {
        if (!ardour.running() || windowNamed("quennet - Ardour"))
          return true;
        for (const Window& w : windows()) {
          if (w.name == "Audio/MIDI Setup" && !setupDone) {
            // The menu is a window of its own; once it has gone, the dialog shows the dummy's settings.
            const size_t shown = windows().size();
            click(w.x + kAudioSystemCombo.x, w.y + kAudioSystemCombo.y);
            waitUntil([&] { return windows().size() > shown; }, 10.0, 0.1);
            click(w.x + kDummyBackendItem.x, w.y + kDummyBackendItem.y);
            waitUntil([&] { return windows().size() == shown; }, 10.0, 0.1);
            click(w.x + kStartButton.x, w.y + kStartButton.y);
            setupDone = true;
          } else if (w.name.empty() && w.width > 300 && w.width < 700 && w.height > 80 && w.height < 200) {
            xdotool({"windowfocus", "--sync", std::to_string(w.id), "key", "Return"});
          }
        }
        return false;
      },
      120.0, 1.0);
  }

  // How much of the screen's editor differs from the twin's picture, once it has stopped changing
  // towards it (at most `seconds`).
  double settledMismatch(EditorTwin& twin, double seconds = 15.0)
  {
    double mismatch = 1.0;
    waitUntil(
      [&] {
        const ScreenGrab screen =
          x11::grab(display, origin.first, origin.second, twin.view().Width(), twin.view().Height());
        mismatch = twin.mismatch([&](int x, int y) { return screen.at(x, y); });
        return mismatch < 0.001;
      },
      seconds, 0.2);
    return mismatch;
  }

  // Ardour saves its session (Ctrl+S in its main window) and the file shows it.
  bool save(const std::string& mainWindow)
  {
    const auto before = std::filesystem::last_write_time(sessionFile());
    xdotool({"windowfocus", "--sync", mainWindow, "key", "ctrl+s"});
    return waitUntil([&] { return std::filesystem::last_write_time(sessionFile()) != before; }, 20.0, 0.2);
  }

  TempHome twinHome; // the twin's settings: the default scale, as Ardour's instance has them
  TempDir files{"quennet-ardour-gui"};
  XvfbServer server{1600, 1200};
  Display* display = nullptr;
  std::pair<int, int> origin{0, 0};
  std::filesystem::path mHome;
};

} // namespace

TEST_F(ArdourVST3GuiTest, TheEditorOpensInArdoursPluginWindowAndItsGesturesMoveArdoursControls)
{
  ASSERT_FALSE(server.display().empty()) << server.log();
  std::string log;
  ASSERT_TRUE(prepareSession(log)) << log;
  display = XOpenDisplay(server.display().c_str());
  ASSERT_TRUE(display);
  EditorTwin twin;
  ASSERT_TRUE(twin.valid());
  const std::string pictures = QUENNET_TEST_PICTURES;
  std::filesystem::create_directories(pictures);

  ChildProcess ardour(orphanProof({"ardour", "-n", "-a", sessionFile()}), environment(), files.file("ardour.log"));
  ASSERT_TRUE(throughTheDialogs(ardour)) << "Ardour's dialogs\n" << ardour.log();
  const std::optional<Window> main = windowNamed("quennet - Ardour");
  ASSERT_TRUE(main) << "Ardour's main window did not show\n" << ardour.log();
  const std::string mainId = std::to_string(main->id);

  // The mixer, then a double-click on the plug-in in the track's strip.
  click(main->x + main->width - kMixButtonFromRight, main->y + kMixButtonY);
  std::optional<std::pair<int, int>> editor;
  waitUntil(
    [&] {
      if (!windowNamed("Quennet: Quennet (by Tarnwell Music) [VST3]"))
        click(330, 214, 2); // the strip's processor box, "Quennet" above "Fader"
      XSync(display, False);
      if (const ::Window leaf =
            x11::findLeafOfSize(display, DefaultRootWindow(display), twin.view().Width(), twin.view().Height()))
        editor = x11::screenPosition(display, leaf);
      return editor.has_value() || !ardour.running();
    },
    60.0, 2.0);
  x11::grab(display, 0, 0, 1600, 1200).writePng(pictures + "/ardour-screen.png");
  ASSERT_TRUE(editor) << "no editor in Ardour's plug-in window; see " << pictures << "/ardour-screen.png\n"
                      << ardour.log();
  origin = *editor;
  const std::optional<Window> pluginWindow = windowNamed("Quennet: Quennet (by Tarnwell Music) [VST3]");
  ASSERT_TRUE(pluginWindow);

  EXPECT_LT(settledMismatch(twin), 0.001) << "the editor as drawn off-screen; see " << pictures << "/ardour-editor.png";
  x11::grab(display, pluginWindow->x, pluginWindow->y, pluginWindow->width, pluginWindow->height)
    .writePng(pictures + "/ardour-editor.png");

  // The Volume knob (centre 120, 392 at scale 0.5: 60, 196) dragged up by 30 pixels.
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
  EXPECT_LT(settledMismatch(twin), 0.001) << "the Volume knob turned";
  ASSERT_TRUE(save(mainId)) << ardour.log();
  const double volume = twin.plugin().GetParam(kVolume)->GetValue();
  EXPECT_GT(volume, 1.0) << "the twin's knob went up";
  EXPECT_NEAR(savedPort(sessionFile(), kVolume).value_or(-1.0), volume, 1e-5) << "Ardour's Volume control";

  // "Slap Back" from the editor's preset menu: every control of Ardour's follows.
  const std::pair<int, int> presets{149, 36}; // the triangle beside "Presets"
  twin.ui().clickPx(static_cast<float>(presets.first), static_cast<float>(presets.second));
  twin.settle();
  const std::pair<int, int> slapBack = twin.menuItemCentre(8);
  ASSERT_GE(slapBack.first, 0) << "the twin's preset menu is open";
  click(origin.first + presets.first, origin.second + presets.second);
  EXPECT_LT(settledMismatch(twin), 0.001) << "the preset menu";
  click(origin.first + slapBack.first, origin.second + slapBack.second);
  twin.ui().clickPx(static_cast<float>(slapBack.first), static_cast<float>(slapBack.second));
  twin.settle();
  EXPECT_LT(settledMismatch(twin), 0.001) << "the editor with Slap Back";
  x11::grab(display, pluginWindow->x, pluginWindow->y, pluginWindow->width, pluginWindow->height)
    .writePng(pictures + "/ardour-editor-slap-back.png");
  ASSERT_TRUE(save(mainId)) << ardour.log();
  for (int i = 0; i < 22; ++i) {
    const double expected = kFactoryPresets[8].values[static_cast<size_t>(i)];
    EXPECT_NEAR(savedPort(sessionFile(), i).value_or(-1e9), expected, 1e-5 * (1.0 + std::fabs(expected)))
      << "Ardour's control of parameter " << i;
  }
  ardour.stop();
  XCloseDisplay(display);
}
