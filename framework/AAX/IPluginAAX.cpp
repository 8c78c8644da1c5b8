// SPDX-License-Identifier: ISC
#include "framework/AAX/IPluginAAX.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include "framework/IByteChunk.h"

namespace plug::aax {

namespace {
// "Quennet\nQnet" -> {"Quennet", "Qnet"}.
std::vector<std::string> splitLines(const char* text)
{
  std::vector<std::string> lines;
  std::istringstream stream(text ? text : "");
  std::string line;
  while (std::getline(stream, line))
    if (!line.empty())
      lines.push_back(line);
  return lines;
}

// A host id is the parameter's index + 1 in decimal; anything else maps to no parameter (-1).
int paramIndexFromHostID(const char* id, int nParams)
{
  if (!id || !*id)
    return -1;
  char* end = nullptr;
  errno = 0;
  const long k = std::strtol(id, &end, 10);
  if (errno != 0 || end == id || *end != '\0' || k < 1 || k > nParams)
    return -1;
  return static_cast<int>(k - 1);
}
} // namespace

void* IPluginAAX::Create()
{
  // Nothing may throw into the host.
  return new (std::nothrow) IPluginAAX();
}

IPluginAAX::IPluginAAX() : mPlug(plug::MakePlug(plug::InstanceInfo{}))
{
  if (mPlug)
    mPlug->SetHostNotifications(this);
}

IPluginAAX::~IPluginAAX()
{
  if (mPlug)
    mPlug->SetHostNotifications(nullptr);
}

std::string IPluginAAX::HostID(int paramIdx)
{
  char id[16];
  std::snprintf(id, sizeof(id), "%i", paramIdx + 1);
  return id;
}

AAX_Result IPluginAAX::Initialize(AAX_ParameterManager* parameterManager)
{
  if (!parameterManager || !mPlug)
    return AAX_ERROR_NULL_OBJECT;
  mParameterManager = parameterManager;
  for (int i = 0; i < mPlug->NParams(); ++i) {
    const plug::IParam& param = *mPlug->GetParam(i);
    AAX_ParameterManager::Parameter host;
    host.name = param.GetName();
    host.normalizedValue = std::clamp(param.GetNormalized(), 0.0, 1.0);
    host.defaultNormalizedValue = std::clamp(param.NormalizedFromValue(param.GetDefault()), 0.0, 1.0);
    host.automatable = (param.Flags() & plug::IParam::kParamFlagNoAutomation) == 0;
    if (param.GetStepped()) {
      double lo = 0.0;
      double hi = 0.0;
      param.GetBounds(lo, hi);
      host.numSteps = static_cast<int>((hi - lo) / param.GetStep()) + 1;
    }
    mParameterManager->AddParameter(HostID(i), host);
  }
  AAX_ParameterManager::Parameter bypass;
  bypass.name = "Master Bypass";
  bypass.numSteps = 2;
  mParameterManager->AddParameter(kMasterBypassID, bypass);
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::UpdateParameterNormalizedValue(const char* id, double normalizedValue)
{
  if (!mPlug)
    return AAX_ERROR_NULL_OBJECT;
  if (!mParameterManager || !id || !mParameterManager->Contains(id))
    return AAX_ERROR_INVALID_PARAMETER_ID;
  mParameterManager->SetParameterNormalizedValue(id, normalizedValue);

  const int paramIdx = paramIndexFromHostID(id, mPlug->NParams());
  if (paramIdx >= 0)
    mPlug->SetParameterFromHost(paramIdx, normalizedValue);

  {
    std::lock_guard lock(mChangedPacketsMutex);
    mChangedPackets[id] = true;
  }
  mNumChanges.fetch_add(1, std::memory_order_relaxed);
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::GetNumberOfChanges(std::int32_t* numChanges) const
{
  if (!numChanges)
    return AAX_ERROR_NULL_OBJECT;
  if (!mPlug) {
    *numChanges = 0;
    return AAX_ERROR_NULL_OBJECT;
  }
  *numChanges = mNumChanges.load(std::memory_order_relaxed);
  return AAX_SUCCESS;
}

bool IPluginAAX::IsPacketChanged(const std::string& id) const
{
  std::lock_guard lock(mChangedPacketsMutex);
  const auto it = mChangedPackets.find(id);
  return it != mChangedPackets.end() && it->second;
}

AAX_Result IPluginAAX::GetChunkIDFromIndex(std::int32_t index, AAX_CTypeID* chunkID) const
{
  if (!chunkID)
    return AAX_ERROR_NULL_OBJECT;
  if (!mPlug) {
    *chunkID = 0;
    return AAX_ERROR_NULL_OBJECT;
  }
  if (index != 0) {
    *chunkID = 0;
    return AAX_ERROR_INVALID_CHUNK_INDEX;
  }
  *chunkID = static_cast<AAX_CTypeID>(mPlug->GetUniqueID());
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::GetChunkSize(AAX_CTypeID chunkID, std::uint32_t* size) const
{
  if (!size)
    return AAX_ERROR_NULL_OBJECT;
  if (!mPlug) {
    *size = 0;
    return AAX_ERROR_NULL_OBJECT;
  }
  if (chunkID != static_cast<AAX_CTypeID>(mPlug->GetUniqueID())) {
    *size = 0;
    return AAX_ERROR_INVALID_CHUNK_ID;
  }
  plug::IByteChunk chunk;
  mPlug->SerializeState(chunk);
  *size = static_cast<std::uint32_t>(chunk.Size());
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::GetChunk(AAX_CTypeID chunkID, AAX_SPlugInChunk* chunk) const
{
  if (!chunk || !mPlug)
    return AAX_ERROR_NULL_OBJECT;
  if (chunkID != static_cast<AAX_CTypeID>(mPlug->GetUniqueID()))
    return AAX_ERROR_INVALID_CHUNK_ID;
  plug::IByteChunk state;
  if (!mPlug->SerializeState(state))
    return AAX_ERROR_INVALID_CHUNK_ID;
  chunk->fChunkID = chunkID;
  chunk->fSize = state.Size();
  chunk->fData.assign(state.GetData(), state.GetData() + state.Size());
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::SetChunk(AAX_CTypeID chunkID, const AAX_SPlugInChunk* chunk)
{
  if (!chunk || !mPlug)
    return AAX_ERROR_NULL_OBJECT;
  if (chunkID != static_cast<AAX_CTypeID>(mPlug->GetUniqueID()))
    return AAX_ERROR_INVALID_CHUNK_ID;
  // The size field may not exceed the bytes actually handed over.
  const int size = std::clamp<int>(chunk->fSize, 0, static_cast<int>(chunk->fData.size()));
  plug::IByteChunk state;
  state.PutBytes(chunk->fData.data(), size);
  mPlug->UnserializeState(state, 0);
  if (mParameterManager)
    for (int i = 0; i < mPlug->NParams(); ++i)
      mParameterManager->SetParameterNormalizedValue(HostID(i),
                                                     std::clamp(mPlug->GetParam(i)->GetNormalized(), 0.0, 1.0));
  mPlug->OnRestoreState();
  mNumChanges.fetch_add(1, std::memory_order_relaxed);
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::CompareActiveChunk(const AAX_SPlugInChunk* chunk, bool* isEqual) const
{
  if (!chunk || !isEqual)
    return AAX_ERROR_NULL_OBJECT;
  if (!mPlug) {
    *isEqual = false;
    return AAX_ERROR_NULL_OBJECT;
  }
  if (chunk->fChunkID != static_cast<AAX_CTypeID>(mPlug->GetUniqueID())) {
    *isEqual = true;
    return AAX_SUCCESS;
  }
  // A chunk shorter than the state cannot equal it (and must not be read past its end).
  const auto needed = static_cast<std::size_t>(mPlug->NParams()) * sizeof(double);
  if (chunk->fSize < 0 || static_cast<std::size_t>(chunk->fSize) < needed || chunk->fData.size() < needed) {
    *isEqual = false;
    return AAX_SUCCESS;
  }
  *isEqual = mPlug->CompareState(chunk->fData.data(), 0);
  return AAX_SUCCESS;
}

AAX_Result IPluginAAX::GetStemChannelNames(AAX_StemChannelNames* names) const
{
  if (!names || !mPlug)
    return AAX_ERROR_NULL_OBJECT;
  names->input.clear();
  names->output.clear();
  for (int c = 0; c < mPlug->NInChannels(); ++c)
    names->input.emplace_back(mPlug->GetChannelLabel(plug::kInput, c));
  for (int c = 0; c < mPlug->NOutChannels(); ++c)
    names->output.emplace_back(mPlug->GetChannelLabel(plug::kOutput, c));
  return AAX_SUCCESS;
}

void IPluginAAX::RenderAudio(const AAX_RenderContext& context)
{
  if (!mPlug) {
    // No plug-in: silence, whatever the host passes.
    if (context.outputs)
      for (int c = 0; c < 2; ++c)
        if (float* out = context.outputs[c])
          std::fill(out, out + std::max(context.bufferSize, 0), 0.0f);
    return;
  }

  // The host gives at most a block's worth of packets; anything beyond is dropped rather than allocated.
  constexpr int kMaxMidiPerBlock = 1024;
  plug::HostMidiEvent midi[kMaxMidiPerBlock];
  const int nMidi = context.midiPackets ? std::clamp<int>(context.numMidiPackets, 0, kMaxMidiPerBlock) : 0;
  for (int i = 0; i < nMidi; ++i) {
    const AAX_MidiPacket& packet = context.midiPackets[i];
    midi[i] = {static_cast<int>(packet.timestamp), packet.data[0], packet.data[1], packet.data[2]};
  }

  plug::HostTransport transport;
  if (context.transport) {
    const AAX_Transport& t = *context.transport;
    transport.hasTempo = true;
    transport.tempo = t.tempo;
    transport.hasTickPosition = true;
    transport.tickPosition = t.tickPosition;
    transport.hasSamplePosition = true;
    transport.samplePosition = static_cast<double>(t.samplePosition);
    transport.hasMeter = true;
    transport.numerator = t.numerator;
    transport.denominator = t.denominator;
    transport.isPlaying = t.isPlaying;
    transport.hasLoop = true;
    transport.loopEnabled = t.loopEnabled;
    transport.loopStartTicks = t.loopStartTicks;
    transport.loopEndTicks = t.loopEndTicks;
  }

  plug::HostBlock block;
  block.inputs = context.inputs;
  block.outputs = context.outputs;
  block.nFrames = context.bufferSize;
  block.midi = midi;
  block.nMidi = nMidi;
  block.transport = context.transport ? &transport : nullptr;
  block.bypass = context.bypass;
  block.midiOutput = nullptr; // the description requests no MIDI output
  mPlug->RenderAudio(block);
}

void IPluginAAX::InformHostOfParamChange(int paramIdx, double normalizedValue)
{
  if (mParameterManager)
    mParameterManager->SetParameterNormalizedValue(HostID(paramIdx), normalizedValue);
}

void IPluginAAX::BeginInformHostOfParamChange(int paramIdx)
{
  if (mParameterManager)
    mParameterManager->TouchParameter(HostID(paramIdx));
}

void IPluginAAX::EndInformHostOfParamChange(int paramIdx)
{
  if (mParameterManager)
    mParameterManager->ReleaseParameter(HostID(paramIdx));
}

void* AAX_CEffectGUI_Plugin::Create()
{
  return new (std::nothrow) AAX_CEffectGUI_Plugin();
}

} // namespace plug::aax

using namespace plug::aax;

AAX_Result GetEffectDescriptions(AAX_ICollection* collection)
{
  const plug::Config& config = plug::PlugConfig();
  AAX_Result err = AAX_SUCCESS;
  AAX_Result result = AAX_SUCCESS;
  auto check = [&](AAX_Result callResult) {
    err = callResult;
    if (err != AAX_SUCCESS)
      collection->PostAssertion("err == AAX_SUCCESS");
    result |= err;
  };

  AAX_IEffectDescriptor* descriptor = collection ? collection->NewDescriptor() : nullptr;
  if (!descriptor)
    return AAX_ERROR_NULL_OBJECT;

  for (const std::string& name : splitLines(config.effectNames)) {
    check(descriptor->AddName(name.c_str()));
    check(collection->AddPackageName(name.c_str()));
  }
  check(descriptor->AddCategory(0));

  AAX_ComponentSetup setup;
  setup.inputStemFormat = "stereo";
  setup.outputStemFormat = "stereo";
  setup.sideChainInput = false;
  setup.auxOutputStems = 0;
  setup.manufacturerID = static_cast<AAX_CTypeID>(config.mfrID);
  setup.productID = static_cast<AAX_CTypeID>(config.uniqueID);
  setup.nativePlugInID = static_cast<AAX_CTypeID>(plug::FourCharCode("OUT1"));
  setup.audioSuitePlugInID = 0x00494E31; // "IN1" with a leading zero byte
  setup.midiInputNodeName = config.midiInputNodeName;
  setup.midiInputChannelMask = 0x0001;
  setup.globalMidi = false;
  setup.midiOutput = false;
  setup.transportRequested = true;
  setup.masterBypassName = "Master Bypass";
  setup.masterBypassOffText = "bypass";
  setup.masterBypassOnText = "on";
  setup.hostGeneratedGUI = false;
  setup.algorithmDescribed = true;
  check(descriptor->AddComponent(setup));

  check(descriptor->AddProcPtr(&IPluginAAX::Create, "EffectParameters"));
  check(descriptor->AddProcPtr(&AAX_CEffectGUI_Plugin::Create, "EffectGUI"));

  check(collection->AddEffect(config.bundleID, descriptor));
  check(collection->SetManufacturerName(config.mfrName));
  check(collection->SetPackageVersion(static_cast<std::uint32_t>(config.vendorVersion)));
  return result;
}
