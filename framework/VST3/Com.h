// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "travesty/base.h"

// The object model VST3 shares with COM, as the travesty headers spell it in C: a host holds a
// pointer to an interface, which points at a word holding the interface's function table; every
// table starts with query_interface, ref and unref, and every function gets that pointer as `self`.
namespace plug::vst3 {

// One interface of one of our objects: the host's pointer points at this slot. `owner` leads from
// the slot back to the object in the table's functions (OwnerOf).
template <typename Table, typename Owner>
struct Interface {
  const Table* table;
  Owner* owner;
};

template <typename Owner>
Owner& OwnerOf(void* self)
{
  // Every Interface<*, Owner> has the same layout: the table pointer, then the owner.
  struct Slot {
    const void* table;
    Owner* owner;
  };
  return *static_cast<Slot*>(self)->owner;
}

// The reference count of one of our objects, which the host's ref and unref (and our own code)
// change: the object starts with its creator's reference and deletes itself with the last one.
// Owner derives from RefCount<Owner>; an Owner whose destructor is private names RefCount<Owner>
// its friend. Any thread.
template <typename Owner>
class RefCount {
public:
  // The count after adding one reference.
  std::uint32_t Ref() { return mRefs.fetch_add(1, std::memory_order_relaxed) + 1; }
  // The count after dropping one; at 0 the object is gone. Acquire-release: every use of the object
  // through another reference happens before its deletion.
  std::uint32_t Unref()
  {
    const std::uint32_t left = mRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
      delete static_cast<Owner*>(this);
    return left;
  }

protected:
  RefCount() = default;
  ~RefCount() = default;

private:
  std::atomic<std::uint32_t> mRefs{1};
};

inline bool SameIid(const v3_tuid a, const v3_tuid b)
{
  return std::memcmp(a, b, sizeof(v3_tuid)) == 0;
}

} // namespace plug::vst3
