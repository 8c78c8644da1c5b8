// SPDX-License-Identifier: ISC
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "graphics/IPlatformView.h"
#include "platform/BrowserLauncher.h"
#include "platform/X11Input.h"
#include "platform/X11Pixels.h"

namespace plug::graphics {
class IViewContent;
}

namespace plug {

// The cursor-font shape (X11/cursorfont.h) shown for a cursor of the graphics library: the arrow,
// the pointing hand, the bottom-right corner for the diagonal resize handle, and the nearest shapes
// for the rest.
unsigned int X11CursorShape(graphics::ECursor cursor);

// The scale at which a design of designWidth × designHeight units fits into width × height pixels
// with its aspect kept, within lo … hi.
float ScaleToFit(int width, int height, int designWidth, int designHeight, float lo, float hi);

// An editor's window on an X server: a child window inside a window the host gives (an LV2 UI's
// parent), on a connection of its own, which shows a graphics context's picture and hands the
// user's mouse and keys to it.
//
// - Pictures: each area the context presents goes to the window as it is (XPutImage of that area
//   only); an exposed area is redrawn from the context's last picture. Where the window is larger
//   than the picture (a host window of another proportion) the context's surround colour shows,
//   never what an earlier picture left there.
// - Size: the user's choice wins. When the context changes its picture's size (the size menu, the
//   corner handle), the window takes that size, the size hints follow and the host hears of it
//   through the size listener (ui:resize); the picture keeps its scale whatever the host does. For
//   a moment (HostFollowMs) the window's sizes are the host's answers and change nothing; a host
//   that has not made room by then (hosts that embed through a toolkit socket give their old room
//   back) gets its top-level window grown or shrunk by the difference, as a user would resize it,
//   and the same moment again; what it then keeps is its choice, and the surround fills what the
//   picture does not. Later sizes of the host's window (the user resized it, or the host told the
//   view through SetSizeFromHost) make the context show its design at the scale that fits, within
//   the context's scale limits.
// - Keys reach the window only while a pop-up menu or message box is open (and the pointer is over
//   the window), so that the host keeps its keyboard shortcuts otherwise.
// - Cursors from the X cursor font; hiding uses an empty cursor. Web pages: BrowserLauncher.
// - X errors on this connection (the host destroyed the parent first) are trapped (X11ErrorTrap):
//   the view then stops drawing and reports the window gone.
//
// Opens no connection before Create. User-interface thread; ProcessEvents must be called often
// (the LV2 UI does it from the host's idle callback).
class X11View final : public graphics::IPlatformView {
public:
  // Null when the display cannot be opened (nullptr: $DISPLAY), the parent window does not exist,
  // the screen's visual is not a true-colour one or the window cannot be made; `failure`, when
  // given, then says which in a few words.
  static std::unique_ptr<X11View> Create(unsigned long parent, const char* displayName = nullptr,
                                         std::string* failure = nullptr);
  ~X11View() override;
  X11View(const X11View&) = delete;
  X11View& operator=(const X11View&) = delete;

  // The context the window shows and sends input to; null before the context goes.
  void Attach(graphics::IViewContent* graphics);
  // Called with the window's new size after the view resized it for the context (not for sizes the
  // host gave); the LV2 UI passes it on with ui:resize.
  void SetSizeListener(std::function<void(int width, int height)> listener) { mSizeListener = std::move(listener); }

  // Shows the window inside its parent.
  void Map();
  // Handles every event the server sent, sends what was drawn. False once the window is gone.
  bool ProcessEvents();
  // Waits until the server has handled everything this connection sent, then processes the
  // events it sent back (tests, and a host that wants the window settled). False once gone.
  bool Sync();
  // The host gives the window this size.
  void SetSizeFromHost(int width, int height);

  bool WindowGone() const { return mGone; }
  ::Window GetWindow() const { return mWindow; }
  Display* GetDisplay() const { return mDisplay; }
  int WindowWidth() const { return mWindowWidth; }
  int WindowHeight() const { return mWindowHeight; }
  const X11PixelFormat& PixelFormat() const { return mFormat; }

  // IPlatformView.
  void PresentRect(const graphics::ImageView& image, const graphics::PixelRect& area) override;
  void RequestResize(int width, int height) override;
  void SetMouseCursor(graphics::ECursor cursor) override;
  void HideMouseCursor(bool hide) override;
  bool OpenURL(const char* url) override;

  // How long the host has to follow a size the editor chose, before its top-level window is resized
  // (and again after that), in milliseconds of steady time. Tests shorten it.
  static constexpr double kHostFollowMs = 500.0;
  void SetHostFollowMs(double ms) { mHostFollowMs = ms; }
  // The editor's latest size choice is still settling: the host's sizes change nothing yet.
  bool SizeSettling() const { return mRequest.width != 0; }

private:
  X11View(Display* display, ::Window window, const X11PixelFormat& format);

  void dispatch(XEvent& event);
  void expose(int x, int y, int width, int height);
  void configured(int width, int height, bool fromHost);
  void fitPictureToWindow();
  // The editor's size choice after the host had its time to follow.
  void settleRequest();
  ::Window topLevel() const;
  void resizeTopLevelBy(int dx, int dy);
  void updateSizeHints();
  // Fills what the window shows beyond the picture with the context's surround colour.
  void paintSurround();
  void updateKeyInterest();
  Cursor cursorFor(graphics::ECursor cursor);
  void applyCursor();
  void markGoneOnErrors();

  Display* mDisplay;
  ::Window mWindow;
  X11PixelFormat mFormat;
  GC mGC = nullptr;
  long mEventMask = 0;
  std::vector<std::uint8_t> mConverted; // for visuals that are not native

  graphics::IViewContent* mGraphics = nullptr;
  std::unique_ptr<X11Input> mInput;
  std::function<void(int, int)> mSizeListener;
  BrowserLauncher mBrowser;

  bool mGone = false;
  int mWindowWidth = 1;
  int mWindowHeight = 1;
  // The size the editor chose last, while the host's answer settles; width 0: none.
  struct Request {
    int width = 0;
    int height = 0;
    double sinceMs = 0.0;
    bool askedTopLevel = false; // the host's top-level window was resized for it
  };
  Request mRequest;
  double mHostFollowMs = kHostFollowMs;

  std::array<Cursor, 12> mCursors{};
  Cursor mBlankCursor = 0;
  graphics::ECursor mCursor = graphics::ECursor::kArrow;
  bool mCursorHidden = false;
  bool mKeysWanted = false;
};

} // namespace plug
