// SPDX-License-Identifier: ISC
// The audio side's own records: the channel counts from the configuration and the channel names.

#include "framework/IPluginProcessor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Processor final : public plug::IPluginProcessor {
public:
  explicit Processor(const char* channelIO) : plug::IPluginProcessor(config(channelIO)) {}
  void ProcessBlock(double**, double**, int) override {}

private:
  static plug::Config config(const char* channelIO)
  {
    plug::Config c;
    c.channelIOStr = channelIO;
    return c;
  }
};

std::vector<std::string> labels(const Processor& p, plug::ERoute direction, int count)
{
  std::vector<std::string> names;
  for (int c = 0; c < count; ++c)
    names.emplace_back(p.GetChannelLabel(direction, c));
  return names;
}

} // namespace

TEST(IPluginProcessorChannels, UnnamedChannelsAreCountedFromOne)
{
  const Processor p("1-3");
  EXPECT_EQ(p.NInChannels(), 1);
  EXPECT_EQ(p.NOutChannels(), 3);
  EXPECT_EQ(labels(p, plug::kInput, 1), (std::vector<std::string>{"Input 1"}));
  EXPECT_EQ(labels(p, plug::kOutput, 3), (std::vector<std::string>{"Output 1", "Output 2", "Output 3"}));
}

TEST(IPluginProcessorChannels, SetChannelLabelNamesOneChannelOfOneDirection)
{
  Processor p("2-2");
  p.SetChannelLabel(plug::kInput, 1, "Side Right");
  p.SetChannelLabel(plug::kOutput, 0, "Wet Left");
  EXPECT_EQ(labels(p, plug::kInput, 2), (std::vector<std::string>{"Input 1", "Side Right"}));
  EXPECT_EQ(labels(p, plug::kOutput, 2), (std::vector<std::string>{"Wet Left", "Output 2"}));

  // Named again: the last name holds; a null name is the empty one.
  p.SetChannelLabel(plug::kOutput, 0, "Left");
  EXPECT_STREQ(p.GetChannelLabel(plug::kOutput, 0), "Left");
  p.SetChannelLabel(plug::kInput, 0, nullptr);
  EXPECT_STREQ(p.GetChannelLabel(plug::kInput, 0), "");
}

TEST(IPluginProcessorChannels, ChannelsTheConfigurationLacksAreIgnored)
{
  Processor p("2-2");
  for (const int channel : {-1, 2, 1000}) {
    SCOPED_TRACE(channel);
    p.SetChannelLabel(plug::kInput, channel, "nowhere");
    p.SetChannelLabel(plug::kOutput, channel, "nowhere");
    EXPECT_STREQ(p.GetChannelLabel(plug::kInput, channel), "");
    EXPECT_STREQ(p.GetChannelLabel(plug::kOutput, channel), "");
  }
  p.SetChannelLabel(static_cast<plug::ERoute>(2), 0, "nowhere");
  EXPECT_STREQ(p.GetChannelLabel(static_cast<plug::ERoute>(2), 0), "");
  EXPECT_EQ(labels(p, plug::kInput, 2), (std::vector<std::string>{"Input 1", "Input 2"}));
  EXPECT_EQ(labels(p, plug::kOutput, 2), (std::vector<std::string>{"Output 1", "Output 2"}));
}
