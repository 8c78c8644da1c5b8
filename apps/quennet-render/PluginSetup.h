// SPDX-License-Identifier: ISC
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/IPlugin.h"

namespace render {

// A plug-in instance made by the plug-in's own factory, as every host bridge makes one; it reads
// its settings file under $HOME like any instance. Throws RenderFailure when the factory fails.
std::unique_ptr<plug::IPlugin> makePlugin();

// The preset slot for "N" (an index) or a preset name (case-insensitive). Throws BadInput.
int findPreset(const plug::IPlugin& plugin, const std::string& indexOrName);

// One parameter value from the command line, checked against the parameter.
struct ParamSetting {
  int paramIdx = -1;
  double value = 0.0; // plain, before the parameter's constraint
  bool outOfRange = false; // a number outside the parameter's range; it will be clamped
};

// NAME as in the parameter list (case-insensitive); VALUE a plain number or one of the
// parameter's display texts (exact first, then case-insensitive). Throws BadInput.
ParamSetting resolveSetting(const plug::IPlugin& plugin, const std::string& name, const std::string& value);

// What the preset menu does: the slot's values are loaded and every parameter dispatched.
void applyPreset(plug::IPlugin& plugin, int presetIdx);

// What a host's change does: the plain value is stored through the parameter's constraint (no
// round trip through the normalised value, which can move a length by a sample) and dispatched.
void applySetting(plug::IPlugin& plugin, const ParamSetting& setting);

// The preset and the --set values of a command line, resolved against the plug-in before anything
// is written. Throws BadInput.
struct PluginSettings {
  int preset = 0;
  std::vector<ParamSetting> settings;
};
PluginSettings resolvePluginSettings(const plug::IPlugin& plugin, const std::string& preset,
                                     const std::vector<std::pair<std::string, std::string>>& settings);

// Loads the preset, then stores the settings in order, warning about values outside a range (the
// `settings` named as on the command line).
void applyPluginSettings(plug::IPlugin& plugin, const PluginSettings& resolved,
                         const std::vector<std::pair<std::string, std::string>>& settings);

} // namespace render
