// SPDX-License-Identifier: ISC
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

// A fresh folder under the system's temporary directory, removed with everything in it.
class TempDir {
public:
  explicit TempDir(const char* prefix = "quennet")
  {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()))
      mPath = pattern;
  }
  ~TempDir()
  {
    std::error_code ignored;
    if (!mPath.empty())
      std::filesystem::remove_all(mPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the folder could not be made.
  const std::filesystem::path& path() const { return mPath; }
  std::string file(const std::string& name) const { return (mPath / name).string(); }

private:
  std::filesystem::path mPath;
};
