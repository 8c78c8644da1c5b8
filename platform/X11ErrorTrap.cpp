// SPDX-License-Identifier: ISC
#include "platform/X11ErrorTrap.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace plug {

namespace {

using Handler = int (*)(Display*, XErrorEvent*);

struct TrapState {
  std::mutex mutex;
  std::vector<std::pair<Display*, X11ErrorTrap::Record>> displays;
  int depth = 0;
  Handler previous = nullptr;
};

TrapState& state()
{
  static TrapState s;
  return s;
}

int handleError(Display* display, XErrorEvent* error)
{
  Handler previous = nullptr;
  {
    TrapState& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& [d, record] : s.displays)
      if (d == display) {
        ++record.count;
        record.errorCode = error->error_code;
        record.resource = error->resourceid;
        return 0;
      }
    previous = s.previous;
  }
  return previous ? previous(display, error) : 0;
}

} // namespace

void X11ErrorTrap::Register(Display* display)
{
  TrapState& s = state();
  std::lock_guard lock(s.mutex);
  s.displays.emplace_back(display, Record{});
}

void X11ErrorTrap::Unregister(Display* display)
{
  TrapState& s = state();
  std::lock_guard lock(s.mutex);
  std::erase_if(s.displays, [display](const auto& entry) { return entry.first == display; });
}

X11ErrorTrap::Record X11ErrorTrap::ErrorsOn(Display* display)
{
  TrapState& s = state();
  std::lock_guard lock(s.mutex);
  for (const auto& [d, record] : s.displays)
    if (d == display)
      return record;
  return {};
}

X11ErrorTrap::Scope::Scope()
{
  TrapState& s = state();
  std::lock_guard lock(s.mutex);
  if (s.depth++ == 0)
    s.previous = XSetErrorHandler(handleError);
}

X11ErrorTrap::Scope::~Scope()
{
  TrapState& s = state();
  std::lock_guard lock(s.mutex);
  if (--s.depth == 0) {
    XSetErrorHandler(s.previous);
    s.previous = nullptr;
  }
}

} // namespace plug
