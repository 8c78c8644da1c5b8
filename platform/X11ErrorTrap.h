// SPDX-License-Identifier: ISC
#pragma once

#include <X11/Xlib.h>

namespace plug {

// Xlib hands protocol errors to one handler for the whole process, and its default handler ends
// the process. An editor window lives in the host's process, and the host may destroy the window
// the editor sits in before it closes the editor: a request on the vanished window must not take
// the host down.
//
// Each connection of ours is registered. While a Scope exists the process's handler is ours: an
// error on a registered connection is counted for that connection and otherwise ignored; an error
// on any other connection (the host's) goes to the handler that was there before. Xlib reports
// errors only from inside calls on their connection, so a connection whose calls all happen inside
// a scope never reaches the default handler. Scopes nest; the previous handler is back when the
// outermost ends.
//
// User-interface thread (the registry is locked: several editors may live on different threads).
class X11ErrorTrap {
public:
  static void Register(Display* display);
  static void Unregister(Display* display);

  // Errors reported on the connection since it was registered, and the last of them.
  struct Record {
    int count = 0;
    unsigned char errorCode = 0;
    XID resource = 0;
  };
  static Record ErrorsOn(Display* display);

  class Scope {
  public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
  };
};

} // namespace plug
