// SPDX-License-Identifier: ISC
#pragma once

// The file that carries one build's preset renders to another (PresetDoubles.h): "QNPD", the
// number of presets and of frames per preset (32-bit each), then every preset's interleaved
// output as 64-bit doubles. Both targets are little-endian, and the file is read only on the
// machine that wrote it, so the values go as they lie in memory.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static_assert(std::endian::native == std::endian::little, "the preset file holds little-endian values");

namespace preset_doubles {

struct FileHeader {
  char magic[4] = {'Q', 'N', 'P', 'D'};
  std::uint32_t presets = 0;
  std::uint32_t frames = 0;
};

// Every preset's output, in preset order; false when the file cannot be written.
inline bool writeFile(const std::string& path, const std::vector<std::vector<double>>& outputs, std::uint32_t frames)
{
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file)
    return false;
  FileHeader header;
  header.presets = static_cast<std::uint32_t>(outputs.size());
  header.frames = frames;
  bool ok = std::fwrite(&header, sizeof header, 1, file) == 1;
  for (const std::vector<double>& output : outputs)
    ok = ok && std::fwrite(output.data(), sizeof(double), output.size(), file) == output.size();
  return std::fclose(file) == 0 && ok;
}

// Empty when the file is missing or not such a file.
inline std::vector<std::vector<double>> readFile(const std::string& path, std::uint32_t& frames)
{
  std::vector<std::vector<double>> outputs;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    return outputs;
  FileHeader header;
  const FileHeader expected;
  if (std::fread(&header, sizeof header, 1, file) == 1 && std::memcmp(header.magic, expected.magic, 4) == 0 &&
      header.presets <= 1000 && header.frames <= 10'000'000) {
    frames = header.frames;
    outputs.assign(header.presets, std::vector<double>(2 * static_cast<size_t>(header.frames)));
    for (std::vector<double>& output : outputs)
      if (std::fread(output.data(), sizeof(double), output.size(), file) != output.size()) {
        outputs.clear();
        break;
      }
  }
  std::fclose(file);
  return outputs;
}

} // namespace preset_doubles
