#pragma once

// Counts heap allocations and deallocations made on the calling thread while a CountingScope is
// alive. The counting replacements of malloc, free and the global operator new and delete live
// in AllocationCounter.cpp; linking it into a test binary installs them for the whole process.

#include <atomic>

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

} // namespace alloc_count
