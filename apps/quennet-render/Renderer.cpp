#include "apps/quennet-render/Renderer.h"

#include <algorithm>
#include <cmath>

namespace render {

Renderer::Renderer(plug::IPlugin& plugin, const HostSettings& settings, const std::vector<TimedMidiEvent>& midi,
                   std::int64_t frames)
  : mPlugin(plugin), mSettings(settings), mFrames(frames)
{
  // Every block starts at a multiple of the block size, so an event's block and offset follow
  // from its frame alone and can be worked out before the render. The sort keeps file order
  // among events of the same frame.
  std::vector<TimedMidiEvent> sorted(midi);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TimedMidiEvent& a, const TimedMidiEvent& b) { return a.frame < b.frame; });
  mEvents.reserve(sorted.size());
  mEventBlock.reserve(sorted.size());
  for (const TimedMidiEvent& event : sorted) {
    if (event.frame < 0 || event.frame >= frames)
      continue;
    const std::int64_t blockStart = event.frame - event.frame % settings.blockSize;
    mEvents.push_back({static_cast<int>(event.frame - blockStart), event.status, event.data1, event.data2});
    mEventBlock.push_back(blockStart);
  }
}

void Renderer::fillTransport(std::int64_t start)
{
  mTransport = plug::HostTransport{};
  if (!mSettings.transport)
    return;
  const double position = static_cast<double>(mSettings.position + start);
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

void Renderer::run(const float* inputLeft, const float* inputRight, float* outputLeft, float* outputRight,
                   const BlockDone& blockDone)
{
  mPlugin.PrepareToPlay(mSettings.sampleRate, mSettings.blockSize);

  size_t nextEvent = 0;
  for (std::int64_t start = 0; start < mFrames; start += mSettings.blockSize) {
    const int n = static_cast<int>(std::min<std::int64_t>(mSettings.blockSize, mFrames - start));
    const size_t firstEvent = nextEvent;
    while (nextEvent < mEvents.size() && mEventBlock[nextEvent] == start)
      ++nextEvent;

    fillTransport(start);
    const float* inputs[2] = {inputLeft + start, inputRight + start};
    float* outputs[2] = {outputLeft + start, outputRight + start};
    plug::HostBlock block;
    block.inputs = inputs;
    block.outputs = outputs;
    block.nInputChannels = 2;
    block.nOutputChannels = 2;
    block.nFrames = n;
    block.midi = nextEvent > firstEvent ? mEvents.data() + firstEvent : nullptr;
    block.nMidi = static_cast<int>(nextEvent - firstEvent);
    block.transport = mSettings.transport ? &mTransport : nullptr;
    block.bypass = false;
    block.midiOutput = nullptr;  // the renderer records no MIDI
    mPlugin.RenderAudio(block);

    if (blockDone)
      blockDone(start, n);
  }
}

} // namespace render
