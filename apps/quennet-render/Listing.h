// SPDX-License-Identifier: ISC
#pragma once

#include <string>

#include "framework/IPlugin.h"

namespace render {

// Every named parameter: index, name, kind, range, default (plain and as shown) and display
// texts; a Markdown table or aligned plain text. Read from the instance, so it cannot
// drift from the code.
std::string listParameters(const plug::IPlugin& plugin, bool markdown);

// Every preset slot: index, name and the settings in which it differs from the parameter
// defaults. Loads each slot into the instance to read it.
std::string listPresets(plug::IPlugin& plugin, bool markdown);

} // namespace render
