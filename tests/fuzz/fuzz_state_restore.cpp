// SPDX-License-Identifier: ISC
// Arbitrary bytes restored as a state, as a preset list and through the AAX chunk call, then
// processed: nothing crashes, every parameter stays finite and in range, output stays finite.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzPlugin.h"
#include "framework/AAX/IPluginAAX.h"
#include "framework/IByteChunk.h"

using namespace quennet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  useScratchHome();
  static plug::aax::IPluginAAX* bridge = [] {
    auto* b = new plug::aax::IPluginAAX();
    static plug::aax::AAX_ParameterManager manager;
    b->Initialize(&manager);
    b->GetPlug()->PrepareToPlay(48000.0, 256);
    return b;
  }();
  plug::IPlugin& plugin = *bridge->GetPlug();
  if (size == 0)
    return 0;

  plug::IByteChunk chunk;
  chunk.PutBytes(data + 1, static_cast<int>(size - 1));
  switch (data[0] % 3) {
    case 0: plugin.UnserializeState(chunk, 0); break;
    case 1: plugin.UnserializePresets(chunk, 0); break;
    default: {
      plug::aax::AAX_SPlugInChunk hostChunk;
      hostChunk.fChunkID = static_cast<plug::aax::AAX_CTypeID>(plugin.GetUniqueID());
      hostChunk.fSize = static_cast<std::int32_t>(size - 1);
      hostChunk.fData.assign(data + 1, data + size);
      bridge->SetChunk(hostChunk.fChunkID, &hostChunk);
      bool equal = false;
      bridge->CompareActiveChunk(&hostChunk, &equal);
      break;
    }
  }
  if (!parametersSane(plugin))
    std::abort();

  static float in[2][256];
  static float out[2][256];
  for (int i = 0; i < 256; ++i)
    in[0][i] = in[1][i] = static_cast<float>(std::sin(0.05 * i));
  const float* inputs[2] = {in[0], in[1]};
  float* outputs[2] = {out[0], out[1]};
  plug::HostTransport transport;
  transport.hasTempo = true;
  transport.tempo = 120.0;
  transport.hasSamplePosition = true;
  plug::HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nFrames = 256;
  block.transport = &transport;
  plugin.RenderAudio(block);
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < 256; ++i)
      if (!std::isfinite(out[c][i]))
        std::abort();
  return 0;
}
