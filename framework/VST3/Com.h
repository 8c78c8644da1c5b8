// SPDX-License-Identifier: ISC
#pragma once

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

inline bool SameIid(const v3_tuid a, const v3_tuid b)
{
  return std::memcmp(a, b, sizeof(v3_tuid)) == 0;
}

} // namespace plug::vst3
