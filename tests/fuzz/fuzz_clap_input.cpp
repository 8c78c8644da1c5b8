// SPDX-License-Identifier: ISC
// What a CLAP host hands the bridge, from arbitrary bytes: a state stream (read in pieces of the
// host's choosing), or the events of one process call (any type, size and field; each event's
// memory as large as its header says, as a host guarantees) with a transport, then a flush. Nothing
// crashes, every parameter stays finite and in range, the output stays finite.
//
// Input: byte 0 chooses; state: byte 1 is the piece size, the rest the stream; events: byte 1 the
// block length (0 ... 64 frames, modulo 65), then events of [2 bytes size][2 bytes type][4 bytes time] and
// as many body bytes as the size asks for, until the input ends.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzPlugin.h"
#include "framework/CLAP/CLAPLayout.h"
#include "framework/CLAP/IPluginCLAP.h"

using namespace quennet;

namespace {

const clap_host_t* fuzzHost()
{
  static clap_host_t host = [] {
    clap_host_t h{};
    h.clap_version = CLAP_VERSION;
    h.name = "fuzz";
    h.vendor = "";
    h.url = "";
    h.version = "1";
    h.get_extension = [](const clap_host_t*, const char*) -> const void* { return nullptr; };
    h.request_restart = [](const clap_host_t*) {};
    h.request_process = [](const clap_host_t*) {};
    h.request_callback = [](const clap_host_t*) {};
    return h;
  }();
  return &host;
}

struct Events {
  std::vector<std::vector<std::uint64_t>> storage; // 8-byte aligned, as a host's
  clap_input_events_t list{this,
                           [](const clap_input_events_t* l) {
                             return static_cast<std::uint32_t>(static_cast<const Events*>(l->ctx)->storage.size());
                           },
                           [](const clap_input_events_t* l, std::uint32_t i) -> const clap_event_header_t* {
                             const auto& s = static_cast<const Events*>(l->ctx)->storage;
                             return i < s.size() ? reinterpret_cast<const clap_event_header_t*>(s[i].data()) : nullptr;
                           }};
};

// Short blocks keep each input quick: the fuzzer is to reach far more inputs than frames.
constexpr int kMaxFrames = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  useScratchHome();
  static const clap_plugin_t* plugin = [] {
    const clap_plugin_factory_t* factory = plug::clap::Factory();
    const clap_plugin_t* p = factory->create_plugin(factory, fuzzHost(), plug::clap::kPluginID);
    if (!p || !p->init(p) || !p->activate(p, 48000.0, 1, kMaxFrames / 2) || !p->start_processing(p))
      std::abort();
    return p;
  }();
  plug::clap::IPluginCLAP& bridge = *plug::clap::IPluginCLAP::From(plugin);
  if (size < 2)
    return 0;

  if (data[0] % 2 == 0) {
    struct Stream {
      const std::uint8_t* bytes;
      std::size_t size;
      std::size_t at;
      std::size_t piece;
    } stream{data + 2, size - 2, 0, std::size_t{data[1]} + 1};
    const clap_istream_t in{&stream, [](const clap_istream_t* s, void* buffer, std::uint64_t wanted) -> std::int64_t {
                              auto* st = static_cast<Stream*>(s->ctx);
                              const std::size_t n = std::min<std::size_t>({wanted, st->size - st->at, st->piece});
                              std::memcpy(buffer, st->bytes + st->at, n);
                              st->at += n;
                              return static_cast<std::int64_t>(n);
                            }};
    bridge.LoadState(in);
  } else {
    const std::uint32_t frames = data[1] % (kMaxFrames + 1); // may exceed the announced maximum: pieces
    Events events;
    for (std::size_t at = 2; at + 8 <= size;) {
      std::uint16_t eventSize = 0, type = 0;
      std::uint32_t time = 0;
      std::memcpy(&eventSize, data + at, 2);
      std::memcpy(&type, data + at + 2, 2);
      std::memcpy(&time, data + at + 4, 4);
      at += 8;
      // The header the host writes, then the body from the input, zero-filled where it ends.
      const std::size_t whole = std::max<std::size_t>(eventSize, sizeof(clap_event_header_t));
      std::vector<std::uint64_t> storage((whole + 7) / 8, 0);
      auto* bytes = reinterpret_cast<std::uint8_t*>(storage.data());
      const std::size_t body = std::min<std::size_t>(whole - sizeof(clap_event_header_t), size - at);
      std::memcpy(bytes + sizeof(clap_event_header_t), data + at, body);
      at += body;
      const clap_event_header_t header{eventSize, time, CLAP_CORE_EVENT_SPACE_ID, static_cast<std::uint16_t>(type % 16),
                                       0};
      std::memcpy(bytes, &header, sizeof(header));
      events.storage.push_back(std::move(storage));
    }
    static float in[2][kMaxFrames];
    static float out[2][kMaxFrames];
    for (int i = 0; i < kMaxFrames; ++i)
      in[0][i] = in[1][i] = static_cast<float>(std::sin(0.05 * i));
    float* inputs[2] = {in[0], in[1]};
    float* outputs[2] = {out[0], out[1]};
    clap_audio_buffer_t inBuffer{inputs, nullptr, 2, 0, 0};
    clap_audio_buffer_t outBuffer{outputs, nullptr, 2, 0, 0};
    clap_event_transport_t transport{};
    transport.flags = CLAP_TRANSPORT_HAS_TEMPO | CLAP_TRANSPORT_HAS_SECONDS_TIMELINE | CLAP_TRANSPORT_IS_PLAYING;
    transport.tempo = 120.0;
    clap_process_t process{};
    process.frames_count = std::min<std::uint32_t>(frames, kMaxFrames);
    process.transport = &transport;
    process.audio_inputs = &inBuffer;
    process.audio_outputs = &outBuffer;
    process.audio_inputs_count = 1;
    process.audio_outputs_count = 1;
    process.in_events = &events.list;
    plugin->process(plugin, &process);
    for (std::uint32_t i = 0; i < process.frames_count; ++i)
      if (!std::isfinite(out[0][i]) || !std::isfinite(out[1][i]))
        std::abort();
    bridge.Flush(&events.list, nullptr);
  }
  if (!parametersSane(*bridge.GetPlug()))
    std::abort();
  return 0;
}
