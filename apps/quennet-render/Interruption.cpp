// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Interruption.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "apps/quennet-render/Errors.h"

namespace render {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSlots = 4;

// Written only while interrupts are deferred, read only by the handler.
struct Temporary {
  std::atomic<bool> used{false};
  char path[PATH_MAX] = {};
};
Temporary gTemporaries[kSlots];

constexpr char kPrefix[] = "quennet-render: interrupted";
char gMessage[8192] = "quennet-render: interrupted\n";
std::atomic<std::size_t> gMessageLength{sizeof kPrefix}; // with the line break

std::atomic<bool> gProgressShown{false};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<std::size_t>::is_always_lock_free,
              "read in a signal handler");

sigset_t interruptSignals()
{
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals)
    sigaddset(&set, signal);
  return set;
}

void writeAll(const char* text, std::size_t length)
{
  while (length > 0) {
    const ssize_t written = ::write(STDERR_FILENO, text, length);
    if (written <= 0)
      return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

void handleInterrupt(int)
{
  for (Temporary& temporary : gTemporaries)
    if (temporary.used.load())
      ::unlink(temporary.path);
  if (gProgressShown.load()) {
    static const char kClear[] = "\r\033[K";
    writeAll(kClear, sizeof kClear - 1);
  }
  writeAll(gMessage, gMessageLength.load());
  ::_exit(kExitRenderFailure);
}

} // namespace

void installInterruptHandlers()
{
  struct sigaction action {};
  action.sa_handler = &handleInterrupt;
  action.sa_mask = interruptSignals(); // one handler at a time
  action.sa_flags = 0;
  for (int signal : kSignals)
    ::sigaction(signal, &action, nullptr);
}

void setInterruptNote(const std::string& note)
{
  std::string message = kPrefix;
  if (!note.empty())
    message += "; " + note;
  message.resize(std::min(message.size(), sizeof gMessage - 1));
  message += '\n';
  DeferInterrupts defer;
  std::memcpy(gMessage, message.data(), message.size());
  gMessageLength.store(message.size());
}

int removeOnInterrupt(const std::string& path)
{
  if (path.size() >= PATH_MAX)
    throw RenderFailure("the temporary file name " + inQuotes(path) + " is too long");
  DeferInterrupts defer;
  for (int slot = 0; slot < kSlots; ++slot) {
    Temporary& temporary = gTemporaries[slot];
    if (!temporary.used.load()) {
      std::memcpy(temporary.path, path.c_str(), path.size() + 1);
      temporary.used.store(true);
      return slot;
    }
  }
  throw RenderFailure("too many files at once");
}

void forgetOnInterrupt(int slot)
{
  if (slot >= 0 && slot < kSlots)
    gTemporaries[slot].used.store(false);
}

void setProgressLineShown(bool shown)
{
  gProgressShown.store(shown);
}

DeferInterrupts::DeferInterrupts()
{
  const sigset_t signals = interruptSignals();
  ::sigprocmask(SIG_BLOCK, &signals, &mPrevious);
}

DeferInterrupts::~DeferInterrupts()
{
  ::sigprocmask(SIG_SETMASK, &mPrevious, nullptr);
}

void holdInterruptsUntilExit()
{
  const sigset_t signals = interruptSignals();
  ::sigprocmask(SIG_BLOCK, &signals, nullptr);
}

} // namespace render
