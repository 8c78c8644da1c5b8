// SPDX-License-Identifier: ISC
// quennet.clap in Qtractor 0.9.31 (Debian's), on a private JACK server (dummy backend) and a private
// X server, with the do-nothing ALSA sequencer preloaded (Qtractor does not start without one). A
// session with Quennet on a stereo track holds a state with Grain Length 123.4 (Qtractor restores it
// through clap.state: the host's value reaching the plug-in and its editor); the editor opens from
// the track's plug-in list and shows what the editor shows off-screen; a knob drag in it changes the parameter in Qtractor's own properties (the saved
// session's parameter value); the saved session reopens with both values in place. Labels "hosts"
// and "jack": Qtractor is not instrumented.
#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>

#include "JackServer.h"
#include "TempDir.h"
#include "TempHome.h"
#include "XvfbServer.h"
#include "core/quennet.h"
#include "framework/Base64.h"
#include "framework/IByteChunk.h"
#include "HostPictures.h"

using namespace quennet;

namespace {

std::string readFile(const std::string& path)
{
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// A parameter's value as Qtractor saved it in a session, by the CLAP parameter's name.
std::optional<double> savedParam(const std::string& session, const std::string& name)
{
  std::smatch match;
  // Qtractor writes the attributes in either order.
  const std::regex param("<param[^>]* name=\"" + name + "\"[^>]*>([^<]+)</param>");
  const std::string text = readFile(session);
  if (!std::regex_search(text, match, param))
    return std::nullopt;
  return std::stod(match[1].str());
}

// A plug-in state as Qtractor stores it in a session: Qt's qCompress form (the length as 4 bytes,
// most significant first, then zlib's stream), in Base64.
std::string qtractorState(const plug::IPluginBase& plugin)
{
  plug::IByteChunk chunk;
  plugin.SerializeState(chunk);
  uLongf size = compressBound(static_cast<uLong>(chunk.Size()));
  std::vector<std::uint8_t> bytes(4 + size);
  const auto n = static_cast<std::uint32_t>(chunk.Size());
  bytes[0] = static_cast<std::uint8_t>(n >> 24);
  bytes[1] = static_cast<std::uint8_t>(n >> 16);
  bytes[2] = static_cast<std::uint8_t>(n >> 8);
  bytes[3] = static_cast<std::uint8_t>(n);
  compress(bytes.data() + 4, &size, chunk.GetData(), static_cast<uLong>(chunk.Size()));
  return plug::Base64Encode(bytes.data(), static_cast<int>(4 + size));
}

class QtractorTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_FALSE(server.display().empty()) << server.log();
    ASSERT_TRUE(twin.valid());
    display = XOpenDisplay(server.display().c_str());
    ASSERT_NE(display, nullptr);
    std::filesystem::create_directories(sessionFolder());
    std::string session = readFile(QUENNET_QTRACTOR_SESSION);
    replaceAll(session, "@NAME@", "quennet");
    replaceAll(session, "@DIRECTORY@", sessionFolder());
    replaceAll(session, "@MODULE@", std::string(QUENNET_CLAP_FOLDER) + "/quennet.clap");
    replaceAll(session, "@GRAIN_LENGTH@", "123.4");
    // The twin as the session's state has it: Grain Length 123.4.
    twin.plugin().SetParameterFromHostPlain(kGrainLength, 123.4);
    twin.settle();
    replaceAll(session, "@STATE@", qtractorState(twin.plugin()));
    std::ofstream(sessionFile()) << session;
  }
  void TearDown() override
  {
    if (display)
      XCloseDisplay(display);
  }

  std::string sessionFolder() const { return files.path().string() + "/session"; }
  std::string sessionFile() const { return sessionFolder() + "/quennet.qtr"; }
  std::vector<std::string> environment() const
  {
    return {"HOME=" + home.path(), "XDG_CONFIG_HOME=", "XDG_RUNTIME_DIR=" + files.path().string(),
            "CLAP_PATH=" + std::string(QUENNET_CLAP_FOLDER), "DISPLAY=" + server.display()};
  }
  CommandResult xdotool(const std::vector<std::string>& args)
  {
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, {"DISPLAY=" + server.display()}, files.file("xdotool.log"), 20.0);
  }

  // Qtractor with the session, its window shown; the window id.
  std::string startQtractor(JackServer& jack, ChildProcess*& qtractor)
  {
    qtractor =
      &jack.start({"qtractor", sessionFile()}, "qtractor.log", {"LD_PRELOAD=" + std::string(QUENNET_ALSA_SEQ_STUB)});
    const CommandResult window = xdotool({"search", "--sync", "--onlyvisible", "--name", "quennet.qtr"});
    return window.output.substr(0, window.output.find('\n'));
  }

  // The editor from the track's plug-in list (a double-click on "Quennet" under the track's bus);
  // its window, once shown.
  ::Window openEditor(const std::string& qtractorWindow)
  {
    ::Window editor = 0;
    for (int attempt = 0; attempt < 3 && !editor; ++attempt) {
      xdotool({"mousemove", "--sync", "--window", qtractorWindow, "178", "180", "click", "--repeat", "2", "--delay",
               "80", "1"});
      waitUntil(
        [&] {
          editor = host_pictures::findWindowOfSize(display, DefaultRootWindow(display), twin.view().Width(),
                                                   twin.view().Height());
          return editor != 0;
        },
        10.0, 0.1);
    }
    return editor;
  }

  double settledMismatch(::Window editor)
  {
    double mismatch = 1.0;
    waitUntil(
      [&] {
        const ScreenGrab screen = host_pictures::grabWindow(display, editor, twin.view().Width(), twin.view().Height());
        mismatch = twin.mismatch([&](int x, int y) { return screen.at(x, y); });
        return mismatch < 0.001;
      },
      10.0, 0.1);
    return mismatch;
  }

  void saveSession(const std::string& qtractorWindow)
  {
    const auto before = std::filesystem::last_write_time(sessionFile());
    for (int attempt = 0; attempt < 3 && std::filesystem::last_write_time(sessionFile()) == before; ++attempt) {
      xdotool({"windowraise", qtractorWindow});
      xdotool({"mousemove", "--sync", "--window", qtractorWindow, "500", "500"});
      xdotool({"windowfocus", "--sync", qtractorWindow, "key", "ctrl+s"});
      waitUntil([&] { return std::filesystem::last_write_time(sessionFile()) != before; }, 5.0, 0.1);
    }
  }

  TempHome home; // the twin's settings: the default scale
  TempDir files{"quennet-qtractor"};
  XvfbServer server{1600, 1000};
  EditorTwin twin;
  Display* display = nullptr;
};

} // namespace

TEST_F(QtractorTest, TheEditorOpensAKnobDragReachesQtractorAndTheSessionReopens)
{
  const std::string pictures = QUENNET_TEST_PICTURES;
  std::filesystem::create_directories(pictures);

  const int kx = 368, ky = 131; // the grain Overlap knob's centre at scale 0.5
  double overlap = 0.0;
  {
    JackServer jack(files, environment());
    ASSERT_TRUE(jack.running()) << jack.log();
    ChildProcess* qtractor = nullptr;
    const std::string window = startQtractor(jack, qtractor);
    ASSERT_FALSE(window.empty()) << qtractor->log();
    const ::Window editor = openEditor(window);
    ASSERT_NE(editor, 0u) << "no editor window\n" << qtractor->log();
    EXPECT_LT(settledMismatch(editor), 0.001) << "the editor with Qtractor's Grain Length, as drawn off-screen";
    ::Window top = editor, root = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    while (XQueryTree(display, top, &root, &parent, &children, &n) && parent != root) {
      if (children)
        XFree(children);
      children = nullptr;
      top = parent;
    }
    if (children)
      XFree(children);
    XWindowAttributes a{};
    XGetWindowAttributes(display, top, &a);
    host_pictures::grabWindow(display, top, a.width, a.height).writePng(pictures + "/qtractor-editor.png");

    // The Overlap knob dragged up by 60 pixels, here and on the twin.
    const std::pair<int, int> at = [&] {
      ::Window child = 0;
      int x = 0, y = 0;
      XTranslateCoordinates(display, editor, DefaultRootWindow(display), 0, 0, &x, &y, &child);
      return std::make_pair(x, y);
    }();
    std::vector<std::string> drag = {
      "mousemove", "--sync", std::to_string(at.first + kx), std::to_string(at.second + ky), "mousedown", "1"};
    for (int step = 1; step <= 6; ++step)
      drag.insert(drag.end(),
                  {"mousemove", "--sync", std::to_string(at.first + kx), std::to_string(at.second + ky - 10 * step)});
    drag.insert(drag.end(), {"mouseup", "1"});
    xdotool(drag);
    twin.ui().dragPx(kx, ky, kx, ky - 60, 6);
    twin.settle();
    EXPECT_LT(settledMismatch(editor), 0.001) << "the knob turned as on the twin";
    overlap = twin.plugin().GetParam(kGrainOverlap)->GetValue();
    ASSERT_GT(overlap, 0.0);

    saveSession(window);
    EXPECT_NEAR(savedParam(sessionFile(), "Grain Overlap").value_or(-1.0), overlap, 1e-6)
      << "Qtractor's parameter follows the knob";
    EXPECT_EQ(savedParam(sessionFile(), "Grain Length"), 123.4) << readFile(sessionFile());
    EXPECT_NE(readFile(sessionFile()).find("<config key=\"state\">"), std::string::npos) << "the plug-in's state saved";
  }

  // The saved session in a new Qtractor: the editor shows both values, and they are saved again.
  {
    JackServer jack(files, environment());
    ASSERT_TRUE(jack.running()) << jack.log();
    ChildProcess* qtractor = nullptr;
    const std::string window = startQtractor(jack, qtractor);
    ASSERT_FALSE(window.empty()) << qtractor->log();
    const ::Window editor = openEditor(window);
    ASSERT_NE(editor, 0u) << qtractor->log();
    EXPECT_LT(settledMismatch(editor), 0.001) << "the reopened session's editor";
    std::filesystem::remove(sessionFolder() + "/quennet.qtr.bak");
    saveSession(window);
    EXPECT_NEAR(savedParam(sessionFile(), "Grain Overlap").value_or(-1.0), overlap, 1e-6);
    EXPECT_EQ(savedParam(sessionFile(), "Grain Length"), 123.4);
  }
}
