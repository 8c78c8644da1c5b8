// SPDX-License-Identifier: ISC
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

  // One host block, on the audio thread. In this order: the MIDI at the block's first frame to
  // ProcessMidiMsg (and to the editor), block-size growth with OnReset, bypass, transport, the
  // editor's MIDI, audio through ProcessBlock, then the messages the plug-in sent to the host's
  // MIDI output. Every later MIDI event reaches ProcessMidiMsg at its own frame: the audio goes to
  // ProcessBlock in pieces cut at the events' frames, each with the transport of its first frame
  // (a block without events is one piece). Events must come in frame order.
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
  void deliverMidi(const HostMidiEvent& event);
  void passThrough(const HostBlock& block, int nFrames);
  // Frames start ... start + nFrames - 1 of the host block through ProcessBlock.
  void renderPiece(const HostBlock& block, int start, int nFrames);
  static const float* inputChannel(const HostBlock& block, int c);
  static float* outputChannel(const HostBlock& block, int c);
  void fillTransportInfo(const HostTransport* transport);
  // The transport of the piece that starts `offset` frames into the block.
  void advanceTransportInfo(const ITransportInfo& blockStart, const HostTransport* transport, int offset);
};

// Provided by the plug-in: its configuration record, and its factory, which every host bridge
// calls to create an instance (null when construction fails).
const Config& PlugConfig();
IPlugin* MakePlug(const InstanceInfo& info);

} // namespace plug
