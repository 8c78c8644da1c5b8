// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "framework/LockFreeQueue.h"

TEST(LockFreeQueue, KeepsOrderAndDropsWhenFull)
{
  plug::LockFreeQueue<int> queue(4);
  ASSERT_EQ(queue.Capacity(), 4u);
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(queue.Push(i));
  EXPECT_FALSE(queue.Push(99)) << "a full queue drops";

  int value = -1;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(queue.Pop(value));
    EXPECT_EQ(value, i);
  }
  EXPECT_FALSE(queue.Pop(value));

  // Wraps around its storage many times.
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(queue.Push(i));
    ASSERT_TRUE(queue.Pop(value));
    ASSERT_EQ(value, i);
  }
}

TEST(LockFreeQueue, TwoProducersOneConsumerLoseNothingThatWasAccepted)
{
  struct Entry {
    int producer;
    int sequence;
  };
  plug::LockFreeQueue<Entry> queue(64);
  constexpr int kPerProducer = 20000;
  std::vector<int> accepted(2, 0);

  auto produce = [&](int producer) {
    for (int i = 0; i < kPerProducer; ++i)
      while (!queue.Push({producer, i}))
        std::this_thread::yield();
    accepted[static_cast<size_t>(producer)] = kPerProducer;
  };
  std::thread a(produce, 0);
  std::thread b(produce, 1);

  int next[2] = {0, 0};
  int received = 0;
  Entry entry{};
  while (received < 2 * kPerProducer) {
    if (!queue.Pop(entry)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(entry.sequence, next[entry.producer]) << "each producer's entries arrive in order";
    ++next[entry.producer];
    ++received;
  }
  a.join();
  b.join();
  EXPECT_EQ(next[0], kPerProducer);
  EXPECT_EQ(next[1], kPerProducer);
}
