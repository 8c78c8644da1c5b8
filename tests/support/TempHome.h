// SPDX-License-Identifier: ISC
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "TempDir.h"

// A temporary folder that is HOME for the lifetime of the object, with XDG_CONFIG_HOME unset so
// that the settings file goes to the temporary HOME's ".config"; HOME and XDG_CONFIG_HOME come
// back afterwards and the folder is removed.
class TempHome {
public:
  TempHome() : mDir("quennet-home"), mPath(mDir.path().string())
  {
    setenv("HOME", mPath.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
  }

  ~TempHome()
  {
    restore("HOME", mOldHome);
    restore("XDG_CONFIG_HOME", mOldConfigHome);
  }

  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return mPath; }
  std::string configFolder() const { return mPath + "/.config/TarnwellMusic"; }
  std::string configFile() const { return configFolder() + "/quennet.ini"; }

private:
  static std::optional<std::string> current(const char* name)
  {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }

  static void restore(const char* name, const std::optional<std::string>& value)
  {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }

  // Taken before the constructor's body changes them.
  std::optional<std::string> mOldHome = current("HOME");
  std::optional<std::string> mOldConfigHome = current("XDG_CONFIG_HOME");
  TempDir mDir;
  std::string mPath;
};
