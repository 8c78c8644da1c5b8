// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

namespace plug {

// Fixed-capacity lock-free queue between the audio, host and user-interface threads.
// Push never blocks and drops the element when the queue is full. One consumer; producers may be
// several threads (host automation and the audio thread both feed the editor's parameter queue).
// An entry is published only after it is fully written (release) and the reader acquires it.
// Bounded ring with a sequence number per cell (Vyukov's design). Allocates only in the constructor.
template <typename T>
class LockFreeQueue {
public:
  explicit LockFreeQueue(std::size_t capacity)
      : mCapacity(roundUpToPowerOfTwo(capacity)), mMask(mCapacity - 1), mCells(new Cell[mCapacity])
  {
    for (std::size_t i = 0; i < mCapacity; ++i)
      mCells[i].sequence.store(i, std::memory_order_relaxed);
  }

  LockFreeQueue(const LockFreeQueue&) = delete;
  LockFreeQueue& operator=(const LockFreeQueue&) = delete;

  bool Push(const T& value)
  {
    std::size_t pos = mEnqueuePos.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = mCells[pos & mMask];
      const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
      const auto diff = static_cast<std::ptrdiff_t>(sequence) - static_cast<std::ptrdiff_t>(pos);
      if (diff == 0) {
        if (mEnqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
          cell.value = value;
          cell.sequence.store(pos + 1, std::memory_order_release);
          return true;
        }
      } else if (diff < 0) {
        return false; // full
      } else {
        pos = mEnqueuePos.load(std::memory_order_relaxed);
      }
    }
  }

  // Single consumer.
  bool Pop(T& value)
  {
    const std::size_t pos = mDequeuePos.load(std::memory_order_relaxed);
    Cell& cell = mCells[pos & mMask];
    const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
    if (static_cast<std::ptrdiff_t>(sequence) - static_cast<std::ptrdiff_t>(pos + 1) < 0)
      return false; // empty
    value = cell.value;
    mDequeuePos.store(pos + 1, std::memory_order_relaxed);
    cell.sequence.store(pos + mCapacity, std::memory_order_release);
    return true;
  }

  std::size_t Capacity() const { return mCapacity; }

private:
  struct Cell {
    std::atomic<std::size_t> sequence;
    T value;
  };

  static std::size_t roundUpToPowerOfTwo(std::size_t n)
  {
    std::size_t p = 2;
    while (p < n)
      p <<= 1;
    return p;
  }

  const std::size_t mCapacity;
  const std::size_t mMask;
  std::unique_ptr<Cell[]> mCells;
  alignas(64) std::atomic<std::size_t> mEnqueuePos{0};
  alignas(64) std::atomic<std::size_t> mDequeuePos{0};
};

} // namespace plug
