// SPDX-License-Identifier: ISC
#include "dsp/ZeroedPages.h"

#include <algorithm>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define QUENNET_HAS_MMAP 1
#endif

namespace quennet {

bool ZeroedPages::allocate(std::size_t bytes)
{
  release();
  if (bytes == 0)
    return true;
#ifdef QUENNET_HAS_MMAP
  // An anonymous mapping reads as zeros and takes a page into memory only when it is first written.
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped != MAP_FAILED) {
    mData = mapped;
    mBytes = bytes;
    mMapped = true;
    return true;
  }
#endif
  // Without mappings: ordinary memory, zeroed (and so resident) whole.
  mData = new (std::nothrow) unsigned char[bytes]();
  if (!mData)
    return false;
  mBytes = bytes;
  mResident = bytes;
  return true;
}

void ZeroedPages::release()
{
#ifdef QUENNET_HAS_MMAP
  if (mMapped)
    munmap(mData, mBytes);
#endif
  if (!mMapped)
    delete[] static_cast<unsigned char*>(mData);
  mData = nullptr;
  mBytes = 0;
  mResident = 0;
  mMapped = false;
}

void ZeroedPages::keepResident(std::size_t bytes)
{
  bytes = std::min(bytes, mBytes);
  if (bytes <= mResident)
    return;
#ifdef QUENNET_HAS_MMAP
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  auto* const base = static_cast<unsigned char*>(mData);
  const std::size_t from = mResident / page * page;
  const std::size_t to = std::min((bytes + page - 1) / page * page, mBytes);
#ifdef MADV_POPULATE_WRITE
  // All the pages in one request first (Linux 5.14 on), which costs far less than a fault per page.
  madvise(base + from, to - from, MADV_POPULATE_WRITE);
#endif
  // Then a write per page from here: under some virtual machines a page that the kernel put in
  // place still costs the first access from the process an exit to the host, which the audio
  // thread must not pay. The pages hold zeros, and a zero written keeps them so.
  for (std::size_t at = from; at < to; at += page)
    static_cast<volatile unsigned char*>(base)[at] = 0;
  mResident = to;
#endif
}

} // namespace quennet
