// SPDX-License-Identifier: ISC
#include "FailingAllocations.h"

#include <cstdlib>
#include <new>

namespace alloc_fail {
namespace {
// Plain thread-locals: reading them allocates nothing.
thread_local bool tActive = false;
thread_local long tFailAt = 0;
thread_local long tCount = 0;
thread_local bool tFailed = false;

// Counts one request; true when it is the one to fail.
bool shouldFail()
{
  if (!tActive)
    return false;
  ++tCount;
  if (tCount != tFailAt)
    return false;
  tFailed = true;
  return true;
}

void* allocate(std::size_t size)
{
  return shouldFail() ? nullptr : std::malloc(size ? size : 1);
}

void* allocateAligned(std::size_t size, std::align_val_t alignment)
{
  if (shouldFail())
    return nullptr;
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return std::aligned_alloc(align, (size + align - 1) / align * align);
}
} // namespace

FailingAllocations::FailingAllocations(long failAt)
{
  tFailAt = failAt;
  tCount = 0;
  tFailed = false;
  tActive = true;
}

FailingAllocations::~FailingAllocations()
{
  tActive = false;
}

long FailingAllocations::allocations() const
{
  return tCount;
}

bool FailingAllocations::failed() const
{
  return tFailed;
}

} // namespace alloc_fail

void* operator new(std::size_t size)
{
  if (void* p = alloc_fail::allocate(size))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
  return alloc_fail::allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
  return alloc_fail::allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
  if (void* p = alloc_fail::allocateAligned(size, alignment))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
  return operator new(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
  return alloc_fail::allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
  return alloc_fail::allocateAligned(size, alignment);
}
void operator delete(void* pointer) noexcept
{
  std::free(pointer);
}
void operator delete[](void* pointer) noexcept
{
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
  std::free(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept
{
  std::free(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept
{
  std::free(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept
{
  std::free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept
{
  std::free(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept
{
  std::free(pointer);
}
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept
{
  std::free(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept
{
  std::free(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept
{
  std::free(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept
{
  std::free(pointer);
}
