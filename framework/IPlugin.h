#pragma once

#include "framework/HostBlock.h"
#include "framework/IPluginAPIBase.h"
#include "framework/IPluginProcessor.h"

namespace plug {

// A whole plug-in as every host bridge drives it: parameters, presets and change paths, the
// processor, and the render call that takes one host block through them in a fixed order.
class IPlugin : public IPluginAPIBase, public IPluginProcessor {
public:
  explicit IPlugin(const Config& config);

  // One host block, on the audio thread. In this order: MIDI to ProcessMidiMsg (and to the
  // editor), block-size growth with OnReset, bypass, transport, the editor's MIDI, audio through
  // ProcessBlock, then the messages the plug-in sent to the host's MIDI output.
  // Allocates only when the block is longer than any before.
  void RenderAudio(const HostBlock& block);

  // Prepares for playback at a sample rate with blocks of at most `maxBlockSize` frames, so
  // that the audio thread allocates nothing later. Host thread, while no audio runs.
  void PrepareToPlay(double sampleRate, int maxBlockSize);

  // The host (re)starts processing: OnActivate. Host thread, while no audio runs.
  void Activate();

protected:
  // First thing in every render call, before any MIDI; for work the plug-in defers to the audio thread.
  virtual void OnRenderStart() {}

private:
  void fillTransportInfo(const HostTransport* transport);
};

// Provided by the plug-in: its configuration record, and its factory, which every host bridge
// calls to create an instance (null when construction fails).
const Config& PlugConfig();
IPlugin* MakePlug(const InstanceInfo& info);

} // namespace plug
