// SPDX-License-Identifier: ISC
// Writes every factory preset's output, rendered at double precision (PresetDoubles.h), into the
// file named on the command line: the native build's numbers that the aarch64 build's
// preset_doubles_test compares with its own.

#include <cstdio>
#include <vector>

#include "PresetDoubles.h"
#include "PresetDoublesFile.h"
#include "TempHome.h"

using namespace quennet;

int main(int argc, char** argv)
{
  if (argc != 2) {
    std::fprintf(stderr, "usage: render-preset-doubles OUTPUT\n");
    return 2;
  }
  const TempHome home; // the plug-in's settings file goes to a temporary HOME
  std::vector<double> left, right;
  preset_doubles::makeInput(left, right);
  std::vector<std::vector<double>> outputs;
  for (int preset = 0; preset < kNumPresets; ++preset)
    outputs.push_back(preset_doubles::render(preset, left, right));
  if (!preset_doubles::writeFile(argv[1], outputs, static_cast<std::uint32_t>(preset_doubles::kFrames))) {
    std::fprintf(stderr, "render-preset-doubles: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
