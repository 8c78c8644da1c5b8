// SPDX-License-Identifier: ISC
#pragma once

#include <filesystem>
#include <string>

#include "TempDir.h"

// An LV2_PATH that holds the build's bundle and nothing else: hosts find the bundle under test,
// never one installed in ~/.lv2.
class BundlePath {
public:
  explicit BundlePath(const std::string& bundle) : mDir("quennet-lv2-path"), mPath(mDir.path().string())
  {
    std::filesystem::create_directory_symlink(bundle, mDir.path() / "quennet.lv2");
  }
  const std::string& path() const { return mPath; }

private:
  TempDir mDir;
  std::string mPath;
};
