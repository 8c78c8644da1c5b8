// SPDX-License-Identifier: ISC
#include "platform/BrowserLauncher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <vector>

extern char** environ;

namespace plug {

namespace {

// Children started and not yet collected.
std::mutex& childrenMutex()
{
  static std::mutex mutex;
  return mutex;
}

std::vector<pid_t>& children()
{
  static std::vector<pid_t> list;
  return list;
}

bool startsWithNoCase(const char* text, const char* prefix)
{
  for (; *prefix; ++text, ++prefix)
    if (*text == '\0' || (*text | 0x20) != *prefix)
      return false;
  return true;
}

// RAII for the spawn attributes and file actions, so every return path frees them.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  bool ok = false;

  SpawnSetup()
  {
    if (posix_spawnattr_init(&attributes) != 0)
      return;
    if (posix_spawn_file_actions_init(&actions) != 0) {
      posix_spawnattr_destroy(&attributes);
      return;
    }
    ok = true;
  }
  ~SpawnSetup()
  {
    if (ok) {
      posix_spawn_file_actions_destroy(&actions);
      posix_spawnattr_destroy(&attributes);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

bool BrowserLauncher::IsWebAddress(const char* url)
{
  if (!url)
    return false;
  const std::size_t length = std::strlen(url);
  if (length > kMaxLength)
    return false;
  // Printable ASCII only: no spaces, no control characters, nothing a terminal or a desktop file
  // parser could read as something else. Addresses with other characters come percent-encoded.
  if (!std::all_of(url, url + length, [](char c) { return c > ' ' && c < 0x7F; }))
    return false;
  std::size_t schemeLength = 0;
  if (startsWithNoCase(url, "https://"))
    schemeLength = 8;
  else if (startsWithNoCase(url, "http://"))
    schemeLength = 7;
  else
    return false;
  // A host: something before the first '/', '?' or '#'.
  const char* host = url + schemeLength;
  return *host != '\0' && *host != '/' && *host != '?' && *host != '#';
}

bool BrowserLauncher::Open(const char* url)
{
  ReapFinished();
  if (!IsWebAddress(url))
    return false;

  SpawnSetup setup;
  if (!setup.ok)
    return false;
  // The host may block or ignore signals on its user-interface thread: the browser must not
  // inherit that. Its own session keeps it alive when the host's terminal goes.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID;
  if (posix_spawnattr_setflags(&setup.attributes, flags) != 0 ||
      posix_spawnattr_setsigmask(&setup.attributes, &none) != 0 ||
      posix_spawnattr_setsigdefault(&setup.attributes, &all) != 0)
    return false;
  // Nothing to read; and none of the host's files, sockets or pipes beyond the standard three.
  if (posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3) != 0)
    return false;

  std::vector<char> program(mProgram.begin(), mProgram.end());
  program.push_back('\0');
  std::vector<char> address(url, url + std::strlen(url) + 1);
  char* const argv[] = {program.data(), address.data(), nullptr};
  // The lock also keeps a concurrent ReapFinished from missing a child that is being added.
  std::lock_guard lock(childrenMutex());
  pid_t pid = -1;
  if (posix_spawnp(&pid, program.data(), &setup.actions, &setup.attributes, argv, environ) != 0)
    return false;
  children().push_back(pid);
  return true;
}

int BrowserLauncher::ReapFinished()
{
  std::lock_guard lock(childrenMutex());
  std::erase_if(children(), [](pid_t pid) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    // Finished, or already collected by a host that reaps every child itself (or ignores SIGCHLD).
    return result == pid || (result < 0 && errno == ECHILD);
  });
  return static_cast<int>(children().size());
}

} // namespace plug
