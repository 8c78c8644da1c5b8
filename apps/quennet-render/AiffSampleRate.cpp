// SPDX-License-Identifier: ISC
#include "apps/quennet-render/AiffSampleRate.h"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace render {

namespace {

constexpr int kMaxChunks = 4096; // a COMM chunk lies among the first few in every real file

std::uint32_t be32(const unsigned char* d)
{
  return (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
}

bool readAt(int fd, unsigned char* data, std::size_t size, off_t at)
{
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, data + done, size - done, at + static_cast<off_t>(done));
    if (got <= 0)
      return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// An IEEE 754 80-bit extended number: sign, 15-bit exponent biased by 16383, 64-bit significand
// with an explicit integer bit.
double extendedToDouble(const unsigned char* d)
{
  const bool negative = d[0] & 0x80;
  const int exponent = ((d[0] & 0x7F) << 8) | d[1];
  std::uint64_t significand = 0;
  for (int i = 2; i < 10; ++i)
    significand = (significand << 8) | d[i];
  double value = 0.0;
  if (exponent == 0x7FFF)
    value = (significand << 1) == 0 ? INFINITY : NAN; // the integer bit does not count here
  else
    value = std::ldexp(static_cast<double>(significand), exponent - 16383 - 63);
  return negative ? -value : value;
}

} // namespace

std::optional<double> aiffSampleRate(int fd)
{
  unsigned char header[12];
  if (!readAt(fd, header, sizeof header, 0) || std::memcmp(header, "FORM", 4) != 0 ||
      (std::memcmp(header + 8, "AIFF", 4) != 0 && std::memcmp(header + 8, "AIFC", 4) != 0))
    return std::nullopt;
  off_t at = 12;
  for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
    unsigned char head[8];
    if (!readAt(fd, head, sizeof head, at))
      return std::nullopt;
    const std::uint32_t size = be32(head + 4);
    if (std::memcmp(head, "COMM", 4) == 0) {
      // channels (2 bytes), frames (4), bits per sample (2), then the rate (10)
      unsigned char comm[18];
      if (size < sizeof comm || !readAt(fd, comm, sizeof comm, at + 8))
        return std::nullopt;
      return extendedToDouble(comm + 8);
    }
    at += 8 + static_cast<off_t>(size) + (size & 1); // chunks are padded to an even length
  }
  return std::nullopt;
}

std::string describeSampleRate(double rate)
{
  if (std::isnan(rate))
    return "NaN";
  if (std::isinf(rate))
    return rate > 0 ? "infinity" : "-infinity";
  char text[48];
  std::snprintf(text, sizeof text, "%.10g Hz", rate);
  return text;
}

} // namespace render
