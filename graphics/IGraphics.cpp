// SPDX-License-Identifier: ISC
#include "graphics/IGraphics.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "framework/IMidiMsg.h"
#include "graphics/CairoUtil.h"
#include "graphics/Font.h"
#include "graphics/ICornerResizerControl.h"
#include "graphics/IPopupMenu.h"
#include "graphics/PanelStyle.h"
#include "graphics/PopupMenuPanel.h"
#include "graphics/UiText.h"

namespace plug::graphics {

namespace {

constexpr int kMaxPixelSide = 16384;
const IColor kNoBackground{255, 60, 60, 60};

void report(const std::string& what, const std::string& path, const std::string& reason)
{
  std::fprintf(stderr, "graphics: cannot load %s \"%s\": %s\n", what.c_str(), path.c_str(), reason.c_str());
}

// The mean colour of a bitmap's right column and bottom row (premultiplied pixels, shown over
// black); the context's grey for a bitmap without pixels.
IColor edgeColorOf(const IBitmap& bitmap)
{
  cairo_surface_t* surface = bitmap.GetFrameSurface(1);
  if (!surface)
    return kNoBackground;
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int w = cairo_image_surface_get_width(surface);
  const int h = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  if (!data || w <= 0 || h <= 0)
    return kNoBackground;
  double sum[3] = {0.0, 0.0, 0.0};
  int count = 0;
  auto add = [&](int x, int y) {
    const auto pixel = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride)[x];
    sum[0] += (pixel >> 16) & 0xFF;
    sum[1] += (pixel >> 8) & 0xFF;
    sum[2] += pixel & 0xFF;
    ++count;
  };
  for (int y = 0; y < h; ++y)
    add(w - 1, y);
  for (int x = 0; x < w - 1; ++x)
    add(x, h - 1);
  auto mean = [&](double total) { return static_cast<int>(std::lround(total / count)); };
  return IColor(255, mean(sum[0]), mean(sum[1]), mean(sum[2]));
}

PixelRect toPixels(const IRECT& r, int maxW, int maxH)
{
  const int l = std::clamp(static_cast<int>(std::floor(r.L)), 0, maxW);
  const int t = std::clamp(static_cast<int>(std::floor(r.T)), 0, maxH);
  const int rr = std::clamp(static_cast<int>(std::ceil(r.R)), 0, maxW);
  const int b = std::clamp(static_cast<int>(std::ceil(r.B)), 0, maxH);
  return {l, t, rr - l, b - t};
}

} // namespace

IGraphics::IGraphics(IEditorDelegate& delegate, int width, int height, int fps, float scale)
    : mDelegate(delegate),
      mWidth(std::max(1, width)),
      mHeight(std::max(1, height)),
      mScale(std::clamp(scale > 0.0f ? scale : 1.0f, kDefaultMinScale, kDefaultMaxScale)),
      mFps(std::clamp(fps, 1, kMaxFps))
{
  createSurface();
}

IGraphics::~IGraphics()
{
  CloseWindow();
  if (mDelegate.GetEditor() == this)
    mDelegate.DetachEditor();
  mMenu.reset();
  mBoxes.clear();
  mControls.clear();
  mCornerResizer.reset();
  if (mSurface)
    cairo_surface_destroy(mSurface);
}

std::unique_ptr<IGraphics> MakeGraphics(IEditorDelegate& delegate, int width, int height, int fps, float scale)
{
  return std::make_unique<IGraphics>(delegate, width, height, fps, scale);
}

// ---- Editor view ----

void IGraphics::SetParameterValueFromDelegate(int paramIdx, double normalizedValue)
{
  for (const auto& control : mControls)
    for (int i = 0; i < control->NVals(); ++i)
      if (control->GetParamIdx(i) == paramIdx)
        control->SetValueFromDelegate(normalizedValue, i);
}

void IGraphics::ForwardMidiMsg(const IMidiMsg& msg)
{
  for (const auto& control : mControls)
    control->OnMidi(msg);
}

// ---- Assets ----

IBitmap IGraphics::LoadBitmap(const char* name, int nStates, bool framesAreHorizontal, int /*targetScale*/)
{
  const std::string key = name ? name : "";
  if (auto it = mBitmaps.find(key); it != mBitmaps.end())
    return it->second;
  const std::string path = (std::filesystem::path(mAssetFolder) / key).string();
  std::string error;
  IBitmap bitmap = IBitmap::Load(path, key, nStates, framesAreHorizontal, &error);
  if (!bitmap.IsValid())
    report("bitmap", path, error);
  mBitmaps.emplace(key, bitmap);
  return bitmap;
}

bool IGraphics::LoadFont(const char* fontID, const char* fileName)
{
  const std::string id = fontID ? fontID : "";
  for (const auto& [existing, font] : mFonts)
    if (existing == id)
      return true;
  const std::string path = (std::filesystem::path(mAssetFolder) / (fileName ? fileName : "")).string();
  std::string error;
  std::unique_ptr<Font> font = Font::Load(path, &error);
  if (!font) {
    report("font", path, error);
    return false;
  }
  mFonts.emplace_back(id, std::move(font));
  return true;
}

const Font* IGraphics::fontFor(const char* fontID)
{
  if (fontID && *fontID)
    for (const auto& [id, font] : mFonts)
      if (id == fontID)
        return font.get();
  return uiFont();
}

// The first font registered; without any, the library's own default from the asset folder.
const Font* IGraphics::uiFont()
{
  if (mFonts.empty() && !mTriedDefaultFont) {
    mTriedDefaultFont = true;
    LoadFont(kDefaultFontFile, kDefaultFontFile);
  }
  return mFonts.empty() ? nullptr : mFonts.front().second.get();
}

// ---- Controls ----

void IGraphics::AttachBackground(const char* fileName)
{
  mBackground = LoadBitmap(fileName, 1, false);
  mHasBackground = true;
  mFullRedraw = true;
  mSurroundColor = edgeColorOf(mBackground);
}

IControl* IGraphics::AttachControl(IControl* control, int tag, const char* group)
{
  if (!control)
    return nullptr;
  mControls.emplace_back(control);
  control->attach(this, tag, group ? group : "");
  control->OnInit();
  return control;
}

void IGraphics::AttachCornerResizer(ICornerResizerControl* control, EUIResizerMode /*mode*/, bool /*layoutOnResize*/)
{
  if (mHover == mCornerResizer.get())
    mHover = nullptr;
  if (mCapture == mCornerResizer.get())
    mCapture = nullptr;
  mCornerResizer.reset(control);
  if (control) {
    control->attach(this, kNoTag, "");
    control->OnInit();
  }
  mFullRedraw = true;
}

IControl* IGraphics::GetControl(int idx) const
{
  return idx >= 0 && idx < NControls() ? mControls[static_cast<std::size_t>(idx)].get() : nullptr;
}

void IGraphics::SetAllControlsDirty()
{
  for (const auto& control : mControls)
    control->SetDirty(false);
  if (mCornerResizer)
    mCornerResizer->SetDirty(false);
  mFullRedraw = true;
}

// ---- Size ----

void IGraphics::SetScaleConstraints(float lo, float hi)
{
  if (!(lo > 0.0f) || !(hi >= lo))
    return;
  mMinScale = lo;
  mMaxScale = hi;
}

void IGraphics::Resize(int width, int height, float scale, bool needsPlatformResize)
{
  width = std::max(1, width);
  height = std::max(1, height);
  if (!(scale > 0.0f) || !std::isfinite(scale))
    scale = mMinScale;
  scale = std::clamp(scale, mMinScale, mMaxScale);
  if (width == mWidth && height == mHeight && scale == mScale)
    return;
  const bool rescaled = scale != mScale;
  mWidth = width;
  mHeight = height;
  mScale = scale;
  createSurface();
  layoutPanels();
  if (rescaled) {
    for (const auto& control : mControls)
      control->OnRescale();
  }
  if (mCornerResizer)
    mCornerResizer->OnRescale();
  SetAllControlsDirty();
  if (mView && needsPlatformResize)
    mView->RequestResize(mPixelWidth, mPixelHeight);
}

void IGraphics::createSurface()
{
  // A picture larger than Cairo allows is drawn at the largest scale that fits.
  const float limit = static_cast<float>(kMaxPixelSide) / static_cast<float>(std::max(mWidth, mHeight));
  if (mScale > limit)
    mScale = limit;
  mPixelWidth = std::max(1, static_cast<int>(std::lround(static_cast<float>(mWidth) * mScale)));
  mPixelHeight = std::max(1, static_cast<int>(std::lround(static_cast<float>(mHeight) * mScale)));
  if (mSurface)
    cairo_surface_destroy(mSurface);
  mSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, mPixelWidth, mPixelHeight);
  mFullRedraw = true;
  mDirtyPixels.clear();
}

// ---- Platform services ----

void IGraphics::SetMouseCursor(ECursor cursor)
{
  if (cursor == mCursor)
    return;
  mCursor = cursor;
  if (mView)
    mView->SetMouseCursor(cursor);
}

void IGraphics::HideMouseCursor(bool hide)
{
  if (hide == mCursorHidden)
    return;
  mCursorHidden = hide;
  if (mView)
    mView->HideMouseCursor(hide);
}

bool IGraphics::OpenURL(const char* url, const char*, const char*, const char*)
{
  return mView && url && *url && mView->OpenURL(url);
}

// ---- Window ----

void IGraphics::OpenWindow(IPlatformView& view)
{
  if (mView)
    CloseWindow();
  mView = &view;
  mView->RequestResize(mPixelWidth, mPixelHeight);
  mView->SetMouseCursor(mCursor);
  mWindowOpen = true;
  mFullRedraw = true;
  mFrameTimer = RunLoop::Main().AddTimer(1000.0 / mFps, [this] { UpdateFrame(); });
}

void IGraphics::CloseWindow()
{
  if (mFrameTimer != 0) {
    RunLoop::Main().RemoveTimer(mFrameTimer);
    mFrameTimer = 0;
  }
  if (mView) {
    if (mCursorHidden)
      mView->HideMouseCursor(false);
    if (mCursor != ECursor::kArrow)
      mView->SetMouseCursor(ECursor::kArrow);
  }
  mCursorHidden = false;
  mCursor = ECursor::kArrow;
  mView = nullptr;
  mWindowOpen = false;
}

// ---- Menus and message boxes ----

void IGraphics::CreatePopupMenu(IControl& control, IPopupMenu& menu, const IRECT& anchor, int valIdx)
{
  if (mMenu)
    closeMenu(-1);
  menu.SetChosenItemIdx(-1);
  if (menu.NItems() == 0 || !mBoxes.empty()) {
    control.OnPopupMenuSelection(nullptr, valIdx);
    return;
  }
  clearHover();
  mMenuAnchor = anchor;
  mMenu = std::make_unique<PopupMenuPanel>(control, menu, valIdx, anchor.GetScaled(mScale));
  mMenuOpenedByPress = mButtonDown && mPressOwner == PressOwner::kControl;
  mPressMoved = false;
  layoutPanels();
  addDirtyPixels(mMenu->DrawArea());
}

void IGraphics::closeMenu(int chosenIdx)
{
  if (!mMenu)
    return;
  std::unique_ptr<PopupMenuPanel> panel = std::move(mMenu);
  addDirtyPixels(panel->DrawArea());
  mMenuOpenedByPress = false;
  IControl& control = panel->Control();
  IPopupMenu& menu = panel->Menu();
  const int valIdx = panel->ValIdx();
  panel.reset();
  if (chosenIdx >= 0 && chosenIdx < menu.NItems()) {
    menu.SetChosenItemIdx(chosenIdx);
    beginInform(control);
    control.OnPopupMenuSelection(&menu, valIdx);
    endInform(control);
  } else {
    menu.SetChosenItemIdx(-1);
    control.OnPopupMenuSelection(nullptr, valIdx);
  }
}

void IGraphics::ShowMessageBox(const char* text, const char* caption, EMsgBoxType type, IMsgBoxCompletion completion)
{
  if (mMenu)
    closeMenu(-1);
  mBoxes.push_back(
    std::make_unique<MessageBoxPanel>(text ? text : "", caption ? caption : "", type, std::move(completion)));
  if (mBoxes.size() == 1) {
    clearHover();
    layoutPanels();
    mFullRedraw = true;
  }
}

void IGraphics::answerBox(EMsgBoxResult result)
{
  if (mBoxes.empty())
    return;
  IMsgBoxCompletion completion = mBoxes.front()->TakeCompletion();
  mBoxes.pop_front();
  if (mPressOwner == PressOwner::kBox)
    mPressOwner = PressOwner::kSwallowed;
  layoutPanels();
  mFullRedraw = true;
  if (completion)
    completion(result);
}

void IGraphics::layoutPanels()
{
  const float px = panel::textPx(mScale);
  if (mMenu) {
    mMenu->SetAnchor(mMenuAnchor.GetScaled(mScale));
    mMenu->Layout(uiFont(), px, mPixelWidth, mPixelHeight);
  }
  if (!mBoxes.empty())
    mBoxes.front()->Layout(uiFont(), px, mPixelWidth, mPixelHeight);
}

// ---- Mouse and keys ----

IControl* IGraphics::controlAt(float x, float y) const
{
  auto takes = [&](const IControl* c) {
    return c && !c->IsHidden() && !c->GetIgnoreMouse() && c->GetTargetRECT().Contains(x, y);
  };
  if (takes(mCornerResizer.get()))
    return mCornerResizer.get();
  for (auto it = mControls.rbegin(); it != mControls.rend(); ++it)
    if (takes(it->get()))
      return it->get();
  return nullptr;
}

void IGraphics::updateHover(float x, float y, const IMouseMod& mod)
{
  if (!mMouseOverEnabled)
    return;
  IControl* over = controlAt(x, y);
  if (over != mHover) {
    if (mHover)
      mHover->OnMouseOut();
    mHover = over;
  }
  if (over)
    over->OnMouseOver(x, y, mod);
}

void IGraphics::clearHover()
{
  if (mHover) {
    IControl* was = mHover;
    mHover = nullptr;
    was->OnMouseOut();
  }
}

void IGraphics::beginInform(IControl& control)
{
  for (int i = 0; i < control.NVals(); ++i)
    if (const int paramIdx = control.GetParamIdx(i); paramIdx >= 0)
      mDelegate.BeginInformHostOfParamChangeFromUI(paramIdx);
}

void IGraphics::endInform(IControl& control)
{
  for (int i = 0; i < control.NVals(); ++i)
    if (const int paramIdx = control.GetParamIdx(i); paramIdx >= 0)
      mDelegate.EndInformHostOfParamChangeFromUI(paramIdx);
}

void IGraphics::OnMouseDown(float x, float y, const IMouseMod& mod, double timeMs)
{
  const bool doubleClick = timeMs - mLastDownMs <= kDoubleClickMs && mod.R == mLastDownRight &&
    std::hypot(x - mLastDownX, y - mLastDownY) <= kDoubleClickDistance;
  // A third press starts a new pair.
  mLastDownMs = doubleClick ? -1e9 : timeMs;
  mLastDownX = x;
  mLastDownY = y;
  mLastDownRight = mod.R;
  mLastX = x;
  mLastY = y;
  mPressX = x;
  mPressY = y;
  mButtonDown = true;

  if (!mBoxes.empty()) {
    mPressOwner = PressOwner::kBox;
    MessageBoxPanel& box = *mBoxes.front();
    if (box.SetPressed(box.ButtonAt(x, y)))
      addDirtyArea(box.Bounds());
    return;
  }
  if (mMenu) {
    if (mMenu->Contains(x, y)) {
      mPressOwner = PressOwner::kMenu;
    } else {
      mPressOwner = PressOwner::kSwallowed;
      closeMenu(-1);
    }
    return;
  }

  const float dx = x / mScale;
  const float dy = y / mScale;
  IControl* control = controlAt(dx, dy);
  if (!control) {
    mPressOwner = PressOwner::kNone;
    return;
  }
  mPressOwner = PressOwner::kControl;
  mCapture = control;
  beginInform(*control);
  if (doubleClick)
    control->OnMouseDblClick(dx, dy, mod);
  else
    control->OnMouseDown(dx, dy, mod);
}

void IGraphics::OnMouseMove(float x, float y, const IMouseMod& mod)
{
  const float dX = (x - mLastX) / mScale;
  const float dY = (y - mLastY) / mScale;
  mLastX = x;
  mLastY = y;
  if (mButtonDown && std::hypot(x - mPressX, y - mPressY) > kDoubleClickDistance)
    mPressMoved = true;

  if (!mBoxes.empty()) {
    MessageBoxPanel& box = *mBoxes.front();
    const int button = box.ButtonAt(x, y);
    bool changed = box.SetHover(button);
    if (mPressOwner == PressOwner::kBox && mButtonDown)
      changed = box.SetPressed(button) || changed;
    if (changed)
      addDirtyArea(box.Bounds());
    return;
  }
  if (mMenu) {
    if (mMenu->SetHover(mMenu->ItemAt(x, y)))
      addDirtyPixels(mMenu->DrawArea());
    return;
  }
  if (mButtonDown && mCapture) {
    mCapture->OnMouseDrag(x / mScale, y / mScale, dX, dY, mod);
    return;
  }
  if (!mButtonDown)
    updateHover(x / mScale, y / mScale, mod);
}

void IGraphics::OnMouseUp(float x, float y, const IMouseMod& mod)
{
  mLastX = x;
  mLastY = y;
  mButtonDown = false;
  const PressOwner owner = mPressOwner;
  mPressOwner = PressOwner::kNone;

  if (owner == PressOwner::kBox && !mBoxes.empty()) {
    MessageBoxPanel& box = *mBoxes.front();
    const int pressed = box.GetPressed();
    box.SetPressed(-1);
    addDirtyArea(box.Bounds());
    if (pressed >= 0 && box.ButtonAt(x, y) == pressed)
      answerBox(box.ButtonResult(pressed));
    return;
  }

  if (mCapture) {
    IControl* control = mCapture;
    mCapture = nullptr;
    control->OnMouseUp(x / mScale, y / mScale, mod);
    endInform(*control);
  }

  if (mMenu) {
    // A click inside the menu chooses at the release; so does a press that opened the menu and was
    // dragged onto an item.
    const bool opener = owner == PressOwner::kControl && mMenuOpenedByPress;
    mMenuOpenedByPress = false;
    const int item = mMenu->ItemAt(x, y);
    if (item >= 0 && (owner == PressOwner::kMenu || (opener && mPressMoved)))
      closeMenu(item);
    return;
  }
  if (mBoxes.empty())
    updateHover(x / mScale, y / mScale, mod);
}

void IGraphics::OnMouseLeave()
{
  if (mMenu && mMenu->SetHover(-1))
    addDirtyPixels(mMenu->DrawArea());
  if (!mBoxes.empty() && mBoxes.front()->SetHover(-1))
    addDirtyArea(mBoxes.front()->Bounds());
  if (!mButtonDown)
    clearHover();
}

bool IGraphics::OnMouseWheel(float x, float y, const IMouseMod& mod, float d)
{
  if (mButtonDown || mMenu || !mBoxes.empty() || d == 0.0f || !std::isfinite(d))
    return false;
  IControl* control = controlAt(x / mScale, y / mScale);
  if (!control)
    return false;
  beginInform(*control);
  control->OnMouseWheel(x / mScale, y / mScale, mod, d);
  endInform(*control);
  return true;
}

bool IGraphics::OnKeyDown(EKey key)
{
  if (!mBoxes.empty()) {
    const MessageBoxPanel& box = *mBoxes.front();
    answerBox(key == EKey::kReturn ? box.DefaultResult() : box.CancelResult());
    return true;
  }
  if (mMenu) {
    if (key == EKey::kEscape)
      closeMenu(-1);
    else if (mMenu->GetHover() >= 0)
      closeMenu(mMenu->GetHover());
    return true;
  }
  return false;
}

// ---- Frames ----

void IGraphics::addDirtyPixels(const PixelRect& area)
{
  mDirtyPixels.push_back(area);
}

void IGraphics::addDirtyArea(const IRECT& pixels)
{
  // One pixel more on every side: antialiased edges reach into it.
  mDirtyPixels.push_back(toPixels(pixels.GetPadded(1.0f), mPixelWidth, mPixelHeight));
}

ImageView IGraphics::GetImage() const
{
  if (!mSurface)
    return {};
  cairo_surface_flush(mSurface);
  return {cairo_image_surface_get_data(mSurface), cairo_image_surface_get_width(mSurface),
          cairo_image_surface_get_height(mSurface), cairo_image_surface_get_stride(mSurface)};
}

void IGraphics::UpdateFrame()
{
  if (!mSurface || cairo_surface_status(mSurface) != CAIRO_STATUS_SUCCESS)
    return;

  // Actions other threads triggered; they may mark more controls dirty.
  for (const auto& control : mControls)
    control->applyPendingAction();

  cairo_region_t* region = cairo_region_create();
  auto add = [&](const PixelRect& r) {
    if (r.w > 0 && r.h > 0) {
      const cairo_rectangle_int_t rect{r.x, r.y, r.w, r.h};
      cairo_region_union_rectangle(region, &rect);
    }
  };
  std::vector<IControl*> all;
  all.reserve(mControls.size() + 1);
  for (const auto& control : mControls)
    all.push_back(control.get());
  if (mCornerResizer)
    all.push_back(mCornerResizer.get());
  for (IControl* control : all) {
    if (control->mDirty.exchange(false, std::memory_order_relaxed)) {
      add(toPixels(control->mLastDrawnRECT.GetScaled(mScale).GetPadded(1.0f), mPixelWidth, mPixelHeight));
      add(toPixels(control->GetRECT().GetScaled(mScale).GetPadded(1.0f), mPixelWidth, mPixelHeight));
    }
  }
  if (mFullRedraw)
    add({0, 0, mPixelWidth, mPixelHeight});
  for (const PixelRect& r : mDirtyPixels)
    add(r);
  mFullRedraw = false;
  mDirtyPixels.clear();
  const cairo_rectangle_int_t whole{0, 0, mPixelWidth, mPixelHeight};
  cairo_region_intersect_rectangle(region, &whole);
  if (cairo_region_is_empty(region)) {
    cairo_region_destroy(region);
    return;
  }

  mCr = cairo_create(mSurface);
  const int nRects = cairo_region_num_rectangles(region);
  for (int i = 0; i < nRects; ++i) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(region, i, &r);
    cairo_rectangle(mCr, r.x, r.y, r.width, r.height);
  }
  cairo_clip(mCr);

  // Background, then every visible control that meets the region, in attach order.
  cairo_set_operator(mCr, CAIRO_OPERATOR_SOURCE);
  setSourceColor(mCr, kNoBackground);
  cairo_paint(mCr);
  if (mHasBackground)
    drawBitmapInto(mBackground, 1, 0.0, 0.0, mPixelWidth, mPixelHeight, 1.0f);
  for (IControl* control : all) {
    const PixelRect p = toPixels(control->GetRECT().GetScaled(mScale).GetPadded(1.0f), mPixelWidth, mPixelHeight);
    const cairo_rectangle_int_t rect{p.x, p.y, p.w, p.h};
    const bool meets = p.w > 0 && p.h > 0 && cairo_region_contains_rectangle(region, &rect) != CAIRO_REGION_OVERLAP_OUT;
    if (control->IsHidden()) {
      if (meets)
        control->mLastDrawnRECT = IRECT();
      continue;
    }
    if (!meets)
      continue;
    cairo_save(mCr);
    control->Draw(*this);
    cairo_restore(mCr);
    control->mLastDrawnRECT = control->GetRECT();
  }
  if (mMenu)
    mMenu->Draw(mCr, uiFont());
  if (!mBoxes.empty())
    mBoxes.front()->Draw(mCr, uiFont(), mPixelWidth, mPixelHeight);
  cairo_destroy(mCr);
  mCr = nullptr;
  cairo_surface_flush(mSurface);

  if (mView) {
    const ImageView image = GetImage();
    for (int i = 0; i < nRects; ++i) {
      cairo_rectangle_int_t r;
      cairo_region_get_rectangle(region, i, &r);
      mView->PresentRect(image, {r.x, r.y, r.width, r.height});
    }
  }
  cairo_region_destroy(region);
}

// ---- Drawing ----

void IGraphics::drawPlaceholder(double x0, double y0, double x1, double y1)
{
  cairo_save(mCr);
  cairo_set_operator(mCr, CAIRO_OPERATOR_OVER);
  cairo_rectangle(mCr, x0, y0, x1 - x0, y1 - y0);
  cairo_set_source_rgb(mCr, 0.2, 0.2, 0.2);
  cairo_fill_preserve(mCr);
  cairo_clip(mCr);
  const double w = std::max(1.0, std::min(x1 - x0, y1 - y0) / 16.0);
  cairo_set_line_width(mCr, w);
  cairo_set_source_rgb(mCr, 1.0, 0.0, 1.0);
  cairo_rectangle(mCr, x0 + w / 2, y0 + w / 2, x1 - x0 - w, y1 - y0 - w);
  cairo_move_to(mCr, x0, y0);
  cairo_line_to(mCr, x1, y1);
  cairo_move_to(mCr, x1, y0);
  cairo_line_to(mCr, x0, y1);
  cairo_stroke(mCr);
  cairo_restore(mCr);
}

// Frame `frame` stretched over the pixel rectangle (x0, y0) … (x1, y1), whose corners are whole
// pixels, with the current operator.
void IGraphics::drawBitmapInto(const IBitmap& bitmap, int frame, double x0, double y0, double x1, double y1,
                               float weight)
{
  if (x1 <= x0 || y1 <= y0)
    return;
  const int w = static_cast<int>(x1 - x0);
  const int h = static_cast<int>(y1 - y0);
  cairo_surface_t* surface = bitmap.GetScaledFrameSurface(frame, w, h);
  if (!surface) {
    drawPlaceholder(x0, y0, x1, y1);
    return;
  }
  // Already at its size: copied pixel for pixel.
  cairo_save(mCr);
  cairo_rectangle(mCr, x0, y0, w, h);
  cairo_clip(mCr);
  cairo_set_source_surface(mCr, surface, x0, y0);
  cairo_pattern_set_filter(cairo_get_source(mCr), CAIRO_FILTER_NEAREST);
  if (weight >= 1.0f)
    cairo_paint(mCr);
  else
    cairo_paint_with_alpha(mCr, weight);
  cairo_restore(mCr);
}

void IGraphics::DrawBitmap(const IBitmap& bitmap, const IRECT& bounds, int frame, const IBlend* blend)
{
  if (!mCr)
    return;
  // Whole pixels at both ends keep the artwork's edges sharp and neighbouring pieces seamless.
  const double x0 = std::round(bounds.L * mScale);
  const double y0 = std::round(bounds.T * mScale);
  const double x1 = std::round((bounds.L + static_cast<float>(bitmap.FW())) * mScale);
  const double y1 = std::round((bounds.T + static_cast<float>(bitmap.FH())) * mScale);
  cairo_save(mCr);
  cairo_rectangle(mCr, std::round(bounds.L * mScale), std::round(bounds.T * mScale),
                  std::round(bounds.R * mScale) - std::round(bounds.L * mScale),
                  std::round(bounds.B * mScale) - std::round(bounds.T * mScale));
  cairo_clip(mCr);
  const float weight = applyBlend(mCr, blend);
  drawBitmapInto(bitmap, frame, x0, y0, x1, y1, weight);
  cairo_restore(mCr);
}

float IGraphics::MeasureText(const IText& text, const char* str)
{
  return measureText(fontFor(text.mFont), str ? str : "", text.mSize * mScale) / mScale;
}

void IGraphics::DrawText(const IText& text, const char* str, const IRECT& bounds, const IBlend* blend)
{
  if (!mCr || !str || !*str)
    return;
  const Font* font = fontFor(text.mFont);
  const float px = text.mSize * mScale;
  const float w = measureText(font, str, px);
  const IRECT r = bounds.GetScaled(mScale);
  float x = r.L;
  if (text.mAlign == EAlign::kCenter)
    x = r.MW() - 0.5f * w;
  else if (text.mAlign == EAlign::kFar)
    x = r.R - w;
  float y = r.MH() + 0.5f * capHeight(font, px);
  if (text.mVAlign == EVAlign::kTop)
    y = r.T + ascent(font, px);
  else if (text.mVAlign == EVAlign::kBottom)
    y = r.B - descent(font, px);
  cairo_save(mCr);
  const float weight = applyBlend(mCr, blend);
  setSourceColor(mCr, text.mFGColor, weight);
  drawText(mCr, font, str, x, y, px);
  cairo_restore(mCr);
}

void IGraphics::DrawLine(const IColor& color, float x1, float y1, float x2, float y2, const IBlend* blend,
                         float thickness)
{
  if (!mCr)
    return;
  cairo_save(mCr);
  const float weight = applyBlend(mCr, blend);
  setSourceColor(mCr, color, weight);
  // Thinner than a pixel would only fade the line.
  cairo_set_line_width(mCr, std::max(1.0, static_cast<double>(thickness) * mScale));
  cairo_move_to(mCr, x1 * mScale, y1 * mScale);
  cairo_line_to(mCr, x2 * mScale, y2 * mScale);
  cairo_stroke(mCr);
  cairo_restore(mCr);
}

void IGraphics::FillRect(const IColor& color, const IRECT& bounds, const IBlend* blend)
{
  if (!mCr)
    return;
  const double l = std::round(bounds.L * mScale);
  const double t = std::round(bounds.T * mScale);
  const double r = std::round(bounds.R * mScale);
  const double b = std::round(bounds.B * mScale);
  if (r <= l || b <= t)
    return;
  cairo_save(mCr);
  const float weight = applyBlend(mCr, blend);
  setSourceColor(mCr, color, weight);
  cairo_rectangle(mCr, l, t, r - l, b - t);
  cairo_fill(mCr);
  cairo_restore(mCr);
}

void IGraphics::FillTriangle(const IColor& color, float x1, float y1, float x2, float y2, float x3, float y3,
                             const IBlend* blend)
{
  if (!mCr)
    return;
  cairo_save(mCr);
  const float weight = applyBlend(mCr, blend);
  setSourceColor(mCr, color, weight);
  cairo_move_to(mCr, x1 * mScale, y1 * mScale);
  cairo_line_to(mCr, x2 * mScale, y2 * mScale);
  cairo_line_to(mCr, x3 * mScale, y3 * mScale);
  cairo_close_path(mCr);
  cairo_fill(mCr);
  cairo_restore(mCr);
}

} // namespace plug::graphics
