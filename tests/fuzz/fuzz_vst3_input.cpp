// SPDX-License-Identifier: ISC
// Arbitrary bytes as what a VST3 host hands the bridge: a component or controller state, and a
// block's events, parameter changes and value texts, then processed. Nothing crashes, every
// parameter stays finite and in range, the output stays finite, and a refused state changes
// nothing.
//
// Input: the first byte chooses what the rest is.
//   0: a component state (setState)          1: a controller's component state (setComponentState)
//   2: a block's records (below)             3: a state of 232 bytes, then a block's records
// A block's records, each led by a kind byte:
//   kind % 4 == 0: a raw v3_event (as many bytes as there are, up to its size)
//   kind % 4 == 1: a parameter point: id (4 bytes, taken modulo 700 so that the plug-in's, the preset
//                  and the controller ids come up), sample offset (4), normalised value (8)
//   kind % 4 == 2: a text of up to 16 bytes for getParamValueByString of id kind / 4
//   kind % 4 == 3: the block's length (2 bytes, at most 256 frames; 32 otherwise)

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzPlugin.h"
#include "VST3Host.h"
#include "framework/VST3/IPluginVST3.h"
#include "framework/VST3/VST3Factory.h"
#include "framework/VST3/VST3Layout.h"

using namespace quennet;

namespace {

using namespace vst3host;

// Short blocks: the input handling is what is fuzzed, not the grain engine (its own targets and
// tests cover it); a block longer than prepared still goes in pieces.
constexpr int kPrepared = 32;
constexpr int kMaxFrames = 256;

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  bool done() const { return at >= size; }
  std::size_t left() const { return size - at; }
  template <typename T>
  T take()
  {
    T value{};
    const std::size_t n = std::min(sizeof(T), left());
    std::memcpy(&value, data + at, n);
    at += n;
    return value;
  }
};

Plugin& instance()
{
  static Plugin* plugin = [] {
    auto* p = new Plugin(plug::vst3::Factory(), plug::vst3::kClassId);
    if (!p->valid() || !p->setup(48000.0, kPrepared))
      std::abort();
    return p;
  }();
  return *plugin;
}

plug::IPlugin& plugOf(Plugin& plugin)
{
  return plug::vst3::OwnerOf<plug::vst3::IPluginVST3>(plugin.component).Plug();
}

void restore(Plugin& plugin, const std::uint8_t* data, std::size_t size, bool controller)
{
  const std::vector<std::uint8_t> before = plugin.state();
  MemoryStream stream(std::vector<std::uint8_t>(data, data + size));
  const v3_result result = controller ? plugin.edit()->set_component_state(plugin.controller, stream.get())
                                      : v3_cpp_obj(plugin.component)->set_state(plugin.component, stream.get());
  if (result != V3_OK && plugin.state() != before)
    std::abort(); // a refused state changed something
}

void block(Plugin& plugin, Reader& in)
{
  EventList events;
  ParamChanges changes;
  int frames = kPrepared;
  while (!in.done()) {
    const std::uint8_t kind = in.take<std::uint8_t>();
    switch (kind % 4) {
      case 0: events.events.push_back(in.take<v3_event>()); break;
      case 1: {
        const std::uint32_t id = in.take<std::uint32_t>() % 700;
        const std::int32_t offset = in.take<std::int32_t>();
        const double value = in.take<double>();
        changes.add(id, offset, value);
        break;
      }
      case 2: {
        std::int16_t text[17] = {};
        for (int i = 0; i < 16 && !in.done(); ++i)
          text[i] = static_cast<std::int16_t>(in.take<std::uint8_t>());
        double normalized = 0.0;
        if (plugin.edit()->get_parameter_value_for_string(plugin.controller, kind / 4, text, &normalized) == V3_OK &&
            !(normalized >= 0.0 && normalized <= 1.0))
          std::abort();
        break;
      }
      default: frames = in.take<std::uint16_t>() % (kMaxFrames + 1); break;
    }
  }
  static float input[2][kMaxFrames];
  static float output[2][kMaxFrames];
  static const bool filled = [] {
    for (int i = 0; i < kMaxFrames; ++i) {
      input[0][i] = static_cast<float>(0.5 * std::sin(0.05 * i));
      input[1][i] = static_cast<float>(0.5 * std::sin(0.031 * i));
    }
    return true;
  }();
  (void)filled;
  ParamChanges out;
  plugin.process(input[0], input[1], output[0], output[1], frames, &events, &changes, &out);
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < frames; ++i)
      if (!std::isfinite(output[c][i]))
        std::abort();
  for (const auto& queue : out.queues)
    for (const auto& [offset, value] : queue->points)
      if (!(value >= 0.0 && value <= 1.0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  useScratchHome();
  Plugin& plugin = instance();
  if (size == 0)
    return 0;
  Reader in{data + 1, size - 1};
  switch (data[0] % 4) {
    case 0: restore(plugin, in.data, in.size, false); break;
    case 1: restore(plugin, in.data, in.size, true); break;
    case 2: block(plugin, in); break;
    default: {
      const std::size_t state = std::min<std::size_t>(232, in.size);
      restore(plugin, in.data, state, false);
      in.at = state;
      block(plugin, in);
      break;
    }
  }
  if (!parametersSane(plugOf(plugin)))
    std::abort();
  return 0;
}
