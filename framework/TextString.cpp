// SPDX-License-Identifier: ISC
#include "framework/TextString.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace plug {

namespace {

std::size_t boundedLength(const char* str, int maxLength)
{
  if (!str || maxLength == 0)
    return 0;
  if (maxLength < 0)
    return std::strlen(str);
  const void* end = std::memchr(str, '\0', static_cast<std::size_t>(maxLength));
  return end ? static_cast<std::size_t>(static_cast<const char*>(end) - str) : static_cast<std::size_t>(maxLength);
}

// Formats into the tail of `out`, after its first `keep` characters, with at most maxLength new
// characters.
void formatInto(std::string& out, std::size_t keep, int maxLength, const char* format, va_list args)
{
  out.resize(keep);
  if (maxLength <= 0 || !format)
    return;
  out.resize(keep + static_cast<std::size_t>(maxLength) + 1);
  const int written = std::vsnprintf(out.data() + keep, static_cast<std::size_t>(maxLength) + 1, format, args);
  const std::size_t added =
    written < 0 ? 0 : std::min(static_cast<std::size_t>(written), static_cast<std::size_t>(maxLength));
  out.resize(keep + added);
}

} // namespace

void TextString::Set(const char* str, int maxLength)
{
  mString.assign(str ? str : "", boundedLength(str, maxLength));
}

void TextString::Append(const char* str, int maxLength)
{
  if (str)
    mString.append(str, boundedLength(str, maxLength));
}

void TextString::SetFormatted(int maxLength, const char* format, ...)
{
  va_list args;
  va_start(args, format);
  formatInto(mString, 0, maxLength, format, args);
  va_end(args);
}

void TextString::AppendFormatted(int maxLength, const char* format, ...)
{
  va_list args;
  va_start(args, format);
  formatInto(mString, mString.size(), maxLength, format, args);
  va_end(args);
}

} // namespace plug
