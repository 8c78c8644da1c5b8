// SPDX-License-Identifier: ISC
// One instance hammered at once by a host-automation thread, the audio thread, the
// user-interface timer and a state save/restore thread. Run under ThreadSanitizer too: no race,
// no torn value, every output sample finite.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "Recorders.h"
#include "TempHome.h"
#include "core/quennet.h"
#include "framework/IByteChunk.h"
#include "base/RunLoop.h"

using namespace quennet;

namespace {

// Two values of Grain Length whose bit patterns share nothing in the high word: a torn read of
// one 8-byte store would show up as a third value.
constexpr double kLengthA = 20.0;
constexpr double kLengthB = 1999.9;

bool isOneOf(double value)
{
  return value == kLengthA || value == kLengthB;
}

// The editor sees values only on the user-interface thread; it checks each one.
struct CheckingEditor : EditorRecorder {
  std::atomic<long> badValues{0};
  void SetParameterValueFromDelegate(int paramIdx, double normalizedValue) override
  {
    if (paramIdx < 0 || paramIdx >= kNumParams || !(normalizedValue >= 0.0 && normalizedValue <= 1.0))
      ++badValues;
    ++received;
  }
  long received = 0;
};

} // namespace

TEST(Stress, FourThreadsOnOneInstance)
{
  TempHome home;
  std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug({})));
  ASSERT_TRUE(plugin);
  plugin->PrepareToPlay(48000.0, 256);
  // Learned controllers for every parameter but Grain Length, whose values this test watches.
  for (int cc = 1; cc <= 22; ++cc)
    if (cc - 1 != kGrainLength)
      plugin->learn().setControllerParam(cc, cc - 1);
  CheckingEditor editor;
  plugin->AttachEditor(&editor); // this thread is the user-interface thread

  const auto duration = std::chrono::milliseconds(1500);
  std::atomic<bool> stop{false};
  std::atomic<long> renderCalls{0}, nonFinite{0}, hostChanges{0}, restores{0}, tornValues{0};

  std::thread audio([&] {
    std::mt19937 random(1);
    std::vector<float> in(256), outL(256), outR(256);
    long position = 0;
    while (!stop.load()) {
      for (size_t i = 0; i < in.size(); ++i)
        in[i] = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
      plug::HostMidiEvent events[3] = {
        {0, 0x90, static_cast<std::uint8_t>(36 + random() % 48), 100},
        {10, 0xB0, static_cast<std::uint8_t>(1 + random() % 22), static_cast<std::uint8_t>(random() % 128)},
        {20, 0x80, static_cast<std::uint8_t>(36 + random() % 48), 0},
      };
      const float* inputs[2] = {in.data(), in.data()};
      float* outputs[2] = {outL.data(), outR.data()};
      plug::HostTransport transport;
      transport.hasTempo = true;
      transport.tempo = 90.0 + static_cast<double>(random() % 100);
      transport.hasSamplePosition = true;
      transport.samplePosition = static_cast<double>(position);
      plug::HostBlock block;
      block.inputs = inputs;
      block.outputs = outputs;
      block.nFrames = 1 + static_cast<int>(random() % 256);
      block.midi = events;
      block.nMidi = 3;
      block.transport = &transport;
      plugin->RenderAudio(block);
      position += block.nFrames;
      for (int i = 0; i < block.nFrames; ++i)
        if (!std::isfinite(outL[static_cast<size_t>(i)]) || !std::isfinite(outR[static_cast<size_t>(i)]))
          ++nonFinite;
      if (!isOneOf(plugin->GetParam(kGrainLength)->GetValue()))
        ++tornValues;
      ++renderCalls;
    }
  });

  std::thread automation([&] {
    std::mt19937 random(2);
    while (!stop.load()) {
      const int paramIdx = static_cast<int>(random() % kMidiRelease);
      if (paramIdx == kGrainLength)
        plugin->SetParameterFromHostPlain(kGrainLength, random() % 2 ? kLengthA : kLengthB);
      else
        plugin->SetParameterFromHost(paramIdx, std::uniform_real_distribution<double>(0.0, 1.0)(random));
      ++hostChanges;
    }
  });

  std::thread state([&] {
    plug::IByteChunk saved;
    plugin->SerializeState(saved);
    while (!stop.load()) {
      plug::IByteChunk chunk;
      plugin->SerializeState(chunk);
      if (chunk.Size() != kNumParams * 8)
        ++tornValues;
      double length = 0.0;
      chunk.Get(&length, kGrainLength * 8);
      if (!isOneOf(length))
        ++tornValues;
      plugin->UnserializeState(saved, 0);
      plugin->CompareState(chunk.GetData(), 0);
      ++restores;
    }
  });

  // The user-interface thread: the timer drains the editor queues and runs OnIdle.
  const auto end = std::chrono::steady_clock::now() + duration;
  long ticks = 0;
  while (std::chrono::steady_clock::now() < end) {
    plugin->OnTimer();
    ++ticks;
    std::this_thread::yield();
  }
  stop.store(true);
  audio.join();
  automation.join();
  state.join();
  plugin->OnTimer();
  plugin->DetachEditor();

  std::printf("stress: %.1f s, %ld render calls, %ld host changes, %ld state save/restores, %ld timer ticks, "
              "%ld editor updates\n",
              std::chrono::duration<double>(duration).count(), renderCalls.load(), hostChanges.load(), restores.load(),
              ticks, editor.received);
  EXPECT_GT(renderCalls.load(), 0);
  EXPECT_GT(hostChanges.load(), 0);
  EXPECT_GT(restores.load(), 0);
  EXPECT_EQ(nonFinite.load(), 0);
  EXPECT_EQ(tornValues.load(), 0);
  EXPECT_EQ(editor.badValues.load(), 0);
}
