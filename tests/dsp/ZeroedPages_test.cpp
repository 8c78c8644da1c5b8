// SPDX-License-Identifier: ISC
#include "dsp/ZeroedPages.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace quennet;

namespace {
// Whether every page of [data, data + bytes) is in memory, as the kernel tells.
bool inMemory(const void* data, std::size_t bytes)
{
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(data) + bytes;
  std::vector<unsigned char> resident((end - begin + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0)
    return false;
  for (unsigned char r : resident)
    if (!(r & 1))
      return false;
  return true;
}
} // namespace

TEST(ZeroedPages, ReservedWholeInMemoryAsFarAsKeptAndZeroThroughout)
{
  const std::size_t bytes = 3 * 1024 * 1024 + 100;
  ZeroedPages memory;
  ASSERT_TRUE(memory.allocate(bytes));
  ASSERT_NE(memory.data(), nullptr);
  EXPECT_EQ(memory.size(), bytes);
  auto* const data = static_cast<unsigned char*>(memory.data());

  memory.keepResident(100000);
  EXPECT_GE(memory.resident(), 100000u);
  EXPECT_TRUE(inMemory(data, 100000));
  // Written and read back; the rest still reads as zeros.
  std::memset(data, 0x5a, 5000);
  memory.keepResident(2 * 1024 * 1024);
  EXPECT_TRUE(inMemory(data, 2 * 1024 * 1024));
  EXPECT_EQ(data[4999], 0x5a) << "keeping more in memory keeps what was written";
  for (std::size_t i = 5000; i < bytes; i += 4093)
    ASSERT_EQ(data[i], 0) << i;

  // Beyond the end it keeps what there is.
  memory.keepResident(bytes * 2);
  EXPECT_EQ(memory.resident(), bytes);
  EXPECT_TRUE(inMemory(data, bytes));
}

TEST(ZeroedPages, ReallocatedAndReleased)
{
  ZeroedPages memory;
  ASSERT_TRUE(memory.allocate(10000));
  static_cast<unsigned char*>(memory.data())[9999] = 7;
  ASSERT_TRUE(memory.allocate(20000));
  EXPECT_EQ(static_cast<unsigned char*>(memory.data())[9999], 0) << "new memory is zero";
  EXPECT_EQ(memory.resident(), 0u);
  memory.release();
  EXPECT_EQ(memory.data(), nullptr);
  EXPECT_EQ(memory.size(), 0u);
  EXPECT_TRUE(memory.allocate(0));
  EXPECT_EQ(memory.size(), 0u);
}
