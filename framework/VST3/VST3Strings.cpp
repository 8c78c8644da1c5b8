// SPDX-License-Identifier: ISC
#include "framework/VST3/VST3Strings.h"

namespace plug::vst3 {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The next code point of UTF-8 text from `i` on; `i` moves past it.
char32_t nextCodePoint(std::string_view text, std::size_t& i)
{
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i++);
  if (lead < 0x80)
    return lead;
  int length = 0;
  char32_t code = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 1;
    code = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 2;
    code = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 3;
    code = lead & 0x07;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < length; ++k) {
    if (i >= text.size() || (byte(i) & 0xC0) != 0x80)
      return kReplacement;
    code = (code << 6) | (byte(i++) & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return kReplacement;
  return code;
}

void appendUtf8(std::string& out, char32_t code)
{
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

} // namespace

void CopyToUtf16(std::string_view utf8, std::int16_t* out, std::size_t capacity)
{
  if (!out || capacity == 0)
    return;
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const char32_t code = nextCodePoint(utf8, i);
    const std::size_t units = code >= 0x10000 ? 2 : 1;
    if (written + units >= capacity)
      break; // room is kept for the terminating 0
    if (units == 1) {
      out[written++] = static_cast<std::int16_t>(static_cast<std::uint16_t>(code));
    } else {
      const char32_t v = code - 0x10000;
      out[written++] = static_cast<std::int16_t>(static_cast<std::uint16_t>(0xD800 + (v >> 10)));
      out[written++] = static_cast<std::int16_t>(static_cast<std::uint16_t>(0xDC00 + (v & 0x3FF)));
    }
  }
  out[written] = 0;
}

void CopyToString128(std::string_view utf8, v3_str_128 out)
{
  CopyToUtf16(utf8, out, 128);
}

std::string FromUtf16(const std::int16_t* text, std::size_t maxUnits)
{
  std::string out;
  if (!text)
    return out;
  for (std::size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    const char32_t unit = static_cast<std::uint16_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < maxUnits) {
      const char32_t low = static_cast<std::uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    appendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? kReplacement : unit);
  }
  return out;
}

} // namespace plug::vst3
