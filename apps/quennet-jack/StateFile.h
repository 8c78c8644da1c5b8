// SPDX-License-Identifier: ISC
#pragma once

#include <string>

#include "framework/IPluginBase.h"

// The program's state between runs: the plug-in's state chunk (all 29 values, the same 232 bytes
// the plug-in formats save) in "quennet-jack.state", beside quennet.ini in the settings folder
// ($XDG_CONFIG_HOME/TarnwellMusic, ~/.config/TarnwellMusic when unset).
namespace jack_app::state_file {

inline constexpr const char* kFileName = "quennet-jack.state";

// The file's path; empty when there is no configuration folder.
std::string Path();
// Restores the saved values; false (nothing changed) when there is no file or it is not a whole state.
bool Load(plug::IPluginBase& plugin, const std::string& path);
// Writes the values through a temporary file, so a crash never leaves half a state.
bool Save(const plug::IPluginBase& plugin, const std::string& path);

} // namespace jack_app::state_file
