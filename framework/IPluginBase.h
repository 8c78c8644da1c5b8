// SPDX-License-Identifier: ISC
#pragma once

#include <memory>
#include <vector>

#include "framework/IByteChunk.h"
#include "framework/IEditorDelegate.h"
#include "framework/IParam.h"
#include "framework/IPreset.h"
#include "framework/PluginConfig.h"

namespace plug {

// The parameter list, the preset slots and the state chunk.
//
// The state chunk is one little-endian double per parameter, plain values in index order, with no
// header: 8 bytes per parameter. A preset slot holds the same chunk.
//
// Threads: the presets belong to the user-interface thread (and construction). Serialising and
// restoring the state may run on a host thread; parameter values are atomic.
class IPluginBase : public IEditorDelegate {
public:
  explicit IPluginBase(const Config& config);
  ~IPluginBase() override;

  IParam* GetParam(int paramIdx) override;
  const IParam* GetParam(int paramIdx) const;
  int NParams() const override { return static_cast<int>(mParams.size()); }

  std::int32_t GetUniqueID() const { return mUniqueID; }
  const char* GetPluginName() const { return mPluginName; }

  // The plug-in's reaction to a change of parameter `paramIdx`, whatever its source.
  virtual void OnParamChange(int /*paramIdx*/) {}
  void OnParamChange(int paramIdx, EParamSource source, int sampleOffset = -1);
  // Dispatches every parameter, in index order, to OnParamChange and OnParamChangeUI.
  void OnParamReset(EParamSource source);

  // State.
  bool SerializeParams(IByteChunk& chunk) const;
  int UnserializeParams(const IByteChunk& chunk, int startPos);
  virtual bool SerializeState(IByteChunk& chunk) const { return SerializeParams(chunk); }
  virtual int UnserializeState(const IByteChunk& chunk, int startPos) { return UnserializeParams(chunk, startPos); }
  // `data` holds one double per parameter from `startPos` (counted in doubles) on; equal when
  // every value matches the current one within 1e-5 in single precision.
  bool CompareState(const unsigned char* data, int startPos) const;

  // After a state or preset restore: shows every value on the editor.
  virtual void OnRestoreState();
  virtual void OnPresetsModified() {}

  // Presets.
  int NPresets() const { return static_cast<int>(mPresets.size()); }
  int GetCurrentPresetIdx() const { return mCurrentPresetIdx; }
  const IPreset* GetPreset(int idx) const;
  const char* GetPresetName(int idx) const;

  void MakeDefaultPreset(const char* name, int count);
  // One value per parameter: an int for bool, int and enum parameters, a double for all others.
  void MakePreset(const char* name, ...);
  // `count` pairs of (int index, value typed as for MakePreset); others take their current values.
  void MakePresetFromNamedParams(const char* name, int count, ...);
  void MakePresetFromChunk(const char* name, const IByteChunk& chunk);
  void MakePresetFromBlob(const char* name, const char* base64, int size);
  void EnsureDefaultPreset();
  void PruneUninitializedPresets();
  bool RestorePreset(int idx);
  bool RestorePreset(const char* name);
  void ModifyCurrentPreset(const char* name = nullptr);

  bool SerializePresets(IByteChunk& chunk) const;
  int UnserializePresets(const IByteChunk& chunk, int startPos);

private:
  IPreset* nextUninitializedPreset();

  std::vector<std::unique_ptr<IParam>> mParams;
  std::vector<std::unique_ptr<IPreset>> mPresets;
  int mCurrentPresetIdx = 0;
  std::int32_t mUniqueID;
  const char* mPluginName;
};

} // namespace plug
