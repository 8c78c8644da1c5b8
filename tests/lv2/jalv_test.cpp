// SPDX-License-Identifier: ISC
// jalv, the LV2 reference host, running the build's bundle on a private JACK server with the dummy
// backend: it takes `set <symbol> <value>` on its standard input and exits cleanly at its end, and
// MIDI notes from jack_midiseq make the plug-in sound in mode "MIDI" (recorded with jack_rec).
// Every process runs in its own group and is stopped with it; every wait has a deadline.
// The JACK session and its retries: JackSession.h.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "BundlePath.h"
#include "ChildProcess.h"
#include "JackSession.h"
#include "TempDir.h"
#include "framework/LV2/LV2Layout.h"

namespace {

class JalvTest : public ::testing::Test {
protected:
  JalvTest() : bundlePath(QUENNET_LV2_BUNDLE) {}

  template <typename Session>
  bool runSession(Session&& session)
  {
    return runJackSession(bundlePath.path(), files, std::forward<Session>(session));
  }

  TempDir files{"quennet-jalv"};
  BundlePath bundlePath;
};

} // namespace

TEST_F(JalvTest, LoadsThePlugInTakesSetCommandsAndExitsCleanly)
{
  std::optional<int> status;
  std::string log;
  const bool ran = runSession([&](JackSession& jack) {
    ChildProcess& jalv = jack.startJalv();
    jack.waitForPorts(
      {"qjalv:in_left", "qjalv:in_right", "qjalv:out_left", "qjalv:out_right", "qjalv:events_in", "qjalv:events_out"});
    jalv.write("set grain_mode 3\nset mix 0.25\ncontrols\n");
    jack.waitForOutput(jalv, "grain_mode = 3.000000");
    jack.waitForOutput(jalv, "mix = 0.250000");
    // A factory preset through jalv's own preset loading: "Slap Back" has Mix 0.7.
    jalv.write("presets\npreset " + std::string(plug::lv2::kPluginURI) + "#preset-slap_back\ncontrols\n");
    jack.waitForOutput(jalv, "mix = 0.700000");

    jalv.closeStdin(); // end of input: jalv quits
    status = jalv.waitExit(15.0);
    log = jalv.log();
  });
  ASSERT_TRUE(ran);
  ASSERT_TRUE(status) << "jalv did not exit at the end of its input\n" << log;
  EXPECT_EQ(*status, 0) << log;
}

TEST_F(JalvTest, MidiNotesFromJackMidiseqSoundAtThePlugInsOutput)
{
  double before = -1.0;
  double during = -1.0;
  std::optional<int> status;
  std::string log;
  const bool ran = runSession([&](JackSession& jack) {
    ChildProcess& jalv = jack.startJalv();
    jack.start({"jack_simple_client", "qsine"}, "sine.log"); // a steady tone as the plug-in's input
    jack.waitForPorts({"qjalv:out_right", "qsine:output2"});
    jack.connect("qsine:output1", "qjalv:in_left");
    jack.connect("qsine:output2", "qjalv:in_right");

    jalv.write("set grain_mode 3\n"); // "MIDI": grains only while notes sound
    jack.waitForOutput(jalv, "grain_mode = 3.000000");
    before = jack.recordOutputs("before.wav");

    // Half-second loop: middle C for its first half.
    jack.start({"jack_midiseq", "qseq", "24000", "0", "60", "12000"}, "midiseq.log");
    jack.waitForPorts({"qseq:out"});
    jack.connect("qseq:out", "qjalv:events_in");
    during = jack.recordOutputs("during.wav");

    jalv.closeStdin();
    status = jalv.waitExit(15.0);
    log = jalv.log();
  });
  ASSERT_TRUE(ran);
  EXPECT_GE(before, 0.0) << "a readable recording";
  EXPECT_LT(before, 1e-4) << "the tone arrives, but without notes mode \"MIDI\" is silent";
  EXPECT_GT(during, 0.01) << "the notes sound";
  ASSERT_TRUE(status) << log;
  EXPECT_EQ(*status, 0) << log;
}
