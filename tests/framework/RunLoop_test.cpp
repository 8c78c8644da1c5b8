// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include "base/RunLoop.h"

using plug::ManualClock;
using plug::RunLoop;

TEST(RunLoop, TimerFiresOncePerIntervalAndSkipsMissedTicks)
{
  ManualClock clock;
  RunLoop loop(clock);
  int ticks = 0;
  loop.AddTimer(20.0, [&] { ++ticks; });

  clock.Advance(19.0);
  EXPECT_EQ(loop.Pump(), 0);
  clock.Advance(1.0);
  EXPECT_EQ(loop.Pump(), 1);
  EXPECT_EQ(loop.Pump(), 0) << "a pump at the same time fires nothing more";

  clock.Advance(100.0); // five intervals late: one tick, then back on a 20 ms grid from now
  EXPECT_EQ(loop.Pump(), 1);
  clock.Advance(19.0);
  EXPECT_EQ(loop.Pump(), 0);
  clock.Advance(1.0);
  EXPECT_EQ(loop.Pump(), 1);
  EXPECT_EQ(ticks, 3);
}

TEST(RunLoop, RemovedTimersStopAndCallbacksMayRemoveTimers)
{
  ManualClock clock;
  RunLoop loop(clock);
  int a = 0;
  int b = 0;
  RunLoop::TimerId idB = 0;
  const RunLoop::TimerId idA = loop.AddTimer(10.0, [&] {
    ++a;
    loop.RemoveTimer(idB); // removing another timer from inside a callback
  });
  idB = loop.AddTimer(10.0, [&] { ++b; });
  EXPECT_EQ(loop.NumTimers(), 2);

  clock.Advance(10.0);
  loop.Pump();
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(loop.NumTimers(), 1);

  loop.RemoveTimer(idA);
  clock.Advance(10.0);
  EXPECT_EQ(loop.Pump(), 0);
  EXPECT_EQ(loop.NumTimers(), 0);
}
