// SPDX-License-Identifier: ISC
#pragma once

// A small VST3 host of ours on the raw interfaces (the travesty headers): the host-side objects a
// plug-in talks to (a memory stream, parameter change queues, an event list, a component handler
// that records what it hears, a plug-in frame with a run loop), and one plug-in instance driven as
// a host drives it. It knows nothing of the bridge: the factory comes from the module's
// GetPluginFactory, whether the module is dlopen'ed (VST3Module) or linked in.

#include <dlfcn.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestHost.h"
#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/events.h"
#include "travesty/factory.h"
#include "travesty/unit.h"
#include "travesty/view.h"

namespace vst3host {

// One interface of a host-side object: the plug-in's pointer points at this slot.
template <typename Table, typename Owner>
struct Slot {
  const Table* table;
  Owner* owner;
};

template <typename Owner>
Owner& ownerOf(void* self)
{
  return *static_cast<Slot<void, Owner>*>(self)->owner;
}

inline bool sameIid(const v3_tuid a, const v3_tuid b)
{
  return std::memcmp(a, b, sizeof(v3_tuid)) == 0;
}

// Host objects live on the test's stack: references are not counted.
inline std::uint32_t V3_API noRef(void*)
{
  return 1;
}

// A stream over bytes in memory, as hosts hand to getState and setState. `maxPerCall` limits what
// one read or write moves (hosts may deliver a stream in pieces).
class MemoryStream {
public:
  explicit MemoryStream(std::vector<std::uint8_t> initial = {}, std::int32_t maxPerCall = 1 << 30)
      : bytes(std::move(initial)), mMaxPerCall(maxPerCall)
  {
  }
  v3_bstream** get() { return reinterpret_cast<v3_bstream**>(&mSlot); }

  std::vector<std::uint8_t> bytes;
  std::int64_t position = 0;
  int reads = 0;

private:
  struct Table : v3_funknown {
    v3_bstream stream;
  };
  static v3_result V3_API query(void* self, const v3_tuid iid, void** obj)
  {
    if (sameIid(iid, v3_funknown_iid) || sameIid(iid, v3_bstream_iid)) {
      *obj = self;
      return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
  }
  static v3_result V3_API read(void* self, void* buffer, std::int32_t n, std::int32_t* done)
  {
    MemoryStream& s = ownerOf<MemoryStream>(self);
    ++s.reads;
    const std::int64_t left = static_cast<std::int64_t>(s.bytes.size()) - s.position;
    const std::int32_t count =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(std::min<std::int64_t>(n, s.mMaxPerCall), 0, left));
    if (count > 0)
      std::memcpy(buffer, s.bytes.data() + s.position, static_cast<size_t>(count));
    s.position += count;
    if (done)
      *done = count;
    return V3_OK;
  }
  static v3_result V3_API write(void* self, void* buffer, std::int32_t n, std::int32_t* done)
  {
    MemoryStream& s = ownerOf<MemoryStream>(self);
    const std::int32_t count = std::clamp(n, 0, s.mMaxPerCall);
    const auto* from = static_cast<const std::uint8_t*>(buffer);
    if (s.position + count > static_cast<std::int64_t>(s.bytes.size()))
      s.bytes.resize(static_cast<size_t>(s.position + count));
    std::copy(from, from + count, s.bytes.begin() + s.position);
    s.position += count;
    if (done)
      *done = count;
    return V3_OK;
  }
  static v3_result V3_API seek(void* self, std::int64_t pos, std::int32_t mode, std::int64_t* result)
  {
    MemoryStream& s = ownerOf<MemoryStream>(self);
    const std::int64_t base = mode == V3_SEEK_SET ? 0
      : mode == V3_SEEK_CUR                       ? s.position
                                                  : static_cast<std::int64_t>(s.bytes.size());
    s.position = std::max<std::int64_t>(0, base + pos);
    if (result)
      *result = s.position;
    return V3_OK;
  }
  static v3_result V3_API tell(void* self, std::int64_t* pos)
  {
    *pos = ownerOf<MemoryStream>(self).position;
    return V3_OK;
  }
  static inline const Table kTable = {{query, noRef, noRef}, {read, write, seek, tell}};
  Slot<Table, MemoryStream> mSlot{&kTable, this};
  std::int32_t mMaxPerCall;
};

// The points of one parameter in one block.
class ParamQueue {
public:
  explicit ParamQueue(v3_param_id paramId) : id(paramId) {}
  ParamQueue(const ParamQueue&) = delete;
  ParamQueue& operator=(const ParamQueue&) = delete;
  v3_param_value_queue** get() { return reinterpret_cast<v3_param_value_queue**>(&mSlot); }

  v3_param_id id;
  std::vector<std::pair<std::int32_t, double>> points;

private:
  static v3_result V3_API query(void* self, const v3_tuid iid, void** obj)
  {
    if (sameIid(iid, v3_funknown_iid) || sameIid(iid, v3_param_value_queue_iid)) {
      *obj = self;
      return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
  }
  static v3_param_id V3_API paramId(void* self) { return ownerOf<ParamQueue>(self).id; }
  static std::int32_t V3_API count(void* self)
  {
    return static_cast<std::int32_t>(ownerOf<ParamQueue>(self).points.size());
  }
  static v3_result V3_API point(void* self, std::int32_t i, std::int32_t* offset, double* value)
  {
    ParamQueue& q = ownerOf<ParamQueue>(self);
    if (i < 0 || i >= static_cast<std::int32_t>(q.points.size()))
      return V3_INVALID_ARG;
    *offset = q.points[static_cast<size_t>(i)].first;
    *value = q.points[static_cast<size_t>(i)].second;
    return V3_OK;
  }
  static v3_result V3_API add(void* self, std::int32_t offset, double value, std::int32_t* index)
  {
    ParamQueue& q = ownerOf<ParamQueue>(self);
    q.points.emplace_back(offset, value);
    if (index)
      *index = static_cast<std::int32_t>(q.points.size()) - 1;
    return V3_OK;
  }
  static inline const v3_param_value_queue_cpp kTable = {{query, noRef, noRef}, {paramId, count, point, add}};
  Slot<v3_param_value_queue_cpp, ParamQueue> mSlot{&kTable, this};
};

// The parameter changes of one block, in (input) or out.
class ParamChanges {
public:
  v3_param_changes** get() { return reinterpret_cast<v3_param_changes**>(&mSlot); }

  void add(v3_param_id id, std::int32_t offset, double value) { queue(id).points.emplace_back(offset, value); }
  ParamQueue& queue(v3_param_id id)
  {
    for (auto& q : queues)
      if (q->id == id)
        return *q;
    queues.push_back(std::make_unique<ParamQueue>(id));
    return *queues.back();
  }
  // The last value of a parameter, if it has points.
  std::optional<double> last(v3_param_id id) const
  {
    for (const auto& q : queues)
      if (q->id == id && !q->points.empty())
        return q->points.back().second;
    return std::nullopt;
  }
  void clear() { queues.clear(); }

  std::vector<std::unique_ptr<ParamQueue>> queues;

private:
  static v3_result V3_API query(void* self, const v3_tuid iid, void** obj)
  {
    if (sameIid(iid, v3_funknown_iid) || sameIid(iid, v3_param_changes_iid)) {
      *obj = self;
      return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
  }
  static std::int32_t V3_API count(void* self)
  {
    return static_cast<std::int32_t>(ownerOf<ParamChanges>(self).queues.size());
  }
  static v3_param_value_queue** V3_API data(void* self, std::int32_t i)
  {
    ParamChanges& c = ownerOf<ParamChanges>(self);
    return i >= 0 && i < static_cast<std::int32_t>(c.queues.size()) ? c.queues[static_cast<size_t>(i)]->get() : nullptr;
  }
  static v3_param_value_queue** V3_API addData(void* self, v3_param_id* id, std::int32_t* index)
  {
    ParamChanges& c = ownerOf<ParamChanges>(self);
    ParamQueue& q = c.queue(*id);
    for (size_t i = 0; i < c.queues.size(); ++i)
      if (c.queues[i].get() == &q && index)
        *index = static_cast<std::int32_t>(i);
    return q.get();
  }
  static inline const v3_param_changes_cpp kTable = {{query, noRef, noRef}, {count, data, addData}};
  Slot<v3_param_changes_cpp, ParamChanges> mSlot{&kTable, this};
};

// The events of one block.
class EventList {
public:
  v3_event_list** get() { return reinterpret_cast<v3_event_list**>(&mSlot); }

  void noteOn(std::int32_t offset, int pitch, float velocity = 0.8f, int channel = 0)
  {
    v3_event e{};
    e.sample_offset = offset;
    e.type = V3_EVENT_NOTE_ON;
    e.note_on.channel = static_cast<std::int16_t>(channel);
    e.note_on.pitch = static_cast<std::int16_t>(pitch);
    e.note_on.velocity = velocity;
    e.note_on.note_id = -1;
    events.push_back(e);
  }
  void noteOff(std::int32_t offset, int pitch, int channel = 0)
  {
    v3_event e{};
    e.sample_offset = offset;
    e.type = V3_EVENT_NOTE_OFF;
    e.note_off.channel = static_cast<std::int16_t>(channel);
    e.note_off.pitch = static_cast<std::int16_t>(pitch);
    e.note_off.note_id = -1;
    events.push_back(e);
  }

  std::vector<v3_event> events;
  // What get_event_count reports, when a test wants it to lie.
  std::optional<std::uint32_t> claimedCount;

private:
  static v3_result V3_API query(void* self, const v3_tuid iid, void** obj)
  {
    if (sameIid(iid, v3_funknown_iid) || sameIid(iid, v3_event_list_iid)) {
      *obj = self;
      return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
  }
  static std::uint32_t V3_API count(void* self)
  {
    EventList& l = ownerOf<EventList>(self);
    return l.claimedCount ? *l.claimedCount : static_cast<std::uint32_t>(l.events.size());
  }
  static v3_result V3_API event(void* self, std::int32_t i, v3_event* e)
  {
    EventList& l = ownerOf<EventList>(self);
    if (i < 0 || i >= static_cast<std::int32_t>(l.events.size()))
      return V3_INVALID_ARG;
    *e = l.events[static_cast<size_t>(i)];
    return V3_OK;
  }
  static v3_result V3_API add(void* self, v3_event* e)
  {
    ownerOf<EventList>(self).events.push_back(*e);
    return V3_OK;
  }
  static inline const v3_event_list_cpp kTable = {{query, noRef, noRef}, {count, event, add}};
  Slot<v3_event_list_cpp, EventList> mSlot{&kTable, this};
};

// The host's side of the edit controller: records every call with its thread.
class ComponentHandler {
public:
  struct Call {
    char kind; // 'b' begin, 'p' perform, 'e' end, 'r' restart
    v3_param_id id;
    double value;
    std::thread::id thread;
  };

  v3_component_handler** get() { return reinterpret_cast<v3_component_handler**>(&mSlot); }

  std::vector<Call> calls;
  // Called inside performEdit, as a host that passes the edit on.
  std::function<void(v3_param_id, double)> onPerform;

  // The calls of one parameter, as a string of kinds ("bpe").
  std::string kindsOf(v3_param_id id) const
  {
    std::string kinds;
    for (const Call& c : calls)
      if (c.id == id)
        kinds += c.kind;
    return kinds;
  }
  std::optional<double> lastPerformed(v3_param_id id) const
  {
    std::optional<double> value;
    for (const Call& c : calls)
      if (c.id == id && c.kind == 'p')
        value = c.value;
    return value;
  }

private:
  struct Table : v3_funknown {
    v3_component_handler handler;
  };
  static v3_result V3_API query(void* self, const v3_tuid iid, void** obj)
  {
    if (sameIid(iid, v3_funknown_iid) || sameIid(iid, v3_component_handler_iid)) {
      *obj = self;
      return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
  }
  static v3_result V3_API begin(void* self, v3_param_id id)
  {
    ownerOf<ComponentHandler>(self).calls.push_back({'b', id, 0.0, std::this_thread::get_id()});
    return V3_OK;
  }
  static v3_result V3_API perform(void* self, v3_param_id id, double value)
  {
    ComponentHandler& h = ownerOf<ComponentHandler>(self);
    h.calls.push_back({'p', id, value, std::this_thread::get_id()});
    if (h.onPerform)
      h.onPerform(id, value);
    return V3_OK;
  }
  static v3_result V3_API end(void* self, v3_param_id id)
  {
    ownerOf<ComponentHandler>(self).calls.push_back({'e', id, 0.0, std::this_thread::get_id()});
    return V3_OK;
  }
  static v3_result V3_API restart(void* self, std::int32_t flags)
  {
    ownerOf<ComponentHandler>(self).calls.push_back({'r', 0, static_cast<double>(flags), std::this_thread::get_id()});
    return V3_OK;
  }
  static inline const Table kTable = {{query, noRef, noRef}, {begin, perform, end, restart}};
  Slot<Table, ComponentHandler> mSlot{&kTable, this};
};

// The host's window frame for a view, with the run loop Linux hosts offer through it: timers and
// descriptor handlers, called back from Pump on the calling (user-interface) thread. resizeView is
// granted (the frame then tells the view its size with onSize, as hosts do) unless refused.
class PlugFrame {
public:
  v3_plugin_frame** get() { return reinterpret_cast<v3_plugin_frame**>(&mFrame); }

  void setView(v3_plugin_view** view) { mView = view; }
  bool refuseResize = false;
  bool withRunLoop = true;
  std::vector<std::pair<int, int>> resizeRequests;

  int timers() const { return static_cast<int>(mTimers.size()); }
  int handlers() const { return static_cast<int>(mHandlers.size()); }
  std::uint64_t timerInterval() const { return mTimers.empty() ? 0 : mTimers.front().intervalMs; }

  // Runs the loop for about `ms` milliseconds: descriptors as they become readable, timers when due.
  void pump(double ms)
  {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(ms);
    do {
      std::vector<pollfd> fds;
      for (const Handler& h : mHandlers)
        fds.push_back({h.fd, POLLIN, 0});
      ::poll(fds.data(), fds.size(), 2);
      for (size_t i = 0; i < fds.size() && i < mHandlers.size(); ++i)
        if (fds[i].revents & POLLIN) {
          v3_event_handler** handler = mHandlers[i].handler;
          v3_cpp_obj(handler)->on_fd_is_set(handler, mHandlers[i].fd);
        }
      const auto now = std::chrono::steady_clock::now();
      for (size_t i = 0; i < mTimers.size(); ++i)
        if (now >= mTimers[i].due) {
          mTimers[i].due = now + std::chrono::milliseconds(mTimers[i].intervalMs);
          v3_timer_handler** timer = mTimers[i].timer;
          v3_cpp_obj(timer)->on_timer(timer);
        }
    } while (std::chrono::steady_clock::now() < end);
  }

private:
  struct Handler {
    v3_event_handler** handler;
    int fd;
  };
  struct Timer {
    v3_timer_handler** timer;
    std::uint64_t intervalMs;
    std::chrono::steady_clock::time_point due;
  };

  static v3_result V3_API query(void* self, const v3_tuid iid, void** obj)
  {
    PlugFrame& f = ownerOf<PlugFrame>(self);
    if (sameIid(iid, v3_funknown_iid) || sameIid(iid, v3_plugin_frame_iid)) {
      *obj = &f.mFrame;
      return V3_OK;
    }
    if (sameIid(iid, v3_run_loop_iid) && f.withRunLoop) {
      *obj = &f.mRunLoop;
      return V3_OK;
    }
    *obj = nullptr;
    return V3_NO_INTERFACE;
  }
  static v3_result V3_API resizeView(void* self, v3_plugin_view** view, v3_view_rect* rect)
  {
    PlugFrame& f = ownerOf<PlugFrame>(self);
    f.resizeRequests.emplace_back(rect->right - rect->left, rect->bottom - rect->top);
    if (f.refuseResize)
      return V3_FALSE;
    v3_cpp_obj(view)->on_size(view, rect);
    return V3_OK;
  }
  static v3_result V3_API registerHandler(void* self, v3_event_handler** handler, int fd)
  {
    ownerOf<PlugFrame>(self).mHandlers.push_back({handler, fd});
    return V3_OK;
  }
  static v3_result V3_API unregisterHandler(void* self, v3_event_handler** handler)
  {
    auto& list = ownerOf<PlugFrame>(self).mHandlers;
    std::erase_if(list, [&](const Handler& h) { return h.handler == handler; });
    return V3_OK;
  }
  static v3_result V3_API registerTimer(void* self, v3_timer_handler** timer, std::uint64_t ms)
  {
    ownerOf<PlugFrame>(self).mTimers.push_back(
      {timer, ms, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)});
    return V3_OK;
  }
  static v3_result V3_API unregisterTimer(void* self, v3_timer_handler** timer)
  {
    auto& list = ownerOf<PlugFrame>(self).mTimers;
    std::erase_if(list, [&](const Timer& t) { return t.timer == timer; });
    return V3_OK;
  }
  static inline const v3_plugin_frame_cpp kFrameTable = {{query, noRef, noRef}, {resizeView}};
  static inline const v3_run_loop_cpp kRunLoopTable = {
    {query, noRef, noRef}, {registerHandler, unregisterHandler, registerTimer, unregisterTimer}};
  Slot<v3_plugin_frame_cpp, PlugFrame> mFrame{&kFrameTable, this};
  Slot<v3_run_loop_cpp, PlugFrame> mRunLoop{&kRunLoopTable, this};
  v3_plugin_view** mView = nullptr;
  std::vector<Handler> mHandlers;
  std::vector<Timer> mTimers;
};

// The built bundle's module, loaded as hosts load it.
class VST3Module {
public:
  explicit VST3Module(const std::string& binary)
  {
    mHandle = dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mHandle)
      return;
    auto entry = reinterpret_cast<bool (*)(void*)>(dlsym(mHandle, "ModuleEntry"));
    mExit = reinterpret_cast<bool (*)()>(dlsym(mHandle, "ModuleExit"));
    auto factory = reinterpret_cast<void* (*)()>(dlsym(mHandle, "GetPluginFactory"));
    if (entry && factory && entry(mHandle))
      mFactory = static_cast<v3_plugin_factory**>(factory());
  }
  ~VST3Module()
  {
    if (mExit)
      mExit();
    if (mHandle)
      dlclose(mHandle);
  }
  VST3Module(const VST3Module&) = delete;
  VST3Module& operator=(const VST3Module&) = delete;

  v3_plugin_factory** factory() const { return mFactory; }
  std::string error() const { return mHandle ? std::string() : std::string(dlerror()); }

private:
  void* mHandle = nullptr;
  bool (*mExit)() = nullptr;
  v3_plugin_factory** mFactory = nullptr;
};

// What a host tells the plug-in of its transport for a block.
struct Transport {
  double tempo = 120.0;
  double position = 0.0; // samples
  bool playing = true;
};

// One plug-in instance as a host drives it: made by the factory, component and controller
// initialised, the controller's handler set; setup() prepares and activates it.
class Plugin {
public:
  explicit Plugin(v3_plugin_factory** factory, const v3_tuid classId)
  {
    if (!factory)
      return;
    if (v3_cpp_obj(factory)->create_instance(factory, classId, v3_component_iid,
                                             reinterpret_cast<void**>(&component)) != V3_OK ||
        !component)
      return;
    v3_cpp_obj_query_interface(component, v3_audio_processor_iid, &processor);
    v3_cpp_obj_query_interface(component, v3_edit_controller_iid, &controller);
    v3_cpp_obj_query_interface(component, v3_midi_mapping_iid, &midiMapping);
    v3_cpp_obj_query_interface(component, v3_unit_information_iid, &units);
    v3_cpp_obj_initialize(component, nullptr);
    if (controller) {
      v3_cpp_obj_initialize(controller, nullptr);
      v3_cpp_obj(controller)->set_component_handler(controller, handler.get());
    }
  }
  ~Plugin()
  {
    if (!component)
      return;
    if (mActive) {
      v3_cpp_obj(processor)->set_processing(processor, false);
      v3_cpp_obj(component)->set_active(component, false);
    }
    if (controller) {
      v3_cpp_obj(controller)->set_component_handler(controller, nullptr);
      v3_cpp_obj_terminate(controller);
    }
    v3_cpp_obj_terminate(component);
    for (void** p : {reinterpret_cast<void**>(&units), reinterpret_cast<void**>(&midiMapping),
                     reinterpret_cast<void**>(&controller), reinterpret_cast<void**>(&processor)})
      if (*p)
        v3_cpp_obj_unref(static_cast<v3_funknown**>(*p));
    v3_cpp_obj_unref(component);
  }
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  bool valid() const { return component && processor && controller; }

  bool setup(double rate = 48000.0, int maxBlock = 512)
  {
    sampleRate = rate;
    v3_process_setup setupData{V3_REALTIME, V3_SAMPLE_32, maxBlock, rate};
    if (v3_cpp_obj(processor)->setup_processing(processor, &setupData) != V3_OK)
      return false;
    if (v3_cpp_obj(component)->set_active(component, true) != V3_OK)
      return false;
    mActive = true;
    v3_cpp_obj(processor)->set_processing(processor, true);
    return true;
  }

  // One block; the buffers hold `frames` frames. Returns process's result.
  v3_result process(const float* inLeft, const float* inRight, float* outLeft, float* outRight, int frames,
                    EventList* events = nullptr, ParamChanges* in = nullptr, ParamChanges* out = nullptr,
                    const std::optional<Transport>& transport = Transport{})
  {
    float* inputs[2] = {const_cast<float*>(inLeft), const_cast<float*>(inRight)};
    float* outputs[2] = {outLeft, outRight};
    v3_audio_bus_buffers inBus{};
    inBus.num_channels = 2;
    inBus.channel_buffers_32 = inputs;
    v3_audio_bus_buffers outBus{};
    outBus.num_channels = 2;
    outBus.channel_buffers_32 = outputs;
    v3_process_context context = contextFor(transport);
    v3_process_data data{};
    data.process_mode = V3_REALTIME;
    data.symbolic_sample_size = V3_SAMPLE_32;
    data.nframes = frames;
    data.num_input_buses = 1;
    data.num_output_buses = 1;
    data.inputs = &inBus;
    data.outputs = &outBus;
    data.input_params = in ? in->get() : nullptr;
    data.output_params = out ? out->get() : nullptr;
    data.input_events = events ? events->get() : nullptr;
    data.ctx = transport ? &context : nullptr;
    return v3_cpp_obj(processor)->process(processor, &data);
  }

  v3_process_context contextFor(const std::optional<Transport>& transport) const
  {
    v3_process_context context{};
    if (!transport)
      return context;
    context.state = V3_PROCESS_CTX_TEMPO_VALID | V3_PROCESS_CTX_PROJECT_TIME_VALID | V3_PROCESS_CTX_TIME_SIG_VALID |
      (transport->playing ? static_cast<std::uint32_t>(V3_PROCESS_CTX_PLAYING) : 0u);
    context.sample_rate = sampleRate;
    context.project_time_in_samples = static_cast<std::int64_t>(transport->position);
    context.continuous_time_in_samples = context.project_time_in_samples;
    context.project_time_quarters = transport->position / sampleRate * transport->tempo / 60.0;
    context.bpm = transport->tempo;
    context.time_sig_numerator = 4;
    context.time_sig_denom = 4;
    return context;
  }

  // One block of silence.
  v3_result run(int frames = 512)
  {
    std::vector<float> in(static_cast<size_t>(frames), 0.0f), out(static_cast<size_t>(frames) * 2, 0.0f);
    return process(in.data(), in.data(), out.data(), out.data() + frames, frames);
  }

  // A stream rendered as a host renders it: blocks of `blockSize` frames (the last may be
  // shorter); notes as note events and controllers as controller parameters (through IMidiMapping)
  // at their frames; with a transport, the position advances with the stream from startPosition.
  StereoBuffer render(const StereoBuffer& input, const RenderOptions& options = {})
  {
    StereoBuffer output(input.frames());
    const long total = static_cast<long>(input.frames());
    size_t next = 0;
    for (long start = 0; start < total; start += options.blockSize) {
      const int n = static_cast<int>(std::min<long>(options.blockSize, total - start));
      EventList events;
      ParamChanges changes;
      while (next < options.midi.size() && options.midi[next].frame < start + n) {
        const TimedMidi& m = options.midi[next++];
        addMidi(m.frame - start, m.status, m.data1, m.data2, events, changes);
      }
      std::optional<Transport> transport;
      if (options.tempo)
        transport = Transport{*options.tempo, options.startPosition + static_cast<double>(start), true};
      ParamChanges out;
      process(input.left.data() + start, input.right.data() + start, output.left.data() + start,
              output.right.data() + start, n, &events, &changes, &out, transport);
    }
    return output;
  }

  // A short MIDI message as a host delivers it: notes as events, controllers through IMidiMapping.
  void addMidi(long offset, std::uint8_t status, std::uint8_t data1, std::uint8_t data2, EventList& events,
               ParamChanges& changes)
  {
    const int kind = status & 0xF0;
    const int channel = status & 0x0F;
    const auto at = static_cast<std::int32_t>(offset);
    if (kind == 0x90 && data2 > 0)
      events.noteOn(at, data1, static_cast<float>(data2) / 127.0f, channel);
    else if (kind == 0x80 || kind == 0x90)
      events.noteOff(at, data1, channel);
    else if (kind == 0xB0 && midiMapping) {
      v3_param_id id = 0;
      if (v3_cpp_obj(midiMapping)
            ->get_midi_controller_assignment(midiMapping, 0, static_cast<std::int16_t>(channel), data1, &id) == V3_OK)
        changes.add(id, at, data2 / 127.0);
    }
  }

  std::vector<std::uint8_t> state()
  {
    MemoryStream stream;
    if (v3_cpp_obj(component)->get_state(component, stream.get()) != V3_OK)
      return {};
    return stream.bytes;
  }
  v3_result setState(const std::vector<std::uint8_t>& bytes, std::int32_t maxPerCall = 1 << 30)
  {
    MemoryStream stream(bytes, maxPerCall);
    return v3_cpp_obj(component)->set_state(component, stream.get());
  }

  // The controller's calls, for short.
  v3_edit_controller* edit() const { return v3_cpp_obj(controller); }
  std::int32_t parameterCount() const { return edit()->get_parameter_count(controller); }
  v3_param_info info(std::int32_t index) const
  {
    v3_param_info i{};
    edit()->get_parameter_info(controller, index, &i);
    return i;
  }
  double normalized(v3_param_id id) const { return edit()->get_parameter_normalised(controller, id); }
  double plain(v3_param_id id, double normalized) const
  {
    return edit()->normalised_parameter_to_plain(controller, id, normalized);
  }
  double toNormalized(v3_param_id id, double plainValue) const
  {
    return edit()->plain_parameter_to_normalised(controller, id, plainValue);
  }
  std::optional<std::string> text(v3_param_id id, double normalized) const;
  std::optional<double> fromText(v3_param_id id, const std::string& text) const;

  v3_component** component = nullptr;
  v3_audio_processor** processor = nullptr;
  v3_edit_controller** controller = nullptr;
  v3_midi_mapping** midiMapping = nullptr;
  v3_unit_information** units = nullptr;
  ComponentHandler handler;
  double sampleRate = 48000.0;

private:
  bool mActive = false;
};

// UTF-16 to and from plain ASCII/UTF-8 for the tests' texts (the names are ASCII).
inline std::string narrow(const std::int16_t* text, size_t max = 128)
{
  std::string out;
  for (size_t i = 0; i < max && text[i]; ++i) {
    const auto unit = static_cast<std::uint16_t>(text[i]);
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

inline std::vector<std::int16_t> widen(const std::string& text)
{
  std::vector<std::int16_t> out;
  for (unsigned char c : text)
    out.push_back(static_cast<std::int16_t>(c));
  out.push_back(0);
  return out;
}

inline std::optional<std::string> Plugin::text(v3_param_id id, double normalized) const
{
  v3_str_128 out{};
  if (edit()->get_parameter_string_for_value(controller, id, normalized, out) != V3_OK)
    return std::nullopt;
  return narrow(out);
}

inline std::optional<double> Plugin::fromText(v3_param_id id, const std::string& text) const
{
  std::vector<std::int16_t> wide = widen(text);
  double value = -1.0;
  if (edit()->get_parameter_value_for_string(controller, id, wide.data(), &value) != V3_OK)
    return std::nullopt;
  return value;
}

} // namespace vst3host
