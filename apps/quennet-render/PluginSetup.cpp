// SPDX-License-Identifier: ISC
#include "apps/quennet-render/PluginSetup.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <strings.h>

#include "apps/quennet-render/Errors.h"
#include "framework/IParam.h"
#include "apps/quennet-render/Options.h"

namespace render {

namespace {
bool equalsIgnoringCase(const char* a, const std::string& b)
{
  return a && strcasecmp(a, b.c_str()) == 0;
}

std::string formatNumber(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}
} // namespace

std::unique_ptr<plug::IPlugin> makePlugin()
{
  std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug(plug::InstanceInfo{}));
  if (!plugin)
    throw RenderFailure("the plug-in could not be created");
  return plugin;
}

int findPreset(const plug::IPlugin& plugin, const std::string& indexOrName)
{
  const int count = plugin.NPresets();
  if (!indexOrName.empty() && indexOrName.find_first_not_of("0123456789") == std::string::npos) {
    if (indexOrName.size() <= 3) {
      const int index = std::atoi(indexOrName.c_str());
      if (index < count)
        return index;
    }
    throw BadInput("unknown preset " + inQuotes(indexOrName) + "; the presets are 0 to " + std::to_string(count - 1) +
                   " (see --list-presets)");
  }
  for (int i = 0; i < count; ++i)
    if (equalsIgnoringCase(plugin.GetPresetName(i), indexOrName))
      return i;
  throw BadInput("unknown preset " + inQuotes(indexOrName) + " (see --list-presets)");
}

ParamSetting resolveSetting(const plug::IPlugin& plugin, const std::string& name, const std::string& value)
{
  ParamSetting setting;
  for (int i = 0; i < plugin.NParams() && setting.paramIdx < 0; ++i) {
    const plug::IParam& param = *plugin.GetParam(i);
    // Reserved slots have no name and cannot be addressed.
    if (param.Type() != plug::IParam::kTypeNone && param.GetName()[0] != '\0' &&
        equalsIgnoringCase(param.GetName(), name))
      setting.paramIdx = i;
  }
  if (setting.paramIdx < 0)
    throw BadInput("unknown parameter " + inQuotes(name) + " (see --list-params)");

  const plug::IParam& param = *plugin.GetParam(setting.paramIdx);
  double number = 0.0;
  if (param.MapDisplayText(value.c_str(), &setting.value))
    return setting;
  for (int t = 0; t < param.NDisplayTexts(); ++t) {
    double textValue = 0.0;
    if (equalsIgnoringCase(param.GetDisplayTextAtIdx(t, &textValue), value)) {
      setting.value = textValue;
      return setting;
    }
  }
  if (!readNumber(value, number)) {
    std::string hint;
    if (param.NDisplayTexts() > 0) {
      hint = "; one of";
      for (int t = 0; t < param.NDisplayTexts(); ++t)
        hint += std::string(t ? ", " : " ") + param.GetDisplayTextAtIdx(t);
      hint += " or a number";
    } else {
      hint = "; a number from " + formatNumber(param.GetMin()) + " to " + formatNumber(param.GetMax());
    }
    throw BadInput(inQuotes(value) + " is not a value of " + param.GetName() + hint);
  }
  setting.value = number;
  setting.outOfRange = number < param.GetMin() || number > param.GetMax();
  return setting;
}

void applyPreset(plug::IPlugin& plugin, int presetIdx)
{
  plugin.RestorePreset(presetIdx);
}

void applySetting(plug::IPlugin& plugin, const ParamSetting& setting)
{
  plugin.SetParameterFromHostPlain(setting.paramIdx, setting.value);
}

PluginSettings resolvePluginSettings(const plug::IPlugin& plugin, const std::string& preset,
                                     const std::vector<std::pair<std::string, std::string>>& settings)
{
  PluginSettings resolved;
  resolved.preset = findPreset(plugin, preset);
  for (const auto& [name, value] : settings)
    resolved.settings.push_back(resolveSetting(plugin, name, value));
  return resolved;
}

void applyPluginSettings(plug::IPlugin& plugin, const PluginSettings& resolved,
                         const std::vector<std::pair<std::string, std::string>>& settings)
{
  applyPreset(plugin, resolved.preset);
  for (size_t i = 0; i < resolved.settings.size(); ++i) {
    const plug::IParam& param = *plugin.GetParam(resolved.settings[i].paramIdx);
    if (resolved.settings[i].outOfRange)
      printWarning(settings[i].first + "=" + settings[i].second + " is outside " + formatNumber(param.GetMin()) +
                   " to " + formatNumber(param.GetMax()) + "; the nearest end is used");
    applySetting(plugin, resolved.settings[i]);
  }
}

} // namespace render
