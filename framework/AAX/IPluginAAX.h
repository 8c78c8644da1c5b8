// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "framework/AAX/AAX.h"
#include "framework/AAX/AAX_Collection.h"
#include "framework/AAX/AAX_ParameterManager.h"
#include "framework/IPlugin.h"

namespace plug::aax {

// The AAX bridge: the effect's parameter object as the host sees it. It owns one plug-in
// instance, registers its parameters with the host under the ids "1", "2", ... (index + 1),
// turns host changes, chunks and render calls into the framework's calls, and reports the
// plug-in's own changes to the host's parameter manager.
//
// When the plug-in could not be constructed the object stays usable for a host that carries on:
// every call answers AAX_ERROR_NULL_OBJECT and the render entry writes silence.
class IPluginAAX final : public plug::IHostNotifications {
public:
  static constexpr const char* kMasterBypassID = "MasterBypass";

  // The factory the description registers for the effect's parameter object; null when even
  // that object cannot be allocated.
  static void* Create();

  IPluginAAX();
  ~IPluginAAX() override;

  plug::IPlugin* GetPlug() { return mPlug.get(); }

  // The host hands over its parameter manager when the effect is initialised.
  AAX_Result Initialize(AAX_ParameterManager* parameterManager);

  // A host change (automation, the host's own controls), on the host's thread.
  AAX_Result UpdateParameterNormalizedValue(const char* id, double normalizedValue);
  AAX_Result GetNumberOfChanges(std::int32_t* numChanges) const;
  bool IsPacketChanged(const std::string& id) const;

  // State chunk.
  AAX_Result GetChunkIDFromIndex(std::int32_t index, AAX_CTypeID* chunkID) const;
  AAX_Result GetChunkSize(AAX_CTypeID chunkID, std::uint32_t* size) const;
  AAX_Result GetChunk(AAX_CTypeID chunkID, AAX_SPlugInChunk* chunk) const;
  AAX_Result SetChunk(AAX_CTypeID chunkID, const AAX_SPlugInChunk* chunk);
  AAX_Result CompareActiveChunk(const AAX_SPlugInChunk* chunk, bool* isEqual) const;

  // The names the plug-in gave its channels. Host thread.
  AAX_Result GetStemChannelNames(AAX_StemChannelNames* names) const;

  // The algorithm's render entry, on the audio thread.
  void RenderAudio(const AAX_RenderContext& context);

  // The plug-in's own changes, reported to the host.
  void InformHostOfParamChange(int paramIdx, double normalizedValue) override;
  void BeginInformHostOfParamChange(int paramIdx) override;
  void EndInformHostOfParamChange(int paramIdx) override;

  static std::string HostID(int paramIdx);

private:
  std::unique_ptr<plug::IPlugin> mPlug;
  AAX_ParameterManager* mParameterManager = nullptr;
  std::atomic<std::int32_t> mNumChanges{0};
  mutable std::mutex mChangedPacketsMutex; // host threads only
  std::map<std::string, bool> mChangedPackets;
};

// The editor's factory object. The editor view itself attaches through the editor delegate.
class AAX_CEffectGUI_Plugin {
public:
  static void* Create();
};

} // namespace plug::aax

// The description entry the host calls first: declares the effect.
plug::aax::AAX_Result GetEffectDescriptions(plug::aax::AAX_ICollection* collection);
