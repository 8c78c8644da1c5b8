// SPDX-License-Identifier: ISC
// The audio path allocates nothing: render calls with MIDI, host parameter changes, state
// changes and learned controllers make no heap allocation or deallocation on the audio thread.
// The two specified exceptions, block-size growth and the file write of a learn completed by a
// controller, are shown on their own.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "AllocationCounter.h"
#include "TempHome.h"
#include "core/quennet.h"
#include "framework/IByteChunk.h"

using namespace quennet;

namespace {

constexpr int kMaxFrames = 1024;
constexpr int kMaxEvents = 16;

// A host whose buffers all exist before the first render call.
class PreallocatedHost {
public:
  explicit PreallocatedHost(plug::IPlugin& plugin) : mPlugin(plugin)
  {
    for (int i = 0; i < kMaxFrames; ++i)
      mIn[0][i] = mIn[1][i] = static_cast<float>(0.5 * std::sin(0.01 * i));
  }

  void addMidi(std::uint8_t status, std::uint8_t data1, std::uint8_t data2)
  {
    if (mNumEvents < kMaxEvents)
      mEvents[static_cast<size_t>(mNumEvents++)] = {0, status, data1, data2};
  }

  bool render(int frames, bool bypass = false)
  {
    const float* inputs[2] = {mIn[0].data(), mIn[1].data()};
    float* outputs[2] = {mOut[0].data(), mOut[1].data()};
    mTransport.hasTempo = true;
    mTransport.tempo = 120.0 + (mPosition % 7);
    mTransport.hasSamplePosition = true;
    mTransport.samplePosition = static_cast<double>(mPosition);
    plug::HostBlock block;
    block.inputs = inputs;
    block.outputs = outputs;
    block.nFrames = frames;
    block.midi = mEvents.data();
    block.nMidi = mNumEvents;
    block.transport = &mTransport;
    block.bypass = bypass;
    mPlugin.RenderAudio(block);
    mNumEvents = 0;
    mPosition += frames;
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < frames; ++i)
        if (!std::isfinite(mOut[static_cast<size_t>(c)][static_cast<size_t>(i)]))
          return false;
    return true;
  }

private:
  plug::IPlugin& mPlugin;
  std::array<std::array<float, kMaxFrames>, 2> mIn{};
  std::array<std::array<float, kMaxFrames>, 2> mOut{};
  std::array<plug::HostMidiEvent, kMaxEvents> mEvents{};
  int mNumEvents = 0;
  long mPosition = 0;
  plug::HostTransport mTransport;
};

class RealtimeSafety : public ::testing::Test {
protected:
  void SetUp() override
  {
    if (!alloc_count::available())
      GTEST_SKIP() << "the sanitizer of this build owns malloc";
    plugin.reset(static_cast<Quennet*>(plug::MakePlug({})));
    plugin->PrepareToPlay(48000.0, 512);
    // Controllers 1 ... 22 move parameters 0 ... 21, as a learned map would.
    for (int cc = 1; cc <= 22; ++cc)
      plugin->learn().setControllerParam(cc, cc - 1);
  }

  TempHome home;
  std::unique_ptr<Quennet> plugin;
};

} // namespace

TEST_F(RealtimeSafety, RenderCallsWithMidiHostChangesStateChangesAndLearnedControllersDoNotAllocate)
{
  PreallocatedHost host(*plugin);
  plug::IByteChunk state; // made outside the measured span, as a host's saved project would be
  plugin->SerializeState(state);
  ASSERT_TRUE(host.render(512)); // settle: first use of everything

  // The render calls on a thread that has never called into the plug-in, as a host's audio thread.
  bool finite = true;
  const alloc_count::Counts counts = alloc_count::countOnNewThread([&] {
    for (int block = 0; block < 400; ++block) {
      const auto step = static_cast<std::uint8_t>(block % 128);
      switch (block % 8) {
        case 0: host.addMidi(0xB0, 3, static_cast<std::uint8_t>(block % 4 * 42)); break; // Grain Mode by CC
        case 1: host.addMidi(0x90, static_cast<std::uint8_t>(36 + block % 48), 100); break;
        case 2: host.addMidi(0x80, static_cast<std::uint8_t>(36 + (block - 1) % 48), 0); break;
        case 3: plugin->SetParameterFromHost(block % kMidiRelease, step / 127.0); break;
        case 4: host.addMidi(0xB0, static_cast<std::uint8_t>(1 + block % 22), step); break;
        case 5: plugin->UnserializeState(state, 0); break;
        case 6: host.addMidi(0xB0, 123, 0); break;
        default: plugin->SetParameterFromHostPlain(kFrameSyncToHost, block % 16 < 8 ? 1.0 : 0.0); break;
      }
      finite = host.render(block % 5 == 0 ? 1 + block % 511 : 512, block % 97 == 0) && finite;
    }
  });
  EXPECT_TRUE(finite);
  EXPECT_EQ(counts.allocations, 0);
  EXPECT_EQ(counts.deallocations, 0);
}

TEST_F(RealtimeSafety, OnlyABlockLongerThanAnyBeforeAllocates)
{
  PreallocatedHost host(*plugin);
  {
    alloc_count::CountingScope scope;
    ASSERT_TRUE(host.render(1024));
    EXPECT_GT(scope.counts().allocations, 0) << "the scratch buffers grow";
  }
  alloc_count::CountingScope scope;
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(host.render(i % 2 ? 1024 : 300));
  EXPECT_EQ(scope.counts().allocations, 0);
  EXPECT_EQ(scope.counts().deallocations, 0);
}

TEST_F(RealtimeSafety, ALearnCompletedByAControllerWritesTheFileAndNothingElseAllocates)
{
  PreallocatedHost host(*plugin);
  ASSERT_TRUE(host.render(512));
  plugin->doMidiLearn(true);
  plugin->SetParameterFromHostPlain(kGrainSkew, 0.5); // names the parameter to learn
  host.addMidi(0xB0, 60, 10);
  {
    alloc_count::CountingScope scope;
    ASSERT_TRUE(host.render(512));
    EXPECT_FALSE(plugin->learn().learnActive()) << "the controller completed the learn";
    EXPECT_EQ(plugin->learn().controllerParam(60), kGrainSkew);
    EXPECT_GT(scope.counts().allocations, 0) << "the settings file was written";
  }
  alloc_count::CountingScope scope;
  host.addMidi(0xB0, 60, 100);
  ASSERT_TRUE(host.render(512));
  EXPECT_EQ(scope.counts().allocations, 0);
}
