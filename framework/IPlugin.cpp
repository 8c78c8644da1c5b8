// SPDX-License-Identifier: ISC
#include "framework/IPlugin.h"

#include <algorithm>
#include <cstring>
#include <limits>

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

IPlugin::IPlugin(const Config& config) : IPluginAPIBase(config), IPluginProcessor(config)
{
}

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
  // The first block follows at once in most hosts: its conversion buffers in the caches now
  // rather than fetched during it (their contents are rewritten by every block).
  for (auto* buffers : {mScratchIn, mScratchOut})
    for (int c = 0; c < 2; ++c)
      std::fill(buffers[c].begin(), buffers[c].end(), 0.0);
}

void IPlugin::RenderAudio(const HostBlock& block)
{
  RenderThreadScope scope(*this);
  OnRenderStart();

  const int nFrames = std::max(block.nFrames, 0);
  const int nMidi = block.midi ? std::max(block.nMidi, 0) : 0;

  // Each event at its own frame: the block is rendered in pieces that end where the next event
  // falls. An event earlier than one before it (a host out of order) goes with the piece at hand,
  // one beyond the block after the block's audio. The events at the block's first frame come
  // before the reset of a longer block, the others after it.
  int next = 0; // the next event to deliver
  auto deliverUpTo = [&](int frame) {
    for (; next < nMidi && block.midi[next].frame <= frame; ++next)
      deliverMidi(block.midi[next]);
  };

  deliverUpTo(0);
  if (nFrames > GetBlockSize()) {
    SetBlockSize(nFrames);
    OnReset();
  }

  if (block.bypass) {
    deliverUpTo(std::numeric_limits<int>::max());
    passThrough(block, nFrames);
  } else {
    fillTransportInfo(block.transport);
    const ITransportInfo blockStart = mTransportInfo;

    IMidiMsg msg;
    while (mMidiFromEditor.Pop(msg))
      ProcessMidiMsg(msg);

    int start = 0;
    while (start < nFrames) {
      if (start > 0) {
        advanceTransportInfo(blockStart, block.transport, start);
        deliverUpTo(start);
      }
      // Every event left lies beyond `start`.
      const int end = next < nMidi ? std::min(block.midi[next].frame, nFrames) : nFrames;
      renderPiece(block, start, end - start);
      start = end;
    }
    deliverUpTo(std::numeric_limits<int>::max());
  }

  if (block.midiOutput)
    for (const IMidiMsg& sent : mMidiOut)
      block.midiOutput->SendMidi(sent);
  mMidiOut.clear(); // keeps its capacity
}

void IPlugin::deliverMidi(const HostMidiEvent& event)
{
  IMidiMsg msg;
  msg.mOffset = event.frame;
  msg.mStatus = event.status;
  msg.mData1 = event.data1;
  msg.mData2 = event.data2;
  ProcessMidiMsg(msg);
  mMidiToEditor.Push(msg); // dropped when full
}

void IPlugin::passThrough(const HostBlock& block, int nFrames)
{
  for (int c = 0; c < std::min(block.nOutputChannels, 2); ++c) {
    float* out = outputChannel(block, c);
    if (!out)
      continue;
    if (const float* in = inputChannel(block, c)) {
      if (in != out)
        std::memmove(out, in, sizeof(float) * static_cast<size_t>(nFrames));
    } else {
      std::fill(out, out + nFrames, 0.0f);
    }
  }
}

void IPlugin::renderPiece(const HostBlock& block, int start, int nFrames)
{
  for (int c = 0; c < 2; ++c) {
    const float* in = inputChannel(block, c);
    toDouble(in ? in + start : nullptr, mScratchIn[c].data(), nFrames);
  }
  double* inputs[2] = {mScratchIn[0].data(), mScratchIn[1].data()};
  double* outputs[2] = {mScratchOut[0].data(), mScratchOut[1].data()};
  ProcessBlock(inputs, outputs, nFrames);
  for (int c = 0; c < 2; ++c)
    if (float* out = outputChannel(block, c))
      toFloat(mScratchOut[c].data(), out + start, nFrames);
}

const float* IPlugin::inputChannel(const HostBlock& block, int c)
{
  return block.inputs && c < std::min(block.nInputChannels, 2) ? block.inputs[c] : nullptr;
}

float* IPlugin::outputChannel(const HostBlock& block, int c)
{
  return block.outputs && c < std::min(block.nOutputChannels, 2) ? block.outputs[c] : nullptr;
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

void IPlugin::advanceTransportInfo(const ITransportInfo& blockStart, const HostTransport* transport, int offset)
{
  // The sample position advances whether or not the host gave one: without one the block starts
  // at -1, and its pieces go on from there as the frames of one block would.
  mTransportInfo.mSamplePos = blockStart.mSamplePos + offset;
  const double sampleRate = GetSampleRate();
  if (transport && transport->hasTickPosition && sampleRate > 0.0)
    mTransportInfo.mPPQPos = blockStart.mPPQPos + offset * (blockStart.mTempo / 60.0) / sampleRate;
}

} // namespace plug
