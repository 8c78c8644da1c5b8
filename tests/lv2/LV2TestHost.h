// SPDX-License-Identifier: ISC
#pragma once

// The host side of an LV2 instance for tests: a URID map, atom sequence buffers for the events
// ports, and a driver that runs a stereo stream through an instance block by block, the way
// renderThrough (TestHost.h) drives the plug-in through the processing call directly.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "TestHost.h"
#include "framework/LV2/LV2Layout.h"

// A host's URID map (and unmap), as features.
class UridMap {
public:
  UridMap()
  {
    mMap.handle = this;
    mMap.map = [](LV2_URID_Map_Handle self, const char* uri) { return static_cast<UridMap*>(self)->id(uri); };
    mUnmap.handle = this;
    mUnmap.unmap = [](LV2_URID_Unmap_Handle self, LV2_URID urid) { return static_cast<UridMap*>(self)->uri(urid); };
    mMapFeature = {LV2_URID__map, &mMap};
    mUnmapFeature = {LV2_URID__unmap, &mUnmap};
  }
  UridMap(const UridMap&) = delete;
  UridMap& operator=(const UridMap&) = delete;

  LV2_URID id(const char* uri)
  {
    auto [it, added] = mIds.try_emplace(uri, static_cast<LV2_URID>(mUris.size() + 1));
    if (added)
      mUris.push_back(std::make_unique<std::string>(uri));
    return it->second;
  }
  const char* uri(LV2_URID urid) const
  {
    return urid >= 1 && urid <= mUris.size() ? mUris[urid - 1]->c_str() : nullptr;
  }

  LV2_URID_Map* map() { return &mMap; }
  LV2_URID_Unmap* unmap() { return &mUnmap; }
  const LV2_Feature* mapFeature() const { return &mMapFeature; }
  const LV2_Feature* unmapFeature() const { return &mUnmapFeature; }

private:
  std::map<std::string, LV2_URID> mIds;
  std::vector<std::unique_ptr<std::string>> mUris;
  LV2_URID_Map mMap{};
  LV2_URID_Unmap mUnmap{};
  LV2_Feature mMapFeature{};
  LV2_Feature mUnmapFeature{};
};

// Instance options as a host passes them: sample rate and block lengths; null-terminated.
struct HostOptions {
  HostOptions(UridMap& urids, float sampleRate, std::int32_t maxBlock) : rate(sampleRate), blockLength(maxBlock)
  {
    const LV2_URID floatType = urids.id(LV2_ATOM__Float);
    const LV2_URID intType = urids.id(LV2_ATOM__Int);
    options[0] = {LV2_OPTIONS_INSTANCE, 0, urids.id(LV2_PARAMETERS__sampleRate), sizeof(float), floatType, &rate};
    options[1] = {LV2_OPTIONS_INSTANCE, 0,       urids.id(LV2_BUF_SIZE__maxBlockLength),
                  sizeof(std::int32_t), intType, &blockLength};
    options[2] = {LV2_OPTIONS_INSTANCE, 0,       urids.id(LV2_BUF_SIZE__nominalBlockLength),
                  sizeof(std::int32_t), intType, &blockLength};
    options[3] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    feature = {LV2_OPTIONS__options, options};
  }
  HostOptions(const HostOptions&) = delete;
  HostOptions& operator=(const HostOptions&) = delete;

  float rate;
  std::int32_t blockLength;
  LV2_Options_Option options[4];
  LV2_Feature feature;
};

// The control ports' defaults as the plug-in's parameters give them, in port order.
inline std::vector<float> controlPortDefaults()
{
  std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug({}));
  std::vector<float> defaults;
  for (int i = 0; i < plugin->NParams(); ++i)
    if (plug::lv2::HasControlPort(*plugin->GetParam(i)))
      defaults.push_back(static_cast<float>(plugin->GetParam(i)->GetDefault()));
  return defaults;
}

// One event read back from an output sequence.
struct OutEvent {
  std::int64_t frame;
  LV2_URID type;
  std::vector<std::uint8_t> body; // for an object: its otype as the first four bytes
};

// An atom sequence port buffer.
class EventBuffer {
public:
  static constexpr std::uint32_t kCapacity = 65536;

  explicit EventBuffer(UridMap& urids) : mUrids(urids), mStorage(kCapacity / sizeof(std::uint64_t))
  {
    lv2_atom_forge_init(&mForge, urids.map());
    clearInput();
  }
  EventBuffer(const EventBuffer&) = delete;
  EventBuffer& operator=(const EventBuffer&) = delete;

  LV2_Atom_Sequence* data() { return reinterpret_cast<LV2_Atom_Sequence*>(mStorage.data()); }

  // An empty input sequence, ready for events in time order.
  void clearInput()
  {
    lv2_atom_forge_set_buffer(&mForge, reinterpret_cast<std::uint8_t*>(mStorage.data()), kCapacity);
    lv2_atom_forge_sequence_head(&mForge, &mFrame, 0);
  }

  void addMidi(std::int64_t frame, const std::vector<std::uint8_t>& message)
  {
    lv2_atom_forge_frame_time(&mForge, frame);
    lv2_atom_forge_atom(&mForge, static_cast<std::uint32_t>(message.size()), mUrids.id(LV2_MIDI__MidiEvent));
    lv2_atom_forge_write(&mForge, message.data(), static_cast<std::uint32_t>(message.size()));
  }

  // A time:Position with tempo, position and speed, as a rolling or stopped host sends it.
  void addPosition(std::int64_t frame, float beatsPerMinute, std::int64_t position, float speed)
  {
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_frame_time(&mForge, frame);
    lv2_atom_forge_object(&mForge, &object, 0, mUrids.id(LV2_TIME__Position));
    lv2_atom_forge_key(&mForge, mUrids.id(LV2_TIME__beatsPerMinute));
    lv2_atom_forge_float(&mForge, beatsPerMinute);
    lv2_atom_forge_key(&mForge, mUrids.id(LV2_TIME__frame));
    lv2_atom_forge_long(&mForge, position);
    lv2_atom_forge_key(&mForge, mUrids.id(LV2_TIME__speed));
    lv2_atom_forge_float(&mForge, speed);
    lv2_atom_forge_pop(&mForge, &object);
  }

  // Before a run, for an output port: the whole buffer is the plug-in's to write.
  void prepareOutput()
  {
    data()->atom.type = mUrids.id(LV2_ATOM__Chunk);
    data()->atom.size = kCapacity - sizeof(LV2_Atom);
  }

  std::vector<OutEvent> events()
  {
    std::vector<OutEvent> result;
    const LV2_Atom_Sequence* sequence = data();
    if (sequence->atom.type != mUrids.id(LV2_ATOM__Sequence))
      return result;
    LV2_ATOM_SEQUENCE_FOREACH(sequence, event)
    {
      OutEvent out{event->time.frames, event->body.type, {}};
      const auto* body = static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&event->body));
      out.body.assign(body, body + event->body.size);
      result.push_back(out);
    }
    return result;
  }

private:
  UridMap& mUrids;
  std::vector<std::uint64_t> mStorage; // 8-byte aligned, as atoms must be
  LV2_Atom_Forge mForge{};
  LV2_Atom_Forge_Frame mFrame{};
};

// The ports of one instance, from the host's side: audio, events, one float per control port
// (parameter i for Quennet) and the time input. Control values start at the parameters' defaults.
class HostPorts {
public:
  HostPorts(UridMap& urids, int maxBlock, const std::vector<float>& defaults)
      : eventsIn(urids), eventsOut(urids), timeIn(urids), controls(defaults)
  {
    for (auto& channel : audio)
      channel.assign(static_cast<size_t>(maxBlock), 0.0f);
  }

  void connect(const LV2_Descriptor& descriptor, LV2_Handle handle)
  {
    for (std::uint32_t p = 0; p < 4; ++p)
      descriptor.connect_port(handle, plug::lv2::kAudioInLeft + p, audio[p].data());
    descriptor.connect_port(handle, plug::lv2::kEventsIn, eventsIn.data());
    descriptor.connect_port(handle, plug::lv2::kEventsOut, eventsOut.data());
    for (size_t c = 0; c < controls.size(); ++c)
      descriptor.connect_port(handle, plug::lv2::kFirstControlPort + static_cast<std::uint32_t>(c), &controls[c]);
    descriptor.connect_port(handle, timeInPort(), timeIn.data());
  }

  std::uint32_t timeInPort() const { return plug::lv2::TimeInPort(static_cast<std::uint32_t>(controls.size())); }

  std::vector<float> audio[4]; // in left, in right, out left, out right
  EventBuffer eventsIn;
  EventBuffer eventsOut;
  EventBuffer timeIn; // stays an empty sequence unless a test adds positions
  std::vector<float> controls;
};

// A host's worker (work:schedule): every request is kept, and runWork hands them to the
// instance's worker interface on the calling thread, as the host's worker thread would.
class HostWorker {
public:
  HostWorker()
  {
    mSchedule.handle = this;
    mSchedule.schedule_work = [](LV2_Worker_Schedule_Handle self, std::uint32_t size,
                                 const void* data) -> LV2_Worker_Status {
      auto* worker = static_cast<HostWorker*>(self);
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      worker->mRequests.emplace_back(bytes, bytes + size);
      ++worker->scheduled;
      return LV2_WORKER_SUCCESS;
    };
    mFeature = {LV2_WORKER__schedule, &mSchedule};
  }
  HostWorker(const HostWorker&) = delete;
  HostWorker& operator=(const HostWorker&) = delete;

  const LV2_Feature* feature() const { return &mFeature; }
  size_t pending() const { return mRequests.size(); }

  // Runs every pending request through the instance's work(); the number run, or -1 when the
  // instance has no worker interface.
  int runWork(const LV2_Descriptor& descriptor, LV2_Handle handle)
  {
    const auto* worker = static_cast<const LV2_Worker_Interface*>(descriptor.extension_data(LV2_WORKER__interface));
    if (!worker || !worker->work)
      return -1;
    int n = 0;
    for (const std::vector<std::uint8_t>& request : mRequests) {
      auto respond = [](LV2_Worker_Respond_Handle, std::uint32_t, const void*) { return LV2_WORKER_SUCCESS; };
      worker->work(handle, respond, nullptr, static_cast<std::uint32_t>(request.size()), request.data());
      ++n;
    }
    mRequests.clear();
    return n;
  }

  int scheduled = 0; // requests ever made

private:
  LV2_Worker_Schedule mSchedule{};
  LV2_Feature mFeature{};
  std::vector<std::vector<std::uint8_t>> mRequests;
};

// A position sent before the first frame of the stream, on the events input or the time input.
struct HostPosition {
  float beatsPerMinute;
  std::int64_t frame;
  float speed;
  bool onTimeIn = false;
};

// Runs `input` through an instance in blocks of `blockSize` (the last may be shorter); each MIDI
// event goes to the block holding its frame. The MIDI the plug-in sends is collected in `midiOut`
// (as frames of the stream and bytes) when given.
struct SentMidi {
  long frame;
  std::vector<std::uint8_t> bytes;
};

inline StereoBuffer renderLV2(const LV2_Descriptor& descriptor, LV2_Handle handle, HostPorts& ports, UridMap& urids,
                              const StereoBuffer& input, int blockSize, const std::vector<TimedMidi>& midi = {},
                              std::optional<HostPosition> position = std::nullopt,
                              std::vector<SentMidi>* midiOut = nullptr)
{
  StereoBuffer output(input.frames());
  const long total = static_cast<long>(input.frames());
  size_t nextEvent = 0;
  const LV2_URID midiType = urids.id(LV2_MIDI__MidiEvent);
  for (long start = 0; start < total; start += blockSize) {
    const int n = static_cast<int>(std::min<long>(blockSize, total - start));
    ports.eventsIn.clearInput();
    ports.timeIn.clearInput();
    if (position && start == 0)
      (position->onTimeIn ? ports.timeIn : ports.eventsIn)
        .addPosition(0, position->beatsPerMinute, position->frame, position->speed);
    while (nextEvent < midi.size() && midi[nextEvent].frame < start + n) {
      const TimedMidi& e = midi[nextEvent++];
      ports.eventsIn.addMidi(e.frame - start, {e.status, e.data1, e.data2});
    }
    ports.eventsOut.prepareOutput();
    std::copy_n(input.left.begin() + start, n, ports.audio[0].begin());
    std::copy_n(input.right.begin() + start, n, ports.audio[1].begin());
    descriptor.run(handle, static_cast<std::uint32_t>(n));
    std::copy_n(ports.audio[2].begin(), n, output.left.begin() + start);
    std::copy_n(ports.audio[3].begin(), n, output.right.begin() + start);
    if (midiOut)
      for (const OutEvent& e : ports.eventsOut.events())
        if (e.type == midiType)
          midiOut->push_back({start + static_cast<long>(e.frame), e.body});
  }
  return output;
}

// The state chunk an instance saves through its state interface, as 8-byte values.
inline std::vector<double> savedChunk(const LV2_Descriptor& descriptor, LV2_Handle handle, UridMap& urids)
{
  struct Store {
    LV2_URID key;
    LV2_URID type;
    std::vector<std::uint8_t> bytes;
    bool found = false;
    bool typeMatches = false;
  } store{urids.id(plug::lv2::kStateChunkURI), urids.id(LV2_ATOM__Chunk), {}};
  const auto* state = static_cast<const LV2_State_Interface*>(descriptor.extension_data(LV2_STATE__interface));
  if (!state)
    return {};
  auto storeFn = [](LV2_State_Handle h, std::uint32_t key, const void* value, size_t size, std::uint32_t type,
                    std::uint32_t) -> LV2_State_Status {
    auto* s = static_cast<Store*>(h);
    if (key == s->key) {
      s->found = true;
      s->typeMatches = type == s->type;
      const auto* bytes = static_cast<const std::uint8_t*>(value);
      s->bytes.assign(bytes, bytes + size);
    }
    return LV2_STATE_SUCCESS;
  };
  const LV2_Feature* features[] = {urids.mapFeature(), nullptr};
  if (state->save(handle, storeFn, &store, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features) != LV2_STATE_SUCCESS ||
      !store.found || !store.typeMatches || store.bytes.size() % sizeof(double) != 0)
    return {};
  std::vector<double> values(store.bytes.size() / sizeof(double));
  std::memcpy(values.data(), store.bytes.data(), store.bytes.size());
  return values;
}

// Restores a chunk of 8-byte values through the instance's state interface, as a host that keeps
// the plug-in's property would.
inline LV2_State_Status restoreChunk(const LV2_Descriptor& descriptor, LV2_Handle handle, UridMap& urids,
                                     const std::vector<std::uint8_t>& bytes)
{
  struct Retrieve {
    LV2_URID key;
    LV2_URID type;
    const std::vector<std::uint8_t>* bytes;
  } retrieve{urids.id(plug::lv2::kStateChunkURI), urids.id(LV2_ATOM__Chunk), &bytes};
  auto retrieveFn = [](LV2_State_Handle h, std::uint32_t key, size_t* size, std::uint32_t* type,
                       std::uint32_t* flags) -> const void* {
    auto* r = static_cast<Retrieve*>(h);
    if (key != r->key)
      return nullptr;
    *size = r->bytes->size();
    *type = r->type;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    return r->bytes->data();
  };
  const auto* state = static_cast<const LV2_State_Interface*>(descriptor.extension_data(LV2_STATE__interface));
  const LV2_Feature* features[] = {urids.mapFeature(), nullptr};
  return state->restore(handle, retrieveFn, &retrieve, 0, features);
}

inline std::vector<std::uint8_t> chunkBytes(const std::vector<double>& values)
{
  std::vector<std::uint8_t> bytes(values.size() * sizeof(double));
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}
