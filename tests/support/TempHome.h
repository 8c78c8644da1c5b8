#pragma once

#include <cstdlib>
#include <string>

#include "TempDir.h"

// A temporary folder that is HOME for the lifetime of the object; the previous HOME comes back
// and the folder is removed afterwards.
class TempHome {
public:
  TempHome() : mDir("quennet-home"), mPath(mDir.path().string())
  {
    if (const char* old = std::getenv("HOME")) {
      mHadHome = true;
      mOldHome = old;
    }
    setenv("HOME", mPath.c_str(), 1);
  }

  ~TempHome()
  {
    if (mHadHome)
      setenv("HOME", mOldHome.c_str(), 1);
    else
      unsetenv("HOME");
  }

  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return mPath; }
  std::string configFile() const { return mPath + "/Library/Application Support/TarnwellMusic/quennet.ini"; }

private:
  TempDir mDir;
  std::string mPath;
  std::string mOldHome;
  bool mHadHome = false;
};
