#include "framework/LV2/IPluginLV2.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/parameters/parameters.h>
#include <lv2/time/time.h>

#include "framework/IByteChunk.h"
#include "framework/LV2/LV2Layout.h"

namespace plug::lv2 {

namespace {
// Bytes of a MIDI message by its status byte; 0 for data bytes and system exclusive, which the
// framework's short messages cannot carry.
std::uint32_t midiMessageSize(std::uint8_t status)
{
  if (status < 0x80)
    return 0;
  if (status < 0xC0)
    return 3;  // note off/on, poly pressure, controller
  if (status < 0xE0)
    return 2;  // program change, channel pressure
  if (status < 0xF0)
    return 3;  // pitch bend
  switch (status) {
    case 0xF0: return 0;
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    default: return 1;  // tune request, end of exclusive, real-time messages
  }
}

const void* featureData(const LV2_Feature* const* features, const char* uri)
{
  for (const LV2_Feature* const* f = features; f && *f; ++f)
    if (std::strcmp((*f)->URI, uri) == 0)
      return (*f)->data;
  return nullptr;
}
} // namespace

IPluginLV2* IPluginLV2::Create(double sampleRate, const LV2_Feature* const* features)
{
  const auto* map = static_cast<const LV2_URID_Map*>(featureData(features, LV2_URID__map));
  if (!map || !map->map)
    return nullptr;
  std::unique_ptr<IPlugin> plug(MakePlug(InstanceInfo{}));
  if (!plug)
    return nullptr;
  std::unique_ptr<IPluginLV2> bridge(new IPluginLV2(*map, std::move(plug), sampleRate));

  // Preallocate for the largest block the host announces; the processing call then never grows.
  double rate = sampleRate;
  int maxBlock = 0;
  const auto* options = static_cast<const LV2_Options_Option*>(featureData(features, LV2_OPTIONS__options));
  for (const LV2_Options_Option* o = options; o && o->key; ++o) {
    double value = 0.0;
    if (o->context != LV2_OPTIONS_INSTANCE || !bridge->optionNumber(*o, value))
      continue;
    if (o->key == bridge->mURIDs.maxBlockLength || o->key == bridge->mURIDs.nominalBlockLength) {
      if (value >= 1.0 && value <= 1048576.0)
        maxBlock = std::max(maxBlock, static_cast<int>(value));
    } else if (o->key == bridge->mURIDs.sampleRate && value > 0.0 && std::isfinite(value)) {
      rate = value;
    }
  }
  bridge->mSampleRate = rate;
  bridge->mPlug->PrepareToPlay(rate, maxBlock > 0 ? maxBlock : kDefaultMaxBlockSize);
  return bridge.release();
}

IPluginLV2::IPluginLV2(const LV2_URID_Map& map, std::unique_ptr<IPlugin> plug, double sampleRate)
  : mPlug(std::move(plug))
  , mSampleRate(sampleRate)
{
  auto urid = [&](const char* uri) { return map.map(map.handle, uri); };
  mURIDs.atomBlank = urid(LV2_ATOM__Blank);
  mURIDs.atomChunk = urid(LV2_ATOM__Chunk);
  mURIDs.atomDouble = urid(LV2_ATOM__Double);
  mURIDs.atomFloat = urid(LV2_ATOM__Float);
  mURIDs.atomInt = urid(LV2_ATOM__Int);
  mURIDs.atomLong = urid(LV2_ATOM__Long);
  mURIDs.atomObject = urid(LV2_ATOM__Object);
  mURIDs.atomSequence = urid(LV2_ATOM__Sequence);
  mURIDs.midiEvent = urid(LV2_MIDI__MidiEvent);
  mURIDs.timePosition = urid(LV2_TIME__Position);
  mURIDs.timeBeatsPerMinute = urid(LV2_TIME__beatsPerMinute);
  mURIDs.timeFrame = urid(LV2_TIME__frame);
  mURIDs.timeSpeed = urid(LV2_TIME__speed);
  mURIDs.stateChanged = urid(LV2_STATE__StateChanged);
  mURIDs.stateChunk = urid(kStateChunkURI);
  mURIDs.maxBlockLength = urid(LV2_BUF_SIZE__maxBlockLength);
  mURIDs.nominalBlockLength = urid(LV2_BUF_SIZE__nominalBlockLength);
  mURIDs.sampleRate = urid(LV2_PARAMETERS__sampleRate);
  lv2_atom_forge_init(&mForge, const_cast<LV2_URID_Map*>(&map));

  for (int i = 0; i < mPlug->NParams(); ++i) {
    if (!HasControlPort(*mPlug->GetParam(i)))
      continue;
    ControlPort control;
    control.paramIdx = i;
    mControls.push_back(control);
  }
  mControlOfPort.assign(kFirstControlPort + mControls.size(), -1);
  for (size_t c = 0; c < mControls.size(); ++c)
    mControlOfPort[kFirstControlPort + c] = static_cast<std::int32_t>(c);

  mMidi.reserve(kMaxMidiPerBlock);
  mPlug->SetHostNotifications(this);
}

IPluginLV2::~IPluginLV2()
{
  mPlug->SetHostNotifications(nullptr);
}

void IPluginLV2::ConnectPort(std::uint32_t port, void* data)
{
  switch (port) {
    case kAudioInLeft: mAudioIn[0] = static_cast<const float*>(data); return;
    case kAudioInRight: mAudioIn[1] = static_cast<const float*>(data); return;
    case kAudioOutLeft: mAudioOut[0] = static_cast<float*>(data); return;
    case kAudioOutRight: mAudioOut[1] = static_cast<float*>(data); return;
    case kEventsIn: mEventsIn = static_cast<const LV2_Atom_Sequence*>(data); return;
    case kEventsOut: mEventsOut = static_cast<LV2_Atom_Sequence*>(data); return;
    default:
      if (port < mControlOfPort.size() && mControlOfPort[port] >= 0)
        mControls[static_cast<size_t>(mControlOfPort[port])].data = static_cast<const float*>(data);
      return;
  }
}

void IPluginLV2::Run(std::uint32_t nFrames)
{
  applyControlPorts();
  readEvents(nFrames);
  beginEventsOut();
  mLastFrameOfBlock = nFrames > 0 ? static_cast<std::int64_t>(nFrames) - 1 : 0;

  const HostTransport* transport = nullptr;
  if (mHasTempo || mHasPosition) {
    mTransport = HostTransport{};
    mTransport.hasTempo = mHasTempo;
    mTransport.tempo = mTempo;
    mTransport.hasSamplePosition = mHasPosition;
    mTransport.samplePosition = mPosition;
    mTransport.isPlaying = mSpeed != 0.0;
    transport = &mTransport;
  }

  const float* inputs[2] = {mAudioIn[0], mAudioIn[1]};
  float* outputs[2] = {mAudioOut[0], mAudioOut[1]};
  HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nFrames = static_cast<int>(std::min<std::uint32_t>(nFrames, 1u << 30));
  block.midi = mMidi.data();
  block.nMidi = static_cast<int>(mMidi.size());
  block.transport = transport;
  block.midiOutput = mEventsOutOpen ? this : nullptr;
  mPlug->RenderAudio(block);

  endEventsOut();
  if (mHasPosition)
    mPosition += static_cast<double>(nFrames) * mSpeed;
}

void IPluginLV2::applyControlPorts()
{
  const bool adopt = mAdoptPortValues.exchange(false, std::memory_order_acq_rel);
  for (ControlPort& control : mControls) {
    if (!control.data)
      continue;
    const float value = *control.data;
    const bool firstSight = !control.seen;
    const bool moved = std::bit_cast<std::uint32_t>(value) != std::bit_cast<std::uint32_t>(control.lastSeen);
    control.lastSeen = value;
    control.seen = true;
    if (adopt || (!firstSight && !moved) || std::isnan(value))
      continue;
    const double plain = PlainFromPortValue(value);
    IParam& param = *mPlug->GetParam(control.paramIdx);
    // At first sight the port only tells the host's starting value: an equal value is no change,
    // and dispatching it anyway would restart notes and frames for nothing.
    if (firstSight && param.ConstrainValue(plain) == param.GetValue())
      continue;
    // Applied by the processing call when it starts, before the block's MIDI and audio.
    mPlug->SetParameterFromHostPlain(control.paramIdx, plain);
  }
}

void IPluginLV2::readEvents(std::uint32_t nFrames)
{
  mMidi.clear();
  if (!mEventsIn || mEventsIn->atom.type != mURIDs.atomSequence)
    return;
  const std::int64_t lastFrame = nFrames > 0 ? static_cast<std::int64_t>(nFrames) - 1 : 0;
  LV2_ATOM_SEQUENCE_FOREACH (mEventsIn, event) {
    const std::int64_t frame = std::clamp<std::int64_t>(event->time.frames, 0, lastFrame);
    if (event->body.type == mURIDs.midiEvent) {
      const auto* bytes = static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&event->body));
      const std::uint32_t size = event->body.size > 0 ? midiMessageSize(bytes[0]) : 0;
      if (size == 0 || event->body.size < size || mMidi.size() >= kMaxMidiPerBlock)
        continue;
      HostMidiEvent midi;
      midi.frame = static_cast<int>(frame);
      midi.status = bytes[0];
      midi.data1 = size > 1 ? bytes[1] : 0;
      midi.data2 = size > 2 ? bytes[2] : 0;
      mMidi.push_back(midi);
    } else if (event->body.type == mURIDs.atomObject || event->body.type == mURIDs.atomBlank) {
      const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
      if (object->body.otype == mURIDs.timePosition)
        readPosition(*object, frame);
    }
  }
}

void IPluginLV2::readPosition(const LV2_Atom_Object& position, std::int64_t offset)
{
  const LV2_Atom* bpm = nullptr;
  const LV2_Atom* frame = nullptr;
  const LV2_Atom* speed = nullptr;
  lv2_atom_object_get(&position, mURIDs.timeBeatsPerMinute, &bpm, mURIDs.timeFrame, &frame, mURIDs.timeSpeed,
                      &speed, 0);
  double value = 0.0;
  if (atomNumber(bpm, value)) {
    mHasTempo = true;
    mTempo = value;
  }
  if (atomNumber(speed, value))
    mSpeed = value;
  if (atomNumber(frame, value)) {
    // The frame is the position at the event; the block starts `offset` frames earlier. A stopped
    // transport (speed 0) still has a position.
    mHasPosition = true;
    mPosition = value - static_cast<double>(offset) * mSpeed;
  }
}

bool IPluginLV2::atomNumber(const LV2_Atom* atom, double& value) const
{
  if (!atom)
    return false;
  const void* body = LV2_ATOM_BODY_CONST(atom);
  double number = 0.0;
  if (atom->type == mURIDs.atomFloat && atom->size >= sizeof(float))
    number = static_cast<double>(*static_cast<const float*>(body));
  else if (atom->type == mURIDs.atomDouble && atom->size >= sizeof(double))
    number = *static_cast<const double*>(body);
  else if (atom->type == mURIDs.atomInt && atom->size >= sizeof(std::int32_t))
    number = static_cast<double>(*static_cast<const std::int32_t*>(body));
  else if (atom->type == mURIDs.atomLong && atom->size >= sizeof(std::int64_t))
    number = static_cast<double>(*static_cast<const std::int64_t*>(body));
  else
    return false;
  if (!std::isfinite(number))
    return false;
  value = number;
  return true;
}

bool IPluginLV2::optionNumber(const LV2_Options_Option& option, double& value) const
{
  LV2_Atom atom{option.size, option.type};
  if (!option.value)
    return false;
  // Options carry the body alone; rebuild the atom the helper reads.
  alignas(8) unsigned char buffer[sizeof(LV2_Atom) + sizeof(double)] = {};
  if (option.size > sizeof(double))
    return false;
  std::memcpy(buffer, &atom, sizeof(atom));
  std::memcpy(buffer + sizeof(atom), option.value, option.size);
  return atomNumber(reinterpret_cast<const LV2_Atom*>(buffer), value);
}

// Events output.

void IPluginLV2::beginEventsOut()
{
  mEventsOutOpen = false;
  mLastOutFrame = 0;
  if (!mEventsOut)
    return;
  // The host sets the atom's size to the buffer's capacity before the run.
  const std::uint32_t capacity = mEventsOut->atom.size;
  if (capacity < sizeof(LV2_Atom_Sequence))
    return;
  lv2_atom_forge_set_buffer(&mForge, reinterpret_cast<std::uint8_t*>(mEventsOut), capacity);
  mEventsOutOpen = lv2_atom_forge_sequence_head(&mForge, &mSequenceFrame, 0) != 0;
}

bool IPluginLV2::reserveEventsOut(std::uint32_t bodySize)
{
  // An event is written only when it fits whole: a half-written event would corrupt the sequence.
  const std::uint32_t need = sizeof(LV2_Atom_Event) + lv2_atom_pad_size(bodySize);
  return mEventsOutOpen && mForge.offset + need <= mForge.size;
}

void IPluginLV2::SendMidi(const IMidiMsg& msg)
{
  const std::uint32_t size = midiMessageSize(msg.mStatus);
  if (size == 0 || !reserveEventsOut(size))
    return;
  // Messages from the editor carry no time: keep the sequence in order and inside the block.
  mLastOutFrame = std::clamp<std::int64_t>(msg.mOffset, mLastOutFrame, mLastFrameOfBlock);
  const std::uint8_t bytes[3] = {msg.mStatus, msg.mData1, msg.mData2};
  lv2_atom_forge_frame_time(&mForge, mLastOutFrame);
  lv2_atom_forge_atom(&mForge, size, mURIDs.midiEvent);
  lv2_atom_forge_write(&mForge, bytes, size);
}

void IPluginLV2::endEventsOut()
{
  if (!mEventsOutOpen)
    return;
  if (reserveEventsOut(sizeof(LV2_Atom_Object_Body)) && mStateChanged.exchange(false, std::memory_order_acq_rel)) {
    LV2_Atom_Forge_Frame objectFrame;
    lv2_atom_forge_frame_time(&mForge, mLastOutFrame);
    lv2_atom_forge_object(&mForge, &objectFrame, 0, mURIDs.stateChanged);
    lv2_atom_forge_pop(&mForge, &objectFrame);
  }
  lv2_atom_forge_pop(&mForge, &mSequenceFrame);
  mEventsOutOpen = false;
}

void IPluginLV2::InformHostOfParamChange(int, double)
{
  mStateChanged.store(true, std::memory_order_release);
}

void IPluginLV2::InformHostOfPresetChange()
{
  mStateChanged.store(true, std::memory_order_release);
}

// State.

LV2_State_Status IPluginLV2::Save(LV2_State_Store_Function store, LV2_State_Handle handle)
{
  IByteChunk chunk;
  if (!mPlug->SerializeState(chunk))
    return LV2_STATE_ERR_UNKNOWN;
  // One little-endian double per parameter slot: the same bytes on every host.
  return store(handle, mURIDs.stateChunk, chunk.GetData(), static_cast<size_t>(chunk.Size()), mURIDs.atomChunk,
               LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status IPluginLV2::Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle)
{
  size_t size = 0;
  std::uint32_t type = 0;
  std::uint32_t flags = 0;
  const void* data = retrieve(handle, mURIDs.stateChunk, &size, &type, &flags);
  // A state without the chunk (a preset of port values) leaves the parameters to the ports.
  if (!data)
    return LV2_STATE_SUCCESS;
  if (type != mURIDs.atomChunk)
    return LV2_STATE_ERR_BAD_TYPE;
  IByteChunk chunk;
  if (size > 0 && chunk.PutBytes(data, static_cast<int>(std::min<size_t>(size, 1u << 30))) == 0)
    return LV2_STATE_ERR_UNKNOWN;
  // A short or damaged chunk is the framework's to handle, as for every host.
  mPlug->UnserializeState(chunk, 0);
  mPlug->OnRestoreState();
  mAdoptPortValues.store(true, std::memory_order_release);
  return LV2_STATE_SUCCESS;
}

// Options.

std::uint32_t IPluginLV2::GetOptions(LV2_Options_Option* options) const
{
  std::uint32_t status = LV2_OPTIONS_SUCCESS;
  for (LV2_Options_Option* o = options; o && o->key; ++o)
    status |= LV2_OPTIONS_ERR_BAD_KEY;  // the plug-in publishes no options
  return status;
}

std::uint32_t IPluginLV2::SetOptions(const LV2_Options_Option* options)
{
  std::uint32_t status = LV2_OPTIONS_SUCCESS;
  for (const LV2_Options_Option* o = options; o && o->key; ++o) {
    const bool block = o->key == mURIDs.maxBlockLength || o->key == mURIDs.nominalBlockLength;
    if (!block && o->key != mURIDs.sampleRate) {
      status |= LV2_OPTIONS_ERR_BAD_KEY;
      continue;
    }
    double value = 0.0;
    if (o->context != LV2_OPTIONS_INSTANCE || !optionNumber(*o, value) || !(value > 0.0)) {
      status |= LV2_OPTIONS_ERR_BAD_VALUE;
      continue;
    }
    if (block) {
      if (value > 1048576.0) {
        status |= LV2_OPTIONS_ERR_BAD_VALUE;
        continue;
      }
      // Grows the scratch buffers now, off the audio thread.
      mPlug->PrepareToPlay(mSampleRate, static_cast<int>(value));
    } else {
      mSampleRate = value;
      mPlug->PrepareToPlay(mSampleRate, 0);
    }
  }
  return status;
}

// The C entry points.

namespace {
IPluginLV2* bridge(LV2_Handle instance)
{
  return static_cast<IPluginLV2*>(instance);
}

LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char*, const LV2_Feature* const* features)
{
  try {
    return IPluginLV2::Create(sampleRate, features);
  } catch (...) {
    return nullptr;  // nothing may escape into the host
  }
}

void connectPort(LV2_Handle instance, std::uint32_t port, void* data)
{
  bridge(instance)->ConnectPort(port, data);
}

void run(LV2_Handle instance, std::uint32_t nFrames)
{
  bridge(instance)->Run(nFrames);
}

void cleanup(LV2_Handle instance)
{
  delete bridge(instance);
}

LV2_State_Status saveState(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                           std::uint32_t, const LV2_Feature* const*)
{
  try {
    return bridge(instance)->Save(store, handle);
  } catch (...) {
    return LV2_STATE_ERR_UNKNOWN;
  }
}

LV2_State_Status restoreState(LV2_Handle instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                              std::uint32_t, const LV2_Feature* const*)
{
  try {
    return bridge(instance)->Restore(retrieve, handle);
  } catch (...) {
    return LV2_STATE_ERR_UNKNOWN;
  }
}

std::uint32_t getOptions(LV2_Handle instance, LV2_Options_Option* options)
{
  return bridge(instance)->GetOptions(options);
}

std::uint32_t setOptions(LV2_Handle instance, const LV2_Options_Option* options)
{
  try {
    return bridge(instance)->SetOptions(options);
  } catch (...) {
    return LV2_OPTIONS_ERR_UNKNOWN;
  }
}

const void* extensionData(const char* uri)
{
  static const LV2_State_Interface state = {saveState, restoreState};
  static const LV2_Options_Interface options = {getOptions, setOptions};
  if (std::strcmp(uri, LV2_STATE__interface) == 0)
    return &state;
  if (std::strcmp(uri, LV2_OPTIONS__interface) == 0)
    return &options;
  return nullptr;
}

const LV2_Descriptor kDescriptor = {
  kPluginURI, instantiate, connectPort, nullptr /* activate */, run, nullptr /* deactivate */, cleanup, extensionData,
};
} // namespace

const LV2_Descriptor* Descriptor()
{
  return &kDescriptor;
}

} // namespace plug::lv2
