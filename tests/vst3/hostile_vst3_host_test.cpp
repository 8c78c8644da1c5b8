// SPDX-License-Identifier: ISC
// The VST3 bridge in a hostile host of ours: event lists and parameter queues that lie about their
// sizes, events of unknown types and out-of-range fields, parameter ids and values no host should
// send, state streams of the wrong size or that misbehave, process before activation and with
// missing or odd buffers, blocks far longer than announced, texts without an end. Audio buffers end
// where an inaccessible page begins, so a read or write past them faults at once; each attack runs
// in a child process with a time limit, so a fault or an endless loop fails its case and the others
// still run. Allocations inside process() are counted. Linked in directly: runs under the sanitizers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

#include "AllocationCounter.h"
#include "TempHome.h"
#include "VST3Host.h"
#include "core/quennet.h"
#include "framework/VST3/IPluginVST3.h"
#include "framework/VST3/VST3Factory.h"
#include "framework/VST3/VST3Layout.h"
#include "lv2/GuardedBuffer.h"

using namespace quennet;

namespace {

using namespace vst3host;
namespace vst3 = plug::vst3;

constexpr double kRate = 48000.0;
constexpr int kBlock = 256;
constexpr unsigned kSecondsPerAttack = 20; // an endless loop fails the case instead of the whole run
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Runs `attack` in a child process: a fault, an endless loop or a false result fails the case.
void survives(const std::function<bool()>& attack)
{
  EXPECT_EXIT(
    {
      alarm(kSecondsPerAttack);
      std::exit(attack() ? 0 : 1);
    },
    ::testing::ExitedWithCode(0), "");
}

// Host audio buffers of `frames` frames, each ending at a guard page; the input a quiet tone.
struct GuardedAudio {
  explicit GuardedAudio(int frames)
      : inLeft(sizeof(float) * static_cast<size_t>(frames)),
        inRight(sizeof(float) * static_cast<size_t>(frames)),
        outLeft(sizeof(float) * static_cast<size_t>(frames)),
        outRight(sizeof(float) * static_cast<size_t>(frames)),
        n(frames)
  {
    // The guarded buffers round up to 8 bytes: the channels start that far before the guard.
    for (int i = 0; i < frames; ++i) {
      left()[i] = static_cast<float>(0.3 * std::sin(i * 0.05));
      right()[i] = static_cast<float>(0.3 * std::sin(i * 0.031));
    }
  }
  float* left() { return reinterpret_cast<float*>(inLeft.data() + inLeft.size()) - n; }
  float* right() { return reinterpret_cast<float*>(inRight.data() + inRight.size()) - n; }
  float* outL() { return reinterpret_cast<float*>(outLeft.data() + outLeft.size()) - n; }
  float* outR() { return reinterpret_cast<float*>(outRight.data() + outRight.size()) - n; }
  bool finite()
  {
    for (int i = 0; i < n; ++i)
      if (!std::isfinite(outL()[i]) || !std::isfinite(outR()[i]))
        return false;
    return true;
  }

  GuardedBuffer inLeft, inRight, outLeft, outRight;
  int n;
};

struct Instance : Plugin {
  Instance() : Plugin(vst3::Factory(), vst3::kClassId) {}
  Quennet& plugin() { return static_cast<Quennet&>(vst3::OwnerOf<vst3::IPluginVST3>(component).Plug()); }
  v3_result process(GuardedAudio& audio, EventList* events = nullptr, ParamChanges* changes = nullptr,
                    const std::optional<Transport>& transport = Transport{})
  {
    return Plugin::process(audio.left(), audio.right(), audio.outL(), audio.outR(), audio.n, events, changes, nullptr,
                           transport);
  }
};

// Counts the allocations of one call.
long allocationsOf(const std::function<void()>& call)
{
  alloc_count::CountingScope counting;
  call();
  return counting.counts().allocations;
}

class HostileVST3HostTest : public ::testing::Test {
protected:
  TempHome home;
};

} // namespace

TEST_F(HostileVST3HostTest, EventListsThatLieAndEventsNoPlugInShouldGetChangeNothingElse)
{
  survives([] {
    Instance instance;
    if (!instance.valid() || !instance.setup(kRate, kBlock))
      return false;
    instance.edit()->set_parameter_normalised(instance.controller, vst3::kPresetParamId, 3.0 / 9.0); // mode MIDI
    GuardedAudio audio(kBlock);
    EventList events;
    // Data events whose sizes lie and whose bytes are missing; types nobody knows.
    v3_event data{};
    data.type = V3_EVENT_DATA;
    data.data.size = 0xFFFFFFFF;
    data.data.bytes = nullptr;
    events.events.push_back(data);
    for (std::uint16_t type : {std::uint16_t{3}, std::uint16_t{4}, std::uint16_t{5}, std::uint16_t{6}, std::uint16_t{7},
                               std::uint16_t{8}, std::uint16_t{999}, std::uint16_t{65534}}) {
      v3_event odd{};
      odd.type = type;
      std::memset(&odd.note_on, 0xFF, sizeof(odd.note_on));
      events.events.push_back(odd);
    }
    // Notes out of range, offsets outside the block, another bus, velocities no host should send.
    events.noteOn(-1000, 60);
    events.noteOn(1 << 30, 62);
    events.noteOn(10, -1);
    events.noteOn(10, 128);
    events.noteOn(10, 61, 0.5f, -1);
    events.noteOn(10, 63, static_cast<float>(kNaN));
    events.noteOn(10, 64, static_cast<float>(kInf));
    events.noteOn(10, 65, -3.0f);
    v3_event otherBus{};
    otherBus.bus_index = 7;
    otherBus.type = V3_EVENT_NOTE_ON;
    otherBus.note_on.pitch = 66;
    events.events.push_back(otherBus);
    v3_event cc{};
    cc.type = V3_EVENT_LEGACY_MIDI_CC_OUT;
    cc.midi_cc_out.cc_number = 200;
    cc.midi_cc_out.channel = -5;
    cc.midi_cc_out.value = -100;
    events.events.push_back(cc);
    // A count far beyond what the list holds: the reads past its end fail.
    events.claimedCount = 0xFFFFFFFF;
    long allocations = 0;
    const bool ok = [&] {
      bool result = true;
      allocations = allocationsOf([&] { result = instance.process(audio, &events) == V3_OK; });
      return result;
    }();
    const Quennet& plugin = instance.plugin();
    // Five notes are well formed: 60 and 62 (their frames clamped into the block), 63, 64 and 65
    // (velocities clamped: a note-on stays one). Four voices play them; 62, the last, sounds.
    int sounding = 0;
    bool lastSounds = false;
    bool onlyWellFormed = true;
    for (int v = 0; v < Quennet::kNumVoices; ++v) {
      if (plugin.envelope(v).mStage == ADSR::kStageIdle)
        continue;
      ++sounding;
      const int note = plugin.voiceNote(v);
      lastSounds = lastSounds || note == 62;
      onlyWellFormed = onlyWellFormed && (note == 60 || (note >= 62 && note <= 65));
    }
    const bool notesRight = sounding == 4 && lastSounds && onlyWellFormed;
    return ok && audio.finite() && notesRight && (!alloc_count::available() || allocations == 0);
  });
}

TEST_F(HostileVST3HostTest, ParameterIdsAndValuesOutOfRangeChangeNothingThatShouldNotChange)
{
  survives([] {
    Instance instance;
    if (!instance.valid() || !instance.setup(kRate, kBlock))
      return false;
    GuardedAudio audio(kBlock);
    ParamChanges changes;
    for (v3_param_id id : {29u, 100u, 255u, 257u, 511u, 640u, 0x7FFFFFFFu, 0xFFFFFFFFu})
      changes.add(id, 0, 0.5);
    changes.add(kGrainLength, 0, kNaN);
    changes.add(kGrainFrequency, 0, kInf);
    changes.add(kFrameLength, 0, -kInf);
    changes.add(kMix, -50, 1e300);
    changes.add(kVolume, 1 << 30, -7.0);
    changes.add(vst3::ControllerParamId(123), -1, kNaN);
    changes.add(vst3::kPresetParamId, 0, 0.5); // only the controller switches presets
    changes.add(25, 0, 1.0); // reserved, read-only
    changes.queue(kGrainSkew); // a queue without points
    long allocations = 0;
    bool ok = false;
    allocations = allocationsOf([&] { ok = instance.process(audio, nullptr, &changes) == V3_OK; });
    const Quennet& plugin = instance.plugin();
    const bool values = plugin.GetParam(kGrainLength)->GetValue() == 20.0 &&
      plugin.GetParam(kGrainFrequency)->GetValue() == 5000.0 && plugin.GetParam(kFrameLength)->GetValue() == 0.2 &&
      plugin.GetParam(kMix)->GetValue() == 1.0 && plugin.GetParam(kVolume)->GetValue() == 0.0 &&
      plugin.GetParam(25)->GetValue() == 0.0 && plugin.GetCurrentPresetIdx() == 0;

    // The controller's calls with ids and values no host should pass.
    v3_edit_controller* edit = instance.edit();
    v3_str_128 text{};
    double normalized = 0.0;
    std::int16_t input[2] = {'1', 0};
    const bool refused = edit->get_parameter_string_for_value(instance.controller, 4000, 0.5, text) != V3_OK &&
      edit->get_parameter_value_for_string(instance.controller, 4000, input, &normalized) != V3_OK &&
      edit->get_parameter_string_for_value(instance.controller, kMix, 0.5, nullptr) != V3_OK &&
      edit->get_parameter_value_for_string(instance.controller, kMix, nullptr, &normalized) != V3_OK &&
      edit->get_parameter_value_for_string(instance.controller, kMix, input, nullptr) != V3_OK &&
      edit->set_parameter_normalised(instance.controller, 4000, 0.5) != V3_OK &&
      edit->set_parameter_normalised(instance.controller, kMix, kNaN) != V3_OK &&
      edit->get_parameter_info(instance.controller, 1 << 20, nullptr) != V3_OK &&
      edit->get_parameter_normalised(instance.controller, 4000) == 0.0 &&
      edit->normalised_parameter_to_plain(instance.controller, 4000, 0.5) == 0.0;
    // Values far outside 0 ... 1 give the ends; NaN gives the current value's ends, never NaN.
    const bool clamped = edit->normalised_parameter_to_plain(instance.controller, kGrainLength, 7.0) == 2000.0 &&
      edit->normalised_parameter_to_plain(instance.controller, kGrainLength, -7.0) == 0.2 &&
      std::isfinite(edit->normalised_parameter_to_plain(instance.controller, kGrainLength, kNaN)) &&
      edit->plain_parameter_to_normalised(instance.controller, kGrainLength, 1e9) == 1.0 &&
      edit->get_parameter_string_for_value(instance.controller, kGrainLength, kNaN, text) == V3_OK;
    // The program change parameter out of range: the last preset at most.
    edit->set_parameter_normalised(instance.controller, vst3::kPresetParamId, 55.0);
    const bool preset = instance.plugin().GetCurrentPresetIdx() == 9;
    return ok && values && refused && clamped && preset && audio.finite() &&
      (!alloc_count::available() || allocations == 0);
  });
}

TEST_F(HostileVST3HostTest, QueuesThatLieAboutTheirSizesAreReadOnlyAsFarAsTheyHoldAndNotForever)
{
  survives([] {
    Instance instance;
    if (!instance.valid() || !instance.setup(kRate, kBlock))
      return false;
    GuardedAudio audio(kBlock);
    // A controller queue with more points than a block keeps, and a list claiming a billion events.
    ParamChanges changes;
    for (int i = 0; i < 100000; ++i)
      changes.add(vst3::ControllerParamId(i % 128), i % kBlock, (i % 128) / 127.0);
    EventList events;
    for (int i = 0; i < 10000; ++i)
      events.noteOn(i % kBlock, i % 128);
    events.claimedCount = 1000000000u;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = instance.process(audio, &events, &changes) == V3_OK;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok && seconds < 5.0 && audio.finite();
  });
}

TEST_F(HostileVST3HostTest, StateStreamsOfTheWrongSizeOrThatMisbehaveAreRefused)
{
  survives([] {
    Instance instance;
    if (!instance.valid())
      return false;
    instance.edit()->set_parameter_normalised(instance.controller, vst3::kPresetParamId, 5.0 / 9.0);
    const std::vector<std::uint8_t> before = instance.state();
    if (before.size() != 232)
      return false;
    bool refused = true;
    for (size_t size : {size_t{0}, size_t{1}, size_t{231}, size_t{233}, size_t{464}, size_t{1} << 20}) {
      std::vector<std::uint8_t> bytes(size, 0x7F); // NaN-like doubles where they fit
      refused = refused && instance.setState(bytes) != V3_OK && instance.setState(bytes, 1) != V3_OK;
    }
    // A stream whose reads fail, or claim more than they were asked for.
    struct Liar {
      static v3_result V3_API query(void*, const v3_tuid, void** obj)
      {
        *obj = nullptr;
        return V3_NO_INTERFACE;
      }
      static std::uint32_t V3_API ref(void*) { return 1; }
      static v3_result V3_API failing(void*, void*, std::int32_t, std::int32_t* done)
      {
        if (done)
          *done = 0;
        return V3_INTERNAL_ERR;
      }
      static v3_result V3_API boasting(void*, void* buffer, std::int32_t n, std::int32_t* done)
      {
        std::memset(buffer, 0, static_cast<size_t>(n));
        *done = n * 1000;
        return V3_OK;
      }
      static v3_result V3_API negative(void*, void*, std::int32_t, std::int32_t* done)
      {
        *done = -5;
        return V3_OK;
      }
      static v3_result V3_API write(void*, void*, std::int32_t, std::int32_t* done)
      {
        *done = 0;
        return V3_OK;
      }
      static v3_result V3_API seek(void*, std::int64_t, std::int32_t, std::int64_t*) { return V3_OK; }
      static v3_result V3_API tell(void*, std::int64_t*) { return V3_OK; }
    };
    struct Table : v3_funknown {
      v3_bstream stream;
    };
    for (auto read : {&Liar::failing, &Liar::boasting, &Liar::negative}) {
      const Table table{{Liar::query, Liar::ref, Liar::ref}, {read, Liar::write, Liar::seek, Liar::tell}};
      const Table* object = &table;
      auto* stream = reinterpret_cast<v3_bstream**>(const_cast<Table**>(&object));
      refused = refused && v3_cpp_obj(instance.component)->set_state(instance.component, stream) != V3_OK;
      refused = refused && instance.edit()->set_component_state(instance.controller, stream) != V3_OK;
      // A stream that takes nothing: the state is not saved, and nothing hangs.
      refused = refused && v3_cpp_obj(instance.component)->get_state(instance.component, stream) != V3_OK;
    }
    return refused && instance.state() == before;
  });
}

TEST_F(HostileVST3HostTest, ProcessBeforeActivationWithOddBuffersOrFarLongerBlocksIsSafe)
{
  survives([] {
    Instance instance;
    if (!instance.valid())
      return false;
    GuardedAudio audio(kBlock);
    // Before setup and activation: silence, and "not initialised".
    if (instance.process(audio) != V3_NOT_INITIALIZED || !audio.finite())
      return false;
    v3_audio_processor* p = v3_cpp_obj(instance.processor);
    if (p->process(instance.processor, nullptr) == V3_OK)
      return false;
    if (!instance.setup(kRate, kBlock))
      return false;

    // Missing and odd buffers: no bus, null channel lists, one channel, null channels, 64 channels
    // of which two exist, a negative length, 64-bit samples.
    float* channels[64] = {audio.left(), audio.right()};
    float* outputs[64] = {audio.outL(), audio.outR()};
    struct Odd {
      std::int32_t inChannels, outChannels, inBuses, outBuses;
      bool nullLists;
      std::int32_t frames, sampleSize;
      v3_result expected;
    };
    const Odd odd[] = {
      {2, 2, 0, 0, false, kBlock, V3_SAMPLE_32, V3_OK},      {2, 2, 1, 1, true, kBlock, V3_SAMPLE_32, V3_OK},
      {1, 1, 1, 1, false, kBlock, V3_SAMPLE_32, V3_OK},      {0, 0, 1, 1, false, kBlock, V3_SAMPLE_32, V3_OK},
      {64, 2, 1, 1, false, kBlock, V3_SAMPLE_32, V3_OK},     {2, 2, 1, 1, false, 0, V3_SAMPLE_32, V3_OK},
      {2, 2, 1, 1, false, -5, V3_SAMPLE_32, V3_INVALID_ARG}, {2, 2, 1, 1, false, kBlock, V3_SAMPLE_64, V3_INVALID_ARG},
    };
    for (int i = 2; i < 64; ++i)
      channels[i] = nullptr;
    for (const Odd& o : odd) {
      v3_audio_bus_buffers in{o.inChannels, 0, {}};
      in.channel_buffers_32 = o.nullLists ? nullptr : channels;
      v3_audio_bus_buffers out{std::min(o.outChannels, 2), 0, {}};
      out.channel_buffers_32 = o.nullLists ? nullptr : outputs;
      v3_process_data data{};
      data.symbolic_sample_size = o.sampleSize;
      data.nframes = o.frames;
      data.num_input_buses = o.inBuses;
      data.num_output_buses = o.outBuses;
      data.inputs = o.inBuses ? &in : nullptr;
      data.outputs = o.outBuses ? &out : nullptr;
      if (p->process(instance.processor, &data) != o.expected || !audio.finite())
        return false;
    }

    // A block 400 times longer than announced, with notes and a learned controller in it: in
    // pieces, nothing grows, nothing is allocated.
    constexpr int kHuge = 400 * kBlock;
    GuardedAudio huge(kHuge);
    EventList events;
    for (int i = 0; i < 300; ++i)
      events.noteOn(i * 331, 40 + i % 40);
    ParamChanges changes;
    changes.add(vst3::ControllerParamId(123), kHuge - 1, 0.0);
    instance.edit()->set_parameter_normalised(instance.controller, vst3::kPresetParamId, 4.0 / 9.0);
    bool ok = false;
    const long allocations = allocationsOf([&] { ok = instance.process(huge, &events, &changes) == V3_OK; });
    return ok && huge.finite() && instance.plugin().GetBlockSize() == kBlock &&
      (!alloc_count::available() || allocations == 0);
  });
}

TEST_F(HostileVST3HostTest, TextsWithoutAnEndAreReadOnlyAsFarAsAHostsFieldGoes)
{
  survives([] {
    Instance instance;
    if (!instance.valid())
      return false;
    // 128 units of digits and no terminating 0, right before a guard page.
    GuardedBuffer field(128 * sizeof(std::int16_t));
    auto* units = reinterpret_cast<std::int16_t*>(field.data() + field.size()) - 128;
    for (int i = 0; i < 128; ++i)
      units[i] = '7';
    double normalized = 0.0;
    const v3_result result =
      instance.edit()->get_parameter_value_for_string(instance.controller, kGrainFrequency, units, &normalized);
    // Unpaired surrogates are no text either.
    for (int i = 0; i < 128; ++i)
      units[i] = static_cast<std::int16_t>(0xD800);
    const v3_result surrogates =
      instance.edit()->get_parameter_value_for_string(instance.controller, kGrainMode, units, &normalized);
    return result == V3_OK && normalized == 1.0 && surrogates != V3_OK;
  });
}
