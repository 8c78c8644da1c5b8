// SPDX-License-Identifier: ISC
#pragma once

// Counts heap allocations and deallocations made on the calling thread while a CountingScope is
// alive. The counting replacements of malloc, free and the global operator new and delete live
// in AllocationCounter.cpp; linking it into a test binary installs them for the whole process.

#include <atomic>
#include <thread>

namespace alloc_count {

struct Counts {
  long allocations = 0;
  long deallocations = 0;
};

// Starts counting on this thread; counts() gives what happened since.
class CountingScope {
public:
  CountingScope();
  ~CountingScope();
  Counts counts() const;

private:
  Counts mStart;
};

// False in builds whose sanitizer owns malloc: the counters are not installed there.
bool available();

// What `work` allocates on a thread that has run nothing before it, as a host's new audio thread
// has not: a first use of thread-local storage in a module loaded with dlopen allocates, and only
// shows on such a thread.
template <typename Work>
Counts countOnNewThread(Work&& work)
{
  Counts counts;
  std::thread([&] {
    const CountingScope scope;
    work();
    counts = scope.counts();
  }).join();
  return counts;
}

} // namespace alloc_count
