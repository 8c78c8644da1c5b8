// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>

namespace quennet {

// Zeroed memory that is reserved whole but taken into memory a page at a time: pages that are
// never written cost no memory and no time. keepResident brings the first bytes into memory ahead
// of time, so that writing there later, on the audio thread, never waits for the system to supply
// a fresh page (nor, in a virtual machine, for the host to map one).
//
// allocate and keepResident allocate: call them while preparing, not on the audio thread.
class ZeroedPages {
public:
  ZeroedPages() = default;
  ~ZeroedPages() { release(); }
  ZeroedPages(const ZeroedPages&) = delete;
  ZeroedPages& operator=(const ZeroedPages&) = delete;

  // Replaces the memory with `bytes` zeroed bytes, none of them resident yet; false (and no
  // memory) when the system has none to give.
  bool allocate(std::size_t bytes);
  void release();
  // The first `bytes` (as far as the memory reaches) resident from now on.
  void keepResident(std::size_t bytes);

  void* data() const { return mData; }
  std::size_t size() const { return mBytes; }
  std::size_t resident() const { return mResident; }

private:
  void* mData = nullptr;
  std::size_t mBytes = 0;
  std::size_t mResident = 0; // bytes from the start known to be in memory
  bool mMapped = false; // an anonymous mapping (else an ordinary allocation, all resident)
};

} // namespace quennet
