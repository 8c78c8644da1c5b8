// SPDX-License-Identifier: ISC
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

// Host memory that ends where an inaccessible page begins: a read one byte past its end faults at
// once, in every build (no sanitizer needed), so a test fails at the first out-of-bounds read.
// The size is rounded up to 8 bytes, so that the start stays 8-byte aligned as atoms must be.
class GuardedBuffer {
public:
  explicit GuardedBuffer(std::size_t size)
      : mSize((size + 7u) & ~std::size_t{7u}), mPage(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)))
  {
    const std::size_t pages = (mSize + mPage - 1) / mPage;
    mLength = (pages + 1) * mPage;
    void* base = mmap(nullptr, mLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
      throw std::runtime_error("mmap failed");
    mBase = static_cast<std::uint8_t*>(base);
    if (mprotect(mBase + pages * mPage, mPage, PROT_NONE) != 0)
      throw std::runtime_error("mprotect failed");
    mData = mBase + pages * mPage - mSize;
  }
  // Holds `bytes`, zero-padded to 8.
  explicit GuardedBuffer(const std::vector<std::uint8_t>& bytes) : GuardedBuffer(bytes.size())
  {
    std::memset(mData, 0, mSize);
    if (!bytes.empty())
      std::memcpy(mData, bytes.data(), bytes.size());
  }
  ~GuardedBuffer() { munmap(mBase, mLength); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  std::uint8_t* data() { return mData; }
  std::size_t size() const { return mSize; }
  template <typename T>
  T* as()
  {
    return reinterpret_cast<T*>(mData);
  }

private:
  std::size_t mSize;
  std::size_t mPage;
  std::size_t mLength = 0;
  std::uint8_t* mBase = nullptr;
  std::uint8_t* mData = nullptr;
};
