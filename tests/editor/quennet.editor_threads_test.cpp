// SPDX-License-Identifier: ISC
// The editor's refresh requests made on the audio thread while the user-interface thread runs the
// idle ticks and draws frames (run under ThreadSanitizer with the label "threads").

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "EditorSupport.h"

using namespace quennet;

using namespace editor_test;

TEST(EditorThreads, AudioThreadRequestsMeetTheIdleTicksAndFrames)
{
  EditorScreen s;
  std::atomic<bool> done{false};
  // The host's thread and the audio thread in one: changes, then the render call that applies them
  // (the dispatch asks for slider, envelope and LED updates there).
  std::thread audio([&] {
    for (int i = 0; i < 300; ++i) {
      s.plugin->SetParameterFromHost(kGrainMode, (i % 4) / 3.0);
      s.plugin->SetParameterFromHost(kGrainFadeIn, (i % 10) / 10.0);
      s.plugin->SetParameterFromHost(kFrameSkew, (i % 7) / 6.0);
      s.plugin->SetParameterFromHost(kFrameSyncToHost, i % 2);
      renderEmptyBlock(*s.plugin, {noteOn(60 + i % 12)});
    }
    done.store(true);
  });
  while (!done.load())
    s.tick();
  audio.join();

  s.set(kGrainMode, kGrainModeFreq);
  s.set(kFrameSyncToHost, 1.0);
  s.tick();
  const auto& r = s.refs();
  EXPECT_FALSE(r.grainFrequencySlider->IsHidden());
  EXPECT_TRUE(r.grainLengthSlider->IsHidden());
  EXPECT_TRUE(r.grainSyncSlider->IsHidden());
  EXPECT_FALSE(r.frameSyncSlider->IsHidden());
  EXPECT_TRUE(r.frameLengthSlider->IsHidden());
  EXPECT_TRUE(r.midiLed->IsHidden());
}
