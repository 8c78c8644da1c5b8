// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plug {

// Standard Base64 (RFC 4648 alphabet, '=' padding). Decoding skips whitespace and stops at the
// first character outside the alphabet; it returns the bytes decoded up to there.
std::vector<std::uint8_t> Base64Decode(const char* text);
std::string Base64Encode(const std::uint8_t* data, int size);

} // namespace plug
