// SPDX-License-Identifier: ISC
#include "framework/VST3/VST3View.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "framework/VST3/IPluginVST3.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "base/RunLoop.h"
#include "platform/X11View.h"

namespace plug::vst3 {

namespace {

// The editor's 20 ms timer.
constexpr std::uint64_t kTimerMs = 20;

VST3View& viewOf(void* self)
{
  return OwnerOf<VST3View>(self);
}

v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** obj)
{
  return viewOf(self).QueryInterface(iid, obj);
}
std::uint32_t V3_API ref(void* self)
{
  return viewOf(self).Ref();
}
std::uint32_t V3_API unref(void* self)
{
  return viewOf(self).Unref();
}

// Calls made by a host may not throw into it.
template <typename Fn>
v3_result guarded(Fn&& fn)
{
  try {
    return fn();
  } catch (...) {
    return V3_INTERNAL_ERR;
  }
}

v3_result V3_API isPlatformTypeSupported(void* self, const char* type)
{
  return viewOf(self).IsPlatformTypeSupported(type);
}
v3_result V3_API attached(void* self, void* parent, const char* type)
{
  return guarded([&] { return viewOf(self).Attached(parent, type); });
}
v3_result V3_API removed(void* self)
{
  return guarded([&] { return viewOf(self).Removed(); });
}
v3_result V3_API onWheel(void*, float)
{
  return V3_FALSE; // the window gets the wheel from the X server
}
v3_result V3_API onKey(void*, std::int16_t, std::int16_t, std::int16_t)
{
  return V3_FALSE; // keys stay the host's, as with the LV2 editor
}
v3_result V3_API getSize(void* self, v3_view_rect* rect)
{
  return viewOf(self).GetSize(rect);
}
v3_result V3_API onSize(void* self, v3_view_rect* rect)
{
  return guarded([&] { return viewOf(self).OnSize(rect); });
}
v3_result V3_API onFocus(void*, v3_bool)
{
  return V3_OK;
}
v3_result V3_API setFrame(void* self, v3_plugin_frame** frame)
{
  return viewOf(self).SetFrame(frame);
}
v3_result V3_API canResize(void*)
{
  return V3_OK;
}
v3_result V3_API checkSizeConstraint(void* self, v3_view_rect* rect)
{
  return viewOf(self).CheckSizeConstraint(rect);
}
void V3_API onTimer(void* self)
{
  try {
    viewOf(self).OnTimer();
  } catch (...) {
  }
}
void V3_API onFdIsSet(void* self, int fd)
{
  try {
    viewOf(self).OnFdIsSet(fd);
  } catch (...) {
  }
}

const v3_plugin_view_cpp kViewTable = {
  {queryInterface, ref, unref},
  {isPlatformTypeSupported, attached, removed, onWheel, onKey, onKey, getSize, onSize, onFocus, setFrame, canResize,
   checkSizeConstraint},
};

const v3_timer_handler_cpp kTimerTable = {
  {queryInterface, ref, unref},
  {onTimer},
};

const v3_event_handler_cpp kEventsTable = {
  {queryInterface, ref, unref},
  {onFdIsSet},
};

int widthOf(const v3_view_rect& rect)
{
  return rect.right - rect.left;
}

int heightOf(const v3_view_rect& rect)
{
  return rect.bottom - rect.top;
}

} // namespace

v3_plugin_view** VST3View::Create(IPluginVST3& bridge)
{
  auto* view = new VST3View(bridge);
  return reinterpret_cast<v3_plugin_view**>(&view->mView);
}

VST3View::VST3View(IPluginVST3& bridge)
    : mView{&kViewTable, this}, mTimer{&kTimerTable, this}, mEvents{&kEventsTable, this}, mBridge(bridge)
{
  mBridge.Ref();
  // Until the editor opens: the size of the last editor that closed, or the plug-in's own.
  const IEditorDelegate::EditorSize& last = mBridge.Plug().GetLastEditorSize();
  if (last.scale > 0.0f) {
    mWidth = static_cast<int>(std::lround(last.width * last.scale));
    mHeight = static_cast<int>(std::lround(last.height * last.scale));
  } else {
    mWidth = PlugConfig().plugWidth;
    mHeight = PlugConfig().plugHeight;
  }
}

VST3View::~VST3View()
{
  Removed();
  if (mFrame)
    v3_cpp_obj_unref(mFrame);
  mBridge.Unref();
}

v3_result VST3View::QueryInterface(const v3_tuid iid, void** obj)
{
  if (!obj)
    return V3_INVALID_ARG;
  *obj = nullptr;
  if (!iid)
    return V3_NO_INTERFACE;
  if (SameIid(iid, v3_funknown_iid) || SameIid(iid, v3_plugin_view_iid))
    *obj = &mView;
  else if (SameIid(iid, v3_timer_handler_iid))
    *obj = &mTimer;
  else if (SameIid(iid, v3_event_handler_iid))
    *obj = &mEvents;
  if (!*obj)
    return V3_NO_INTERFACE;
  Ref();
  return V3_OK;
}

v3_result VST3View::IsPlatformTypeSupported(const char* type) const
{
  return type && std::strcmp(type, V3_VIEW_PLATFORM_TYPE_X11) == 0 ? V3_OK : V3_FALSE;
}

v3_result VST3View::Attached(void* parent, const char* type)
{
  if (!parent || IsPlatformTypeSupported(type) != V3_OK)
    return V3_INVALID_ARG;
  if (mX11)
    return V3_FALSE; // attached already
  // The host's run loop comes with its frame; without it nothing would draw or take input.
  v3_run_loop** runLoop = nullptr;
  if (!mFrame || v3_cpp_obj_query_interface(mFrame, v3_run_loop_iid, &runLoop) != V3_OK || !runLoop)
    return V3_FALSE;

  std::unique_ptr<X11View> x11 = X11View::Create(reinterpret_cast<std::uintptr_t>(parent));
  if (!x11) {
    v3_cpp_obj_unref(runLoop);
    return V3_FALSE;
  }
  mWindow = graphics::EditorWindow::Open(mBridge.Plug(), *x11);
  if (!mWindow) {
    v3_cpp_obj_unref(runLoop);
    return V3_FALSE;
  }
  mX11 = std::move(x11);
  mRunLoop = runLoop;
  mX11->Attach(&mWindow->Graphics());
  mX11->SetSizeListener([this](int width, int height) { editorResized(width, height); });
  mX11->Map();

  v3_run_loop* loop = v3_cpp_obj(mRunLoop);
  mTimerRegistered = loop->register_timer(mRunLoop, reinterpret_cast<v3_timer_handler**>(&mTimer), kTimerMs) == V3_OK;
  mDescriptor = ConnectionNumber(mX11->GetDisplay());
  mEventsRegistered =
    loop->register_event_handler(mRunLoop, reinterpret_cast<v3_event_handler**>(&mEvents), mDescriptor) == V3_OK;

  // The editor opens at its own size (the preferred scale): the host hears of it when that is not
  // the size it asked for.
  const graphics::IGraphics& g = mWindow->Graphics();
  if (g.WindowWidth() != mWidth || g.WindowHeight() != mHeight)
    editorResized(g.WindowWidth(), g.WindowHeight());
  return V3_OK;
}

v3_result VST3View::Removed()
{
  if (mRunLoop) {
    v3_run_loop* loop = v3_cpp_obj(mRunLoop);
    if (mTimerRegistered)
      loop->unregister_timer(mRunLoop, reinterpret_cast<v3_timer_handler**>(&mTimer));
    if (mEventsRegistered)
      loop->unregister_event_handler(mRunLoop, reinterpret_cast<v3_event_handler**>(&mEvents));
    mTimerRegistered = mEventsRegistered = false;
    v3_cpp_obj_unref(mRunLoop);
    mRunLoop = nullptr;
  }
  closeEditor();
  return V3_OK;
}

void VST3View::closeEditor()
{
  if (mX11)
    mX11->Attach(nullptr);
  // Detaches the editor from the plug-in, which drops its references to the controls.
  mWindow.reset();
  mX11.reset();
  mDescriptor = -1;
}

v3_result VST3View::GetSize(v3_view_rect* rect) const
{
  if (!rect)
    return V3_INVALID_ARG;
  // Open: the editor's picture, which the window may exceed where a host gave it other proportions.
  const int width = mWindow ? mWindow->Graphics().WindowWidth() : mWidth;
  const int height = mWindow ? mWindow->Graphics().WindowHeight() : mHeight;
  *rect = v3_view_rect{0, 0, width, height};
  return V3_OK;
}

v3_result VST3View::OnSize(const v3_view_rect* rect)
{
  if (!rect)
    return V3_INVALID_ARG;
  const int width = widthOf(*rect);
  const int height = heightOf(*rect);
  if (width < 1 || height < 1)
    return V3_INVALID_ARG;
  mWidth = width;
  mHeight = height;
  if (mX11 && !mAskingHost)
    mX11->SetSizeFromHost(width, height);
  return V3_OK;
}

v3_result VST3View::SetFrame(v3_plugin_frame** frame)
{
  if (frame)
    v3_cpp_obj_ref(frame);
  if (mFrame)
    v3_cpp_obj_unref(mFrame);
  mFrame = frame;
  return V3_OK;
}

v3_result VST3View::CheckSizeConstraint(v3_view_rect* rect) const
{
  if (!rect)
    return V3_INVALID_ARG;
  if (!mWindow)
    return V3_OK;
  // The editor keeps its proportions, within its scale limits.
  const graphics::IGraphics& g = mWindow->Graphics();
  const float scale =
    ScaleToFit(widthOf(*rect), heightOf(*rect), g.Width(), g.Height(), g.GetMinScale(), g.GetMaxScale());
  rect->right = rect->left + static_cast<int>(std::lround(g.Width() * scale));
  rect->bottom = rect->top + static_cast<int>(std::lround(g.Height() * scale));
  return V3_OK;
}

void VST3View::editorResized(int width, int height)
{
  mWidth = width;
  mHeight = height;
  if (!mFrame || mAskingHost)
    return;
  // The host may call onSize before resizeView returns: that is this size coming back.
  mAskingHost = true;
  v3_view_rect rect{0, 0, width, height};
  v3_cpp_obj(mFrame)->resize_view(mFrame, reinterpret_cast<v3_plugin_view**>(&mView), &rect);
  mAskingHost = false;
}

void VST3View::OnTimer()
{
  // A window gone with the host's stays quiet until the host removes the view.
  if (mX11 && !mX11->WindowGone())
    mX11->ProcessEvents();
  // Every instance's 20 ms timer and every open editor's frames live on this loop.
  RunLoop::Main().Pump();
}

void VST3View::OnFdIsSet(int)
{
  if (mX11 && !mX11->WindowGone())
    mX11->ProcessEvents();
}

} // namespace plug::vst3
