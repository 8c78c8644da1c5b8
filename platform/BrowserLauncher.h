// SPDX-License-Identifier: ISC
#pragma once

#include <string>
#include <sys/types.h>

namespace plug {

// Hands web pages to the desktop's browser: `xdg-open ADDRESS`, started with posix_spawn (no shell
// ever sees the address) in a session of its own, with default signal handling and none of the
// host's file descriptors beyond standard input, output and error. Opening never waits for the
// program: its exit is collected later by ReapFinished, which every open and every editor idle call
// runs, so no finished child stays a zombie.
//
// Only http and https addresses are handed on: anything else (file:, javascript:, a bare word, text
// with spaces or control characters) is refused, since xdg-open would happily open local files and
// programs.
//
// User-interface thread; the list of running children is process-wide and locked, so launches from
// several editors are all collected.
class BrowserLauncher {
public:
  // "http" or "https" (any case), "://", a non-empty host, and nothing but printable ASCII without
  // spaces. At most kMaxLength characters.
  static constexpr std::size_t kMaxLength = 4096;
  static bool IsWebAddress(const char* url);

  // The program run with the address as its only argument; "xdg-open" (found on PATH) unless a
  // test gives another.
  explicit BrowserLauncher(std::string program = "xdg-open") : mProgram(std::move(program)) {}

  // True when the program was started. False for an address that is no web address (nothing is
  // started) or when starting failed.
  bool Open(const char* url);

  // Collects every launched child that has finished; returns how many are still running.
  static int ReapFinished();

private:
  std::string mProgram;
};

} // namespace plug
