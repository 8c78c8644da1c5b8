// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace plug::graphics {

// Reads a whole file into `bytes`. False, with a one-line reason, when it cannot be opened or read,
// is empty, or is larger than `maxBytes`.
bool readFile(const std::string& path, std::size_t maxBytes, std::vector<unsigned char>& bytes, std::string& error);

} // namespace plug::graphics
