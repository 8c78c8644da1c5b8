#include "framework/IPlugin.h"

#include <algorithm>
#include <cstring>

namespace plug {

namespace {
// Four samples at a time in vector registers: the build's -O2 does not vectorise loops, and every
// sample of every block passes here twice. The same conversions as one at a time: float to double
// is exact, double to float rounds each value alike.
using Floats = float __attribute__((vector_size(16)));
using Doubles = double __attribute__((vector_size(32)));

// The host's floats as the doubles the plug-in works on; silence for a channel the host left
// unconnected.
void toDouble(const float* in, double* out, int n)
{
  if (!in) {
    std::fill(out, out + n, 0.0);
    return;
  }
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    Floats floats;
    std::memcpy(&floats, in + i, sizeof floats);
    const Doubles doubles = __builtin_convertvector(floats, Doubles);
    std::memcpy(out + i, &doubles, sizeof doubles);
  }
  for (; i < n; ++i)
    out[i] = static_cast<double>(in[i]);
}

// The plug-in's doubles rounded to the host's floats.
void toFloat(const double* in, float* out, int n)
{
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    Doubles doubles;
    std::memcpy(&doubles, in + i, sizeof doubles);
    const Floats floats = __builtin_convertvector(doubles, Floats);
    std::memcpy(out + i, &floats, sizeof floats);
  }
  for (; i < n; ++i)
    out[i] = static_cast<float>(in[i]);
}
} // namespace

IPlugin::IPlugin(const Config& config) : IPluginAPIBase(config), IPluginProcessor(config) {}

void IPlugin::PrepareToPlay(double sampleRate, int maxBlockSize)
{
  RenderThreadScope scope(*this);
  SetSampleRate(sampleRate);
  if (maxBlockSize > GetBlockSize())
    SetBlockSize(maxBlockSize);
  OnReset();
}

void IPlugin::Activate()
{
  // Not concurrent with a render call: the plug-in may change its engine as the audio thread does.
  RenderThreadScope scope(*this);
  OnActivate();
}

void IPlugin::RenderAudio(const HostBlock& block)
{
  RenderThreadScope scope(*this);
  OnRenderStart();

  const bool bypassed = block.bypass;
  const int nFrames = std::max(block.nFrames, 0);

  for (int i = 0; i < block.nMidi; ++i) {
    const HostMidiEvent& event = block.midi[i];
    IMidiMsg msg;
    msg.mOffset = event.frame;
    msg.mStatus = event.status;
    msg.mData1 = event.data1;
    msg.mData2 = event.data2;
    ProcessMidiMsg(msg);
    mMidiToEditor.Push(msg);  // dropped when full
  }

  if (nFrames > GetBlockSize()) {
    SetBlockSize(nFrames);
    OnReset();
  }

  const int nIn = std::min(block.nInputChannels, 2);
  const int nOut = std::min(block.nOutputChannels, 2);
  auto input = [&](int c) -> const float* { return block.inputs && c < nIn ? block.inputs[c] : nullptr; };
  auto output = [&](int c) -> float* { return block.outputs && c < nOut ? block.outputs[c] : nullptr; };

  if (bypassed) {
    for (int c = 0; c < nOut; ++c) {
      float* out = output(c);
      if (!out)
        continue;
      if (const float* in = input(c)) {
        if (in != out)
          std::memmove(out, in, sizeof(float) * static_cast<size_t>(nFrames));
      } else {
        std::fill(out, out + nFrames, 0.0f);
      }
    }
  } else {
    fillTransportInfo(block.transport);

    IMidiMsg msg;
    while (mMidiFromEditor.Pop(msg))
      ProcessMidiMsg(msg);

    for (int c = 0; c < 2; ++c)
      toDouble(input(c), mScratchIn[c].data(), nFrames);
    double* inputs[2] = {mScratchIn[0].data(), mScratchIn[1].data()};
    double* outputs[2] = {mScratchOut[0].data(), mScratchOut[1].data()};
    ProcessBlock(inputs, outputs, nFrames);
    for (int c = 0; c < nOut; ++c)
      if (float* out = output(c))
        toFloat(mScratchOut[c].data(), out, nFrames);
  }

  if (block.midiOutput)
    for (const IMidiMsg& sent : mMidiOut)
      block.midiOutput->SendMidi(sent);
  mMidiOut.clear();  // keeps its capacity
}

void IPlugin::fillTransportInfo(const HostTransport* transport)
{
  mTransportInfo = ITransportInfo{};
  if (!transport)
    return;
  if (transport->hasTempo)
    mTransportInfo.mTempo = transport->tempo;
  mTransportInfo.mTransportIsRunning = transport->isPlaying;
  if (transport->hasMeter) {
    mTransportInfo.mNumerator = transport->numerator;
    mTransportInfo.mDenominator = transport->denominator;
  }
  if (transport->hasTickPosition)
    mTransportInfo.mPPQPos = static_cast<double>(transport->tickPosition) / kTicksPerQuarterNote;
  if (transport->hasSamplePosition)
    mTransportInfo.mSamplePos = transport->samplePosition;
  if (transport->hasLoop) {
    mTransportInfo.mTransportLoopEnabled = transport->loopEnabled;
    mTransportInfo.mCycleStart = static_cast<double>(transport->loopStartTicks) / kTicksPerQuarterNote;
    mTransportInfo.mCycleEnd = static_cast<double>(transport->loopEndTicks) / kTicksPerQuarterNote;
  }
}

} // namespace plug
