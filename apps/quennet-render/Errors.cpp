// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace render {

namespace {
std::string oneLine(const std::string& text)
{
  std::string line;
  line.reserve(text.size());
  for (char c : text) {
    const bool control = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    if (control) {
      if (!line.empty() && line.back() != ' ')
        line.push_back(' ');
    } else {
      line.push_back(c);
    }
  }
  while (!line.empty() && line.back() == ' ')
    line.pop_back();
  return line;
}
} // namespace

std::string inQuotes(const std::string& text)
{
  std::string result = "'";
  for (char c : text)
    result.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c);
  result.push_back('\'');
  return result;
}

void printError(const std::string& message)
{
  std::fprintf(stderr, "quennet-render: %s\n", oneLine(message).c_str());
}

void printWarning(const std::string& message)
{
  std::fprintf(stderr, "quennet-render: warning: %s\n", oneLine(message).c_str());
}

std::string systemError()
{
  return std::strerror(errno);
}

std::string writeError(int error)
{
  return error == ENOSPC ? "disk full" : std::strerror(error);
}

} // namespace render
