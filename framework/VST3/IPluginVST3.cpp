// SPDX-License-Identifier: ISC
#include "framework/VST3/IPluginVST3.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/IByteChunk.h"
#include "framework/ParamText.h"
#include "framework/VST3/VST3Layout.h"
#include "framework/VST3/VST3Strings.h"

namespace plug::vst3 {

namespace {

// How long the output may go on after the input fell silent: a frame (at most 5 s) with its
// overlap, and the high-pass settling.
constexpr double kTailSeconds = 8.0;
// Before the host prepares processing (a host that activates without setupProcessing).
constexpr double kDefaultSampleRate = 44100.0;
constexpr int kDefaultMaxBlockSize = 4096;

constexpr v3_speaker_arrangement kStereo = V3_SPEAKER_L | V3_SPEAKER_R;

std::atomic<IPluginVST3::ViewFactory> sViewFactory{nullptr};

std::uint32_t floatBits(double normalized)
{
  return std::bit_cast<std::uint32_t>(static_cast<float>(normalized));
}

// The output buffers of a process call, cleared: what a call that renders nothing leaves.
void clearOutputs(const v3_process_data& data)
{
  if (!data.outputs || data.nframes <= 0)
    return;
  for (std::int32_t b = 0; b < data.num_output_buses; ++b) {
    const v3_audio_bus_buffers& bus = data.outputs[b];
    if (!bus.channel_buffers_32)
      continue;
    for (std::int32_t c = 0; c < bus.num_channels; ++c)
      if (float* channel = bus.channel_buffers_32[c])
        std::fill(channel, channel + data.nframes, 0.0f);
  }
}

// Reads a whole stream, at most `limit` bytes.
bool readAll(v3_bstream** stream, std::vector<std::uint8_t>& bytes, std::size_t limit)
{
  bytes.clear();
  if (!stream || !*stream)
    return false;
  v3_bstream* s = v3_cpp_obj(stream);
  std::uint8_t buffer[256];
  while (bytes.size() < limit) {
    const auto want = static_cast<std::int32_t>(std::min(sizeof(buffer), limit - bytes.size()));
    std::int32_t got = 0;
    if (s->read(stream, buffer, want, &got) != V3_OK || got <= 0)
      break;
    bytes.insert(bytes.end(), buffer, buffer + std::min(got, want));
  }
  return true;
}

bool writeAll(v3_bstream** stream, const std::uint8_t* data, std::size_t size)
{
  if (!stream || !*stream)
    return false;
  v3_bstream* s = v3_cpp_obj(stream);
  std::size_t done = 0;
  while (done < size) {
    std::int32_t written = 0;
    const auto want = static_cast<std::int32_t>(size - done);
    if (s->write(stream, const_cast<std::uint8_t*>(data + done), want, &written) != V3_OK || written <= 0)
      return false;
    done += static_cast<std::size_t>(std::min(written, want));
  }
  return true;
}

// Calls made by a host may not throw into it.
template <typename Fn>
v3_result guarded(Fn&& fn)
{
  try {
    return fn();
  } catch (...) {
    return V3_INTERNAL_ERR;
  }
}

// The C entry points of every interface: each finds its object and calls the member of the same name.

IPluginVST3& bridgeOf(void* self)
{
  return OwnerOf<IPluginVST3>(self);
}

v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** obj)
{
  return bridgeOf(self).QueryInterface(iid, obj);
}
std::uint32_t V3_API ref(void* self)
{
  return bridgeOf(self).Ref();
}
std::uint32_t V3_API unref(void* self)
{
  return bridgeOf(self).Unref();
}
v3_result V3_API initialize(void* self, v3_funknown** context)
{
  return bridgeOf(self).Initialize(context);
}
v3_result V3_API terminate(void* self)
{
  return bridgeOf(self).Terminate();
}

// IComponent.
v3_result V3_API getControllerClassId(void*, v3_tuid classId)
{
  // Processor and controller are one object: hosts take the controller from the component.
  if (classId)
    std::memset(classId, 0, sizeof(v3_tuid));
  return V3_NOT_IMPLEMENTED;
}
v3_result V3_API setIoMode(void*, std::int32_t)
{
  return V3_OK;
}
std::int32_t V3_API getBusCount(void* self, std::int32_t mediaType, std::int32_t direction)
{
  return bridgeOf(self).GetBusCount(mediaType, direction);
}
v3_result V3_API getBusInfo(void* self, std::int32_t mediaType, std::int32_t direction, std::int32_t index,
                            v3_bus_info* info)
{
  return bridgeOf(self).GetBusInfo(mediaType, direction, index, info);
}
v3_result V3_API getRoutingInfo(void*, v3_routing_info*, v3_routing_info*)
{
  return V3_NOT_IMPLEMENTED;
}
v3_result V3_API activateBus(void* self, std::int32_t mediaType, std::int32_t direction, std::int32_t index,
                             v3_bool state)
{
  return bridgeOf(self).ActivateBus(mediaType, direction, index, state != 0);
}
v3_result V3_API setActive(void* self, v3_bool state)
{
  return bridgeOf(self).SetActive(state != 0);
}
v3_result V3_API setState(void* self, v3_bstream** stream)
{
  return bridgeOf(self).SetState(stream);
}
v3_result V3_API getState(void* self, v3_bstream** stream)
{
  return bridgeOf(self).GetState(stream);
}

// IAudioProcessor.
v3_result V3_API setBusArrangements(void* self, v3_speaker_arrangement* inputs, std::int32_t numInputs,
                                    v3_speaker_arrangement* outputs, std::int32_t numOutputs)
{
  return bridgeOf(self).SetBusArrangements(inputs, numInputs, outputs, numOutputs);
}
v3_result V3_API getBusArrangement(void* self, std::int32_t direction, std::int32_t index,
                                   v3_speaker_arrangement* arrangement)
{
  return bridgeOf(self).GetBusArrangement(direction, index, arrangement);
}
v3_result V3_API canProcessSampleSize(void*, std::int32_t symbolicSampleSize)
{
  return symbolicSampleSize == V3_SAMPLE_32 ? V3_OK : V3_FALSE;
}
std::uint32_t V3_API getLatencySamples(void*)
{
  return 0;
}
v3_result V3_API setupProcessing(void* self, v3_process_setup* setup)
{
  return bridgeOf(self).SetupProcessing(setup);
}
v3_result V3_API setProcessing(void* self, v3_bool state)
{
  return bridgeOf(self).SetProcessing(state != 0);
}
v3_result V3_API process(void* self, v3_process_data* data)
{
  return bridgeOf(self).Process(data);
}
std::uint32_t V3_API getTailSamples(void* self)
{
  return static_cast<std::uint32_t>(std::lround(kTailSeconds * bridgeOf(self).Plug().GetSampleRate()));
}

// IProcessContextRequirements.
std::uint32_t V3_API getProcessContextRequirements(void*)
{
  return V3_PROCESS_CTX_NEED_PROJECT_TIME | V3_PROCESS_CTX_NEED_TEMPO | V3_PROCESS_CTX_NEED_TIME_SIG |
    V3_PROCESS_CTX_NEED_CYCLE | V3_PROCESS_CTX_NEED_TRANSPORT_STATE;
}

// IEditController.
v3_result V3_API setComponentState(void* self, v3_bstream** stream)
{
  return bridgeOf(self).SetComponentState(stream);
}
v3_result V3_API setControllerState(void*, v3_bstream**)
{
  return V3_OK; // the controller keeps no state of its own
}
v3_result V3_API getControllerState(void*, v3_bstream**)
{
  return V3_OK;
}
std::int32_t V3_API getParameterCount(void* self)
{
  return bridgeOf(self).GetParameterCount();
}
v3_result V3_API getParameterInfo(void* self, std::int32_t index, v3_param_info* info)
{
  return bridgeOf(self).GetParameterInfo(index, info);
}
v3_result V3_API getParamStringByValue(void* self, v3_param_id id, double normalized, v3_str_128 text)
{
  return bridgeOf(self).GetParamStringByValue(id, normalized, text);
}
v3_result V3_API getParamValueByString(void* self, v3_param_id id, std::int16_t* text, double* normalized)
{
  return bridgeOf(self).GetParamValueByString(id, text, normalized);
}
double V3_API normalizedToPlain(void* self, v3_param_id id, double normalized)
{
  return bridgeOf(self).NormalizedToPlain(id, normalized);
}
double V3_API plainToNormalized(void* self, v3_param_id id, double plain)
{
  return bridgeOf(self).PlainToNormalized(id, plain);
}
double V3_API getParamNormalized(void* self, v3_param_id id)
{
  return bridgeOf(self).GetParamNormalized(id);
}
v3_result V3_API setParamNormalized(void* self, v3_param_id id, double normalized)
{
  return bridgeOf(self).SetParamNormalized(id, normalized);
}
v3_result V3_API setComponentHandler(void* self, v3_component_handler** handler)
{
  return bridgeOf(self).SetComponentHandler(handler);
}
v3_plugin_view** V3_API createView(void* self, const char* name)
{
  return bridgeOf(self).CreateView(name);
}

// IMidiMapping.
v3_result V3_API getMidiControllerAssignment(void* self, std::int32_t bus, std::int16_t channel, std::int16_t cc,
                                             v3_param_id* id)
{
  return bridgeOf(self).GetMidiControllerAssignment(bus, channel, cc, id);
}

// IUnitInfo.
std::int32_t V3_API getUnitCount(void*)
{
  return 1;
}
v3_result V3_API getUnitInfo(void* self, std::int32_t index, v3_unit_info* info)
{
  return bridgeOf(self).GetUnitInfo(index, info);
}
std::int32_t V3_API getProgramListCount(void*)
{
  return 1;
}
v3_result V3_API getProgramListInfo(void* self, std::int32_t index, v3_program_list_info* info)
{
  return bridgeOf(self).GetProgramListInfo(index, info);
}
v3_result V3_API getProgramName(void* self, std::int32_t listId, std::int32_t program, v3_str_128 name)
{
  return bridgeOf(self).GetProgramName(listId, program, name);
}
v3_result V3_API getProgramInfo(void*, std::int32_t, std::int32_t, const char*, v3_str_128)
{
  return V3_FALSE;
}
v3_result V3_API hasProgramPitchNames(void*, std::int32_t, std::int32_t)
{
  return V3_FALSE;
}
v3_result V3_API getProgramPitchName(void*, std::int32_t, std::int32_t, std::int16_t, v3_str_128)
{
  return V3_FALSE;
}
std::int32_t V3_API getSelectedUnit(void*)
{
  return kRootUnitId;
}
v3_result V3_API selectUnit(void*, std::int32_t unitId)
{
  return unitId == kRootUnitId ? V3_OK : V3_INVALID_ARG;
}
v3_result V3_API getUnitByBus(void*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t* unitId)
{
  if (unitId)
    *unitId = kRootUnitId;
  return V3_OK;
}
v3_result V3_API setUnitProgramData(void*, std::int32_t, std::int32_t, v3_bstream**)
{
  return V3_NOT_IMPLEMENTED;
}

const v3_component_cpp kComponentTable = {
  {queryInterface, ref, unref},
  {initialize, terminate},
  {getControllerClassId, setIoMode, getBusCount, getBusInfo, getRoutingInfo, activateBus, setActive, setState,
   getState},
};

const v3_audio_processor_cpp kProcessorTable = {
  {queryInterface, ref, unref},
  {setBusArrangements, getBusArrangement, canProcessSampleSize, getLatencySamples, setupProcessing, setProcessing,
   process, getTailSamples},
};

const v3_process_context_requirements_cpp kContextRequirementsTable = {
  {queryInterface, ref, unref},
  {getProcessContextRequirements},
};

const v3_edit_controller_cpp kControllerTable = {
  {queryInterface, ref, unref},
  {initialize, terminate},
  {setComponentState, setControllerState, getControllerState, getParameterCount, getParameterInfo,
   getParamStringByValue, getParamValueByString, normalizedToPlain, plainToNormalized, getParamNormalized,
   setParamNormalized, setComponentHandler, createView},
};

const v3_midi_mapping_cpp kMidiMappingTable = {
  {queryInterface, ref, unref},
  {getMidiControllerAssignment},
};

const v3_unit_information_cpp kUnitInfoTable = {
  {queryInterface, ref, unref},
  {getUnitCount, getUnitInfo, getProgramListCount, getProgramListInfo, getProgramName, getProgramInfo,
   hasProgramPitchNames, getProgramPitchName, getSelectedUnit, selectUnit, getUnitByBus, setUnitProgramData},
};

} // namespace

void IPluginVST3::SetViewFactory(ViewFactory factory)
{
  sViewFactory.store(factory, std::memory_order_release);
}

IPluginVST3* IPluginVST3::Create()
{
  try {
    std::unique_ptr<IPlugin> plug(MakePlug(InstanceInfo{}));
    if (!plug)
      return nullptr;
    return new IPluginVST3(std::move(plug));
  } catch (...) {
    return nullptr;
  }
}

IPluginVST3::IPluginVST3(std::unique_ptr<IPlugin> plug)
    : mComponent{&kComponentTable, this},
      mProcessor{&kProcessorTable, this},
      mContextRequirements{&kContextRequirementsTable, this},
      mController{&kControllerTable, this},
      mMidiMapping{&kMidiMappingTable, this},
      mUnitInfo{&kUnitInfoTable, this},
      mPlug(std::move(plug))
{
  const auto n = static_cast<std::size_t>(mPlug->NParams());
  mGesture.assign(n, 0);
  mEditorWrites = std::make_unique<EditorWrites[]>(n);
  mControllerValues = std::make_unique<std::atomic<double>[]>(kNumControllers);
  for (int c = 0; c < kNumControllers; ++c)
    mControllerValues[static_cast<std::size_t>(c)].store(0.0, std::memory_order_relaxed);
  mPieceEvents.reserve(BlockEvents::kCapacity);
  mHostProgram.store(mPlug->GetCurrentPresetIdx(), std::memory_order_relaxed);
  mPlug->SetHostNotifications(this);
}

IPluginVST3::~IPluginVST3()
{
  mPlug->SetHostNotifications(nullptr);
  if (v3_component_handler** handler = mHandler.exchange(nullptr))
    v3_cpp_obj_unref(handler);
}

v3_result IPluginVST3::QueryInterface(const v3_tuid iid, void** obj)
{
  if (!obj)
    return V3_INVALID_ARG;
  *obj = nullptr;
  if (!iid)
    return V3_NO_INTERFACE;
  if (SameIid(iid, v3_funknown_iid) || SameIid(iid, v3_plugin_base_iid) || SameIid(iid, v3_component_iid))
    *obj = &mComponent;
  else if (SameIid(iid, v3_audio_processor_iid))
    *obj = &mProcessor;
  else if (SameIid(iid, v3_process_context_requirements_iid))
    *obj = &mContextRequirements;
  else if (SameIid(iid, v3_edit_controller_iid))
    *obj = &mController;
  else if (SameIid(iid, v3_midi_mapping_iid))
    *obj = &mMidiMapping;
  else if (SameIid(iid, v3_unit_information_iid))
    *obj = &mUnitInfo;
  if (!*obj)
    return V3_NO_INTERFACE;
  Ref();
  return V3_OK;
}

// Hosts initialise and terminate the component and the controller, which are this one object: the
// plug-in is made with the object and goes with its last reference, so there is nothing to do.
v3_result IPluginVST3::Initialize(v3_funknown**)
{
  return V3_OK;
}

v3_result IPluginVST3::Terminate()
{
  return V3_OK;
}

// Buses.

std::int32_t IPluginVST3::GetBusCount(std::int32_t mediaType, std::int32_t direction) const
{
  if (mediaType == V3_AUDIO)
    return direction == V3_INPUT || direction == V3_OUTPUT ? 1 : 0;
  if (mediaType == V3_EVENT)
    return direction == V3_INPUT && PlugConfig().plugDoesMidiIn ? 1 : 0;
  return 0;
}

v3_result IPluginVST3::GetBusInfo(std::int32_t mediaType, std::int32_t direction, std::int32_t index,
                                  v3_bus_info* info) const
{
  if (!info || index < 0 || index >= GetBusCount(mediaType, direction))
    return V3_INVALID_ARG;
  *info = v3_bus_info{};
  info->media_type = mediaType;
  info->direction = direction;
  info->bus_type = V3_MAIN;
  info->flags = V3_DEFAULT_ACTIVE;
  if (mediaType == V3_AUDIO) {
    info->channel_count = 2;
    CopyToString128(direction == V3_INPUT ? "Input" : "Output", info->bus_name);
  } else {
    info->channel_count = 16;
    CopyToString128("MIDI In", info->bus_name);
  }
  return V3_OK;
}

v3_result IPluginVST3::ActivateBus(std::int32_t mediaType, std::int32_t direction, std::int32_t index, bool state)
{
  if (index < 0 || index >= GetBusCount(mediaType, direction))
    return V3_INVALID_ARG;
  if (mediaType == V3_EVENT)
    mEventBusActive.store(state, std::memory_order_relaxed);
  return V3_OK;
}

v3_result IPluginVST3::SetBusArrangements(const v3_speaker_arrangement* inputs, std::int32_t numInputs,
                                          const v3_speaker_arrangement* outputs, std::int32_t numOutputs)
{
  // Stereo in, stereo out, nothing else; the host then asks for what the plug-in has.
  if (numInputs == 1 && numOutputs == 1 && inputs && outputs && inputs[0] == kStereo && outputs[0] == kStereo)
    return V3_OK;
  return V3_FALSE;
}

v3_result IPluginVST3::GetBusArrangement(std::int32_t direction, std::int32_t index,
                                         v3_speaker_arrangement* arrangement) const
{
  if (!arrangement || index != 0 || (direction != V3_INPUT && direction != V3_OUTPUT))
    return V3_INVALID_ARG;
  *arrangement = kStereo;
  return V3_OK;
}

// Processing.

v3_result IPluginVST3::SetupProcessing(const v3_process_setup* setup)
{
  if (!setup)
    return V3_INVALID_ARG;
  // Never while the audio thread may run; the plug-in's buffers are set up here.
  if (mActive.load(std::memory_order_acquire))
    return V3_FALSE;
  if (setup->symbolic_sample_size != V3_SAMPLE_32 || !(setup->sample_rate >= kMinSampleRate) ||
      !(setup->sample_rate <= kMaxSampleRate) || setup->max_block_size < 1 || setup->max_block_size > kMaxBlockSize)
    return V3_FALSE;
  return guarded([&] {
    mSampleRate = setup->sample_rate;
    mPlug->PrepareToPlay(mSampleRate, setup->max_block_size);
    mPrepared = true;
    return V3_OK;
  });
}

v3_result IPluginVST3::SetActive(bool state)
{
  if (!state) {
    mActive.store(false, std::memory_order_release);
    return V3_OK;
  }
  return guarded([&] {
    if (!mPrepared) {
      mPlug->PrepareToPlay(kDefaultSampleRate, kDefaultMaxBlockSize);
      mSampleRate = kDefaultSampleRate;
      mPrepared = true;
    }
    mPlug->Activate();
    mActive.store(true, std::memory_order_release);
    return V3_OK;
  });
}

v3_result IPluginVST3::SetProcessing(bool)
{
  // Processing follows setActive; hosts that never call this work the same.
  return V3_OK;
}

v3_result IPluginVST3::Process(v3_process_data* data)
{
  if (!data || data->nframes < 0)
    return V3_INVALID_ARG;
  // The host's buffers hold floats; doubles are never written.
  if (data->symbolic_sample_size != V3_SAMPLE_32)
    return V3_INVALID_ARG;
  if (!mActive.load(std::memory_order_acquire) || !mPrepared) {
    clearOutputs(*data);
    return V3_NOT_INITIALIZED;
  }

  const ProcessingThread::Scope processing(mProcessing);
  mOutputChanges = data->output_params;
  if (mValuesForHost.exchange(false, std::memory_order_acq_rel))
    sendAllValues();
  noticeEditorWrites();
  mEvents.Clear(data->nframes);
  readParameterChanges(data->input_params);
  if (mEventBusActive.load(std::memory_order_relaxed))
    mEvents.ReadEventList(data->input_events);
  mEvents.Sort();
  fillTransport(data->ctx);

  // The buffers hold the prepared block length: a longer block goes in pieces of it. A block of 0
  // frames is one piece, which still delivers the MIDI.
  const int piece = std::max(mPlug->GetBlockSize(), 1);
  int start = 0;
  do {
    const int n = std::min(data->nframes - start, piece);
    renderPiece(*data, start, n, start + n == data->nframes);
    start += n;
  } while (start < data->nframes);

  if (data->outputs)
    for (std::int32_t b = 0; b < data->num_output_buses; ++b)
      data->outputs[b].channel_silence_bitset = 0;
  ageEditorWrites(data->nframes);
  mOutputChanges = nullptr;
  return V3_OK;
}

void IPluginVST3::renderPiece(const v3_process_data& data, int start, int nFrames, bool last)
{
  const HostTransport* transport = nullptr;
  HostTransport piece;
  if (mHasTransport) {
    piece = mTransport;
    if (piece.isPlaying && start > 0) {
      piece.samplePosition += start;
      if (piece.hasTickPosition && piece.hasTempo)
        piece.tickPosition += std::llround(start / mSampleRate * piece.tempo / 60.0 * kTicksPerQuarterNote);
    }
    transport = &piece;
  }

  // The block's events in this piece, with frames in the piece. The last piece also takes what
  // lies beyond it.
  const int end = start + nFrames;
  mPieceEvents.clear();
  for (int i = 0; i < mEvents.Size(); ++i) {
    HostMidiEvent event = mEvents.Data()[i];
    if (event.frame >= start && (event.frame < end || last)) {
      event.frame -= start;
      mPieceEvents.push_back(event);
    }
  }

  // Bus 0 each way; a missing bus or channel is silence in, nothing out.
  const float* inputs[2] = {nullptr, nullptr};
  float* outputs[2] = {nullptr, nullptr};
  if (data.inputs && data.num_input_buses > 0 && data.inputs[0].channel_buffers_32) {
    const v3_audio_bus_buffers& bus = data.inputs[0];
    for (int c = 0; c < std::min(bus.num_channels, 2); ++c)
      inputs[c] = bus.channel_buffers_32[c] ? bus.channel_buffers_32[c] + start : nullptr;
  }
  if (data.outputs && data.num_output_buses > 0 && data.outputs[0].channel_buffers_32) {
    const v3_audio_bus_buffers& bus = data.outputs[0];
    for (int c = 0; c < std::min(bus.num_channels, 2); ++c)
      outputs[c] = bus.channel_buffers_32[c] ? bus.channel_buffers_32[c] + start : nullptr;
  }

  HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nInputChannels = 2;
  block.nOutputChannels = 2;
  block.nFrames = nFrames;
  block.midi = mPieceEvents.data();
  block.nMidi = static_cast<int>(mPieceEvents.size());
  block.transport = transport;
  mPlug->RenderAudio(block);
}

void IPluginVST3::readParameterChanges(v3_param_changes** changes)
{
  if (!changes || !*changes)
    return;
  v3_param_changes* list = v3_cpp_obj(changes);
  const std::int32_t count = std::min(list->get_param_count(changes), kMaxParamQueues);
  for (std::int32_t i = 0; i < count; ++i) {
    v3_param_value_queue** queue = list->get_param_data(changes, i);
    if (!queue || !*queue)
      continue;
    v3_param_value_queue* points = v3_cpp_obj(queue);
    const v3_param_id id = points->get_param_id(queue);
    switch (kindOf(id)) {
      case ParamKind::kPlugin: {
        // The value at the end of the block counts.
        const std::int32_t n = points->get_point_count(queue);
        std::int32_t offset = 0;
        double value = 0.0;
        if (n > 0 && points->get_point(queue, n - 1, &offset, &value) == V3_OK)
          applyHostChange(static_cast<int>(id), value);
        break;
      }
      case ParamKind::kController: {
        const int controller = static_cast<int>(id - kFirstControllerParamId);
        mEvents.ReadControllerQueue(controller, queue);
        const std::int32_t n = points->get_point_count(queue);
        std::int32_t offset = 0;
        double value = 0.0;
        if (n > 0 && points->get_point(queue, n - 1, &offset, &value) == V3_OK && !std::isnan(value))
          mControllerValues[static_cast<std::size_t>(controller)].store(std::clamp(value, 0.0, 1.0),
                                                                        std::memory_order_relaxed);
        break;
      }
      // The preset parameter reaches the controller (setParamNormalized), which switches presets
      // on its own thread; unknown ids change nothing.
      case ParamKind::kPreset:
      case ParamKind::kNone: break;
    }
  }
}

void IPluginVST3::applyHostChange(int paramIdx, double normalized)
{
  if (std::isnan(normalized) || !isHostedPluginParam(paramIdx))
    return;
  normalized = std::clamp(normalized, 0.0, 1.0);
  EditorWrites& writes = mEditorWrites[static_cast<std::size_t>(paramIdx)];
  if (writes.noticed != writes.settled) {
    // The editor's edits coming back: the plug-in has them already. The latest one ends the wait.
    if (floatBits(normalized) == writes.latest.load(std::memory_order_relaxed))
      writes.settled = writes.noticed;
    return;
  }
  IParam& param = *mPlug->GetParam(paramIdx);
  // The value the parameter has, as a host that keeps values in single precision sends it back (Ardour
  // does, after restoring a state): no change. Dispatching it would restart notes and frames for
  // nothing, and storing it would round the restored value.
  if (std::fabs(normalized - param.GetNormalized()) <= kSameValueTolerance)
    return;
  mPlug->SetParameterFromHostPlain(paramIdx, param.ValueFromNormalized(normalized));
}

void IPluginVST3::noticeEditorWrites()
{
  for (int i = 0; i < mPlug->NParams(); ++i) {
    EditorWrites& writes = mEditorWrites[static_cast<std::size_t>(i)];
    const std::uint32_t count = writes.count.load(std::memory_order_acquire);
    if (count != writes.noticed) {
      writes.noticed = count;
      writes.framesSince = 0;
    }
  }
}

void IPluginVST3::ageEditorWrites(int nFrames)
{
  const double limit = kEditorWriteEchoSeconds * mSampleRate;
  for (int i = 0; i < mPlug->NParams(); ++i) {
    EditorWrites& writes = mEditorWrites[static_cast<std::size_t>(i)];
    if (writes.noticed == writes.settled)
      continue;
    writes.framesSince += nFrames;
    // Edits the host never sent back are not waited for any longer.
    if (static_cast<double>(writes.framesSince) > limit)
      writes.settled = writes.noticed;
  }
}

void IPluginVST3::fillTransport(const v3_process_context* context)
{
  mHasTransport = context != nullptr;
  if (!context)
    return;
  mTransport = HostTransport{};
  const std::uint32_t state = context->state;
  if ((state & V3_PROCESS_CTX_TEMPO_VALID) && std::isfinite(context->bpm) && context->bpm > 0.0) {
    mTransport.hasTempo = true;
    mTransport.tempo = context->bpm;
  }
  // The project time in samples is always valid.
  mTransport.hasSamplePosition = true;
  mTransport.samplePosition = static_cast<double>(context->project_time_in_samples);
  const auto ticks = [](double quarters, std::int64_t& out) {
    const double t = quarters * kTicksPerQuarterNote;
    if (!std::isfinite(t) || std::fabs(t) > 0x1p62)
      return false;
    out = std::llround(t);
    return true;
  };
  if (state & V3_PROCESS_CTX_PROJECT_TIME_VALID)
    mTransport.hasTickPosition = ticks(context->project_time_quarters, mTransport.tickPosition);
  if ((state & V3_PROCESS_CTX_TIME_SIG_VALID) && context->time_sig_numerator > 0 && context->time_sig_denom > 0) {
    mTransport.hasMeter = true;
    mTransport.numerator = context->time_sig_numerator;
    mTransport.denominator = context->time_sig_denom;
  }
  mTransport.isPlaying = (state & V3_PROCESS_CTX_PLAYING) != 0;
  if (state & V3_PROCESS_CTX_CYCLE_VALID) {
    mTransport.hasLoop = ticks(context->cycle_start_quarters, mTransport.loopStartTicks) &&
      ticks(context->cycle_end_quarters, mTransport.loopEndTicks);
    mTransport.loopEnabled = mTransport.hasLoop && (state & V3_PROCESS_CTX_CYCLE_ACTIVE) != 0;
  }
}

void IPluginVST3::sendOutputChange(v3_param_id id, double normalized)
{
  if (!mOutputChanges || !*mOutputChanges)
    return;
  std::int32_t queueIndex = 0;
  v3_param_value_queue** queue = v3_cpp_obj(mOutputChanges)->add_param_data(mOutputChanges, &id, &queueIndex);
  if (!queue || !*queue)
    return;
  std::int32_t pointIndex = 0;
  v3_cpp_obj(queue)->add_point(queue, 0, normalized, &pointIndex);
}

void IPluginVST3::tellHostValuesLater()
{
  mValuesForHost.store(true, std::memory_order_release);
}

void IPluginVST3::sendAllValues()
{
  for (int i = 0; i < mPlug->NParams(); ++i)
    if (isHostedPluginParam(i))
      sendOutputChange(PluginParamId(i), mPlug->GetParam(i)->GetNormalized());
}

// State.

bool IPluginVST3::readState(v3_bstream** stream, std::vector<std::uint8_t>& bytes) const
{
  IByteChunk current;
  if (!mPlug->SerializeState(current))
    return false;
  // One byte more than a state of ours has tells a longer stream.
  if (!readAll(stream, bytes, static_cast<std::size_t>(current.Size()) + 1))
    return false;
  // Another size is no state of ours, and reading what there is would set the missing values to 0.
  return bytes.size() == static_cast<std::size_t>(current.Size());
}

bool IPluginVST3::restoreState(const std::vector<std::uint8_t>& bytes)
{
  IByteChunk chunk;
  if (chunk.PutBytes(bytes.data(), static_cast<int>(bytes.size())) == 0)
    return false;
  mPlug->UnserializeState(chunk, 0);
  mPlug->OnRestoreState();
  return true;
}

v3_result IPluginVST3::SetState(v3_bstream** stream)
{
  return guarded([&] {
    std::vector<std::uint8_t> bytes;
    if (!readState(stream, bytes) || !restoreState(bytes))
      return V3_FALSE;
    tellHostValuesLater();
    return V3_OK;
  });
}

v3_result IPluginVST3::GetState(v3_bstream** stream)
{
  return guarded([&] {
    IByteChunk chunk;
    if (!mPlug->SerializeState(chunk))
      return V3_FALSE;
    return writeAll(stream, chunk.GetData(), static_cast<std::size_t>(chunk.Size())) ? V3_OK : V3_FALSE;
  });
}

v3_result IPluginVST3::SetComponentState(v3_bstream** stream)
{
  // The component's own state, which setState has normally restored already in this very object:
  // restored again only when it differs, so that the plug-in is not dispatched twice.
  return guarded([&] {
    std::vector<std::uint8_t> bytes;
    if (!readState(stream, bytes))
      return V3_FALSE;
    IByteChunk current;
    mPlug->SerializeState(current);
    if (std::memcmp(current.GetData(), bytes.data(), bytes.size()) != 0 && !restoreState(bytes))
      return V3_FALSE;
    return V3_OK;
  });
}

// Parameters.

IPluginVST3::ParamKind IPluginVST3::kindOf(v3_param_id id) const
{
  if (id < static_cast<v3_param_id>(mPlug->NParams()))
    return ParamKind::kPlugin;
  if (id == kPresetParamId)
    return ParamKind::kPreset;
  if (id >= kFirstControllerParamId && id < kFirstControllerParamId + kNumControllers)
    return ParamKind::kController;
  return ParamKind::kNone;
}

bool IPluginVST3::isHostedPluginParam(int paramIdx) const
{
  const IParam* param = mPlug->GetParam(paramIdx);
  return param && param->Type() != IParam::kTypeNone;
}

std::int32_t IPluginVST3::GetParameterCount() const
{
  return mPlug->NParams() + 1 + kNumControllers;
}

v3_result IPluginVST3::GetParameterInfo(std::int32_t index, v3_param_info* info) const
{
  if (!info || index < 0 || index >= GetParameterCount())
    return V3_INVALID_ARG;
  *info = v3_param_info{};
  info->unit_id = kRootUnitId;
  const int nParams = mPlug->NParams();
  if (index < nParams) {
    const IParam& param = *mPlug->GetParam(index);
    info->param_id = PluginParamId(index);
    CopyToString128(param.GetName(), info->title);
    CopyToString128(param.GetName(), info->short_title);
    CopyToString128(param.GetLabel(), info->units);
    info->default_normalised_value = param.NormalizedFromValue(param.GetDefault());
    switch (param.Type()) {
      case IParam::kTypeNone:
        // Reserved: in the state, never used.
        info->flags = V3_PARAM_IS_HIDDEN | V3_PARAM_READ_ONLY;
        return V3_OK;
      case IParam::kTypeBool:
      case IParam::kTypeInt:
      case IParam::kTypeEnum:
        info->step_count = static_cast<std::int32_t>(std::lround((param.GetMax() - param.GetMin()) / param.GetStep()));
        break;
      case IParam::kTypeDouble: break; // continuous
    }
    info->flags = (param.Flags() & IParam::kParamFlagNoAutomation) ? 0 : V3_PARAM_CAN_AUTOMATE;
    if (param.Type() == IParam::kTypeEnum)
      info->flags |= V3_PARAM_IS_LIST;
    return V3_OK;
  }
  if (index == nParams) {
    info->param_id = kPresetParamId;
    CopyToString128("Preset", info->title);
    CopyToString128("Preset", info->short_title);
    info->step_count = std::max(mPlug->NPresets() - 1, 0);
    info->flags = V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST;
    return V3_OK;
  }
  const int controller = index - nParams - 1;
  info->param_id = ControllerParamId(controller);
  char title[32];
  std::snprintf(title, sizeof(title), "MIDI CC %d", controller);
  CopyToString128(title, info->title);
  CopyToString128(title, info->short_title);
  info->step_count = 127;
  info->flags = V3_PARAM_IS_HIDDEN;
  return V3_OK;
}

double IPluginVST3::NormalizedToPlain(v3_param_id id, double normalized) const
{
  const double n = std::isnan(normalized) ? 0.0 : std::clamp(normalized, 0.0, 1.0);
  switch (kindOf(id)) {
    case ParamKind::kPlugin: return mPlug->GetParam(static_cast<int>(id))->ValueFromNormalized(n);
    case ParamKind::kPreset: return std::round(n * std::max(mPlug->NPresets() - 1, 0));
    case ParamKind::kController: return std::round(n * 127.0);
    case ParamKind::kNone: break;
  }
  return 0.0;
}

double IPluginVST3::PlainToNormalized(v3_param_id id, double plain) const
{
  if (std::isnan(plain))
    return 0.0;
  switch (kindOf(id)) {
    case ParamKind::kPlugin: return mPlug->GetParam(static_cast<int>(id))->NormalizedFromValue(plain);
    case ParamKind::kPreset:
      return mPlug->NPresets() > 1 ? std::clamp(std::round(plain) / (mPlug->NPresets() - 1), 0.0, 1.0) : 0.0;
    case ParamKind::kController: return std::clamp(std::round(plain) / 127.0, 0.0, 1.0);
    case ParamKind::kNone: break;
  }
  return 0.0;
}

double IPluginVST3::GetParamNormalized(v3_param_id id) const
{
  switch (kindOf(id)) {
    case ParamKind::kPlugin: return mPlug->GetParam(static_cast<int>(id))->GetNormalized();
    case ParamKind::kPreset: return PlainToNormalized(id, mPlug->GetCurrentPresetIdx());
    case ParamKind::kController: return mControllerValues[id - kFirstControllerParamId].load(std::memory_order_relaxed);
    case ParamKind::kNone: break;
  }
  return 0.0;
}

v3_result IPluginVST3::GetParamStringByValue(v3_param_id id, double normalized, v3_str_128 text) const
{
  if (!text)
    return V3_INVALID_ARG;
  return guarded([&] {
    switch (kindOf(id)) {
      case ParamKind::kPlugin: {
        const IParam& param = *mPlug->GetParam(static_cast<int>(id));
        CopyToString128(HostValueText(param, param.ValueFromNormalized(normalized)), text);
        return V3_OK;
      }
      case ParamKind::kPreset:
        CopyToString128(mPlug->GetPresetName(static_cast<int>(NormalizedToPlain(id, normalized))), text);
        return V3_OK;
      case ParamKind::kController:
        CopyToString128(std::to_string(static_cast<int>(NormalizedToPlain(id, normalized))), text);
        return V3_OK;
      case ParamKind::kNone: break;
    }
    return V3_INVALID_ARG;
  });
}

v3_result IPluginVST3::GetParamValueByString(v3_param_id id, const std::int16_t* text, double* normalized) const
{
  if (!text || !normalized)
    return V3_INVALID_ARG;
  return guarded([&] {
    // A host's text field holds at most 128 units.
    const std::string utf8 = FromUtf16(text, 128);
    switch (kindOf(id)) {
      case ParamKind::kPlugin: {
        const IParam& param = *mPlug->GetParam(static_cast<int>(id));
        double plain = 0.0;
        if (!HostValueFromText(param, utf8, plain))
          return V3_FALSE;
        *normalized = param.NormalizedFromValue(plain);
        return V3_OK;
      }
      case ParamKind::kPreset:
        for (int p = 0; p < mPlug->NPresets(); ++p)
          if (utf8 == mPlug->GetPresetName(p)) {
            *normalized = PlainToNormalized(id, p);
            return V3_OK;
          }
        return V3_FALSE;
      case ParamKind::kController: {
        char* end = nullptr;
        const long value = std::strtol(utf8.c_str(), &end, 10);
        if (end == utf8.c_str() || value < 0 || value > 127)
          return V3_FALSE;
        *normalized = PlainToNormalized(id, static_cast<double>(value));
        return V3_OK;
      }
      case ParamKind::kNone: break;
    }
    return V3_INVALID_ARG;
  });
}

v3_result IPluginVST3::SetParamNormalized(v3_param_id id, double normalized)
{
  if (std::isnan(normalized))
    return V3_INVALID_ARG;
  normalized = std::clamp(normalized, 0.0, 1.0);
  switch (kindOf(id)) {
    case ParamKind::kPlugin: {
      const int paramIdx = static_cast<int>(id);
      // The value reaches the plug-in through process(); here it is only shown, unless the user is
      // moving that very control.
      if (!mGesture[static_cast<std::size_t>(paramIdx)])
        mPlug->SendParameterValueFromAPI(paramIdx, normalized, true);
      return V3_OK;
    }
    case ParamKind::kPreset: {
      const int preset = static_cast<int>(NormalizedToPlain(id, normalized));
      mHostProgram.store(preset, std::memory_order_relaxed);
      if (preset == mPlug->GetCurrentPresetIdx())
        return V3_OK;
      return guarded([&] {
        // As the editor's preset menu does it: the slot left keeps its edits.
        mPlug->ModifyCurrentPreset(nullptr);
        if (!mPlug->RestorePreset(preset))
          return V3_FALSE;
        tellHostValuesLater();
        return V3_OK;
      });
    }
    case ParamKind::kController:
      mControllerValues[id - kFirstControllerParamId].store(normalized, std::memory_order_relaxed);
      return V3_OK;
    case ParamKind::kNone: break;
  }
  return V3_INVALID_ARG;
}

v3_result IPluginVST3::SetComponentHandler(v3_component_handler** handler)
{
  if (handler)
    v3_cpp_obj_ref(handler);
  if (v3_component_handler** old = mHandler.exchange(handler))
    v3_cpp_obj_unref(old);
  return V3_OK;
}

v3_plugin_view** IPluginVST3::CreateView(const char* name)
{
  const ViewFactory factory = sViewFactory.load(std::memory_order_acquire);
  if (!factory || !name || std::strcmp(name, "editor") != 0 || !PlugConfig().plugHasUI)
    return nullptr;
  try {
    return factory(*this);
  } catch (...) {
    return nullptr;
  }
}

v3_result IPluginVST3::GetMidiControllerAssignment(std::int32_t bus, std::int16_t channel, std::int16_t controller,
                                                   v3_param_id* id) const
{
  if (!id || bus != 0 || channel < 0 || channel >= 16 || controller < 0 || controller >= kNumControllers ||
      !PlugConfig().plugDoesMidiIn)
    return V3_FALSE;
  *id = ControllerParamId(controller);
  return V3_OK;
}

v3_result IPluginVST3::GetUnitInfo(std::int32_t index, v3_unit_info* info) const
{
  if (!info || index != 0)
    return V3_INVALID_ARG;
  *info = v3_unit_info{};
  info->id = kRootUnitId;
  info->parent_unit_id = -1;
  CopyToString128(PlugConfig().pluginName, info->name);
  info->program_list_id = kPresetListId;
  return V3_OK;
}

v3_result IPluginVST3::GetProgramListInfo(std::int32_t index, v3_program_list_info* info) const
{
  if (!info || index != 0)
    return V3_INVALID_ARG;
  *info = v3_program_list_info{};
  info->id = kPresetListId;
  CopyToString128("Factory Presets", info->name);
  info->programCount = mPlug->NPresets();
  return V3_OK;
}

v3_result IPluginVST3::GetProgramName(std::int32_t listId, std::int32_t program, v3_str_128 name) const
{
  if (!name || listId != kPresetListId || program < 0 || program >= mPlug->NPresets())
    return V3_INVALID_ARG;
  CopyToString128(mPlug->GetPresetName(program), name);
  return V3_OK;
}

// The plug-in's own changes.

void IPluginVST3::InformHostOfParamChange(int paramIdx, double normalizedValue)
{
  if (mProcessing.IsCurrent()) {
    // A learned controller, on the audio thread: the host hears of it with this block.
    if (isHostedPluginParam(paramIdx))
      sendOutputChange(PluginParamId(paramIdx), normalizedValue);
    return;
  }
  // The component handler is called on the user-interface thread only.
  if (mPlug->OnUIThread())
    performEdit(paramIdx, normalizedValue);
}

void IPluginVST3::BeginInformHostOfParamChange(int paramIdx)
{
  v3_component_handler** handler = mHandler.load(std::memory_order_acquire);
  if (!mPlug->OnUIThread() || !isHostedPluginParam(paramIdx))
    return;
  mGesture[static_cast<std::size_t>(paramIdx)] = 1;
  if (handler)
    v3_cpp_obj(handler)->begin_edit(handler, PluginParamId(paramIdx));
}

void IPluginVST3::EndInformHostOfParamChange(int paramIdx)
{
  v3_component_handler** handler = mHandler.load(std::memory_order_acquire);
  if (!mPlug->OnUIThread() || !isHostedPluginParam(paramIdx) || !mGesture[static_cast<std::size_t>(paramIdx)])
    return;
  mGesture[static_cast<std::size_t>(paramIdx)] = 0;
  if (handler)
    v3_cpp_obj(handler)->end_edit(handler, PluginParamId(paramIdx));
}

void IPluginVST3::InformHostOfPresetChange()
{
  if (mPlug->OnUIThread())
    performPresetEdit();
}

void IPluginVST3::performEdit(int paramIdx, double normalized)
{
  v3_component_handler** handler = mHandler.load(std::memory_order_acquire);
  if (!handler || !isHostedPluginParam(paramIdx))
    return;
  normalized = std::clamp(normalized, 0.0, 1.0);
  EditorWrites& writes = mEditorWrites[static_cast<std::size_t>(paramIdx)];
  writes.latest.store(floatBits(normalized), std::memory_order_relaxed);
  writes.count.fetch_add(1, std::memory_order_release);
  // An edit outside a gesture (a menu choice, a preset) is a gesture of its own for the host.
  const bool single = !mGesture[static_cast<std::size_t>(paramIdx)];
  v3_component_handler* calls = v3_cpp_obj(handler);
  const v3_param_id id = PluginParamId(paramIdx);
  if (single)
    calls->begin_edit(handler, id);
  calls->perform_edit(handler, id, normalized);
  if (single)
    calls->end_edit(handler, id);
}

void IPluginVST3::performPresetEdit()
{
  // A preset chosen or reset in the editor changes every parameter at once.
  for (int i = 0; i < mPlug->NParams(); ++i)
    if (isHostedPluginParam(i))
      performEdit(i, mPlug->GetParam(i)->GetNormalized());
  v3_component_handler** handler = mHandler.load(std::memory_order_acquire);
  const int preset = mPlug->GetCurrentPresetIdx();
  if (!handler || preset == mHostProgram.load(std::memory_order_relaxed))
    return;
  mHostProgram.store(preset, std::memory_order_relaxed);
  v3_component_handler* calls = v3_cpp_obj(handler);
  const double normalized = PlainToNormalized(kPresetParamId, preset);
  calls->begin_edit(handler, kPresetParamId);
  calls->perform_edit(handler, kPresetParamId, normalized);
  calls->end_edit(handler, kPresetParamId);
}

} // namespace plug::vst3
