// SPDX-License-Identifier: ISC
#include "framework/Base64.h"

#include <cstring>

namespace plug {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c)
{
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}
} // namespace

std::vector<std::uint8_t> Base64Decode(const char* text)
{
  std::vector<std::uint8_t> bytes;
  if (!text)
    return bytes;
  std::uint32_t bits = 0;
  int nBits = 0;
  for (const char* p = text; *p && *p != '='; ++p) {
    if (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')
      continue;
    const int value = sextet(*p);
    if (value < 0)
      break;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    nBits += 6;
    if (nBits >= 8) {
      nBits -= 8;
      bytes.push_back(static_cast<std::uint8_t>((bits >> nBits) & 0xFF));
    }
  }
  return bytes;
}

std::string Base64Encode(const std::uint8_t* data, int size)
{
  std::string text;
  for (int i = 0; i < size; i += 3) {
    const int n = size - i < 3 ? size - i : 3;
    std::uint32_t triple = static_cast<std::uint32_t>(data[i]) << 16;
    if (n > 1)
      triple |= static_cast<std::uint32_t>(data[i + 1]) << 8;
    if (n > 2)
      triple |= data[i + 2];
    text += kAlphabet[(triple >> 18) & 63];
    text += kAlphabet[(triple >> 12) & 63];
    text += n > 1 ? kAlphabet[(triple >> 6) & 63] : '=';
    text += n > 2 ? kAlphabet[triple & 63] : '=';
  }
  return text;
}

} // namespace plug
