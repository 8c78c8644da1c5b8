// SPDX-License-Identifier: ISC
#include "framework/IByteChunk.h"

#include <algorithm>
#include <limits>
#include <new>

namespace plug {

bool IByteChunk::reserveFor(std::size_t size)
{
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return false;
  if (size <= mBytes.capacity())
    return true;
  const std::size_t steps = (size + kGrowthStep - 1) / kGrowthStep;
  try {
    mBytes.reserve(steps * kGrowthStep);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

int IByteChunk::PutBytes(const void* data, int size)
{
  if (size < 0 || !reserveFor(mBytes.size() + static_cast<std::size_t>(size)))
    return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  mBytes.insert(mBytes.end(), bytes, bytes + size);
  return Size();
}

int IByteChunk::GetBytes(void* data, int size, int startPos) const
{
  if (startPos < 0 || size < 0 || startPos > Size() || Size() - startPos < size)
    return -1;
  std::memcpy(data, mBytes.data() + startPos, static_cast<std::size_t>(size));
  return startPos + size;
}

int IByteChunk::PutStr(const char* text)
{
  const auto length = static_cast<std::int32_t>(std::strlen(text));
  if (Put(&length) == 0)
    return 0;
  return PutBytes(text, length);
}

int IByteChunk::GetStr(char* text, int capacity, int startPos) const
{
  if (capacity > 0)
    text[0] = '\0';
  std::int32_t length = 0;
  int pos = Get(&length, startPos);
  if (pos < 0 || length < 0 || Size() - pos < length)
    return -1;
  if (capacity > 0) {
    const int copied = std::min<int>(length, capacity - 1);
    std::memcpy(text, mBytes.data() + pos, static_cast<std::size_t>(copied));
    text[copied] = '\0';
  }
  return pos + length;
}

int IByteChunk::Resize(int size)
{
  if (size < 0 || !reserveFor(static_cast<std::size_t>(size)))
    return 0;
  mBytes.resize(static_cast<std::size_t>(size), 0);
  return Size();
}

} // namespace plug
