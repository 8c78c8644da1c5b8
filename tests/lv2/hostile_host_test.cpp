// SPDX-License-Identifier: ISC
// quennet.lv2 in a hostile host of ours on lilv: sequences, objects and properties whose sizes
// lie, blocks longer than announced, state chunks of the wrong size, sample rates no plug-in can
// run at, MIDI bytes that are no message, and a host that loads and unloads the module again and
// again. Every host buffer ends where an inaccessible page begins, so a read past its end faults
// at once; each attack runs in a child process with a time limit, so a fault or an endless loop
// fails its case and the others still run.
#include <gtest/gtest.h>

#include <lilv/lilv.h>
#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <thread>

#include "AllocationCounter.h"
#include "AtomBytes.h"
#include "GuardedBuffer.h"
#include "LV2TestHost.h"
#include "LilvBundle.h"
#include "TempHome.h"
#include "TestHost.h"
#include "core/quennet.h"
#include "framework/LV2/AtomReader.h"

using namespace quennet;

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 256;
constexpr unsigned kSecondsPerAttack = 10; // an endless loop fails the case instead of the whole run

StereoBuffer testSignal(size_t frames)
{
  StereoBuffer signal(frames);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    signal.left[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 311.0 * t));
    signal.right[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 173.0 * t + 1.0));
  }
  return signal;
}

class HostileHostTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { sLilv = new LilvBundle(QUENNET_LV2_BUNDLE); }

  static void TearDownTestSuite()
  {
    delete sLilv;
    sLilv = nullptr;
  }

  void SetUp() override { ASSERT_NE(sLilv->plugin, nullptr) << "the bundle was not found through LV2_PATH"; }

  // One instance with the host's ordinary buffers connected; tests replace some of them.
  class Instance : public LilvPluginInstance {
  public:
    Instance(UridMap& urids, double rate = kRate, int maxBlock = kBlock, int bufferFrames = kBlock)
        : LilvPluginInstance(sLilv->plugin, urids, rate, maxBlock, std::max(maxBlock, bufferFrames),
                             controlPortDefaults())
    {
    }

    void connect(std::uint32_t port, void* data) { descriptor().connect_port(handle(), port, data); }
    void run(std::uint32_t frames)
    {
      ports.eventsOut.prepareOutput();
      descriptor().run(handle(), frames);
    }
  };

  // Runs `attack` in a child process: a fault, an endless loop or a false result (exit code 1)
  // fails the case.
  static void survives(const std::function<bool()>& attack)
  {
    EXPECT_EXIT(
      {
        alarm(kSecondsPerAttack);
        std::exit(attack() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  }

  LV2_URID id(const char* uri) { return urids.id(uri); }

  static LilvBundle* sLilv;

  TempHome home;
  UridMap urids;
};

LilvBundle* HostileHostTest::sLilv = nullptr;

// Patches the sequence's size to cover everything written so far.
std::vector<std::uint8_t> sized(AtomBytes bytes)
{
  bytes.patch32(0, static_cast<std::uint32_t>(bytes.size() - sizeof(LV2_Atom)));
  return bytes.get();
}

bool allFinite(const std::vector<float>& samples, size_t n)
{
  for (size_t i = 0; i < n; ++i)
    if (!std::isfinite(samples[i]))
      return false;
  return true;
}

} // namespace

// Sequences whose events, objects or properties run past what the sequence declares, on the events
// input and on the time input. The buffer ends exactly at the declared size.
TEST_F(HostileHostTest, SequencesObjectsAndPropertiesAreReadOnlyWithinTheirDeclaredSizes)
{
  const LV2_URID sequence = id(LV2_ATOM__Sequence);
  const LV2_URID midi = id(LV2_MIDI__MidiEvent);
  const LV2_URID object = id(LV2_ATOM__Object);
  const LV2_URID position = id(LV2_TIME__Position);
  const LV2_URID bpm = id(LV2_TIME__beatsPerMinute);
  const LV2_URID frame = id(LV2_TIME__frame);
  const LV2_URID speed = id(LV2_TIME__speed);
  const LV2_URID floatType = id(LV2_ATOM__Float);
  const LV2_URID longType = id(LV2_ATOM__Long);

  auto withNote = [&] {
    return std::move(AtomBytes().sequence(0, sequence).event(3, 3, midi).bytes({0x90, 60, 100}).padTo8());
  };
  // A time:Position at frame 0 with tempo, frame and speed, then `tail` inside the object.
  auto withPosition = [&](const std::function<void(AtomBytes&)>& tail, bool tempoOnly = false) {
    AtomBytes b;
    b.sequence(0, sequence);
    const size_t eventAt = b.size();
    b.event(0, 0, object).u32(0).u32(position);
    b.property(bpm, 4, floatType).f32(140.0f).padTo8();
    if (!tempoOnly) {
      b.property(frame, 8, longType).i64(96000);
      b.property(speed, 4, floatType).f32(1.0f).padTo8();
    }
    tail(b);
    b.patch32(eventAt + 8, static_cast<std::uint32_t>(b.size() - eventAt - sizeof(LV2_Atom_Event)));
    return b;
  };

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<Case> cases = {
    {"size claims half an event header more", sized(std::move(withNote().i64(7)))},
    {"last event's body runs past the end",
     sized(std::move(withNote().event(9, 64, midi).bytes({0x90, 61, 1}).padTo8()))},
    {"event body size that wraps in 32 bits",
     sized(std::move(withNote().event(9, 0xFFFFFFF8u, midi).bytes({0x90, 61, 1}).padTo8()))},
    {"sequence of size 0", AtomBytes().atom(0, sequence).get()},
    {"sequence of size 4", AtomBytes().atom(4, sequence).u32(0).get()},
    {"object event of size 0 at the end", sized(std::move(withNote().event(5, 0, object)))},
    {"object event of size 4 at the end", sized(std::move(withNote().event(5, 4, object).u32(0)))},
    // 16 + size pads to 0 in 32 bits: a walk that trusts it stands still, and one that looks
    // for the frame and the speed never gets past it.
    {"property value size near 2^32",
     sized(withPosition([&](AtomBytes& b) { b.property(speed, 0xFFFFFFF0u, floatType).f32(1.0f).padTo8(); }, true))},
    {"property value running past the object",
     sized(withPosition([&](AtomBytes& b) { b.property(bpm, 12, floatType).f32(90.0f).padTo8(); }))},
    {"half a property header after the last", sized(withPosition([&](AtomBytes& b) { b.u32(bpm).u32(0); }))},
  };

  for (const bool onTimeIn : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(onTimeIn ? "time input" : "events input");
      survives([&] {
        Instance instance(urids);
        if (!instance.valid())
          return false;
        instance.ports.controls[kGrainMode] = 1.0f; // "SYNC": the tempo is read
        instance.ports.controls[kFrameSyncToHost] = 1.0f;
        GuardedBuffer hostile(c.bytes);
        instance.connect(onTimeIn ? instance.ports.timeInPort() : plug::lv2::kEventsIn, hostile.data());
        const StereoBuffer input = testSignal(kBlock);
        std::copy(input.left.begin(), input.left.end(), instance.ports.audio[0].begin());
        std::copy(input.right.begin(), input.right.end(), instance.ports.audio[1].begin());
        for (int i = 0; i < 4; ++i)
          instance.run(kBlock);
        return allFinite(instance.ports.audio[2], kBlock) && allFinite(instance.ports.audio[3], kBlock);
      });
    }
}

// What lies inside the declared sizes still counts: the properties before a broken one set the
// tempo and the position, so the grains restart on the sixteenths of 140 BPM exactly as with the
// same position without the broken property.
TEST_F(HostileHostTest, PropertiesBeforeABrokenOneStillCount)
{
  const StereoBuffer input = testSignal(16 * kBlock);
  auto render = [&](bool broken) {
    Instance instance(urids);
    instance.ports.controls[kGrainMode] = 1.0f; // "SYNC"
    instance.ports.controls[kGrainSync] = 4.0f; // 1/16
    AtomBytes b;
    b.sequence(0, id(LV2_ATOM__Sequence));
    b.event(0, 0, id(LV2_ATOM__Object)).u32(0).u32(id(LV2_TIME__Position));
    b.property(id(LV2_TIME__beatsPerMinute), 4, id(LV2_ATOM__Float)).f32(140.0f).padTo8();
    b.property(id(LV2_TIME__frame), 8, id(LV2_ATOM__Long)).i64(1000);
    b.property(id(LV2_TIME__speed), 4, id(LV2_ATOM__Float)).f32(1.0f).padTo8();
    if (broken) // claims far more than the object holds; 16 + size pads to 0 in 32 bits
      b.property(id(LV2_TIME__beatsPerMinute), 0xFFFFFFF0u, id(LV2_ATOM__Float)).f32(60.0f).padTo8();
    b.patch32(sizeof(LV2_Atom_Sequence) + 8, static_cast<std::uint32_t>(b.size() - sizeof(LV2_Atom_Sequence) - 16));
    const std::vector<std::uint8_t> position = sized(b);
    StereoBuffer output(input.frames());
    for (size_t start = 0; start < input.frames(); start += kBlock) {
      if (start == 0)
        std::memcpy(instance.ports.timeIn.data(), position.data(), position.size());
      std::copy_n(input.left.begin() + static_cast<long>(start), kBlock, instance.ports.audio[0].begin());
      std::copy_n(input.right.begin() + static_cast<long>(start), kBlock, instance.ports.audio[1].begin());
      instance.run(kBlock);
      instance.ports.timeIn.clearInput();
      std::copy_n(instance.ports.audio[2].begin(), kBlock, output.left.begin() + static_cast<long>(start));
      std::copy_n(instance.ports.audio[3].begin(), kBlock, output.right.begin() + static_cast<long>(start));
    }
    return output;
  };
  survives([&] {
    const StereoBuffer clean = render(false);
    const StereoBuffer broken = render(true);
    return broken.left == clean.left && broken.right == clean.right;
  });
}

// A block four times longer than the announced maximum, with notes and a position: no allocation
// inside run(), and exactly the audio of the same stream in blocks of the maximum. The host's
// audio buffers end at a guard page.
TEST_F(HostileHostTest, ABlockLongerThanAnnouncedIsRenderedInPiecesWithoutAllocating)
{
  constexpr int kLong = 4 * kBlock + 17;
  const StereoBuffer input = testSignal(kLong);
  const std::vector<TimedMidi> notes = {
    {5, 0x90, 57, 100}, {kBlock, 0x90, 64, 90}, {3 * kBlock + 1, 0x80, 57, 0}, {kLong - 1, 0x80, 64, 0}};
  const HostPosition transport{133.0f, 4800, 1.0f, true};
  auto configure = [](Instance& instance) {
    instance.ports.controls[kGrainMode] = 3.0f; // "MIDI"
    instance.ports.controls[kFrameSyncToHost] = 1.0f;
    instance.ports.controls[kFrameSync] = 4.0f;
  };

  Instance inPieces(urids);
  ASSERT_TRUE(inPieces.valid());
  configure(inPieces);
  const StereoBuffer expected = inPieces.render(input, kBlock, notes, transport);

  Instance oversized(urids, kRate, kBlock, kLong);
  ASSERT_TRUE(oversized.valid());
  configure(oversized);
  GuardedBuffer audio[4] = {GuardedBuffer(kLong * sizeof(float)), GuardedBuffer(kLong * sizeof(float)),
                            GuardedBuffer(kLong * sizeof(float)), GuardedBuffer(kLong * sizeof(float))};
  std::memcpy(audio[0].data(), input.left.data(), kLong * sizeof(float));
  std::memcpy(audio[1].data(), input.right.data(), kLong * sizeof(float));
  for (std::uint32_t p = 0; p < 4; ++p)
    oversized.connect(plug::lv2::kAudioInLeft + p, audio[p].data());
  for (const TimedMidi& n : notes)
    oversized.ports.eventsIn.addMidi(n.frame, {n.status, n.data1, n.data2});
  oversized.ports.timeIn.addPosition(0, transport.beatsPerMinute, transport.frame, transport.speed);
  oversized.ports.eventsOut.prepareOutput();
  // On a thread that has never called into the module, as a host's audio thread.
  const alloc_count::Counts counts =
    alloc_count::countOnNewThread([&] { oversized.descriptor().run(oversized.handle(), kLong); });
  if (alloc_count::available()) {
    EXPECT_EQ(counts.allocations, 0) << "run() allocated";
  }
  const auto* left = audio[2].as<float>();
  const auto* right = audio[3].as<float>();
  EXPECT_EQ(std::vector<float>(left, left + kLong), expected.left);
  EXPECT_EQ(std::vector<float>(right, right + kLong), expected.right);
}

// A host that makes and activates the instance on its main thread, then runs it on a new audio
// thread, as hosts do: nothing allocates inside run(), also not on its first call on that thread,
// with MIDI, a position, port changes and the plug-in's own MIDI output. Then a second new thread.
TEST_F(HostileHostTest, RunOnANewAudioThreadAllocatesNothingFromItsFirstCall)
{
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  instance.ports.controls[kGrainMode] = 3.0f; // "MIDI": notes start voices
  const StereoBuffer input = testSignal(kBlock);
  std::copy(input.left.begin(), input.left.end(), instance.ports.audio[0].begin());
  std::copy(input.right.begin(), input.right.end(), instance.ports.audio[1].begin());
  // Blocks on a new thread; only run() is counted (the host's own event writing allocates).
  auto blocksOnANewThread = [&](int first, bool& finite) {
    alloc_count::Counts counts;
    std::thread([&] {
      for (int b = first; b < first + 8; ++b) {
        instance.ports.eventsIn.clearInput();
        instance.ports.timeIn.clearInput();
        instance.ports.eventsIn.addMidi(b % kBlock, {0x90, static_cast<std::uint8_t>(48 + b), 100});
        instance.ports.eventsIn.addMidi(kBlock - 1, {0x80, static_cast<std::uint8_t>(47 + b), 0});
        instance.ports.timeIn.addPosition(0, 120.0f + static_cast<float>(b), kBlock * b, 1.0f);
        instance.ports.controls[kMix] = 0.5f + 0.05f * static_cast<float>(b % 5);
        instance.ports.eventsOut.prepareOutput();
        {
          const alloc_count::CountingScope counting;
          instance.descriptor().run(instance.handle(), kBlock);
          counts.allocations += counting.counts().allocations;
          counts.deallocations += counting.counts().deallocations;
        }
        finite = finite && allFinite(instance.ports.audio[2], kBlock) && allFinite(instance.ports.audio[3], kBlock);
      }
    }).join();
    return counts;
  };
  bool finite = true;
  const alloc_count::Counts first = blocksOnANewThread(0, finite);
  const alloc_count::Counts second = blocksOnANewThread(8, finite);
  EXPECT_TRUE(finite);
  if (!alloc_count::available())
    GTEST_SKIP() << "the sanitizer of this build owns malloc";
  EXPECT_EQ(first.allocations, 0) << "the first audio thread";
  EXPECT_EQ(first.deallocations, 0);
  EXPECT_EQ(second.allocations, 0) << "a second audio thread";
  EXPECT_EQ(second.deallocations, 0);
}

// Chunks shorter or longer than the 232 bytes Quennet saves: refused with a state error, nothing
// changed (read as far as they go, they would set Volume or Mix to 0).
TEST_F(HostileHostTest, StateChunksOfTheWrongSizeAreRefused)
{
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  instance.ports.controls[kMix] = 0.25f;
  instance.run(kBlock);
  const std::vector<double> before = instance.chunk();
  ASSERT_EQ(before.size(), 29u);
  EXPECT_EQ(before[kVolume], 1.0);
  const auto* state =
    static_cast<const LV2_State_Interface*>(instance.descriptor().extension_data(LV2_STATE__interface));
  ASSERT_NE(state, nullptr);
  struct Retrieve {
    LV2_URID key;
    LV2_URID type;
    const std::uint8_t* data;
    size_t size;
  };
  auto retrieve = [](LV2_State_Handle h, std::uint32_t key, size_t* size, std::uint32_t* type,
                     std::uint32_t* flags) -> const void* {
    auto* r = static_cast<Retrieve*>(h);
    if (key != r->key)
      return nullptr;
    *size = r->size;
    *type = r->type;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    return r->data;
  };
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{8}, size_t{9}, size_t{15}, size_t{224}, size_t{231}, size_t{233}, size_t{4096}}) {
    SCOPED_TRACE(size);
    // The chunk's last byte lies just before the guard page.
    GuardedBuffer bytes(size + 1);
    std::memset(bytes.data(), 0, bytes.size());
    Retrieve r{id(plug::lv2::kStateChunkURI), id(LV2_ATOM__Chunk), bytes.data() + bytes.size() - size, size};
    const LV2_Feature* features[] = {urids.mapFeature(), nullptr};
    EXPECT_NE(state->restore(instance.handle(), retrieve, &r, 0, features), LV2_STATE_SUCCESS);
    instance.run(kBlock);
    EXPECT_EQ(instance.chunk(), before);
  }
}

TEST_F(HostileHostTest, SampleRatesNoFilterCanRunAtAreRefused)
{
  for (const double rate : {-1.0, 0.0, 10.0, 22.0, 31.0, 999.0, 768001.0, 1e8, HUGE_VAL}) {
    SCOPED_TRACE(rate);
    Instance instance(urids, rate);
    EXPECT_FALSE(instance.valid());
  }
  for (const double rate : {1000.0, 8000.0, 384000.0, 768000.0}) {
    SCOPED_TRACE(rate);
    Instance instance(urids, rate);
    ASSERT_TRUE(instance.valid());
    const StereoBuffer output = instance.render(testSignal(2 * kBlock), kBlock);
    EXPECT_TRUE(allFinite(output.left, output.frames()));
  }

  // A rate change through the options interface to 20 Hz is ignored.
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  const auto* options =
    static_cast<const LV2_Options_Interface*>(instance.descriptor().extension_data(LV2_OPTIONS__interface));
  ASSERT_NE(options, nullptr);
  const float low = 20.0f;
  const LV2_Options_Option set[] = {
    {LV2_OPTIONS_INSTANCE, 0, id(LV2_PARAMETERS__sampleRate), sizeof(low), id(LV2_ATOM__Float), &low},
    {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
  EXPECT_EQ(options->set(instance.handle(), set), LV2_OPTIONS_ERR_BAD_VALUE);
  const StereoBuffer output = instance.render(testSignal(8 * kBlock), kBlock);
  EXPECT_TRUE(allFinite(output.left, output.frames()));
  EXPECT_TRUE(allFinite(output.right, output.frames()));
}

// Bytes that are no MIDI message reach neither the plug-in nor events_out; the output buffer has
// room for three events and ends at a guard page.
TEST_F(HostileHostTest, OnlyWellFormedMidiIsPassedOn)
{
  Instance instance(urids);
  ASSERT_TRUE(instance.valid());
  const std::vector<std::vector<std::uint8_t>> sent = {
    {0xF7},          {0xF4},    {0xFD}, {0x90, 0x90, 100},  {0xB0, 7, 0x80}, {0x45},
    {0x90, 60, 100}, {0xF5, 3}, {0xFA}, {0xE0, 0x7F, 0xFF}, {0x80, 60, 0},   {0xB0, 7, 100}};
  for (size_t i = 0; i < sent.size(); ++i)
    instance.ports.eventsIn.addMidi(static_cast<std::int64_t>(i), sent[i]);
  // As hosts set it up: a chunk whose size is the buffer less the atom header. The plug-in writes
  // no more than that size, header included: room for three events of 24 bytes.
  constexpr std::uint32_t kRoom = sizeof(LV2_Atom_Sequence) + 3 * 24 + sizeof(LV2_Atom);
  GuardedBuffer out(kRoom);
  auto* sequence = out.as<LV2_Atom_Sequence>();
  sequence->atom.type = id(LV2_ATOM__Chunk);
  sequence->atom.size = kRoom - sizeof(LV2_Atom);
  instance.connect(plug::lv2::kEventsOut, out.data());
  instance.descriptor().run(instance.handle(), kBlock);

  ASSERT_EQ(sequence->atom.type, id(LV2_ATOM__Sequence));
  std::vector<std::vector<std::uint8_t>> passed;
  plug::lv2::ForEachEvent(*sequence, [&](const LV2_Atom_Event& event) {
    const auto* body = reinterpret_cast<const std::uint8_t*>(&event.body + 1);
    passed.emplace_back(body, body + event.body.size);
  });
  EXPECT_EQ(passed, (std::vector<std::vector<std::uint8_t>>{{0x90, 60, 100}, {0xFA}, {0x80, 60, 0}}))
    << "the first three well-formed messages, as many as fit";
}

// A host that scans plug-ins loads and unloads the module again and again: nothing may stay
// behind (the INI store's cache used to, about 3 KB each time).
TEST_F(HostileHostTest, LoadingAndUnloadingTheModuleLeavesNothingBehind)
{
  auto cycle = [&] {
    Instance instance(urids);
    ASSERT_TRUE(instance.valid());
    instance.run(kBlock);
  };
  for (int i = 0; i < 5; ++i)
    cycle(); // lilv's and the C library's own first-use allocations
  const size_t before = mallinfo2().uordblks;
  constexpr int kCycles = 40;
  for (int i = 0; i < kCycles; ++i)
    cycle();
  const size_t after = mallinfo2().uordblks;
  // The host side (lilv) keeps a few hundred bytes per instance here; the store's cache took
  // about 3 KB per load.
  EXPECT_LT(after, before + kCycles * 1024) << "heap in use grew by " << (after - before) << " bytes";
}
