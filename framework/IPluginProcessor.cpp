#include "framework/IPluginProcessor.h"

#include <cstdio>

namespace plug {

namespace {
thread_local bool tInRenderCall = false;

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
}

bool IPluginProcessor::SendMidiMsg(const IMidiMsg& msg)
{
  if (mMidiOut.size() >= kMaxMidiOutPerBlock)
    return false;
  mMidiOut.push_back(msg);
  return true;
}

bool IPluginProcessor::OnRenderThread()
{
  return tInRenderCall;
}

void IPluginProcessor::SetBlockSize(int blockSize)
{
  mBlockSize = blockSize;
  for (auto* buffers : {mScratchIn, mScratchOut})
    for (int c = 0; c < 2; ++c)
      buffers[c].assign(static_cast<size_t>(blockSize), 0.0);
}

IPluginProcessor::RenderThreadScope::RenderThreadScope() : mOuter(!tInRenderCall)
{
  tInRenderCall = true;
}

IPluginProcessor::RenderThreadScope::~RenderThreadScope()
{
  if (mOuter)
    tInRenderCall = false;
}

} // namespace plug
