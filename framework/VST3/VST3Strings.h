// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "travesty/base.h"

// VST3 passes texts as UTF-16 (int16_t units); ours are UTF-8.
namespace plug::vst3 {

// Copies UTF-8 text into a host's 128-unit field: at most 127 units and a terminating 0, cut at a
// character boundary. Invalid UTF-8 bytes become U+FFFD.
void CopyToString128(std::string_view utf8, v3_str_128 out);

// The same into a field of `capacity` units (at least 1).
void CopyToUtf16(std::string_view utf8, std::int16_t* out, std::size_t capacity);

// A host's UTF-16 text as UTF-8: read up to a 0 unit or `maxUnits` units, whichever comes first.
// Unpaired surrogates become U+FFFD.
std::string FromUtf16(const std::int16_t* text, std::size_t maxUnits);

} // namespace plug::vst3
