// SPDX-License-Identifier: ISC
#include "framework/LV2/IPluginLV2.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/parameters/parameters.h>
#include <lv2/time/time.h>

#include "framework/IByteChunk.h"
#include "framework/LV2/AtomReader.h"
#include "framework/LV2/LV2Layout.h"
#include "framework/ShortMidiMessage.h"

namespace plug::lv2 {

namespace {
bool acceptedRate(double rate)
{
  return rate >= IPluginLV2::kMinSampleRate && rate <= IPluginLV2::kMaxSampleRate;
}

// Every instance alive, for FromHandle.
std::mutex& instancesMutex()
{
  static std::mutex mutex;
  return mutex;
}

std::vector<const IPluginLV2*>& instances()
{
  static std::vector<const IPluginLV2*> list;
  return list;
}

// Some hosts (lv2file) put a feature with a null URI where the list should end.
const void* featureData(const LV2_Feature* const* features, const char* uri)
{
  for (const LV2_Feature* const* f = features; f && *f && (*f)->URI; ++f)
    if (std::strcmp((*f)->URI, uri) == 0)
      return (*f)->data;
  return nullptr;
}
} // namespace

IPluginLV2* IPluginLV2::Create(double sampleRate, const LV2_Feature* const* features)
{
  const auto* map = static_cast<const LV2_URID_Map*>(featureData(features, LV2_URID__map));
  if (!map || !map->map || !acceptedRate(sampleRate))
    return nullptr;
  std::unique_ptr<IPlugin> plug(MakePlug(InstanceInfo{}));
  if (!plug)
    return nullptr;
  std::unique_ptr<IPluginLV2> bridge(new IPluginLV2(*map, std::move(plug), sampleRate));
  const auto* schedule = static_cast<const LV2_Worker_Schedule*>(featureData(features, LV2_WORKER__schedule));
  if (schedule && schedule->schedule_work)
    bridge->mWorkSchedule = schedule;

  // Preallocate for the largest block the host announces; the processing call then never grows.
  double rate = sampleRate;
  int maxBlock = 0;
  const auto* options = static_cast<const LV2_Options_Option*>(featureData(features, LV2_OPTIONS__options));
  // Options of the wrong type or range are ignored here; set_options refuses them.
  for (const LV2_Options_Option* o = options; o && o->key; ++o) {
    int frames = 0;
    double value = 0.0;
    if (bridge->blockLengthOption(*o, frames))
      maxBlock = std::max(maxBlock, frames);
    else if (bridge->sampleRateOption(*o, value))
      rate = value;
  }
  bridge->mSampleRate = rate;
  bridge->mPlug->PrepareToPlay(rate, maxBlock > 0 ? maxBlock : kDefaultMaxBlockSize);
  return bridge.release();
}

IPluginLV2::IPluginLV2(const LV2_URID_Map& map, std::unique_ptr<IPlugin> plug, double sampleRate)
    : mPlug(std::move(plug)), mSampleRate(sampleRate)
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

  int numControls = 0;
  for (int i = 0; i < mPlug->NParams(); ++i)
    numControls += HasControlPort(*mPlug->GetParam(i)) ? 1 : 0;
  mControls = std::vector<ControlPort>(static_cast<size_t>(numControls));
  size_t next = 0;
  for (int i = 0; i < mPlug->NParams(); ++i)
    if (HasControlPort(*mPlug->GetParam(i)))
      mControls[next++].paramIdx = i;
  mControlOfPort.assign(kFirstControlPort + mControls.size(), -1);
  for (size_t c = 0; c < mControls.size(); ++c)
    mControlOfPort[kFirstControlPort + c] = static_cast<std::int32_t>(c);
  mTimeInPort = TimeInPort(static_cast<std::uint32_t>(mControls.size()));

  mMidi.reserve(kMaxMidiPerBlock);
  mPieceMidi.reserve(kMaxMidiPerBlock);
  mPlug->SetHostNotifications(this);
  std::lock_guard lock(instancesMutex());
  instances().push_back(this);
}

IPluginLV2::~IPluginLV2()
{
  // A host may end the instance before its UI, and on another thread than the UI's: the editor then
  // closes here, while no UI call runs, and before the plug-in it shows goes.
  std::lock_guard editorLock(EditorMutex());
  {
    std::lock_guard lock(instancesMutex());
    std::erase(instances(), this);
  }
  if (EditorPorts* editor = mEditor.exchange(nullptr, std::memory_order_acq_rel))
    editor->InstanceDestroyed();
  mPlug->SetHostNotifications(nullptr);
  mPlug.reset();
}

std::recursive_mutex& IPluginLV2::EditorMutex()
{
  static std::recursive_mutex mutex;
  return mutex;
}

IPluginLV2* IPluginLV2::FromHandle(const void* handle)
{
  std::lock_guard lock(instancesMutex());
  for (const IPluginLV2* instance : instances())
    if (instance == handle)
      return const_cast<IPluginLV2*>(instance);
  return nullptr;
}

void IPluginLV2::AttachEditorPorts(EditorPorts* editor)
{
  mEditorThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  mEditor.store(editor, std::memory_order_release);
}

void IPluginLV2::DetachEditorPorts(EditorPorts* editor)
{
  EditorPorts* expected = editor;
  mEditor.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

IPluginLV2::EditorPorts* IPluginLV2::editorOnThisThread() const
{
  // Attached and detached on that thread only: there it cannot go away during the call.
  if (std::this_thread::get_id() != mEditorThread.load(std::memory_order_relaxed))
    return nullptr;
  return mEditor.load(std::memory_order_acquire);
}

std::uint32_t IPluginLV2::ControlPortOf(int paramIdx) const
{
  for (size_t c = 0; c < mControls.size(); ++c)
    if (mControls[c].paramIdx == paramIdx)
      return kFirstControlPort + static_cast<std::uint32_t>(c);
  return 0;
}

int IPluginLV2::ParamOfControlPort(std::uint32_t port) const
{
  if (port >= mControlOfPort.size() || mControlOfPort[port] < 0)
    return -1;
  return mControls[static_cast<size_t>(mControlOfPort[port])].paramIdx;
}

bool IPluginLV2::LastSeenPortValue(std::uint32_t port, float& value) const
{
  if (port >= mControlOfPort.size() || mControlOfPort[port] < 0)
    return false;
  const std::uint64_t shared =
    mControls[static_cast<size_t>(mControlOfPort[port])].lastSeenShared.load(std::memory_order_acquire);
  if (!(shared >> 32))
    return false;
  value = std::bit_cast<float>(static_cast<std::uint32_t>(shared));
  return true;
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
      if (port == mTimeInPort)
        mTimeIn = static_cast<const LV2_Atom_Sequence*>(data);
      else if (port < mControlOfPort.size() && mControlOfPort[port] >= 0)
        mControls[static_cast<size_t>(mControlOfPort[port])].data = static_cast<const float*>(data);
      return;
  }
}

void IPluginLV2::Activate()
{
  mPlug->Activate();
}

void IPluginLV2::Run(std::uint32_t nFrames)
{
  // LV2 lets a plug-in schedule work only from inside run(). An atomic member marks the thread, not
  // thread-local storage: this module is loaded with dlopen, where a thread's first use of a
  // thread-local variable allocates it, and that thread may be the host's new audio thread.
  mRunThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  applyControlPorts();
  mMidi.clear();
  readEvents(mEventsIn, nFrames, true);
  readEvents(mTimeIn, nFrames, false);
  beginEventsOut();
  mLastFrameOfBlock = nFrames > 0 ? static_cast<std::int64_t>(nFrames) - 1 : 0;

  // The scratch buffers hold the prepared block length: a longer block goes in pieces of it. A
  // block of 0 frames is one piece, which still delivers the MIDI.
  const std::uint32_t piece = static_cast<std::uint32_t>(std::max(mPlug->GetBlockSize(), 1));
  std::uint32_t start = 0;
  do {
    const std::uint32_t n = std::min(nFrames - start, piece);
    renderPiece(start, n, start + n == nFrames);
    start += n;
  } while (start < nFrames);

  endEventsOut();
  ageEditorWrites(nFrames);
  if (mHasPosition)
    mPosition += static_cast<double>(nFrames) * mSpeed;
  mRunThread.store(std::thread::id(), std::memory_order_relaxed);
  mRunCount.fetch_add(1, std::memory_order_release);
}

void IPluginLV2::renderPiece(std::uint32_t start, std::uint32_t nFrames, bool last)
{
  const HostTransport* transport = nullptr;
  if (mHasTempo || mHasPosition) {
    mTransport = HostTransport{};
    mTransport.hasTempo = mHasTempo;
    mTransport.tempo = mTempo;
    mTransport.hasSamplePosition = mHasPosition;
    mTransport.samplePosition = mPosition + static_cast<double>(start) * mSpeed;
    mTransport.isPlaying = mSpeed != 0.0;
    transport = &mTransport;
  }

  // The block's events in this piece, in the order they came, with frames in the piece. The last
  // piece also takes what lies beyond it (a block of 0 frames has its events at frame 0).
  const std::int64_t end = static_cast<std::int64_t>(start) + nFrames;
  mPieceMidi.clear();
  for (const HostMidiEvent& event : mMidi)
    if (event.frame >= static_cast<std::int64_t>(start) && (event.frame < end || last)) {
      HostMidiEvent local = event;
      local.frame -= static_cast<int>(start);
      mPieceMidi.push_back(local);
    }

  auto at = [start](auto* channel) { return channel ? channel + start : channel; };
  const float* inputs[2] = {at(mAudioIn[0]), at(mAudioIn[1])};
  float* outputs[2] = {at(mAudioOut[0]), at(mAudioOut[1])};
  HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nFrames = static_cast<int>(nFrames);
  block.midi = mPieceMidi.data();
  block.nMidi = static_cast<int>(mPieceMidi.size());
  block.transport = transport;
  block.midiOutput = mEventsOutOpen ? this : nullptr;
  mPieceStart = start;
  mPlug->RenderAudio(block);
}

void IPluginLV2::applyControlPorts()
{
  const bool adopt = mAdoptPortValues.exchange(false, std::memory_order_acq_rel);
  noticeEditorWrites();
  for (ControlPort& control : mControls) {
    if (!control.data)
      continue;
    const float value = *control.data;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const bool firstSight = !control.seen;
    // A wait for the editor's write that ended with another value on the port leaves that value to
    // be taken now, as a move.
    const bool moved = bits != std::bit_cast<std::uint32_t>(control.lastSeen) || control.takePortValue;
    control.takePortValue = false;
    control.lastSeen = value;
    control.seen = true;
    control.lastSeenShared.store(std::uint64_t{1} << 32 | bits, std::memory_order_release);
    // The editor's writes are on their way: the port shows them (or, during the user's gesture, a
    // host value the gesture overrides). The latest one showing ends the wait.
    IParam& param = *mPlug->GetParam(control.paramIdx);
    bool editorWriting = control.editorWritesNoticed != control.editorWritesSettled;
    if (editorWriting && bits == control.editorWrite.load(std::memory_order_relaxed)) {
      control.editorWritesSettled = control.editorWritesNoticed;
      // The write has arrived: no change, unless the parameter has moved on since it was written (a
      // host change on another path, such as the framework's host call on a thread of the host's).
      // Then the host's control, which shows the write, is what counts.
      editorWriting = std::bit_cast<std::uint32_t>(static_cast<float>(param.GetValue())) == bits;
    }
    if (adopt || (!firstSight && !moved) || std::isnan(value) || editorWriting)
      continue;
    const double plain = PlainFromPortValue(value);
    // At first sight the port only tells the host's starting value: an equal value is no change,
    // and dispatching it anyway would restart notes and frames for nothing.
    if (firstSight && param.ConstrainValue(plain) == param.GetValue())
      continue;
    // Applied by the processing call when it starts, before the block's MIDI and audio.
    mPlug->SetParameterFromHostPlain(control.paramIdx, plain);
  }
}

void IPluginLV2::noticeEditorWrites()
{
  for (ControlPort& control : mControls) {
    const std::uint32_t count = control.editorWriteCount.load(std::memory_order_acquire);
    if (count != control.editorWritesNoticed) {
      control.editorWritesNoticed = count;
      control.framesSinceEditorWrite = 0;
    }
  }
}

void IPluginLV2::ageEditorWrites(std::uint32_t nFrames)
{
  const double limit = kEditorWriteEchoSeconds * mSampleRate;
  for (ControlPort& control : mControls) {
    if (control.editorWritesNoticed == control.editorWritesSettled)
      continue;
    control.framesSinceEditorWrite += nFrames;
    // Writes the host never showed on the port are not waited for any longer. The port then holds
    // the host's own value (its automation overrode the gesture, or it did not take the write): the
    // host's control is what the host shows, plays and saves, so the parameter follows it rather
    // than staying apart from it.
    if (static_cast<double>(control.framesSinceEditorWrite) > limit) {
      control.editorWritesSettled = control.editorWritesNoticed;
      control.takePortValue = control.seen;
    }
  }
}

void IPluginLV2::readEvents(const LV2_Atom_Sequence* sequence, std::uint32_t nFrames, bool withMidi)
{
  if (!sequence || sequence->atom.type != mURIDs.atomSequence)
    return;
  const std::int64_t lastFrame = std::min<std::int64_t>(nFrames > 0 ? nFrames - 1 : 0, INT_MAX);
  ForEachEvent(*sequence, [&](const LV2_Atom_Event& event) {
    const std::int64_t frame = std::clamp<std::int64_t>(event.time.frames, 0, lastFrame);
    if (event.body.type == mURIDs.midiEvent) {
      if (withMidi)
        readMidi(event.body, frame);
    } else if (event.body.type == mURIDs.atomObject || event.body.type == mURIDs.atomBlank) {
      if (ObjectType(event.body) == mURIDs.timePosition)
        readPosition(event.body, frame);
    }
  });
}

void IPluginLV2::readMidi(const LV2_Atom& event, std::int64_t frame)
{
  // The event reader has checked that event.size bytes follow the atom header.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&event + 1);
  const std::uint32_t size = ShortMidiMessageLength(bytes, event.size);
  if (size == 0 || mMidi.size() >= kMaxMidiPerBlock)
    return;
  HostMidiEvent midi;
  midi.frame = static_cast<int>(frame);
  midi.status = bytes[0];
  midi.data1 = size > 1 ? bytes[1] : 0;
  midi.data2 = size > 2 ? bytes[2] : 0;
  mMidi.push_back(midi);
}

void IPluginLV2::readPosition(const LV2_Atom& position, std::int64_t offset)
{
  // The first value of each property counts.
  const LV2_Atom* bpm = nullptr;
  const LV2_Atom* frame = nullptr;
  const LV2_Atom* speed = nullptr;
  ForEachProperty(position, [&](const LV2_Atom_Property_Body& property) {
    const LV2_Atom** wanted = property.key == mURIDs.timeBeatsPerMinute ? &bpm
      : property.key == mURIDs.timeFrame                                ? &frame
      : property.key == mURIDs.timeSpeed                                ? &speed
                                                                        : nullptr;
    if (wanted && !*wanted)
      *wanted = &property.value;
  });
  double value = 0.0;
  if (bpm && atomNumber(*bpm, value)) {
    mHasTempo = true;
    mTempo = value;
  }
  if (speed && atomNumber(*speed, value))
    mSpeed = value;
  if (frame && atomNumber(*frame, value)) {
    // The frame is the position at the event; the block starts `offset` frames earlier. A stopped
    // transport (speed 0) still has a position.
    mHasPosition = true;
    mPosition = value - static_cast<double>(offset) * mSpeed;
  }
}

// `atom` is whole: atom.size bytes follow its header (the readers above and optionNumber make sure).
bool IPluginLV2::atomNumber(const LV2_Atom& atom, double& value) const
{
  const auto* body = reinterpret_cast<const std::uint8_t*>(&atom + 1);
  double number = 0.0;
  auto read = [&](auto typed) {
    std::memcpy(&typed, body, sizeof(typed)); // property values need not be aligned for doubles
    number = static_cast<double>(typed);
  };
  if (atom.type == mURIDs.atomFloat && atom.size >= sizeof(float))
    read(float{});
  else if (atom.type == mURIDs.atomDouble && atom.size >= sizeof(double))
    read(double{});
  else if (atom.type == mURIDs.atomInt && atom.size >= sizeof(std::int32_t))
    read(std::int32_t{});
  else if (atom.type == mURIDs.atomLong && atom.size >= sizeof(std::int64_t))
    read(std::int64_t{});
  else
    return false;
  if (!std::isfinite(number))
    return false;
  value = number;
  return true;
}

bool IPluginLV2::optionNumber(const LV2_Options_Option& option, double& value) const
{
  if (!option.value || option.size > sizeof(double))
    return false;
  // Options carry the body alone; rebuild a whole atom for the reader.
  alignas(8) unsigned char buffer[sizeof(LV2_Atom) + sizeof(double)] = {};
  const LV2_Atom atom{option.size, option.type};
  std::memcpy(buffer, &atom, sizeof(atom));
  std::memcpy(buffer + sizeof(atom), option.value, option.size);
  return atomNumber(*reinterpret_cast<const LV2_Atom*>(buffer), value);
}

bool IPluginLV2::isBlockLengthKey(LV2_URID key) const
{
  return key == mURIDs.maxBlockLength || key == mURIDs.nominalBlockLength;
}

bool IPluginLV2::blockLengthOption(const LV2_Options_Option& option, int& frames) const
{
  // A block length counts whole frames: an atom:Int as the buffer-size extension says (an atom:Long
  // is taken too); a fraction, a float or a length outside 1 ... kMaxBlockLength is no block length.
  double value = 0.0;
  if (option.context != LV2_OPTIONS_INSTANCE || !isBlockLengthKey(option.key) ||
      (option.type != mURIDs.atomInt && option.type != mURIDs.atomLong) || !optionNumber(option, value) ||
      value < 1.0 || value > kMaxBlockLength)
    return false;
  frames = static_cast<int>(value);
  return true;
}

bool IPluginLV2::sampleRateOption(const LV2_Options_Option& option, double& rate) const
{
  // Hertz as an atom:Float (an atom:Double is taken too), within the rates the plug-in runs at.
  double value = 0.0;
  if (option.context != LV2_OPTIONS_INSTANCE || option.key != mURIDs.sampleRate ||
      (option.type != mURIDs.atomFloat && option.type != mURIDs.atomDouble) || !optionNumber(option, value) ||
      !acceptedRate(value))
    return false;
  rate = value;
  return true;
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
  const std::uint8_t bytes[3] = {msg.mStatus, msg.mData1, msg.mData2};
  const std::uint32_t size = ShortMidiMessageLength(bytes, sizeof(bytes));
  if (size == 0 || !reserveEventsOut(size))
    return;
  // The offset counts from the piece being rendered. Messages from the editor carry no time:
  // keep the sequence in order and inside the block.
  mLastOutFrame = std::clamp<std::int64_t>(mPieceStart + msg.mOffset, mLastOutFrame, mLastFrameOfBlock);
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

void IPluginLV2::InformHostOfParamChange(int paramIdx, double)
{
  mStateChanged.store(true, std::memory_order_release);
  if (EditorPorts* editor = editorOnThisThread())
    writeToEditorPort(*editor, paramIdx);
}

void IPluginLV2::InformHostOfPresetChange()
{
  mStateChanged.store(true, std::memory_order_release);
  // A preset switch in the editor changes every parameter at once.
  if (EditorPorts* editor = editorOnThisThread())
    for (const ControlPort& control : mControls)
      writeToEditorPort(*editor, control.paramIdx);
}

void IPluginLV2::BeginInformHostOfParamChange(int paramIdx)
{
  if (EditorPorts* editor = editorOnThisThread())
    if (const std::uint32_t port = ControlPortOf(paramIdx))
      editor->TouchControlPort(port, true);
}

void IPluginLV2::EndInformHostOfParamChange(int paramIdx)
{
  if (EditorPorts* editor = editorOnThisThread())
    if (const std::uint32_t port = ControlPortOf(paramIdx))
      editor->TouchControlPort(port, false);
}

void IPluginLV2::writeToEditorPort(EditorPorts& editor, int paramIdx)
{
  const std::uint32_t port = ControlPortOf(paramIdx);
  if (port == 0)
    return;
  // The port carries the plain value, as the Turtle declares its range.
  const float value = static_cast<float>(mPlug->GetParam(paramIdx)->GetValue());
  ControlPort& control = mControls[static_cast<size_t>(mControlOfPort[port])];
  control.editorWrite.store(std::bit_cast<std::uint32_t>(value), std::memory_order_relaxed);
  control.editorWriteCount.fetch_add(1, std::memory_order_release);
  editor.WriteControlPort(port, value);
}

bool IPluginLV2::ScheduleBackgroundWork()
{
  if (!mWorkSchedule || mRunThread.load(std::memory_order_relaxed) != std::this_thread::get_id())
    return false;
  // The request carries nothing: the plug-in knows what its background work is.
  const std::uint32_t request = 0;
  return mWorkSchedule->schedule_work(mWorkSchedule->handle, sizeof(request), &request) == LV2_WORKER_SUCCESS;
}

LV2_Worker_Status IPluginLV2::Work(std::uint32_t, const void*)
{
  mPlug->OnBackgroundWork();
  return LV2_WORKER_SUCCESS;
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
  // Every chunk this plug-in saves has the same size; another size is no state of ours, and
  // reading what there is would set the missing values to 0. Refused, nothing changed.
  IByteChunk current;
  if (!mPlug->SerializeState(current) || size != static_cast<size_t>(current.Size()))
    return LV2_STATE_ERR_UNKNOWN;
  IByteChunk chunk;
  if (chunk.PutBytes(data, static_cast<int>(size)) == 0)
    return LV2_STATE_ERR_UNKNOWN;
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
    status |= LV2_OPTIONS_ERR_BAD_KEY; // the plug-in publishes no options
  return status;
}

std::uint32_t IPluginLV2::SetOptions(const LV2_Options_Option* options)
{
  std::uint32_t status = LV2_OPTIONS_SUCCESS;
  for (const LV2_Options_Option* o = options; o && o->key; ++o) {
    int frames = 0;
    double rate = 0.0;
    if (isBlockLengthKey(o->key)) {
      if (!blockLengthOption(*o, frames)) {
        status |= LV2_OPTIONS_ERR_BAD_VALUE; // ignored: the buffers stay as they are
        continue;
      }
      // Grows the scratch buffers now, off the audio thread.
      mPlug->PrepareToPlay(mSampleRate, frames);
    } else if (o->key == mURIDs.sampleRate) {
      if (!sampleRateOption(*o, rate)) {
        status |= LV2_OPTIONS_ERR_BAD_VALUE; // ignored: the plug-in keeps its rate
        continue;
      }
      mSampleRate = rate;
      mPlug->PrepareToPlay(mSampleRate, 0);
    } else {
      status |= LV2_OPTIONS_ERR_BAD_KEY;
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
    return nullptr; // nothing may escape into the host
  }
}

void connectPort(LV2_Handle instance, std::uint32_t port, void* data)
{
  bridge(instance)->ConnectPort(port, data);
}

void activate(LV2_Handle instance)
{
  bridge(instance)->Activate();
}

void run(LV2_Handle instance, std::uint32_t nFrames)
{
  bridge(instance)->Run(nFrames);
}

void cleanup(LV2_Handle instance)
{
  delete bridge(instance);
}

LV2_State_Status saveState(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle, std::uint32_t,
                           const LV2_Feature* const*)
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

LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle, std::uint32_t size,
                       const void* data)
{
  try {
    return bridge(instance)->Work(size, data);
  } catch (...) {
    return LV2_WORKER_ERR_UNKNOWN;
  }
}

LV2_Worker_Status workResponse(LV2_Handle, std::uint32_t, const void*)
{
  return LV2_WORKER_SUCCESS; // the work sends no response
}

const void* extensionData(const char* uri)
{
  static const LV2_State_Interface state = {saveState, restoreState};
  static const LV2_Options_Interface options = {getOptions, setOptions};
  static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
  if (std::strcmp(uri, LV2_STATE__interface) == 0)
    return &state;
  if (std::strcmp(uri, LV2_OPTIONS__interface) == 0)
    return &options;
  if (std::strcmp(uri, LV2_WORKER__interface) == 0)
    return &worker;
  return nullptr;
}

const LV2_Descriptor kDescriptor = {
  kPluginURI, instantiate, connectPort, activate, run, nullptr /* deactivate */, cleanup, extensionData,
};
} // namespace

const LV2_Descriptor* Descriptor()
{
  return &kDescriptor;
}

} // namespace plug::lv2
