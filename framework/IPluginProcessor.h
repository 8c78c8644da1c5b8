// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "framework/IMidiMsg.h"
#include "framework/ITransportInfo.h"
#include "framework/PluginConfig.h"
#include "framework/ProcessingThread.h"
#include "framework/TextString.h"

namespace plug {

// The direction of a channel: what the host feeds in or takes out.
enum ERoute : int { kInput = 0, kOutput = 1 };

// The audio side of a plug-in: sample rate, block size, the host's transport for the current
// block, MIDI output, and the hooks the render call drives. Audio thread unless noted.
class IPluginProcessor {
public:
  static constexpr int kMaxMidiOutPerBlock = 1024;

  explicit IPluginProcessor(const Config& config);
  virtual ~IPluginProcessor() = default;

  virtual void ProcessBlock(double** inputs, double** outputs, int nFrames) = 0;
  virtual void ProcessMidiMsg(const IMidiMsg& /*msg*/) {}
  // Before a block longer than any before, and when the host prepares playback.
  virtual void OnReset() {}
  // The host starts processing anew after a pause (LV2's activate): the plug-in forgets what it
  // heard before (notes, recordings, filter memories); parameters and presets stay. Host thread,
  // while no audio runs.
  virtual void OnActivate() {}

  // Host thread, while no audio runs.
  void SetSampleRate(double sampleRate) { mSampleRate.store(sampleRate, std::memory_order_relaxed); }
  double GetSampleRate() const { return mSampleRate.load(std::memory_order_relaxed); }
  int GetBlockSize() const { return mBlockSize; }
  const ITransportInfo& GetTransportInfo() const { return mTransportInfo; }

  int NInChannels() const { return mNInChannels; }
  int NOutChannels() const { return mNOutChannels; }

  // The name a host shows for a channel ("Quennet Left"). Set during construction, read by the
  // host bridges on the host's threads afterwards. A channel the configuration does not have is
  // ignored; a null label is the empty name.
  void SetChannelLabel(ERoute direction, int channel, const char* label);
  // The name given, else "Input 1", "Output 2" (counted from 1); empty for a channel that does not exist.
  const char* GetChannelLabel(ERoute direction, int channel) const;

  // Queues a message for the host's MIDI output of this render call; false when the block's
  // outgoing list is full.
  bool SendMidiMsg(const IMidiMsg& msg);

  // Whether the calling thread is inside a render call of this plug-in right now. Any thread.
  bool OnRenderThread() const { return mRenderThread.IsCurrent(); }

protected:
  // Grows the scratch buffers (cleared) to hold `blockSize` frames. Allocates.
  void SetBlockSize(int blockSize);

  // Marks the calling thread as the plug-in's audio thread for the lifetime of the scope.
  class RenderThreadScope : public ProcessingThread::Scope {
  public:
    explicit RenderThreadScope(IPluginProcessor& processor) : ProcessingThread::Scope(processor.mRenderThread) {}
  };

  std::vector<double> mScratchIn[2];
  std::vector<double> mScratchOut[2];
  ITransportInfo mTransportInfo;
  std::vector<IMidiMsg> mMidiOut; // capacity reserved up front; never grows on the audio thread

private:
  std::atomic<double> mSampleRate{44100.0};
  int mBlockSize = 0;
  int mNInChannels = 2;
  int mNOutChannels = 2;
  std::vector<TextString> mChannelLabels[2]; // by ERoute, then channel
  ProcessingThread mRenderThread; // the thread inside a render call (or preparing one), none outside
};

} // namespace plug
