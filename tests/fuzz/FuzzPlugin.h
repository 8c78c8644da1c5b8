#pragma once

// A plug-in instance for the fuzz targets, with its settings in a temporary home folder.

#include <cmath>
#include <cstdlib>
#include <string>

#include "core/quennet.h"

inline void useScratchHome()
{
  static const bool done = [] {
    char pattern[] = "/tmp/quennet-fuzz-home-XXXXXX";
    setenv("HOME", mkdtemp(pattern), 1);
    return true;
  }();
  (void)done;
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
