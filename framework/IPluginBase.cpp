// SPDX-License-Identifier: ISC
#include "framework/IPluginBase.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/Base64.h"

namespace plug {

namespace {
void copyName(IPreset& preset, const char* name)
{
  std::snprintf(preset.mName, sizeof(preset.mName), "%s", name);
}

bool takesIntArgument(const IParam& param)
{
  const auto type = param.Type();
  return type == IParam::kTypeBool || type == IParam::kTypeInt || type == IParam::kTypeEnum;
}
} // namespace

IPluginBase::IPluginBase(const Config& config) : mUniqueID(config.uniqueID), mPluginName(config.pluginName)
{
  mParams.reserve(static_cast<size_t>(config.nParams));
  for (int i = 0; i < config.nParams; ++i)
    mParams.push_back(std::make_unique<IParam>());
  for (int i = 0; i < config.nPresets; ++i)
    mPresets.push_back(std::make_unique<IPreset>());
}

IPluginBase::~IPluginBase() = default;

IParam* IPluginBase::GetParam(int paramIdx)
{
  return paramIdx >= 0 && paramIdx < NParams() ? mParams[static_cast<size_t>(paramIdx)].get() : nullptr;
}

const IParam* IPluginBase::GetParam(int paramIdx) const
{
  return paramIdx >= 0 && paramIdx < NParams() ? mParams[static_cast<size_t>(paramIdx)].get() : nullptr;
}

void IPluginBase::OnParamChange(int paramIdx, EParamSource, int)
{
  OnParamChange(paramIdx);
}

void IPluginBase::OnParamReset(EParamSource source)
{
  for (int i = 0; i < NParams(); ++i) {
    OnParamChange(i, source);
    OnParamChangeUI(i, source);
  }
}

bool IPluginBase::SerializeParams(IByteChunk& chunk) const
{
  for (const auto& param : mParams) {
    const double value = param->GetValue();
    if (chunk.Put(&value) == 0)
      return false;
  }
  return mParams.empty() || chunk.Size() > 0;
}

int IPluginBase::UnserializeParams(const IByteChunk& chunk, int startPos)
{
  int pos = startPos;
  if (pos >= 0) {
    for (auto& param : mParams) {
      double value = 0.0;
      pos = chunk.Get(&value, pos);
      if (pos < 0)
        value = 0.0;
      param->SetValue(value); // constrains; a NaN leaves the value as it was
      if (pos < 0)
        break;
    }
  }
  OnParamReset(kPresetRecall);
  return pos;
}

bool IPluginBase::CompareState(const unsigned char* data, int startPos) const
{
  for (int i = 0; i < NParams(); ++i) {
    double stored = 0.0;
    std::memcpy(&stored, data + (static_cast<size_t>(startPos) + static_cast<size_t>(i)) * sizeof(double),
                sizeof(double));
    const float current = static_cast<float>(mParams[static_cast<size_t>(i)]->GetValue());
    if (!(std::fabs(current - static_cast<float>(stored)) < 0.00001f))
      return false;
  }
  return true;
}

void IPluginBase::OnRestoreState()
{
  for (int i = 0; i < NParams(); ++i)
    SendParameterValueFromDelegate(i, std::clamp(mParams[static_cast<size_t>(i)]->GetNormalized(), 0.0, 1.0), true);
}

const IPreset* IPluginBase::GetPreset(int idx) const
{
  return idx >= 0 && idx < NPresets() ? mPresets[static_cast<size_t>(idx)].get() : nullptr;
}

const char* IPluginBase::GetPresetName(int idx) const
{
  const IPreset* preset = GetPreset(idx);
  return preset ? preset->mName : "";
}

IPreset* IPluginBase::nextUninitializedPreset()
{
  for (auto& preset : mPresets)
    if (!preset->mInitialized)
      return preset.get();
  return nullptr;
}

void IPluginBase::MakeDefaultPreset(const char* name, int count)
{
  for (int i = 0; i < count; ++i) {
    IPreset* preset = nextUninitializedPreset();
    if (!preset)
      return;
    preset->mInitialized = true;
    copyName(*preset, name ? name : "Empty");
    preset->mChunk.Clear();
    SerializeState(preset->mChunk);
  }
}

void IPluginBase::MakePreset(const char* name, ...)
{
  IPreset* preset = nextUninitializedPreset();
  if (!preset)
    return;
  preset->mInitialized = true;
  copyName(*preset, name);
  preset->mChunk.Clear();
  va_list args;
  va_start(args, name);
  for (const auto& param : mParams) {
    const double value = takesIntArgument(*param) ? static_cast<double>(va_arg(args, int)) : va_arg(args, double);
    preset->mChunk.Put(&value);
  }
  va_end(args);
}

void IPluginBase::MakePresetFromNamedParams(const char* name, int count, ...)
{
  IPreset* preset = nextUninitializedPreset();
  if (!preset)
    return;
  preset->mInitialized = true;
  copyName(*preset, name);

  std::vector<double> values(mParams.size());
  for (size_t i = 0; i < mParams.size(); ++i)
    values[i] = mParams[i]->GetValue();

  va_list args;
  va_start(args, count);
  for (int i = 0; i < count; ++i) {
    const int paramIdx = va_arg(args, int);
    if (paramIdx < 0 || paramIdx >= NParams()) {
      // The value's type is unknown for an index that does not exist: the rest cannot be read.
      break;
    }
    const IParam& param = *mParams[static_cast<size_t>(paramIdx)];
    values[static_cast<size_t>(paramIdx)] =
      takesIntArgument(param) ? static_cast<double>(va_arg(args, int)) : va_arg(args, double);
  }
  va_end(args);

  preset->mChunk.Clear();
  for (double value : values)
    preset->mChunk.Put(&value);
}

void IPluginBase::MakePresetFromChunk(const char* name, const IByteChunk& chunk)
{
  IPreset* preset = nextUninitializedPreset();
  if (!preset)
    return;
  preset->mInitialized = true;
  copyName(*preset, name);
  preset->mChunk = chunk;
}

void IPluginBase::MakePresetFromBlob(const char* name, const char* base64, int size)
{
  IPreset* preset = nextUninitializedPreset();
  if (!preset)
    return;
  preset->mInitialized = true;
  copyName(*preset, name);
  const std::vector<std::uint8_t> bytes = Base64Decode(base64);
  preset->mChunk.Clear();
  preset->mChunk.PutBytes(bytes.data(), std::min(size, static_cast<int>(bytes.size())));
}

void IPluginBase::EnsureDefaultPreset()
{
  MakeDefaultPreset("Empty", NPresets());
}

void IPluginBase::PruneUninitializedPresets()
{
  std::erase_if(mPresets, [](const std::unique_ptr<IPreset>& preset) { return !preset->mInitialized; });
  if (mCurrentPresetIdx >= NPresets())
    mCurrentPresetIdx = std::max(0, NPresets() - 1);
}

bool IPluginBase::RestorePreset(int idx)
{
  if (idx < 0 || idx >= NPresets())
    return false;
  IPreset& preset = *mPresets[static_cast<size_t>(idx)];
  if (!preset.mInitialized) {
    preset.mInitialized = true;
    int userPresets = 0;
    for (const auto& other : mPresets)
      if (std::strstr(other->mName, "user preset"))
        ++userPresets;
    std::snprintf(preset.mName, sizeof(preset.mName), "%s %d", "user preset", userPresets + 1);
    preset.mChunk.Clear();
    if (!SerializeState(preset.mChunk))
      return false;
  } else if (UnserializeState(preset.mChunk, 0) < 1) {
    return false;
  }
  mCurrentPresetIdx = idx;
  OnPresetsModified();
  OnRestoreState();
  return true;
}

bool IPluginBase::RestorePreset(const char* name)
{
  if (!name || !*name)
    return false;
  for (int i = 0; i < NPresets(); ++i)
    if (std::strcmp(mPresets[static_cast<size_t>(i)]->mName, name) == 0)
      return RestorePreset(i);
  return false;
}

void IPluginBase::ModifyCurrentPreset(const char* name)
{
  if (mCurrentPresetIdx < 0 || mCurrentPresetIdx >= NPresets())
    return;
  IPreset& preset = *mPresets[static_cast<size_t>(mCurrentPresetIdx)];
  preset.mChunk.Clear();
  SerializeState(preset.mChunk);
  if (name && *name)
    copyName(preset, name);
}

bool IPluginBase::SerializePresets(IByteChunk& chunk) const
{
  for (const auto& preset : mPresets) {
    chunk.PutStr(preset->mName);
    const std::uint8_t initialized = preset->mInitialized ? 1 : 0;
    chunk.Put(&initialized);
    if (preset->mInitialized && preset->mChunk.Size() > 0)
      chunk.PutBytes(preset->mChunk.GetData(), preset->mChunk.Size());
  }
  return true;
}

int IPluginBase::UnserializePresets(const IByteChunk& chunk, int startPos)
{
  int pos = startPos;
  for (auto& preset : mPresets) {
    if (pos < 0)
      break;
    char name[IPreset::kMaxNameLength];
    const int afterName = chunk.GetStr(name, sizeof(name), pos);
    if (afterName < 0) {
      preset->mName[0] = '\0';
      pos = -1;
      break;
    }
    pos = afterName;
    copyName(*preset, name);
    std::uint8_t initialized = 0;
    pos = chunk.Get(&initialized, pos);
    if (pos < 0)
      break;
    preset->mInitialized = initialized != 0;
    if (preset->mInitialized) {
      pos = UnserializeState(chunk, pos);
      if (pos > 0) {
        preset->mChunk.Clear();
        SerializeState(preset->mChunk);
      }
    }
  }
  RestorePreset(mCurrentPresetIdx);
  return pos;
}

} // namespace plug
