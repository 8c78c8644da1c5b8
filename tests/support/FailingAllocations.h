// SPDX-License-Identifier: ISC
#pragma once

// Out of memory on demand: while a FailingAllocations scope is alive, the calling thread's n-th
// operator new fails (std::bad_alloc; null from the nothrow forms) and every other one succeeds.
// The replacements of the global operator new and delete live in FailingAllocations.cpp; linking
// it into a test binary installs them for the whole process. They forward to malloc and free, so
// they work under the sanitizers too. A binary links either this or AllocationCounter.cpp, not both.

namespace alloc_fail {

class FailingAllocations {
public:
  // `failAt`: the allocation to fail, 1 for the next one; 0 fails none and only counts.
  explicit FailingAllocations(long failAt);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;

  // Allocations asked for on this thread since the scope began, the failed one included.
  long allocations() const;
  bool failed() const;
};

} // namespace alloc_fail
