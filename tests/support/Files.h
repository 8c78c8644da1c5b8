// SPDX-License-Identifier: ISC
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Whole-file reads and writes for tests; a write creates the missing folders.
inline std::string readFile(const std::filesystem::path& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& content)
{
  if (path.has_parent_path())
    std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}
