// SPDX-License-Identifier: ISC
#pragma once

// The host side of an LV2 X11 UI for tests: a top-level window on an X server that the UI goes into
// (ui:parent), the features hosts give (urid:map, instance-access, ui:resize, ui:touch,
// ui:idleInterface), a write_function, touch and resize that record what the UI sends, the UI's
// idle and port_event, and the user's mouse through XTest on the host's own connection.

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <lv2/instance-access/instance-access.h>
#include <lv2/ui/ui.h>

#include "EditorTwin.h"
#include "LV2TestHost.h"

// Xlib last: its macros (None, Bool) break C++ headers included after it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

class X11UIHost {
public:
  struct Write {
    std::uint32_t port;
    float value;
  };
  struct Touch {
    std::uint32_t port;
    bool grabbed;
  };

  // A window of width × height at (x, 0) of the screen; without a window manager, screen and window
  // coordinates differ by x only.
  X11UIHost(const std::string& displayName, int width = 1200, int height = 900, int x = 0) : mX(x)
  {
    display = XOpenDisplay(displayName.c_str());
    if (!display)
      return;
    parent = XCreateSimpleWindow(display, DefaultRootWindow(display), x, 0, static_cast<unsigned>(width),
                                 static_cast<unsigned>(height), 0, 0, 0);
    XMapWindow(display, parent);
    XSync(display, False);
    mResize.handle = this;
    mResize.ui_resize = [](LV2UI_Feature_Handle self, int w, int h) {
      static_cast<X11UIHost*>(self)->resizes.emplace_back(w, h);
      return 0;
    };
    mTouch.handle = this;
    mTouch.touch = [](LV2UI_Feature_Handle self, std::uint32_t port, bool grabbed) {
      static_cast<X11UIHost*>(self)->touches.push_back({port, grabbed});
    };
  }
  ~X11UIHost()
  {
    close();
    if (display)
      XCloseDisplay(display);
  }
  X11UIHost(const X11UIHost&) = delete;
  X11UIHost& operator=(const X11UIHost&) = delete;

  bool valid() const { return display != nullptr; }

  // Instantiates the UI with every feature but those in `omit` (feature URIs). False when the UI
  // refused.
  bool open(const LV2UI_Descriptor& descriptor, const char* pluginURI, const std::string& bundlePath,
            LV2_Handle instance, UridMap& urids, const std::set<std::string>& omit = {})
  {
    mDescriptor = &descriptor;
    const LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void*>(static_cast<std::uintptr_t>(parent))};
    const LV2_Feature instanceFeature{LV2_INSTANCE_ACCESS_URI, instance};
    const LV2_Feature resizeFeature{LV2_UI__resize, &mResize};
    const LV2_Feature touchFeature{LV2_UI__touch, &mTouch};
    const LV2_Feature idleFeature{LV2_UI__idleInterface, nullptr};
    std::vector<const LV2_Feature*> features;
    for (const LV2_Feature* f :
         {&parentFeature, urids.mapFeature(), &instanceFeature, &resizeFeature, &touchFeature, &idleFeature})
      if (!omit.count(f->URI))
        features.push_back(f);
    features.push_back(nullptr);
    widget = nullptr;
    handle = descriptor.instantiate(&descriptor, pluginURI, bundlePath.c_str(), &X11UIHost::write, this, &widget,
                                    features.data());
    return handle != nullptr;
  }

  void close()
  {
    if (handle)
      mDescriptor->cleanup(handle);
    handle = nullptr;
    widget = nullptr;
  }

  ::Window uiWindow() const { return static_cast<::Window>(reinterpret_cast<std::uintptr_t>(widget)); }

  int idle()
  {
    const auto* iface = static_cast<const LV2UI_Idle_Interface*>(mDescriptor->extension_data(LV2_UI__idleInterface));
    return iface ? iface->idle(handle) : -1;
  }
  // The host's size for the UI, through the UI's resize interface.
  int resizeUI(int width, int height)
  {
    const auto* iface = static_cast<const LV2UI_Resize*>(mDescriptor->extension_data(LV2_UI__resize));
    return iface ? iface->ui_resize(handle, width, height) : -1;
  }
  void portEvent(std::uint32_t port, float value) { mDescriptor->port_event(handle, port, sizeof(float), 0, &value); }

  // The mouse, in the UI window's coordinates (the UI sits at the parent's top-left corner).
  void moveTo(int x, int y) { XTestFakeMotionEvent(display, -1, mX + x, y, 0); }
  void button(unsigned int b, bool down, unsigned long delayMs = 0) { XTestFakeButtonEvent(display, b, down, delayMs); }
  // A click a second after whatever came before (never half of a double-click).
  void click(int x, int y, unsigned int b = Button1)
  {
    moveTo(x, y);
    button(b, true, 1000);
    button(b, false);
    XSync(display, False);
  }
  // The press a second after whatever came before, unless told otherwise.
  void drag(int x0, int y0, int x1, int y1, int steps = 8, unsigned long pressDelayMs = 1000)
  {
    moveTo(x0, y0);
    button(Button1, true, pressDelayMs);
    for (int i = 1; i <= steps; ++i)
      moveTo(x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps);
    button(Button1, false);
    XSync(display, False);
  }

  XWindowAttributes uiAttributes()
  {
    XWindowAttributes a{};
    XGetWindowAttributes(display, uiWindow(), &a);
    return a;
  }
  // Windows inside the host's window (the UI's, while it is open).
  unsigned int children()
  {
    ::Window root = 0, up = 0;
    ::Window* list = nullptr;
    unsigned int n = 0;
    XQueryTree(display, parent, &root, &up, &list, &n);
    if (list)
      XFree(list);
    return n;
  }
  // A screen pixel as 0xRRGGBB.
  std::uint32_t screenPixel(int x, int y)
  {
    XImage* image = XGetImage(display, DefaultRootWindow(display), mX + x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
      return 0xDEADBEEF;
    const auto pixel = static_cast<std::uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFF;
    XDestroyImage(image);
    return pixel;
  }

  std::vector<Write> writes;
  std::vector<Touch> touches;
  std::vector<std::pair<int, int>> resizes;
  Display* display = nullptr;
  ::Window parent = 0;
  LV2UI_Handle handle = nullptr;
  LV2UI_Widget widget = nullptr;

private:
  static void write(LV2UI_Controller controller, std::uint32_t port, std::uint32_t size, std::uint32_t format,
                    const void* buffer)
  {
    auto* self = static_cast<X11UIHost*>(const_cast<void*>(controller));
    if (format == 0 && size == sizeof(float)) {
      float value = 0.0f;
      std::memcpy(&value, buffer, sizeof(value));
      self->writes.push_back({port, value});
    }
  }

  const LV2UI_Descriptor* mDescriptor = nullptr;
  LV2UI_Resize mResize{};
  LV2UI_Touch mTouch{};
  int mX;
};

// Screen areas and windows as another program sees them.
namespace x11 {

// X errors on the test's own connections are counted, not fatal: Xlib's default handler ends the
// process (and a test that ends that way leaves the checks of other processes unmade). While an
// ErrorCount lives, errors are counted; a window that went away while a test looked at it then
// reads as nothing instead.
class ErrorCount {
public:
  ErrorCount() : mPrevious(XSetErrorHandler(&ErrorCount::count)) { sCount = 0; }
  ~ErrorCount() { XSetErrorHandler(mPrevious); }
  ErrorCount(const ErrorCount&) = delete;
  ErrorCount& operator=(const ErrorCount&) = delete;
  static int errors() { return sCount; }

private:
  static int count(Display*, XErrorEvent*)
  {
    ++sCount;
    return 0;
  }
  static inline int sCount = 0;
  XErrorHandler mPrevious;
};

// The area's pixels as 0xRRGGBB (the root window's: whatever shows there). The part that lies off
// the screen reads as black; an area wholly off the screen gives an empty grab.
inline ScreenGrab grab(Display* display, int x, int y, int width, int height)
{
  ScreenGrab result;
  const int screenWidth = DisplayWidth(display, DefaultScreen(display));
  const int screenHeight = DisplayHeight(display, DefaultScreen(display));
  const int x0 = std::max(0, x), y0 = std::max(0, y);
  const int x1 = std::min(screenWidth, x + width), y1 = std::min(screenHeight, y + height);
  if (width <= 0 || height <= 0 || x1 <= x0 || y1 <= y0)
    return result;
  XImage* image = XGetImage(display, DefaultRootWindow(display), x0, y0, static_cast<unsigned>(x1 - x0),
                            static_cast<unsigned>(y1 - y0), AllPlanes, ZPixmap);
  if (!image)
    return result;
  result.width = width;
  result.height = height;
  result.pixels.assign(static_cast<size_t>(width) * height, 0);
  for (int row = y0; row < y1; ++row)
    for (int col = x0; col < x1; ++col)
      result.pixels[static_cast<size_t>(row - y) * width + (col - x)] =
        static_cast<std::uint32_t>(XGetPixel(image, col - x0, row - y0)) & 0xFFFFFF;
  XDestroyImage(image);
  return result;
}

// A window's size, or (0, 0) when it is not there.
inline std::pair<int, int> windowSize(Display* display, ::Window window)
{
  XWindowAttributes a{};
  if (window == 0 || !XGetWindowAttributes(display, window, &a))
    return {0, 0};
  return {a.width, a.height};
}

// A viewable window with no windows inside, of exactly this size, anywhere on the screen; 0 when
// there is none.
inline ::Window findLeafOfSize(Display* display, ::Window from, int width, int height)
{
  ::Window root = 0, up = 0;
  ::Window* children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(display, from, &root, &up, &children, &n))
    return 0;
  ::Window found = 0;
  for (unsigned int i = 0; i < n && !found; ++i) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(display, children[i], &a) || a.map_state != IsViewable)
      continue;
    ::Window inner = findLeafOfSize(display, children[i], width, height);
    if (inner)
      found = inner;
    else if (a.width == width && a.height == height) {
      ::Window r = 0, p = 0;
      ::Window* grandchildren = nullptr;
      unsigned int m = 0;
      XQueryTree(display, children[i], &r, &p, &grandchildren, &m);
      if (grandchildren)
        XFree(grandchildren);
      if (m == 0)
        found = children[i];
    }
  }
  if (children)
    XFree(children);
  return found;
}

// A window's top-left corner on the screen.
inline std::pair<int, int> screenPosition(Display* display, ::Window window)
{
  int x = 0, y = 0;
  ::Window child = 0;
  XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
  return {x, y};
}

// The top-level window that holds `window` (the root's child on its way up).
inline ::Window topLevelOf(Display* display, ::Window window)
{
  for (;;) {
    ::Window root = 0, up = 0;
    ::Window* children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(display, window, &root, &up, &children, &n))
      return 0;
    if (children)
      XFree(children);
    if (up == root || up == 0)
      return window;
    window = up;
  }
}

} // namespace x11
