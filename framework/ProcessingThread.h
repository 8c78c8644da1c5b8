// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <thread>

namespace plug {

// Which thread is inside a bridge's process call right now. An atomic member, not thread-local
// storage: a module loaded with dlopen gets its thread-local variables allocated on a thread's
// first use, and that first use may be a host's new audio thread. Only the thread inside the call
// ever finds its own id here, so relaxed loads answer IsCurrent() exactly.
class ProcessingThread {
public:
  bool IsCurrent() const { return mId.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

  // Marks the calling thread for the lifetime of the scope.
  class Scope {
  public:
    explicit Scope(ProcessingThread& mark)
        : mMark(mark), mOuter(mark.mId.exchange(std::this_thread::get_id(), std::memory_order_relaxed))
    {
    }
    ~Scope() { mMark.mId.store(mOuter, std::memory_order_relaxed); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    ProcessingThread& mMark;
    std::thread::id mOuter;
  };

private:
  std::atomic<std::thread::id> mId{};
  static_assert(std::atomic<std::thread::id>::is_always_lock_free, "no lock on the audio thread");
};

} // namespace plug
