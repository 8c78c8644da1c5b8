// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

// Atoms written byte by byte, sizes and all as a test says, including the malformed ones that no
// forge would write. Little-endian, as on every host this runs on.
class AtomBytes {
public:
  AtomBytes& u32(std::uint32_t value) { return raw(&value, sizeof(value)); }
  AtomBytes& i64(std::int64_t value) { return raw(&value, sizeof(value)); }
  AtomBytes& f32(float value) { return raw(&value, sizeof(value)); }
  AtomBytes& f64(double value) { return raw(&value, sizeof(value)); }
  AtomBytes& bytes(const std::vector<std::uint8_t>& values) { return raw(values.data(), values.size()); }
  AtomBytes& padTo8()
  {
    while (mBytes.size() % 8 != 0)
      mBytes.push_back(0);
    return *this;
  }

  // An atom header: body size and type.
  AtomBytes& atom(std::uint32_t size, std::uint32_t type) { return u32(size).u32(type); }
  // A sequence header with a body size, unit 0.
  AtomBytes& sequence(std::uint32_t size, std::uint32_t sequenceType) { return atom(size, sequenceType).u32(0).u32(0); }
  // An event header: frame, then the body atom's header.
  AtomBytes& event(std::int64_t frame, std::uint32_t size, std::uint32_t type) { return i64(frame).atom(size, type); }
  // A property header: key, context 0, then the value atom's header.
  AtomBytes& property(std::uint32_t key, std::uint32_t size, std::uint32_t type)
  {
    return u32(key).u32(0).atom(size, type);
  }

  // Overwrites the 32-bit value at `offset` (to set a size once the content is known).
  AtomBytes& patch32(std::size_t offset, std::uint32_t value)
  {
    std::memcpy(mBytes.data() + offset, &value, sizeof(value));
    return *this;
  }

  std::size_t size() const { return mBytes.size(); }
  const std::vector<std::uint8_t>& get() const { return mBytes; }

private:
  AtomBytes& raw(const void* data, std::size_t n)
  {
    const auto* p = static_cast<const std::uint8_t*>(data);
    mBytes.insert(mBytes.end(), p, p + n);
    return *this;
  }

  std::vector<std::uint8_t> mBytes;
};
