// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <cstdint>

#include <lv2/atom/atom.h>

// Bounds-checked reading of the atoms a host writes. Every header and every body is checked to lie
// inside the size its container declares before a byte of it is read, in 64-bit arithmetic, so no
// size from the host can lead a read past the container or wrap around to a loop without end.
// (The iteration macros and lv2_atom_object_get of the LV2 headers check only where an element
// starts, and pad 16 + size in 32 bits.) The container's own declared size is the one bound there
// is: a host that claims more than it wrote is read up to what it claims, never beyond.
// Allocation-free; safe on the audio thread.
namespace plug::lv2 {

namespace atom_reader {
// Atoms are padded to 8 bytes; in 64 bits, so that a size near 2^32 cannot wrap.
constexpr std::uint64_t padded(std::uint64_t size)
{
  return (size + 7u) & ~std::uint64_t{7u};
}
} // namespace atom_reader

// Calls fn(const LV2_Atom_Event&) for each event of `sequence` in order; stops at the first event
// whose header or body does not lie within the sequence's declared size. The sequence's atom type
// is the caller's to check.
template <typename Fn>
void ForEachEvent(const LV2_Atom_Sequence& sequence, Fn&& fn)
{
  const std::uint64_t size = sequence.atom.size; // the body: unit, pad, then the events
  const auto* body = reinterpret_cast<const std::uint8_t*>(&sequence.body);
  std::uint64_t offset = sizeof(LV2_Atom_Sequence_Body);
  while (offset + sizeof(LV2_Atom_Event) <= size) {
    const auto* event = reinterpret_cast<const LV2_Atom_Event*>(body + offset);
    const std::uint64_t eventSize = sizeof(LV2_Atom_Event) + std::uint64_t{event->body.size};
    if (offset + eventSize > size)
      return;
    fn(*event);
    offset += atom_reader::padded(eventSize);
  }
}

// The object type of an atom:Object (or atom:Blank) atom, or 0 when its size cannot even hold
// the object header. The atom type is the caller's to check.
inline std::uint32_t ObjectType(const LV2_Atom& object)
{
  if (object.size < sizeof(LV2_Atom_Object_Body))
    return 0;
  return reinterpret_cast<const LV2_Atom_Object&>(object).body.otype;
}

// Calls fn(const LV2_Atom_Property_Body&) for each property of an object atom whose body is
// `object.size` bytes; stops at the first property whose header or value does not lie within
// them. A property's value atom is then whole: value.size bytes follow its header.
template <typename Fn>
void ForEachProperty(const LV2_Atom& object, Fn&& fn)
{
  const std::uint64_t size = object.size; // the body: id, otype, then the properties
  if (size < sizeof(LV2_Atom_Object_Body))
    return;
  const auto* body = reinterpret_cast<const std::uint8_t*>(&object + 1);
  std::uint64_t offset = sizeof(LV2_Atom_Object_Body);
  while (offset + sizeof(LV2_Atom_Property_Body) <= size) {
    const auto* property = reinterpret_cast<const LV2_Atom_Property_Body*>(body + offset);
    const std::uint64_t propertySize = sizeof(LV2_Atom_Property_Body) + std::uint64_t{property->value.size};
    if (offset + propertySize > size)
      return;
    fn(*property);
    offset += atom_reader::padded(propertySize);
  }
}

} // namespace plug::lv2
