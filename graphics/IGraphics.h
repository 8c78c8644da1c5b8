// SPDX-License-Identifier: ISC
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/IEditorDelegate.h"
#include "graphics/IBitmap.h"
#include "graphics/IControl.h"
#include "graphics/IGraphicsTypes.h"
#include "graphics/IPlatformView.h"
#include "graphics/MessageBoxPanel.h"
#include "base/RunLoop.h"

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;

namespace plug::graphics {

class Font;
class ICornerResizerControl;
class IPopupMenu;
class PopupMenuPanel;

// How the corner handle resizes the editor: by scale, the design size staying as it is.
enum class EUIResizerMode { kScale };

// The editor's graphics context: a design of Width() × Height() units shown at a draw scale, drawn
// with Cairo into an image of WindowWidth() × WindowHeight() pixels that a platform view puts on the
// screen. It owns the controls attached to it (drawn in attach order, so later ones lie on top and get
// the mouse first), the background, the corner resizer, and the pop-up menu and message boxes it
// draws over everything.
//
// Redraw: controls marked dirty are redrawn at the next frame, at most `fps` (at most 60) times a
// second, and only the areas that changed are redrawn and presented.
//
// Threads: the user-interface thread, except IControl::SetDirty and IControl::Hide (see there).
class IGraphics : public IEditorView, public IViewContent {
public:
  static constexpr float kDefaultMinScale = 0.25f;
  static constexpr float kDefaultMaxScale = 4.0f;
  static constexpr int kMaxFps = 60;
  static constexpr double kDoubleClickMs = 400.0;
  static constexpr float kDoubleClickDistance = 4.0f; // pixels
  static constexpr const char* kDefaultFontFile = "Roboto-Bold.ttf";

  IGraphics(IEditorDelegate& delegate, int width, int height, int fps = kMaxFps, float scale = 1.0f);
  ~IGraphics() override;
  IGraphics(const IGraphics&) = delete;
  IGraphics& operator=(const IGraphics&) = delete;

  IEditorDelegate& GetDelegate() const { return mDelegate; }
  bool OnUIThread() const { return mDelegate.OnUIThread(); }

  // IEditorView.
  bool WindowIsOpen() const override { return mWindowOpen; }
  void SetParameterValueFromDelegate(int paramIdx, double normalizedValue) override;
  void ForwardMidiMsg(const IMidiMsg& msg) override;

  // Assets: bitmaps and fonts are files in this folder. A file that cannot be loaded gives a
  // placeholder (a crossed box for a bitmap, empty boxes for the characters of a text) and one line
  // on stderr, never a failure.
  void SetAssetFolder(const std::string& folder) { mAssetFolder = folder; }
  const std::string& GetAssetFolder() const { return mAssetFolder; }
  // Frames are counted from 1. Loading the same name again returns the same bitmap. The target scale
  // is accepted for compatibility: artwork is one pixel per design unit.
  IBitmap LoadBitmap(const char* name, int nStates = 1, bool framesAreHorizontal = false, int targetScale = 0);
  // Registers a font file under an identifier that text styles name. False when it cannot be used.
  bool LoadFont(const char* fontID, const char* fileName);

  void EnableMouseOver(bool enable) { mMouseOverEnabled = enable; }
  bool MouseOverEnabled() const { return mMouseOverEnabled; }
  // No platform here reports touches: multi-touch stays off.
  static bool PlatformSupportsMultiTouch() { return false; }
  void EnableMultiTouch(bool enable) { mMultiTouch = enable && PlatformSupportsMultiTouch(); }

  // Controls. The context takes ownership; returns the control.
  void AttachBackground(const char* fileName);
  // The colour a view shows beyond the picture's edges, where a host's window is larger than the
  // picture or of another proportion: the mean colour of the background picture's right and bottom
  // edges, so that the picture seems to go on; the context's own grey without a background.
  IColor GetSurroundColor() const override { return mSurroundColor; }
  IControl* AttachControl(IControl* control, int tag = kNoTag, const char* group = "");
  void AttachCornerResizer(ICornerResizerControl* control, EUIResizerMode mode = EUIResizerMode::kScale,
                           bool layoutOnResize = false);
  int NControls() const { return static_cast<int>(mControls.size()); }
  IControl* GetControl(int idx) const;
  ICornerResizerControl* GetCornerResizer() const { return mCornerResizer.get(); }
  void SetAllControlsDirty();

  // Size: the design in units, the picture in pixels.
  int Width() const override { return mWidth; }
  int Height() const override { return mHeight; }
  float GetDrawScale() const { return mScale; }
  int WindowWidth() const override { return mPixelWidth; }
  int WindowHeight() const override { return mPixelHeight; }
  void SetScaleConstraints(float lo, float hi);
  float GetMinScale() const override { return mMinScale; }
  float GetMaxScale() const override { return mMaxScale; }
  // The scale is clamped to the constraints. With a platform resize the view is asked to take the
  // new pixel size (without one, the view is the one that changed).
  void Resize(int width, int height, float scale, bool needsPlatformResize = true) override;

  // Platform services.
  void SetMouseCursor(ECursor cursor);
  ECursor GetMouseCursor() const { return mCursor; }
  void HideMouseCursor(bool hide);
  bool IsMouseCursorHidden() const { return mCursorHidden; }
  // Hands the address to the system's browser. The window title, confirmation and error texts are
  // not shown on this platform.
  bool OpenURL(const char* url, const char* windowTitle = nullptr, const char* confirmMsg = nullptr,
               const char* errMsgOnFailure = nullptr);

  // Opens `menu` (owned by the caller, kept alive while open) over everything, at `anchor` (design
  // units; a point is a rectangle of no size). When it closes, the control's OnPopupMenuSelection
  // gets the menu with its chosen index, or null when it was dismissed. A menu already open is
  // dismissed first; an empty menu, or one asked for while a message box is open, is dismissed at
  // once.
  void CreatePopupMenu(IControl& control, IPopupMenu& menu, const IRECT& anchor, int valIdx = 0);
  bool IsPopupMenuOpen() const override { return mMenu != nullptr; }
  // The open menu as drawn (for tests), or null.
  const PopupMenuPanel* GetPopupMenuPanel() const { return mMenu.get(); }

  // Shows a modal box and returns at once; the completion (may be empty) gets the answer. While a box
  // is open nothing else gets the mouse. A box asked for while another is open waits its turn.
  // Boxes still open when the context is destroyed are dropped without an answer.
  void ShowMessageBox(const char* text, const char* caption, EMsgBoxType type, IMsgBoxCompletion completion = nullptr);
  int NMessageBoxes() const override { return static_cast<int>(mBoxes.size()); }
  // The box on screen (for tests), or null.
  const MessageBoxPanel* GetMessageBoxPanel() const { return mBoxes.empty() ? nullptr : mBoxes.front().get(); }

  // Drawing, in design units; only inside a control's Draw. Without a blend the source covers what
  // lies below (source over at full weight).
  // Frame `frame` (1 … N) at its natural size, its top-left corner at the rectangle's, clipped to it.
  void DrawBitmap(const IBitmap& bitmap, const IRECT& bounds, int frame = 1, const IBlend* blend = nullptr);
  // One line of text aligned in the rectangle as the style says; vertically centred on the capitals.
  void DrawText(const IText& text, const char* str, const IRECT& bounds, const IBlend* blend = nullptr);
  void DrawLine(const IColor& color, float x1, float y1, float x2, float y2, const IBlend* blend = nullptr,
                float thickness = 1.0f);
  // The rectangle's edges are put on whole pixels.
  void FillRect(const IColor& color, const IRECT& bounds, const IBlend* blend = nullptr);
  void FillTriangle(const IColor& color, float x1, float y1, float x2, float y2, float x3, float y3,
                    const IBlend* blend = nullptr);
  // Width of a text in design units.
  float MeasureText(const IText& text, const char* str);

  // The window: opening attaches the platform view, which is asked for the picture's size, and
  // starts the frame timer; from then on WindowIsOpen() is true. Closing stops the timer, shows a
  // hidden cursor again and detaches the view. EditorWindow does both around the plug-in's layout.
  void OpenWindow(IPlatformView& view);
  void CloseWindow();
  IPlatformView* GetPlatformView() const { return mView; }

  // One frame: applies what other threads asked for, redraws the areas that changed and presents
  // them to the view. The frame timer calls it; tests and pictures may call it directly.
  void UpdateFrame();
  // The picture as last drawn.
  ImageView GetImage() const override;

  // Events from the platform view: positions in pixels from the picture's top-left corner; `timeMs`
  // from any steady clock (it tells a double-click). A move with a button held drags.
  void OnMouseDown(float x, float y, const IMouseMod& mod, double timeMs) override;
  void OnMouseUp(float x, float y, const IMouseMod& mod) override;
  void OnMouseMove(float x, float y, const IMouseMod& mod) override;
  void OnMouseLeave() override;
  // The wheel turned `d` notches (positive: away from the user) with the pointer at (x, y): the
  // control under the pointer takes it as one gesture (the host hears of its start and end). Ignored
  // while a button is held or a menu or message box is open. True when a control took it.
  bool OnMouseWheel(float x, float y, const IMouseMod& mod, float d) override;
  // True when the key was used.
  bool OnKeyDown(EKey key) override;

private:
  enum class PressOwner { kNone, kControl, kMenu, kBox, kSwallowed };

  void createSurface();
  const Font* fontFor(const char* fontID);
  const Font* uiFont();
  IControl* controlAt(float x, float y) const;
  void updateHover(float x, float y, const IMouseMod& mod);
  void clearHover();
  void beginInform(IControl& control);
  void endInform(IControl& control);
  void closeMenu(int chosenIdx);
  void layoutPanels();
  void answerBox(EMsgBoxResult result);
  void addDirtyPixels(const PixelRect& area);
  void addDirtyArea(const IRECT& pixels);
  void drawBitmapInto(const IBitmap& bitmap, int frame, double x0, double y0, double x1, double y1, float weight);
  void drawPlaceholder(double x0, double y0, double x1, double y1);

  IEditorDelegate& mDelegate;
  int mWidth;
  int mHeight;
  float mScale;
  int mPixelWidth = 0;
  int mPixelHeight = 0;
  float mMinScale = kDefaultMinScale;
  float mMaxScale = kDefaultMaxScale;
  int mFps;

  std::string mAssetFolder;
  std::map<std::string, IBitmap> mBitmaps;
  std::vector<std::pair<std::string, std::unique_ptr<Font>>> mFonts;
  bool mTriedDefaultFont = false;
  IBitmap mBackground;
  bool mHasBackground = false;
  IColor mSurroundColor{255, 60, 60, 60};

  std::vector<std::unique_ptr<IControl>> mControls;
  std::unique_ptr<ICornerResizerControl> mCornerResizer;
  bool mMouseOverEnabled = false;
  bool mMultiTouch = false;

  IPlatformView* mView = nullptr;
  bool mWindowOpen = false;
  RunLoop::TimerId mFrameTimer = 0;
  ECursor mCursor = ECursor::kArrow;
  bool mCursorHidden = false;

  cairo_surface_t* mSurface = nullptr;
  cairo_t* mCr = nullptr; // only while a frame is drawn
  bool mFullRedraw = true;
  std::vector<PixelRect> mDirtyPixels; // areas to redraw besides dirty controls

  // Mouse.
  IControl* mCapture = nullptr;
  IControl* mHover = nullptr;
  PressOwner mPressOwner = PressOwner::kNone;
  bool mButtonDown = false;
  float mLastX = 0.0f; // pixels
  float mLastY = 0.0f;
  double mLastDownMs = -1e9;
  float mLastDownX = 0.0f;
  float mLastDownY = 0.0f;
  bool mLastDownRight = false;
  bool mMenuOpenedByPress = false; // the menu was opened by the press still held
  float mPressX = 0.0f;
  float mPressY = 0.0f;
  bool mPressMoved = false;

  std::unique_ptr<PopupMenuPanel> mMenu;
  IRECT mMenuAnchor; // design units
  std::deque<std::unique_ptr<MessageBoxPanel>> mBoxes;
};

// Makes the context of a new editor for a plug-in: `width` × `height` design units at `scale`, redrawn
// at most `fps` times a second.
std::unique_ptr<IGraphics> MakeGraphics(IEditorDelegate& delegate, int width, int height, int fps = IGraphics::kMaxFps,
                                        float scale = 1.0f);

} // namespace plug::graphics
