// SPDX-License-Identifier: ISC
#pragma once

// What a test sees of a real host's window on a private X server: a window's picture (XGetImage,
// as 0xRRGGBB), and the window of a given size somewhere below another.

#include "EditorTwin.h"

// Xlib last: its macros (None, Bool) break C++ headers included after it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace host_pictures {

inline ScreenGrab grabWindow(Display* display, ::Window window, int width, int height)
{
  ScreenGrab grab;
  XImage* image =
    XGetImage(display, window, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image)
    return grab;
  grab.width = width;
  grab.height = height;
  grab.pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      grab.pixels[static_cast<size_t>(y) * width + x] = static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xFFFFFF);
  XDestroyImage(image);
  return grab;
}

// A viewable window of exactly this size below `from` (depth first), or 0.
inline ::Window findWindowOfSize(Display* display, ::Window from, int width, int height)
{
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(display, from, &root, &parent, &children, &n))
    return 0;
  ::Window found = 0;
  for (unsigned i = n; i-- > 0 && !found;) {
    XWindowAttributes a{};
    if (XGetWindowAttributes(display, children[i], &a) && a.map_state == IsViewable) {
      if (a.width == width && a.height == height)
        found = children[i];
      else
        found = findWindowOfSize(display, children[i], width, height);
    }
  }
  if (children)
    XFree(children);
  return found;
}

} // namespace host_pictures
