// SPDX-License-Identifier: ISC
#pragma once

// A private X server for the tests that need one: Xvfb on a display number it picks itself (free at
// that moment, so parallel tests never share a server), stopped with the object.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "TempDir.h"
#include "lv2/ChildProcess.h"

class XvfbServer {
public:
  // width × height × 24 bits. display() is empty when the server did not start.
  explicit XvfbServer(int width = 1280, int height = 1024)
  {
    int ready[2];
    if (pipe(ready) != 0)
      return;
    // The write end stays open across exec: Xvfb writes its display number there once it listens.
    // Like every ChildProcess, the server ends with this process, even when a test dies without
    // cleaning up.
    mServer = std::make_unique<ChildProcess>(
      std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0",
                               std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp",
                               "-noreset"},
      std::vector<std::string>{}, mFiles.file("xvfb.log"));
    close(ready[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{ready[0], POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0)
        continue;
      char c = 0;
      if (read(ready[0], &c, 1) != 1)
        break;
      if (c == '\n') {
        mDisplay = ":" + number;
        break;
      }
      number += c;
    }
    close(ready[0]);
  }

  const std::string& display() const { return mDisplay; }
  std::string log() const { return mServer ? mServer->log() : std::string(); }

private:
  TempDir mFiles{"quennet-xvfb"};
  std::unique_ptr<ChildProcess> mServer;
  std::string mDisplay;
};
