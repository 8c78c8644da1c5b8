// SPDX-License-Identifier: ISC
#include "apps/quennet-jack/EditorTopLevel.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

#include "framework/IPlugin.h"
#include "graphics/EditorWindow.h"
#include "graphics/IGraphics.h"
#include "platform/X11ErrorTrap.h"
#include "platform/X11View.h"

namespace jack_app {

std::unique_ptr<EditorTopLevel> EditorTopLevel::Open(plug::IPlugin& plugin)
{
  Display* probe = XOpenDisplay(nullptr);
  if (!probe)
    return nullptr;
  const unsigned long root = DefaultRootWindow(probe);
  XCloseDisplay(probe);

  std::unique_ptr<EditorTopLevel> top(new EditorTopLevel());
  // A child of the root window is a top-level window.
  top->mView = plug::X11View::Create(root);
  if (!top->mView)
    return nullptr;
  top->mWindow = plug::graphics::EditorWindow::Open(plugin, *top->mView);
  if (!top->mWindow)
    return nullptr;
  top->mView->Attach(&top->mWindow->Graphics());

  Display* display = top->mView->GetDisplay();
  const ::Window window = top->mView->GetWindow();
  plug::X11ErrorTrap::Scope scope;
  XStoreName(display, window, kTitle);
  const unsigned char* title = reinterpret_cast<const unsigned char*>(kTitle);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace, title,
                  static_cast<int>(std::strlen(kTitle)));
  XClassHint* classHint = XAllocClassHint();
  if (classHint) {
    classHint->res_name = const_cast<char*>("quennet-jack");
    classHint->res_class = const_cast<char*>("Quennet");
    XSetClassHint(display, window, classHint);
    XFree(classHint);
  }
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &deleteWindow, 1);
  top->mDeleteWindow = deleteWindow;
  top->mView->Map();
  return top;
}

EditorTopLevel::~EditorTopLevel()
{
  if (mView)
    mView->Attach(nullptr);
  mWindow.reset();
  mView.reset();
}

int EditorTopLevel::ConnectionFd() const
{
  return ::XConnectionNumber(mView->GetDisplay());
}

bool EditorTopLevel::ProcessEvents()
{
  Display* display = mView->GetDisplay();
  {
    plug::X11ErrorTrap::Scope scope;
    XPending(display); // reads what the server sent
    // The view ignores client messages: the close button's is taken here first.
    XEvent event;
    while (XCheckTypedWindowEvent(display, mView->GetWindow(), ClientMessage, &event))
      if (static_cast<unsigned long>(event.xclient.data.l[0]) == mDeleteWindow)
        mClosed = true;
  }
  return !mClosed && mView->ProcessEvents();
}

} // namespace jack_app
