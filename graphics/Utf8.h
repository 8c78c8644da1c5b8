// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <string_view>

namespace plug::graphics {

// Calls fn(codepoint, bytes) for each character of UTF-8 text. A byte that starts no valid sequence
// (stray continuation, overlong form, surrogate, beyond U+10FFFF, cut short) is one U+FFFD.
template <typename Fn>
void forEachCodepoint(std::string_view text, Fn&& fn)
{
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      len = 1;
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      len = 2;
      cp = b0 & 0x1Fu;
      min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      len = 3;
      cp = b0 & 0x0Fu;
      min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      len = 4;
      cp = b0 & 0x07u;
      min = 0x10000;
    }
    bool valid = len > 0 && i + len <= text.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      valid = (b & 0xC0) == 0x80;
      cp = cp << 6 | (b & 0x3Fu);
    }
    if (valid && len > 1)
      valid = cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!valid) {
      fn(char32_t{0xFFFD}, std::size_t{1});
      ++i;
      continue;
    }
    fn(cp, len);
    i += len;
  }
}

} // namespace plug::graphics
