// SPDX-License-Identifier: ISC
#pragma once

// A plug-in instance for the fuzz targets, with its settings in a temporary home folder.

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/quennet.h"

inline void useScratchHome()
{
  static const std::string home = [] {
    char pattern[] = "/tmp/quennet-fuzz-home-XXXXXX";
    std::string path = mkdtemp(pattern);
    setenv("HOME", path.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME"); // the settings go to the scratch home's .config
    std::atexit([] { std::filesystem::remove_all(std::getenv("HOME")); });
    return path;
  }();
}

// Every parameter within its range and finite.
inline bool parametersSane(const plug::IPluginBase& plugin)
{
  for (int i = 0; i < plugin.NParams(); ++i) {
    const plug::IParam& param = *plugin.GetParam(i);
    const double value = param.GetValue();
    double lo = 0.0;
    double hi = 0.0;
    param.GetBounds(lo, hi);
    if (!std::isfinite(value) || value < lo || value > hi)
      return false;
  }
  return true;
}
