// SPDX-License-Identifier: ISC
#include "framework/IPluginProcessor.h"

#include <cstdio>

namespace plug {

namespace {
// "2-2": inputs, a dash, outputs.
void parseChannelIO(const char* text, int& nIn, int& nOut)
{
  int in = 0;
  int out = 0;
  if (text && std::sscanf(text, "%d-%d", &in, &out) == 2 && in >= 0 && out >= 0) {
    nIn = in;
    nOut = out;
  }
}
} // namespace

IPluginProcessor::IPluginProcessor(const Config& config)
{
  parseChannelIO(config.channelIOStr, mNInChannels, mNOutChannels);
  mMidiOut.reserve(kMaxMidiOutPerBlock);
  for (int c = 0; c < mNInChannels; ++c)
    mChannelLabels[kInput].emplace_back().SetFormatted(32, "Input %d", c + 1);
  for (int c = 0; c < mNOutChannels; ++c)
    mChannelLabels[kOutput].emplace_back().SetFormatted(32, "Output %d", c + 1);
}

void IPluginProcessor::SetChannelLabel(ERoute direction, int channel, const char* label)
{
  if ((direction != kInput && direction != kOutput) || channel < 0)
    return;
  std::vector<TextString>& labels = mChannelLabels[direction];
  if (static_cast<size_t>(channel) < labels.size())
    labels[static_cast<size_t>(channel)].Set(label);
}

const char* IPluginProcessor::GetChannelLabel(ERoute direction, int channel) const
{
  if ((direction != kInput && direction != kOutput) || channel < 0)
    return "";
  const std::vector<TextString>& labels = mChannelLabels[direction];
  return static_cast<size_t>(channel) < labels.size() ? labels[static_cast<size_t>(channel)].Get() : "";
}

bool IPluginProcessor::SendMidiMsg(const IMidiMsg& msg)
{
  if (mMidiOut.size() >= kMaxMidiOutPerBlock)
    return false;
  mMidiOut.push_back(msg);
  return true;
}

void IPluginProcessor::SetBlockSize(int blockSize)
{
  mBlockSize = blockSize;
  for (auto* buffers : {mScratchIn, mScratchOut})
    for (int c = 0; c < 2; ++c)
      buffers[c].assign(static_cast<size_t>(blockSize), 0.0);
}

} // namespace plug
