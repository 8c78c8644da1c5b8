// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

namespace plug {

// Four-character code as hosts use it: the first character in the most significant byte.
constexpr std::int32_t FourCharCode(const char (&code)[5])
{
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
                                   (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
                                   (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
                                   static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])));
}

// What a plug-in tells the framework about itself when it is constructed.
struct Config {
  int nParams = 0;
  int nPresets = 0;
  const char* channelIOStr = "2-2";
  const char* pluginName = "";
  const char* productName = "";
  const char* mfrName = "";
  int vendorVersion = 0; // major in the upper 16 bits, minor and patch in one byte each
  std::int32_t uniqueID = 0;
  std::int32_t mfrID = 0;
  int latency = 0;
  bool plugDoesMidiIn = false;
  bool plugDoesMidiOut = false;
  bool plugHasUI = false;
  int plugWidth = 0;
  int plugHeight = 0;
  int plugMinWidth = 0;
  int plugMaxWidth = 0;
  int plugMinHeight = 0;
  int plugMaxHeight = 0;
  const char* bundleID = ""; // reverse-domain identifier of the effect
  const char* appGroupID = "";
  const char* effectNames = ""; // the names a host may show, longest first, one per line
  const char* midiInputNodeName = "";
};

// Given to the plug-in's factory; nothing host-specific is needed here.
struct InstanceInfo {};

} // namespace plug
