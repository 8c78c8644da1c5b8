// SPDX-License-Identifier: ISC
#include "framework/CLAP/ClapEditor.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <clap/ext/timer-support.h>

#include "framework/CLAP/IPluginCLAP.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "base/RunLoop.h"
#include "platform/X11ErrorTrap.h"
#include "platform/X11View.h"

namespace plug::clap {

namespace {

// The root window of the display: the editor's window waits there, unmapped, for its parent.
unsigned long rootWindow()
{
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    return 0;
  const unsigned long root = DefaultRootWindow(display);
  XCloseDisplay(display);
  return root;
}

} // namespace

std::unique_ptr<ClapEditor> ClapEditor::Create(IPluginCLAP& bridge)
{
  // Without the host's timer nothing would ever draw the editor or handle its input.
  const auto* timers = bridge.HostExtension<clap_host_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
  if (!timers || !timers->register_timer || !bridge.GetPlug())
    return nullptr;
  const unsigned long root = rootWindow();
  if (root == 0)
    return nullptr;
  std::unique_ptr<X11View> view = X11View::Create(root);
  if (!view)
    return nullptr;
  std::unique_ptr<ClapEditor> editor(new ClapEditor(bridge));
  editor->mView = std::move(view);
  editor->mView->SetSizeListener([&bridge](int width, int height) {
    // The editor keeps its new size whatever the host answers.
    if (const auto* gui = bridge.HostExtension<clap_host_gui_t>(CLAP_EXT_GUI); gui && gui->request_resize)
      gui->request_resize(bridge.Host(), static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  });
  editor->mWindow = graphics::EditorWindow::Open(*bridge.GetPlug(), *editor->mView);
  if (!editor->mWindow)
    return nullptr;
  editor->mView->Attach(&editor->mWindow->Graphics());
  bridge.WatchEditorConnection(ConnectionNumber(editor->mView->GetDisplay()));
  return editor;
}

ClapEditor::ClapEditor(IPluginCLAP& bridge) : mBridge(bridge)
{
}

ClapEditor::~ClapEditor()
{
  mBridge.WatchEditorConnection(-1);
  closeEditor();
  mView.reset();
}

void ClapEditor::closeEditor()
{
  if (mView)
    mView->Attach(nullptr);
  // Detaches the editor from the plug-in, which drops its references to the controls.
  mWindow.reset();
}

bool ClapEditor::SetParent(unsigned long parent)
{
  if (!mView || mView->WindowGone() || parent == 0)
    return false;
  Display* display = mView->GetDisplay();
  X11ErrorTrap::Scope scope;
  const int errorsBefore = X11ErrorTrap::ErrorsOn(display).count;
  XReparentWindow(display, mView->GetWindow(), parent, 0, 0);
  XSync(display, False);
  // A parent that does not exist is a trapped BadWindow: the window stays where it was.
  return X11ErrorTrap::ErrorsOn(display).count == errorsBefore;
}

bool ClapEditor::Show()
{
  if (!mView || mView->WindowGone())
    return false;
  mView->Map();
  return true;
}

bool ClapEditor::Hide()
{
  if (!mView || mView->WindowGone())
    return false;
  X11ErrorTrap::Scope scope;
  XUnmapWindow(mView->GetDisplay(), mView->GetWindow());
  XFlush(mView->GetDisplay());
  return true;
}

void ClapEditor::Size(std::uint32_t& width, std::uint32_t& height) const
{
  const graphics::IGraphics& g = mWindow->Graphics();
  width = static_cast<std::uint32_t>(std::max(1, g.WindowWidth()));
  height = static_cast<std::uint32_t>(std::max(1, g.WindowHeight()));
}

void ClapEditor::AdjustSize(std::uint32_t& width, std::uint32_t& height) const
{
  // The size of the editor at the scale that fits the host's size.
  const graphics::IGraphics& g = mWindow->Graphics();
  const float scale = ScaleToFit(static_cast<int>(std::min<std::uint32_t>(width, 1u << 20)),
                                 static_cast<int>(std::min<std::uint32_t>(height, 1u << 20)), g.Width(), g.Height(),
                                 g.GetMinScale(), g.GetMaxScale());
  width = static_cast<std::uint32_t>(std::max(1L, std::lround(static_cast<double>(g.Width()) * scale)));
  height = static_cast<std::uint32_t>(std::max(1L, std::lround(static_cast<double>(g.Height()) * scale)));
}

bool ClapEditor::SetSize(std::uint32_t width, std::uint32_t height)
{
  if (!mView || mView->WindowGone() || width < 1 || height < 1 || width > (1u << 16) || height > (1u << 16))
    return false;
  mView->SetSizeFromHost(static_cast<int>(width), static_cast<int>(height));
  return true;
}

void ClapEditor::ResizeHints(clap_gui_resize_hints_t& hints) const
{
  const graphics::IGraphics& g = mWindow->Graphics();
  hints.can_resize_horizontally = true;
  hints.can_resize_vertically = true;
  hints.preserve_aspect_ratio = true;
  hints.aspect_ratio_width = static_cast<std::uint32_t>(g.Width());
  hints.aspect_ratio_height = static_cast<std::uint32_t>(g.Height());
}

void ClapEditor::ProcessEvents()
{
  if (mWindow && mView && !mView->ProcessEvents()) {
    closeEditor(); // the window went with the host's
    if (const auto* gui = mBridge.HostExtension<clap_host_gui_t>(CLAP_EXT_GUI); gui && gui->closed)
      gui->closed(mBridge.Host(), true);
  }
}

void ClapEditor::Idle()
{
  ProcessEvents();
  // Every instance's 20 ms timer and every open editor's frames live on this loop.
  RunLoop::Main().Pump();
}

// The extension.

namespace {

IPluginCLAP& bridge(const clap_plugin_t* plugin)
{
  return *IPluginCLAP::From(plugin);
}

// The editor of an instance, when it is open and whole.
ClapEditor* openEditor(const clap_plugin_t* plugin)
{
  ClapEditor* editor = bridge(plugin).Editor();
  return editor && editor->Window() ? editor : nullptr;
}

bool supportedApi(const char* api, bool floating)
{
  return api && std::strcmp(api, CLAP_WINDOW_API_X11) == 0 && !floating;
}

template <typename Fn>
bool guarded(Fn&& fn)
{
  try {
    return fn();
  } catch (...) {
    return false; // nothing may escape into the host
  }
}

const clap_plugin_gui_t kGui = {
  [](const clap_plugin_t*, const char* api, bool floating) { return supportedApi(api, floating); },
  [](const clap_plugin_t*, const char** api, bool* floating) {
    if (!api || !floating)
      return false;
    *api = CLAP_WINDOW_API_X11;
    *floating = false;
    return true;
  },
  [](const clap_plugin_t* p, const char* api, bool floating) {
    return guarded([&] {
      if (!supportedApi(api, floating) || bridge(p).Editor())
        return false;
      bridge(p).SetEditor(ClapEditor::Create(bridge(p)));
      return bridge(p).Editor() != nullptr;
    });
  },
  [](const clap_plugin_t* p) {
    guarded([&] {
      bridge(p).SetEditor(nullptr);
      return true;
    });
  },
  // The editor has scales of its own (its size menu): the host's is not taken.
  [](const clap_plugin_t*, double) { return false; },
  [](const clap_plugin_t* p, std::uint32_t* width, std::uint32_t* height) {
    ClapEditor* editor = openEditor(p);
    if (!editor || !width || !height)
      return false;
    editor->Size(*width, *height);
    return true;
  },
  [](const clap_plugin_t*) { return true; },
  [](const clap_plugin_t* p, clap_gui_resize_hints_t* hints) {
    ClapEditor* editor = openEditor(p);
    if (!editor || !hints)
      return false;
    editor->ResizeHints(*hints);
    return true;
  },
  [](const clap_plugin_t* p, std::uint32_t* width, std::uint32_t* height) {
    ClapEditor* editor = openEditor(p);
    if (!editor || !width || !height)
      return false;
    editor->AdjustSize(*width, *height);
    return true;
  },
  [](const clap_plugin_t* p, std::uint32_t width, std::uint32_t height) {
    return guarded([&] {
      ClapEditor* editor = openEditor(p);
      return editor && editor->SetSize(width, height);
    });
  },
  [](const clap_plugin_t* p, const clap_window_t* window) {
    return guarded([&] {
      ClapEditor* editor = openEditor(p);
      return editor && window && supportedApi(window->api, false) && editor->SetParent(window->x11);
    });
  },
  // Embedded only: no transient windows, no titles.
  [](const clap_plugin_t*, const clap_window_t*) { return false; },
  [](const clap_plugin_t*, const char*) {},
  [](const clap_plugin_t* p) {
    return guarded([&] {
      ClapEditor* editor = openEditor(p);
      return editor && editor->Show();
    });
  },
  [](const clap_plugin_t* p) {
    return guarded([&] {
      ClapEditor* editor = openEditor(p);
      return editor && editor->Hide();
    });
  },
};

} // namespace

const clap_plugin_gui_t* ClapEditor::Extension()
{
  return &kGui;
}

} // namespace plug::clap
