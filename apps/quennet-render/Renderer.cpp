// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Renderer.h"

#include <algorithm>
#include <cmath>

namespace render {

Renderer::Renderer(plug::IPlugin& plugin, const HostSettings& settings, MidiFile* midi)
    : mPlugin(plugin), mSettings(settings), mMidi(midi)
{
  if (!mMidi)
    return;
  mMidi->rewind();
  mHasNextEvent = mMidi->next(mNextEvent);
}

void Renderer::fillTransport()
{
  mTransport = plug::HostTransport{};
  if (!mSettings.transport)
    return;
  const double position = static_cast<double>(mSettings.position + mStart);
  mTransport.hasTempo = true;
  mTransport.tempo = mSettings.tempo;
  mTransport.hasSamplePosition = true;
  mTransport.samplePosition = position;
  // A host also reports the position in musical time; the tempo is constant, so it follows.
  mTransport.hasTickPosition = true;
  mTransport.tickPosition =
    std::llround(position / mSettings.sampleRate * (mSettings.tempo / 60.0) * plug::kTicksPerQuarterNote);
  mTransport.hasMeter = true;
  mTransport.numerator = 4;
  mTransport.denominator = 4;
  mTransport.isPlaying = true;
}

void Renderer::prepare()
{
  mPlugin.PrepareToPlay(mSettings.sampleRate, mSettings.blockSize);
}

void Renderer::process(const float* inputLeft, const float* inputRight, float* outputLeft, float* outputRight,
                       int frames)
{
  std::size_t events = 0;
  while (mHasNextEvent && mNextEvent.frame < mStart + frames && events < kMaxMidiEventsPerBlock) {
    // An event held back from a full block comes at the start of this one.
    const std::int64_t offset = std::max<std::int64_t>(mNextEvent.frame - mStart, 0);
    if (mNextEvent.frame < mStart)
      ++mLateEvents;
    const plug::HostMidiEvent event{static_cast<int>(offset), mNextEvent.status, mNextEvent.data1, mNextEvent.data2};
    if (events < mBlockEvents.size())
      mBlockEvents[events] = event;
    else
      mBlockEvents.push_back(event);
    ++events;
    mHasNextEvent = mMidi->next(mNextEvent);
  }

  fillTransport();
  const float* inputs[2] = {inputLeft, inputRight};
  float* outputs[2] = {outputLeft, outputRight};
  plug::HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nInputChannels = 2;
  block.nOutputChannels = 2;
  block.nFrames = frames;
  block.midi = events > 0 ? mBlockEvents.data() : nullptr;
  block.nMidi = static_cast<int>(events);
  block.transport = mSettings.transport ? &mTransport : nullptr;
  block.bypass = false;
  block.midiOutput = nullptr; // the renderer records no MIDI
  mPlugin.RenderAudio(block);
  mStart += frames;
}

} // namespace render
