// SPDX-License-Identifier: ISC
// Arbitrary file content through the INI store's parser and every read operation.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "services/profile_ini.h"

using namespace quennet;

namespace {
const std::string& scratchFolder()
{
  // In memory where the system offers it: every input creates, reads and removes a file, which on
  // a disk's file system costs more than the parsing.
  static const std::string folder = [] {
    char inMemory[] = "/dev/shm/quennet-fuzz-ini-XXXXXX";
    if (mkdtemp(inMemory))
      return std::string(inMemory);
    char pattern[] = "/tmp/quennet-fuzz-ini-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  // Registered after the folder's name exists, so it runs before that name is destroyed.
  static const bool removedAtExit = std::atexit([] { std::filesystem::remove_all(scratchFolder()); }) == 0;
  (void)removedAtExit;
  return folder;
}

// NUL-separated names, closed by an empty name.
std::vector<std::string> names(const char* list, int length)
{
  std::vector<std::string> result;
  for (int i = 0; i < length && list[i];) {
    result.emplace_back(list + i);
    i += static_cast<int>(result.back().size()) + 1;
  }
  return result;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  // A new name every time: the store would rightly keep a cached copy of a file whose time and
  // size did not change.
  static unsigned long counter = 0;
  const std::string path = scratchFolder() + "/f" + std::to_string(counter++ % 64) + ".ini";
  unlink(path.c_str());
  // Written without stdio, whose buffer would be one more fresh allocation per input.
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file >= 0) {
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = write(file, data + done, size - done);
      if (n <= 0)
        break;
      done += static_cast<std::size_t>(n);
    }
    close(file);
  }
  const char* fn = path.c_str();

  static char buffer[1 << 16];
  const int sectionsLength = GetPrivateProfileString(nullptr, nullptr, "", buffer, sizeof(buffer), fn);
  for (const std::string& section : names(buffer, sectionsLength)) {
    static char keys[1 << 16];
    const int keysLength = GetPrivateProfileString(section.c_str(), nullptr, "", keys, sizeof(keys), fn);
    for (const std::string& key : names(keys, keysLength)) {
      char value[256];
      GetPrivateProfileString(section.c_str(), key.c_str(), "default", value, sizeof(value), fn);
      GetPrivateProfileString(section.c_str(), key.c_str(), "default", value, 2, fn);
      GetPrivateProfileInt(section.c_str(), key.c_str(), -7, fn);
      unsigned char bytes[8];
      GetPrivateProfileStruct(section.c_str(), key.c_str(), bytes, sizeof(bytes), fn);
    }
    char list[512];
    GetPrivateProfileSection(section.c_str(), list, sizeof(list), fn);
    GetPrivateProfileSection(section.c_str(), list, 3, fn);
  }
  char small[4];
  GetPrivateProfileString(nullptr, nullptr, "", small, sizeof(small), fn);
  unlink(fn);
  // The store keeps the parsed file until the file changes: asked again now that it is gone, it
  // lets the parsed copy go. An input that left it cached would end with more allocations than it
  // freed, which libFuzzer takes for a possible leak and answers with a scan of the whole heap,
  // several times the cost of the input itself.
  GetPrivateProfileString(nullptr, nullptr, "", small, sizeof(small), fn);
  return 0;
}
