// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "services/version_check.h"

namespace quennet {

// One version check's request on a thread of its own, so that the thread that asked (the host's
// user-interface thread) goes on drawing and handling the mouse while the network answers or the
// time limits run out. The asking thread polls finished() (the editor's idle timer) and then shows
// the answer with VersionCheck::report.
//
// Made and destroyed on the asking thread. Destroying it while the request runs cancels the
// transfer and waits for the thread: libcurl notices the cancel at its next progress report, within
// about a second, so a plug-in that goes during a check waits that long at most.
class VersionCheckThread {
public:
  explicit VersionCheckThread(std::shared_ptr<const VersionCheck> check);
  ~VersionCheckThread();
  VersionCheckThread(const VersionCheckThread&) = delete;
  VersionCheckThread& operator=(const VersionCheckThread&) = delete;

  // True once the answer is in (acquire: answer() is then complete).
  bool finished() const { return mFinished.load(std::memory_order_acquire); }
  // The service's answer; only after finished().
  const VersionAnswer& answer() const { return mAnswer; }

private:
  std::shared_ptr<const VersionCheck> mCheck;
  std::atomic<bool> mCancel{false};
  std::atomic<bool> mFinished{false};
  VersionAnswer mAnswer; // written by the request's thread before mFinished
  std::thread mThread;
};

} // namespace quennet
