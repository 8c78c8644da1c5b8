// Arbitrary file content through the INI store's parser and every read operation.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "services/profile_ini.h"

namespace {
const std::string& scratchFolder()
{
  static const std::string folder = [] {
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
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, file);
    std::fclose(file);
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
  return 0;
}
