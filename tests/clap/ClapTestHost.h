// SPDX-License-Identifier: ISC
#pragma once

// A small CLAP host of ours on the raw interfaces: dlopen of the built quennet.clap, clap_entry, the
// plug-in factory, and the host extensions Quennet asks for (params, state, timer and fd support,
// gui, thread check), each of which records what the plug-in did with it. Blocks go through
// clap_plugin.process with event lists of our own making.

#include <dlfcn.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <clap/entry.h>
#include <clap/ext/audio-ports.h>
#include <clap/ext/gui.h>
#include <clap/ext/latency.h>
#include <clap/ext/note-ports.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/thread-check.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin-factory.h>

#include "TestHost.h"
#include "framework/CLAP/CLAPLayout.h"
#include "framework/CLAP/ClapPosixFdSupport.h"

// The module, loaded for the lifetime of the object.
class ClapModule {
public:
  explicit ClapModule(const std::string& path) : mPath(path)
  {
    mHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mHandle) {
      mError = dlerror();
      return;
    }
    mEntry = static_cast<const clap_plugin_entry_t*>(dlsym(mHandle, "clap_entry"));
    if (mEntry && mEntry->init(path.c_str()))
      mFactory = static_cast<const clap_plugin_factory_t*>(mEntry->get_factory(CLAP_PLUGIN_FACTORY_ID));
  }
  ~ClapModule()
  {
    if (mEntry && mFactory)
      mEntry->deinit();
    if (mHandle)
      dlclose(mHandle);
  }
  ClapModule(const ClapModule&) = delete;
  ClapModule& operator=(const ClapModule&) = delete;

  const clap_plugin_entry_t* entry() const { return mEntry; }
  const clap_plugin_factory_t* factory() const { return mFactory; }
  const std::string& error() const { return mError; }

private:
  std::string mPath;
  void* mHandle = nullptr;
  const clap_plugin_entry_t* mEntry = nullptr;
  const clap_plugin_factory_t* mFactory = nullptr;
  std::string mError;
};

// Events of one block, for the plug-in's input: each a whole event of any size (tests also write
// broken ones).
class InputEvents {
public:
  InputEvents()
  {
    mList.ctx = this;
    mList.size = [](const clap_input_events_t* l) { return static_cast<std::uint32_t>(self(l)->mEvents.size()); };
    mList.get = [](const clap_input_events_t* l, std::uint32_t i) -> const clap_event_header_t* {
      const auto& events = self(l)->mEvents;
      return i < events.size() ? reinterpret_cast<const clap_event_header_t*>(events[i].data()) : nullptr;
    };
  }

  template <typename Event>
  void add(const Event& event)
  {
    addBytes(&event, sizeof(event));
  }
  void addBytes(const void* bytes, size_t size)
  {
    // 8-byte aligned storage, as a host's event memory is.
    std::vector<std::uint64_t> storage((size + 7) / 8 + 1, 0);
    std::memcpy(storage.data(), bytes, size);
    mEvents.push_back(std::move(storage));
  }
  void midi(std::uint32_t frame, std::uint8_t status, std::uint8_t data1, std::uint8_t data2)
  {
    clap_event_midi_t e{};
    e.header = {sizeof(e), frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
    e.port_index = 0;
    e.data[0] = status;
    e.data[1] = data1;
    e.data[2] = data2;
    add(e);
  }
  void paramValue(std::uint32_t frame, clap_id id, double value)
  {
    clap_event_param_value_t e{};
    e.header = {sizeof(e), frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
    e.param_id = id;
    e.note_id = -1;
    e.port_index = -1;
    e.channel = -1;
    e.key = -1;
    e.value = value;
    add(e);
  }
  void clear() { mEvents.clear(); }
  const clap_input_events_t* list() const { return &mList; }

private:
  static InputEvents* self(const clap_input_events_t* l) { return static_cast<InputEvents*>(l->ctx); }
  std::vector<std::vector<std::uint64_t>> mEvents;
  clap_input_events_t mList{};
};

// What the plug-in sends to the host during process or flush.
struct OutputEvent {
  std::uint16_t type;
  std::uint32_t flags;
  std::uint32_t time;
  clap_id paramId;
  double value;
};

class OutputEvents {
public:
  OutputEvents()
  {
    mList.ctx = this;
    mList.try_push = [](const clap_output_events_t* l, const clap_event_header_t* h) {
      auto* self = static_cast<OutputEvents*>(l->ctx);
      OutputEvent e{h->type, h->flags, h->time, 0, 0.0};
      if (h->type == CLAP_EVENT_PARAM_VALUE) {
        const auto* v = reinterpret_cast<const clap_event_param_value_t*>(h);
        e.paramId = v->param_id;
        e.value = v->value;
      } else if (h->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || h->type == CLAP_EVENT_PARAM_GESTURE_END) {
        e.paramId = reinterpret_cast<const clap_event_param_gesture_t*>(h)->param_id;
      }
      self->events.push_back(e);
      return true;
    };
  }
  const clap_output_events_t* list() const { return &mList; }
  std::vector<OutputEvent> events;

private:
  clap_output_events_t mList{};
};

// The host: one plug-in instance of the module, with the host extensions and what they recorded.
class ClapTestHost {
public:
  explicit ClapTestHost(const ClapModule& module, bool withTimers = true) : ClapTestHost(module.factory(), withTimers)
  {
  }
  // A factory linked into the test itself (the bridge without dlopen).
  explicit ClapTestHost(const clap_plugin_factory_t* factory, bool withTimers = true) : mWithTimers(withTimers)
  {
    mHost.clap_version = CLAP_VERSION;
    mHost.host_data = this;
    mHost.name = "quennet-test-host";
    mHost.vendor = "Tarnwell Music";
    mHost.url = "";
    mHost.version = "1";
    mHost.get_extension = [](const clap_host_t* h, const char* id) { return self(h)->extension(id); };
    mHost.request_restart = [](const clap_host_t*) {};
    mHost.request_process = [](const clap_host_t* h) { self(h)->processRequests++; };
    mHost.request_callback = [](const clap_host_t* h) { self(h)->callbackRequests++; };
    mMainThread = std::this_thread::get_id();
    if (factory)
      plugin = factory->create_plugin(factory, &mHost, plug::clap::kPluginID);
  }

  ~ClapTestHost()
  {
    if (plugin)
      plugin->destroy(plugin);
  }
  ClapTestHost(const ClapTestHost&) = delete;
  ClapTestHost& operator=(const ClapTestHost&) = delete;

  bool init() { return plugin && plugin->init(plugin); }
  bool activate(double rate = 48000.0, std::uint32_t maxFrames = 512)
  {
    mRate = rate;
    return plugin->activate(plugin, rate, 1, maxFrames) && plugin->start_processing(plugin);
  }

  template <typename T>
  const T* ext(const char* id) const
  {
    return static_cast<const T*>(plugin->get_extension(plugin, id));
  }
  const clap_plugin_params_t* params() const { return ext<clap_plugin_params_t>(CLAP_EXT_PARAMS); }
  const clap_plugin_state_t* state() const { return ext<clap_plugin_state_t>(CLAP_EXT_STATE); }
  const clap_plugin_gui_t* gui() const { return ext<clap_plugin_gui_t>(CLAP_EXT_GUI); }

  double paramValue(clap_id id) const
  {
    double value = NAN;
    params()->get_value(plugin, id, &value);
    return value;
  }

  // One process call on the given audio; the transport when given.
  clap_process_status process(const float* const* in, float* const* out, std::uint32_t frames,
                              const InputEvents& events, OutputEvents& outEvents,
                              const clap_event_transport_t* transport = nullptr)
  {
    clap_audio_buffer_t input{const_cast<float**>(in), nullptr, 2, 0, 0};
    clap_audio_buffer_t output{const_cast<float**>(out), nullptr, 2, 0, 0};
    clap_process_t p{};
    p.steady_time = mSteadyTime;
    p.frames_count = frames;
    p.transport = transport;
    p.audio_inputs = &input;
    p.audio_outputs = &output;
    p.audio_inputs_count = 1;
    p.audio_outputs_count = 1;
    p.in_events = events.list();
    p.out_events = outEvents.list();
    mSteadyTime += frames;
    return plugin->process(plugin, &p);
  }

  // A playing transport at `position` samples and `tempo`, with both time lines, as a DAW sends it.
  clap_event_transport_t transportAt(double position, double tempo) const
  {
    clap_event_transport_t t{};
    t.header = {sizeof(t), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
    t.flags = CLAP_TRANSPORT_HAS_TEMPO | CLAP_TRANSPORT_HAS_BEATS_TIMELINE | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE |
      CLAP_TRANSPORT_HAS_TIME_SIGNATURE | CLAP_TRANSPORT_IS_PLAYING;
    t.tempo = tempo;
    const double seconds = position / mRate;
    t.song_pos_seconds = static_cast<clap_sectime>(std::llround(seconds * static_cast<double>(CLAP_SECTIME_FACTOR)));
    t.song_pos_beats =
      static_cast<clap_beattime>(std::llround(seconds * tempo / 60.0 * static_cast<double>(CLAP_BEATTIME_FACTOR)));
    t.tsig_num = 4;
    t.tsig_denom = 4;
    return t;
  }

  // Renders a stream as renderThrough does: blocks of `blockSize`, each event in the block holding
  // its frame, a playing transport from `startPosition` (or none).
  StereoBuffer render(const StereoBuffer& input, const RenderOptions& options = {})
  {
    StereoBuffer output(input.frames());
    const long total = static_cast<long>(input.frames());
    size_t nextEvent = 0;
    for (long start = 0; start < total; start += options.blockSize) {
      const auto n = static_cast<std::uint32_t>(std::min<long>(options.blockSize, total - start));
      InputEvents events;
      while (nextEvent < options.midi.size() && options.midi[nextEvent].frame < start + static_cast<long>(n)) {
        const TimedMidi& e = options.midi[nextEvent++];
        events.midi(static_cast<std::uint32_t>(e.frame - start), e.status, e.data1, e.data2);
      }
      const clap_event_transport_t transport =
        transportAt(options.startPosition + static_cast<double>(start), options.tempo.value_or(120.0));
      const float* in[2] = {input.left.data() + start, input.right.data() + start};
      float* out[2] = {output.left.data() + start, output.right.data() + start};
      OutputEvents outEvents;
      process(in, out, n, events, outEvents, options.tempo ? &transport : nullptr);
    }
    return output;
  }

  // State through the host's streams.
  std::optional<std::vector<std::uint8_t>> saveState()
  {
    std::vector<std::uint8_t> bytes;
    clap_ostream_t stream{&bytes, [](const clap_ostream_t* s, const void* data, std::uint64_t size) -> std::int64_t {
                            auto* b = static_cast<std::vector<std::uint8_t>*>(s->ctx);
                            const auto* d = static_cast<const std::uint8_t*>(data);
                            b->insert(b->end(), d, d + size);
                            return static_cast<std::int64_t>(size);
                          }};
    if (!state()->save(plugin, &stream))
      return std::nullopt;
    return bytes;
  }
  // `chunk`: the most bytes one read hands over (hosts read in pieces).
  bool loadState(const std::vector<std::uint8_t>& bytes, size_t chunk = 1u << 20)
  {
    struct Reader {
      const std::vector<std::uint8_t>* bytes;
      size_t at;
      size_t chunk;
    } reader{&bytes, 0, chunk};
    clap_istream_t stream{&reader, [](const clap_istream_t* s, void* buffer, std::uint64_t size) -> std::int64_t {
                            auto* r = static_cast<Reader*>(s->ctx);
                            const size_t n = std::min<size_t>({size, r->bytes->size() - r->at, r->chunk});
                            if (n > 0)
                              std::memcpy(buffer, r->bytes->data() + r->at, n);
                            r->at += n;
                            return static_cast<std::int64_t>(n);
                          }};
    return state()->load(plugin, &stream);
  }

  // Fires the plug-in's timers, as a host's main loop does every period.
  void fireTimers()
  {
    const auto* timer = ext<clap_plugin_timer_support_t>(CLAP_EXT_TIMER_SUPPORT);
    for (const auto& [id, period] : timers)
      timer->on_timer(plugin, id);
  }
  void fireFds()
  {
    const auto* fd = ext<clap_plugin_posix_fd_support_t>(CLAP_EXT_POSIX_FD_SUPPORT);
    for (const auto& [descriptor, flags] : fds)
      fd->on_fd(plugin, descriptor, CLAP_POSIX_FD_READ);
  }
  // Runs what the plug-in asked the main thread to do.
  void runCallbacks()
  {
    if (callbackRequests > 0) {
      callbackRequests = 0;
      plugin->on_main_thread(plugin);
    }
  }

  const clap_plugin_t* plugin = nullptr;

  // What the plug-in asked of the host.
  std::atomic<int> flushRequests{0};
  std::atomic<int> processRequests{0};
  std::atomic<int> callbackRequests{0};
  std::atomic<int> dirtyMarks{0};
  std::atomic<int> rescans{0};
  std::atomic<int> offThreadCalls{0}; // main-thread host calls made on another thread
  std::map<clap_id, std::uint32_t> timers;
  std::map<int, clap_posix_fd_flags_t> fds;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> resizeRequests;
  bool acceptResize = true;

private:
  static ClapTestHost* self(const clap_host_t* h) { return static_cast<ClapTestHost*>(h->host_data); }

  void onMainThread()
  {
    if (std::this_thread::get_id() != mMainThread)
      offThreadCalls++;
  }

  const void* extension(const char* name)
  {
    static const clap_host_params_t params = {
      [](const clap_host_t* h, clap_param_rescan_flags) {
        self(h)->onMainThread();
        self(h)->rescans++;
      },
      [](const clap_host_t*, clap_id, clap_param_clear_flags) {},
      [](const clap_host_t* h) { self(h)->flushRequests++; },
    };
    static const clap_host_state_t state = {[](const clap_host_t* h) {
      self(h)->onMainThread();
      self(h)->dirtyMarks++;
    }};
    static const clap_host_timer_support_t timer = {
      [](const clap_host_t* h, std::uint32_t period, clap_id* id) {
        self(h)->onMainThread();
        *id = self(h)->mNextTimer++;
        self(h)->timers[*id] = period;
        return true;
      },
      [](const clap_host_t* h, clap_id id) {
        self(h)->onMainThread();
        return self(h)->timers.erase(id) == 1;
      },
    };
    static const clap_host_posix_fd_support_t fd = {
      [](const clap_host_t* h, int descriptor, clap_posix_fd_flags_t flags) {
        self(h)->onMainThread();
        self(h)->fds[descriptor] = flags;
        return true;
      },
      [](const clap_host_t* h, int descriptor, clap_posix_fd_flags_t flags) {
        self(h)->fds[descriptor] = flags;
        return true;
      },
      [](const clap_host_t* h, int descriptor) {
        self(h)->onMainThread();
        return self(h)->fds.erase(descriptor) == 1;
      },
    };
    static const clap_host_gui_t gui = {
      [](const clap_host_t*) {},
      [](const clap_host_t* h, std::uint32_t width, std::uint32_t height) {
        self(h)->resizeRequests.emplace_back(width, height);
        return self(h)->acceptResize;
      },
      [](const clap_host_t*) { return false; },
      [](const clap_host_t*) { return false; },
      [](const clap_host_t*, bool) {},
    };
    static const clap_host_thread_check_t threadCheck = {
      [](const clap_host_t* h) { return std::this_thread::get_id() == self(h)->mMainThread; },
      [](const clap_host_t* h) { return std::this_thread::get_id() != self(h)->mMainThread; },
    };
    if (std::strcmp(name, CLAP_EXT_PARAMS) == 0)
      return &params;
    if (std::strcmp(name, CLAP_EXT_STATE) == 0)
      return &state;
    if (std::strcmp(name, CLAP_EXT_TIMER_SUPPORT) == 0)
      return mWithTimers ? &timer : nullptr;
    if (std::strcmp(name, CLAP_EXT_POSIX_FD_SUPPORT) == 0)
      return &fd;
    if (std::strcmp(name, CLAP_EXT_GUI) == 0)
      return &gui;
    if (std::strcmp(name, CLAP_EXT_THREAD_CHECK) == 0)
      return &threadCheck;
    return nullptr;
  }

  clap_host_t mHost{};
  bool mWithTimers;
  std::thread::id mMainThread;
  clap_id mNextTimer = 1;
  double mRate = 48000.0;
  std::int64_t mSteadyTime = 0;
};
