// SPDX-License-Identifier: ISC
// The X11 view on a real X server (a private Xvfb): the window inside a parent, the picture on the
// screen and after exposure, sizes from the context and from the host (also a host that gives its
// old room back, as toolkit sockets do), the surround beyond the picture, input sent with XTest,
// keys only while a menu is open, cursors (read back with XFixes), a parent destroyed first, and
// many windows opened and closed.

// GoogleTest before Xlib, whose macros (None, Bool) would break it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "GraphicsTestSupport.h"
#include "OpenDescriptors.h"
#include "XvfbServer.h"
#include "platform/X11View.h"

#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>

using namespace gtest_graphics;
using plug::X11View;

namespace {

XvfbServer* gServer = nullptr;

class X11ViewTest : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    gServer = new XvfbServer(1024, 768);
    ASSERT_FALSE(gServer->display().empty()) << gServer->log();
  }
  static void TearDownTestSuite()
  {
    delete gServer;
    gServer = nullptr;
  }

  // The host's side: a connection, and a top-level window of 800 × 600 at the screen's corner (no
  // window manager: screen and window coordinates agree) that the view goes into.
  X11ViewTest()
  {
    host = XOpenDisplay(gServer->display().c_str());
    if (!host)
      return;
    parent = XCreateSimpleWindow(host, DefaultRootWindow(host), 0, 0, 800, 600, 0, 0, 0);
    XMapWindow(host, parent);
    XSync(host, False);
  }
  ~X11ViewTest() override
  {
    closeEditor();
    if (host)
      XCloseDisplay(host);
  }

  // A 400 × 300 context with a recording control at 100, 100 … 200, 200, shown in a view inside
  // `in` (the host's top-level window unless told otherwise).
  void openEditor(float scale = 1.0f, ::Window in = 0)
  {
    ASSERT_TRUE(host) << "no connection to " << gServer->display();
    view = X11View::Create(in ? in : parent, gServer->display().c_str());
    ASSERT_TRUE(view);
    view->SetHostFollowMs(kHostFollowMs);
    view->SetSizeListener([this](int w, int h) { hostTold.emplace_back(w, h); });
    g = std::make_unique<IGraphics>(plugin, 400, 300, 60, scale);
    g->SetAssetFolder(QUENNET_TEST_RESOURCES);
    g->EnableMouseOver(true);
    control = static_cast<RecordingControl*>(g->AttachControl(new RecordingControl(IRECT(100, 100, 200, 200))));
    g->OpenWindow(*view);
    view->Attach(g.get());
    view->Map();
    settle();
    settleSize(); // the editor's first size is its own choice too: the host has its moment
  }
  void closeEditor()
  {
    if (view)
      view->Attach(nullptr);
    if (g)
      g->CloseWindow();
    g.reset();
    view.reset();
  }

  // Everything both connections sent is handled, the view has processed what came back, and the
  // context has drawn and presented its frame.
  void settle()
  {
    XSync(host, False);
    view->Sync();
    g->UpdateFrame();
    view->Sync();
  }

  // Processes events until the editor's latest size choice has settled (the host had its time to
  // follow); `hostTurn` is the host's own event handling, run in between.
  void settleSize(const std::function<void()>& hostTurn = [] {})
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      XSync(host, False);
      hostTurn();
      view->Sync();
      g->UpdateFrame();
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the size did not settle";
      std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the view's steady clock runs meanwhile
    } while (view->SizeSettling());
    hostTurn();
    settle();
  }

  static constexpr double kHostFollowMs = 100.0;

  void moveTo(int x, int y) { XTestFakeMotionEvent(host, -1, x, y, 0); }
  void button(unsigned int b, bool down, unsigned long delayMs = 0) { XTestFakeButtonEvent(host, b, down, delayMs); }
  void click(unsigned int b, int x, int y)
  {
    moveTo(x, y);
    button(b, true);
    button(b, false);
    settle();
  }
  void key(KeySym sym, bool down) { XTestFakeKeyEvent(host, XKeysymToKeycode(host, sym), down, 0); }

  // The screen's pixels (the root window's, so also where other windows cover the view), as 0xRRGGBB.
  std::uint32_t screenPixel(int x, int y)
  {
    XImage* image = XGetImage(host, DefaultRootWindow(host), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
      return 0xDEADBEEF;
    const std::uint32_t pixel = static_cast<std::uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel;
  }
  std::uint32_t picturePixel(int x, int y) const { return g->GetImage().Pixel(x, y) & 0xFFFFFF; }

  // Pixels that differ between the window and the picture, on a grid of every fourth pixel.
  int differences()
  {
    const XWindowAttributes a = windowAttributes();
    // Only what shows inside the host's window can be read back.
    const int w = std::min({g->WindowWidth(), a.width, 800});
    const int h = std::min({g->WindowHeight(), a.height, 600});
    XImage* image =
      XGetImage(host, view->GetWindow(), 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), AllPlanes, ZPixmap);
    if (!image)
      return -1;
    int different = 0;
    for (int y = 0; y < h; y += 4)
      for (int x = 0; x < w; x += 4)
        if ((static_cast<std::uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF) != picturePixel(x, y))
          ++different;
    XDestroyImage(image);
    return different;
  }

  XWindowAttributes windowAttributes()
  {
    XWindowAttributes a{};
    XGetWindowAttributes(host, view->GetWindow(), &a);
    return a;
  }

  Display* host = nullptr;
  ::Window parent = 0;
  TestPlugin plugin;
  std::unique_ptr<X11View> view;
  std::unique_ptr<IGraphics> g;
  RecordingControl* control = nullptr;
  std::vector<std::pair<int, int>> hostTold;
};

// A control's events without the hover ones.
std::vector<std::string> gestures(const RecordingControl* c)
{
  std::vector<std::string> events;
  for (const std::string& e : c->events)
    if (e != "over" && e != "out")
      events.push_back(e);
  return events;
}

} // namespace

TEST(X11ViewRules, CursorShapesComeFromTheCursorFont)
{
  struct Case {
    ECursor cursor;
    unsigned int shape;
  };
  const Case cases[] = {
    {ECursor::kArrow, XC_left_ptr},
    {ECursor::kHand, XC_hand2},
    {ECursor::kSizeNWSE, XC_bottom_right_corner},
    {ECursor::kSizeNESW, XC_bottom_left_corner},
    {ECursor::kSizeWE, XC_sb_h_double_arrow},
    {ECursor::kSizeNS, XC_sb_v_double_arrow},
    {ECursor::kIBeam, XC_xterm},
    {ECursor::kWait, XC_watch},
    {ECursor::kCross, XC_crosshair},
    {ECursor::kSizeAll, XC_fleur},
    {ECursor::kNo, XC_X_cursor},
    {ECursor::kUpArrow, XC_sb_up_arrow},
    {static_cast<ECursor>(99), XC_left_ptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.cursor));
    EXPECT_EQ(plug::X11CursorShape(c.cursor), c.shape);
  }
}

TEST(X11ViewRules, ScaleToFitKeepsTheAspectWithinTheLimits)
{
  struct Case {
    int w, h;
    float scale;
  };
  // The editor's design, 1968 × 864, within 0.25 … 4.
  const Case cases[] = {
    {984, 432, 0.5f},  {1968, 864, 1.0f},    {1000, 432, 0.5f}, {984, 1000, 0.5f}, {3936, 1000, 1000.0f / 864.0f},
    {100, 100, 0.25f}, {20000, 20000, 4.0f}, {0, 432, 0.25f},   {-5, -5, 0.25f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
    EXPECT_FLOAT_EQ(plug::ScaleToFit(c.w, c.h, 1968, 864, 0.25f, 4.0f), c.scale);
  }
}

TEST_F(X11ViewTest, CreateRefusesAMissingParentOrDisplay)
{
  ASSERT_TRUE(host);
  EXPECT_FALSE(X11View::Create(0, gServer->display().c_str()));
  // A window that does not exist: the server's error is trapped, not the end of the process.
  EXPECT_FALSE(X11View::Create(0x3FFFFFF, gServer->display().c_str()));
  EXPECT_FALSE(X11View::Create(parent, ":4000"));
  EXPECT_TRUE(X11View::Create(parent, gServer->display().c_str()));
}

TEST_F(X11ViewTest, ThePictureIsOnTheScreenAndComesBackAfterExposure)
{
  openEditor();
  const XWindowAttributes a = windowAttributes();
  EXPECT_EQ(a.width, 400);
  EXPECT_EQ(a.height, 300);
  EXPECT_EQ(a.map_state, IsViewable);
  ::Window root = 0, inParent = 0;
  ::Window* children = nullptr;
  unsigned int n = 0;
  XQueryTree(host, view->GetWindow(), &root, &inParent, &children, &n);
  if (children)
    XFree(children);
  EXPECT_EQ(inParent, parent) << "a child of the host's window";

  EXPECT_EQ(differences(), 0);
  EXPECT_EQ(screenPixel(150, 150), 0xFF0000u) << "the control";
  EXPECT_EQ(screenPixel(20, 20), 0x3C3C3Cu) << "the context's grey";

  // A window of another program covers the editor and goes again: the exposed area is redrawn.
  const ::Window cover = XCreateSimpleWindow(host, DefaultRootWindow(host), 50, 50, 300, 200, 0, 0, 0xFFFFFF);
  XMapRaised(host, cover);
  XSync(host, False);
  EXPECT_EQ(screenPixel(150, 150), 0xFFFFFFu) << "covered";
  XDestroyWindow(host, cover);
  settle();
  EXPECT_EQ(differences(), 0);
}

TEST_F(X11ViewTest, TheWindowFollowsTheContextsSizeAndTellsTheHost)
{
  openEditor();
  ASSERT_EQ(hostTold, (std::vector<std::pair<int, int>>{{400, 300}}));
  g->Resize(400, 300, 0.5f);
  settle();
  EXPECT_EQ(windowAttributes().width, 200);
  EXPECT_EQ(windowAttributes().height, 150);
  EXPECT_EQ(hostTold.back(), std::make_pair(200, 150));
  EXPECT_EQ(differences(), 0);
  EXPECT_EQ(screenPixel(75, 75), 0xFF0000u) << "the control at half size";

  // What the host's toolkit reads to size its own widget.
  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(host, view->GetWindow(), &hints, &supplied));
  EXPECT_EQ(hints.base_width, 200);
  EXPECT_EQ(hints.base_height, 150);
  EXPECT_EQ(hints.min_width, 100) << "scale 0.25";
  EXPECT_EQ(hints.min_height, 75);
  EXPECT_EQ(hints.max_width, 1600) << "scale 4";
  EXPECT_EQ(hints.max_height, 1200);
  EXPECT_EQ(hints.min_aspect.x, 400);
  EXPECT_EQ(hints.min_aspect.y, 300);
}

TEST_F(X11ViewTest, AHostSizeGivesTheScaleThatFits)
{
  openEditor();
  const std::size_t told = hostTold.size();
  struct Case {
    const char* name;
    int w, h;
    float scale;
    bool throughX; // the host resized the window itself; else it told the view (ui:resize)
  };
  const Case cases[] = {
    {"wider than the design's aspect", 800, 450, 1.5f, true},
    {"taller", 200, 600, 0.5f, true},
    {"below the smallest scale", 50, 50, 0.25f, false},
    {"beyond the largest", 4000, 4000, 4.0f, false},
    {"back to the design", 400, 300, 1.0f, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.throughX)
      XResizeWindow(host, view->GetWindow(), static_cast<unsigned>(c.w), static_cast<unsigned>(c.h));
    else
      view->SetSizeFromHost(c.w, c.h);
    settle();
    EXPECT_FLOAT_EQ(g->GetDrawScale(), c.scale);
    EXPECT_EQ(windowAttributes().width, c.w) << "the host's size stays";
    EXPECT_EQ(windowAttributes().height, c.h);
    EXPECT_EQ(differences(), 0);
  }
  EXPECT_EQ(hostTold.size(), told) << "a size the host gave is not reported back to it";
}

TEST_F(X11ViewTest, AHostSizeFromBeforeARequestDoesNotUndoIt)
{
  openEditor();
  // The host resizes the window while the view's request waits in the server (held back by a grab):
  // the view sees the host's stale size first, then its own.
  XGrabServer(host);
  XSync(host, False);
  g->Resize(400, 300, 2.0f);
  XResizeWindow(host, view->GetWindow(), 300, 200);
  XUngrabServer(host);
  settle();
  EXPECT_FLOAT_EQ(g->GetDrawScale(), 2.0f);
  EXPECT_EQ(windowAttributes().width, 800);
  EXPECT_EQ(windowAttributes().height, 600);

  // Once the size has settled, the host's sizes count again.
  settleSize();
  EXPECT_EQ(windowAttributes().width, 800) << "the host's top-level window was not touched: it had the room";
  XResizeWindow(host, view->GetWindow(), 300, 200);
  settle();
  EXPECT_FLOAT_EQ(g->GetDrawScale(), 2.0f / 3.0f);
}

// A host that embeds through a toolkit socket (suil in jalv.gtk3 and Ardour): its widget keeps the
// editor's window at the widget's allocation, giving the old room back whenever the editor resizes
// itself, and allocates what its top-level window has. The editor's own size choices still win:
// the picture keeps the chosen scale at once, the host's top-level window is grown or shrunk to make
// room, and a host that refuses even that keeps its size with the surround colour (never an earlier
// picture) beyond the picture. A size the user gives the host's window later makes the picture fit.
TEST_F(X11ViewTest, TheEditorsOwnSizeWinsInAHostThatGivesItsOldRoomBack)
{
  // The host's top-level window and, inside it, its widget's window, which the editor goes into.
  XResizeWindow(host, parent, 400, 300);
  const ::Window widget = XCreateSimpleWindow(host, parent, 0, 0, 400, 300, 0, 0, 0);
  XMapWindow(host, widget);
  XSelectInput(host, parent, StructureNotifyMask);
  XSelectInput(host, widget, SubstructureNotifyMask);
  XSync(host, False);
  openEditor(1.0f, widget);
  bool refuses = false; // the host sets its top-level window back to where it was
  int topWidth = 400, topHeight = 300;
  auto toolkit = [&] {
    while (XPending(host) > 0) {
      XEvent event;
      XNextEvent(host, &event);
      if (event.type != ConfigureNotify)
        continue;
      const XConfigureEvent& c = event.xconfigure;
      if (c.window == parent && refuses && (c.width != topWidth || c.height != topHeight)) {
        XResizeWindow(host, parent, static_cast<unsigned>(topWidth), static_cast<unsigned>(topHeight));
      } else if (c.window == parent) {
        topWidth = c.width;
        topHeight = c.height;
        XResizeWindow(host, widget, static_cast<unsigned>(c.width), static_cast<unsigned>(c.height));
        XResizeWindow(host, view->GetWindow(), static_cast<unsigned>(c.width), static_cast<unsigned>(c.height));
      } else if (c.window == view->GetWindow() && (c.width != topWidth || c.height != topHeight)) {
        XResizeWindow(host, view->GetWindow(), static_cast<unsigned>(topWidth), static_cast<unsigned>(topHeight));
      }
    }
    XSync(host, False);
  };
  settleSize(toolkit);

  struct Case {
    const char* name;
    float scale;
    int width, height; // the host's top-level window, and the editor's, at the end
  };
  const Case cases[] = {
    {"larger", 2.0f, 800, 600},
    {"smaller", 0.5f, 200, 150},
    {"back to the design", 1.0f, 400, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g->Resize(400, 300, c.scale); // the size menu or the corner handle
    toolkit();
    view->Sync();
    EXPECT_FLOAT_EQ(g->GetDrawScale(), c.scale) << "the editor takes the scale at once";
    settleSize(toolkit);
    EXPECT_FLOAT_EQ(g->GetDrawScale(), c.scale) << "and keeps it";
    EXPECT_EQ(topWidth, c.width) << "the host's window made room";
    EXPECT_EQ(topHeight, c.height);
    EXPECT_EQ(windowAttributes().width, c.width);
    EXPECT_EQ(windowAttributes().height, c.height);
    EXPECT_EQ(hostTold.back(), std::make_pair(c.width, c.height)) << "ui:resize";
    EXPECT_EQ(differences(), 0);
  }

  // A host that refuses to change its window: the picture keeps the user's scale, and the rest of
  // the window shows the surround colour where the larger picture was.
  refuses = true;
  g->Resize(400, 300, 0.5f);
  settleSize(toolkit);
  EXPECT_FLOAT_EQ(g->GetDrawScale(), 0.5f);
  EXPECT_EQ(windowAttributes().width, 400);
  const IColor surround = g->GetSurroundColor();
  const std::uint32_t expected = static_cast<std::uint32_t>(surround.R << 16 | surround.G << 8 | surround.B);
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{300, 50}, {100, 250}, {399, 299}, {250, 140}})
    EXPECT_EQ(screenPixel(x, y), expected) << x << ", " << y;
  EXPECT_EQ(differences(), 0) << "the picture itself";

  // The user resizes the host's window: the picture fits into it.
  refuses = false;
  XResizeWindow(host, parent, 600, 300);
  settle();
  toolkit();
  settle();
  EXPECT_FLOAT_EQ(g->GetDrawScale(), 1.0f) << "600 × 300 holds the 400 × 300 design at scale 1";
  EXPECT_EQ(screenPixel(500, 150), expected) << "the surround beside it";
}

TEST_F(X11ViewTest, MouseInputReachesTheContext)
{
  openEditor(0.5f); // the control covers 50, 50 … 100, 100 on the screen
  struct Case {
    const char* name;
    unsigned int button;
    KeySym modifier; // held during the click; 0 for none
    bool left, right, shift, control;
  };
  const Case cases[] = {
    {"left", Button1, 0, true, false, false, false},
    {"right", Button3, 0, false, true, false, false},
    {"Shift-left", Button1, XK_Shift_L, true, false, true, false},
    {"Control-left", Button1, XK_Control_L, true, false, false, true},
    {"Super-left is a right click", Button1, XK_Super_L, false, true, false, false},
  };
  struct ModRecorder : RecordingControl {
    using RecordingControl::RecordingControl;
    void OnMouseDown(float x, float y, const IMouseMod& m) override
    {
      last = m;
      RecordingControl::OnMouseDown(x, y, m);
    }
    IMouseMod last;
  };
  auto* recorder = static_cast<ModRecorder*>(g->AttachControl(new ModRecorder(IRECT(240, 40, 360, 160))));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder->events.clear();
    if (c.modifier)
      key(c.modifier, true);
    moveTo(150, 50);
    button(c.button, true, 1000); // a second later: never a double-click with the one before
    button(c.button, false);
    if (c.modifier)
      key(c.modifier, false);
    settle();
    ASSERT_EQ(gestures(recorder), (std::vector<std::string>{"down", "up"}));
    EXPECT_FLOAT_EQ(recorder->points[0].x, 300.0f) << "design units";
    EXPECT_FLOAT_EQ(recorder->points[0].y, 100.0f);
    EXPECT_EQ(recorder->last.L, c.left);
    EXPECT_EQ(recorder->last.R, c.right);
    EXPECT_EQ(recorder->last.S, c.shift);
    EXPECT_EQ(recorder->last.C, c.control);
  }
}

TEST_F(X11ViewTest, DragsKeepThePointerBeyondTheWindowAndDoubleClicksFollowTheServersTime)
{
  openEditor();
  control->events.clear();
  moveTo(150, 150);
  button(Button1, true, 1000);
  moveTo(160, 120);
  moveTo(600, 500); // outside the view, inside the host's window
  button(Button1, false);
  settle();
  ASSERT_FALSE(gestures(control).empty());
  EXPECT_EQ(gestures(control).front(), "down");
  EXPECT_EQ(gestures(control).back(), "up");
  EXPECT_FLOAT_EQ(control->points.back().x, 600.0f) << "the release far outside still reaches the control";
  EXPECT_FLOAT_EQ(control->points.back().y, 500.0f);
  EXPECT_FALSE(control->GetMouseIsOver()) << "released outside: no longer hovered";

  control->events.clear();
  moveTo(150, 150);
  button(Button1, true, 1000);
  button(Button1, false);
  button(Button1, true); // at once: a double-click
  button(Button1, false);
  button(Button1, true, 600); // 600 ms later by the server's clock: a new click
  button(Button1, false);
  settle();
  std::vector<std::string> presses;
  for (const std::string& e : control->events)
    if (e == "down" || e == "dblclick")
      presses.push_back(e);
  EXPECT_EQ(presses, (std::vector<std::string>{"down", "dblclick", "down"}));
}

TEST_F(X11ViewTest, TheWheelAndHover)
{
  openEditor();
  control->events.clear();
  moveTo(600, 500);
  settle();
  moveTo(150, 150);
  settle();
  EXPECT_TRUE(control->GetMouseIsOver());
  button(Button4, true);
  button(Button4, false);
  button(Button5, true);
  button(Button5, false);
  button(Button5, true);
  button(Button5, false);
  settle();
  EXPECT_EQ(control->wheels, (std::vector<float>{1.0f, -1.0f, -1.0f}));
  moveTo(600, 500);
  settle();
  EXPECT_FALSE(control->GetMouseIsOver()) << "left the window";
}

TEST_F(X11ViewTest, KeysReachTheWindowOnlyWhileAMenuIsOpen)
{
  openEditor();
  auto keysSelected = [&] { return (windowAttributes().all_event_masks & KeyPressMask) != 0; };
  EXPECT_FALSE(keysSelected()) << "the host keeps its shortcuts";

  IPopupMenu menu;
  menu.AddItem("One");
  menu.AddItem("Two");
  moveTo(150, 150);
  settle();
  g->CreatePopupMenu(*control, menu, IRECT(120, 120, 120, 120));
  settle();
  EXPECT_TRUE(keysSelected());
  key(XK_Escape, true);
  key(XK_Escape, false);
  settle();
  EXPECT_FALSE(g->IsPopupMenuOpen());
  EXPECT_EQ(control->selections, std::vector<int>{-1});
  EXPECT_FALSE(keysSelected());
}

TEST_F(X11ViewTest, CursorsFromTheFontAndAHiddenCursor)
{
  openEditor();
  moveTo(150, 150);
  settle();
  auto shown = [&] {
    XFixesCursorImage* image = XFixesGetCursorImage(host);
    std::vector<unsigned long> pixels;
    if (image) {
      pixels.assign(image->pixels, image->pixels + image->width * image->height);
      pixels.push_back(image->width);
      pixels.push_back(image->height);
      XFree(image);
    }
    return pixels;
  };
  auto fontCursor = [&](unsigned int shape) {
    const Cursor cursor = XCreateFontCursor(host, shape);
    XDefineCursor(host, parent, cursor);
    moveTo(700, 550); // over the host's window, outside the view
    XSync(host, False);
    std::vector<unsigned long> pixels = shown();
    XUndefineCursor(host, parent);
    XFreeCursor(host, cursor);
    moveTo(150, 150);
    XSync(host, False);
    return pixels;
  };
  const std::vector<unsigned long> hand = fontCursor(XC_hand2);
  const std::vector<unsigned long> corner = fontCursor(XC_bottom_right_corner);
  ASSERT_NE(hand, corner);

  view->SetMouseCursor(ECursor::kHand);
  settle();
  EXPECT_EQ(shown(), hand);
  view->SetMouseCursor(ECursor::kSizeNWSE);
  settle();
  EXPECT_EQ(shown(), corner);
  view->HideMouseCursor(true);
  settle();
  const std::vector<unsigned long> hidden = shown();
  ASSERT_FALSE(hidden.empty());
  for (std::size_t i = 0; i + 2 < hidden.size(); ++i)
    EXPECT_EQ(hidden[i] >> 24, 0u) << "a transparent cursor";
  view->HideMouseCursor(false);
  settle();
  EXPECT_EQ(shown(), corner) << "shown again as it was";
}

TEST_F(X11ViewTest, AParentDestroyedFirstEndsTheViewQuietly)
{
  openEditor();
  XDestroyWindow(host, parent);
  XSync(host, False);
  // Requests on the vanished window before the view has heard of it: errors, trapped.
  view->SetMouseCursor(ECursor::kHand);
  control->SetDirty(false);
  g->UpdateFrame();
  g->Resize(400, 300, 0.5f);
  EXPECT_FALSE(view->Sync());
  EXPECT_TRUE(view->WindowGone());
  g->UpdateFrame(); // nothing more is sent
  EXPECT_FALSE(view->ProcessEvents());
  closeEditor(); // destroys nothing twice, and the process lives on
  parent = 0;
}

TEST_F(X11ViewTest, ManyWindowsOpenAndCloseWithoutLeavingAnythingBehind)
{
  ASSERT_TRUE(host);
  openEditor();
  closeEditor();
  const int descriptors = openDescriptors();
  for (int i = 0; i < 30; ++i) {
    openEditor(i % 2 ? 0.5f : 1.0f);
    ASSERT_EQ(differences(), 0);
    closeEditor();
  }
  EXPECT_EQ(openDescriptors(), descriptors) << "every connection closed";
  ::Window root = 0, up = 0;
  ::Window* children = nullptr;
  unsigned int n = 0;
  XQueryTree(host, parent, &root, &up, &children, &n);
  if (children)
    XFree(children);
  EXPECT_EQ(n, 0u) << "every window destroyed";
}

TEST_F(X11ViewTest, WebPagesGoToXdgOpenAndOnlyWebPages)
{
  openEditor();
  // A stand-in for xdg-open on the PATH, which notes its argument.
  TempDir bin;
  const std::string noted = bin.file("opened");
  {
    std::ofstream script(bin.file("xdg-open"));
    script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << noted << "'\n";
  }
  std::filesystem::permissions(bin.file("xdg-open"), std::filesystem::perms::owner_all);
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (bin.path().string() + ":" + path).c_str(), 1);
  EXPECT_TRUE(g->OpenURL("https://tarnwellmusic.example/"));
  EXPECT_FALSE(g->OpenURL("file:///etc/passwd"));
  setenv("PATH", path.c_str(), 1);
  // The view collects the finished child on its next round of events.
  ASSERT_TRUE(waitUntil(
    [&] {
      view->ProcessEvents();
      return plug::BrowserLauncher::ReapFinished() == 0;
    },
    10.0));
  std::ifstream file(noted);
  std::string line;
  std::getline(file, line);
  EXPECT_EQ(line, "https://tarnwellmusic.example/");
  EXPECT_FALSE(std::getline(file, line)) << "only the web page";
}

TEST_F(X11ViewTest, TwoViewsSideBySide)
{
  openEditor();
  TestPlugin otherPlugin;
  const ::Window otherParent = XCreateSimpleWindow(host, DefaultRootWindow(host), 420, 0, 400, 300, 0, 0, 0);
  XMapWindow(host, otherParent);
  XSync(host, False);
  std::unique_ptr<X11View> otherView = X11View::Create(otherParent, gServer->display().c_str());
  ASSERT_TRUE(otherView);
  IGraphics other(otherPlugin, 400, 300, 60, 1.0f);
  auto* otherControl = static_cast<RecordingControl*>(
    other.AttachControl(new RecordingControl(IRECT(100, 100, 200, 200), kNoParameter, IColor(255, 0, 0, 255))));
  other.OpenWindow(*otherView);
  otherView->Attach(&other);
  otherView->Map();
  otherView->Sync();
  other.UpdateFrame();
  settle();
  otherView->Sync();

  click(Button1, 150, 150);
  moveTo(570, 150);
  button(Button1, true, 1000);
  button(Button1, false);
  XSync(host, False);
  otherView->Sync();
  settle();
  EXPECT_EQ(gestures(control), (std::vector<std::string>{"down", "up"}));
  EXPECT_EQ(gestures(otherControl), (std::vector<std::string>{"down", "up"}));
  EXPECT_FALSE(control->GetMouseIsOver()) << "the pointer is over the other editor";
  EXPECT_EQ(screenPixel(150, 150), 0xFF0000u);
  EXPECT_EQ(screenPixel(570, 150), 0x0000FFu);

  otherView->Attach(nullptr);
  other.CloseWindow();
}
