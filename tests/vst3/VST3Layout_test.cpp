// SPDX-License-Identifier: ISC
// What VST3 hosts store about the plug-in, held fixed: the class id, the parameter ids, the program
// list and the state's layout. A change here breaks every saved session and preset.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TempHome.h"
#include "VST3Host.h"
#include "core/quennet.h"
#include "framework/VST3/VST3Factory.h"
#include "framework/VST3/VST3Layout.h"

using namespace quennet;

namespace vst3 = plug::vst3;

TEST(VST3Layout, TheClassIdAndTheIdsNeverChange)
{
  const std::uint8_t classId[16] = {0x54, 0x72, 0x77, 0x6C, 0x74, 0x77, 0x51, 0x6E,
                                    0x56, 0x53, 0x54, 0x33, 0x51, 0x6E, 0x65, 0x74};
  EXPECT_EQ(std::memcmp(vst3::kClassId, classId, 16), 0) << "Ardour shows it as 5472776C7477516E56535433516E6574";
  for (int i = 0; i < 29; ++i)
    EXPECT_EQ(vst3::PluginParamId(i), static_cast<std::uint32_t>(i));
  EXPECT_EQ(vst3::kPresetParamId, 256u);
  EXPECT_EQ(vst3::ControllerParamId(0), 512u);
  EXPECT_EQ(vst3::ControllerParamId(127), 639u);
  EXPECT_EQ(vst3::kRootUnitId, 0);
  EXPECT_EQ(vst3::kPresetListId, 1);
  EXPECT_STREQ(vst3::kBundleName, "quennet.vst3");
  EXPECT_STREQ(vst3::kBinaryName, "quennet.so");
}

TEST(VST3Layout, TheStateIsOneLittleEndianDoublePerSlotInIndexOrder)
{
  TempHome home;
  vst3host::Plugin plugin(vst3::Factory(), vst3::kClassId);
  ASSERT_TRUE(plugin.valid());
  // "Slap Back" as a host selects it, then the bytes as the table gives them.
  plugin.edit()->set_parameter_normalised(plugin.controller, vst3::kPresetParamId, 8.0 / 9.0);
  const std::vector<std::uint8_t> bytes = plugin.state();
  ASSERT_EQ(bytes.size(), 232u);
  const double slapBack[29] = {1, 0.7, 1, 20, 8, 110, 33, 0, 0, 0, 160, 7, 1, 50, 0, -1, 0.7, 4, 0, 0, 1, 0.05};
  for (int i = 0; i < 29; ++i) {
    std::uint64_t bits = 0;
    for (int b = 7; b >= 0; --b)
      bits = bits << 8 | bytes[static_cast<size_t>(i * 8 + b)]; // little-endian, whatever the machine
    double value = 0.0;
    std::memcpy(&value, &bits, sizeof(value));
    EXPECT_EQ(value, slapBack[i]) << "slot " << i;
  }
  // Volume 1.0 is 0x3FF0000000000000: its last byte comes last.
  EXPECT_EQ(bytes[7], 0x3F);
  EXPECT_EQ(bytes[6], 0xF0);
}
