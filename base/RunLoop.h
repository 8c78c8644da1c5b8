// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace plug {

// Source of the run loop's time in milliseconds. The real loop reads the steady clock;
// tests install a clock they advance by hand, so timers fire without sleeping.
class RunLoopClock {
public:
  virtual ~RunLoopClock() = default;
  virtual double NowMs() const = 0;
};

class SteadyClock final : public RunLoopClock {
public:
  double NowMs() const override;
};

class ManualClock final : public RunLoopClock {
public:
  double NowMs() const override { return mNowMs; }
  void Advance(double ms) { mNowMs += ms; }

private:
  double mNowMs = 0.0;
};

// Repeating timers of the user-interface thread. Whoever owns that thread pumps the loop:
// the LV2 editor from the host's idle callback, tests by hand. Timers may be added and removed
// from any thread; removing waits until a callback of the loop that is running has returned,
// so an object that removes its timer in its destructor is never called back afterwards.
class RunLoop {
public:
  using TimerId = std::uint64_t;

  RunLoop();
  explicit RunLoop(const RunLoopClock& clock);

  // The process-wide loop that plug-in instances put their timers on.
  static RunLoop& Main();

  // The clock must outlive its use by the loop. Not thread-safe with a concurrent Pump().
  void SetClock(const RunLoopClock& clock);
  double NowMs() const;

  // First fires one interval after now.
  TimerId AddTimer(double intervalMs, std::function<void()> callback);
  void RemoveTimer(TimerId id);
  int NumTimers() const;

  // Fires every timer that is due now, each at most once; a timer that fell behind by several
  // intervals skips the missed ticks. Returns the number of callbacks made.
  int Pump();

private:
  struct Timer {
    TimerId id;
    double intervalMs;
    double dueMs;
    std::function<void()> callback;
    bool removed;
  };

  mutable std::recursive_mutex mMutex;
  const RunLoopClock* mClock;
  std::vector<Timer> mTimers;
  TimerId mNextId = 1;
  int mPumpDepth = 0;
};

} // namespace plug
