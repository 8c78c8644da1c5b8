// SPDX-License-Identifier: ISC
#include "platform/X11View.h"

#include <X11/Xutil.h>
#include <X11/cursorfont.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "graphics/IPlatformView.h"
#include "platform/X11ErrorTrap.h"

namespace plug {

using graphics::ECursor;
using graphics::ImageView;
using graphics::PixelRect;

namespace {

// Everything but keys, which are asked for only while a menu or message box is open.
constexpr long kBaseEvents = ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask |
  PointerMotionMask | EnterWindowMask | LeaveWindowMask;

// The grey the graphics context paints where there is no background, for the window's own
// background beyond the picture.
constexpr std::uint32_t kWindowBackground = 0xFF3C3C3C;

double nowMs()
{
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

int imageByteOrderOfThisMachine()
{
  return std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
}

} // namespace

unsigned int X11CursorShape(ECursor cursor)
{
  switch (cursor) {
    case ECursor::kArrow: return XC_left_ptr;
    case ECursor::kIBeam: return XC_xterm;
    case ECursor::kWait: return XC_watch;
    case ECursor::kCross: return XC_crosshair;
    case ECursor::kUpArrow: return XC_sb_up_arrow;
    case ECursor::kSizeNWSE: return XC_bottom_right_corner;
    case ECursor::kSizeNESW: return XC_bottom_left_corner;
    case ECursor::kSizeWE: return XC_sb_h_double_arrow;
    case ECursor::kSizeNS: return XC_sb_v_double_arrow;
    case ECursor::kSizeAll: return XC_fleur;
    case ECursor::kNo: return XC_X_cursor;
    case ECursor::kHand: return XC_hand2;
  }
  return XC_left_ptr;
}

float ScaleToFit(int width, int height, int designWidth, int designHeight, float lo, float hi)
{
  if (designWidth <= 0 || designHeight <= 0 || width <= 0 || height <= 0)
    return lo;
  const float scale = std::min(static_cast<float>(width) / static_cast<float>(designWidth),
                               static_cast<float>(height) / static_cast<float>(designHeight));
  return std::clamp(scale, lo, hi);
}

std::unique_ptr<X11View> X11View::Create(unsigned long parent, const char* displayName, std::string* failure)
{
  auto fail = [failure](std::string reason) {
    if (failure)
      *failure = std::move(reason);
  };
  Display* display = XOpenDisplay(displayName);
  if (!display) {
    const char* name = displayName ? displayName : std::getenv("DISPLAY");
    fail(std::string("cannot open the X display \"") + (name ? name : "") + "\"");
    return nullptr;
  }
  X11ErrorTrap::Register(display);
  std::unique_ptr<X11View> view;
  {
    X11ErrorTrap::Scope scope;
    XWindowAttributes parentAttributes{};
    // A parent that does not exist is a trapped BadWindow and a zero status.
    if (parent == 0 || XGetWindowAttributes(display, parent, &parentAttributes) == 0) {
      char id[32];
      std::snprintf(id, sizeof(id), "0x%lx", parent);
      fail(std::string("the parent window ") + id + " does not exist");
    } else {
      const int screen = XScreenNumberOfScreen(parentAttributes.screen);
      Visual* visual = DefaultVisual(display, screen);
      XVisualInfo wanted{};
      wanted.visualid = XVisualIDFromVisual(visual);
      wanted.screen = screen;
      int found = 0;
      XVisualInfo* info = XGetVisualInfo(display, VisualIDMask | VisualScreenMask, &wanted, &found);
      X11PixelFormat format;
      bool usable = false;
      if (info && found > 0 && info->c_class == TrueColor) {
        format.depth = info->depth;
        format.redMask = info->red_mask;
        format.greenMask = info->green_mask;
        format.blueMask = info->blue_mask;
        format.msbFirst = ImageByteOrder(display) == MSBFirst;
        int nFormats = 0;
        if (XPixmapFormatValues* formats = XListPixmapFormats(display, &nFormats)) {
          for (int i = 0; i < nFormats; ++i)
            if (formats[i].depth == format.depth)
              format.bitsPerPixel = formats[i].bits_per_pixel;
          XFree(formats);
        }
        const int bpp = format.bitsPerPixel;
        usable = bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
      }
      if (info)
        XFree(info);
      if (!usable) {
        fail("the screen's visual is not a true-colour one of 8, 16, 24 or 32 bits per pixel");
      } else {
        XSetWindowAttributes attributes{};
        attributes.background_pixel = format.Pack(kWindowBackground);
        attributes.border_pixel = 0;
        attributes.colormap = DefaultColormap(display, screen);
        attributes.bit_gravity = NorthWestGravity; // the picture stays at the top-left corner
        attributes.event_mask = kBaseEvents;
        const ::Window window =
          XCreateWindow(display, parent, 0, 0, 1, 1, 0, format.depth, InputOutput, visual,
                        CWBackPixel | CWBorderPixel | CWColormap | CWBitGravity | CWEventMask, &attributes);
        XSync(display, False);
        if (window != 0 && X11ErrorTrap::ErrorsOn(display).count == 0)
          view.reset(new X11View(display, window, format));
        else
          fail("the window cannot be made in the parent window");
      }
    }
    if (!view)
      XCloseDisplay(display);
  }
  if (!view)
    X11ErrorTrap::Unregister(display);
  return view;
}

X11View::X11View(Display* display, ::Window window, const X11PixelFormat& format)
    : mDisplay(display), mWindow(window), mFormat(format), mEventMask(kBaseEvents)
{
  X11ErrorTrap::Scope scope;
  mGC = XCreateGC(mDisplay, mWindow, 0, nullptr);
  XSetGraphicsExposures(mDisplay, mGC, False);
  applyCursor();
}

X11View::~X11View()
{
  {
    X11ErrorTrap::Scope scope;
    // The window may already have gone with its parent: the error that would bring is trapped.
    if (!mGone)
      XDestroyWindow(mDisplay, mWindow);
    for (Cursor cursor : mCursors)
      if (cursor)
        XFreeCursor(mDisplay, cursor);
    if (mBlankCursor)
      XFreeCursor(mDisplay, mBlankCursor);
    XFreeGC(mDisplay, mGC);
    XCloseDisplay(mDisplay);
  }
  X11ErrorTrap::Unregister(mDisplay);
}

void X11View::Attach(graphics::IViewContent* graphics)
{
  mGraphics = graphics;
  mInput = graphics ? std::make_unique<X11Input>(*graphics) : nullptr;
  if (mInput)
    mInput->SetWindowSize(mWindowWidth, mWindowHeight);
  X11ErrorTrap::Scope scope;
  updateSizeHints();
  updateKeyInterest();
  paintSurround();
}

void X11View::paintSurround()
{
  if (!mGraphics || mGone)
    return;
  // The window's own background is the surround: the server paints it wherever the window grows
  // or is exposed beyond the picture, and clearing paints it over what an earlier, larger picture
  // left there.
  const graphics::IColor c = mGraphics->GetSurroundColor();
  const auto argb = 0xFF000000u | static_cast<std::uint32_t>(c.R & 0xFF) << 16 |
    static_cast<std::uint32_t>(c.G & 0xFF) << 8 | static_cast<std::uint32_t>(c.B & 0xFF);
  XSetWindowBackground(mDisplay, mWindow, mFormat.Pack(argb));
  const int pictureWidth = mGraphics->WindowWidth();
  const int pictureHeight = mGraphics->WindowHeight();
  if (mWindowWidth > pictureWidth)
    XClearArea(mDisplay, mWindow, pictureWidth, 0, static_cast<unsigned>(mWindowWidth - pictureWidth),
               static_cast<unsigned>(mWindowHeight), False);
  if (mWindowHeight > pictureHeight)
    XClearArea(mDisplay, mWindow, 0, pictureHeight, static_cast<unsigned>(std::min(pictureWidth, mWindowWidth)),
               static_cast<unsigned>(mWindowHeight - pictureHeight), False);
  XFlush(mDisplay);
}

void X11View::Map()
{
  if (mGone)
    return;
  X11ErrorTrap::Scope scope;
  XMapRaised(mDisplay, mWindow);
  XFlush(mDisplay);
}

bool X11View::ProcessEvents()
{
  X11ErrorTrap::Scope scope;
  while (!mGone && XPending(mDisplay) > 0) {
    XEvent event;
    XNextEvent(mDisplay, &event);
    dispatch(event);
  }
  markGoneOnErrors();
  if (!mGone) {
    settleRequest();
    updateKeyInterest();
    XFlush(mDisplay);
  }
  BrowserLauncher::ReapFinished();
  return !mGone;
}

bool X11View::Sync()
{
  X11ErrorTrap::Scope scope;
  if (!mGone)
    XSync(mDisplay, False);
  return ProcessEvents();
}

void X11View::dispatch(XEvent& event)
{
  switch (event.type) {
    case Expose: expose(event.xexpose.x, event.xexpose.y, event.xexpose.width, event.xexpose.height); return;
    case ConfigureNotify:
      if (event.xconfigure.window == mWindow)
        configured(event.xconfigure.width, event.xconfigure.height, false);
      return;
    case DestroyNotify:
      if (event.xdestroywindow.window == mWindow)
        mGone = true;
      return;
    case MappingNotify: XRefreshKeyboardMapping(&event.xmapping); return;
    default: break;
  }
  if (!mInput)
    return;
  switch (event.type) {
    case ButtonPress: mInput->OnButtonPress(event.xbutton); break;
    case ButtonRelease: mInput->OnButtonRelease(event.xbutton); break;
    case MotionNotify:
      // Only the latest of a run of moves matters: a drag follows the mouse without lagging behind.
      while (XEventsQueued(mDisplay, QueuedAlready) > 0) {
        XEvent next;
        XPeekEvent(mDisplay, &next);
        if (next.type != MotionNotify || next.xmotion.window != event.xmotion.window ||
            next.xmotion.state != event.xmotion.state)
          break;
        XNextEvent(mDisplay, &event);
      }
      mInput->OnMotion(event.xmotion);
      break;
    case EnterNotify: mInput->OnEnter(event.xcrossing); break;
    case LeaveNotify: mInput->OnLeave(event.xcrossing); break;
    case KeyPress: mInput->OnKey(XLookupKeysym(&event.xkey, 0)); break;
    default: return;
  }
  updateKeyInterest();
}

void X11View::expose(int x, int y, int width, int height)
{
  if (!mGraphics)
    return; // the window's background shows
  PresentRect(mGraphics->GetImage(), {x, y, width, height});
}

void X11View::PresentRect(const ImageView& image, const PixelRect& area)
{
  if (mGone || !image.data)
    return;
  const int x0 = std::max(0, area.x);
  const int y0 = std::max(0, area.y);
  const int x1 = std::min(area.x + area.w, image.width);
  const int y1 = std::min(area.y + area.h, image.height);
  if (x1 <= x0 || y1 <= y0)
    return;
  const PixelRect clipped{x0, y0, x1 - x0, y1 - y0};

  XImage ximage{};
  ximage.format = ZPixmap;
  ximage.xoffset = 0;
  ximage.depth = mFormat.depth;
  ximage.bitmap_pad = 32;
  ximage.bitmap_unit = 32;
  ximage.red_mask = mFormat.redMask;
  ximage.green_mask = mFormat.greenMask;
  ximage.blue_mask = mFormat.blueMask;
  int srcX = clipped.x;
  int srcY = clipped.y;
  if (mFormat.Native()) {
    // The picture's own rows; Xlib swaps bytes if the server wants another order.
    ximage.width = image.width;
    ximage.height = image.height;
    ximage.data = const_cast<char*>(reinterpret_cast<const char*>(image.data));
    ximage.byte_order = imageByteOrderOfThisMachine();
    ximage.bitmap_bit_order = ximage.byte_order;
    ximage.bytes_per_line = image.stride;
    ximage.bits_per_pixel = 32;
  } else {
    mFormat.Convert(image, clipped, mConverted);
    ximage.width = clipped.w;
    ximage.height = clipped.h;
    ximage.data = reinterpret_cast<char*>(mConverted.data());
    ximage.byte_order = mFormat.msbFirst ? MSBFirst : LSBFirst;
    ximage.bitmap_bit_order = ximage.byte_order;
    ximage.bytes_per_line = mFormat.BytesPerLine(clipped.w);
    ximage.bits_per_pixel = mFormat.bitsPerPixel;
    srcX = srcY = 0;
  }
  X11ErrorTrap::Scope scope;
  if (XInitImage(&ximage) == 0)
    return;
  XPutImage(mDisplay, mWindow, mGC, &ximage, srcX, srcY, clipped.x, clipped.y, static_cast<unsigned>(clipped.w),
            static_cast<unsigned>(clipped.h));
  XFlush(mDisplay);
}

void X11View::RequestResize(int width, int height)
{
  width = std::max(1, width);
  height = std::max(1, height);
  if (mGone)
    return;
  X11ErrorTrap::Scope scope;
  updateSizeHints();
  paintSurround();
  if (width == mWindowWidth && height == mWindowHeight) {
    mRequest = {};
    return;
  }
  // The editor's own choice: the picture has its size already, whatever the host makes of it.
  XResizeWindow(mDisplay, mWindow, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XFlush(mDisplay);
  mRequest = {width, height, nowMs(), false};
  if (mSizeListener)
    mSizeListener(width, height);
}

void X11View::SetSizeFromHost(int width, int height)
{
  if (mGone || width < 1 || height < 1)
    return;
  X11ErrorTrap::Scope scope;
  if (width != mWindowWidth || height != mWindowHeight) {
    XResizeWindow(mDisplay, mWindow, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFlush(mDisplay);
  }
  configured(width, height, true);
}

void X11View::configured(int width, int height, bool fromHost)
{
  const bool changed = width != mWindowWidth || height != mWindowHeight;
  mWindowWidth = width;
  mWindowHeight = height;
  if (mInput)
    mInput->SetWindowSize(width, height);
  paintSurround();
  if (fromHost) {
    // The host said which size it wants (ui:resize): that is a new choice.
    mRequest = {};
    fitPictureToWindow();
    return;
  }
  if (mRequest.width != 0) {
    // While the editor's own size settles, the window's sizes are the view's own resize and the
    // host's answers to it (its toolkit giving the old room back, the size it makes room for, one
    // from before the request): none of them changes the picture.
    return;
  }
  // Otherwise a new size of the host's window (the user resized it): the picture fits into it.
  if (changed)
    fitPictureToWindow();
}

void X11View::settleRequest()
{
  if (mRequest.width == 0 || nowMs() - mRequest.sinceMs < mHostFollowMs)
    return;
  if (mWindowWidth == mRequest.width && mWindowHeight == mRequest.height) {
    mRequest = {};
    return;
  }
  if (mRequest.askedTopLevel) {
    // The host keeps its own size: the picture keeps the user's, with the surround around it or
    // cut off at the window's edges. Sizes the host sets from now on count again.
    mRequest = {};
    return;
  }
  // The host did not follow ui:resize (or gave its old room back): its window is asked to grow or
  // shrink by what the editor did, as a user would resize it, and gets the same time to follow.
  resizeTopLevelBy(mRequest.width - mWindowWidth, mRequest.height - mWindowHeight);
  mRequest.askedTopLevel = true;
  mRequest.sinceMs = nowMs();
}

::Window X11View::topLevel() const
{
  // The host's top-level window: the first ancestor a window manager marked as a client's window
  // (WM_STATE), else the ancestor just below the root (no window manager).
  const Atom wmState = XInternAtom(mDisplay, "WM_STATE", True);
  ::Window window = mWindow;
  for (;;) {
    ::Window root = 0, parent = 0;
    ::Window* children = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(mDisplay, window, &root, &parent, &children, &n))
      return 0;
    if (children)
      XFree(children);
    if (parent == 0 || parent == root)
      return window == mWindow ? 0 : window;
    window = parent;
    if (wmState != 0) {
      Atom type = 0;
      int format = 0;
      unsigned long items = 0, after = 0;
      unsigned char* data = nullptr;
      const bool marked = XGetWindowProperty(mDisplay, window, wmState, 0, 0, False, AnyPropertyType, &type, &format,
                                             &items, &after, &data) == Success &&
        type != 0;
      if (data)
        XFree(data);
      if (marked)
        return window;
    }
  }
}

void X11View::resizeTopLevelBy(int dx, int dy)
{
  const ::Window window = topLevel();
  XWindowAttributes a{};
  if (window == 0 || !XGetWindowAttributes(mDisplay, window, &a))
    return;
  XResizeWindow(mDisplay, window, static_cast<unsigned>(std::max(1, a.width + dx)),
                static_cast<unsigned>(std::max(1, a.height + dy)));
  XFlush(mDisplay);
}

void X11View::fitPictureToWindow()
{
  if (!mGraphics || (mWindowWidth == mGraphics->WindowWidth() && mWindowHeight == mGraphics->WindowHeight()))
    return;
  const float scale = ScaleToFit(mWindowWidth, mWindowHeight, mGraphics->Width(), mGraphics->Height(),
                                 mGraphics->GetMinScale(), mGraphics->GetMaxScale());
  mGraphics->Resize(mGraphics->Width(), mGraphics->Height(), scale, false);
  updateSizeHints();
  paintSurround();
}

void X11View::updateSizeHints()
{
  if (!mGraphics || mGone)
    return;
  XSizeHints* hints = XAllocSizeHints();
  if (!hints)
    return;
  const int w = mGraphics->Width();
  const int h = mGraphics->Height();
  auto side = [](int design, float scale) { return std::max(1, static_cast<int>(std::lround(design * scale))); };
  hints->flags = PSize | PBaseSize | PMinSize | PMaxSize | PAspect;
  hints->width = hints->base_width = mGraphics->WindowWidth();
  hints->height = hints->base_height = mGraphics->WindowHeight();
  hints->min_width = side(w, mGraphics->GetMinScale());
  hints->min_height = side(h, mGraphics->GetMinScale());
  hints->max_width = side(w, mGraphics->GetMaxScale());
  hints->max_height = side(h, mGraphics->GetMaxScale());
  hints->min_aspect.x = hints->max_aspect.x = w;
  hints->min_aspect.y = hints->max_aspect.y = h;
  XSetWMNormalHints(mDisplay, mWindow, hints);
  XFree(hints);
}

void X11View::updateKeyInterest()
{
  const bool wanted = mGraphics && (mGraphics->IsPopupMenuOpen() || mGraphics->NMessageBoxes() > 0);
  if (wanted == mKeysWanted || mGone)
    return;
  mKeysWanted = wanted;
  mEventMask = kBaseEvents | (wanted ? KeyPressMask : 0);
  XSelectInput(mDisplay, mWindow, mEventMask);
}

Cursor X11View::cursorFor(ECursor cursor)
{
  const auto index = static_cast<std::size_t>(cursor);
  if (index >= mCursors.size())
    return cursorFor(ECursor::kArrow);
  if (!mCursors[index])
    mCursors[index] = XCreateFontCursor(mDisplay, X11CursorShape(cursor));
  return mCursors[index];
}

void X11View::applyCursor()
{
  if (mGone)
    return;
  if (mCursorHidden) {
    if (!mBlankCursor) {
      static const char empty[1] = {0};
      const Pixmap pixmap = XCreateBitmapFromData(mDisplay, mWindow, empty, 1, 1);
      XColor black{};
      mBlankCursor = XCreatePixmapCursor(mDisplay, pixmap, pixmap, &black, &black, 0, 0);
      XFreePixmap(mDisplay, pixmap);
    }
    XDefineCursor(mDisplay, mWindow, mBlankCursor);
  } else {
    XDefineCursor(mDisplay, mWindow, cursorFor(mCursor));
  }
  XFlush(mDisplay);
}

void X11View::SetMouseCursor(ECursor cursor)
{
  mCursor = cursor;
  X11ErrorTrap::Scope scope;
  applyCursor();
}

void X11View::HideMouseCursor(bool hide)
{
  if (hide == mCursorHidden)
    return;
  mCursorHidden = hide;
  X11ErrorTrap::Scope scope;
  applyCursor();
}

bool X11View::OpenURL(const char* url)
{
  return mBrowser.Open(url);
}

void X11View::markGoneOnErrors()
{
  const X11ErrorTrap::Record errors = X11ErrorTrap::ErrorsOn(mDisplay);
  if (errors.count > 0 && errors.resource == mWindow)
    mGone = true;
}

} // namespace plug
