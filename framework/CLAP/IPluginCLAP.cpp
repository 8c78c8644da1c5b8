// SPDX-License-Identifier: ISC
#include "framework/CLAP/IPluginCLAP.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include <clap/ext/audio-ports.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>

#include "framework/CLAP/CLAPLayout.h"
#include "framework/CLAP/ClapEditor.h"
#include "framework/IByteChunk.h"
#include "framework/ParamText.h"
#include "framework/ShortMidiMessage.h"
#include "base/RunLoop.h"

namespace plug::clap {

namespace {

bool acceptedRate(double rate)
{
  return rate >= IPluginCLAP::kMinSampleRate && rate <= IPluginCLAP::kMaxSampleRate;
}

// The event's body, when the host's header says it is at least as large as the type: a shorter
// event is no event of that type, and reading it would run past what the host wrote.
template <typename Event>
const Event* eventAs(const clap_event_header_t& header)
{
  return header.size >= sizeof(Event) ? reinterpret_cast<const Event*>(&header) : nullptr;
}

void copyText(char* destination, std::size_t size, const char* text)
{
  if (size == 0)
    return;
  std::strncpy(destination, text, size - 1);
  destination[size - 1] = '\0';
}

constexpr const char* kFeatures[] = {CLAP_PLUGIN_FEATURE_AUDIO_EFFECT, CLAP_PLUGIN_FEATURE_GRANULAR,
                                     CLAP_PLUGIN_FEATURE_DELAY, CLAP_PLUGIN_FEATURE_STEREO, nullptr};

} // namespace

// Construction and lifetime.

const clap_plugin_t* IPluginCLAP::Create(const clap_host_t* host)
{
  if (!host || !host->get_extension || !clap_version_is_compatible(host->clap_version))
    return nullptr;
  auto* bridge = new IPluginCLAP(host);
  return &bridge->mClapPlugin;
}

IPluginCLAP* IPluginCLAP::From(const clap_plugin_t* plugin)
{
  return static_cast<IPluginCLAP*>(plugin->plugin_data);
}

IPluginCLAP::IPluginCLAP(const clap_host_t* host) : mHost(host)
{
  mClapPlugin.desc = Descriptor();
  mClapPlugin.plugin_data = this;
  mClapPlugin.init = [](const clap_plugin_t* p) {
    try {
      return From(p)->Init();
    } catch (...) {
      return false; // nothing may escape into the host
    }
  };
  mClapPlugin.destroy = [](const clap_plugin_t* p) { From(p)->Destroy(); };
  mClapPlugin.activate = [](const clap_plugin_t* p, double rate, std::uint32_t minFrames, std::uint32_t maxFrames) {
    try {
      return From(p)->Activate(rate, minFrames, maxFrames);
    } catch (...) {
      return false;
    }
  };
  mClapPlugin.deactivate = [](const clap_plugin_t* p) { From(p)->Deactivate(); };
  mClapPlugin.start_processing = [](const clap_plugin_t* p) { return From(p)->StartProcessing(); };
  mClapPlugin.stop_processing = [](const clap_plugin_t* p) { From(p)->StopProcessing(); };
  mClapPlugin.reset = [](const clap_plugin_t* p) { From(p)->Reset(); };
  mClapPlugin.process = [](const clap_plugin_t* p, const clap_process_t* process) {
    return process ? From(p)->Process(*process) : CLAP_PROCESS_ERROR;
  };
  mClapPlugin.get_extension = [](const clap_plugin_t* p, const char* id) {
    return id ? From(p)->GetExtension(id) : nullptr;
  };
  mClapPlugin.on_main_thread = [](const clap_plugin_t* p) {
    try {
      From(p)->OnMainThread();
    } catch (...) {
    }
  };
  mFromAudio.reserve(kToHostCapacity);
  mEvents.reserve(kMaxEventsPerBlock);
  mEventOrder.reserve(kMaxEventsPerBlock);
  mPieceEvents.reserve(kMaxEventsPerBlock);
}

IPluginCLAP::~IPluginCLAP() = default;

bool IPluginCLAP::Init()
{
  if (mPlug)
    return true;
  mPlug.reset(MakePlug(InstanceInfo{}));
  if (!mPlug)
    return false;
  mPlug->SetHostNotifications(this);
  // The plug-in's 20 ms timer (host changes reach the editor, idle updates) runs on the host's
  // timer, whether or not the editor is open, so that the editor's queue never overflows.
  if (const auto* timers = HostExtension<clap_host_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
      timers && timers->register_timer)
    mTimerRegistered = timers->register_timer(mHost, kTimerPeriodMs, &mTimerId);
  return true;
}

void IPluginCLAP::Destroy()
{
  mEditor.reset();
  stopTimer();
  if (mPlug)
    mPlug->SetHostNotifications(nullptr);
  delete this;
}

void IPluginCLAP::stopTimer()
{
  if (!mTimerRegistered)
    return;
  if (const auto* timers = HostExtension<clap_host_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
      timers && timers->unregister_timer)
    timers->unregister_timer(mHost, mTimerId);
  mTimerRegistered = false;
}

bool IPluginCLAP::Activate(double sampleRate, std::uint32_t, std::uint32_t maxFrames)
{
  if (!mPlug || !acceptedRate(sampleRate) || maxFrames < 1 || maxFrames > kMaxBlockLength)
    return false;
  mSampleRate = sampleRate;
  // The scratch buffers for the longest block the host will send: the audio thread never grows them.
  mPlug->PrepareToPlay(sampleRate, static_cast<int>(maxFrames));
  mPlug->Activate();
  mActive.store(true, std::memory_order_release);
  return true;
}

void IPluginCLAP::Deactivate()
{
  mActive.store(false, std::memory_order_release);
}

bool IPluginCLAP::StartProcessing()
{
  return mActive.load(std::memory_order_acquire);
}

void IPluginCLAP::StopProcessing()
{
}

void IPluginCLAP::Reset()
{
  if (mActive.load(std::memory_order_acquire))
    mPlug->Activate(); // notes end, grains and filters start from silence
}

void IPluginCLAP::OnMainThread()
{
  if (!mPlug)
    return;
  if (mBackgroundWork.exchange(false, std::memory_order_acq_rel))
    mPlug->OnBackgroundWork();
  if (mMarkDirty.exchange(false, std::memory_order_acq_rel))
    if (const auto* state = HostExtension<clap_host_state_t>(CLAP_EXT_STATE); state && state->mark_dirty)
      state->mark_dirty(mHost);
}

// Processing.

clap_process_status IPluginCLAP::Process(const clap_process_t& process)
{
  // A host that processes before activating gets nothing done: the buffers are not prepared.
  if (!mPlug || !mActive.load(std::memory_order_acquire))
    return CLAP_PROCESS_ERROR;
  const ProcessingThread::Scope processing(mProcessing);
  const std::uint32_t nFrames = process.frames_count;

  writeToHost(process.out_events);
  readEvents(process.in_events, nFrames, true);
  readTransport(process.transport);

  // Longer blocks than announced go in pieces of the prepared length; a block of 0 frames is one
  // piece, which still delivers its events.
  const std::uint32_t piece = static_cast<std::uint32_t>(std::max(mPlug->GetBlockSize(), 1));
  std::uint32_t start = 0;
  do {
    const std::uint32_t n = std::min(nFrames - start, piece);
    renderPiece(process, start, n, start + n == nFrames);
    start += n;
  } while (start < nFrames);

  // The plug-in's own changes during the block (learned controllers).
  for (const ToHost& change : mFromAudio)
    pushToHost(process.out_events, change);
  mFromAudio.clear();
  return CLAP_PROCESS_CONTINUE;
}

void IPluginCLAP::readEvents(const clap_input_events_t* in, std::uint32_t nFrames, bool withNotes)
{
  mEvents.clear();
  mEventOrder.clear();
  if (!in || !in->size || !in->get)
    return;
  const std::uint32_t count = in->size(in);
  for (std::uint32_t i = 0; i < count; ++i) {
    const clap_event_header_t* header = in->get(in, i);
    if (!header || header->size < sizeof(clap_event_header_t) || header->space_id != CLAP_CORE_EVENT_SPACE_ID)
      continue;
    switch (header->type) {
      case CLAP_EVENT_PARAM_VALUE: applyHostValue(*header); break;
      case CLAP_EVENT_MIDI:
        if (withNotes)
          readMidi(*header, nFrames);
        break;
      case CLAP_EVENT_NOTE_ON:
      case CLAP_EVENT_NOTE_OFF:
        if (withNotes)
          readNote(*header, nFrames);
        break;
      default: break; // modulation, expressions, system exclusive, MIDI 2: not used
    }
  }
  // Hosts send events in time order; one that does not still gets them in frame order, equal frames
  // in the order they came. std::sort allocates nothing.
  std::sort(mEventOrder.begin(), mEventOrder.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int fa = mEvents[a].frame;
    const int fb = mEvents[b].frame;
    return fa != fb ? fa < fb : a < b;
  });
}

void IPluginCLAP::applyHostValue(const clap_event_header_t& header)
{
  const auto* event = eventAs<clap_event_param_value_t>(header);
  if (!event)
    return;
  const int paramIdx = ParamIndexOf(*mPlug, event->param_id);
  // Per-note, per-key and per-channel values are not supported: only those for the whole plug-in.
  if (paramIdx < 0 || std::isnan(event->value) || event->note_id >= 0 || event->key >= 0 || event->channel >= 0)
    return;
  // Applied by the render call when it starts, before the block's MIDI and audio.
  mPlug->SetParameterFromHostPlain(paramIdx, event->value);
}

void IPluginCLAP::readMidi(const clap_event_header_t& header, std::uint32_t nFrames)
{
  const auto* event = eventAs<clap_event_midi_t>(header);
  if (!event || event->port_index != 0)
    return;
  const std::uint32_t length = ShortMidiMessageLength(event->data, sizeof(event->data));
  if (length == 0)
    return;
  addMidi(header.time, nFrames, event->data[0], length > 1 ? event->data[1] : 0, length > 2 ? event->data[2] : 0);
}

void IPluginCLAP::readNote(const clap_event_header_t& header, std::uint32_t nFrames)
{
  const auto* event = eventAs<clap_event_note_t>(header);
  // A note for every key or channel (-1) is no note a MIDI message can carry.
  if (!event || event->port_index != 0 || event->key < 0 || event->key > 127 || event->channel < 0 ||
      event->channel > 15 || !std::isfinite(event->velocity))
    return;
  const bool on = header.type == CLAP_EVENT_NOTE_ON;
  // A note-on of velocity 0 would be a note-off in MIDI: the softest note-on is 1.
  const long velocity = std::lround(std::clamp(event->velocity, 0.0, 1.0) * 127.0);
  const auto data2 = static_cast<std::uint8_t>(on ? std::max(velocity, 1L) : velocity);
  const auto status = static_cast<std::uint8_t>((on ? 0x90 : 0x80) | event->channel);
  addMidi(header.time, nFrames, status, static_cast<std::uint8_t>(event->key), data2);
}

void IPluginCLAP::addMidi(std::uint32_t time, std::uint32_t nFrames, std::uint8_t status, std::uint8_t data1,
                          std::uint8_t data2)
{
  if (mEvents.size() >= kMaxEventsPerBlock)
    return;
  const std::uint32_t lastFrame = nFrames > 0 ? nFrames - 1 : 0;
  HostMidiEvent event;
  event.frame = static_cast<int>(std::min(time, lastFrame));
  event.status = status;
  event.data1 = data1;
  event.data2 = data2;
  mEventOrder.push_back(static_cast<std::uint32_t>(mEvents.size()));
  mEvents.push_back(event);
}

void IPluginCLAP::readTransport(const clap_event_transport_t* transport)
{
  mHasTransport = transport != nullptr;
  if (!transport)
    return;
  mTransport = HostTransport{};
  const std::uint32_t flags = transport->flags;
  if ((flags & CLAP_TRANSPORT_HAS_TEMPO) && std::isfinite(transport->tempo) && transport->tempo > 0.0) {
    mTransport.hasTempo = true;
    mTransport.tempo = transport->tempo;
  }
  const double beats = static_cast<double>(transport->song_pos_beats) / static_cast<double>(CLAP_BEATTIME_FACTOR);
  if (flags & CLAP_TRANSPORT_HAS_SECONDS_TIMELINE) {
    // Hosts count whole samples; the fixed-point seconds only approximate them.
    const double seconds = static_cast<double>(transport->song_pos_seconds) / static_cast<double>(CLAP_SECTIME_FACTOR);
    mTransport.hasSamplePosition = true;
    mTransport.samplePosition = std::round(seconds * mSampleRate);
  } else if ((flags & CLAP_TRANSPORT_HAS_BEATS_TIMELINE) && mTransport.hasTempo) {
    mTransport.hasSamplePosition = true;
    mTransport.samplePosition = std::round(beats * 60.0 / mTransport.tempo * mSampleRate);
  }
  if (flags & CLAP_TRANSPORT_HAS_BEATS_TIMELINE) {
    mTransport.hasTickPosition = true;
    mTransport.tickPosition = static_cast<std::int64_t>(std::llround(beats * kTicksPerQuarterNote));
  }
  if ((flags & CLAP_TRANSPORT_HAS_TIME_SIGNATURE) && transport->tsig_num > 0 && transport->tsig_denom > 0) {
    mTransport.hasMeter = true;
    mTransport.numerator = transport->tsig_num;
    mTransport.denominator = transport->tsig_denom;
  }
  mTransport.isPlaying = (flags & CLAP_TRANSPORT_IS_PLAYING) != 0;
  if (flags & CLAP_TRANSPORT_HAS_BEATS_TIMELINE) {
    auto ticks = [](clap_beattime b) {
      return static_cast<std::int64_t>(
        std::llround(static_cast<double>(b) / static_cast<double>(CLAP_BEATTIME_FACTOR) * kTicksPerQuarterNote));
    };
    mTransport.hasLoop = true;
    mTransport.loopEnabled = (flags & CLAP_TRANSPORT_IS_LOOP_ACTIVE) != 0;
    mTransport.loopStartTicks = ticks(transport->loop_start_beats);
    mTransport.loopEndTicks = ticks(transport->loop_end_beats);
  }
}

void IPluginCLAP::renderPiece(const clap_process_t& process, std::uint32_t start, std::uint32_t nFrames, bool last)
{
  // The block's events in this piece, in frame order, with frames in the piece. The last piece also
  // takes what lies beyond it (a block of 0 frames has its events at frame 0).
  const std::int64_t end = static_cast<std::int64_t>(start) + nFrames;
  mPieceEvents.clear();
  for (const std::uint32_t i : mEventOrder) {
    const HostMidiEvent& event = mEvents[i];
    if (event.frame >= static_cast<std::int64_t>(start) && (event.frame < end || last)) {
      HostMidiEvent local = event;
      local.frame -= static_cast<int>(start);
      mPieceEvents.push_back(local);
    }
  }

  HostTransport transport = mTransport;
  if (transport.hasSamplePosition && transport.isPlaying)
    transport.samplePosition += static_cast<double>(start);

  // The main ports: stereo (a mono or missing buffer counts as silence on the channels it lacks).
  auto channel = [start](const clap_audio_buffer_t* buffers, std::uint32_t count, std::uint32_t c) -> float* {
    if (!buffers || count < 1 || !buffers[0].data32 || c >= buffers[0].channel_count || !buffers[0].data32[c])
      return nullptr;
    return buffers[0].data32[c] + start;
  };
  const float* inputs[2] = {channel(process.audio_inputs, process.audio_inputs_count, 0),
                            channel(process.audio_inputs, process.audio_inputs_count, 1)};
  float* outputs[2] = {channel(process.audio_outputs, process.audio_outputs_count, 0),
                       channel(process.audio_outputs, process.audio_outputs_count, 1)};
  HostBlock block;
  block.inputs = inputs;
  block.outputs = outputs;
  block.nFrames = static_cast<int>(nFrames);
  block.midi = mPieceEvents.data();
  block.nMidi = static_cast<int>(mPieceEvents.size());
  block.transport = mHasTransport ? &transport : nullptr;
  mPlug->RenderAudio(block);
}

// Changes the plug-in makes itself.

void IPluginCLAP::InformHostOfParamChange(int paramIdx, double)
{
  const IParam* param = mPlug ? mPlug->GetParam(paramIdx) : nullptr;
  if (!param || param->Type() == IParam::kTypeNone)
    return;
  const ToHost change{ToHost::kValue, false, ParamID(paramIdx), param->GetValue()};
  if (mProcessing.IsCurrent()) {
    // A learned controller: the host may record the controller, not this value as well.
    if (mFromAudio.size() < mFromAudio.capacity())
      mFromAudio.push_back({ToHost::kValue, true, change.id, change.value});
    mMarkDirty.store(true, std::memory_order_release);
    mHost->request_callback(mHost);
    return;
  }
  toHostFromMainThread(change);
}

void IPluginCLAP::BeginInformHostOfParamChange(int paramIdx)
{
  if (!mProcessing.IsCurrent() && ParamIndexOf(*mPlug, ParamID(paramIdx)) >= 0)
    toHostFromMainThread({ToHost::kBegin, false, ParamID(paramIdx), 0.0});
}

void IPluginCLAP::EndInformHostOfParamChange(int paramIdx)
{
  if (!mProcessing.IsCurrent() && ParamIndexOf(*mPlug, ParamID(paramIdx)) >= 0)
    toHostFromMainThread({ToHost::kEnd, false, ParamID(paramIdx), 0.0});
}

void IPluginCLAP::InformHostOfPresetChange()
{
  // A preset chosen or reset in the editor: every parameter as a gesture of its own, so that a host
  // writing automation records the new values.
  for (int i = 0; i < mPlug->NParams(); ++i) {
    const IParam& param = *mPlug->GetParam(i);
    if (param.Type() == IParam::kTypeNone)
      continue;
    toHostFromMainThread({ToHost::kBegin, false, ParamID(i), 0.0});
    toHostFromMainThread({ToHost::kValue, false, ParamID(i), param.GetValue()});
    toHostFromMainThread({ToHost::kEnd, false, ParamID(i), 0.0});
  }
}

bool IPluginCLAP::ScheduleBackgroundWork()
{
  // Only from process: the host's main thread does the work soon after.
  if (!mProcessing.IsCurrent())
    return false;
  mBackgroundWork.store(true, std::memory_order_release);
  mHost->request_callback(mHost);
  return true;
}

void IPluginCLAP::toHostFromMainThread(const ToHost& change)
{
  mToHost.Push(change); // dropped when full: the host misses it, the plug-in has the value
  if (change.kind == ToHost::kValue) {
    if (const auto* state = HostExtension<clap_host_state_t>(CLAP_EXT_STATE); state && state->mark_dirty)
      state->mark_dirty(mHost);
  }
  askForFlush();
}

void IPluginCLAP::askForFlush()
{
  // The host calls process or flush soon, where the changes go out.
  if (const auto* params = HostExtension<clap_host_params_t>(CLAP_EXT_PARAMS); params && params->request_flush)
    params->request_flush(mHost);
  else if (mHost->request_process)
    mHost->request_process(mHost);
}

void IPluginCLAP::writeToHost(const clap_output_events_t* out)
{
  ToHost change{};
  while (mToHost.Pop(change))
    pushToHost(out, change);
}

void IPluginCLAP::pushToHost(const clap_output_events_t* out, const ToHost& change)
{
  if (!out || !out->try_push)
    return; // a host without output events hears nothing
  {
    if (change.kind == ToHost::kValue) {
      clap_event_param_value_t event{};
      event.header = {sizeof(event), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE,
                      change.dontRecord ? static_cast<std::uint32_t>(CLAP_EVENT_DONT_RECORD) : 0u};
      event.param_id = change.id;
      event.cookie = nullptr;
      event.note_id = -1;
      event.port_index = -1;
      event.channel = -1;
      event.key = -1;
      event.value = change.value;
      out->try_push(out, &event.header);
    } else {
      clap_event_param_gesture_t event{};
      const std::uint16_t type =
        change.kind == ToHost::kBegin ? CLAP_EVENT_PARAM_GESTURE_BEGIN : CLAP_EVENT_PARAM_GESTURE_END;
      event.header = {sizeof(event), 0, CLAP_CORE_EVENT_SPACE_ID, type, 0};
      event.param_id = change.id;
      out->try_push(out, &event.header);
    }
  }
}

// Parameters.

std::uint32_t IPluginCLAP::ParamsCount() const
{
  std::uint32_t count = 0;
  for (int i = 0; i < mPlug->NParams(); ++i)
    count += mPlug->GetParam(i)->Type() != IParam::kTypeNone ? 1 : 0;
  return count;
}

bool IPluginCLAP::ParamInfo(std::uint32_t index, clap_param_info_t& info) const
{
  std::uint32_t seen = 0;
  for (int i = 0; i < mPlug->NParams(); ++i) {
    const IParam& param = *mPlug->GetParam(i);
    if (param.Type() == IParam::kTypeNone || seen++ != index)
      continue;
    info = clap_param_info_t{};
    info.id = ParamID(i);
    info.flags = CLAP_PARAM_IS_AUTOMATABLE;
    // Whole-numbered kinds; doubles on a step (none in Quennet) are still continuous to the host.
    if (param.Type() == IParam::kTypeBool || param.Type() == IParam::kTypeInt || param.Type() == IParam::kTypeEnum)
      info.flags |= CLAP_PARAM_IS_STEPPED;
    info.cookie = nullptr;
    copyText(info.name, sizeof(info.name), param.GetName());
    copyText(info.module, sizeof(info.module), param.GetGroup());
    info.min_value = param.GetMin();
    info.max_value = param.GetMax();
    info.default_value = param.GetDefault();
    return true;
  }
  return false;
}

bool IPluginCLAP::ParamValue(clap_id id, double& value) const
{
  const int paramIdx = ParamIndexOf(*mPlug, id);
  if (paramIdx < 0)
    return false;
  value = mPlug->GetParam(paramIdx)->GetValue();
  return true;
}

bool IPluginCLAP::ValueToText(clap_id id, double value, char* display, std::uint32_t size) const
{
  const int paramIdx = ParamIndexOf(*mPlug, id);
  if (paramIdx < 0 || !display || size == 0 || !std::isfinite(value))
    return false;
  const IParam& param = *mPlug->GetParam(paramIdx);
  // CLAP has no unit of its own: the label follows the value ("110.0 Hz").
  std::string text = HostValueText(param, param.ConstrainValue(value));
  if (const char* label = param.GetLabel(); label && *label)
    text.append(" ").append(label);
  copyText(display, size, text.c_str());
  return true;
}

bool IPluginCLAP::TextToValue(clap_id id, const char* display, double& value) const
{
  const int paramIdx = ParamIndexOf(*mPlug, id);
  if (paramIdx < 0 || !display)
    return false;
  double parsed = 0.0;
  if (!HostValueFromText(*mPlug->GetParam(paramIdx), display, parsed))
    return false;
  value = parsed;
  return true;
}

void IPluginCLAP::Flush(const clap_input_events_t* in, const clap_output_events_t* out)
{
  if (!mPlug)
    return;
  // Only the parameter values count here; notes need a process call.
  if (in && in->size && in->get) {
    const std::uint32_t count = in->size(in);
    for (std::uint32_t i = 0; i < count; ++i) {
      const clap_event_header_t* header = in->get(in, i);
      if (header && header->size >= sizeof(clap_event_header_t) && header->space_id == CLAP_CORE_EVENT_SPACE_ID &&
          header->type == CLAP_EVENT_PARAM_VALUE)
        applyHostValue(*header);
    }
  }
  writeToHost(out);
}

// State.

bool IPluginCLAP::SaveState(const clap_ostream_t& stream) const
{
  IByteChunk chunk;
  if (!mPlug->SerializeState(chunk) || !stream.write)
    return false;
  const auto* bytes = chunk.GetData();
  std::int64_t left = chunk.Size();
  while (left > 0) {
    const std::int64_t written = stream.write(&stream, bytes, static_cast<std::uint64_t>(left));
    if (written <= 0 || written > left)
      return false;
    bytes += written;
    left -= written;
  }
  return true;
}

bool IPluginCLAP::LoadState(const clap_istream_t& stream)
{
  if (!stream.read)
    return false;
  const int expected = StateSize(mPlug->NParams());
  // One byte more than a state holds: a longer stream is no state of ours.
  std::vector<std::uint8_t> bytes(static_cast<size_t>(expected) + 1);
  std::int64_t have = 0;
  while (have < static_cast<std::int64_t>(bytes.size())) {
    const std::int64_t read = stream.read(&stream, bytes.data() + have,
                                          static_cast<std::uint64_t>(static_cast<std::int64_t>(bytes.size()) - have));
    if (read < 0 || read > static_cast<std::int64_t>(bytes.size()) - have)
      return false;
    if (read == 0)
      break;
    have += read;
  }
  // Read as far as it goes, a chunk of another size would set the missing values to 0: refused.
  if (have != expected)
    return false;
  IByteChunk chunk;
  if (chunk.PutBytes(bytes.data(), expected) == 0)
    return false;
  mPlug->UnserializeState(chunk, 0);
  mPlug->OnRestoreState();
  if (const auto* params = HostExtension<clap_host_params_t>(CLAP_EXT_PARAMS); params && params->rescan)
    params->rescan(mHost, CLAP_PARAM_RESCAN_VALUES);
  return true;
}

// Timer and file descriptors: the plug-in's 20 ms timer and the editor.

void IPluginCLAP::OnTimer(clap_id timer)
{
  if (!mTimerRegistered || timer != mTimerId)
    return;
  if (mEditor)
    mEditor->Idle();
  else
    RunLoop::Main().Pump();
}

void IPluginCLAP::OnFd(int fd, clap_posix_fd_flags_t)
{
  if (mEditor && fd == mWatchedFd)
    mEditor->ProcessEvents();
}

void IPluginCLAP::SetEditor(std::unique_ptr<ClapEditor> editor)
{
  mEditor = std::move(editor);
}

void IPluginCLAP::WatchEditorConnection(int fd)
{
  const auto* fds = HostExtension<clap_host_posix_fd_support_t>(CLAP_EXT_POSIX_FD_SUPPORT);
  if (mWatchedFd >= 0 && fds && fds->unregister_fd)
    fds->unregister_fd(mHost, mWatchedFd);
  mWatchedFd = -1;
  if (fd >= 0 && fds && fds->register_fd && fds->register_fd(mHost, fd, CLAP_POSIX_FD_READ | CLAP_POSIX_FD_ERROR))
    mWatchedFd = fd;
}

// Extensions.

namespace {

IPluginCLAP& bridge(const clap_plugin_t* plugin)
{
  return *IPluginCLAP::From(plugin);
}

const clap_plugin_params_t kParams = {
  [](const clap_plugin_t* p) { return bridge(p).ParamsCount(); },
  [](const clap_plugin_t* p, std::uint32_t index, clap_param_info_t* info) {
    return info && bridge(p).ParamInfo(index, *info);
  },
  [](const clap_plugin_t* p, clap_id id, double* value) { return value && bridge(p).ParamValue(id, *value); },
  [](const clap_plugin_t* p, clap_id id, double value, char* display, std::uint32_t size) {
    try {
      return bridge(p).ValueToText(id, value, display, size);
    } catch (...) {
      return false;
    }
  },
  [](const clap_plugin_t* p, clap_id id, const char* display, double* value) {
    try {
      return value && bridge(p).TextToValue(id, display, *value);
    } catch (...) {
      return false;
    }
  },
  [](const clap_plugin_t* p, const clap_input_events_t* in, const clap_output_events_t* out) {
    bridge(p).Flush(in, out);
  },
};

const clap_plugin_state_t kState = {
  [](const clap_plugin_t* p, const clap_ostream_t* stream) {
    try {
      return stream && bridge(p).SaveState(*stream);
    } catch (...) {
      return false;
    }
  },
  [](const clap_plugin_t* p, const clap_istream_t* stream) {
    try {
      return stream && bridge(p).LoadState(*stream);
    } catch (...) {
      return false;
    }
  },
};

const clap_plugin_audio_ports_t kAudioPorts = {
  [](const clap_plugin_t*, bool) -> std::uint32_t { return 1; },
  [](const clap_plugin_t*, std::uint32_t index, bool isInput, clap_audio_port_info_t* info) {
    if (index != 0 || !info)
      return false;
    *info = clap_audio_port_info_t{};
    info->id = 0;
    copyText(info->name, sizeof(info->name), isInput ? "Stereo In" : "Stereo Out");
    info->flags = CLAP_AUDIO_PORT_IS_MAIN;
    info->channel_count = 2;
    info->port_type = CLAP_PORT_STEREO;
    info->in_place_pair = 0; // the output may be the input's buffer
    return true;
  },
};

const clap_plugin_note_ports_t kNotePorts = {
  [](const clap_plugin_t*, bool isInput) -> std::uint32_t { return isInput ? 1 : 0; },
  [](const clap_plugin_t*, std::uint32_t index, bool isInput, clap_note_port_info_t* info) {
    if (index != 0 || !isInput || !info)
      return false;
    *info = clap_note_port_info_t{};
    info->id = 0;
    info->supported_dialects = CLAP_NOTE_DIALECT_MIDI | CLAP_NOTE_DIALECT_CLAP;
    info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
    copyText(info->name, sizeof(info->name), "MIDI In");
    return true;
  },
};

const clap_plugin_latency_t kLatency = {[](const clap_plugin_t*) -> std::uint32_t { return 0; }};

const clap_plugin_timer_support_t kTimerSupport = {
  [](const clap_plugin_t* p, clap_id timer) {
    try {
      bridge(p).OnTimer(timer);
    } catch (...) {
    }
  },
};

const clap_plugin_posix_fd_support_t kPosixFdSupport = {
  [](const clap_plugin_t* p, int fd, clap_posix_fd_flags_t flags) {
    try {
      bridge(p).OnFd(fd, flags);
    } catch (...) {
    }
  },
};

} // namespace

const void* IPluginCLAP::GetExtension(const char* id)
{
  if (std::strcmp(id, CLAP_EXT_PARAMS) == 0)
    return &kParams;
  if (std::strcmp(id, CLAP_EXT_STATE) == 0)
    return &kState;
  if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0)
    return &kAudioPorts;
  if (std::strcmp(id, CLAP_EXT_NOTE_PORTS) == 0)
    return &kNotePorts;
  if (std::strcmp(id, CLAP_EXT_LATENCY) == 0)
    return &kLatency;
  if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0)
    return &kTimerSupport;
  if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0)
    return &kPosixFdSupport;
  if (std::strcmp(id, CLAP_EXT_GUI) == 0)
    return ClapEditor::Extension();
  return nullptr;
}

// The factory.

const clap_plugin_descriptor_t* Descriptor()
{
  static const clap_plugin_descriptor_t descriptor = {
    CLAP_VERSION_INIT,
    kPluginID,
    "Quennet",
    "Tarnwell Music",
    "https://tarnwellmusic.example/",
    "",
    "",
    "1.1.2",
    "Granular effect: grains in milliseconds, in time with the host, at a frequency or from MIDI notes",
    const_cast<const char**>(kFeatures),
  };
  return &descriptor;
}

const clap_plugin_factory_t* Factory()
{
  static const clap_plugin_factory_t factory = {
    [](const clap_plugin_factory_t*) -> std::uint32_t { return 1; },
    [](const clap_plugin_factory_t*, std::uint32_t index) { return index == 0 ? Descriptor() : nullptr; },
    [](const clap_plugin_factory_t*, const clap_host_t* host, const char* pluginID) -> const clap_plugin_t* {
      if (!pluginID || std::strcmp(pluginID, kPluginID) != 0)
        return nullptr;
      try {
        return IPluginCLAP::Create(host);
      } catch (...) {
        return nullptr;
      }
    },
  };
  return &factory;
}

} // namespace plug::clap
