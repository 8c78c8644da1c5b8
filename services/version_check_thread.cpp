// SPDX-License-Identifier: ISC
#include "services/version_check_thread.h"

#include <utility>

namespace quennet {

VersionCheckThread::VersionCheckThread(std::shared_ptr<const VersionCheck> check) : mCheck(std::move(check))
{
  mThread = std::thread([this] {
    mAnswer = mCheck->fetch(&mCancel);
    mFinished.store(true, std::memory_order_release);
  });
}

VersionCheckThread::~VersionCheckThread()
{
  mCancel.store(true, std::memory_order_relaxed);
  mThread.join();
}

} // namespace quennet
