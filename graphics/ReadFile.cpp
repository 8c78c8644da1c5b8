// SPDX-License-Identifier: ISC
#include "graphics/ReadFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace plug::graphics {

bool readFile(const std::string& path, std::size_t maxBytes, std::vector<unsigned char>& bytes, std::string& error)
{
  bytes.clear();
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  unsigned char chunk[65536];
  for (;;) {
    const std::size_t n = std::fread(chunk, 1, sizeof(chunk), file.get());
    if (bytes.size() + n > maxBytes) {
      error = "file larger than " + std::to_string(maxBytes) + " bytes";
      bytes.clear();
      return false;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (n < sizeof(chunk))
      break;
  }
  if (std::ferror(file.get())) {
    error = "read error";
    bytes.clear();
    return false;
  }
  if (bytes.empty()) {
    error = "empty file";
    return false;
  }
  return true;
}

} // namespace plug::graphics
