#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// A fresh folder under the system's temporary directory that becomes HOME for the lifetime of
// the object; the previous HOME comes back and the folder is removed afterwards.
class TempHome {
public:
  TempHome()
  {
    std::string pattern = (std::filesystem::temp_directory_path() / "quennet-home-XXXXXX").string();
    mPath = mkdtemp(pattern.data());
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
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
  }

  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return mPath; }
  std::string configFile() const { return mPath + "/Library/Application Support/TarnwellMusic/quennet.ini"; }

private:
  std::string mPath;
  std::string mOldHome;
  bool mHadHome = false;
};
