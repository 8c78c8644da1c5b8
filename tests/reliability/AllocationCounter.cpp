// SPDX-License-Identifier: ISC
#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUENNET_SANITIZER_OWNS_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUENNET_SANITIZER_OWNS_MALLOC 1
#endif
#endif

namespace alloc_count {
namespace {
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
thread_local long tDeallocations = 0;

inline void countAllocation()
{
  if (tCounting)
    ++tAllocations;
}
inline void countDeallocation()
{
  if (tCounting)
    ++tDeallocations;
}
} // namespace

CountingScope::CountingScope() : mStart{tAllocations, tDeallocations}
{
  tCounting = true;
}

CountingScope::~CountingScope()
{
  tCounting = false;
}

Counts CountingScope::counts() const
{
  return {tAllocations - mStart.allocations, tDeallocations - mStart.deallocations};
}

#ifdef QUENNET_SANITIZER_OWNS_MALLOC
bool available()
{
  return false;
}
#else
bool available()
{
  return true;
}
#endif

} // namespace alloc_count

#ifndef QUENNET_SANITIZER_OWNS_MALLOC

// glibc's own entry points, for the replacements below to forward to.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size)
{
  alloc_count::countAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size)
{
  alloc_count::countAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size)
{
  alloc_count::countAllocation();
  return __libc_realloc(pointer, size);
}
void* aligned_alloc(size_t alignment, size_t size)
{
  alloc_count::countAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size)
{
  alloc_count::countAllocation();
  *result = __libc_memalign(alignment, size);
  return *result ? 0 : 12; // ENOMEM
}
void free(void* pointer)
{
  if (pointer)
    alloc_count::countDeallocation();
  __libc_free(pointer);
}
}

void* operator new(size_t size)
{
  if (void* p = malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size)
{
  return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
  return malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
  return malloc(size ? size : 1);
}
void* operator new(size_t size, std::align_val_t alignment)
{
  if (void* p = aligned_alloc(static_cast<size_t>(alignment), size ? size : 1))
    return p;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept
{
  free(pointer);
}
void operator delete[](void* pointer) noexcept
{
  free(pointer);
}
void operator delete(void* pointer, size_t) noexcept
{
  free(pointer);
}
void operator delete[](void* pointer, size_t) noexcept
{
  free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept
{
  free(pointer);
}
void operator delete(void* pointer, size_t, std::align_val_t) noexcept
{
  free(pointer);
}

#endif
