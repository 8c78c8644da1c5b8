// SPDX-License-Identifier: ISC
#include "base/RunLoop.h"

#include <algorithm>
#include <chrono>

namespace plug {

double SteadyClock::NowMs() const
{
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

namespace {
const SteadyClock& steadyClock()
{
  static const SteadyClock clock;
  return clock;
}
} // namespace

RunLoop::RunLoop() : mClock(&steadyClock())
{
}

RunLoop::RunLoop(const RunLoopClock& clock) : mClock(&clock)
{
}

RunLoop& RunLoop::Main()
{
  static RunLoop loop;
  return loop;
}

void RunLoop::SetClock(const RunLoopClock& clock)
{
  std::lock_guard lock(mMutex);
  mClock = &clock;
}

double RunLoop::NowMs() const
{
  std::lock_guard lock(mMutex);
  return mClock->NowMs();
}

RunLoop::TimerId RunLoop::AddTimer(double intervalMs, std::function<void()> callback)
{
  std::lock_guard lock(mMutex);
  const TimerId id = mNextId++;
  mTimers.push_back({id, intervalMs, mClock->NowMs() + intervalMs, std::move(callback), false});
  return id;
}

void RunLoop::RemoveTimer(TimerId id)
{
  // Holding the mutex means no callback runs on another thread right now.
  std::lock_guard lock(mMutex);
  for (Timer& timer : mTimers)
    if (timer.id == id)
      timer.removed = true;
  if (mPumpDepth == 0)
    std::erase_if(mTimers, [](const Timer& t) { return t.removed; });
}

int RunLoop::NumTimers() const
{
  std::lock_guard lock(mMutex);
  return static_cast<int>(std::count_if(mTimers.begin(), mTimers.end(), [](const Timer& t) { return !t.removed; }));
}

int RunLoop::Pump()
{
  std::lock_guard lock(mMutex);
  const double now = mClock->NowMs();
  int fired = 0;
  ++mPumpDepth;
  // Index loop: a callback may add timers (which may reallocate the vector); those wait for the next pump.
  const size_t count = mTimers.size();
  for (size_t i = 0; i < count; ++i) {
    if (mTimers[i].removed || now < mTimers[i].dueMs)
      continue;
    mTimers[i].dueMs += mTimers[i].intervalMs;
    if (mTimers[i].dueMs <= now)
      mTimers[i].dueMs = now + mTimers[i].intervalMs;
    // Copy: the callback may remove timers or add new ones.
    std::function<void()> callback = mTimers[i].callback;
    callback();
    ++fired;
  }
  if (--mPumpDepth == 0)
    std::erase_if(mTimers, [](const Timer& t) { return t.removed; });
  return fired;
}

} // namespace plug
