#pragma once

#include <X11/Xlib.h>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "graphics/IPlatformView.h"
#include "platform/BrowserLauncher.h"
#include "platform/X11Input.h"
#include "platform/X11Pixels.h"

namespace plug::graphics {
class IGraphics;
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
//   than the picture the window's background (the context's grey) shows.
// - Size: the window takes the picture's size whenever the context changes it (and tells the host
//   through the size listener). A size the host gives the window (it resized the window, or told
//   the view through SetSizeFromHost) makes the context show its design at the scale that fits,
//   within the context's scale limits. Until the window has taken a size the view asked for, sizes
//   the host reports are not acted on (they may predate the request); a host that keeps another
//   size for a second has the last word.
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
  // or the screen's visual is not a true-colour one.
  static std::unique_ptr<X11View> Create(unsigned long parent, const char* displayName = nullptr);
  ~X11View() override;
  X11View(const X11View&) = delete;
  X11View& operator=(const X11View&) = delete;

  // The context the window shows and sends input to; null before the context goes.
  void Attach(graphics::IGraphics* graphics);
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

  // Wait for a size the view asked for before acting on sizes the host reports (milliseconds).
  static constexpr double kResizeGraceMs = 1000.0;

private:
  X11View(Display* display, ::Window window, const X11PixelFormat& format);

  void dispatch(XEvent& event);
  void expose(int x, int y, int width, int height);
  void configured(int width, int height, bool fromHost);
  void fitPictureToWindow();
  void updateSizeHints();
  void updateKeyInterest();
  Cursor cursorFor(graphics::ECursor cursor);
  void applyCursor();
  void markGoneOnErrors();

  Display* mDisplay;
  ::Window mWindow;
  X11PixelFormat mFormat;
  GC mGC = nullptr;
  long mEventMask = 0;
  std::vector<std::uint8_t> mConverted;  // for visuals that are not native

  graphics::IGraphics* mGraphics = nullptr;
  std::unique_ptr<X11Input> mInput;
  std::function<void(int, int)> mSizeListener;
  BrowserLauncher mBrowser;

  bool mGone = false;
  int mWindowWidth = 1;
  int mWindowHeight = 1;
  int mPendingWidth = 0;  // a size asked for and not yet seen; 0: none
  int mPendingHeight = 0;
  double mPendingSinceMs = 0.0;
  bool mHostSizeWaiting = false;  // a host size was put off while a request was pending

  std::array<Cursor, 12> mCursors{};
  Cursor mBlankCursor = 0;
  graphics::ECursor mCursor = graphics::ECursor::kArrow;
  bool mCursorHidden = false;
  bool mKeysWanted = false;
};

} // namespace plug
