// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace plug {

// Growable byte buffer of raw values in the machine's (little-endian) order: the state chunk,
// preset chunks and the preset list. Get at a position copies a value and returns the next
// position, or -1 (leaving the value untouched) when too few bytes remain.
class IByteChunk {
public:
  static constexpr int kGrowthStep = 4096;

  // Appends raw bytes; returns the new size, or 0 when the buffer cannot grow.
  int PutBytes(const void* data, int size);
  int GetBytes(void* data, int size, int startPos) const;

  template <typename T>
  int Put(const T* value)
  {
    static_assert(std::is_trivially_copyable_v<T>);
    return PutBytes(value, static_cast<int>(sizeof(T)));
  }

  template <typename T>
  int Get(T* value, int startPos) const
  {
    static_assert(std::is_trivially_copyable_v<T>);
    return GetBytes(value, static_cast<int>(sizeof(T)), startPos);
  }

  // A string is a 32-bit signed length and that many bytes, without terminator.
  int PutStr(const char* text);
  // Reads a string into `text` (terminated); a length running past the end leaves it empty and
  // returns -1. An embedded NUL ends the text early.
  int GetStr(char* text, int capacity, int startPos) const;

  int Size() const { return static_cast<int>(mBytes.size()); }
  void Clear() { mBytes.clear(); }
  // Sets the size; new bytes are zero. Returns the new size, or 0 on failure.
  int Resize(int size);
  std::uint8_t* GetData() { return mBytes.data(); }
  const std::uint8_t* GetData() const { return mBytes.data(); }

  bool operator==(const IByteChunk& other) const { return mBytes == other.mBytes; }

private:
  bool reserveFor(std::size_t size);

  std::vector<std::uint8_t> mBytes;
};

} // namespace plug
